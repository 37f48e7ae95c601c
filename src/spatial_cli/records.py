"""Reading record files a line at a time: any size, standard input as `-`, and progress
on a terminal."""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Iterator
from typing import BinaryIO

import _spatial as sp


class InputError(Exception):
    """A file that cannot be read: one line for the user."""


def open_input(name: str) -> BinaryIO:
    if name == "-":
        return sys.stdin.buffer
    try:
        return open(name, "rb")
    except OSError as e:
        raise InputError(f"{name}: {e.strerror}") from e


class Progress:
    """Bytes and records per second on standard error, when it is a terminal; nothing on
    a pipe or in a log."""

    def __init__(self, label: str) -> None:
        self.on = sys.stderr.isatty()
        self.label, self.bytes, self.records = label, 0, 0
        self.start = self.shown = time.monotonic()

    def add(self, size: int) -> None:
        self.bytes += size
        self.records += 1
        if self.on and self.records % 4096 == 0:
            now = time.monotonic()
            if now - self.shown >= 0.5:
                self.shown = now
                rate = now - self.start
                sys.stderr.write(f"\r{self.label}: {self.bytes / 1e6:,.0f} MB, {self.records:,} records "
                                 f"({self.bytes / 1e6 / rate:,.0f} MB/s, {self.records / rate:,.0f} records/s)")
                sys.stderr.flush()

    def done(self) -> None:
        if self.on and self.shown != self.start:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()


def lines(name: str) -> Iterator[tuple[int, bytes]]:
    """(line number, line) for every line of a file or of standard input."""
    stream = open_input(name)
    try:
        yield from enumerate(stream, 1)
    except OSError as e:
        raise InputError(f"{name}: {e.strerror}") from e
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()


def records(name: str, refused=None) -> Iterator[sp.SpatialIntentFrame | sp.ContextualIntentEvent]:
    """Every record of a file, in order; a line that is not one goes to `refused(number,
    message)` (by default: reported on standard error as FILE:LINE: message)."""
    progress = Progress(os.path.basename(name) if name != "-" else "stdin")
    report = refused or (lambda number, message: print(f"{name}:{number}: {message}", file=sys.stderr))
    try:
        for number, line in lines(name):
            progress.add(len(line))
            try:
                yield sp.from_jsonl(line)
            except ValueError as e:
                report(number, str(e))
    finally:
        progress.done()
