"""A session written as a host writes one, and `spatial mcp` spoken to line by line."""

from __future__ import annotations

import json
import os
import select
import signal
import socket
import subprocess
import sys
import time
from typing import Any

import _spatial as sp

MODERN_META = {"io.modelcontextprotocol/protocolVersion": "2026-07-28",
               "io.modelcontextprotocol/clientCapabilities": {}}
# Above 2**53: a JavaScript number cannot hold these exactly.
BIG_T0 = 2**53 + 1


def frame(t: int, target: str | None = "panel:map", pressed: bool = False) -> sp.SpatialIntentFrame:
    f = sp.SpatialIntentFrame()
    f.timestamp_ns = t
    f.timestamp_domain = "monotonic"
    p = sp.PointingIntent()
    p.source = sp.PointingSource.HAND
    p.confidence = sp.TrackingConfidence.POSITION_AND_ORIENTATION
    p.ray = sp.Ray(sp.Vec3(0, 1.5, 0), sp.Vec3(0, 0, -1))
    f.pointing = p
    s = sp.SelectState()
    s.pressed = pressed
    f.primary_select = s
    f.gaze_ray = sp.Ray(sp.Vec3(0, 1.6, 0), sp.Vec3(0.1, 0, -1))
    if target is not None:
        hit = sp.SpatialHit()
        hit.position = sp.Vec3(0, 1.5, -2)
        hit.host_id = target
        f.target = hit
    return f


def write_session(folder: str, t0: int = BIG_T0, frames: int = 180, said: tuple[tuple[int, str], ...] = (
        (30, "what is [this]"), (95, "put [that] there"), (150, "open it"))) -> tuple[str, str, list[str]]:
    """Frames every 11.1 ms whose target changes every 40 frames, and events submitted a
    few milliseconds after the frames they name: (frames path, events path, event lines)."""
    timeline = sp.IntentTimeline(240, 200_000_000)
    frames_path, events_path = os.path.join(folder, "frames.jsonl"), os.path.join(folder, "events.jsonl")
    lines = []
    with open(frames_path, "w") as fs, open(events_path, "w") as es:
        pending = list(said)
        for i in range(frames):
            f = frame(t0 + i * 11_111_111, ["panel:calendar", "panel:map", "panel:notes"][(i // 40) % 3])
            timeline.push(f)
            fs.write(sp.to_jsonl(f) + "\n")
            while pending and pending[0][0] == i:
                event = timeline.submit_text(pending.pop(0)[1], f.timestamp_ns + 3_000_001)
                assert event is not None
                lines.append(sp.to_jsonl(event))
                es.write(lines[-1] + "\n")
    return frames_path, events_path, lines


SRC = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "src"))


def environment() -> dict[str, str]:
    """What a server started by a client needs: clients pass on only a few variables."""
    return {"PATH": os.environ["PATH"], "HOME": os.environ.get("HOME", "/tmp"),
            "PYTHONPATH": SRC + os.pathsep + os.environ.get("PYTHONPATH", "")}


def default_sigint() -> None:
    # A runner started in the background ignores Ctrl-C; the server must not.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port: int = s.getsockname()[1]
        return port


def start_http(files: list[str], token_file: str, timeout: float = 10.0
               ) -> tuple[subprocess.Popen[bytes], int]:
    """`spatial mcp --http` on a free loopback port, once its token file is written; what
    it says goes to TOKEN_FILE.log (a pipe nobody reads could fill and stop it)."""
    port = free_port()
    with open(token_file + ".log", "wb") as log:
        proc = subprocess.Popen([sys.executable, "-m", "spatial_intent.cli", "mcp", "--http", f"127.0.0.1:{port}",
                                 "--token-file", token_file, *files], stderr=log,
                                env={**os.environ, **environment()}, preexec_fn=default_sigint)
    deadline = time.monotonic() + timeout
    while not os.path.exists(token_file):
        if time.monotonic() > deadline or proc.poll() is not None:
            proc.kill()
            proc.wait(5)
            with open(token_file + ".log") as said:
                raise AssertionError(f"the HTTP server did not start: {said.read()[-500:]}")
        time.sleep(0.05)
    return proc, port


def stop_http(proc: subprocess.Popen[bytes]) -> int:
    proc.send_signal(signal.SIGTERM)
    try:
        return proc.wait(10)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(5)


class Server:
    """`spatial mcp` as a child, one message a line. Every read is bounded in time."""

    def __init__(self, *args: str, stderr: Any = subprocess.PIPE) -> None:
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "spatial_intent.cli", "mcp", *args], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=stderr, env={**os.environ, **environment()}, preexec_fn=default_sigint)
        self.next_id = 0
        self.buffer = b""
        self.seen: list[dict[str, Any]] = []

    def send(self, message: Any) -> None:
        raw = message if isinstance(message, bytes) else json.dumps(message).encode()
        assert self.proc.stdin is not None
        self.proc.stdin.write(raw + b"\n")
        self.proc.stdin.flush()

    def read(self, timeout: float = 10.0) -> dict[str, Any] | None:
        deadline = time.monotonic() + timeout
        assert self.proc.stdout is not None
        fd = self.proc.stdout.fileno()
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                return None
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                return None
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        message = json.loads(line)
        self.seen.append(message)
        return message

    def answer(self, id_: Any, timeout: float = 10.0) -> dict[str, Any]:
        deadline = time.monotonic() + timeout
        while (left := deadline - time.monotonic()) > 0:
            message = self.read(left)
            if message is None:
                break
            if "id" in message and message["id"] == id_ and "method" not in message:
                return message
        raise AssertionError(f"no answer to request {id_} within {timeout} s")

    def request(self, method: str, params: dict[str, Any] | None = None, modern: bool = False,
                timeout: float = 10.0) -> dict[str, Any]:
        self.next_id += 1
        params = dict(params or {})
        if modern:
            params["_meta"] = {**MODERN_META, **params.get("_meta", {})}
        self.send({"jsonrpc": "2.0", "id": self.next_id, "method": method, "params": params})
        return self.answer(self.next_id, timeout)

    def initialize(self, version: str = "2025-06-18") -> dict[str, Any]:
        answer = self.request("initialize", {"protocolVersion": version, "capabilities": {},
                                             "clientInfo": {"name": "test", "version": "1"}})
        self.send({"jsonrpc": "2.0", "method": "notifications/initialized"})
        return answer

    def call(self, name: str, arguments: dict[str, Any] | None = None, modern: bool = True) -> dict[str, Any]:
        return self.request("tools/call", {"name": name, "arguments": arguments or {}}, modern=modern)

    def notifications(self, method: str, timeout: float) -> list[dict[str, Any]]:
        deadline = time.monotonic() + timeout
        while (left := deadline - time.monotonic()) > 0 and self.read(left) is not None:
            pass
        return [m for m in self.seen if m.get("method") == method]

    def close(self) -> tuple[int, str]:
        assert self.proc.stdin is not None
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        try:
            code = self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(5)
            raise
        err = self.proc.stderr.read().decode() if self.proc.stderr else ""
        return code, err

    def __enter__(self) -> Server:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(5)
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream is not None:
                stream.close()
