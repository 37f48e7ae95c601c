"""The stdio transport: one JSON-RPC message a line on standard input, the answers and
notifications one a line on standard output, what the server has to say on standard
error. End of input ends the server (status 0)."""

from __future__ import annotations

import json
import os
import signal
import sys
import threading
from collections.abc import Callable
from typing import Any

from .protocol import INVALID_REQUEST, MAX_MESSAGE, Connection, Outbox, error
from .session import Session


def encode(message: dict[str, Any]) -> bytes:
    return json.dumps(message, ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode() + b"\n"


def serve(session: Session, log: Callable[[str], None], client_gone: threading.Event) -> int:
    """Serves until end of input (0). When standard output breaks under a write, the
    client went away without closing our input: `client_gone` is set and SIGTERM ends
    the read, for status 1."""
    source, sink = sys.stdin.buffer, sys.stdout.buffer

    def write(message: dict[str, Any]) -> None:
        sink.write(encode(message))
        sink.flush()

    def gone(e: BaseException) -> None:
        log(f"the client closed standard output ({type(e).__name__}); stopping")
        client_gone.set()
        os.kill(os.getpid(), signal.SIGTERM)

    outbox = Outbox(write, gone)
    connection = Connection(session, outbox, log)

    def read() -> None:
        while True:
            outbox.room()
            line = source.readline(MAX_MESSAGE + 1)
            if not line:
                return
            if len(line) > MAX_MESSAGE and not line.endswith(b"\n"):
                while (rest := source.readline(MAX_MESSAGE + 1)) and not rest.endswith(b"\n"):
                    pass
                outbox.put(error(None, INVALID_REQUEST, f"a message over {MAX_MESSAGE} bytes, refused unread"))
                continue
            if line.strip():
                connection.receive(line)

    # The input is read on a thread of its own: a signal that arrives just before a blocking
    # read enters the kernel would wait for the next line, were the main thread the reader.
    # The main thread wakes five times a second, so SIGTERM and Ctrl-C are acted on at once.
    reader = threading.Thread(target=read, name="mcp-stdin", daemon=True)
    reader.start()
    try:
        while reader.is_alive():
            reader.join(0.2)
    finally:
        connection.close()
        outbox.drain(2.0)
        outbox.close()
    return 0
