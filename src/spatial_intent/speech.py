"""Speech in the loop: what a recogniser heard, word by word with its times, paired with
the frame in force when each word was *spoken*, not when the recogniser answered.

A recogniser hands over an utterance only after it has ended (end-pointing, then
decoding), hundreds of milliseconds to seconds after its words were said. Its word
times are on the audio's clock (seconds from the first sample); `AudioClock` puts them
on the host's clock, and `ground` pairs each deictic word ("put *that* *there*") with
the frame in force at its first sound, out of the timeline's history.

The records stay as they are. Each event's `text` is the whole utterance with the word
it grounds in square brackets ("put [that] there"), and its `timestamp_ns` is when that
word began; an utterance without a deictic word is paired once, at its start, with its
text as it was heard.

Any recogniser that gives word times can be plugged in (`Recogniser`); the one shipped
and tested is pocketsphinx (`PocketSphinx`), run as its own process."""

from __future__ import annotations

import array
import json
import math
import queue
import re
import shutil
import subprocess
import sys
import threading
import time
import wave
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import Protocol

import _spatial as sp

# The words that point: demonstratives (this, that, these, those) and the place adverbs
# (here, there). "It", "one" and "them" refer back to what was said, not to where the
# hand is, so pairing them with a pointing ray would ground them wrongly as often as not.
DEICTIC = frozenset({"this", "that", "these", "those", "here", "there"})

SAMPLE_RATE = 16_000  # what the recogniser takes: mono, 16-bit signed little-endian
SAMPLE_BYTES = 2

INSTALL = "apt install pocketsphinx pocketsphinx-en-us (Debian, Ubuntu)"


class SpeechError(Exception):
    """A recogniser that is missing or stopped, or audio it cannot take: one line."""


@dataclass(frozen=True)
class Word:
    text: str
    begin_s: float  # on the audio's clock: seconds from its first sample
    end_s: float


@dataclass(frozen=True)
class Utterance:
    words: tuple[Word, ...]

    @property
    def text(self) -> str:
        return " ".join(w.text for w in self.words)

    @property
    def begin_s(self) -> float:
        return self.words[0].begin_s

    @property
    def end_s(self) -> float:
        return self.words[-1].end_s


@dataclass(frozen=True)
class AudioClock:
    """The host clock's time of the audio's first sample, which only the host knows
    (it captured the sample, or placed it)."""

    first_sample_ns: int

    def to_host_ns(self, seconds: float) -> int:
        return self.first_sample_ns + round(seconds * 1e9)


# Recogniser's markers that are not words: sentence bounds, silence, noises; and the
# pronunciation variant a dictionary word was matched with ("that(2)").
_FILLER = re.compile(r"^(<.*>|\[.*\]|\+\+.*\+\+)$")
_VARIANT = re.compile(r"\(\d+\)$")


def read_pocketsphinx(line: str | bytes) -> Utterance | None:
    """One line of pocketsphinx's JSON output (`live` or `single`): the utterance it
    holds, or None when it heard no word. A line that is not that output raises
    ValueError saying what is wrong."""
    try:
        result = json.loads(line)
    except ValueError as e:
        raise ValueError(f"not JSON ({e})") from None
    if not isinstance(result, dict) or not isinstance(result.get("w"), list):
        raise ValueError('not a recogniser result: expected an object with a "w" array')
    words = []
    for segment in result["w"]:
        text, begin, length = (segment.get(k) for k in ("t", "b", "d")) if isinstance(segment, dict) else (None,) * 3
        if not isinstance(text, str) or not all(isinstance(x, (int, float)) and not isinstance(x, bool)
                                                and math.isfinite(x) and x >= 0 for x in (begin, length)):
            raise ValueError(f"a word segment without text, begin and duration: {json.dumps(segment)[:60]}")
        if _FILLER.match(text):
            continue
        words.append(Word(_VARIANT.sub("", text), float(begin), float(begin) + float(length)))  # type: ignore[arg-type]
    return Utterance(tuple(words)) if words else None


def marked(utterance: Utterance, index: int) -> str:
    """The utterance's text with its `index`-th word in square brackets."""
    return " ".join(f"[{w.text}]" if i == index else w.text for i, w in enumerate(utterance.words))


@dataclass(frozen=True)
class Grounded:
    """One pairing: the deictic word (None for an utterance without one), when it was
    spoken on the host's clock, and the event, or None when no frame was recent enough."""

    word: Word | None
    spoken_ns: int
    text: str
    event: sp.ContextualIntentEvent | None


def pairings(utterance: Utterance) -> list[tuple[Word | None, float, str]]:
    """What to pair, and when on the audio's clock: (the deictic word, its begin, the
    text with it marked) for each one, or (None, the utterance's begin, its text)."""
    pointing = [i for i, w in enumerate(utterance.words) if w.text.lower() in DEICTIC]
    if not pointing:
        return [(None, utterance.begin_s, utterance.text)]
    return [(utterance.words[i], utterance.words[i].begin_s, marked(utterance, i)) for i in pointing]


def ground(utterance: Utterance, clock: AudioClock, timeline: sp.IntentTimeline) -> list[Grounded]:
    """Each deictic word of the utterance paired with the frame in force when it began;
    an utterance with none paired once, at its start."""
    found = []
    for word, begin_s, text in pairings(utterance):
        at = clock.to_host_ns(begin_s)
        found.append(Grounded(word, at, text, timeline.submit_text(text, at)))
    return found


def history_frames(longest_utterance_s: float, worst_delay_s: float, rate_hz: float = 90.0,
                   margin: float = 1.5) -> int:
    """How many frames a timeline must keep for a word to find its frame: the first word
    of the longest utterance is that long plus the recogniser's delay old when the result
    arrives; with a margin for a slower machine."""
    return math.ceil((longest_utterance_s + worst_delay_s) * margin * rate_hz)


class Recogniser(Protocol):
    """What a host needs of a recogniser: audio in as it is captured (16 kHz mono 16-bit
    little-endian samples), utterances out when they are decoded, never blocking."""

    def feed(self, samples: bytes) -> None:
        """Audio captured after the last feed; raises SpeechError when the recogniser stopped."""

    def results(self) -> list[tuple[int, Utterance]]:
        """(host monotonic ns when it arrived, utterance) of everything decoded since the
        last call; an empty list when nothing was."""

    def close(self) -> list[tuple[int, Utterance]]:
        """The end of the audio: waits for the last utterances and returns them."""


class PocketSphinx:
    """`pocketsphinx live -` as a process of its own, fed raw audio on its standard input;
    its results are read by a thread, so `results` never waits."""

    def __init__(self, grammar: str | None = None, warn: Callable[[str], None] | None = None,
                 program: str = "pocketsphinx") -> None:
        if shutil.which(program) is None:
            raise SpeechError(f"the speech recogniser is not installed: {INSTALL}")
        self.warn = warn or (lambda message: print(message, file=sys.stderr, flush=True))
        command = [program, *(["-jsgf", grammar] if grammar else []), "live", "-"]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.arrived: queue.Queue[tuple[int, Utterance]] = queue.Queue()
        self.errors: list[str] = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.stderr = threading.Thread(target=self._drain_errors, daemon=True)
        self.stderr.start()

    def _read(self) -> None:
        assert self.process.stdout is not None
        for raw in self.process.stdout:
            now = time.monotonic_ns()
            line = raw.decode("utf-8", "replace").strip()
            if not line:
                continue
            try:
                utterance = read_pocketsphinx(line)
            except ValueError as e:
                shown = line if len(line) <= 60 else line[:60] + "..."
                self.warn(f"speech: skipped a line of the recogniser's ({e}): {shown}")
                continue
            if utterance is not None:
                self.arrived.put((now, utterance))

    def _drain_errors(self) -> None:
        assert self.process.stderr is not None
        for raw in self.process.stderr:
            line = raw.decode("utf-8", "replace").strip()
            if line.startswith(("ERROR", "FATAL")) or "error" in line.lower():
                self.errors.append(line)

    def stopped(self) -> str | None:
        """Why the recogniser is no longer running, or None while it is."""
        status = self.process.poll()
        if status is None:
            return None
        why = f"killed by signal {-status}" if status < 0 else f"exit status {status}"
        detail = f": {self.errors[-1][:120]}" if self.errors else ""
        return f"the speech recogniser stopped ({why}){detail}"

    def feed(self, samples: bytes) -> None:
        assert self.process.stdin is not None
        try:
            self.process.stdin.write(samples)
            self.process.stdin.flush()
        except (BrokenPipeError, ValueError):
            self.kill()
            raise SpeechError(self.stopped() or "the speech recogniser stopped") from None

    def results(self) -> list[tuple[int, Utterance]]:
        found = []
        while True:
            try:
                found.append(self.arrived.get_nowait())
            except queue.Empty:
                return found

    def close(self, timeout_s: float = 30.0) -> list[tuple[int, Utterance]]:
        assert self.process.stdin is not None
        try:
            self.process.stdin.close()
        except BrokenPipeError:
            pass
        try:
            self.process.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.reader.join(timeout=timeout_s)
        return self.results()

    def kill(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        assert self.process.stdin is not None
        try:
            self.process.stdin.close()
        except BrokenPipeError:  # what was still buffered has nowhere to go
            pass


def grammar(phrases: Iterable[str], name: str = "commands") -> str:
    """A JSGF grammar that accepts exactly these phrases (lower case, words only)."""
    alternatives = " | ".join(" ".join(re.findall(r"[a-z']+", p.lower())) for p in phrases)
    return f"#JSGF V1.0;\ngrammar {name};\npublic <{name}> = {alternatives};\n"


def read_audio(path: str) -> bytes:
    """The samples of an audio file as the recogniser takes them. A WAV file already at
    16 kHz, mono and 16-bit is read as it is; anything else goes through sox, and audio
    that neither can take is refused in one line."""
    try:
        with wave.open(path, "rb") as w:
            if (w.getframerate(), w.getnchannels(), w.getsampwidth()) == (SAMPLE_RATE, 1, SAMPLE_BYTES):
                return w.readframes(w.getnframes())
    except (wave.Error, EOFError):
        pass
    except OSError as e:
        raise SpeechError(f"{path}: {e.strerror or e}") from None
    if shutil.which("sox") is None:
        raise SpeechError(f"{path}: not 16 kHz mono 16-bit WAV, and sox (to convert it) is not installed: "
                          "apt install sox")
    done = subprocess.run(["sox", path, "-t", "raw", "-r", str(SAMPLE_RATE), "-c", "1", "-b", "16",
                           "-e", "signed-integer", "-L", "-"], capture_output=True)
    if done.returncode != 0:
        reason = done.stderr.decode("utf-8", "replace").strip().splitlines()
        raise SpeechError(f"{path}: not audio the recogniser can take ({reason[-1] if reason else 'sox failed'})")
    return done.stdout


def recognise(samples: bytes, grammar_path: str | None = None, warn: Callable[[str], None] | None = None
              ) -> list[Utterance]:
    """Every utterance in recorded audio, with word times from its first sample."""
    if grammar_path is not None:
        try:
            open(grammar_path, "rb").close()
        except OSError as e:
            raise SpeechError(f"{grammar_path}: {e.strerror}") from None
    recogniser = PocketSphinx(grammar_path, warn)
    try:
        step = SAMPLE_RATE * SAMPLE_BYTES  # a second at a time
        for at in range(0, len(samples), step):
            recogniser.feed(samples[at:at + step])
        heard = [u for _, u in recogniser.close()]
        if recogniser.process.returncode != 0:
            raise SpeechError(recogniser.stopped() or "the speech recogniser failed")
        return heard
    finally:
        recogniser.kill()


@dataclass(frozen=True)
class Placed:
    """A word put into audio: where its sound begins and ends, in seconds."""

    text: str
    begin_s: float
    end_s: float


def synthesise(words: Sequence[str], voice: str = "en-us", rate_wpm: int = 150) -> list[array.array[int]]:
    """Each word spoken by espeak-ng, as the recogniser's samples trimmed to its sound:
    speech of known timing, for tests and scripted users."""
    for program in ("espeak-ng", "sox"):
        if shutil.which(program) is None:
            raise SpeechError(f"{program} is not installed: apt install espeak-ng sox")
    spoken = []
    for word in words:
        wav = subprocess.run(["espeak-ng", "-v", voice, "-s", str(rate_wpm), "--stdout", word],
                             capture_output=True, check=True).stdout
        raw = subprocess.run(["sox", "-t", "wav", "-", "-t", "raw", "-r", str(SAMPLE_RATE), "-c", "1", "-b", "16",
                              "-e", "signed-integer", "-L", "-"], input=wav, capture_output=True, check=True).stdout
        samples = array.array("h", raw)
        if sys.byteorder == "big":
            samples.byteswap()
        loud = [i for i, v in enumerate(samples) if abs(v) > 300]
        trimmed = samples[loud[0]:loud[-1] + 1] if loud else samples
        if sys.byteorder == "big":
            trimmed.byteswap()  # back to the recogniser's byte order
        spoken.append(trimmed)
    return spoken


def place(audio: array.array[int], at_s: float, words: Sequence[str], spoken: Sequence[array.array[int]],
          gap_s: float = 0.08) -> list[Placed]:
    """Writes the words' samples into `audio` one after another from `at_s`, `gap_s` apart,
    growing it as needed; returns where each one went."""
    placed = []
    t = at_s
    for word, samples in zip(words, spoken):
        start = round(t * SAMPLE_RATE)
        if len(audio) < start + len(samples):
            audio.extend(array.array("h", bytes(SAMPLE_BYTES * (start + len(samples) - len(audio)))))
        audio[start:start + len(samples)] = samples
        end = t + len(samples) / SAMPLE_RATE
        placed.append(Placed(word, t, end))
        t = end + gap_s
    return placed
