"""spatial plot: the session as a picture. A top view of the head's path and facing, both
hands' paths, the pointing rays and the hit points coloured by what they hit and where the
eyes looked, over a time strip of the grounded target, the select state and which input
pointed, with the events marked."""

from __future__ import annotations

import math
import re
import sys
from collections.abc import Callable
from typing import Any

import _spatial as sp

from .records import InputError, diagnose, records

MISSING = 'needs matplotlib, an optional extra: pip install "spatial-intent[plot]"'
SOURCES = {"CONTROLLER": "tab:blue", "HAND": "tab:orange", "EYE_GAZE": "tab:purple", "HEAD": "0.45"}
GAZE_M = 2.5  # how far a gaze ray is drawn: the records say where the eyes look, not what they meet


def rotate(q: sp.Quaternion, v: tuple[float, float, float]) -> tuple[float, float, float]:
    """v turned by the rotation q (scalar last)."""
    x, y, z, w = q.x, q.y, q.z, q.w
    tx, ty, tz = 2 * (y * v[2] - z * v[1]), 2 * (z * v[0] - x * v[2]), 2 * (x * v[1] - y * v[0])
    return (v[0] + w * tx + y * tz - z * ty, v[1] + w * ty + z * tx - x * tz, v[2] + w * tz + x * ty - y * tx)


def run(paths: list[str], out_path: str, title: str, apart: bool = False) -> int:
    refused = 0

    def count(path: str, number: int, message: str) -> None:
        nonlocal refused
        refused += 1
        diagnose(f"{path}:{number}: {message}")

    if apart:
        draw_apart([[path] for path in paths], out_path, [title or path for path in paths], count)
    else:
        draw(paths, out_path, title, count)
    return 1 if refused else 0


def said(text: str) -> str:
    """The word an event grounds, where its text marks one ("put [that] there"), else the text."""
    marked = re.search(r"\[([^\]]+)\]", text)
    return marked.group(1) if marked else text


Session = tuple[list[sp.SpatialIntentFrame], list[tuple[sp.ContextualIntentEvent, sp.SpatialIntentFrame | None]]]


def load(paths: list[str], refused: Callable[[str, int, str], None] | None = None) -> Session:
    """The frames of `paths` in time order, and each event with its arrival: the frame
    written just before it in the same file, when a host writes both to one stream as
    they happen (None otherwise)."""
    frames: list[sp.SpatialIntentFrame] = []
    events: list[tuple[sp.ContextualIntentEvent, sp.SpatialIntentFrame | None]] = []
    for path in paths:
        report = (lambda number, message, path=path: refused(path, number, message)) if refused else None
        written_last: sp.SpatialIntentFrame | None = None
        for record in records(path, report):
            if isinstance(record, sp.SpatialIntentFrame):
                frames.append(record)
                written_last = record
            else:
                events.append((record, written_last))
    if not frames:
        raise InputError("no frames to draw")
    frames.sort(key=lambda f: f.timestamp_ns)
    return frames, events


def draw(paths: list[str], out_path: str, title: str = "",
         refused: Callable[[str, int, str], None] | None = None) -> str:
    """Draws the records of `paths` to `out_path`; a refused line goes to
    `refused(path, number, message)`, by default reported on standard error."""
    return draw_apart([paths], out_path, [title], refused)


def draw_apart(groups: list[list[str]], out_path: str, titles: list[str],
               refused: Callable[[str, int, str], None] | None = None) -> str:
    """Each group of files drawn in a column of its own, side by side, in the same colours."""
    try:
        import matplotlib
    except ImportError:
        raise InputError(MISSING) from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sessions = [load(paths, refused) for paths in groups]
    names = sorted({f.target.host_id or "(no host_id)" for frames, _ in sessions for f in frames
                    if f.target is not None})
    colour = {name: plt.get_cmap("tab10")(i % 10) for i, name in enumerate(names)}
    fig, axes = plt.subplots(2, len(sessions), figsize=(9 * len(sessions), 9), squeeze=False,
                             gridspec_kw={"height_ratios": [3, 1.3]})
    for column, ((frames, events), title) in enumerate(zip(sessions, titles)):
        draw_session(axes[0][column], axes[1][column], frames, events, title, colour)
    fig.tight_layout()
    fig.savefig(out_path, dpi=100)
    plt.close(fig)
    drawn = f"{sum(len(f) for f, _ in sessions)} frames and {sum(len(e) for _, e in sessions)} events"
    print(f"spatial plot: {drawn} drawn to {out_path}", file=sys.stderr)
    return out_path


def draw_session(top: Any, strip: Any, frames: list[sp.SpatialIntentFrame],
                 events: list[tuple[sp.ContextualIntentEvent, sp.SpatialIntentFrame | None]], title: str,
                 colour: dict[str, Any]) -> None:
    """One session: the top view on `top`, the time strip on `strip`."""
    start = frames[0].timestamp_ns
    t = [(f.timestamp_ns - start) / 1e9 for f in frames]
    names = sorted({f.target.host_id or "(no host_id)" for f in frames if f.target is not None})
    step = max(1, len(frames) // 120)
    head = [f.head_pose.position for f in frames]
    top.plot([p.x for p in head], [p.z for p in head], color="0.3", lw=1, label="head path")
    for f in frames[::step]:
        p = f.head_pose.position
        fx, _, fz = rotate(f.head_pose.orientation, (0.0, 0.0, -0.4))
        top.plot([p.x, p.x + fx], [p.z, p.z + fz], color="0.65", lw=0.8)
        if f.pointing is not None:
            o, d = f.pointing.ray.origin, f.pointing.ray.direction
            length = math.hypot(d.x, d.z) or 1.0
            end = (f.target.position.x, f.target.position.z) if f.target is not None else \
                (o.x + 3 * d.x / length, o.z + 3 * d.z / length)
            hit = (f.target.host_id or "(no host_id)") if f.target is not None else None
            top.plot([o.x, end[0]], [o.z, end[1]], lw=0.5, alpha=0.5,
                     color=colour[hit] if hit is not None else "tab:red")
    for side, shade in (("left", "tab:cyan"), ("right", "tab:brown")):
        path = [getattr(f, f"{side}_hand_pose") for f in frames]
        xs = [p.position.x if p is not None else math.nan for p in path]
        if any(not math.isnan(x) for x in xs):
            top.plot(xs, [p.position.z if p is not None else math.nan for p in path], color=shade, lw=1.2,
                     label=f"{side} hand path")
    looked = []  # (origin, where the ray is GAZE_M out) in the top view
    for f in frames[::step]:
        if f.gaze_ray is not None:
            o, d = f.gaze_ray.origin, f.gaze_ray.direction
            scale = GAZE_M / (math.hypot(d.x, d.y, d.z) or 1.0)
            looked.append(((o.x, o.z), (o.x + scale * d.x, o.z + scale * d.z)))
    for (ox, oz), (ex, ez) in looked:
        top.plot([ox, ex], [oz, ez], color="tab:purple", lw=0.5, alpha=0.4, ls="--")
    if looked:
        top.scatter([e[0] for _, e in looked], [e[1] for _, e in looked], s=5, color="tab:purple", zorder=3,
                    label=f"where the eyes look ({GAZE_M:g} m out)")
    for name in names:
        hits = [f.target.position for f in frames if f.target is not None and (f.target.host_id or "(no host_id)") == name]
        top.scatter([h.x for h in hits], [h.z for h in hits], s=6, color=colour[name], zorder=3, label=name)
    for e, arrived in events:
        when_said = e.spatial_context.target
        if when_said is None:
            continue
        here = (when_said.position.x, when_said.position.z)
        top.scatter(*here, marker="*", s=140, color="tab:green", edgecolor="k", zorder=5)
        top.annotate(said(e.text), here, textcoords="offset points", xytext=(4, 6), fontsize=8, color="tab:green")
        newest = arrived.target if arrived is not None else None
        if newest is not None and (newest.position.x, newest.position.z) != here:
            top.scatter(newest.position.x, newest.position.z, marker="x", s=90, color="tab:red", linewidths=2.5,
                        zorder=6)
            top.plot([here[0], newest.position.x], [here[1], newest.position.z], color="tab:red", lw=0.8, ls=":")
    if any(e.spatial_context.target is not None for e, _ in events):
        top.scatter([], [], marker="*", s=140, color="tab:green", edgecolor="k", label="grounded when said")
    if any(a is not None for _, a in events):
        top.scatter([], [], marker="x", s=90, color="tab:red", linewidths=2.5,
                    label="the newest frame's hit at the result")
    top.plot([], [], color="0.65", label="head facing")
    top.set_aspect("equal", adjustable="datalim")
    top.set_xlabel("x")
    top.set_ylabel("z")
    space = frames[0].reference_space
    top.set_title(title or f"Top view, {space.type or 'unnamed'} space {space.id!r}, in the host's units")
    top.legend(loc="upper right", fontsize=8)

    rows = ["(none)", *names]
    grounded = [rows.index(f.target.host_id or "(no host_id)") if f.target is not None else 0 for f in frames]
    strip.step(t, grounded, where="post", label="grounded target")
    pressed = [-1.0 + 0.6 * f.primary_select.pressed if f.primary_select is not None else -1.0 for f in frames]
    strip.step(t, pressed, where="post", color="tab:orange", label="select pressed")
    for n, (e, arrived) in enumerate(events):
        at = (e.timestamp_ns - start) / 1e9
        height = len(rows) - 0.25 + 0.35 * (n % 2)
        strip.axvline(at, color="tab:green", ls="--", lw=1)
        strip.text(at, height, f" {said(e.text)}", fontsize=8, color="tab:green")
        if arrived is not None:
            late = (arrived.timestamp_ns - start) / 1e9
            strip.axvline(late, color="tab:red", ls=":", lw=1)
            strip.annotate("", (late, height - 0.15), (at, height - 0.15),
                           arrowprops={"arrowstyle": "->", "color": "tab:red", "lw": 0.8})
    spans: dict[str, list[tuple[float, float]]] = {}
    for i, f in enumerate(frames):
        if f.pointing is not None:
            until = t[i + 1] if i + 1 < len(t) else t[i]
            spans.setdefault(f.pointing.source.name, []).append((t[i], until - t[i]))
    for name, shade in SOURCES.items():
        if name in spans:
            strip.broken_barh(spans[name], (-1.9, 0.5), color=shade, label=f"points: {name.lower()}")
    strip.set_yticks([-1.65, -0.7, *range(len(rows))], ["pointer", "select", *rows])
    strip.set_ylim(-2.1, len(rows) + (0.45 if events else -0.5))
    strip.set_xlabel(f"seconds from the first frame ({frames[0].timestamp_domain or 'host clock'})")
    strip.legend(loc="upper left", bbox_to_anchor=(1.0, 1.0), fontsize=7)
