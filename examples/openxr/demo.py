"""make demo-openxr: the runtime service headless with the remote driver, the scripted
user and the host for a few seconds; a summary, the frames as JSON Lines and a picture
of the session in build/demo/."""

from __future__ import annotations

import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import script  # noqa: E402
import session  # noqa: E402

SECONDS = 6.0
LEAD_NS = 1_000_000_000  # from launch to the script's second 0: the session starts meanwhile


def summarise(summary: dict, s: script.Script, start_ns: int, launched_ns: int) -> bool:
    ok = summary["status"] == 0
    print(f"frames: {summary['frames']}  session: {' -> '.join(summary.get('session_states', []))}")
    print(f"tracking states seen: {summary['tracking']}")
    print("select edges (scripted at -> seen at, on the frames' clock):")
    scripted = s.press_edges()
    for (at, down), edge in zip(scripted, summary["select_edges"]):
        print(f"  {'press  ' if down else 'release'} scripted {at:5.2f} s, last_change_time "
              f"{(edge[2] - start_ns) / 1e9:5.3f} s, first frame showing it {(edge[0] - start_ns) / 1e9:5.3f} s")
    ok &= len(summary["select_edges"]) == len(scripted)
    for (at, text, panel), event in zip(s.utterances(), summary["events"]):
        good = event["paired"] and event["host_id"] == panel
        ok &= good
        print(f"  {text!r} at {at:4.2f} s: grounded to {event['host_id']} (aimed at {panel}){'' if good else '  <- wrong'}")
    ok &= len(summary["events"]) == len(s.utterances())
    print(f"per-frame host work (locate, build, ground, push, encode, write): "
          f"p50 {summary['work_ms']['p50']:.3f} ms, p99 {summary['work_ms']['p99']:.3f} ms")
    if "first_frame_ns" in summary:
        print(f"runtime start to first frame: {(summary['first_frame_ns'] - launched_ns) / 1e6:.0f} ms")
    return ok


def main() -> int:
    out_dir = os.path.normpath(os.path.join(session.HERE, "..", "..", "build", "demo"))
    os.makedirs(out_dir, exist_ok=True)
    s = script.Script(SECONDS)
    user = host = None
    with session.terminated_on_signal():
        try:
            with session.service(os.path.join(out_dir, "openxr-service.log")) as (env, _, launched):
                start_ns = launched + LEAD_NS
                user = session.scripted_user(env, start_ns, SECONDS)
                host = subprocess.Popen(session.host_command(start_ns, SECONDS, out_dir), env=env,
                                        stdin=subprocess.DEVNULL)
                status = host.wait()
                session.stop(user)  # before the service, which it would otherwise see go
        except session.ServiceError as e:
            print(f"demo-openxr: {e}", file=sys.stderr)
            return 1
        except KeyboardInterrupt:
            print("demo-openxr: interrupted; every process stopped", file=sys.stderr)
            return 130
        finally:
            session.stop(host)
            session.stop(user)
    if status != 0:
        return status
    with open(os.path.join(out_dir, "openxr-summary.json")) as f:
        summary = json.load(f)
    ok = summarise(summary, s, start_ns, launched)
    import picture

    path = picture.draw(os.path.join(out_dir, "openxr-frames.jsonl"), s, start_ns,
                        os.path.join(out_dir, "openxr-session.png"))
    print(f"frames: {os.path.join(out_dir, 'openxr-frames.jsonl')}\npicture: {path}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
