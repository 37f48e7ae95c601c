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
              phases: tuple[str, ...] = ("controller", "hand", "head"),
              ) -> tuple[float, int]:
    """The share of b's frames, outside the moves between panels and in the phases both
    runtimes have (the OpenXR runtime has no eyes), whose grounded target is the one of
    a's frame nearest in script time; and how many frames were compared."""
    times = [(f["timestamp_ns"] - a_start) / 1e9 for f in a]
    same = compared = 0
    for frame in b:
        t = (frame["timestamp_ns"] - b_start) / 1e9
        if not 0 <= t <= s.seconds or s.panel_at(t) is None or s.pointer(t) not in phases or not times:
            continue
        i = bisect.bisect_left(times, t)
        nearest = min((j for j in (i - 1, i) if 0 <= j < len(a)), key=lambda j: abs(times[j] - t))
        compared += 1
        same += grounded(a[nearest]) == grounded(frame)
    return (same / compared if compared else 0.0), compared


def shares(frames: list[dict[str, Any]], start: int, s: Any) -> dict[str, dict[str, float]]:
    """Per phase of the script, the share of its frames that carry each of the members a
    runtime fills or leaves out, and that each pointing source points in."""
    counts: dict[str, dict[str, int]] = {}
    for f in frames:
        t = (f["timestamp_ns"] - start) / 1e9
        if not 0 <= t < s.seconds:
            continue
        c = counts.setdefault(s.pointer(t), {"frames": 0})
        c["frames"] += 1
        for member in ("left_hand", "right_hand", "gaze", "primary_select"):
            c[member] = c.get(member, 0) + (member in f)
        source = f["pointing"]["source"] if "pointing" in f else "none"
        c[source] = c.get(source, 0) + 1
    return {phase: {k: v / c["frames"] for k, v in c.items() if k != "frames"} | {"frames": c["frames"]}
            for phase, c in counts.items()}


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
