"""make bench-agent: how fast an agent hears of what the user does, and what the server
costs over a long session.

1. Update latency: a host's frames written at 90 Hz, the target changing every 250 ms;
   from the write of a frame line that changes the target to the update notification at
   an official client (@modelcontextprotocol/client), with 1 client over stdio and 8
   clients over Streamable HTTP on one server. Goal: p99 within one display frame, 11 ms.
2. A tool call's round trip (spatial_context_at, 0.5 s ago), at that client. Goal: p99 <= 5 ms.
3. Memory: an hour of 90 Hz frames followed (written as fast as the server reads them);
   the server's resident memory every six minutes of session. Goal: flat once the
   timeline is full, not growing with the session.
Times are CLOCK_MONOTONIC on both sides; figures are from one run on this machine."""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

import _spatial as sp

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "python"))
from mcp_helpers import Server, environment, frame, start_http, stop_http  # noqa: E402

WORK = os.path.join(REPO, "build", "bench-agent")
PACKAGES = os.path.join(REPO, "build", "agent")
FRAME_NS = 11_111_111


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else float("nan")


def latency(clients: int, http: bool, seconds: float, calls: int) -> tuple[list[float], list[float]]:
    os.makedirs(WORK, exist_ok=True)
    frames_path = os.path.join(WORK, "frames.jsonl")
    ready, done = os.path.join(WORK, "ready"), os.path.join(WORK, "done")
    for p in (ready, done):
        if os.path.exists(p):
            os.remove(p)
    t0 = time.monotonic_ns()
    with open(frames_path, "w") as f:
        f.write(sp.to_jsonl(frame(t0, "panel:start")) + "\n")
    command = [sys.executable, "-m", "spatial_intent.cli", "mcp", frames_path]
    config = {"clients": clients, "mode": "auto", "calls": calls, "ready": ready, "done": done,
              "command": command, "env": environment()}
    server = None
    if http:
        token = os.path.join(WORK, "token")
        server, port = start_http([frames_path], token)
        config["http"] = {"url": f"http://127.0.0.1:{port}/mcp", "token_file": token}
    config_path = os.path.join(WORK, "config.json")
    with open(config_path, "w") as f:
        json.dump(config, f)
    script = os.path.join(PACKAGES, "agent_clients.mjs")
    with open(os.path.join(REPO, "bench", "agent_clients.mjs")) as src, open(script, "w") as dst:
        dst.write(src.read())
    node = subprocess.Popen(["node", script, config_path], stdout=subprocess.PIPE, cwd=PACKAGES, text=True)
    try:
        deadline = time.monotonic() + 60
        while not os.path.exists(ready):
            if time.monotonic() > deadline or node.poll() is not None:
                raise SystemExit("bench-agent: the clients did not connect")
            time.sleep(0.05)
        changes = []
        n = round(seconds * 90)
        start = time.monotonic_ns()
        with open(frames_path, "a") as f:
            for i in range(1, n + 1):
                due = start + i * FRAME_NS
                while (wait := due - time.monotonic_ns()) > 0:
                    time.sleep(wait / 1e9)
                target = f"panel:{(i // 22) % 4}"  # a new target every 22 frames (244 ms)
                f.write(sp.to_jsonl(frame(t0 + i * FRAME_NS, target)) + "\n")
                f.flush()
                if i % 22 == 0:
                    changes.append(time.monotonic_ns())
        time.sleep(0.5)
        open(done, "w").close()
        out, _ = node.communicate(timeout=120)
    finally:
        if node.poll() is None:
            node.kill()
        if server is not None:
            stop_http(server)
    result = json.loads(out)
    delays = []
    for arrivals in result["arrivals"]:
        heard = set()
        for at in arrivals:
            before = [c for c in changes if c <= at]
            if before and before[-1] not in heard:
                heard.add(before[-1])
                delays.append((at - before[-1]) / 1e6)
    return delays, [c / 1e6 for c in result["calls"]]


def rss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def memory(minutes: int) -> list[tuple[int, int]]:
    """(frames followed, resident KiB) every six minutes of a 90 Hz session."""
    os.makedirs(WORK, exist_ok=True)
    path = os.path.join(WORK, "long.jsonl")
    open(path, "w").close()
    rows = []
    chunk = 6 * 60 * 90
    with Server(path, stderr=subprocess.DEVNULL) as server:
        written = 0
        t0 = 10**12
        for _ in range(0, minutes, 6):
            # Each six minutes in a file of its own put in place of the last, as a host that
            # rotates its records would: the disk holds one chunk at a time.
            with open(path + ".next", "w") as f:
                for i in range(chunk):
                    f.write(sp.to_jsonl(frame(t0 + (written + i) * FRAME_NS, f"panel:{(written + i) // 22 % 4}"))
                            + "\n")
            os.replace(path + ".next", path)
            written += chunk
            deadline = time.monotonic() + 120
            while True:
                answer = server.request("resources/read", {"uri": "spatial://session"}, modern=True)
                if json.loads(answer["result"]["contents"][0]["text"])["frames"] >= written:
                    break
                if time.monotonic() > deadline:
                    raise SystemExit(f"bench-agent: the server read no more than {written} frames in 120 s")
                time.sleep(0.2)
            rows.append((written, rss_kib(server.proc.pid)))
    os.remove(path)
    return rows


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=20.0, help="of 90 Hz frames for each latency run")
    parser.add_argument("--calls", type=int, default=500)
    parser.add_argument("--minutes", type=int, default=60, help="of session for the memory run")
    args = parser.parse_args()
    print(f"bench-agent: {os.cpu_count()} cores; {args.seconds:g} s of 90 Hz frames a run, target changing "
          f"every 244 ms")
    print(f"{'what':<44} {'n':>5} {'p50 ms':>8} {'p99 ms':>8} {'goal':>10}")
    for clients, http in ((1, False), (8, True)):
        delays, calls = latency(clients, http, args.seconds, args.calls)
        how = f"{clients} client{'s' if clients > 1 else ''}, {'HTTP' if http else 'stdio'}"
        print(f"{'frame line -> update at the client, ' + how:<44} {len(delays):>5} {percentile(delays, .5):>8.2f} "
              f"{percentile(delays, .99):>8.2f} {'p99 <= 11':>10}")
        print(f"{'tool call round trip, ' + how:<44} {len(calls):>5} {percentile(calls, .5):>8.2f} "
              f"{percentile(calls, .99):>8.2f} {'p99 <= 5':>10}")
    rows = memory(args.minutes)
    print("server memory while following a 90 Hz session (goal: flat once the timeline is full):")
    for frames_read, kib in rows:
        print(f"  {frames_read / 90 / 60:5.0f} min  {frames_read:>7} frames  {kib / 1024:7.1f} MiB resident")
    growth = (rows[-1][1] - rows[1][1]) / 1024 if len(rows) > 1 else 0.0
    print(f"  from minute 12 to the end: {growth:+.1f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
