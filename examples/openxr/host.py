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
from shared import script
from shared.listening import Listener
from spatial_intent import nanoseconds, pointing, speech

FRAME_NS = 1_000_000_000 // 90
HANDS = {"left": "/user/hand/left", "right": "/user/hand/right"}
SOURCES = {"controller": sp.PointingSource.CONTROLLER, "hand": sp.PointingSource.HAND,
           "eye_gaze": sp.PointingSource.EYE_GAZE, "head": sp.PointingSource.HEAD}
VALID = xr.SPACE_LOCATION_ORIENTATION_VALID_BIT | xr.SPACE_LOCATION_POSITION_VALID_BIT
# The joints the rule reads a hand's posture and pinch from (the wrist, the thumb's tip and
# the four fingers), by their names there; a joint whose position is not valid is left out.
POSTURE = tuple(j for j, name in enumerate(pointing.OPENXR_JOINTS)
                if name == "wrist" or name == "thumb-tip" or name.split("-")[0] in ("index", "middle", "ring", "pinky"))
PROFILE = "/interaction_profiles/khr/simple_controller"
HAND_PROFILE = "/interaction_profiles/ext/hand_interaction_ext"
EYE_PROFILE = "/interaction_profiles/ext/eye_gaze_interaction"


class Stop(Exception):
    """The runtime ended the session or went away: the reason, in one line."""


class Terminated(Exception):
    """SIGTERM: the run ends as on Ctrl-C, every process it started ended."""


def terminate(signum: int, frame: object) -> None:
    raise Terminated


def stream_stopped(signum: int, frame: object) -> None:
    raise Stop("the user's tracking stream to the runtime stopped (the runtime holds its last state)")


def confidence(flags: int) -> sp.TrackingConfidence:
    # The valid bits say whether the values may be used at all; the tracked bits only
    # say whether they were measured rather than inferred, which this vocabulary does
    # not tell apart.
    if flags & xr.SPACE_LOCATION_ORIENTATION_VALID_BIT:
        if flags & xr.SPACE_LOCATION_POSITION_VALID_BIT:
            return sp.TrackingConfidence.POSITION_AND_ORIENTATION
        return sp.TrackingConfidence.ORIENTATION_ONLY
    return sp.TrackingConfidence.UNAVAILABLE


def vec(v: xr.Vector3f) -> tuple[float, float, float]:
    return (v.x, v.y, v.z)


def forward(p: xr.Posef) -> tuple[float, float, float]:
    o = p.orientation
    return script.rotate((o.x, o.y, o.z, o.w), (0.0, 0.0, -1.0))


def to_pose(p: xr.Posef) -> sp.Pose:
    pose = sp.Pose()
    pose.position = sp.Vec3(p.position.x, p.position.y, p.position.z)
    o = p.orientation
    pose.orientation = sp.Quaternion(o.x, o.y, o.z, o.w)
    return pose


class Runtime:
    """The instance, session, spaces and actions the host reads every frame; a context
    manager that ends and releases them. A setup that fails halfway releases what it made."""

    def __init__(self, stage: bool = False, hands: bool = True):
        try:
            available = xr.extension_names()
        except xr.XrError as e:
            raise Stop(f"no OpenXR runtime answered ({e}): start one, e.g. monado-service "
                       f"(make demo-openxr starts it)") from e
        wanted = [xr.MND_HEADLESS_EXTENSION_NAME, xr.KHR_CONVERT_TIMESPEC_TIME_EXTENSION_NAME]
        missing = [name for name in wanted if name not in available]
        if missing:
            raise Stop(f"the OpenXR runtime lacks {', '.join(missing)}")
        # Hands where the runtime tracks them, their aim and select where it gives those,
        # and the eyes where it has them; a session goes on without.
        if hands and xr.EXT_HAND_TRACKING_EXTENSION_NAME in available:
            wanted.append(xr.EXT_HAND_TRACKING_EXTENSION_NAME)
        wanted += [name for name in (xr.EXT_HAND_INTERACTION_EXTENSION_NAME, xr.EXT_EYE_GAZE_INTERACTION_EXTENSION_NAME)
                   if name in available]
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
        enabled = self.instance.extensions
        eye_props = xr.SystemEyeGazeInteractionProperties()
        hand_props = xr.SystemHandTrackingProperties()
        has_hands = xr.EXT_HAND_TRACKING_EXTENSION_NAME in enabled
        has_eyes = xr.EXT_EYE_GAZE_INTERACTION_EXTENSION_NAME in enabled
        chain = None
        for extra, wanted in ((eye_props, has_eyes), (hand_props, has_hands)):
            if wanted:
                extra.next = chain
                chain = ctypes.cast(byref(extra), ctypes.c_void_p)
        props = xr.SystemProperties(next=chain)
        xr.call("xrGetSystemProperties", inst, system, byref(props))
        self.tracking = (bool(props.orientationTracking), bool(props.positionTracking))
        self.hand_tracking = has_hands and bool(hand_props.supportsHandTracking)
        self.eye_gaze = has_eyes and bool(eye_props.supportsEyeGazeInteraction)
        self.hand_profile = self.instance.path(HAND_PROFILE) if xr.EXT_HAND_INTERACTION_EXTENSION_NAME in enabled \
            else None

        # Actions: the aim pose and select click of each hand's simple controller.
        self.sides = {side: self.instance.path(path) for side, path in HANDS.items()}
        self.action_set = xr.Handle()
        xr.call("xrCreateActionSet", inst, byref(xr.ActionSetCreateInfo(actionSetName=b"intent",
                                                                         localizedActionSetName=b"Intent")),
                byref(self.action_set))
        subactions = (xr.XrPath * 2)(*self.sides.values())
        # The same aim and select from a controller, or from a hand where the runtime
        # gives its hand interaction (aim_activate: the hand aims and pinches along its
        # aim, ready while it is held so); the eyes' gaze pose.
        self.aim, self.select, self.ready, self.gaze = xr.Handle(), xr.Handle(), xr.Handle(), xr.Handle()
        for handle, name, kind, count in ((self.aim, b"aim", xr.ACTION_TYPE_POSE_INPUT, 2),
                                          (self.select, b"select", xr.ACTION_TYPE_BOOLEAN_INPUT, 2),
                                          (self.ready, b"aim_ready", xr.ACTION_TYPE_BOOLEAN_INPUT, 2),
                                          (self.gaze, b"gaze", xr.ACTION_TYPE_POSE_INPUT, 0)):
            xr.call("xrCreateAction", self.action_set,
                    byref(xr.ActionCreateInfo(actionName=name, actionType=kind, countSubactionPaths=count,
                                              subactionPaths=subactions if count else None,
                                              localizedActionName=name)), byref(handle))
        self._suggest(PROFILE, [(self.aim, path + "/input/aim/pose") for path in HANDS.values()]
                      + [(self.select, path + "/input/select/click") for path in HANDS.values()])
        if self.hand_profile is not None:
            self._suggest(HAND_PROFILE, [(action, path + suffix) for path in HANDS.values() for action, suffix in (
                (self.aim, "/input/aim/pose"), (self.select, "/input/aim_activate_ext/value"),
                (self.ready, "/input/aim_activate_ext/ready_ext"))])
        if self.eye_gaze:
            self._suggest(EYE_PROFILE, [(self.gaze, "/user/eyes_ext/input/gaze_ext/pose")])

        # A headless session: no graphics binding.
        self.session = xr.Handle()
        xr.call("xrCreateSession", inst, byref(xr.SessionCreateInfo(systemId=system)), byref(self.session))
        sets = (xr.Handle * 1)(self.action_set)
        xr.call("xrAttachSessionActionSets", self.session,
                byref(xr.SessionActionSetsAttachInfo(countActionSets=1, actionSets=sets)))
        self.base_type = xr.REFERENCE_SPACE_TYPE_STAGE if stage and self._has_stage() else xr.REFERENCE_SPACE_TYPE_LOCAL
        self.base = self._reference_space(self.base_type)
        self.view = self._reference_space(xr.REFERENCE_SPACE_TYPE_VIEW)
        self.aim_spaces: dict[str, xr.Handle] = {}
        for side, path in self.sides.items():
            space = self.aim_spaces[side] = xr.Handle()
            xr.call("xrCreateActionSpace", self.session,
                    byref(xr.ActionSpaceCreateInfo(action=self.aim, subactionPath=path,
                                                   poseInActionSpace=xr.IDENTITY)), byref(space))
        self.gaze_space = xr.Handle()
        if self.eye_gaze:
            xr.call("xrCreateActionSpace", self.session,
                    byref(xr.ActionSpaceCreateInfo(action=self.gaze, subactionPath=0, poseInActionSpace=xr.IDENTITY)),
                    byref(self.gaze_space))
        self.profiles = {side: 0 for side in self.sides}  # each hand's current interaction profile
        self.active_sets = (xr.ActiveActionSet * 1)(xr.ActiveActionSet(self.action_set, 0))
        self.hands: dict[str, xr.Handle] = {}
        if self.hand_tracking:
            for side, hand in (("left", xr.HAND_LEFT_EXT), ("right", xr.HAND_RIGHT_EXT)):
                tracker = xr.Handle()
                self.instance.extension("xrCreateHandTrackerEXT", self.session,
                                        byref(xr.HandTrackerCreateInfo(hand=hand)), byref(tracker))
                self.hands[side] = tracker
        self.joints = (xr.HandJointLocation * xr.HAND_JOINT_COUNT_EXT)()
        self.pointer = pointing.Pointer()
        self.state = xr.SESSION_STATE_IDLE
        self.states_seen = ["IDLE"]
        self.generation = 1
        self.space_changes: list[int] = []  # CLOCK_MONOTONIC ns of the base space's pending changes

    def _suggest(self, profile: str, bindings: list[tuple[xr.Handle, str]]) -> None:
        made = (xr.ActionSuggestedBinding * len(bindings))(*(
            xr.ActionSuggestedBinding(action, self.instance.path(path)) for action, path in bindings))
        xr.call("xrSuggestInteractionProfileBindings", self.instance.handle,
                byref(xr.InteractionProfileSuggestedBinding(interactionProfile=self.instance.path(profile),
                                                            countSuggestedBindings=len(bindings),
                                                            suggestedBindings=made)))

    def _read_profiles(self) -> None:
        state = xr.InteractionProfileState()
        for side, path in self.sides.items():
            xr.call("xrGetCurrentInteractionProfile", self.session, path, byref(state))
            self.profiles[side] = state.interactionProfile

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
                self._read_profiles()
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

    def locate(self, space: xr.Handle, at: int) -> xr.SpaceLocation:
        location = xr.SpaceLocation()
        xr.call("xrLocateSpace", space, self.base, at, byref(location))
        return location

    def hand(self, side: str, at: int) -> tuple[sp.Pose, pointing.Hand] | None:
        """The hand's wrist and its joints for the rule, or None when it is not tracked.
        The runtime gives no hand-aim pose: the ray starts at the index finger's knuckle
        and runs along the palm (its -z axis, from the wrist towards the fingers), which
        curling the fingers to pinch does not turn; its confidence is theirs."""
        tracker = self.hands.get(side)
        if tracker is None:
            return None
        joints = self.joints
        located = xr.HandJointLocations(jointCount=xr.HAND_JOINT_COUNT_EXT, jointLocations=joints)
        self.instance.extension("xrLocateHandJointsEXT", tracker,
                                byref(xr.HandJointsLocateInfo(baseSpace=self.base, time=at)), byref(located))
        wrist, palm, knuckle = (joints[j] for j in (xr.HAND_JOINT_WRIST_EXT, xr.HAND_JOINT_PALM_EXT,
                                                    xr.HAND_JOINT_INDEX_PROXIMAL_EXT))
        if not located.isActive or wrist.locationFlags & VALID != VALID:
            return None
        named = {pointing.OPENXR_JOINTS[j]: vec(joints[j].pose.position) for j in POSTURE
                 if joints[j].locationFlags & xr.SPACE_LOCATION_POSITION_VALID_BIT}
        ray = None
        flags = palm.locationFlags & knuckle.locationFlags
        if palm.locationFlags & xr.SPACE_LOCATION_ORIENTATION_VALID_BIT and \
                knuckle.locationFlags & xr.SPACE_LOCATION_POSITION_VALID_BIT:
            ray = (vec(knuckle.pose.position), forward(palm.pose))
        return to_pose(wrist.pose), pointing.Hand(side, ray, int(confidence(flags if ray else 0)), named,
                                                  runtime_ray=False)

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
        f = sp.SpatialIntentFrame()
        f.timestamp_ns = now_ns
        f.timestamp_domain = "monotonic"
        space = sp.ReferenceSpace()
        space.type = "stage" if self.base_type == xr.REFERENCE_SPACE_TYPE_STAGE else "local"
        space.id = f"openxr:{space.type}"
        space.generation = self.generation
        f.reference_space = space
        head = self.locate(self.view, now)
        f.head_tracking = confidence(head.locationFlags)
        if f.head_tracking != sp.TrackingConfidence.UNAVAILABLE:
            f.head_pose = to_pose(head.pose)

        controllers, hands, aims = [], [], {}
        for side, path in self.sides.items():
            get = xr.ActionStateGetInfo(action=self.aim, subactionPath=path)
            pose_state = xr.ActionStatePose()
            xr.call("xrGetActionStatePose", self.session, byref(get), byref(pose_state))
            aim = self.locate(self.aim_spaces[side], now) if pose_state.isActive else None
            get.action = self.select
            click = xr.ActionStateBoolean()
            xr.call("xrGetActionStateBoolean", self.session, byref(get), byref(click))
            # A ray needs a direction: without a valid orientation there is no pointing.
            if aim is None or not aim.locationFlags & xr.SPACE_LOCATION_ORIENTATION_VALID_BIT or not click.isActive:
                continue
            ray = (vec(aim.pose.position), forward(aim.pose))
            if self.hand_profile is not None and self.profiles[side] == self.hand_profile:
                get.action = self.ready
                ready = xr.ActionStateBoolean()
                xr.call("xrGetActionStateBoolean", self.session, byref(get), byref(ready))
                aims[side] = (ray, int(confidence(aim.locationFlags)), bool(ready.isActive and ready.currentState),
                              bool(click.currentState))
                continue
            # Before the first change the runtime reports a time before its own epoch,
            # which no clock conversion takes: 0, as for a select that never changed.
            changed_at = click.lastChangeTime
            controllers.append(pointing.Controller(
                side, ray, bool(click.currentState), int(confidence(aim.locationFlags)),
                self.instance.xr_to_monotonic(changed_at) if changed_at > 0 else 0))

        for side in ("left", "right"):
            found = self.hand(side, now)
            if found is not None:
                setattr(f, f"{side}_hand_pose", found[0])
            if side in aims:  # the runtime's own aim, readiness and pinch for this hand
                ray, trust, ready, pinched = aims[side]
                hands.append(pointing.Hand(side, ray, trust, found[1].joints if found else None, pinched, ready))
            elif found is not None:
                hands.append(found[1])

        eyes = None
        if self.eye_gaze:
            get = xr.ActionStateGetInfo(action=self.gaze, subactionPath=0)
            pose_state = xr.ActionStatePose()
            xr.call("xrGetActionStatePose", self.session, byref(get), byref(pose_state))
            looked = self.locate(self.gaze_space, now) if pose_state.isActive else None
            if looked is not None and looked.locationFlags & xr.SPACE_LOCATION_ORIENTATION_VALID_BIT:
                eyes = (vec(looked.pose.position), forward(looked.pose))
                f.gaze_ray = sp.Ray(sp.Vec3(*eyes[0]), sp.Vec3(*eyes[1]))

        head_ray = (vec(head.pose.position), forward(head.pose)) \
            if f.head_tracking != sp.TrackingConfidence.UNAVAILABLE else None
        choice = self.pointer.frame(now_ns, pointing.Inputs(head_ray, int(f.head_tracking), eyes,
                                                            controllers=controllers, hands=hands))
        if choice.source is not None and choice.ray is not None:
            p = sp.PointingIntent()
            p.ray = sp.Ray(sp.Vec3(*choice.ray[0]), sp.Vec3(*choice.ray[1]))
            p.source = SOURCES[choice.source]
            p.confidence = sp.TrackingConfidence(choice.confidence)
            f.pointing = p
        if choice.select is not None:
            select = sp.SelectState()
            select.pressed, select.changed, select.last_change_time_ns = choice.select
            f.primary_select = select

        caps = f.capabilities
        caps.head_pose = any(self.tracking)
        caps.action_input = True
        caps.hand_tracking = self.hand_tracking
        caps.hand_interaction = bool(aims)
        caps.eye_gaze = self.eye_gaze
        caps.enabled_extensions = self.instance.extensions
        return f


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
