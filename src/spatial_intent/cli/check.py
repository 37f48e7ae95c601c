"""spatial check: every line of every file a valid record, or each refused one reported."""

from __future__ import annotations

import _spatial as sp

from .records import InputError, diagnose, records


def run(files: list[str]) -> int:
    status = 0
    for name in files:
        frames = events = refused = 0

        def report(number: int, message: str) -> None:
            nonlocal refused
            refused += 1
            diagnose(f"{name}:{number}: {message}")

        try:
            for record in records(name, report):
                if isinstance(record, sp.SpatialIntentFrame):
                    frames += 1
                else:
                    events += 1
        except InputError as e:
            diagnose(f"spatial check: {e}")
            status = 2
            continue
        print(f"{name}: {frames + events} records ({frames} frames, {events} events), {refused} refused", flush=True)
        if refused and status == 0:
            status = 1
    return status
