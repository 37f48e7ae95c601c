"""A host on WebXR: a headless browser runs the page (examples/webxr/page.js) with an
emulated headset that the scripted user drives (or, with --no-emulator, the browser's
own), the page sends one frame record and what the browser reports of its inputs for
each XR frame over a WebSocket on loopback, and this host reads each as it reads any
record, chooses what points and what selects (spatial_intent.pointing), grounds it
against the host loop's panels, keeps it in an IntentTimeline,
streams it as JSON Lines and pairs the script's utterances at their own time (with
--speak, the scripted user speaks them: each deictic word the recogniser hears is
paired with the frame in force when it was spoken); the same script and the same
records as the OpenXR host.

    cd examples && python3 -m webxr.host --seconds S [--phases P,...] [--speak] [--frames FILE]
        [--events FILE] [--summary FILE] [--packages DIR] [--browser PATH] [--no-emulator]

Exits 0 after S seconds of the script. Faults cost one line on standard error and a
non-zero exit, every record written so far a whole line: no browser or no page packages,
a browser that exits, a page that stops sending for a second or sends a message too large
to take; Ctrl-C is one line (130), and so is SIGTERM (143). A message from the page that
is malformed, oversized, stamped far from its arrival or one too many in a second is one
line, and the session goes on.

Only our page may connect. The browser is opened on a file in a folder only this user
can read, which sends it on to the page with a secret of this session in the address's
fragment: no process's arguments or environment hold it. The WebSocket takes a
connection only with that secret and with the page's own origin; anything else is
refused in one line, and the host goes on waiting for its page. The file server, on
loopback, answers only requests addressed to it by name (no other Host, as a page on
another site that rebinds a name to loopback would send) and serves only the page's own
files, never a folder's listing nor anything outside its packages."""

from __future__ import annotations

import argparse
import contextlib
import hmac
import http.server
import json
import math
import os
import queue
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from collections import deque
from collections.abc import Iterator

import _spatial as sp
from host_loop import raycast  # the same panel scene as make demo
from shared import script
from shared.listening import Listener
from spatial_intent import nanoseconds, pointing, speech
from webxr import inputs
from spatial_intent.speech import printable

HERE = os.path.dirname(os.path.abspath(__file__))
FRAME_RECORD = b'{"schema":"halberin.spatial-intent"'
LARGEST_MESSAGE = 16 * 1024  # a full frame record is under 1.5 KiB
# What the WebSocket takes at all: a larger message closes the page's connection. Up to
# this, an oversized message is refused alone and the session goes on.
LARGEST_FRAME = 4 << 20
MOST_A_SECOND = 240  # four times the headset's rate
SILENCE_S = 1.0
FARTHEST_NS = 1_000_000_000  # how far a frame's time may lie from its arrival
SAMPLE_S = 0.004  # the page runs at 60 Hz: a sample every quarter of a frame
# The page's files: these, and what lies under these folders of its packages.
PAGE_FILES = {"/page.html": "page.html", "/page.js": "page.js"}
PACKAGE_FOLDERS = ("iwer/build", "@iwer/sem/build/es")
IDLE_S = 5.0  # a connection of the file server that sends nothing for this long is closed
MOST_CONNECTIONS = 32
GONE = None  # in the page's queue: its connection closed


class Fault(Exception):
    """The browser or the page failed: the reason, in one line."""


class Terminated(Exception):
    """SIGTERM: the session ends as on Ctrl-C."""


def terminate(signum: int, frame: object) -> None:
    raise Terminated


def script_samples(s: script.Script) -> dict:
    """The script's state every SAMPLE_S, for the page to play frame by frame: per
    sample the phase (an index into "phases"), the head's orientation, where the eyes
    look (world orientation, or None), each hand's target ray, position then
    orientation, and pose (or None), each controller's position, orientation and trigger
    (or None), which hand pinches, and which is lost to tracking."""
    count = int(s.seconds / SAMPLE_S) + 2
    # Numbers to six places; NaN, which JSON has no word for, as null.
    r = lambda values: [round(v, 6) if math.isfinite(v) else None for v in values]  # noqa: E731
    samples: dict = {"step_s": SAMPLE_S, "head_position": script.HEAD_POSITION,
                     "phases": list(s.phases), "phase": [], "head": [], "gaze": [], "left": [], "right": [],
                     "left_controller": [], "right_controller": [], "pinch": [], "dropped": []}
    for i in range(count):
        t = i * SAMPLE_S
        samples["phase"].append(s.phases.index(s.pointer(t)))
        samples["head"].append(r(script.yaw_pitch_quaternion(*s.head_angles(t))))
        gaze = s.gaze_angles(t)
        samples["gaze"].append(r(script.yaw_pitch_quaternion(*gaze)) if gaze is not None else None)
        for side, hand in (("left", s.left_hand(t)), ("right", s.right_hand(t))):
            samples[side].append([*r(hand[0]), *r(hand[1]), hand[2]] if hand is not None else None)
        controllers = s.controllers(t)
        for side in ("left", "right"):
            c = controllers.get(side)
            samples[f"{side}_controller"].append([*r(c[0]), *r(c[1]), 1.0 if c[2] else 0.0] if c else None)
        samples["pinch"].append([s.pinched("left", t), s.pinched("right", t)])
        samples["dropped"].append([s.dropped("left", t), s.dropped("right", t)])
    return samples


class Files(http.server.BaseHTTPRequestHandler):
    """The page, its packages' files and the script's state, to requests addressed to
    this server by name; nothing else."""

    timeout = IDLE_S
    host = ""  # "127.0.0.1:PORT", set with the port
    packages = ""
    samples = b""

    def do_GET(self) -> None:
        if self.headers.get("Host") != self.host:
            self.send_error(421, "Misdirected Request")
            return
        path = urllib.parse.urlsplit(self.path).path
        if path == "/script.json":
            self.reply(self.samples, "application/json")
            return
        found = self.file(path)
        if found is None:
            self.send_error(404)
            return
        try:
            with open(found, "rb") as f:
                body = f.read()
        except OSError:
            self.send_error(404)
            return
        self.reply(body, "text/html" if found.endswith(".html") else
                   "text/javascript" if found.endswith((".js", ".mjs")) else
                   "application/json" if found.endswith(".json") else "application/octet-stream")

    def file(self, path: str) -> str | None:
        """The file a path names, when it is one of the page's: never a folder, never
        a link out of the package folders."""
        if path in PAGE_FILES:
            return os.path.join(HERE, PAGE_FILES[path])
        if not path.startswith("/node_modules/"):
            return None
        relative = urllib.parse.unquote(path[len("/node_modules/"):])
        modules = os.path.realpath(os.path.join(self.packages, "node_modules"))
        for folder in PACKAGE_FOLDERS:
            top = os.path.join(modules, folder)
            if relative.startswith(folder + "/"):
                real = os.path.realpath(os.path.join(modules, relative))
                if real.startswith(top + os.sep) and os.path.isfile(real):
                    return real
        return None

    def reply(self, body: bytes, kind: str) -> None:
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: object) -> None:
        pass


class FileServer(http.server.ThreadingHTTPServer):
    """At most MOST_CONNECTIONS at once, each closed after IDLE_S of silence; those still
    open are shut when the server is."""

    daemon_threads = True

    def __init__(self, handler: type[Files]) -> None:
        super().__init__(("127.0.0.1", 0), handler)
        self.open: set[socket.socket] = set()
        self.lock = threading.Lock()

    def verify_request(self, request, client_address) -> bool:  # type: ignore[no-untyped-def]
        with self.lock:
            if len(self.open) >= MOST_CONNECTIONS:
                return False
            self.open.add(request)
        return True

    def shutdown_request(self, request) -> None:  # type: ignore[no-untyped-def]
        with self.lock:
            self.open.discard(request)
        super().shutdown_request(request)

    def server_close(self) -> None:
        super().server_close()
        with self.lock:
            for request in self.open:
                with contextlib.suppress(OSError):
                    request.shutdown(socket.SHUT_RDWR)


@contextlib.contextmanager
def served(packages: str, s: script.Script) -> Iterator[int]:
    handler = type("PageFiles", (Files,), {"packages": packages,
                                           "samples": json.dumps(script_samples(s)).encode()})
    server = FileServer(handler)
    port = server.server_address[1]
    handler.host = f"127.0.0.1:{port}"
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield port
    finally:
        server.shutdown()
        server.server_close()


class Page:
    """The WebSocket end of the page: messages in a queue with their arrival time (GONE
    with the reason when its connection closed), and what the host says to the page.
    Only a connection with this session's secret and the page's origin is taken, and
    only the first such; every other is refused in one line."""

    def __init__(self, origin: str) -> None:
        from websockets.sync.server import serve

        self.origin, self.secret = origin, secrets.token_urlsafe(32)
        self.refused = 0  # messages refused before they reached the session's loop
        self.messages: queue.Queue[tuple[int, bytes | str | None, str]] = queue.Queue()
        self.connection = None
        self.connected = threading.Event()
        self.server = serve(self._serve, "127.0.0.1", 0, max_size=LARGEST_FRAME, process_request=self._admit)
        self.port = self.server.socket.getsockname()[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def _admit(self, connection, request):  # type: ignore[no-untyped-def]
        origin = request.headers.get("Origin", "")
        key = urllib.parse.parse_qs(urllib.parse.urlsplit(request.path).query).get("key", [""])[0]
        why = None
        if not hmac.compare_digest(key.encode(), self.secret.encode()):
            why = "without this session's secret"
        elif origin != self.origin:
            why = f"from the origin \"{printable(origin, 80)}\""
        elif self.connected.is_set():
            why = "while the page is connected"
        if why is None:
            self.connected.set()
            return None
        print(f"webxr host: refused a connection {why}", file=sys.stderr)
        return connection.respond(403, "Forbidden\n")

    def _serve(self, connection) -> None:
        from websockets.exceptions import ConnectionClosed

        self.connection = connection
        why = "the page closed its connection"
        try:
            for message in connection:
                self.messages.put((time.monotonic_ns(), message, ""))
        except ConnectionClosed as e:
            if e.sent is not None and e.sent.code == 1009:
                why = f"the page sent a message over {LARGEST_FRAME >> 20} MiB, and its connection was closed"
        except Exception:  # the page went away; the host notices by the silence
            pass
        self.messages.put((time.monotonic_ns(), GONE, why))

    def send(self, **message: object) -> None:
        if self.connection is not None:
            with contextlib.suppress(Exception):
                self.connection.send(json.dumps(message))

    def close(self) -> None:
        if self.connection is not None:
            with contextlib.suppress(Exception):
                self.connection.close()
        self.server.shutdown()


def launcher(folder: str, url: str) -> str:
    """A page in the private folder that sends the browser on to `url`: the browser's
    arguments name this file, never the address with its secret."""
    path = os.path.join(folder, "open.html")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        f.write(f'<!doctype html><meta charset="utf-8"><script>location.replace({json.dumps(url)});</script>\n')
    return "file://" + urllib.parse.quote(path)


def browser_command(browser: str, url: str, profile: str) -> list[str]:
    command = [browser, "--headless=new", f"--user-data-dir={profile}", "--enable-unsafe-swiftshader",
               "--use-angle=swiftshader", "--no-first-run", "--no-default-browser-check", "--disable-extensions",
               "--disable-background-timer-throttling", "--disable-renderer-backgrounding", "--mute-audio", url]
    if os.geteuid() == 0:
        command.insert(1, "--no-sandbox")  # the browser's own sandbox refuses to run as root
    return command


def control(message: bytes | str) -> dict | None:
    """A page's control message, or None for anything else (a control message nested
    too deeply to read included). Oversized messages are refused before this."""
    if isinstance(message, bytes) or not message.startswith('{"page"'):
        return None
    try:
        value = json.loads(message)
    except (ValueError, RecursionError):
        return None
    return value.get("page") if isinstance(value, dict) and isinstance(value.get("page"), dict) else None


def size(message: bytes | str) -> int:
    return len(message.encode() if isinstance(message, str) else message)


def next_message(page: Page, browser: subprocess.Popen, timeout_s: float, what: str) -> tuple[int, bytes | str]:
    deadline = time.monotonic() + timeout_s
    while True:
        if browser.poll() is not None:
            code = browser.returncode
            raise Fault(f"the browser exited ({f'signal {-code}' if code < 0 else f'status {code}'}) {what}")
        try:
            arrived, message, why = page.messages.get(timeout=min(0.1, max(0.0, deadline - time.monotonic())))
        except queue.Empty:
            if time.monotonic() >= deadline:
                raise Fault(f"the page sent nothing for {timeout_s:g} s {what}") from None
            continue
        if message is GONE:
            # A browser that went away closes the page's connection first: say which it was.
            with contextlib.suppress(subprocess.TimeoutExpired):
                browser.wait(1.0)
            if browser.poll() is None:
                raise Fault(f"{why} {what}")
            continue
        if size(message) > LARGEST_MESSAGE:
            print(f"webxr host: refused a message of {size(message)} bytes (at most {LARGEST_MESSAGE})",
                  file=sys.stderr)
            page.refused += 1
            continue
        return arrived, message


def sync_clocks(page: Page, browser: subprocess.Popen, rounds: int = 20) -> int:
    """The page clock's offset: host monotonic ns minus the page's performance.now() in
    ns, from the round trip of least delay (its error is at most half of it). A round
    whose answer is not a time is passed over."""
    best = None
    for _ in range(rounds):
        sent = time.monotonic_ns()
        page.send(ping=sent)
        while True:
            received, message = next_message(page, browser, 5.0, "while the clocks were compared")
            reply = control(message)
            if reply is not None and reply.get("pong") == sent:
                break
        page_ms = reply.get("page_ms")
        if not isinstance(page_ms, (int, float)) or isinstance(page_ms, bool) or \
                not (math.isfinite(page_ms) and abs(page_ms) < 2**53):
            print("webxr host: refused a message: a pong without the page's time in ms", file=sys.stderr)
            page.refused += 1
            continue
        trip = received - sent
        offset = (sent + received) // 2 - round(page_ms * 1e6)
        if best is None or trip < best[0]:
            best = (trip, offset)
    if best is None:
        raise Fault("the page answered no ping with its time")
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


def choose(rule: pointing.Pointer, frame: sp.SpatialIntentFrame, report: inputs.Report) -> sp.SpatialHit | None:
    """Fills in what points, what selects and the eyes from what the browser reported;
    gives the room's surface the hit test found when the controller it follows points."""
    head = None
    if frame.head_tracking != sp.TrackingConfidence.UNAVAILABLE:
        p, o = frame.head_pose.position, frame.head_pose.orientation
        head = ((p.x, p.y, p.z), inputs.forward((o.x, o.y, o.z, o.w)))
    given, controllers = inputs.inputs(report, head, int(frame.head_tracking))
    choice = rule.frame(frame.timestamp_ns, given)
    choice.fill(frame)
    if given.eyes is not None and pointing.finite(given.eyes):
        frame.gaze_ray = sp.Ray(sp.Vec3(*given.eyes[0]), sp.Vec3(*given.eyes[1]))
    caps = frame.capabilities
    # Each hand comes with the runtime's own target ray and select.
    caps.hand_interaction = caps.hand_tracking
    caps.eye_gaze = "gaze-tracking" in caps.enabled_extensions or given.eyes is not None or bool(given.transients)
    hit = report.hit
    if hit is None or choice.source != "controller" or controllers.get(choice.side or "") != hit[0]:
        return None
    room = sp.SpatialHit()
    room.position, room.normal = sp.Vec3(*hit[1]), sp.Vec3(*hit[2])
    return room


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else float("nan")


def run(args: argparse.Namespace) -> int:
    s = script.Script(args.seconds, tuple(args.phases.split(",")), args.overlap)
    packages = os.path.abspath(args.packages)
    if not os.path.exists(os.path.join(packages, "node_modules", "iwer", "build", "iwer.module.js")):
        print(f"webxr host: the page's packages are not in {packages}/node_modules: tools/npm-packages webxr "
              "fetches them (npm ci)", file=sys.stderr)
        return 1
    browser_path = shutil.which(args.browser)
    if browser_path is None:
        print(f"webxr host: no browser {args.browser!r}: apt install chromium (make demo-webxr runs in the "
              "toolchain that has it)", file=sys.stderr)
        return 1
    for path in (args.frames, args.events):
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    listener = None
    if args.speak:  # synthesised now; the recogniser starts once the script's 0 is known
        try:
            listener = Listener(s, os.path.splitext(os.path.abspath(args.events))[0] + ".gram", "webxr host")
        except speech.SpeechError as e:
            print(f"webxr host: {e}", file=sys.stderr)
            return 1
        except KeyboardInterrupt:  # while the voice is synthesised: nothing started yet
            print("webxr host: interrupted; 0 frames written", file=sys.stderr)
            return 130
    capacity = listener.history_frames() if listener is not None else 240
    timeline = sp.IntentTimeline(capacity=capacity, max_context_age_ns=200_000_000)
    summary: dict = {"frames": 0, "tracking": {}, "pointing_confidence": {}, "select_edges": [], "events": [],
                     "refused": 0, "latency_ms": {}, "history_frames": capacity}
    latency: list[float] = []
    status = 0
    page = browser = None
    signal.signal(signal.SIGTERM, terminate)
    private = tempfile.mkdtemp(prefix="spatial-webxr-")  # only this user can read it
    try:
        with open(args.frames, "w", encoding="utf-8", buffering=1) as frames, \
                open(args.events, "w", encoding="utf-8", buffering=1) as events, \
                open(args.browser_log, "w") as browser_log, served(packages, s) as http_port:
            try:
                page = Page(f"http://127.0.0.1:{http_port}")
                url = f"http://127.0.0.1:{http_port}/page.html#ws={page.port}&key={page.secret}" \
                    f"{'&emulate=1' if args.emulator else ''}{args.page_options}"
                launched = time.monotonic_ns()
                browser = subprocess.Popen(
                    browser_command(browser_path, launcher(private, url), os.path.join(private, "profile")),
                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=browser_log, start_new_session=True)
                while True:  # the page's session, granted
                    _, message = next_message(page, browser, 30.0, "before the page's session began")
                    said = control(message)
                    if said is not None and "error" in said:
                        raise Fault(f"the page failed: {printable(str(said['error']), 200)}")
                    if said is not None and "ready" in said:
                        summary["page"] = said["ready"]
                        break
                summary["session_ready_ns"] = time.monotonic_ns()
                offset = sync_clocks(page, browser)
                start_ns = time.monotonic_ns() + nanoseconds(args.lead)
                end_ns = start_ns + nanoseconds(args.seconds)
                summary.update(start_ns=start_ns, launched_ns=launched, offset_ns=offset)
                page.send(start={"offset_ns": offset, "start_ns": start_ns, "seconds": args.seconds})
                pending = [(start_ns + nanoseconds(t), text) for t, text, _ in s.utterances()] if listener is None \
                    else []
                if listener is not None:
                    listener.start(start_ns)
                session(page, browser, frames, events, timeline, pending, end_ns, summary, latency, listener)
                if listener is not None:
                    listener.finish(timeline, events, None)
            except Fault as e:
                print(f"webxr host: {e}; {summary['frames']} frames written", file=sys.stderr)
                status = 1
            except (KeyboardInterrupt, Terminated) as e:
                how = ("interrupted", 130) if isinstance(e, KeyboardInterrupt) else ("terminated", 143)
                print(f"webxr host: {how[0]}; {summary['frames']} frames written", file=sys.stderr)
                status = how[1]
            finally:
                if listener is not None:
                    listener.stop()
                    summary["speech"] = listener.summary()
                    if listener.failed() and status == 0:
                        status = 1
                if page is not None:
                    page.send(stop=True)
                    page.close()
                    summary["refused"] += page.refused
                if browser is not None:
                    end_browser(browser)
    finally:
        shutil.rmtree(private, ignore_errors=True)
    span = (summary.get("last_frame_ns", 0) - summary.get("first_frame_ns", 0)) / 1e9
    summary["frame_rate_hz"] = (summary["frames"] - 1) / span if span > 0 else 0.0
    summary["latency_ms"] = {"p50": percentile(latency, 0.5), "p99": percentile(latency, 0.99)}
    summary["status"] = status
    if args.summary:
        with open(args.summary, "w", encoding="utf-8") as out:
            json.dump(summary, out)
    return status


def end_browser(browser: subprocess.Popen) -> None:
    """The browser and every process it started (its own process group): asked, then
    killed after 5 s."""
    for how, wait in ((signal.SIGTERM, 5.0), (signal.SIGKILL, 5.0)):
        with contextlib.suppress(ProcessLookupError):
            os.killpg(browser.pid, how)
        try:
            browser.wait(wait)
            return
        except subprocess.TimeoutExpired:
            continue


def session(page: Page, browser: subprocess.Popen, frames, events, timeline: sp.IntentTimeline,
            pending: list[tuple[int, str]], end_ns: int, summary: dict, latency: list[float],
            listener: Listener | None = None) -> None:
    """The page's frames until the first one at the script's end: each read, grounded,
    kept, written; the script's utterances paired at their times, or what the listener
    heard at the times it was spoken."""
    grounding = Grounding()
    rule = pointing.Pointer()
    recent: deque[int] = deque()
    told_rate = 0
    pressed = None

    def refuse(why: str) -> None:
        summary["refused"] += 1
        print(f"webxr host: refused a message: {why}", file=sys.stderr)

    while True:
        arrived, message = next_message(page, browser, SILENCE_S, "during the session")
        if arrived > end_ns + nanoseconds(SILENCE_S):
            raise Fault(f"the page sent no frame of the script's end within {SILENCE_S:g} s of it")
        said = control(message)
        if said is not None:
            if "error" in said:
                print(f"webxr host: the page says: {printable(str(said['error']), 200)}", file=sys.stderr)
            continue
        summary["messages"] = summary.get("messages", 0) + 1
        recent.append(arrived)
        while recent and recent[0] < arrived - 1_000_000_000:
            recent.popleft()
        if len(recent) > MOST_A_SECOND:
            summary["refused"] += 1
            if arrived - told_rate > 1_000_000_000:
                told_rate = arrived
                print(f"webxr host: refused messages beyond {MOST_A_SECOND} a second", file=sys.stderr)
            continue
        line, _, reported = (message.decode("utf-8", "replace") if isinstance(message, bytes) else message) \
            .partition("\n")
        try:
            record = sp.from_jsonl(line)
            report = inputs.read(reported)
        except ValueError as e:
            refuse(printable(str(e), 200))
            continue
        if not isinstance(record, sp.SpatialIntentFrame):
            refuse("an event, where the page sends frames")
            continue
        if abs(record.timestamp_ns - arrived) > FARTHEST_NS:
            refuse(f"a frame stamped {(record.timestamp_ns - arrived) / 1e9:+.3g} s from its arrival")
            continue
        if record.timestamp_ns >= end_ns:
            return
        grounding.room = choose(rule, record, report)
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
        if listener is not None:
            listener.heard(timeline, events, None)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=6.0)
    parser.add_argument("--phases", default=",".join(script.PHASES), help="the script's ways of pointing played")
    parser.add_argument("--speak", action="store_true",
                        help="the scripted user speaks its commands to a speech recogniser instead of typing")
    parser.add_argument("--overlap", type=float, default=0.0, help=argparse.SUPPRESS)  # a press across phases
    parser.add_argument("--lead", type=float, default=0.5, help="seconds from the clocks' agreement to the script's 0")
    parser.add_argument("--frames", default="build/demo/webxr-frames.jsonl")
    parser.add_argument("--events", default="build/demo/webxr-events.jsonl")
    parser.add_argument("--summary", default="")
    parser.add_argument("--packages", default=os.path.join(HERE, "..", "..", "build", "webxr"),
                        help="where npm put the page's packages (tools/npm-packages webxr)")
    parser.add_argument("--browser", default="chromium")
    parser.add_argument("--browser-log", default=os.devnull, help="where the browser's own messages go")
    parser.add_argument("--no-emulator", dest="emulator", action="store_false",
                        help="the browser's own headset (navigator.xr), not the emulated one the script drives")
    parser.add_argument("--page-options", default="", help=argparse.SUPPRESS)  # the tests' misbehaving page
    args = parser.parse_args()
    if not (math.isfinite(args.seconds) and 0 < args.seconds <= 3600):
        parser.error("--seconds must be between 0 and 3600")
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
