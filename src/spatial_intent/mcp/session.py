"""What the server knows of a session: its own timeline of the frames read, the events
read, and the answers the tools and resources give from them.

"Now" is the newest timestamp read (a frame's or an event's): the session's present on
the host's own clock, which the server does not have. Every time an answer gives is an
exact integer, its decimal text, and milliseconds relative to now."""

from __future__ import annotations

import json
import threading
from collections import deque
from collections.abc import Callable
from typing import Any

import _spatial as sp

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1

FRAME_URI = "spatial://frame/latest"
EVENTS_URI = "spatial://events/recent"
SESSION_URI = "spatial://session"

# Why a moment has no frame in force, as the context answer says it.
WHY = {
    "nothing_yet": "no frame has been read yet",
    "before_session": "the moment is before the first frame of the session",
    "no_longer_kept": "the moment is older than the frames the server keeps (raise --capacity)",
    "too_old": "the newest frame not later than the moment is older than the maximum age",
}


def ms_between(later_ns: int, earlier_ns: int) -> float:
    return (later_ns - earlier_ns) / 1e6


class Session:
    """Frames and events as they are read, and what the tools ask of them. Every method
    may be called from any thread; `changed(uris)` is called, outside the lock, with the
    resources whose content changed in a way that matters."""

    def __init__(self, capacity: int = 5400, max_context_age_ns: int = 2_000_000_000,
                 event_capacity: int = 4096) -> None:
        self.capacity = max(1, capacity)
        self.max_age_ns = max(0, max_context_age_ns)
        self.timeline = sp.IntentTimeline(self.capacity, self.max_age_ns)
        self.kept: deque[int] = deque(maxlen=self.capacity)  # the timeline's timestamps, mirrored
        self.dropped = False  # whether the history has lost frames to its capacity
        self.lock = threading.Condition()
        self.latest_line: str | None = None
        self.latest_key: tuple[Any, ...] | None = None
        self.events: deque[tuple[int, str, dict[str, Any]]] = deque(maxlen=max(1, event_capacity))
        self.event_count = 0  # events read so far; an event's sequence number is its count
        self.now_ns: int | None = None
        self.first_ns: int | None = None
        self.frames = 0
        self.restarts = 0  # a frame earlier than the one before restarted the history
        self.refused = 0
        self.files: list[str] = []
        self.listeners: list[Callable[[set[str]], None]] = []

    # Reading records.

    def add_line(self, where: str, line: bytes) -> str | None:
        """One line of a record file; the reason it was refused, or None."""
        try:
            record = sp.from_jsonl(line)
        except ValueError as e:
            with self.lock:
                self.refused += 1
            return str(e)
        if isinstance(record, sp.SpatialIntentFrame):
            self.add_frame(record)
        else:
            self.add_event(record)
        return None

    def _advance(self, t: int) -> None:
        if self.now_ns is None or t > self.now_ns:
            self.now_ns = t

    def add_frame(self, frame: sp.SpatialIntentFrame) -> None:
        line = sp.to_jsonl(frame)
        t = frame.timestamp_ns
        key = matters(frame)
        with self.lock:
            if self.kept and t < self.kept[-1]:
                self.kept.clear()
                self.dropped = False
                self.restarts += 1
                self.now_ns = None  # the clock went back: the session's present is this frame
            if len(self.kept) == self.capacity:
                self.dropped = True
            self.timeline.push(frame)
            self.kept.append(t)
            self.frames += 1
            if self.first_ns is None:
                self.first_ns = t
            self._advance(t)
            self.latest_line = line
            first = self.latest_key is None
            changed = key != self.latest_key
            self.latest_key = key
            self.lock.notify_all()
        if changed:
            self._tell({FRAME_URI, SESSION_URI} if first else {FRAME_URI})

    def add_event(self, event: sp.ContextualIntentEvent) -> None:
        line = sp.to_jsonl(event)
        with self.lock:
            self.event_count += 1
            self.events.append((self.event_count, line, json.loads(line)))
            self._advance(event.timestamp_ns)
            self.lock.notify_all()
        self._tell({EVENTS_URI, SESSION_URI})

    def listen(self, listener: Callable[[set[str]], None]) -> None:
        with self.lock:
            self.listeners.append(listener)

    def unlisten(self, listener: Callable[[set[str]], None]) -> None:
        with self.lock:
            if listener in self.listeners:
                self.listeners.remove(listener)

    def _tell(self, uris: set[str]) -> None:
        with self.lock:
            listeners = list(self.listeners)
        for listener in listeners:
            listener(uris)

    # Answers.

    def _times(self, name: str, t: int) -> dict[str, Any]:
        out: dict[str, Any] = {name: t, f"{name}_text": str(t)}
        if self.now_ns is not None:
            out[name.removesuffix("_ns") + "_ms_ago"] = ms_between(self.now_ns, t)
        return out

    def now_fields(self) -> dict[str, Any]:
        with self.lock:  # reentrant: the answers below call it holding the lock
            if self.now_ns is None:
                return {}
            return {"now_ns": self.now_ns, "now_ns_text": str(self.now_ns)}

    def resolve_moment(self, timestamp_ns: int | None, seconds_ago: float | None) -> int | None:
        """The moment asked for, on the host's clock; None when it is relative to a now
        that does not exist yet."""
        if timestamp_ns is not None:
            return timestamp_ns
        with self.lock:
            if self.now_ns is None:
                return None
            t = self.now_ns - round((seconds_ago or 0.0) * 1e9)
        return max(INT64_MIN, t)

    def context_at(self, t: int | None) -> dict[str, Any]:
        """The frame in force at `t` by the timeline's rule, its age, or why there is none."""
        with self.lock:
            out: dict[str, Any] = {"found": False, **self.now_fields(), "max_age_ns": self.max_age_ns}
            if t is not None:
                out.update(self._times("requested_ns", t))
            if t is None or not self.kept:
                out.update(why="nothing_yet", why_text=WHY["nothing_yet"])
                return out
            event = self.timeline.submit_text(".", t)
            if event is None:
                why = ("no_longer_kept" if self.dropped else "before_session") if t < self.kept[0] else "too_old"
                out.update(why=why, why_text=WHY[why])
                return out
            frame = event.spatial_context
        line = sp.to_jsonl(frame)
        out.update(found=True, age_ns=event.spatial_age_ns, age_ms=event.spatial_age_ns / 1e6,
                   **self._times("frame_timestamp_ns", frame.timestamp_ns), frame=json.loads(line), frame_line=line)
        return out

    def pointing_now(self) -> dict[str, Any]:
        """What the newest frame says the user points at and looks at."""
        with self.lock:
            line = self.latest_line
            out: dict[str, Any] = {"found": line is not None, **self.now_fields()}
        if line is None:
            out.update(why="nothing_yet", why_text=WHY["nothing_yet"])
            return out
        frame = json.loads(line)
        out.update(self._times("frame_timestamp_ns", frame["timestamp_ns"]))
        pointing, target, gaze = frame.get("pointing"), frame.get("target"), frame.get("gaze")
        out["pointing"] = pointing is not None
        if pointing is not None:
            out.update(source=pointing["source"], confidence=pointing["confidence"],
                       ray={"origin": pointing["origin"], "direction": pointing["direction"]})
        if target is not None:
            out["target"] = target
            out["target_host_id"] = target.get("host_id", "")
        out["gaze_tracked"] = gaze is not None
        if gaze is not None:
            out["gaze"] = gaze
            # The record grounds one ray: the eyes' target is known when the eyes point.
            if pointing is not None and pointing["source"] == "eye_gaze" and target is not None:
                out["gaze_target_host_id"] = target.get("host_id", "")
        select = frame.get("primary_select")
        if select is not None:
            out["select_pressed"] = select["pressed"]
        out["head_tracking"] = frame["head_tracking"]
        out["frame_line"] = line
        return out

    def _event_entry(self, seq: int, line: str, record: dict[str, Any]) -> dict[str, Any]:
        entry = {"sequence": seq, "text": record["text"], **self._times("timestamp_ns", record["timestamp_ns"]),
                 "spatial_age_ns": record["spatial_age_ns"], "spatial_age_ms": record["spatial_age_ns"] / 1e6}
        target = record["spatial_context"].get("target")
        pointing = record["spatial_context"].get("pointing")
        entry["target_host_id"] = target.get("host_id", "") if target is not None else ""
        entry["source"] = pointing["source"] if pointing is not None else "none"
        entry["event"] = record
        entry["event_line"] = line
        return entry

    def events_since(self, seconds: float, limit: int, after: int) -> dict[str, Any]:
        """Events of the last `seconds` (oldest first), at most `limit` of those after the
        sequence number `after`; `next_cursor` when more are left."""
        with self.lock:
            out: dict[str, Any] = {**self.now_fields()}
            if self.now_ns is None:
                out.update(events=[], total=0)
                return out
            since = self.now_ns - round(seconds * 1e9)
            chosen = [e for e in self.events if e[0] > after and e[2]["timestamp_ns"] >= since]
            page = chosen[:limit]
            out["events"] = [self._event_entry(*e) for e in page]
            out["total"] = len(chosen)
            if len(chosen) > limit:
                out["next_cursor"] = str(page[-1][0])
        return out

    def event_after(self, seq: int) -> dict[str, Any] | None:
        with self.lock:
            for e in self.events:
                if e[0] > seq:
                    return {**self.now_fields(), "timed_out": False, **self._event_entry(*e)}
        return None

    def last_sequence(self) -> int:
        with self.lock:
            return self.event_count

    def summary(self) -> dict[str, Any]:
        with self.lock:
            return {**self.now_fields(), "files": list(self.files), "frames": self.frames, "events": self.event_count,
                    "refused": self.refused, "kept_frames": len(self.kept), "capacity": self.capacity,
                    "max_age_ns": self.max_age_ns, "clock_restarts": self.restarts,
                    **({"first_ns": self.first_ns, "first_ns_text": str(self.first_ns)}
                       if self.first_ns is not None else {})}

    def latest_frame_line(self) -> str | None:
        with self.lock:
            return self.latest_line

    def recent_event_lines(self, n: int = 50) -> list[str]:
        with self.lock:
            return [e[1] for e in list(self.events)[-n:]]


def matters(frame: sp.SpatialIntentFrame) -> tuple[Any, ...]:
    """What a change of, and only a change of, makes the latest frame worth telling a
    subscriber about: the target, the select, what points, what is tracked."""
    target, pointing, select = frame.target, frame.pointing, frame.primary_select
    rs = frame.reference_space
    return (target is not None, target.host_id if target is not None else None,
            select.pressed if select is not None else None,
            (pointing.source.value, pointing.confidence.value) if pointing is not None else None,
            frame.head_tracking.value, frame.left_hand_pose is not None, frame.right_hand_pose is not None,
            frame.gaze_ray is not None, rs.id, rs.generation)
