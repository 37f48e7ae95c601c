"""The Streamable HTTP transport, for an agent that connects to a running host: one
endpoint, /mcp, on a loopback address only.

Every request is checked before it is read: the Host header must name the loopback
address served (DNS rebinding), an Origin, when given, must be that address too, the
bearer token must be the one written to the token file (readable by its owner alone,
never in any process's arguments or environment), the body must be JSON of at most
MAX_MESSAGE bytes (413 past it), and a protocol-version header must name a version
the server speaks. A POST's answer is one JSON body; a subscriptions/listen request,
or the older era's GET, opens an event stream for the notifications."""

from __future__ import annotations

import hmac
import ipaddress
import json
import os
import secrets
import socket
import stat
import tempfile
import threading
import time
from collections.abc import Callable
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

from .protocol import LEGACY, MAX_MESSAGE, MODERN, Connection, DirectOutbox, Outbox, error
from .session import Session
from .stdio import encode

READ_TIMEOUT_S = 10.0  # a client that starts a request and stops sending is dropped
WRITE_TIMEOUT_S = 30.0  # an event stream whose client stops reading for this long is ended
KEEP_ALIVE_S = 15.0  # how often an idle event stream is written to, so a gone client is noticed
ANSWER_TIMEOUT_S = 40.0  # longer than the longest wait_for_event
MAX_LEGACY_SESSIONS = 32  # past this, initialize ends the longest-unused session without a stream
MAX_CONNECTIONS = 64  # open at once; one more is closed unanswered


class Refused(Exception):
    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


def loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def write_token(path: str | None) -> tuple[str, str]:
    """A new token, written to `path` (or a private default) with mode 0600: (token, path)."""
    token = secrets.token_urlsafe(32)
    if path is None:
        runtime = os.environ.get("XDG_RUNTIME_DIR")
        if runtime and os.path.isdir(runtime) and os.stat(runtime).st_uid == os.getuid():
            path = os.path.join(runtime, "spatial-mcp-token")
        else:
            path = os.path.join(tempfile.mkdtemp(prefix="spatial-mcp-"), "token")
    folder = os.path.dirname(os.path.abspath(path))
    st = os.stat(folder)
    if st.st_mode & (stat.S_IWGRP | stat.S_IWOTH) and not st.st_mode & stat.S_ISVTX:
        raise OSError(f"{folder} is writable by others: the token file needs a folder they cannot change")
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(token + "\n")
    return token, path


class EventStream:
    """An open text/event-stream answer. Messages (from an outbox's thread) and keep-alive
    comments (from the request's own) are written under one lock; the first write that
    fails or times out ends it."""

    def __init__(self, wfile: Any) -> None:
        self.wfile = wfile
        self.lock = threading.Lock()
        self.closed = threading.Event()

    def _write(self, data: bytes) -> None:
        with self.lock:
            try:
                self.wfile.write(data)
                self.wfile.flush()
            except OSError:
                self.closed.set()
                raise

    def send(self, message: dict[str, Any]) -> None:
        self._write(b"data: " + encode(message)[:-1] + b"\n\n")

    def hold(self) -> None:
        """Until the client goes away."""
        while not self.closed.wait(KEEP_ALIVE_S):
            try:
                self._write(b": keep-alive\n\n")
            except OSError:
                return


class LegacySession:
    """The older era over HTTP: a session id from initialize, and a GET stream for what
    the server sends unasked."""

    def __init__(self, server: Session, log: Callable[[str], None]) -> None:
        self.id = secrets.token_hex(16)
        self.stream: EventStream | None = None  # the GET stream, while one is open
        self.last_used = time.monotonic()
        self.lock = threading.Lock()
        self.outbox = Outbox(self._deliver, lambda e: None)
        self.connection = Connection(server, self.outbox, log)
        self.answers: dict[Any, threading.Event] = {}
        self.answered: dict[Any, dict[str, Any]] = {}

    def _deliver(self, message: dict[str, Any]) -> None:
        if "id" in message and "method" not in message and message["id"] in self.answers:
            self.answered[message["id"]] = message
            self.answers.pop(message["id"]).set()
            return
        with self.lock:
            stream = self.stream
        if stream is not None:
            stream.send(message)  # without a stream, an unasked message is not kept

    def close(self) -> None:
        self.connection.close()
        self.outbox.close()


def serve(session: Session, where: str, token_file: str | None, log: Callable[[str], None]) -> int:
    host, _, port_text = where.rpartition(":")
    host = host.strip("[]") or "127.0.0.1"
    try:
        port = int(port_text)
    except ValueError:
        log(f"--http {where}: the port is not a number")
        return 2
    if not loopback(host):
        log(f"--http {where}: serves loopback addresses only (127.0.0.1, ::1, localhost)")
        return 2
    try:
        token, token_path = write_token(token_file)
    except OSError as e:
        log(f"the token file: {e}")
        return 2
    try:
        return _serve(session, host, port, where, token, token_path, log)
    finally:  # on every way out, a port already taken or a signal included
        try:
            os.unlink(token_path)
            if os.path.basename(os.path.dirname(token_path)).startswith("spatial-mcp-"):
                os.rmdir(os.path.dirname(token_path))  # the private folder made for it
        except OSError:
            pass


def _serve(session: Session, host: str, port: int, where: str, token: str, token_path: str,
           log: Callable[[str], None]) -> int:
    legacy: dict[str, LegacySession] = {}
    legacy_lock = threading.Lock()

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        server_version = "spatial-mcp"
        sys_version = ""

        def log_message(self, format: str, *args: Any) -> None:
            pass

        def setup(self) -> None:
            super().setup()
            self.connection.settimeout(READ_TIMEOUT_S)
            # Headers and body go out as two writes: without this, the second waits for the
            # client's delayed acknowledgement (tens of milliseconds).
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

        def _send(self, status: int, body: dict[str, Any] | None = None, headers: dict[str, str] | None = None) -> None:
            data = encode(body) if body is not None else b""
            self.send_response(status)
            for k, v in (headers or {}).items():
                self.send_header(k, v)
            if body is not None:
                self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def _refuse(self, status: int, message: str) -> None:
            self.close_connection = True
            self._send(status, error(None, -32600 if status != 401 else -32001, message),
                       {"WWW-Authenticate": "Bearer"} if status == 401 else None)

        def _check(self) -> None:
            served = {f"127.0.0.1:{bound}", f"localhost:{bound}", f"[::1]:{bound}"}
            if self.headers.get("Host", "") not in served:
                raise Refused(403, "the Host header does not name this loopback server")
            origin = self.headers.get("Origin")
            if origin is not None and origin.removeprefix("http://") not in served:
                raise Refused(403, f"requests from the origin {origin[:80]!r} are not taken")
            given = self.headers.get("Authorization", "")
            if not (given.startswith("Bearer ") and hmac.compare_digest(given[7:].strip(), token)):
                raise Refused(401, f"a bearer token is needed: the one in {token_path}")
            version = self.headers.get("MCP-Protocol-Version")
            if version is not None and version not in MODERN + LEGACY:
                raise Refused(400, f"unsupported MCP-Protocol-Version {version[:40]!r}")

        def _body(self) -> bytes:
            kind = self.headers.get("Content-Type", "").split(";")[0].strip().lower()
            if kind != "application/json":
                raise Refused(415, "the body must be application/json")
            if self.headers.get("Transfer-Encoding"):
                raise Refused(411, "a Content-Length is needed")
            try:
                length = int(self.headers.get("Content-Length", ""))
            except ValueError:
                raise Refused(411, "a Content-Length is needed") from None
            if length > MAX_MESSAGE:
                raise Refused(413, f"a body over {MAX_MESSAGE} bytes is not taken")
            if length < 0:
                raise Refused(400, "a negative Content-Length")
            return self.rfile.read(length)

        def _stream_open(self, headers: dict[str, str] | None = None) -> EventStream:
            self.send_response(200)
            self.send_header("Content-Type", "text/event-stream")
            self.send_header("Cache-Control", "no-cache")
            for k, v in (headers or {}).items():
                self.send_header(k, v)
            self.end_headers()
            self.close_connection = True
            self.connection.settimeout(WRITE_TIMEOUT_S)
            return EventStream(self.wfile)

        def _legacy(self) -> LegacySession | None:
            sid = self.headers.get("Mcp-Session-Id")
            if sid is None:
                return None
            with legacy_lock:
                found = legacy.get(sid)
            if found is None:
                raise Refused(404, "no such session (it ended, or the server restarted): initialize again")
            found.last_used = time.monotonic()
            return found

        def do_POST(self) -> None:
            try:
                self._check()
                if self.path.split("?")[0] != "/mcp":
                    raise Refused(404, "the endpoint is /mcp")
                body = self._body()
                self._post(body)
            except Refused as e:
                self._refuse(e.status, str(e))
            except (OSError, ValueError):
                self.close_connection = True

        def _post(self, body: bytes) -> None:
            try:
                message = json.loads(body)
            except ValueError:
                self._send(400, error(None, -32700, "not JSON"))
                return
            if not isinstance(message, dict):
                self._send(400, error(None, -32600, "one JSON-RPC message a request: no batches"))
                return
            params: dict[str, Any] = message["params"] if isinstance(message.get("params"), dict) else {}
            meta: dict[str, Any] = params["_meta"] if isinstance(params.get("_meta"), dict) else {}
            modern = "io.modelcontextprotocol/protocolVersion" in meta
            header = self.headers.get("MCP-Protocol-Version")
            if modern and header is not None and header != meta["io.modelcontextprotocol/protocolVersion"]:
                self._send(400, error(message.get("id"), -32020, "the MCP-Protocol-Version header and the "
                                                                  "request's _meta disagree"))
                return
            if modern or message.get("method") == "server/discover":
                self._modern(message)
            else:
                self._older(message)

        def _modern(self, message: dict[str, Any]) -> None:
            if message.get("method") == "subscriptions/listen" and "id" in message:
                stream = self._stream_open()
                outbox = Outbox(stream.send, lambda e: stream.closed.set())
                connection = Connection(session, outbox, log)
                try:
                    connection.receive(json.dumps(message))
                    stream.hold()
                finally:
                    connection.close()
                    outbox.close()
                return
            got: list[dict[str, Any]] = []
            ready = threading.Event()

            def answer(m: dict[str, Any]) -> None:
                got.append(m)
                ready.set()

            direct = DirectOutbox(answer)
            connection = Connection(session, direct, log)
            try:
                connection.receive(json.dumps(message))
                if "id" not in message or message.get("method") is None:
                    self._send(202)
                    return
                if ready.wait(ANSWER_TIMEOUT_S):
                    self._send(200, got[0])
                else:
                    self._send(504, error(message["id"], -32603, "no answer in time"))
            finally:
                connection.close()

        def _older(self, message: dict[str, Any]) -> None:
            if message.get("method") == "initialize":
                with legacy_lock:
                    if len(legacy) >= MAX_LEGACY_SESSIONS:
                        # A client that never says DELETE must not lock the others out.
                        idle = [x for x in legacy.values() if x.stream is None]
                        if not idle:
                            raise Refused(503, f"{MAX_LEGACY_SESSIONS} sessions have open streams: end one first")
                        oldest = min(idle, key=lambda x: x.last_used)
                        del legacy[oldest.id]
                        oldest.close()
                    s = LegacySession(session, log)
                    legacy[s.id] = s
            else:
                found = self._legacy()
                if found is None:
                    raise Refused(400, "an Mcp-Session-Id header is needed (from initialize), or the current "
                                       "era's _meta")
                s = found
            if "id" not in message or message.get("method") is None:
                s.connection.receive(json.dumps(message))
                self._send(202, headers={"Mcp-Session-Id": s.id})
                return
            ready = threading.Event()
            s.answers[message["id"]] = ready
            s.connection.receive(json.dumps(message))
            if ready.wait(ANSWER_TIMEOUT_S):
                self._send(200, s.answered.pop(message["id"]), {"Mcp-Session-Id": s.id})
            else:
                s.answers.pop(message["id"], None)
                self._send(504, error(message["id"], -32603, "no answer in time"), {"Mcp-Session-Id": s.id})

        def do_GET(self) -> None:
            try:
                self._check()
                s = self._legacy()
                if s is None:
                    raise Refused(405, "GET opens an older-era session's stream: initialize first")
                stream = self._stream_open({"Mcp-Session-Id": s.id})
                with s.lock:
                    s.stream = stream
                stream.hold()
                with s.lock:
                    if s.stream is stream:
                        s.stream = None
            except Refused as e:
                self._refuse(e.status, str(e))

        def do_DELETE(self) -> None:
            try:
                self._check()
                s = self._legacy()
                if s is None:
                    raise Refused(400, "an Mcp-Session-Id header is needed")
                with legacy_lock:
                    legacy.pop(s.id, None)
                s.close()
                self._send(204)
            except Refused as e:
                self._refuse(e.status, str(e))

    open_connections = threading.BoundedSemaphore(MAX_CONNECTIONS)

    class Server(ThreadingHTTPServer):
        daemon_threads = True
        address_family = socket.AF_INET6 if ":" in host else socket.AF_INET

        def process_request(self, request: Any, client_address: Any) -> None:
            if not open_connections.acquire(blocking=False):
                self.shutdown_request(request)
                return
            super().process_request(request, client_address)

        def process_request_thread(self, request: Any, client_address: Any) -> None:
            try:
                super().process_request_thread(request, client_address)
            finally:
                open_connections.release()

    try:
        httpd = Server(("localhost" if host == "localhost" else host, port), Handler)
    except OSError as e:
        log(f"--http {where}: {e.strerror}")
        return 2
    bound = httpd.server_address[1]
    log(f"serving http://{'[' + host + ']' if ':' in host else host}:{bound}/mcp; the bearer token is in {token_path}")
    try:
        httpd.serve_forever(poll_interval=0.2)
    finally:
        httpd.server_close()
    return 0
