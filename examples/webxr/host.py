"""A host on WebXR: a headless browser runs the page (examples/webxr/page.js) with an
emulated headset that the scripted user drives, the page sends one frame record for
each XR frame over a WebSocket on loopback, and this host reads each one as it reads
any record, grounds it against the host loop's panels, keeps it in an IntentTimeline,
streams it as JSON Lines and pairs the script's utterances at their own time; the same
script and the same records as the OpenXR host.

    cd examples && python3 -m webxr.host --seconds S [--frames FILE] [--events FILE]
        [--summary FILE] [--packages DIR] [--browser PATH]

Exits 0 after S seconds of the script. Faults cost one line on standard error and a
non-zero exit, every record written so far a whole line: no browser or no page packages,
a browser that exits, a page that stops sending for a second; Ctrl-C is one line (130).
A message from the page that is malformed, oversized or one too many in a second is one
line, and the session goes on."""

from __future__ import annotations

import argparse
import contextlib
import functools
import http.server
import json
import math
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from collections import deque
from collections.abc import Iterator

import _spatial as sp
from host_loop import raycast  # the same panel scene as make demo
from openxr import script

HERE = os.path.dirname(os.path.abspath(__file__))
FRAME_RECORD = b'{"schema":"halberin.spatial-intent"'
LARGEST_MESSAGE = 16 * 1024  # a full frame record is under 1.5 KiB
MOST_A_SECOND = 240  # four times the headset's rate
SILENCE_S = 1.0
SAMPLE_S = 0.002


class Fault(Exception):
    """The browser or the page failed: the reason, in one line."""


def script_samples(s: script.Script) -> dict:
    """The script's state every SAMPLE_S, for the page to play frame by frame."""
    count = int(s.seconds / SAMPLE_S) + 2
    head, aim, trigger = [], [], []
    for i in range(count):
        t = i * SAMPLE_S
        head.append(script.yaw_pitch_quaternion(s.head_yaw(t), 0.0))
        aim.append(script.yaw_pitch_quaternion(*s.aim_angles(t)))
        trigger.append(1.0 if s.pressed(t) else 0.0)
    return {"step_s": SAMPLE_S, "head_position": script.HEAD_POSITION, "aim_origin": script.AIM_ORIGIN,
            "head": head, "aim": aim, "trigger": trigger}


class Files(http.server.SimpleHTTPRequestHandler):
    """The page, the page's packages and the script's state, from loopback only."""

    def __init__(self, *args, packages: str, samples: bytes, **kwargs):
        self.packages, self.samples = packages, samples
        super().__init__(*args, directory=HERE, **kwargs)

    def translate_path(self, path: str) -> str:
        if path.startswith("/node_modules/"):
            relative = os.path.normpath(path.split("?")[0][len("/node_modules/"):]).lstrip("./")
            return os.path.join(self.packages, "node_modules", relative)
        return super().translate_path(path)

    def do_GET(self) -> None:
        if self.path.split("?")[0] == "/script.json":
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(self.samples)))
            self.end_headers()
            self.wfile.write(self.samples)
            return
        if self.path.split("?")[0] not in ("/page.html", "/page.js") and not self.path.startswith("/node_modules/"):
            self.send_error(404)
            return
        super().do_GET()

    def log_message(self, format: str, *args: object) -> None:
        pass


@contextlib.contextmanager
def served(packages: str, s: script.Script) -> Iterator[int]:
    samples = json.dumps(script_samples(s)).encode()
    handler = functools.partial(Files, packages=packages, samples=samples)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server.server_address[1]
    finally:
        server.shutdown()
        server.server_close()


class Page:
    """The WebSocket end of the page: messages in a queue with their arrival time, and
    what the host says to the page."""

    def __init__(self) -> None:
        from websockets.sync.server import serve

        self.messages: queue.Queue[tuple[int, bytes | str]] = queue.Queue()
        self.connection = None
        self.connected = threading.Event()
        self.server = serve(self._serve, "127.0.0.1", 0, max_size=1 << 20)
        self.port = self.server.socket.getsockname()[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def _serve(self, connection) -> None:
        if self.connection is not None:  # one page at a time
            connection.close()
            return
        self.connection = connection
        self.connected.set()
        try:
            for message in connection:
                self.messages.put((time.monotonic_ns(), message))
        except Exception:  # the page went away; the host notices by the silence
            pass
        self.messages.put((time.monotonic_ns(), b""))

    def send(self, **message: object) -> None:
        if self.connection is not None:
            with contextlib.suppress(Exception):
                self.connection.send(json.dumps(message))

    def close(self) -> None:
        if self.connection is not None:
            with contextlib.suppress(Exception):
                self.connection.close()
        self.server.shutdown()


def browser_command(browser: str, url: str, profile: str) -> list[str]:
    command = [browser, "--headless=new", f"--user-data-dir={profile}", "--enable-unsafe-swiftshader",
               "--use-angle=swiftshader", "--no-first-run", "--no-default-browser-check", "--disable-extensions",
               "--disable-background-timer-throttling", "--disable-renderer-backgrounding", "--mute-audio", url]
    if os.geteuid() == 0:
        command.insert(1, "--no-sandbox")  # the browser's own sandbox refuses to run as root
    return command


def control(message: bytes | str) -> dict | None:
    """A page's control message, or None for anything else."""
    if isinstance(message, bytes) or not message.startswith('{"page"'):
        return None
    try:
        value = json.loads(message)
    except ValueError:
        return None
    return value.get("page") if isinstance(value, dict) and isinstance(value.get("page"), dict) else None


def next_message(page: Page, browser: subprocess.Popen, timeout_s: float, what: str) -> tuple[int, bytes | str]:
    deadline = time.monotonic() + timeout_s
    while True:
        if browser.poll() is not None:
            code = browser.returncode
            raise Fault(f"the browser exited ({f'signal {-code}' if code < 0 else f'status {code}'}) {what}")
        try:
            arrived, message = page.messages.get(timeout=min(0.1, max(0.0, deadline - time.monotonic())))
        except queue.Empty:
            if time.monotonic() >= deadline:
                raise Fault(f"the page sent nothing for {timeout_s:g} s {what}") from None
            continue
        if message == b"":
            # A browser that went away closes the page's connection first: say which it was.
            with contextlib.suppress(subprocess.TimeoutExpired):
                browser.wait(1.0)
            if browser.poll() is None:
                raise Fault(f"the page closed its connection {what}")
            continue
        return arrived, message


def sync_clocks(page: Page, browser: subprocess.Popen, rounds: int = 20) -> int:
    """The page clock's offset: host monotonic ns minus the page's performance.now() in
    ns, from the round trip of least delay (its error is at most half of it)."""
    best = None
    for _ in range(rounds):
        sent = time.monotonic_ns()
        page.send(ping=sent)
        while True:
            received, message = next_message(page, browser, 5.0, "while the clocks were compared")
            reply = control(message)
            if reply is not None and reply.get("pong") == sent:
                break
        trip = received - sent
        offset = (sent + received) // 2 - round(reply["page_ms"] * 1e6)
        if best is None or trip < best[0]:
            best = (trip, offset)
    assert best is not None
    return best[1]


class Grounding:
    """The panels first (the host's content is drawn over the room); where no panel is on
    the ray, the room surface the page's hit test found, as "room"."""

    def __init__(self) -> None:
        self.room: sp.SpatialHit | None = None

    def __call__(self, ray: sp.Ray) -> sp.SpatialHit | None:
        hit = raycast(ray)
        if hit is not None or self.room is None:
            return hit
        room = sp.SpatialHit()
        room.position, room.normal, room.host_id = self.room.position, self.room.normal, "room"
        return room


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else float("nan")


def run(args: argparse.Namespace) -> int:
    s = script.Script(args.seconds)
    packages = os.path.abspath(args.packages)
    if not os.path.exists(os.path.join(packages, "node_modules", "iwer", "build", "iwer.module.js")):
        print(f"webxr host: the page's packages are not in {packages}/node_modules: make webxr-packages "
              "fetches them (npm ci)", file=sys.stderr)
        return 1
    browser_path = shutil.which(args.browser)
    if browser_path is None:
        print(f"webxr host: no browser {args.browser!r}: apt install chromium (make demo-webxr runs in the "
              "toolchain that has it)", file=sys.stderr)
        return 1
    timeline = sp.IntentTimeline(capacity=240, max_context_age_ns=200_000_000)
    summary: dict = {"frames": 0, "tracking": {}, "pointing_confidence": {}, "select_edges": [], "events": [],
                     "refused": 0, "latency_ms": {}}
    latency: list[float] = []
    status = 0
    page = browser = None
    profile = tempfile.mkdtemp(prefix="spatial-webxr-")
    for path in (args.frames, args.events):
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(args.frames, "w", encoding="utf-8", buffering=1) as frames, \
            open(args.events, "w", encoding="utf-8", buffering=1) as events, \
            open(args.browser_log, "w") as browser_log, served(packages, s) as http_port:
        try:
            page = Page()
            url = f"http://127.0.0.1:{http_port}/page.html?ws={page.port}{args.page_options}"
            launched = time.monotonic_ns()
            browser = subprocess.Popen(browser_command(browser_path, url, profile), stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=browser_log)
            while True:  # the page's session, granted
                _, message = next_message(page, browser, 30.0, "before the page's session began")
                said = control(message)
                if said is not None and "error" in said:
                    raise Fault(f"the page failed: {said['error']}")
                if said is not None and "ready" in said:
                    summary["page"] = said["ready"]
                    break
            summary["session_ready_ns"] = time.monotonic_ns()
            offset = sync_clocks(page, browser)
            start_ns = time.monotonic_ns() + int(args.lead * 1e9)
            end_ns = start_ns + int(args.seconds * 1e9)
            summary.update(start_ns=start_ns, launched_ns=launched, offset_ns=offset)
            page.send(start={"offset_ns": offset, "start_ns": start_ns, "seconds": args.seconds})
            pending = [(start_ns + int(t * 1e9), text) for t, text, _ in s.utterances()]
            grounding = Grounding()
            recent: deque[int] = deque()
            told_rate = 0
            pressed = None
            while True:
                arrived, message = next_message(page, browser, SILENCE_S, "during the session")
                said = control(message)
                if said is not None:
                    if "error" in said:
                        print(f"webxr host: the page says: {said['error']}", file=sys.stderr)
                    continue
                summary["messages"] = summary.get("messages", 0) + 1
                raw = message.encode() if isinstance(message, str) else message
                recent.append(arrived)
                while recent and recent[0] < arrived - 1_000_000_000:
                    recent.popleft()
                if len(raw) > LARGEST_MESSAGE or len(recent) > MOST_A_SECOND:
                    summary["refused"] += 1
                    if len(raw) > LARGEST_MESSAGE:
                        print(f"webxr host: refused a message of {len(raw)} bytes (at most {LARGEST_MESSAGE})",
                              file=sys.stderr)
                    elif arrived - told_rate > 1_000_000_000:
                        told_rate = arrived
                        print(f"webxr host: refused messages beyond {MOST_A_SECOND} a second", file=sys.stderr)
                    continue
                try:
                    record = sp.from_jsonl(raw)
                except ValueError as e:
                    summary["refused"] += 1
                    print(f"webxr host: refused a message: {e}", file=sys.stderr)
                    continue
                if not isinstance(record, sp.SpatialIntentFrame):
                    summary["refused"] += 1
                    print("webxr host: refused a message: an event, where the page sends frames", file=sys.stderr)
                    continue
                if record.timestamp_ns >= end_ns:
                    break
                grounding.room = record.target
                frame = sp.resolve_target(record, grounding)
                timeline.push(frame)
                frames.write(sp.to_jsonl(frame) + "\n")
                latency.append((time.monotonic_ns() - frame.timestamp_ns) / 1e6)
                if summary["frames"] == 0:
                    summary["first_frame_ns"] = frame.timestamp_ns
                summary["last_frame_ns"] = frame.timestamp_ns
                summary["frames"] += 1
                name = frame.head_tracking.name
                summary["tracking"][name] = summary["tracking"].get(name, 0) + 1
                if frame.pointing is not None:
                    name = frame.pointing.confidence.name
                    summary["pointing_confidence"][name] = summary["pointing_confidence"].get(name, 0) + 1
                sel = frame.primary_select
                if sel is not None and pressed is not None and sel.pressed != pressed:
                    summary["select_edges"].append([frame.timestamp_ns, sel.pressed, sel.last_change_time_ns])
                pressed = sel.pressed if sel is not None else pressed
                while pending and pending[0][0] <= frame.timestamp_ns:
                    at, text = pending.pop(0)
                    event = timeline.submit_text(text, at)
                    target = event.spatial_context.target if event is not None else None
                    if event is not None:
                        events.write(sp.to_jsonl(event) + "\n")
                    summary["events"].append({"text": text, "at_ns": at, "paired": event is not None,
                                              "host_id": target.host_id if target is not None else None})
        except Fault as e:
            print(f"webxr host: {e}; {summary['frames']} frames written", file=sys.stderr)
            status = 1
        except KeyboardInterrupt:
            print(f"webxr host: interrupted; {summary['frames']} frames written", file=sys.stderr)
            status = 130
        finally:
            if page is not None:
                page.send(stop=True)
                page.close()
            if browser is not None and browser.poll() is None:
                browser.terminate()
                try:
                    browser.wait(5)
                except subprocess.TimeoutExpired:
                    browser.kill()
                    browser.wait()
            shutil.rmtree(profile, ignore_errors=True)
    span = (summary.get("last_frame_ns", 0) - summary.get("first_frame_ns", 0)) / 1e9
    summary["frame_rate_hz"] = (summary["frames"] - 1) / span if span > 0 else 0.0
    summary["latency_ms"] = {"p50": percentile(latency, 0.5), "p99": percentile(latency, 0.99)}
    summary["status"] = status
    if args.summary:
        with open(args.summary, "w", encoding="utf-8") as out:
            json.dump(summary, out)
    return status


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=6.0)
    parser.add_argument("--lead", type=float, default=0.5, help="seconds from the clocks' agreement to the script's 0")
    parser.add_argument("--frames", default="build/demo/webxr-frames.jsonl")
    parser.add_argument("--events", default="build/demo/webxr-events.jsonl")
    parser.add_argument("--summary", default="")
    parser.add_argument("--packages", default=os.path.join(HERE, "..", "..", "build", "webxr"),
                        help="where npm put the page's packages (make webxr-packages)")
    parser.add_argument("--browser", default="chromium")
    parser.add_argument("--browser-log", default=os.devnull, help="where the browser's own messages go")
    parser.add_argument("--page-options", default="", help=argparse.SUPPRESS)  # the tests' misbehaving page
    args = parser.parse_args()
    if not (math.isfinite(args.seconds) and 0 < args.seconds <= 3600):
        parser.error("--seconds must be between 0 and 3600")
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
