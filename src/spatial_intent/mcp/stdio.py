"""The stdio transport: one JSON-RPC message a line on standard input, the answers and
notifications one a line on standard output, what the server has to say on standard
error. End of input ends the server (status 0)."""

from __future__ import annotations

import json
import os
import signal
import sys
from collections.abc import Callable
from typing import Any, BinaryIO

from .protocol import INVALID_REQUEST, MAX_MESSAGE, Connection, Outbox, error
from .session import Session


def encode(message: dict[str, Any]) -> bytes:
    return json.dumps(message, ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode() + b"\n"


def serve(session: Session, log: Callable[[str], None], stdin: BinaryIO | None = None,
          stdout: BinaryIO | None = None) -> int:
    source = stdin or sys.stdin.buffer
    sink = stdout or sys.stdout.buffer

    def write(message: dict[str, Any]) -> None:
        sink.write(encode(message))
        sink.flush()

    def gone(e: BaseException) -> None:
        log(f"standard output is closed ({type(e).__name__}); stopping")
        os.kill(os.getpid(), signal.SIGTERM)

    outbox = Outbox(write, gone)
    connection = Connection(session, outbox, log)
    try:
        while True:
            outbox.room()
            line = source.readline(MAX_MESSAGE + 1)
            if not line:
                break
            if len(line) > MAX_MESSAGE and not line.endswith(b"\n"):
                while (rest := source.readline(MAX_MESSAGE + 1)) and not rest.endswith(b"\n"):
                    pass
                outbox.put(error(None, INVALID_REQUEST, f"a message over {MAX_MESSAGE} bytes, refused unread"))
                continue
            if line.strip():
                connection.receive(line)
    finally:
        connection.close()
        outbox.drain(2.0)
        outbox.close()
    return 0
