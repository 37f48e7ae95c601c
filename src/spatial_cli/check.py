"""spatial check: every line of every file a valid record, or each refused one reported."""

from __future__ import annotations

import sys

import _spatial as sp

from .records import InputError, Progress, lines


def run(files: list[str]) -> int:
    status = 0
    for name in files:
        counts = {"records": 0, "frames": 0, "events": 0, "refused": 0}
        progress = Progress(name)
        try:
            for number, line in lines(name):
                progress.add(len(line))
                try:
                    record = sp.from_jsonl(line)
                except ValueError as e:
                    counts["refused"] += 1
                    print(f"{name}:{number}: {e}", file=sys.stderr)
                    continue
                counts["frames" if type(record) is sp.SpatialIntentFrame else "events"] += 1
        except InputError as e:
            progress.done()
            print(f"spatial check: {e}", file=sys.stderr)
            status = 2
            continue
        progress.done()
        counts["records"] = counts["frames"] + counts["events"]
        print(f"{name}: {counts['records']} records ({counts['frames']} frames, {counts['events']} events), "
              f"{counts['refused']} refused", flush=True)
        if counts["refused"] and status == 0:
            status = 1
    return status
