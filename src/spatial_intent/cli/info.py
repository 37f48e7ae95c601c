"""spatial info: what a person asks first about a recording."""

from __future__ import annotations

import json
import sys
from collections import Counter
from typing import Any

import _spatial as sp

from .records import records


def percentile(ordered: list[int], q: float) -> int:
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else 0


def summarise(name: str) -> dict[str, Any]:
    frames = events = refused = 0
    first = last = 0
    previous: int | None = None
    intervals: list[int] = []
    tracking: Counter[str] = Counter()
    pointing: Counter[str] = Counter()
    tracked: Counter[str] = Counter()  # frames carrying each hand and the gaze
    targets: dict[str, dict[str, int]] = {}
    presses, holds = 0, list[int]()
    pressed_since: int | None = None
    space: tuple[str, str, int] | None = None
    space_changes = 0
    select_after_frame = 0
    said: list[tuple[int, str, str | None, int]] = []

    def count_refused(number: int, message: str) -> None:
        nonlocal refused
        refused += 1

    for record in records(name, count_refused):
        if isinstance(record, sp.ContextualIntentEvent):
            events += 1
            target = record.spatial_context.target
            said.append((record.timestamp_ns, record.text, target.host_id if target is not None else None,
                         record.spatial_age_ns))
            continue
        frames += 1
        t = record.timestamp_ns
        first = t if frames == 1 else first
        if previous is not None:
            intervals.append(t - previous)
        previous = last = t
        tracking[record.head_tracking.name.lower()] += 1
        if record.pointing is not None:
            pointing[record.pointing.source.name.lower()] += 1
        tracked["left_hand"] += record.left_hand_pose is not None
        tracked["right_hand"] += record.right_hand_pose is not None
        tracked["gaze"] += record.gaze_ray is not None
        if record.target is not None:
            key = record.target.host_id if record.target.host_id is not None else "(no host_id)"
            seen = targets.setdefault(key, {"frames": 0, "first_ns": t, "last_ns": t})
            seen["frames"] += 1
            seen["last_ns"] = t
        select = record.primary_select
        if select is not None:
            if select.last_change_time_ns > t:
                select_after_frame += 1
            if select.pressed and pressed_since is None:
                presses += 1
                pressed_since = t
            elif not select.pressed and pressed_since is not None:
                holds.append(t - pressed_since)
                pressed_since = None
        rs = record.reference_space
        now_space = (rs.type, rs.id, rs.generation)
        if space is not None and now_space != space:
            space_changes += 1
        space = now_space

    ordered = sorted(intervals)
    median = percentile(ordered, 0.5)
    span = (last - first) if frames > 1 else 0
    start = first

    def share(n: int) -> float:
        return round(n / frames, 4) if frames else 0.0

    return {
        "file": name,
        "records": frames + events, "frames": frames, "events": events, "refused": refused,
        "span_s": span / 1e9,
        "frame_rate_hz": (frames - 1) / (span / 1e9) if span else 0.0,
        "interval_ms": {"p50": median / 1e6, "p99": percentile(ordered, 0.99) / 1e6,
                        "max": (ordered[-1] if ordered else 0) / 1e6},
        "gaps": sum(1 for d in intervals if median and d > 3 * median),
        "head_tracking": {k: share(v) for k, v in sorted(tracking.items())},
        "pointing": {"share": share(sum(pointing.values())), "by_source": {k: share(v) for k, v in pointing.items()}},
        "tracked": {k: share(tracked[k]) for k in ("left_hand", "right_hand", "gaze")},
        "select": {"presses": presses, "held_ms": {"mean": sum(holds) / len(holds) / 1e6 if holds else 0.0,
                                                     "max": max(holds) / 1e6 if holds else 0.0}},
        "targets": {k: {"frames": v["frames"], "share": share(v["frames"]), "first_s": (v["first_ns"] - start) / 1e9,
                        "last_s": (v["last_ns"] - start) / 1e9} for k, v in sorted(targets.items())},
        "reference_space_changes": space_changes,
        "events_list": [{"at_s": (at - start) / 1e9, "text": text, "host_id": host, "age_ms": age / 1e6}
                        for at, text, host, age in said],
        "warnings": {"select_changed_after_its_frame": select_after_frame},
    }


def show(s: dict[str, Any]) -> None:
    rows: list[tuple[str, str]] = [
        ("records", f"{s['records']}  ({s['frames']} frames, {s['events']} events, {s['refused']} refused)"),
        ("time span", f"{s['span_s']:.3f} s"),
        ("frame rate", f"{s['frame_rate_hz']:.1f} Hz (mean)"),
        ("frame interval", "p50 {p50:.2f} ms, p99 {p99:.2f} ms, max {max:.2f} ms".format(**s["interval_ms"])
         + f"; {s['gaps']} gaps over 3 x p50"),
        ("head tracking", ", ".join(f"{k} {v:.1%}" for k, v in s["head_tracking"].items()) or "-"),
        ("pointing", f"{s['pointing']['share']:.1%} of frames"
         + "".join(f", {k} {v:.1%}" for k, v in s["pointing"]["by_source"].items())),
        ("hands and eyes", ", ".join(f"{k} {v:.1%}" for k, v in s["tracked"].items()) + " of frames"),
        ("select presses", f"{s['select']['presses']}, held {s['select']['held_ms']['mean']:.0f} ms on average, "
                           f"{s['select']['held_ms']['max']:.0f} ms at most"),
        ("reference space", f"{s['reference_space_changes']} changes"),
    ]
    for host_id, t in s["targets"].items():
        rows.append(("target", f"{host_id}: {t['frames']} frames ({t['share']:.1%}), "
                               f"seen {t['first_s']:.2f} s to {t['last_s']:.2f} s"))
    for e in s["events_list"]:
        rows.append(("event", f"{e['at_s']:.2f} s {e['text']!r} -> {e['host_id'] or '(no target)'}, "
                              f"age {e['age_ms']:.1f} ms"))
    late = s["warnings"]["select_changed_after_its_frame"]
    if late:
        rows.append(("warning", f"{late} frames report a select change after their own timestamp"))
    width = max(len(k) for k, _ in rows)
    print(s["file"])
    for key, value in rows:
        print(f"  {key:<{width}}  {value}")


def run(name: str, as_json: bool) -> int:
    s = summarise(name)
    if as_json:
        json.dump(s, sys.stdout)
        print()
    else:
        show(s)
    return 1 if s["refused"] else 0
