"""spatial replay: recorded frames pushed into a timeline at their own pace, utterances
submitted at their times, each event written as a line."""

from __future__ import annotations

import sys
import time

import _spatial as sp

from .. import nanoseconds
from .records import InputError, Progress, Utterance, diagnose, opened, records

INT64 = range(-(2**63), 2**63)


def utterances(said: list[Utterance], paths: list[str]) -> list[Utterance]:
    """Those of --say and of every --utterances file, in time order."""
    found = list(said)
    for path in paths:
        with opened(path) as stream:
            for number, raw in enumerate(stream, 1):
                where = f"{path}:{number}"
                try:
                    line = raw.decode("utf-8").rstrip("\r\n")
                except UnicodeDecodeError as e:
                    raise InputError(f"{where}: not UTF-8 text (byte {e.start + 1} of the line)") from None
                if not line.strip():
                    continue
                seconds, tab, text = line.partition("\t")
                if not tab:
                    raise InputError(f"{where}: expected SECONDS<TAB>TEXT")
                if not text.strip():
                    raise InputError(f"{where}: no text after the time")
                try:
                    found.append(Utterance(Utterance.seconds_from(seconds), text, where))
                except ValueError as e:
                    raise InputError(f"{where}: {e}") from None
    return sorted(found, key=lambda u: u.seconds)


def heard(audio_path: str, start_s: float, grammar: str | None, objects: list[str] | None = None,
          verbs: list[str] | None = None, placing: list[str] | None = None, background: bool = False,
          ) -> list[Utterance]:
    """What the recogniser heard in recorded audio whose first sample lies `start_s`
    after the first frame: one utterance to submit for each deictic word, at the time it
    was spoken, and one for an utterance without such a word, at its start. With the
    scene's `objects`, it listens with the command grammar over them (with the host's
    `verbs` and `placing` verbs, else the default ones), and what it heard that is not a
    command is dropped; with `background`, so is a command that a background decoding of
    the same audio heard as talk (speech.background_refuses)."""
    import tempfile

    from .. import speech
    from ..commands import CommandGrammar

    from ..commands import PLACING, VERBS

    commands = CommandGrammar(objects, verbs=VERBS if verbs is None else verbs,
                              placing=PLACING if placing is None else placing) if objects else None

    def progress(done_s: float, total_s: float) -> None:
        Progress.show(f"spatial replay: recognising speech, {done_s:.0f} of {total_s:.0f} s")

    try:
        if audio_path == "-":
            samples = sys.stdin.buffer.read()
            samples = samples[:len(samples) - len(samples) % speech.SAMPLE_BYTES]
        else:
            samples = speech.read_audio(audio_path)
        with tempfile.NamedTemporaryFile("w", suffix=".gram", encoding="utf-8") as written:
            if commands is not None:
                written.write(commands.jsgf())
                written.flush()
                grammar = written.name
            recognised = speech.recognise(samples, grammar, warn=diagnose, progress=progress,
                                          source="standard input (--audio -)",
                                          options=(*speech.RECOGNISER_OPTIONS,
                                                   *(("-background", "yes") if background else ())))
    except speech.SpeechError as e:
        raise InputError(str(e)) from None
    finally:
        Progress.clear()
    if commands is not None:
        recognised = [kept for u in recognised if (kept := speech.accepted(commands, u)) is not None]
    found = []
    for utterance in recognised:
        for _, begin_s, text in speech.pairings(utterance):
            found.append(Utterance(start_s + begin_s, text, f"{audio_path} at {begin_s:.3f} s"))
    return found


def run(frames_path: str, rate: float, said: list[Utterance], capacity: int, max_age_ms: float) -> int:
    timeline = sp.IntentTimeline(capacity=capacity, max_context_age_ns=int(max_age_ms * 1e6))
    pending = list(said)
    first_ns = wall_start = 0
    frames = passed_over = unpaired = refused = 0
    write = sys.stdout.write
    sys.stdout.flush()

    def count_refused(number: int, message: str) -> None:
        nonlocal refused
        refused += 1
        diagnose(f"{frames_path}:{number}: {message}")

    def submit(until_ns: int | None) -> None:
        nonlocal unpaired
        while pending and (until_ns is None or first_ns + nanoseconds(pending[0].seconds) < until_ns):
            u = pending.pop(0)
            at = first_ns + nanoseconds(u.seconds)
            event = timeline.submit_text(u.text, at) if at in INT64 else None
            if event is None:
                unpaired += 1
                why = f"found no frame in the {max_age_ms:g} ms before it" if at in INT64 else \
                    "falls outside the 64-bit nanosecond clock"
                diagnose(f"spatial replay: {u.where}: {u.text!r} at {u.seconds:.3f} s {why}")
            else:
                write(sp.to_jsonl(event) + "\n")
                sys.stdout.flush()  # a reader downstream may be waiting for it

    for record in records(frames_path, count_refused):
        if type(record) is not sp.SpatialIntentFrame:
            passed_over += 1
            continue
        t = record.timestamp_ns
        if frames == 0:
            first_ns, wall_start = t, time.monotonic_ns()
        submit(t)  # what was said before this frame pairs with the frames before it
        if rate > 0:
            due = wall_start + (t - first_ns) / rate
            while (delay := due - time.monotonic_ns()) > 0:  # a second at most at a time: any gap fits
                time.sleep(min(delay / 1e9, 1.0))
        timeline.push(record)
        frames += 1
    if frames:
        submit(None)
    elif pending:
        unpaired += len(pending)
        diagnose(f"spatial replay: no frames, so {len(pending)} utterances found none")
    sys.stdout.flush()
    diagnose(f"spatial replay: {frames} frames, {len(said) - unpaired} events, {unpaired} utterances unpaired, "
             f"{passed_over} events in the input passed over")
    return 1 if refused else 0
