"""spatial replay: recorded frames pushed into a timeline at their own pace, utterances
submitted at their times, each event written as a line."""

from __future__ import annotations

import sys
import time

import _spatial as sp

from .records import InputError, open_input, records


def utterances(said: list[str], path: str | None) -> list[tuple[float, str]]:
    """(seconds from the first frame, text), in time order, from --say and --utterances."""
    found = []
    for item in said:
        seconds, _, text = item.partition(":")
        found.append((float(seconds), text))
    if path:
        with open_input(path) as stream:
            for number, raw in enumerate(stream, 1):
                line = raw.decode("utf-8").rstrip("\r\n")
                if not line.strip():
                    continue
                seconds, tab, text = line.partition("\t")
                if not tab:
                    raise InputError(f"{path}:{number}: expected SECONDS<TAB>TEXT")
                found.append((float(seconds), text))
    return sorted(found, key=lambda u: u[0])


def run(frames_path: str, rate: float, said: list[tuple[float, str]], capacity: int, max_age_ms: float) -> int:
    timeline = sp.IntentTimeline(capacity=capacity, max_context_age_ns=int(max_age_ms * 1e6))
    pending = list(said)
    first_ns = wall_start = None
    frames = passed_over = unpaired = 0
    write = sys.stdout.write
    sys.stdout.flush()

    def submit(until_ns: int | None) -> None:
        nonlocal unpaired
        while pending and (until_ns is None or first_ns + int(pending[0][0] * 1e9) < until_ns):
            seconds, text = pending.pop(0)
            event = timeline.submit_text(text, first_ns + int(seconds * 1e9))
            if event is None:
                unpaired += 1
                print(f"spatial replay: {text!r} at {seconds:.3f} s found no frame in the "
                      f"{max_age_ms:g} ms before it", file=sys.stderr)
            else:
                write(sp.to_jsonl(event) + "\n")
                sys.stdout.flush()  # a reader downstream may be waiting for it

    for record in records(frames_path):
        if type(record) is not sp.SpatialIntentFrame:
            passed_over += 1
            continue
        t = record.timestamp_ns
        if first_ns is None:
            first_ns, wall_start = t, time.monotonic_ns()
        submit(t)  # what was said before this frame pairs with the frames before it
        if rate > 0:
            due = wall_start + int((t - first_ns) / rate)
            delay = due - time.monotonic_ns()
            if delay > 0:
                time.sleep(delay / 1e9)
        timeline.push(record)
        frames += 1
    if first_ns is not None:
        submit(None)
    elif pending:
        unpaired += len(pending)
        print(f"spatial replay: no frames, so {len(pending)} utterances found none", file=sys.stderr)
    sys.stdout.flush()
    print(f"spatial replay: {frames} frames, {len(said) - unpaired} events, {unpaired} utterances unpaired, "
          f"{passed_over} events in the input passed over", file=sys.stderr)
    return 0
