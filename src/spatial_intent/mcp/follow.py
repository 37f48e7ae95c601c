"""Record files followed while a host writes them: new whole lines as they come, a file
truncated or replaced read again from its start, a half-written last line kept until its
line break arrives."""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass, field

# A line longer than this is no record of ours: it is skipped, up to its line break.
MAX_LINE = 1 << 20
# What one poll reads of a file at most: a long recording is read in pieces, never whole.
READ_CHUNK = 1 << 20


@dataclass
class Followed:
    """One file and how far it has been read."""

    path: str
    offset: int = 0
    identity: tuple[int, int] | None = None  # (device, inode) of the file read
    line_number: int = 0
    partial: bytearray = field(default_factory=bytearray)
    skipping: bool = False  # inside a line over MAX_LINE
    missing: bool = False  # said once; said again only after it came back
    fd: int | None = None  # kept open between polls; reopened when the file is replaced


class Follower:
    """Reads every followed file's new whole lines into `line(path, number, bytes)`.
    `warn(message)` hears, once each, of a file that went away, came back, was truncated
    or replaced, or holds an over-long line."""

    def __init__(self, paths: list[str], line: Callable[[str, int, bytes], None],
                 warn: Callable[[str], None]) -> None:
        self.files = [Followed(p) for p in paths]
        self.line = line
        self.warn = warn

    def poll(self) -> bool:
        """Reads what each file gained since the last poll; True when anything was read."""
        grew = False
        for f in self.files:
            grew |= self._poll(f)
        return grew

    def close(self) -> None:
        for f in self.files:
            self._close(f)

    @staticmethod
    def _close(f: Followed) -> None:
        if f.fd is not None:
            os.close(f.fd)
            f.fd = None

    def _restart(self, f: Followed, why: str) -> None:
        self.warn(f"{f.path}: {why}; reading it again from its start")
        self._close(f)
        f.offset, f.line_number, f.skipping = 0, 0, False
        f.partial.clear()

    def _poll(self, f: Followed) -> bool:
        try:
            st = os.stat(f.path)
        except OSError as e:
            if not f.missing:
                f.missing = True
                self.warn(f"{f.path}: {e.strerror}; serving what was read, and watching for it")
            self._close(f)
            return False
        identity = (st.st_dev, st.st_ino)
        if f.missing:
            f.missing = False
            if f.identity is not None:
                self._restart(f, "it is back")
        elif f.identity is not None and identity != f.identity:
            self._restart(f, "it was replaced")
        elif st.st_size < f.offset:
            self._restart(f, "it was truncated")
        f.identity = identity
        if st.st_size == f.offset:
            return False
        try:
            if f.fd is None:
                f.fd = os.open(f.path, os.O_RDONLY | os.O_CLOEXEC)
                if os.fstat(f.fd).st_ino != st.st_ino:  # replaced between the stat and the open
                    self._close(f)
                    return False
            chunk = os.pread(f.fd, min(READ_CHUNK, st.st_size - f.offset), f.offset)
        except OSError as e:
            self.warn(f"{f.path}: {e.strerror}")
            self._close(f)
            return False
        f.offset += len(chunk)
        self._split(f, chunk)
        return bool(chunk)

    def _split(self, f: Followed, chunk: bytes) -> None:
        start = 0
        while True:
            end = chunk.find(b"\n", start)
            if end < 0:
                if not f.skipping:
                    f.partial += chunk[start:]
                    if len(f.partial) > MAX_LINE:
                        f.skipping = True
                        f.partial.clear()
                return
            f.line_number += 1
            if f.skipping:
                f.skipping = False
                self.warn(f"{f.path}:{f.line_number}: a line over {MAX_LINE} bytes, skipped")
            else:
                f.partial += chunk[start:end]
                if len(f.partial) > MAX_LINE:
                    self.warn(f"{f.path}:{f.line_number}: a line over {MAX_LINE} bytes, skipped")
                else:
                    self.line(f.path, f.line_number, bytes(f.partial))
                f.partial.clear()
            start = end + 1
