"""The other process of a split host: it reads the frames the OpenXR host writes to a
pipe, keeps its own IntentTimeline, and pairs the script's utterances at their own
monotonic time, as a speech recogniser or an agent outside the render loop would.

    python3 -m openxr.host --frames - ... | python3 consumer.py --start-ns NS --seconds S
        [--frames FILE] [--events FILE] [--summary FILE]

Each frame is also kept in --frames; the summary holds, per frame, when it was pushed
(CLOCK_MONOTONIC ns), for the latency of the pipe."""

from __future__ import annotations

import argparse
import json
import os
import sys
import threading
import time

import _spatial as sp
from spatial_intent import nanoseconds

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "shared"))
import script  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--start-ns", type=int, required=True, help="CLOCK_MONOTONIC ns of the script's second 0")
    parser.add_argument("--seconds", type=float, required=True)
    parser.add_argument("--phases", default=",".join(script.PHASES), help="the script's ways of pointing played")
    parser.add_argument("--frames", required=True)
    parser.add_argument("--events", required=True)
    parser.add_argument("--summary", required=True)
    args = parser.parse_args()

    timeline = sp.IntentTimeline(capacity=240, max_context_age_ns=200_000_000)
    pushed: list[list[int]] = []
    said: list[dict] = []
    refused = 0

    def follow() -> None:
        nonlocal refused
        with open(args.frames, "w", encoding="utf-8") as kept:
            for line in sys.stdin.buffer:
                try:
                    record = sp.from_jsonl(line)
                except ValueError as e:
                    refused += 1
                    print(f"consumer: a line from the host is not a record: {e}", file=sys.stderr)
                    continue
                timeline.push(record)
                pushed.append([record.timestamp_ns, time.monotonic_ns()])
                kept.write(line.decode())

    reader = threading.Thread(target=follow, daemon=True)
    reader.start()
    try:
        with open(args.events, "w", encoding="utf-8") as events:
            for at, text, _ in script.Script(args.seconds, tuple(args.phases.split(","))).utterances():
                due = args.start_ns + nanoseconds(at)
                # Said at `due`; a recogniser hands it over a little later.
                time.sleep(max(0.0, (due - time.monotonic_ns()) / 1e9 + 0.02))
                event = timeline.submit_text(text, due)
                target = event.spatial_context.target if event is not None else None
                if event is not None:
                    events.write(sp.to_jsonl(event) + "\n")
                said.append({"text": text, "at_ns": due, "paired": event is not None,
                             "host_id": target.host_id if target is not None else None})
        reader.join()
    except KeyboardInterrupt:
        print(f"consumer: interrupted; {len(pushed)} frames read", file=sys.stderr)
        return 130
    with open(args.summary, "w", encoding="utf-8") as out:
        json.dump({"frames": len(pushed), "refused": refused, "events": said, "pushed": pushed}, out)
    return 0 if refused == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
