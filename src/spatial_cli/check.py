"""spatial check: every line of every file a valid record, or each refused one reported."""

from __future__ import annotations

import sys

import _spatial as sp

from .records import InputError, records


def run(files: list[str]) -> int:
    status = 0
    for name in files:
        frames = events = refused = 0

        def report(number: int, message: str) -> None:
            nonlocal refused
            refused += 1
            print(f"{name}:{number}: {message}", file=sys.stderr)

        try:
            for record in records(name, report):
                if type(record) is sp.SpatialIntentFrame:
                    frames += 1
                else:
                    events += 1
        except InputError as e:
            print(f"spatial check: {e}", file=sys.stderr)
            status = 2
            continue
        print(f"{name}: {frames + events} records ({frames} frames, {events} events), {refused} refused", flush=True)
        if refused and status == 0:
            status = 1
    return status
