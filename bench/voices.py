"""Sentences spoken by three synthesisers, each word's true start from the synthesiser
itself: espeak-ng (its word events), festival (the start of each word's first segment)
and flite (its segments' end times, shared out by each word's own phone count). A voice
is "SYNTHESISER:NAME"; a rate is words a minute, 160 being each one's own pace."""

from __future__ import annotations

import array
import functools
import os
import shutil
import subprocess
import sys
import tempfile

from spatial_intent import speech



def say(voice: str, rate: int, text: str) -> tuple[array.array, list[speech.Placed]]:
    """The sentence as the recogniser takes it (16 kHz mono 16-bit), and each word's place."""
    synthesiser, _, name = voice.partition(":")
    if synthesiser == "espeak-ng":
        return speech.speak_sentence(text, name, rate)
    if synthesiser == "festival":
        return _festival(name, rate, text)
    if synthesiser == "flite":
        return _flite(name, rate, text)
    raise ValueError(f"no synthesiser {synthesiser!r} (espeak-ng, festival, flite)")


def available(voice: str) -> str | None:
    """Why a voice cannot be used here, or None."""
    synthesiser = voice.partition(":")[0]
    if shutil.which("sox") is None:
        return "sox is not installed"
    if synthesiser in ("festival", "flite") and shutil.which(synthesiser) is None:
        return f"{synthesiser} is not installed (make bench-speech runs in a root that has it)"
    try:
        say(voice, 160, "open that")
    except (speech.SpeechError, ValueError) as e:
        return str(e)
    return None


def _resampled(wav: bytes) -> array.array:
    raw = subprocess.run(["sox", "-R", "-t", "wav", "-", "-t", "raw", "-r", str(speech.SAMPLE_RATE), "-c", "1",
                          "-b", "16", "-e", "signed-integer", "-L", "-"], input=wav, capture_output=True, check=True,
                         timeout=60).stdout
    samples = array.array("h", raw)
    if sys.byteorder == "big":
        samples.byteswap()
    return samples


def _placed(words: list[str], begins: list[float], samples: array.array) -> list[speech.Placed]:
    sound_end = speech.sounding(samples)[1] / speech.SAMPLE_RATE
    ends = begins[1:] + [sound_end]
    return [speech.Placed(w, b, e) for w, b, e in zip(words, begins, ends)]


def _festival(name: str, rate: int, text: str) -> tuple[array.array, list[speech.Placed]]:
    words = text.lower().split()
    with tempfile.TemporaryDirectory() as folder:
        wav, script = os.path.join(folder, "said.wav"), os.path.join(folder, "say.scm")
        with open(script, "w") as f:
            f.write(f"(voice_{name})\n(Parameter.set 'Duration_Stretch {160 / rate:.3f})\n"
                    f"(set! u (utt.synth (Utterance Text \"{' '.join(words)}\")))\n"
                    f"(utt.save.wave u \"{wav}\" 'riff)\n"
                    "(mapcar (lambda (w) (format t \"W %s %f\\n\" (item.name w) "
                    "(item.feat w \"R:SylStructure.daughter1.daughter1.segment_start\"))) "
                    "(utt.relation.items u 'Word))\n")
        done = subprocess.run(["festival", "-b", script], capture_output=True, timeout=120)
        lines = [line.split() for line in done.stdout.decode().splitlines() if line.startswith("W ")]
        if done.returncode != 0 or not os.path.exists(wav):
            raise speech.SpeechError(f"festival failed speaking {text!r}: {done.stderr.decode()[-200:]}")
        with open(wav, "rb") as f:
            samples = _resampled(f.read())
    if [w for _, w, _ in lines] != words:
        raise speech.SpeechError(f"festival split {text!r} into other words: {[w for _, w, _ in lines]}")
    return samples, _placed(words, [float(b) for *_, b in lines], samples)


@functools.cache
def _phones(name: str, word: str) -> int:
    done = subprocess.run(["flite", "-voice", name, "-t", word, "-o", "none", "-ps"], capture_output=True,
                          timeout=60, check=True)
    return sum(1 for p in done.stdout.decode().split() if p != "pau")


def _flite(name: str, rate: int, text: str) -> tuple[array.array, list[speech.Placed]]:
    words = text.lower().split()
    with tempfile.TemporaryDirectory() as folder:
        wav = os.path.join(folder, "said.wav")
        done = subprocess.run(["flite", "-voice", name, "--setf", f"duration_stretch={160 / rate:.3f}", "-t",
                               " ".join(words), "-o", wav, "-psdur"], capture_output=True, timeout=60)
        if done.returncode != 0:
            raise speech.SpeechError(f"flite failed speaking {text!r}: {done.stderr.decode()[-200:]}")
        with open(wav, "rb") as f:
            samples = _resampled(f.read())
    segments = [(p, float(end)) for p, _, end in (s.partition(":") for s in done.stdout.decode().split())]
    begins, previous, at = [], 0.0, 0
    for word in words:
        while at < len(segments) and segments[at][0] == "pau":
            previous = segments[at][1]
            at += 1
        begins.append(previous)
        count = _phones(name, word)
        if at + count > len(segments) or any(p == "pau" for p, _ in segments[at:at + count]):
            raise speech.SpeechError(f"flite's segments of {text!r} do not follow its words")
        previous = segments[at + count - 1][1]
        at += count
    if any(p != "pau" for p, _ in segments[at:]):
        raise speech.SpeechError(f"flite's segments of {text!r} do not follow its words")
    return samples, _placed(words, begins, samples)
