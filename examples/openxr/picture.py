"""The session as a picture: a top view of the head's facing, the aim rays, the panels
and the hit points, over a time strip of the grounded target and the select state with
the utterances marked."""

from __future__ import annotations

import json

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import script  # noqa: E402
from host_loop import SCENE  # noqa: E402


def draw(frames_path: str, s: script.Script, start_ns: int, out_path: str) -> str:
    with open(frames_path) as f:
        frames = [json.loads(line) for line in f]
    t = [(fr["timestamp_ns"] - start_ns) / 1e9 for fr in frames]
    fig, (top, strip) = plt.subplots(2, 1, figsize=(9, 9), gridspec_kw={"height_ratios": [3, 1.3]})

    for panel in SCENE:
        top.plot([panel.cx - panel.half_w, panel.cx + panel.half_w], [panel.z, panel.z], lw=5, alpha=0.6,
                 label=panel.name)
    for i, fr in enumerate(frames):
        if i % 6:
            continue
        head = fr["head"]
        hx, _, hz = head["position"]
        fx, _, fz = script.rotate(tuple(head["orientation"]), (0.0, 0.0, -0.4))
        top.plot([hx, hx + fx], [hz, hz + fz], color="0.6", lw=0.8)
        pointing = fr.get("pointing")
        if pointing:
            (ox, _, oz), (dx, _, dz) = pointing["origin"], pointing["direction"]
            end = fr["target"]["position"] if "target" in fr else [ox + 3 * dx, 0, oz + 3 * dz]
            top.plot([ox, end[0]], [oz, end[2]], color="tab:red", lw=0.5, alpha=0.5)
    hits = [fr["target"]["position"] for fr in frames if "target" in fr]
    top.scatter([h[0] for h in hits], [h[2] for h in hits], s=6, color="black", zorder=3, label="hit points")
    top.plot([], [], color="0.6", label="head facing")
    top.plot([], [], color="tab:red", label="aim rays")
    top.set_aspect("equal")
    top.set_xlabel("x (m)")
    top.set_ylabel("z (m), forward is down")
    top.set_title("Top view of the session (stage space)")
    top.legend(loc="upper right", fontsize=8)

    names = ["(none)"] + [p.name for p in SCENE]
    grounded = [names.index(fr["target"].get("host_id", "(none)")) if "target" in fr else 0 for fr in frames]
    strip.step(t, grounded, where="post", label="grounded target")
    pressed = [-1.0 + 0.6 * fr["primary_select"]["pressed"] if "primary_select" in fr else -1.0 for fr in frames]
    strip.step(t, pressed, where="post", color="tab:orange", label="select pressed")
    for at, text, _ in s.utterances():
        strip.axvline(at, color="tab:green", ls="--", lw=1)
        strip.text(at, len(names) - 0.6, f" {text}", fontsize=8, color="tab:green")
    strip.set_yticks([-0.7, *range(len(names))], ["select", *names])
    strip.set_xlabel("seconds since the script's start (monotonic clock)")
    strip.legend(loc="lower right", fontsize=8)
    fig.tight_layout()
    fig.savefig(out_path, dpi=100)
    plt.close(fig)
    return out_path
