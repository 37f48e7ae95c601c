"""make demo-webxr: the same script through two runtimes. The OpenXR host against the
headless runtime service, then the WebXR host with its page in a headless browser; the
summary of each, how far the two agree, and one picture of both sessions side by side
(drawn by spatial plot) in build/demo/. Last, the WebXR host again with the scripted user
speaking while its eyes point, the way of pointing the OpenXR runtime lacks."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "openxr"), os.path.join(HERE, "..", "shared")]
import compare  # noqa: E402
import script  # noqa: E402
import session  # noqa: E402
import voice  # noqa: E402

SECONDS = 12.0  # 3 s for each way of pointing
# The page's frame rate: the browser's 60 Hz is the goal. A fault shows far below it (a
# loop that stalls, or runs at half rate); under 40 Hz is taken for one, as the tests do.
GOAL_HZ, STALLED_HZ = 55, 40
SPOKEN = script.Script(script.Script.SPOKEN_SECONDS, ("gaze",))


def webxr_command(seconds: float, out_dir: str, prefix: str = "webxr") -> list[str]:
    """The WebXR host, run from examples/ as the module webxr.host."""
    return [sys.executable, "-m", "webxr.host", "--seconds", str(seconds),
            "--frames", os.path.join(out_dir, f"{prefix}-frames.jsonl"),
            "--events", os.path.join(out_dir, f"{prefix}-events.jsonl"),
            "--summary", os.path.join(out_dir, f"{prefix}-summary.json"),
            "--browser-log", os.path.join(out_dir, f"{prefix}-browser.log")]


def summarise(out_dir: str, openxr_start: int) -> bool:
    s = script.Script(SECONDS, script.PHASES)
    with open(os.path.join(out_dir, "webxr-summary.json")) as f:
        web = json.load(f)
    start = web["start_ns"]
    page = web.get("page", {})
    print(f"WebXR: {web['frames']} frames at {web['frame_rate_hz']:.1f} per second in immersive-vr "
          f"({page.get('room', '?')} room; features {', '.join(page.get('features', []))})")
    print(f"tracking states seen: head {web['tracking']}, pointing {web['pointing_confidence']}")
    misses = []
    if not script.report(s, web, start):
        misses.append("the script's own checks (the lines marked wrong above)")
    if web["status"] != 0:
        misses.append(f"the WebXR host's exit status was {web['status']}")
    print(f"from the page's frame time to its record written: p50 {web['latency_ms']['p50']:.2f} ms, "
          f"p99 {web['latency_ms']['p99']:.2f} ms")
    print(f"browser start to first frame: {(web['first_frame_ns'] - web['launched_ns']) / 1e6:.0f} ms; "
          f"{web['refused']} messages refused")

    openxr = compare.read(os.path.join(out_dir, "openxr-frames.jsonl"))
    webxr = compare.read(os.path.join(out_dir, "webxr-frames.jsonl"))
    share, compared = compare.agreement(openxr, openxr_start, webxr, start, s)
    print(f"the two runtimes: grounded targets agree in {share:.1%} of {compared} WebXR frames outside the moves "
          "(the gaze phase apart: the OpenXR runtime has no eyes)")
    print_shares({"OpenXR": compare.shares(openxr, openxr_start, s), "WebXR": compare.shares(webxr, start, s)})
    same_edges = compare.select_edges(openxr) == compare.select_edges(webxr)
    print(f"  select edges {'the same' if same_edges else 'differ  <- wrong'} in both")
    with open(os.path.join(out_dir, "openxr-events.jsonl")) as f:
        openxr_events = [(e["text"], e["spatial_context"]["target"]["host_id"]) for e in map(json.loads, f)]
    with open(os.path.join(out_dir, "webxr-events.jsonl")) as f:
        webxr_events = [(e["text"], e["spatial_context"]["target"]["host_id"]) for e in map(json.loads, f)]
    had = [s.pointer(at) != "gaze" for at, _, _ in s.utterances()]
    openxr_events = [e for e, h in zip(openxr_events, had) if h]
    webxr_shared = [e for e, h in zip(webxr_events, had) if h]
    same_events = openxr_events == webxr_shared and len(webxr_events) == len(had)
    print(f"  utterances {'grounded to the same panels' if same_events else 'differ  <- wrong'} where both have the "
          "pointer")
    with open(os.path.join(out_dir, "webxr-compared.json"), "w") as f:
        json.dump({"agreement": share, "compared": compared, "same_edges": same_edges,
                   "same_events": same_events}, f)
    if share < 0.99:
        misses.append(f"the runtimes' targets agree in {share:.1%} of frames; the goal is 99%")
    if not same_edges:
        misses.append("the runtimes' select edges differ")
    if not same_events:
        misses.append("the runtimes ground the utterances to different panels")
    rate = web["frame_rate_hz"]
    if rate < STALLED_HZ:
        misses.append(f"the page ran at {rate:.1f} frames a second, under {STALLED_HZ}: its loop stalls")
    elif rate < GOAL_HZ:
        # A rate measured on a shared machine: a slower minute is reported, not failed.
        print(f"  the page ran at {rate:.1f} frames a second, under the goal of {GOAL_HZ} (a busy machine)")
    for miss in misses:
        print(f"demo-webxr: missed: {miss}", file=sys.stderr)
    return not misses


def print_shares(runtimes: dict[str, dict[str, dict[str, float]]]) -> None:
    """Per phase and runtime: the share of frames carrying each member, and the source
    that pointed in most of them."""
    print("share of frames, per phase of the script: left_hand right_hand gaze primary_select | pointing source")
    for phase in ("controller", "hand", "head", "gaze"):
        for name, shares in runtimes.items():
            row = shares.get(phase, {})
            source = max((k for k in ("controller", "hand", "eye_gaze", "head") if k in row), key=row.get,
                         default="none")
            print(f"  {phase:10} {name:6} " + " ".join(f"{row.get(m, 0):6.1%}" for m in
                                                       ("left_hand", "right_hand", "gaze", "primary_select"))
                  + f" | {source} {row.get(source, 0):.1%}")


def main() -> int:
    out_dir = os.path.normpath(os.path.join(HERE, "..", "..", "build", "demo"))
    os.makedirs(out_dir, exist_ok=True)
    with session.terminated_on_signal():
        try:
            done, openxr_start = session.play(out_dir, SECONDS)  # the OpenXR host, the script typed
            if done.returncode != 0:
                return done.returncode
            status = subprocess.run(webxr_command(SECONDS, out_dir), cwd=session.EXAMPLES,
                                    stdin=subprocess.DEVNULL).returncode
            if status != 0:
                return status
            # The way of pointing the OpenXR runtime lacks, spoken: the eyes and a pinch.
            spoken_status = subprocess.run(webxr_command(SPOKEN.seconds, out_dir, "webxr-spoken")
                                           + ["--phases", "gaze", "--speak"], cwd=session.EXAMPLES,
                                           stdin=subprocess.DEVNULL).returncode
        except session.ServiceError as e:
            print(f"demo-webxr: {e}", file=sys.stderr)
            return 1
        except KeyboardInterrupt:
            print("demo-webxr: interrupted; every process stopped", file=sys.stderr)
            return 130
    ok = summarise(out_dir, openxr_start)
    with open(os.path.join(out_dir, "webxr-spoken-summary.json")) as f:
        spoken_start = json.load(f)["start_ns"]
    if not (spoken_status == 0 and voice.summarise(os.path.join(out_dir, "webxr-spoken"), SPOKEN, spoken_start)):
        print(f"demo-webxr: missed: the spoken run's goals (exit status {spoken_status}; the lines above)",
              file=sys.stderr)
        ok = False
    from spatial_intent.cli import plot

    groups = [[os.path.join(out_dir, f"{host}-{kind}.jsonl") for kind in ("frames", "events")]
              for host in ("openxr", "webxr")]
    path = plot.draw_apart(groups, os.path.join(out_dir, "webxr-beside-openxr.png"),
                           ["OpenXR (headless runtime service), metres",
                            "WebXR (emulated headset in Chromium), metres"])
    print(f"picture: {path}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
