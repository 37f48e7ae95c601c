"""make demo-openxr: the runtime service headless with the remote driver, the scripted
user and the host for a few seconds; a summary, the frames as JSON Lines and a picture
of the session (drawn by spatial plot) in build/demo/. Then the same script again with
the stream split across two processes: the host writes its frames to a pipe, and
consumer.py reads them, keeps its own timeline and pairs the utterances; the latency the
pipe adds is measured. Then the scripted user speaks; last, the script once more with
hand tracking off, to set the per-frame cost of locating the hands' joints beside it."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "shared"))
import script  # noqa: E402
import session  # noqa: E402
import voice  # noqa: E402

SECONDS = 12.0  # 3 s for each way of pointing
SPOKEN_SECONDS = script.spoken_script().seconds
LEAD_NS = session.LEAD_NS  # from launch to the script's second 0: the session starts meanwhile


def summarise(summary: dict, s: script.Script, start_ns: int, launched_ns: int) -> bool:
    ok = summary["status"] == 0
    print(f"frames: {summary['frames']}  session: {' -> '.join(summary.get('session_states', []))}")
    print(f"tracking states seen: {summary['tracking']}")
    ok &= script.report(s, summary, start_ns, lacking=("gaze",))  # the runtime has no eyes
    print(f"per-frame host work (locate, build, ground, push, encode, write): "
          f"p50 {summary['work_ms']['p50']:.3f} ms, p99 {summary['work_ms']['p99']:.3f} ms")
    if "first_frame_ns" in summary:
        print(f"runtime start to first frame: {(summary['first_frame_ns'] - launched_ns) / 1e6:.0f} ms")
    return ok


def split_summary(out_dir: str, s: script.Script, in_process: dict) -> bool:
    with open(os.path.join(out_dir, "split-summary.json")) as f:
        consumer = json.load(f)
    with open(os.path.join(out_dir, "openxr-split-summary.json")) as f:
        written = dict(map(tuple, json.load(f)["written"]))
    delays = sorted(at - written[ts] for ts, at in consumer["pushed"] if ts in written)
    pick = lambda q: delays[min(len(delays) - 1, int(q * len(delays)))] / 1e6  # noqa: E731
    print(f"split across two processes: {consumer['frames']} frames through the pipe; frame written to frame "
          f"pushed on the other side: p50 {pick(0.5):.3f} ms, p99 {pick(0.99):.3f} ms")
    same = [(e["text"], e["host_id"]) for e in consumer["events"]] == \
        [(e["text"], e["host_id"]) for e in in_process["events"]]
    for e in consumer["events"]:
        print(f"  {e['text']!r}: grounded to {e['host_id']} by the other process")
    print("  the same events as the host that pairs them itself" if same else "  events differ  <- wrong")
    return same and len(consumer["events"]) == len(s.utterances())


def cost_summary(out_dir: str, with_hands: dict) -> bool:
    """The per-frame work with both hands' joints located beside a run of the same script
    without hand tracking."""
    with open(os.path.join(out_dir, "openxr-no-hands-summary.json")) as f:
        without = json.load(f)["work_ms"]
    work = with_hands["work_ms"]
    print(f"per-frame host work with the hands' joints located: p50 {work['p50']:.3f} ms, p99 {work['p99']:.3f} ms; "
          f"without hand tracking: p50 {without['p50']:.3f} ms, p99 {without['p99']:.3f} ms "
          f"(x{work['p50'] / without['p50']:.2f} at p50, x{work['p99'] / without['p99']:.2f} at p99)")
    return True


def spoken_summary(out_dir: str, start_ns: int) -> bool:
    """The spoken run: each deictic word grounded at its spoken time against the newest
    frame when the recogniser's result arrived, and the recogniser's own figures."""
    return voice.summarise(os.path.join(out_dir, "openxr-spoken"), script.spoken_script(), start_ns)


def play(env: dict, start_ns: int, out_dir: str, piped: bool, speak: bool = False, hands: bool = True) -> int:
    """One run of the script: the scripted user and the host (and, piped, the consumer)."""
    user = host = consumer = None
    seconds = SPOKEN_SECONDS if speak else SECONDS
    phases = session.SPOKEN_PHASES if speak else session.ALL
    prefix = "openxr-split" if piped else "openxr-spoken" if speak else "openxr" if hands else "openxr-no-hands"
    try:
        user = session.scripted_user(env, start_ns, seconds, phases)
        host = subprocess.Popen(session.host_command(start_ns, seconds, out_dir, prefix, piped=piped, speak=speak,
                                                     phases=phases, hands=hands),
                                env=env, cwd=session.EXAMPLES,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE if piped else None)
        if piped:
            consumer = subprocess.Popen(session.consumer_command(start_ns, SECONDS, out_dir), stdin=host.stdout)
            host.stdout.close()  # the consumer's now: the host sees it go
        status = host.wait() if piped else session.watch(host, user, seconds + 60.0) and host.returncode
        if consumer is not None:
            status = status or consumer.wait()
        return status
    finally:
        session.stop(host)
        session.stop(consumer)
        session.stop(user)  # before the service, which it would otherwise see go


def main() -> int:
    out_dir = os.path.normpath(os.path.join(session.HERE, "..", "..", "build", "demo"))
    os.makedirs(out_dir, exist_ok=True)
    s = script.Script(SECONDS, script.PHASES)
    with session.terminated_on_signal():
        try:
            with session.service(os.path.join(out_dir, "openxr-service.log")) as (env, _, launched):
                start_ns = launched + LEAD_NS
                status = play(env, start_ns, out_dir, piped=False)
                if status == 0:
                    split_start = time.monotonic_ns() + LEAD_NS // 2
                    split_status = play(env, split_start, out_dir, piped=True)
                    spoken_start = time.monotonic_ns() + LEAD_NS
                    spoken_status = play(env, spoken_start, out_dir, piped=False, speak=True)
                    bare_status = play(env, time.monotonic_ns() + LEAD_NS // 2, out_dir, piped=False, hands=False)
        except session.ServiceError as e:
            print(f"demo-openxr: {e}", file=sys.stderr)
            return 1
        except KeyboardInterrupt:
            print("demo-openxr: interrupted; every process stopped", file=sys.stderr)
            return 130
    if status != 0:
        return status
    with open(os.path.join(out_dir, "openxr-summary.json")) as f:
        summary = json.load(f)
    ok = summarise(summary, s, start_ns, launched)
    ok &= split_status == 0 and split_summary(out_dir, s, summary)
    ok &= spoken_status == 0 and spoken_summary(out_dir, spoken_start)
    ok &= bare_status == 0 and cost_summary(out_dir, summary)
    from spatial_intent.cli import plot

    frames = os.path.join(out_dir, "openxr-frames.jsonl")
    spoken = os.path.join(out_dir, "openxr-spoken-session.jsonl")
    path = plot.draw([spoken], os.path.join(out_dir, "openxr-session.png"),
                     "Top view of the spoken OpenXR session (stage space, metres)")
    print(f"frames: {frames}\nspoken session: {spoken}\npicture: {path}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
