"""What the user intends, read from an OpenXR session every frame: the head, both
controllers' aim and select, both hands (their joints, and where the runtime gives it
their aim, pinch and readiness through the hand-interaction profile), the eyes (eye-gaze
interaction), with the pointing rule of spatial_intent.pointing applied.

A host's own engine creates the instance (with the extensions `IntentReader.extensions`
names), the session and its graphics binding; it suggests the reader's bindings with its
own (`suggest`), attaches `action_set` with its own sets, syncs `active_set` with its
own every frame, passes the runtime's events on (`interaction_profile_changed`), and
asks for `frame`. The headless host (openxr/host.py) is one such engine."""

from __future__ import annotations

import ctypes
from ctypes import byref

import _spatial as sp
from openxr import xr
from shared import script
from spatial_intent import pointing

HANDS = {"left": "/user/hand/left", "right": "/user/hand/right"}
VALID = xr.SPACE_LOCATION_ORIENTATION_VALID_BIT | xr.SPACE_LOCATION_POSITION_VALID_BIT
# The joints the rule reads a hand's posture and pinch from (the wrist, the thumb's tip and
# the four fingers), by their names there; a joint whose position is not valid is left out.
POSTURE = tuple(j for j, name in enumerate(pointing.OPENXR_JOINTS)
                if name == "wrist" or name == "thumb-tip" or name.split("-")[0] in ("index", "middle", "ring", "pinky"))
PROFILE = "/interaction_profiles/khr/simple_controller"
HAND_PROFILE = "/interaction_profiles/ext/hand_interaction_ext"
EYE_PROFILE = "/interaction_profiles/ext/eye_gaze_interaction"
# Extensions the reader uses where the runtime has them.
WANTED = (xr.EXT_HAND_TRACKING_EXTENSION_NAME, xr.EXT_HAND_INTERACTION_EXTENSION_NAME,
          xr.EXT_EYE_GAZE_INTERACTION_EXTENSION_NAME, xr.FB_HAND_TRACKING_AIM_EXTENSION_NAME)


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



def fb_aim(side: str, status: int, aim: pointing.Ray | None, trust: int, joints: dict[str, pointing.Vec] | None,
           ) -> pointing.Hand:
    """A hand as XR_FB_hand_tracking_aim gives it: its aim ray (the joints' where the
    aim is not valid), aiming while the aim is valid, pinching while the index finger
    pinches; neither while the hand makes the system's gesture (the runtime's own, never
    the application's)."""
    mine = not status & xr.HAND_TRACKING_AIM_SYSTEM_GESTURE_BIT_FB
    aiming = mine and bool(status & xr.HAND_TRACKING_AIM_VALID_BIT_FB)
    pinched = mine and bool(status & xr.HAND_TRACKING_AIM_INDEX_PINCHING_BIT_FB)
    return pointing.Hand(side, aim, trust, joints, pinched=pinched, aiming=aiming)


class IntentReader:
    """The actions, spaces and hand trackers one session's intent is read from."""

    @staticmethod
    def extensions(available: list[str], hands: bool = True) -> list[str]:
        """What to enable of what the runtime has: the clock conversion it needs, and
        hands, their interaction and the eyes where offered."""
        wanted = [xr.KHR_CONVERT_TIMESPEC_TIME_EXTENSION_NAME]
        return wanted + [name for name in WANTED if name in available
                         and (hands or name != xr.EXT_HAND_TRACKING_EXTENSION_NAME)]

    def __init__(self, instance: xr.Instance, system: int) -> None:
        self.instance = instance
        inst = instance.handle
        enabled = instance.extensions
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
        self.bindings: dict[str, list[tuple[xr.Handle, str]]] = {
            PROFILE: [(self.aim, path + "/input/aim/pose") for path in HANDS.values()]
            + [(self.select, path + "/input/select/click") for path in HANDS.values()]}
        if self.hand_profile is not None:
            self.bindings[HAND_PROFILE] = [(action, path + suffix) for path in HANDS.values()
                                           for action, suffix in ((self.aim, "/input/aim/pose"),
                                                                  (self.select, "/input/aim_activate_ext/value"),
                                                                  (self.ready, "/input/aim_activate_ext/ready_ext"))]
        if self.eye_gaze:
            self.bindings[EYE_PROFILE] = [(self.gaze, "/user/eyes_ext/input/gaze_ext/pose")]
        self.session = xr.Handle()
        self.pointer = pointing.Pointer()
        self.joints = (xr.HandJointLocation * xr.HAND_JOINT_COUNT_EXT)()
        self.fb_aim = xr.HandTrackingAimState() if xr.FB_HAND_TRACKING_AIM_EXTENSION_NAME in enabled else None

    def suggest(self, extra: dict[str, list[tuple[xr.Handle, str]]] | None = None) -> None:
        """Suggests this reader's bindings, with the engine's own for the same or other
        profiles (a suggestion for a profile replaces the one before it)."""
        merged = {profile: list(bindings) for profile, bindings in self.bindings.items()}
        for profile, bindings in (extra or {}).items():
            merged.setdefault(profile, []).extend(bindings)
        for profile, bindings in merged.items():
            made = (xr.ActionSuggestedBinding * len(bindings))(*(
                xr.ActionSuggestedBinding(action, self.instance.path(path)) for action, path in bindings))
            xr.call("xrSuggestInteractionProfileBindings", self.instance.handle,
                    byref(xr.InteractionProfileSuggestedBinding(interactionProfile=self.instance.path(profile),
                                                                countSuggestedBindings=len(bindings),
                                                                suggestedBindings=made)))

    def attach(self, session: xr.Handle, base: xr.Handle, stage: bool) -> None:
        """Reads from `session`, to which the engine has attached `action_set` (with its
        own), in the reference space `base` (stage or local)."""
        self.session, self.base, self.stage = session, base, stage
        self.view = xr.Handle()
        xr.call("xrCreateReferenceSpace", session,
                byref(xr.ReferenceSpaceCreateInfo(referenceSpaceType=xr.REFERENCE_SPACE_TYPE_VIEW,
                                                  poseInReferenceSpace=xr.IDENTITY)), byref(self.view))
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
        self.active_set = xr.ActiveActionSet(self.action_set, 0)
        self.hands: dict[str, xr.Handle] = {}
        if self.hand_tracking:
            for side, hand in (("left", xr.HAND_LEFT_EXT), ("right", xr.HAND_RIGHT_EXT)):
                tracker = xr.Handle()
                self.instance.extension("xrCreateHandTrackerEXT", self.session,
                                        byref(xr.HandTrackerCreateInfo(hand=hand)), byref(tracker))
                self.hands[side] = tracker

    def interaction_profile_changed(self) -> None:
        """Reads each hand's current interaction profile again: on the runtime's event."""
        state = xr.InteractionProfileState()
        for side, path in self.sides.items():
            xr.call("xrGetCurrentInteractionProfile", self.session, path, byref(state))
            self.profiles[side] = state.interactionProfile

    def locate(self, space: xr.Handle, at: int) -> xr.SpaceLocation:
        location = xr.SpaceLocation()
        xr.call("xrLocateSpace", space, self.base, at, byref(location))
        return location

    def hand(self, side: str, at: int) -> tuple[sp.Pose, pointing.Hand] | None:
        """The hand's wrist and its joints for the rule, or None when it is not tracked.
        Its ray, for a runtime without the hand's own aim, starts at the index finger's
        knuckle and runs along the palm (its -z axis, from the wrist towards the fingers), which
        curling the fingers to pinch does not turn; its confidence is theirs."""
        tracker = self.hands.get(side)
        if tracker is None:
            return None
        joints = self.joints
        located = xr.HandJointLocations(jointCount=xr.HAND_JOINT_COUNT_EXT, jointLocations=joints)
        if self.fb_aim is not None:
            located.next = ctypes.cast(byref(self.fb_aim), ctypes.c_void_p)
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
        trust = int(confidence(flags if ray else 0))
        if self.fb_aim is not None:  # the runtime's own aim, pinch and readiness
            status, aim = int(self.fb_aim.status), self.fb_aim.aimPose
            if status & xr.HAND_TRACKING_AIM_VALID_BIT_FB:
                ray, trust = (vec(aim.position), forward(aim)), int(confidence(wrist.locationFlags))
            return to_pose(wrist.pose), fb_aim(side, status, ray, trust, named)
        return to_pose(wrist.pose), pointing.Hand(side, ray, trust, named, runtime_ray=False)

    def frame(self, now_ns: int, now: int, generation: int) -> sp.SpatialIntentFrame:
        """The user's intent at `now` (the runtime's time; `now_ns` the same instant on
        the monotonic clock), after the engine synced its actions with `active_set`."""
        f = sp.SpatialIntentFrame()
        f.timestamp_ns = now_ns
        f.timestamp_domain = "monotonic"
        space = sp.ReferenceSpace()
        space.type = "stage" if self.stage else "local"
        space.id = f"openxr:{space.type}"
        space.generation = generation
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
        choice.fill(f)

        caps = f.capabilities
        caps.head_pose = any(self.tracking)
        caps.action_input = True
        caps.hand_tracking = self.hand_tracking
        # The runtime's own hand aim and select were used: its hand-interaction profile or its aim state.
        caps.hand_interaction = any(h.aiming is not None for h in hands)
        caps.eye_gaze = self.eye_gaze
        caps.enabled_extensions = self.instance.extensions
        return f


