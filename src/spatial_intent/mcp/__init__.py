"""spatial mcp: a session's records served to agents over the Model Context Protocol.

The server follows the frame and event files a host writes (or a recorded session),
keeps its own IntentTimeline of the frames, and answers with the host's pairing rule:
the context at any moment, what the user points and looks at now, the events of the
last seconds, the next event. Over standard input and output by default; over
Streamable HTTP on loopback with --http."""

from __future__ import annotations

import os
import signal
import sys
import threading
import time
from collections.abc import Callable

from .follow import Followed, Follower
from .session import Session

POLL_S = 0.002  # how often the files are looked at: well inside one display frame
CATCH_UP_S = 30.0  # the longest the first answers wait for the files to be read
RESCAN_S = 0.5  # how often a followed folder is looked at for new files


def printable(message: str) -> str:
    """A message with every control character escaped: what the records hold never
    becomes a second log line or a terminal's command."""
    return "".join(c if c.isprintable() or c == " " else repr(c)[1:-1] for c in message)


def make_log(prog: str = "spatial mcp") -> Callable[[str], None]:
    lock = threading.Lock()

    def log(message: str) -> None:
        with lock:
            try:
                print(f"{prog}: {printable(message)}", file=sys.stderr, flush=True)
            except (OSError, ValueError):
                pass

    return log


class Feeder:
    """A thread that follows the files (and folders) named and feeds the session."""

    def __init__(self, session: Session, names: list[str], log: Callable[[str], None], follow: bool = True) -> None:
        self.session, self.log, self.follow_on = session, log, follow
        self.folders = [n for n in names if os.path.isdir(n)]
        files = [n for n in names if n not in self.folders]
        self.follower = Follower(files, self._line, log)
        self.session.files = list(files)
        self._rescan()
        self.stop = threading.Event()
        self.caught_up = threading.Event()
        self.thread = threading.Thread(target=self._run, name="mcp-follow", daemon=True)

    def start(self) -> None:
        self.thread.start()

    def _rescan(self) -> None:
        known = {f.path for f in self.follower.files}
        for folder in self.folders:
            try:
                names = sorted(e.path for e in os.scandir(folder) if e.name.endswith(".jsonl") and e.is_file())
            except OSError as e:
                self.log(f"{folder}: {e.strerror}")
                continue
            for path in names:
                if path not in known:
                    self.follower.files.append(Followed(path))
                    self.session.files.append(path)

    def _line(self, path: str, number: int, line: bytes) -> None:
        if not line.strip():
            return
        why = self.session.add_line(path, line)
        if why is not None:
            self.log(f"{path}:{number}: {why}; the line is skipped")

    def _run(self) -> None:
        try:
            self._follow()
        finally:
            self.follower.close()

    def _follow(self) -> None:
        rescanned = time.monotonic()
        while not self.stop.is_set():
            try:
                grew = self.follower.poll()
            except Exception as e:  # a fault of ours: said, and the server goes on serving
                self.log(f"reading the records: {type(e).__name__}: {e}")
                grew = False
            if not grew:
                self.caught_up.set()
                if not self.follow_on:
                    return
                if self.folders and time.monotonic() - rescanned > RESCAN_S:
                    self._rescan()
                    rescanned = time.monotonic()
                self.stop.wait(POLL_S)


# Once a signal says stop, the process ends within this long, whatever a thread is doing.
EXIT_GRACE_S = 5.0


class Stop(BaseException):
    """SIGTERM or SIGINT: the client (or an administrator) ends the server, or the client
    went away (`client_gone`). `status` is the exit status. Not an Exception: raised by a
    signal wherever the main thread is, it must not be taken for an error there (the
    HTTP server logs and swallows a handler's Exception, and serves on)."""

    def __init__(self, status: int) -> None:
        super().__init__(status)
        self.status = status


def run(names: list[str], capacity: int, max_age_ns: int, http: str | None, token_file: str | None,
        follow: bool = True) -> int:
    log = make_log()
    session = Session(capacity, max_age_ns)
    feeder = Feeder(session, names, log, follow)

    client_gone = threading.Event()  # standard output closed under the server: status 1

    def stop(signum: int, frame: object) -> None:
        status = 130 if signum == signal.SIGINT else 1 if client_gone.is_set() else 0
        # The way out below drains and closes what it can; should anything hold it up, the
        # process still ends.
        watchdog = threading.Timer(EXIT_GRACE_S, os._exit, (status,))
        watchdog.daemon = True
        watchdog.start()
        raise Stop(status)

    signal.signal(signal.SIGTERM, stop)
    if signal.getsignal(signal.SIGINT) is signal.default_int_handler:  # not when started with Ctrl-C ignored
        signal.signal(signal.SIGINT, stop)
    feeder.start()
    try:
        # Answers start from the session as the files hold it, not from whatever was read first.
        deadline = time.monotonic() + CATCH_UP_S
        while not feeder.caught_up.wait(0.2) and time.monotonic() < deadline:  # signals are acted on meanwhile
            pass
        if not feeder.caught_up.is_set():
            log(f"still reading the records after {CATCH_UP_S:g} s; answering from what was read so far")
        if http is not None:
            from . import http as transport
            return transport.serve(session, http, token_file, log)
        from . import stdio
        return stdio.serve(session, log, client_gone)
    except Stop as e:
        if e.status == 130:
            log("interrupted")
        return e.status
    except KeyboardInterrupt:
        log("interrupted")
        return 130
    finally:
        feeder.stop.set()
