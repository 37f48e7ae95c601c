"""Reading record files a line at a time: any size, standard input as `-`, and progress
on a terminal that never shares a line with a diagnostic."""

from __future__ import annotations

import contextlib
import math
import os
import sys
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import BinaryIO

import _spatial as sp


class InputError(Exception):
    """A file that cannot be read, or input that cannot be used: one line for the user."""


@dataclass(frozen=True)
class Utterance:
    seconds: float  # after the first frame
    text: str
    where: str  # where it was given, for a message: "--say", "said.tsv:3"

    @staticmethod
    def seconds_from(text: str) -> float:
        """A time in seconds, finite; ValueError says what is wrong with it."""
        try:
            value = float(text)
        except ValueError:
            raise ValueError(f"the time {text!r} is not a number of seconds") from None
        if not math.isfinite(value):
            raise ValueError(f"the time {text!r} is not a finite number of seconds")
        if abs(value) >= 2**63 / 1e9:
            raise ValueError(f"the time {text!r} is beyond the 64-bit nanosecond clock ({2**63 / 1e9:.4g} s)")
        return value


class Progress:
    """Bytes and records per second on standard error, when it is a terminal; nothing on
    a pipe or in a log. `diagnose` clears the line before anything else is written."""

    shown_now: Progress | None = None

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
                Progress.shown_now = self

    @staticmethod
    def show(text: str) -> None:
        """A line of progress of another kind, on a terminal only; `clear` takes it away."""
        if sys.stderr.isatty():
            sys.stderr.write(f"\r\033[K{text}")
            sys.stderr.flush()
            Progress.shown_now = Progress(text)

    @staticmethod
    def clear() -> None:
        if Progress.shown_now is not None:
            Progress.shown_now = None
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()


def diagnose(message: str) -> None:
    """One line on standard error, on a line of its own."""
    Progress.clear()
    print(message, file=sys.stderr, flush=True)


@contextlib.contextmanager
def opened(name: str) -> Iterator[BinaryIO]:
    """A file, or standard input for `-`, which is left open for the rest of the process."""
    if name == "-":
        yield sys.stdin.buffer
        return
    try:
        stream = open(name, "rb")
    except OSError as e:
        raise InputError(f"{name}: {e.strerror}") from e
    with stream:
        yield stream


def lines(name: str) -> Iterator[tuple[int, bytes]]:
    """(line number, line) for every line of a file or of standard input."""
    with opened(name) as stream:
        try:
            yield from enumerate(stream, 1)
        except OSError as e:
            raise InputError(f"{name}: {e.strerror}") from e


def records(name: str, refused: Callable[[int, str], None] | None = None
            ) -> Iterator[sp.SpatialIntentFrame | sp.ContextualIntentEvent]:
    """Every record of a file, in order; a line that is not one goes to `refused(number,
    message)` (by default: reported on standard error as FILE:LINE: message)."""
    progress = Progress(os.path.basename(name) if name != "-" else "stdin")
    report = refused or (lambda number, message: diagnose(f"{name}:{number}: {message}"))
    try:
        for number, line in lines(name):
            progress.add(len(line))
            try:
                yield sp.from_jsonl(line)
            except ValueError as e:
                report(number, str(e))
    finally:
        Progress.clear()
