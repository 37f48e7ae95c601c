"""A host on an OpenXR runtime: every 1/90 s it reads the head, both controllers' aim
and select and both hands' joints, chooses what points and what selects
(spatial_intent.pointing), builds a SpatialIntentFrame, grounds it against the host
loop's panels, keeps it in an IntentTimeline and streams it as JSON Lines; utterances
(from the script, or one a line from standard input) are paired at their own time.
With --speak, the scripted user speaks instead: its commands, synthesised, reach a
speech recogniser in real time, and each recognised deictic word is paired with the
frame in force when it was spoken.

    cd examples && python3 -m openxr.host --seconds S [--start-ns NS] [--phases P,...]
        [--script | --stdin | --speak]
        [--stage] [--frames FILE|-] [--events FILE] [--session FILE] [--summary FILE] [--runtime-log FILE]

With --frames -, the frames go to standard output, for a process at the other end of a
pipe (openxr/consumer.py); --session writes frames and events together, in the order they
were written. Exits 0 after S seconds; on any runtime fault it prints one line and exits
1, on Ctrl-C one line and 130 (on SIGTERM, 143), every frame written so far a whole line.
SIGUSR1 says that the stream feeding the runtime stopped, which the runtime cannot tell:
one line and 1. A recogniser that stops costs one line: the frames go on, and the exit
status is 1."""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import json
import os
import queue
import signal
import sys
import threading
import time
from ctypes import byref

import _spatial as sp
from host_loop import raycast  # the same panel scene as make demo
from openxr import xr
from openxr.reader import IntentReader
from shared import script
from shared.listening import Listener
from spatial_intent import nanoseconds, speech

FRAME_NS = 1_000_000_000 // 90


class Stop(Exception):
    """The runtime ended the session or went away: the reason, in one line."""


class Terminated(Exception):
    """SIGTERM: the run ends as on Ctrl-C, every process it started ended."""


def terminate(signum: int, frame: object) -> None:
    raise Terminated


def stream_stopped(signum: int, frame: object) -> None:
    raise Stop("the user's tracking stream to the runtime stopped (the runtime holds its last state)")


class Runtime:
    """The instance and a headless session, the engine this host is, with the reader
    of its intent; a context manager that ends and releases them. A setup that fails
    halfway releases what it made."""

    def __init__(self, stage: bool = False, hands: bool = True):
        try:
            available = xr.extension_names()
        except xr.XrError as e:
            raise Stop(f"no OpenXR runtime answered ({e}): start one, e.g. monado-service "
                       f"(make demo-openxr starts it)") from e
        # A session of its own with no graphics: a runtime's headless extension. A host
        # with an engine of its own makes its session and reads it with openxr/reader.py.
        wanted = [xr.MND_HEADLESS_EXTENSION_NAME, *IntentReader.extensions(available, hands)]
        missing = [name for name in wanted[:2] if name not in available]
        if missing:
            raise Stop(f"the OpenXR runtime lacks {', '.join(missing)} (this host makes a headless session; an "
                       f"engine of your own reads its session with openxr/reader.py)")
        try:
            self.instance = xr.Instance("spatial-openxr-host", wanted)
        except xr.XrError as e:
            raise Stop(f"no OpenXR runtime is running ({e}): start monado-service "
                       f"(make demo-openxr starts it)") from e
        self.running = False
        try:
            self._set_up(stage)
        except BaseException:
            self.instance.destroy()  # and with it every handle made from it
            raise

    def __enter__(self) -> "Runtime":
        return self

    def __exit__(self, *exc: object) -> None:
        self.release()

    def release(self) -> None:
        """close(), on every way out: the runtime may already be gone."""
        try:
            self.close()
        except xr.XrError:
            pass

    def _set_up(self, stage: bool) -> None:
        inst = self.instance.handle
        system = ctypes.c_uint64()
        xr.call("xrGetSystem", inst, byref(xr.SystemGetInfo(formFactor=xr.FORM_FACTOR_HEAD_MOUNTED_DISPLAY)),
                byref(system))
        self.reader = IntentReader(self.instance, system.value)
        self.reader.suggest()
        # A headless session: no graphics binding.
        self.session = xr.Handle()
        xr.call("xrCreateSession", inst, byref(xr.SessionCreateInfo(systemId=system)), byref(self.session))
        sets = (xr.Handle * 1)(self.reader.action_set)
        xr.call("xrAttachSessionActionSets", self.session,
                byref(xr.SessionActionSetsAttachInfo(countActionSets=1, actionSets=sets)))
        self.base_type = xr.REFERENCE_SPACE_TYPE_STAGE if stage and self._has_stage() else xr.REFERENCE_SPACE_TYPE_LOCAL
        self.base = self._reference_space(self.base_type)
        self.reader.attach(self.session, self.base, self.base_type == xr.REFERENCE_SPACE_TYPE_STAGE)
        self.active_sets = (xr.ActiveActionSet * 1)(self.reader.active_set)
        self.state = xr.SESSION_STATE_IDLE
        self.states_seen = ["IDLE"]
        self.generation = 1
        self.space_changes: list[int] = []  # CLOCK_MONOTONIC ns of the base space's pending changes

    def _has_stage(self) -> bool:
        count = ctypes.c_uint32()
        xr.call("xrEnumerateReferenceSpaces", self.session, 0, byref(count), None)
        types = (ctypes.c_int32 * count.value)()
        xr.call("xrEnumerateReferenceSpaces", self.session, count, byref(count), types)
        return xr.REFERENCE_SPACE_TYPE_STAGE in list(types)

    def _reference_space(self, kind: int) -> xr.Handle:
        space = xr.Handle()
        xr.call("xrCreateReferenceSpace", self.session,
                byref(xr.ReferenceSpaceCreateInfo(referenceSpaceType=kind, poseInReferenceSpace=xr.IDENTITY)),
                byref(space))
        return space

    def poll(self) -> None:
        """Handles every pending event; raises Stop when the runtime ends the session."""
        while True:
            event = xr.EventDataBuffer()
            if xr.call("xrPollEvent", self.instance.handle, byref(event)) == xr.EVENT_UNAVAILABLE:
                return
            if event.type == xr.TYPE_EVENT_DATA_INSTANCE_LOSS_PENDING:
                raise Stop("the runtime is going away (instance loss pending)")
            if event.type == xr.TYPE_EVENT_DATA_REFERENCE_SPACE_CHANGE_PENDING:
                changed = ctypes.cast(byref(event), ctypes.POINTER(xr.EventDataReferenceSpaceChangePending)).contents
                if changed.referenceSpaceType == self.base_type:
                    # The space changes at the runtime's change time, which may lie after
                    # the poll: frames from that instant on carry the new generation.
                    self.space_changes.append(self.instance.xr_to_monotonic(changed.changeTime))
                    self.space_changes.sort()
            if event.type == xr.TYPE_EVENT_DATA_INTERACTION_PROFILE_CHANGED:
                self.reader.interaction_profile_changed()
            if event.type == xr.TYPE_EVENT_DATA_SESSION_STATE_CHANGED:
                changed = ctypes.cast(byref(event), ctypes.POINTER(xr.EventDataSessionStateChanged)).contents
                self.state = changed.state
                self.states_seen.append(xr.SESSION_STATE_NAMES[self.state])
                if self.state == xr.SESSION_STATE_READY:
                    xr.call("xrBeginSession", self.session,
                            byref(xr.SessionBeginInfo(
                                primaryViewConfigurationType=xr.VIEW_CONFIGURATION_TYPE_PRIMARY_STEREO)))
                    self.running = True
                elif self.state == xr.SESSION_STATE_STOPPING:
                    xr.call("xrEndSession", self.session)
                    self.running = False
                    raise Stop("the runtime asked the session to stop")
                elif self.state in (xr.SESSION_STATE_LOSS_PENDING, xr.SESSION_STATE_EXITING):
                    raise Stop(f"the runtime ended the session ({xr.SESSION_STATE_NAMES[self.state]})")

    def close(self) -> None:
        """Ends what was begun; the runtime may be gone, so results are not checked."""
        if self.running:
            xr.end_session(self.session)
            self.running = False
        self.instance.destroy()

    def frame(self) -> sp.SpatialIntentFrame:
        """The user's intent now: located at this instant on the monotonic clock."""
        xr.call("xrSyncActions", self.session, byref(xr.ActionsSyncInfo(countActiveActionSets=1,
                                                                          activeActionSets=self.active_sets)))
        now_ns, now = self.instance.now()
        while self.space_changes and self.space_changes[0] <= now_ns:
            self.space_changes.pop(0)
            self.generation += 1
        return self.reader.frame(now_ns, now, self.generation)


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else float("nan")


def stdin_utterances(out: queue.Queue) -> None:
    for line in sys.stdin:
        if line.strip():
            out.put((time.monotonic_ns(), line.strip()))


def quiet_runtime_library(log_path: str) -> None:
    """The runtime's client library logs to file descriptor 2 on its own; that goes to
    a log file, and this program's own messages keep the original standard error."""
    own = os.dup(2)
    with open(log_path, "w") as log:
        os.dup2(log.fileno(), 2)
    sys.stderr = os.fdopen(own, "w", buffering=1)


def run(args: argparse.Namespace) -> int:
    signal.signal(signal.SIGTERM, terminate)
    signal.signal(signal.SIGUSR1, stream_stopped)
    start_ns = args.start_ns or time.monotonic_ns()
    s = script.Script(args.seconds, tuple(args.phases.split(",")))
    pending = [(start_ns + nanoseconds(t), text) for t, text, _ in s.utterances()] if args.script else []
    heard: queue.Queue = queue.Queue()
    if args.stdin:
        threading.Thread(target=stdin_utterances, args=(heard,), daemon=True).start()
    os.makedirs(os.path.dirname(os.path.abspath(args.events)), exist_ok=True)
    listener = None
    if args.speak:
        try:
            listener = Listener(s, os.path.splitext(args.events)[0] + ".gram", "openxr host").start(start_ns)
        except speech.SpeechError as e:
            print(f"openxr host: {e}", file=sys.stderr)
            return 1
        except (KeyboardInterrupt, Terminated) as e:  # while the voice is synthesised: nothing started yet
            interrupted = isinstance(e, KeyboardInterrupt)
            print(f"openxr host: {'interrupted' if interrupted else 'terminated'}; 0 frames written", file=sys.stderr)
            return 130 if interrupted else 143
    capacity = listener.history_frames() if listener is not None else 240
    timeline = sp.IntentTimeline(capacity=capacity, max_context_age_ns=200_000_000)
    summary: dict = {"frames": 0, "tracking": {}, "select_edges": [], "events": [], "work_ms": {},
                     "history_frames": capacity}
    work: list[float] = []
    status, runtime = 0, None
    piped = args.frames == "-"
    quiet_runtime_library(args.runtime_log or os.path.splitext(args.events)[0] + "-runtime.log")
    written: list[list[int]] = []  # [timestamp_ns, written at (monotonic ns)] of piped frames
    with (os.fdopen(os.dup(1), "w", encoding="utf-8", buffering=1) if piped
          else open(args.frames, "w", encoding="utf-8", buffering=1)) as frames, \
            open(args.events, "w", encoding="utf-8", buffering=1) as events, \
            (open(args.session, "w", encoding="utf-8", buffering=1) if args.session
             else contextlib.nullcontext()) as session:
        try:
            runtime = Runtime(stage=args.stage, hands=args.hands)
            summary["runtime_ready_ns"] = time.monotonic_ns()
            end_ns = start_ns + nanoseconds(args.seconds)
            tick = time.monotonic_ns()
            pressed = None
            while True:
                runtime.poll()
                if time.monotonic_ns() >= end_ns:
                    break
                if runtime.running:
                    began = time.perf_counter_ns()
                    frame = sp.resolve_target(runtime.frame(), raycast)
                    timeline.push(frame)
                    line = sp.to_jsonl(frame) + "\n"
                    frames.write(line)
                    if session is not None:
                        session.write(line)
                    work.append((time.perf_counter_ns() - began) / 1e6)
                    if piped:
                        written.append([frame.timestamp_ns, time.monotonic_ns()])
                    if summary["frames"] == 0:
                        summary["first_frame_ns"] = frame.timestamp_ns
                    summary["frames"] += 1
                    name = frame.head_tracking.name
                    summary["tracking"][name] = summary["tracking"].get(name, 0) + 1
                    sel = frame.primary_select
                    if sel is not None and pressed is not None and sel.pressed != pressed:
                        summary["select_edges"].append([frame.timestamp_ns, sel.pressed, sel.last_change_time_ns])
                    pressed = sel.pressed if sel is not None else pressed
                    said = []
                    while pending and pending[0][0] <= frame.timestamp_ns:
                        said.append(pending.pop(0))
                    while not heard.empty():
                        said.append(heard.get())
                    for at, text in said:
                        event = timeline.submit_text(text, at)
                        target = event.spatial_context.target if event is not None else None
                        if event is not None:
                            events.write(sp.to_jsonl(event) + "\n")
                        summary["events"].append({"text": text, "at_ns": at, "paired": event is not None,
                                                  "host_id": target.host_id if target is not None else None})
                    if listener is not None:
                        listener.heard(timeline, events, session)
                tick += FRAME_NS
                time.sleep(max(0.0, (tick - time.monotonic_ns()) / 1e9))
            if listener is not None:
                listener.finish(timeline, events, session)
        except (Stop, xr.XrError) as e:
            print(f"openxr host: {e}", file=sys.stderr)
            status = 1
        except (KeyboardInterrupt, Terminated, BrokenPipeError) as e:
            why, status = ("interrupted", 130) if isinstance(e, KeyboardInterrupt) else \
                ("terminated", 143) if isinstance(e, Terminated) else ("the reader of the frames went away", 1)
            print(f"openxr host: {why}; {summary['frames']} frames written", file=sys.stderr)
        finally:
            if listener is not None:
                listener.stop()
                summary["speech"] = listener.summary()
                if listener.failed() and status == 0:
                    status = 1
            if runtime is not None:
                summary["session_states"] = runtime.states_seen
                runtime.release()
    summary["work_ms"] = {"p50": percentile(work, 0.5), "p99": percentile(work, 0.99)}
    summary["written"] = written
    summary["status"] = status
    if args.summary:
        with open(args.summary, "w", encoding="utf-8") as out:
            json.dump(summary, out)
    return status


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--start-ns", type=int, default=0, help="CLOCK_MONOTONIC ns of the script's second 0")
    parser.add_argument("--phases", default=",".join(script.PHASES), help="the script's ways of pointing played")
    parser.add_argument("--script", action="store_true", help="say the script's utterances")
    parser.add_argument("--stdin", action="store_true", help="take utterances from standard input, one a line")
    parser.add_argument("--speak", action="store_true",
                        help="the scripted user speaks its commands to a speech recogniser (pocketsphinx)")
    parser.add_argument("--stage", action="store_true", help="locate in STAGE when the system offers it")
    parser.add_argument("--no-hands", dest="hands", action="store_false",
                        help="leave hand tracking off (to measure what locating the joints costs)")
    parser.add_argument("--frames", default="build/demo/openxr-frames.jsonl", help="a file, or - for standard output")
    parser.add_argument("--events", default="build/demo/openxr-events.jsonl")
    parser.add_argument("--session", default="", help="frames and events together, in the order written")
    parser.add_argument("--summary", default="")
    parser.add_argument("--runtime-log", default="", help="where the runtime library's own messages go")
    return run(parser.parse_args())


if __name__ == "__main__":
    sys.exit(main())
