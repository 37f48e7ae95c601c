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
import ctypes
import json
import math
import os
import queue
import re
import select
import shlex
import shutil
import subprocess
import struct
import sys
import threading
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import Protocol

import _spatial as sp

from . import listen, nanoseconds
from .commands import Command, CommandGrammar

# The words that point: demonstratives (this, that, these, those) and the place adverbs
# (here, there). "It", "one" and "them" refer back to what was said, not to where the
# hand is, so pairing them with a pointing ray would ground them wrongly as often as not.
DEICTIC = frozenset({"this", "that", "these", "those", "here", "there"})

SAMPLE_RATE = 16_000  # what the recogniser takes: mono, 16-bit signed little-endian
SAMPLE_BYTES = 2

# Dither: a little noise under the signal. Audio with stretches of exact zeros (synthesised
# speech, a muted microphone, a file padded with silence) otherwise throws the feature
# extraction off, and words next to the silence are lost: "hide it" came back "hide the".
# Seeded, so that the same audio is heard the same way every time.
RECOGNISER_OPTIONS = ("-dither", "yes", "-seed", "1")
# The recogniser's live mode with its end-pointer set (spatial_intent.listen): the same
# decoder and output as `pocketsphinx live`, and speech still heard under steady noise.
LISTENER = (sys.executable, "-m", "spatial_intent.listen")
# A command line that replaces it (another recogniser that prints the same lines).
RECOGNISER_VARIABLE = "SPATIAL_RECOGNISER"


def recogniser_command() -> list[str]:
    """The recogniser to run: $SPATIAL_RECOGNISER where it is set, else the listener."""
    given = os.environ.get(RECOGNISER_VARIABLE, "").strip()
    return shlex.split(given) if given else list(LISTENER)

INSTALL = "apt install pocketsphinx pocketsphinx-en-us (Debian, Ubuntu)"

# The latest time a word may have, in seconds from the audio's first sample: a later one
# would not fit the host's 64-bit nanosecond clock.
LATEST_S = (2**63 - 1) / 1e9
INT64 = range(-(2**63), 2**63)


class SpeechError(Exception):
    """A recogniser that is missing or stopped, or audio it cannot take: one line."""


@dataclass(frozen=True)
class Word:
    text: str
    begin_s: float  # on the audio's clock: seconds from its first sample
    end_s: float
    # How well the audio supports the word (the listener's judge): its acoustic score
    # against the recogniser's phone loop over the same frames, in thousands of the
    # recogniser's log units a frame; None where the recogniser gives none.
    confidence: float | None = None
    # For a word that competes with others for its place ("that" or "it"): each rival's
    # score on the word's audio against the word's own (above 0: the rival fits better).
    rivals: tuple[tuple[str, float], ...] = ()
    # A deictic word the recogniser was not sure of: it is paired with nothing.
    unsure: bool = False


@dataclass(frozen=True)
class Utterance:
    words: tuple[Word, ...]
    # What a background decoding of the same audio heard (the listener's -background):
    # its words, or None without one.
    background: tuple[str, ...] | None = None
    # The whole utterance's score against the phone loop, as a word's; None without one.
    confidence: float | None = None

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
        return self.first_sample_ns + nanoseconds(seconds)


# Recogniser's markers that are not words: sentence bounds, silence, noises; and the
# pronunciation variant a dictionary word was matched with ("that(2)").
_FILLER, _VARIANT = listen.FILLER, listen.VARIANT


def _seconds(value: object) -> float | None:
    """A word time as a float when it is a usable one: a number, not negative, finite."""
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        return None
    try:
        seconds = float(value)
    except OverflowError:  # an integer of hundreds of digits
        return None
    return seconds if math.isfinite(seconds) and seconds >= 0 else None


def read_pocketsphinx(line: str | bytes) -> Utterance | None:
    """One line of pocketsphinx's JSON output (`live` or `single`): the utterance it
    holds, or None when it heard no word. Anything else, however malformed (nested
    without end, numbers of any size), raises ValueError saying what is wrong."""
    try:
        result = json.loads(line)
    except RecursionError:
        raise ValueError("not JSON (nested too deeply)") from None
    except ValueError as e:  # malformed, or not UTF-8
        raise ValueError(f"not JSON ({e})") from None
    if not isinstance(result, dict) or not isinstance(result.get("w"), list):
        raise ValueError('not a recogniser result: expected an object with a "w" array')
    words = []
    for segment in result["w"]:
        text, begin, length = (segment.get(k) for k in ("t", "b", "d")) if isinstance(segment, dict) else (None,) * 3
        begin_s, length_s = _seconds(begin), _seconds(length)
        if not isinstance(text, str) or begin_s is None or length_s is None:
            raise ValueError(f"a word segment without text, begin and duration: {_shown(segment)}")
        if begin_s + length_s > LATEST_S:
            raise ValueError(f"a word beyond the 64-bit nanosecond clock ({LATEST_S:.4g} s): {_shown(segment)}")
        if _FILLER.match(text):
            continue
        rivals = segment.get("alt", {})
        if not isinstance(rivals, dict) or any(_score(v) is None for v in rivals.values()):
            raise ValueError(f"a word's rivals that are not an object of scores: {_shown(segment)}")
        words.append(Word(_VARIANT.sub("", text), begin_s, begin_s + length_s, _score(segment.get("c"), segment),
                          tuple(sorted((str(k), float(v)) for k, v in rivals.items()))))
    background = result.get("bg")
    if background is not None and not isinstance(background, str):
        raise ValueError(f'a background result that is not text: {_shown(background)}')
    heard = None if background is None else tuple(w for w in background.split() if not _FILLER.match(w))
    return Utterance(tuple(words), heard, _score(result.get("c"), result)) if words else None


def _score(value: object, where: object = None) -> float | None:
    """A confidence as a float: None when absent; a finite number, or ValueError."""
    if value is None:
        return None
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        try:
            score = float(value)
        except OverflowError:
            score = math.inf
        if math.isfinite(score):
            return score
    if where is None:
        return None
    raise ValueError(f"a confidence that is not a finite number: {_shown(where)}")


# How many words more than the command has the background decoding may hear before the
# utterance is taken for talk (the speech benchmark measures the trade).
BACKGROUND_MARGIN = 1


def background_refuses(utterance: Utterance, margin: int = BACKGROUND_MARGIN) -> bool:
    """Whether the background decoding says this was talk, not the command the grammar
    heard: it heard more than `margin` words more. Without a background, never."""
    return utterance.background is not None and len(utterance.background) > len(utterance.words) + margin


@dataclass(frozen=True)
class Rejection:
    """When the recogniser's own judge (the listener's phone loop and rivals) refuses
    what the grammar heard. An utterance whose score is below `utterance`, or with a
    word below `word`, is taken for talk, or for a command other than the one said: no
    event. A word whose rival fits the audio better by more than `rival` is replaced by
    it ("hide that" heard where "hide it" was said); one whose rival comes within
    `rival` of it is unsure, and a deictic word that is unsure makes no event. None
    turns a test off; a recogniser that gives no scores is never refused by them."""

    utterance: float | None = None
    word: float | None = -50.0
    rival: float | None = None


REJECTION = Rejection()


def judged(utterance: Utterance, rule: Rejection = REJECTION) -> Utterance | None:
    """The utterance as the audio supports it (each word replaced by a rival that fits
    better, a deictic word with a close rival marked unsure), or None when it is refused."""
    if rule.utterance is not None and utterance.confidence is not None and utterance.confidence < rule.utterance:
        return None
    if rule.word is not None and any(w.confidence is not None and w.confidence < rule.word for w in utterance.words):
        return None
    if rule.rival is None:
        return utterance
    words = []
    for word in utterance.words:
        best = max(word.rivals, key=lambda r: r[1], default=None)
        if best is not None and best[1] > rule.rival:
            word = Word(best[0], word.begin_s, word.end_s, word.confidence, word.rivals)
        elif best is not None and best[1] >= -rule.rival and word.text in DEICTIC:
            word = Word(word.text, word.begin_s, word.end_s, word.confidence, word.rivals, unsure=True)
        words.append(word)
    return Utterance(tuple(words), utterance.background, utterance.confidence)


def accepted(grammar: CommandGrammar, utterance: Utterance, margin: int | None = BACKGROUND_MARGIN,
             rule: Rejection | None = REJECTION) -> Utterance | None:
    """The utterance as the audio supports it (`judged`), to ground, when it says one of
    the grammar's commands; None for talk: words that are not a command, an utterance
    the recogniser's judge refuses (`rule`; None: not asked), or a command the
    background decoding heard as talk (by `margin`; None: not asked)."""
    if rule is not None:
        judged_as = judged(utterance, rule)
        if judged_as is None:
            return None
        utterance = judged_as
    if grammar.command(w.text for w in utterance.words) is None:
        return None
    if margin is not None and background_refuses(utterance, margin):
        return None
    return utterance


def command(grammar: CommandGrammar, utterance: Utterance, margin: int | None = BACKGROUND_MARGIN,
            rule: Rejection | None = REJECTION) -> Command | None:
    """The command an utterance says, as the audio supports it, or None for talk (see
    `accepted`)."""
    kept = accepted(grammar, utterance, margin, rule)
    return None if kept is None else grammar.command(w.text for w in kept.words)


def _shown(value: object, limit: int = 60) -> str:
    """A value for a one-line message: JSON, cut short."""
    try:
        text = json.dumps(value)
    except (ValueError, RecursionError):
        text = "..."
    return text if len(text) <= limit else text[:limit] + "..."


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
    text with it marked) for each one the recogniser was sure of, or (None, the
    utterance's begin, its text) for an utterance without one."""
    pointing = [i for i, w in enumerate(utterance.words) if w.text.lower() in DEICTIC]
    if not pointing:
        return [(None, utterance.begin_s, utterance.text)]
    return [(utterance.words[i], utterance.words[i].begin_s, marked(utterance, i)) for i in pointing
            if not utterance.words[i].unsure]


def ground(utterance: Utterance, clock: AudioClock, timeline: sp.IntentTimeline) -> list[Grounded]:
    """Each deictic word of the utterance paired with the frame in force when it began;
    an utterance with none paired once, at its start."""
    found = []
    for word, begin_s, text in pairings(utterance):
        at = clock.to_host_ns(begin_s)
        event = timeline.submit_text(text, at) if at in INT64 else None  # past the clock: no frame is that late
        found.append(Grounded(word, at, text, event))
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
    """The recogniser as a process of its own (`program`, by default the listener or
    $SPATIAL_RECOGNISER; `pocketsphinx` runs its own live mode), fed raw audio on its
    standard input; its results are read by a thread, so `results` never waits. No wait on it is
    unbounded: audio it takes no byte of for `answer_s` ends it, and so does an end of
    the audio it does not finish within `close`'s timeout; either is a SpeechError that
    says so."""

    def __init__(self, grammar: str | None = None, warn: Callable[[str], None] | None = None,
                 program: str | Sequence[str] | None = None, answer_s: float = 10.0,
                 options: Sequence[str] = RECOGNISER_OPTIONS) -> None:
        prefix = recogniser_command() if program is None else [program] if isinstance(program, str) \
            else list(program)
        if shutil.which(prefix[0]) is None:
            raise SpeechError(f"the speech recogniser is not installed: {INSTALL}")
        if prefix == list(LISTENER):
            try:
                ctypes.CDLL("libpocketsphinx.so.5")
            except OSError:
                raise SpeechError(f"the speech recogniser is not installed: {INSTALL}") from None
        self.warn = warn or (lambda message: print(message, file=sys.stderr, flush=True))
        self.answer_s = answer_s
        command = [*prefix, *options, *(["-jsgf", grammar] if grammar else []), "live", "-"]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        assert self.process.stdin is not None
        self.stdin = self.process.stdin.fileno()
        os.set_blocking(self.stdin, False)
        self.arrived: queue.Queue[tuple[int, Utterance]] = queue.Queue()
        self.errors: list[str] = []
        self.ended: str | None = None  # why this side ended it, when it did
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
                self.warn(f"speech: skipped a line of the recogniser's ({e}): {printable(line, 60)}")
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
        """Why the recogniser is no longer running, or None while it is. Its first
        complaint is given: what follows it is mostly the consequence ("decoder init
        failed" after the word it could not find)."""
        status = self.process.poll()
        if status is None:
            return None
        if self.ended is not None:
            return f"the speech recogniser was ended: {self.ended}"
        why = f"killed by signal {-status}" if status < 0 else f"exit status {status}"
        self.stderr.join(1.0)  # its last words, when it is just gone
        detail = f": {printable(_complaint(self.errors), 160)}" if self.errors else ""
        return f"the speech recogniser stopped ({why}){detail}"

    def _end(self, why: str) -> None:
        if self.process.poll() is None:
            self.ended = why
        self.kill()

    def feed(self, samples: bytes) -> None:
        assert self.process.stdin is not None
        if self.process.stdin.closed:
            raise SpeechError(self.stopped() or "the speech recogniser was closed")
        view = memoryview(samples)
        while view:
            try:
                if not select.select([], [self.stdin], [], self.answer_s)[1]:
                    self._end(f"it took no audio for {self.answer_s:g} s")
                    raise SpeechError(self.stopped() or "the speech recogniser stopped")
                view = view[os.write(self.stdin, view):]
            except BlockingIOError:
                continue
            except (OSError, ValueError):  # it went away, or another thread ended it
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
        except OSError:  # a broken pipe: what was buffered has nowhere to go
            pass
        try:
            self.process.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            self._end(f"it did not finish within {timeout_s:g} s of the audio's end")
        self.reader.join(timeout=timeout_s)
        return self.results()

    def kill(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        assert self.process.stdin is not None
        try:
            self.process.stdin.close()
        except OSError:  # what was still buffered has nowhere to go
            pass


def _complaint(errors: list[str]) -> str:
    """The recogniser's complaint that says most: the first error, without its
    source-file prefix."""
    return re.sub(r'^(ERROR|FATAL): ("[^"]*", line \d+: )?', "", errors[0])


_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029]")


def printable(text: str, limit: int) -> str:
    """Text from another program for a line of our own: cut to `limit` characters, and
    every control character (line breaks, a terminal's escape sequences) written as an
    escape, so that it can neither start a line nor act on the terminal."""
    cut = text if len(text) <= limit else text[:limit]
    shown = _CONTROL.sub(lambda m: json.dumps(m.group())[1:-1], cut)
    return shown + ("..." if len(text) > limit else "")


_WORD = re.compile(r"[a-z]+(?:'[a-z]+)*")
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def grammar(phrases: Iterable[str], name: str = "commands") -> str:
    """A JSGF grammar that accepts exactly these phrases. Each phrase is words of
    letters (a to z, with apostrophes inside: "what's"), any case, apart by white space;
    a phrase with anything else ("panel 3", "café", "stop!") is refused with ValueError
    naming it, rather than heard as something it does not say."""
    if not _NAME.fullmatch(name):
        raise ValueError(f"the grammar's name {name!r} is not a JSGF rule name (letters, digits, _)")
    alternatives = []
    for phrase in phrases:
        if not isinstance(phrase, str):
            raise ValueError(f"a phrase must be text, not {type(phrase).__name__}")
        words = phrase.lower().split()
        if not words:
            raise ValueError(f"the phrase {phrase!r} has no words")
        for word in words:
            if not _WORD.fullmatch(word):
                raise ValueError(f"the phrase {phrase!r} has {word!r}, which is not a word of letters a to z: "
                                 "spell numbers and symbols out")
        alternatives.append(" ".join(words))
    if not alternatives:
        raise ValueError("a grammar needs at least one phrase")
    return f"#JSGF V1.0;\ngrammar {name};\npublic <{name}> = {' | '.join(alternatives)};\n"


def read_audio(path: str) -> bytes:
    """The samples of an audio file as the recogniser takes them. A WAV file already at
    16 kHz, mono and 16-bit is read as it is (a data chunk whose size a recorder stopped
    before it could write it, 0, is read to the end of the file); anything else goes
    through sox, and audio that neither can take, or a file with no sound at all, is
    refused in one line."""
    try:
        samples = _plain_wav(path)
    except OSError as e:
        raise SpeechError(f"{path}: {e.strerror or e}") from None
    if samples is None:
        samples = _converted(path)
    if not samples:
        raise SpeechError(f"{path}: no audio")
    return samples


def _plain_wav(path: str) -> bytes | None:
    """The samples of a WAV file at the recogniser's format, or None for anything else.
    A RIFF or data size of 0 is what a streaming writer that was stopped leaves, with the
    whole recording after it: such a data chunk is read to the end of the file."""
    with open(path, "rb") as f:
        if f.read(4) != b"RIFF" or len(f.read(4)) != 4 or f.read(4) != b"WAVE":
            return None
        plain = False
        while len(header := f.read(8)) == 8:
            name, size = header[:4], struct.unpack("<I", header[4:])[0]
            if name == b"fmt ":
                fmt = f.read(size + size % 2)
                if len(fmt) < 16:
                    return None
                tag, channels, rate, _, _, bits = struct.unpack("<HHIIHH", fmt[:16])
                plain = tag in (1, 0xFFFE) and (channels, rate, bits) == (1, SAMPLE_RATE, 8 * SAMPLE_BYTES)
            elif name == b"data":
                if not plain:
                    return None
                samples = f.read() if size in (0, 0xFFFFFFFF) else f.read(size)
                return samples[:len(samples) - len(samples) % SAMPLE_BYTES]
            else:
                f.seek(size + size % 2, os.SEEK_CUR)
    return None


def _converted(path: str) -> bytes:
    if shutil.which("sox") is None:
        raise SpeechError(f"{path}: not 16 kHz mono 16-bit WAV, and sox (to convert it) is not installed: "
                          "apt install sox")
    try:
        done = subprocess.run(["sox", path, "-t", "raw", "-r", str(SAMPLE_RATE), "-c", "1", "-b", "16",
                               "-e", "signed-integer", "-L", "-"], capture_output=True, timeout=600)
    except subprocess.TimeoutExpired:
        raise SpeechError(f"{path}: sox did not convert it within 600 s") from None
    if done.returncode != 0:
        reason = done.stderr.decode("utf-8", "replace").strip().splitlines()
        raise SpeechError(f"{path}: not audio the recogniser can take "
                          f"({printable(reason[-1], 160) if reason else 'sox failed'})")
    return done.stdout


def recognise(samples: bytes, grammar_path: str | None = None, warn: Callable[[str], None] | None = None,
              program: str | Sequence[str] | None = None, answer_s: float = 10.0,
              progress: Callable[[float, float], None] | None = None, source: str = "the audio",
              options: Sequence[str] = RECOGNISER_OPTIONS) -> list[Utterance]:
    """Every utterance in recorded audio, with word times from its first sample;
    `progress(seconds fed, seconds in all)` after each second of it. `source` names the
    audio in a message."""
    if grammar_path is not None:
        try:
            open(grammar_path, "rb").close()
        except OSError as e:
            raise SpeechError(f"{grammar_path}: {e.strerror}") from None
    if not samples:
        raise SpeechError(f"{source}: no audio")
    recogniser = PocketSphinx(grammar_path, warn, program, answer_s, options)
    try:
        step = SAMPLE_RATE * SAMPLE_BYTES  # a second at a time
        for at in range(0, len(samples), step):
            recogniser.feed(samples[at:at + step])
            if progress is not None:
                progress(min(at + step, len(samples)) / step, len(samples) / step)
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


LOUD = 300  # a sample this far from zero is a synthesiser's sound, not its silence


def sounding(samples: Sequence[int]) -> tuple[int, int]:
    """Where the sound of synthesised samples is: its first sample and one past its
    last; all of them when none is loud."""
    loud = [i for i, v in enumerate(samples) if abs(v) > LOUD]
    return (loud[0], loud[-1] + 1) if loud else (0, len(samples))


def synthesise(words: Sequence[str], voice: str = "en-us", rate_wpm: int = 150) -> list[array.array[int]]:
    """Each word spoken by espeak-ng, as the recogniser's samples trimmed to its sound:
    speech of known timing, for tests and scripted users."""
    for program in ("espeak-ng", "sox"):
        if shutil.which(program) is None:
            raise SpeechError(f"{program} is not installed: apt install espeak-ng sox")
    spoken = []
    for word in words:
        try:
            wav = subprocess.run(["espeak-ng", "-v", voice, "-s", str(rate_wpm), "--stdout", word],
                                 capture_output=True, check=True, timeout=60).stdout
            raw = subprocess.run(["sox", "-t", "wav", "-", "-t", "raw", "-r", str(SAMPLE_RATE), "-c", "1", "-b", "16",
                                  "-e", "signed-integer", "-L", "-"], input=wav, capture_output=True, check=True,
                                 timeout=60).stdout
        except subprocess.TimeoutExpired as e:
            raise SpeechError(f"{e.cmd[0]} did not finish within 60 s, speaking {word!r}") from None
        except subprocess.CalledProcessError as e:
            reason = e.stderr.decode("utf-8", "replace").strip().splitlines() if e.stderr else []
            raise SpeechError(f"{e.cmd[0]} failed speaking {word!r}"
                              f"{': ' + printable(reason[-1], 160) if reason else ''}") from None
        samples = array.array("h", raw)
        if sys.byteorder == "big":
            samples.byteswap()
        first, last = sounding(samples)
        trimmed = samples[first:last]
        if sys.byteorder == "big":
            trimmed.byteswap()  # back to the recogniser's byte order
        spoken.append(trimmed)
    return spoken


class _EspeakEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("unique_identifier", ctypes.c_uint), ("text_position", ctypes.c_int),
                ("length", ctypes.c_int), ("audio_position", ctypes.c_int), ("sample", ctypes.c_int),
                ("user_data", ctypes.c_void_p), ("id", ctypes.c_void_p)]


_ESPEAK_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ctypes.c_short), ctypes.c_int,
                                    ctypes.POINTER(_EspeakEvent))
_WORD_EVENT, _LIST_END = 1, 0
_SYNCHRONOUS = 2
_RATE = 1
_UTF8, _END_PAUSE = 0x1, 0x1000  # the text is UTF-8; a sentence ends with its closing pause


class _Espeak:
    """libespeak-ng in this process: one speaker at a time (the library keeps one voice
    and one callback), each sentence's samples with the start of every word."""

    lock = threading.Lock()
    library: ctypes.CDLL | None = None
    rate_hz = 0

    def __init__(self) -> None:
        self.samples = array.array("h")
        self.starts: list[tuple[int, int, int]] = []  # (text position, length, ms)
        self.callback = _ESPEAK_CALLBACK(self._take)

    def _take(self, wav, count, events) -> int:  # type: ignore[no-untyped-def]
        if wav and count > 0:
            self.samples.frombytes(ctypes.string_at(wav, count * 2))
        i = 0
        while events[i].type != _LIST_END:
            if events[i].type == _WORD_EVENT:
                self.starts.append((events[i].text_position, events[i].length, events[i].audio_position))
            i += 1
        return 0

    @classmethod
    def load(cls) -> ctypes.CDLL:
        if cls.library is None:
            try:
                library = ctypes.CDLL("libespeak-ng.so.1")
            except OSError:
                raise SpeechError("libespeak-ng is not installed: apt install espeak-ng") from None
            library.espeak_SetVoiceByName.argtypes = [ctypes.c_char_p]
            library.espeak_Synth.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint, ctypes.c_int,
                                             ctypes.c_uint, ctypes.c_uint, ctypes.c_void_p, ctypes.c_void_p]
            library.espeak_SetSynthCallback.argtypes = [_ESPEAK_CALLBACK]
            rate = library.espeak_Initialize(_SYNCHRONOUS, 0, None, 0)
            if rate <= 0:
                raise SpeechError("libespeak-ng could not start: its voice data is missing (apt install espeak-ng)")
            cls.library, cls.rate_hz = library, rate
        return cls.library

    def speak(self, text: str, voice: str, rate_wpm: int) -> None:
        library = self.load()
        if library.espeak_SetVoiceByName(voice.encode()) != 0:
            raise SpeechError(f"espeak-ng has no voice {voice!r}")
        library.espeak_SetParameter(_RATE, int(rate_wpm), 0)
        library.espeak_SetSynthCallback(self.callback)
        data = text.encode() + b"\0"
        if library.espeak_Synth(data, len(data), 0, 1, 0, _UTF8 | _END_PAUSE, None, None) != 0 \
                or library.espeak_Synchronize() != 0:
            raise SpeechError(f"espeak-ng failed speaking {printable(text, 60)!r}")


def speak_sentence(text: str, voice: str = "en-us", rate_wpm: int = 160) -> tuple[array.array[int], list[Placed]]:
    """The sentence spoken whole, as people speak, its words running into each other:
    the recogniser's samples, and where each word begins (the synthesiser's own word
    events) and ends (where the next begins, or the sound's end for the last)."""
    words = text.split()
    if not words or not all(_WORD.fullmatch(w.lower()) for w in words):
        raise ValueError(f"{printable(text, 60)!r} is not words of letters a to z")
    if shutil.which("sox") is None:
        raise SpeechError("sox is not installed: apt install espeak-ng sox")
    with _Espeak.lock:
        speaker = _Espeak()
        speaker.speak(" ".join(words), voice, rate_wpm)
        rate = _Espeak.rate_hz
    spoken = " ".join(words)
    offsets = [m.start() + 1 for m in re.finditer(r"\S+", spoken)]  # the library counts from 1
    begins = {offsets.index(p): ms / 1000 for p, _, ms in speaker.starts if p in offsets}
    missing = [w for i, w in enumerate(words) if i not in begins]
    if missing:
        raise SpeechError(f"espeak-ng ran {missing[0]!r} into another word in {printable(spoken, 60)!r}: "
                          "it has no start of its own")
    native = speaker.samples
    if sys.byteorder == "big":
        native.byteswap()
    try:
        # -R: the resampler's dither seeded the same every run, so a sentence sounds the same each time.
        raw = subprocess.run(["sox", "-R", "-t", "raw", "-r", str(rate), "-c", "1", "-b", "16", "-e", "signed-integer", "-L",
                              "-", "-t", "raw", "-r", str(SAMPLE_RATE), "-c", "1", "-b", "16", "-e", "signed-integer",
                              "-L", "-"], input=native.tobytes(), capture_output=True, check=True, timeout=60).stdout
    except subprocess.TimeoutExpired:
        raise SpeechError("sox did not finish within 60 s") from None
    except subprocess.CalledProcessError as e:
        raise SpeechError(f"sox failed: {printable(e.stderr.decode('utf-8', 'replace').strip(), 160)}") from None
    samples = array.array("h", raw)
    if sys.byteorder == "big":
        samples.byteswap()
    sound_end = sounding(samples)[1] / SAMPLE_RATE
    ordered = [begins[i] for i in range(len(words))]
    ends = ordered[1:] + [sound_end]
    if sys.byteorder == "big":
        samples.byteswap()
    return samples, [Placed(w.lower(), b, e) for w, b, e in zip(words, ordered, ends)]


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
