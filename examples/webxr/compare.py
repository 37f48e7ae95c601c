"""The same script through two runtimes: what each host's records say, side by side."""

from __future__ import annotations

import bisect
import json
from typing import Any


def read(path: str) -> list[dict[str, Any]]:
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


def grounded(frame: dict[str, Any]) -> str | None:
    target = frame.get("target")
    return target.get("host_id") if target else None


def agreement(a: list[dict[str, Any]], a_start: int, b: list[dict[str, Any]], b_start: int, s: Any,
              ) -> tuple[float, int]:
    """The share of b's frames, outside the moves between panels, whose grounded target is
    the one of a's frame nearest in script time; and how many frames were compared."""
    times = [(f["timestamp_ns"] - a_start) / 1e9 for f in a]
    same = compared = 0
    for frame in b:
        t = (frame["timestamp_ns"] - b_start) / 1e9
        if not 0 <= t <= s.seconds or s.panel_at(t) is None or not times:
            continue
        i = bisect.bisect_left(times, t)
        nearest = min((j for j in (i - 1, i) if 0 <= j < len(a)), key=lambda j: abs(times[j] - t))
        compared += 1
        same += grounded(a[nearest]) == grounded(frame)
    return (same / compared if compared else 0.0), compared


def select_edges(frames: list[dict[str, Any]]) -> list[bool]:
    """The directions of the select state's changes, in order."""
    edges, pressed = [], None
    for f in frames:
        select = f.get("primary_select")
        if select is None:
            continue
        if pressed is not None and select["pressed"] != pressed:
            edges.append(select["pressed"])
        pressed = select["pressed"]
    return edges
