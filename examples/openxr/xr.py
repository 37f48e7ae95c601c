"""The few OpenXR calls the host makes, over ctypes and the system's loader, with
openxr.h's names and layouts. Only this module knows how the API is reached: swapping
it for a full binding touches this file alone."""

from __future__ import annotations

import ctypes
import ctypes.util
import time
from ctypes import POINTER, Structure, byref, c_char, c_char_p, c_float, c_int32, c_int64, c_uint32, c_uint64, c_void_p

XrResult = c_int32
XrBool32 = c_uint32
XrTime = c_int64
XrPath = c_uint64
Handle = c_uint64  # XrInstance, XrSession, XrSpace, XrActionSet, XrAction (64-bit platforms)

API_VERSION_1_0 = 1 << 48

TYPE_INSTANCE_CREATE_INFO = 3
TYPE_SYSTEM_GET_INFO = 4
TYPE_SYSTEM_PROPERTIES = 5
TYPE_SESSION_CREATE_INFO = 8
TYPE_SESSION_BEGIN_INFO = 10
TYPE_EVENT_DATA_BUFFER = 16
TYPE_EVENT_DATA_INSTANCE_LOSS_PENDING = 17
TYPE_EVENT_DATA_SESSION_STATE_CHANGED = 18
TYPE_ACTION_STATE_BOOLEAN = 23
TYPE_ACTION_STATE_POSE = 27
TYPE_ACTION_SET_CREATE_INFO = 28
TYPE_ACTION_CREATE_INFO = 29
TYPE_REFERENCE_SPACE_CREATE_INFO = 37
TYPE_ACTION_SPACE_CREATE_INFO = 38
TYPE_EVENT_DATA_REFERENCE_SPACE_CHANGE_PENDING = 40
TYPE_SPACE_LOCATION = 42
TYPE_INTERACTION_PROFILE_SUGGESTED_BINDING = 51
TYPE_EVENT_DATA_INTERACTION_PROFILE_CHANGED = 52
TYPE_INTERACTION_PROFILE_STATE = 53
TYPE_ACTION_STATE_GET_INFO = 58
TYPE_SESSION_ACTION_SETS_ATTACH_INFO = 60
TYPE_ACTIONS_SYNC_INFO = 61
TYPE_SYSTEM_EYE_GAZE_INTERACTION_PROPERTIES_EXT = 1000030000
TYPE_SYSTEM_HAND_TRACKING_PROPERTIES_EXT = 1000051000
TYPE_HAND_TRACKING_AIM_STATE_FB = 1000111001
TYPE_HAND_TRACKER_CREATE_INFO_EXT = 1000051001
TYPE_HAND_JOINTS_LOCATE_INFO_EXT = 1000051002
TYPE_HAND_JOINT_LOCATIONS_EXT = 1000051003
TYPE_HAND_TRACKING_DATA_SOURCE_INFO_EXT = 1000428000
TYPE_HAND_TRACKING_DATA_SOURCE_STATE_EXT = 1000428001

EVENT_UNAVAILABLE = 4
SESSION_LOSS_PENDING = 3
ERROR_RUNTIME_FAILURE = -2
ERROR_INSTANCE_LOST = -13
ERROR_SESSION_LOST = -17
ERROR_TIME_INVALID = -30
ERROR_RUNTIME_UNAVAILABLE = -51
RESULT_NAMES = {-1: "XR_ERROR_VALIDATION_FAILURE", -2: "XR_ERROR_RUNTIME_FAILURE", -3: "XR_ERROR_OUT_OF_MEMORY",
                -6: "XR_ERROR_INITIALIZATION_FAILED", -7: "XR_ERROR_FUNCTION_UNSUPPORTED",
                -9: "XR_ERROR_EXTENSION_NOT_PRESENT", -13: "XR_ERROR_INSTANCE_LOST", -16: "XR_ERROR_SESSION_NOT_RUNNING",
                -17: "XR_ERROR_SESSION_LOST", -24: "XR_ERROR_GRAPHICS_DEVICE_INVALID", -30: "XR_ERROR_TIME_INVALID",
                -34: "XR_ERROR_FORM_FACTOR_UNAVAILABLE", -51: "XR_ERROR_RUNTIME_UNAVAILABLE"}

FORM_FACTOR_HEAD_MOUNTED_DISPLAY = 1
VIEW_CONFIGURATION_TYPE_PRIMARY_STEREO = 2
REFERENCE_SPACE_TYPE_VIEW, REFERENCE_SPACE_TYPE_LOCAL, REFERENCE_SPACE_TYPE_STAGE = 1, 2, 3
ACTION_TYPE_BOOLEAN_INPUT, ACTION_TYPE_POSE_INPUT = 1, 4
(SESSION_STATE_IDLE, SESSION_STATE_READY, SESSION_STATE_SYNCHRONIZED, SESSION_STATE_VISIBLE, SESSION_STATE_FOCUSED,
 SESSION_STATE_STOPPING, SESSION_STATE_LOSS_PENDING, SESSION_STATE_EXITING) = range(1, 9)
SESSION_STATE_NAMES = ["UNKNOWN", "IDLE", "READY", "SYNCHRONIZED", "VISIBLE", "FOCUSED", "STOPPING",
                       "LOSS_PENDING", "EXITING"]

SPACE_LOCATION_ORIENTATION_VALID_BIT = 0x1
SPACE_LOCATION_POSITION_VALID_BIT = 0x2
SPACE_LOCATION_ORIENTATION_TRACKED_BIT = 0x4
SPACE_LOCATION_POSITION_TRACKED_BIT = 0x8

MND_HEADLESS_EXTENSION_NAME = "XR_MND_headless"
KHR_CONVERT_TIMESPEC_TIME_EXTENSION_NAME = "XR_KHR_convert_timespec_time"
EXT_HAND_TRACKING_EXTENSION_NAME = "XR_EXT_hand_tracking"
EXT_HAND_TRACKING_DATA_SOURCE_EXTENSION_NAME = "XR_EXT_hand_tracking_data_source"
EXT_HAND_INTERACTION_EXTENSION_NAME = "XR_EXT_hand_interaction"
EXT_EYE_GAZE_INTERACTION_EXTENSION_NAME = "XR_EXT_eye_gaze_interaction"
FB_HAND_TRACKING_AIM_EXTENSION_NAME = "XR_FB_hand_tracking_aim"
HAND_TRACKING_AIM_VALID_BIT_FB = 0x2
HAND_TRACKING_AIM_INDEX_PINCHING_BIT_FB = 0x4
HAND_TRACKING_AIM_SYSTEM_GESTURE_BIT_FB = 0x40

HAND_LEFT_EXT, HAND_RIGHT_EXT = 1, 2
HAND_JOINT_COUNT_EXT = 26
(HAND_JOINT_PALM_EXT, HAND_JOINT_WRIST_EXT, HAND_JOINT_THUMB_METACARPAL_EXT, HAND_JOINT_THUMB_PROXIMAL_EXT,
 HAND_JOINT_THUMB_DISTAL_EXT, HAND_JOINT_THUMB_TIP_EXT, HAND_JOINT_INDEX_METACARPAL_EXT, HAND_JOINT_INDEX_PROXIMAL_EXT,
 HAND_JOINT_INDEX_INTERMEDIATE_EXT, HAND_JOINT_INDEX_DISTAL_EXT, HAND_JOINT_INDEX_TIP_EXT) = range(11)
HAND_JOINT_MIDDLE_METACARPAL_EXT, HAND_JOINT_MIDDLE_TIP_EXT = 11, 15
HAND_TRACKING_DATA_SOURCE_UNOBSTRUCTED_EXT, HAND_TRACKING_DATA_SOURCE_CONTROLLER_EXT = 1, 2


class Quaternionf(Structure):
    _fields_ = [("x", c_float), ("y", c_float), ("z", c_float), ("w", c_float)]


class Vector3f(Structure):
    _fields_ = [("x", c_float), ("y", c_float), ("z", c_float)]


class Posef(Structure):
    _fields_ = [("orientation", Quaternionf), ("position", Vector3f)]


IDENTITY = Posef(Quaternionf(0, 0, 0, 1), Vector3f(0, 0, 0))


class Typed(Structure):
    """A structure that starts with type and next: built with its type filled in."""

    TYPE = 0

    def __init__(self, **fields):
        super().__init__(type=self.TYPE, **fields)


class ApplicationInfo(Structure):
    _fields_ = [("applicationName", c_char * 128), ("applicationVersion", c_uint32), ("engineName", c_char * 128),
                ("engineVersion", c_uint32), ("apiVersion", c_uint64)]


class InstanceCreateInfo(Typed):
    TYPE = TYPE_INSTANCE_CREATE_INFO
    _fields_ = [("type", c_int32), ("next", c_void_p), ("createFlags", c_uint64), ("applicationInfo", ApplicationInfo),
                ("enabledApiLayerCount", c_uint32), ("enabledApiLayerNames", POINTER(c_char_p)),
                ("enabledExtensionCount", c_uint32), ("enabledExtensionNames", POINTER(c_char_p))]


class ExtensionProperties(Structure):
    _fields_ = [("type", c_int32), ("next", c_void_p), ("extensionName", c_char * 128), ("extensionVersion", c_uint32)]


class SystemGetInfo(Typed):
    TYPE = TYPE_SYSTEM_GET_INFO
    _fields_ = [("type", c_int32), ("next", c_void_p), ("formFactor", c_int32)]


class SystemProperties(Typed):
    TYPE = TYPE_SYSTEM_PROPERTIES
    _fields_ = [("type", c_int32), ("next", c_void_p), ("systemId", c_uint64), ("vendorId", c_uint32),
                ("systemName", c_char * 256), ("maxSwapchainImageHeight", c_uint32),
                ("maxSwapchainImageWidth", c_uint32), ("maxLayerCount", c_uint32),
                ("orientationTracking", XrBool32), ("positionTracking", XrBool32)]


class SessionCreateInfo(Typed):
    TYPE = TYPE_SESSION_CREATE_INFO
    _fields_ = [("type", c_int32), ("next", c_void_p), ("createFlags", c_uint64), ("systemId", c_uint64)]


class SessionBeginInfo(Typed):
    TYPE = TYPE_SESSION_BEGIN_INFO
    _fields_ = [("type", c_int32), ("next", c_void_p), ("primaryViewConfigurationType", c_int32)]


class EventDataBuffer(Typed):
    TYPE = TYPE_EVENT_DATA_BUFFER
    _fields_ = [("type", c_int32), ("next", c_void_p), ("varying", ctypes.c_uint8 * 4000)]


class EventDataSessionStateChanged(Structure):
    _fields_ = [("type", c_int32), ("next", c_void_p), ("session", Handle), ("state", c_int32), ("time", XrTime)]


class EventDataReferenceSpaceChangePending(Structure):
    _fields_ = [("type", c_int32), ("next", c_void_p), ("session", Handle), ("referenceSpaceType", c_int32),
                ("changeTime", XrTime), ("poseValid", XrBool32), ("poseInPreviousSpace", Posef)]


class ReferenceSpaceCreateInfo(Typed):
    TYPE = TYPE_REFERENCE_SPACE_CREATE_INFO
    _fields_ = [("type", c_int32), ("next", c_void_p), ("referenceSpaceType", c_int32),
                ("poseInReferenceSpace", Posef)]


class SpaceLocation(Typed):
    TYPE = TYPE_SPACE_LOCATION
    _fields_ = [("type", c_int32), ("next", c_void_p), ("locationFlags", c_uint64), ("pose", Posef)]


class ActionSetCreateInfo(Typed):
    TYPE = TYPE_ACTION_SET_CREATE_INFO
    _fields_ = [("type", c_int32), ("next", c_void_p), ("actionSetName", c_char * 64),
                ("localizedActionSetName", c_char * 128), ("priority", c_uint32)]


class ActionCreateInfo(Typed):
    TYPE = TYPE_ACTION_CREATE_INFO
    _fields_ = [("type", c_int32), ("next", c_void_p), ("actionName", c_char * 64), ("actionType", c_int32),
                ("countSubactionPaths", c_uint32), ("subactionPaths", POINTER(XrPath)),
                ("localizedActionName", c_char * 128)]


class ActionSuggestedBinding(Structure):
    _fields_ = [("action", Handle), ("binding", XrPath)]


class InteractionProfileSuggestedBinding(Typed):
    TYPE = TYPE_INTERACTION_PROFILE_SUGGESTED_BINDING
    _fields_ = [("type", c_int32), ("next", c_void_p), ("interactionProfile", XrPath),
                ("countSuggestedBindings", c_uint32), ("suggestedBindings", POINTER(ActionSuggestedBinding))]


class SessionActionSetsAttachInfo(Typed):
    TYPE = TYPE_SESSION_ACTION_SETS_ATTACH_INFO
    _fields_ = [("type", c_int32), ("next", c_void_p), ("countActionSets", c_uint32), ("actionSets", POINTER(Handle))]


class ActionSpaceCreateInfo(Typed):
    TYPE = TYPE_ACTION_SPACE_CREATE_INFO
    _fields_ = [("type", c_int32), ("next", c_void_p), ("action", Handle), ("subactionPath", XrPath),
                ("poseInActionSpace", Posef)]


class ActiveActionSet(Structure):
    _fields_ = [("actionSet", Handle), ("subactionPath", XrPath)]


class ActionsSyncInfo(Typed):
    TYPE = TYPE_ACTIONS_SYNC_INFO
    _fields_ = [("type", c_int32), ("next", c_void_p), ("countActiveActionSets", c_uint32),
                ("activeActionSets", POINTER(ActiveActionSet))]


class ActionStateGetInfo(Typed):
    TYPE = TYPE_ACTION_STATE_GET_INFO
    _fields_ = [("type", c_int32), ("next", c_void_p), ("action", Handle), ("subactionPath", XrPath)]


class ActionStateBoolean(Typed):
    TYPE = TYPE_ACTION_STATE_BOOLEAN
    _fields_ = [("type", c_int32), ("next", c_void_p), ("currentState", XrBool32), ("changedSinceLastSync", XrBool32),
                ("lastChangeTime", XrTime), ("isActive", XrBool32)]


class ActionStatePose(Typed):
    TYPE = TYPE_ACTION_STATE_POSE
    _fields_ = [("type", c_int32), ("next", c_void_p), ("isActive", XrBool32)]


class InteractionProfileState(Typed):
    TYPE = TYPE_INTERACTION_PROFILE_STATE
    _fields_ = [("type", c_int32), ("next", c_void_p), ("interactionProfile", XrPath)]


class SystemEyeGazeInteractionProperties(Typed):
    TYPE = TYPE_SYSTEM_EYE_GAZE_INTERACTION_PROPERTIES_EXT
    _fields_ = [("type", c_int32), ("next", c_void_p), ("supportsEyeGazeInteraction", XrBool32)]


class SystemHandTrackingProperties(Typed):
    TYPE = TYPE_SYSTEM_HAND_TRACKING_PROPERTIES_EXT
    _fields_ = [("type", c_int32), ("next", c_void_p), ("supportsHandTracking", XrBool32)]


class HandTrackerCreateInfo(Typed):
    TYPE = TYPE_HAND_TRACKER_CREATE_INFO_EXT
    _fields_ = [("type", c_int32), ("next", c_void_p), ("hand", c_int32), ("handJointSet", c_int32)]


class HandTrackingDataSourceInfo(Typed):
    TYPE = TYPE_HAND_TRACKING_DATA_SOURCE_INFO_EXT
    _fields_ = [("type", c_int32), ("next", c_void_p), ("requestedDataSourceCount", c_uint32),
                ("requestedDataSources", POINTER(c_int32))]


class HandJointsLocateInfo(Typed):
    TYPE = TYPE_HAND_JOINTS_LOCATE_INFO_EXT
    _fields_ = [("type", c_int32), ("next", c_void_p), ("baseSpace", Handle), ("time", XrTime)]


class HandJointLocation(Structure):
    _fields_ = [("locationFlags", c_uint64), ("pose", Posef), ("radius", c_float)]


class HandTrackingDataSourceState(Typed):
    TYPE = TYPE_HAND_TRACKING_DATA_SOURCE_STATE_EXT
    _fields_ = [("type", c_int32), ("next", c_void_p), ("isActive", XrBool32), ("dataSource", c_int32)]


class HandTrackingAimState(Typed):
    TYPE = TYPE_HAND_TRACKING_AIM_STATE_FB
    _fields_ = [("type", c_int32), ("next", c_void_p), ("status", c_uint64), ("aimPose", Posef),
                ("pinchStrengthIndex", c_float), ("pinchStrengthMiddle", c_float), ("pinchStrengthRing", c_float),
                ("pinchStrengthLittle", c_float)]


class HandJointLocations(Typed):
    TYPE = TYPE_HAND_JOINT_LOCATIONS_EXT
    _fields_ = [("type", c_int32), ("next", c_void_p), ("isActive", XrBool32), ("jointCount", c_uint32),
                ("jointLocations", POINTER(HandJointLocation))]


class Timespec(Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]


class XrError(Exception):
    """An OpenXR call that failed: `result` is its XrResult."""

    def __init__(self, call: str, result: int):
        super().__init__(f"{call} failed: {RESULT_NAMES.get(result, result)}")
        self.call, self.result = call, result


def _load_loader() -> ctypes.CDLL:
    name = ctypes.util.find_library("openxr_loader") or "libopenxr_loader.so.1"
    try:
        return ctypes.CDLL(name)
    except OSError as e:
        raise XrError("loading the OpenXR loader (libopenxr_loader.so.1)", ERROR_RUNTIME_UNAVAILABLE) from e


_lib = _load_loader()
_CORE = {
    "xrEnumerateInstanceExtensionProperties": [c_char_p, c_uint32, POINTER(c_uint32), POINTER(ExtensionProperties)],
    "xrCreateInstance": [POINTER(InstanceCreateInfo), POINTER(Handle)],
    "xrDestroyInstance": [Handle],
    "xrGetInstanceProcAddr": [Handle, c_char_p, POINTER(c_void_p)],
    "xrGetSystem": [Handle, POINTER(SystemGetInfo), POINTER(c_uint64)],
    "xrGetSystemProperties": [Handle, c_uint64, POINTER(SystemProperties)],
    "xrEnumerateReferenceSpaces": [Handle, c_uint32, POINTER(c_uint32), POINTER(c_int32)],
    "xrCreateSession": [Handle, POINTER(SessionCreateInfo), POINTER(Handle)],
    "xrDestroySession": [Handle],
    "xrBeginSession": [Handle, POINTER(SessionBeginInfo)],
    "xrEndSession": [Handle],
    "xrRequestExitSession": [Handle],
    "xrPollEvent": [Handle, POINTER(EventDataBuffer)],
    "xrCreateReferenceSpace": [Handle, POINTER(ReferenceSpaceCreateInfo), POINTER(Handle)],
    "xrCreateActionSpace": [Handle, POINTER(ActionSpaceCreateInfo), POINTER(Handle)],
    "xrLocateSpace": [Handle, Handle, XrTime, POINTER(SpaceLocation)],
    "xrStringToPath": [Handle, c_char_p, POINTER(XrPath)],
    "xrCreateActionSet": [Handle, POINTER(ActionSetCreateInfo), POINTER(Handle)],
    "xrCreateAction": [Handle, POINTER(ActionCreateInfo), POINTER(Handle)],
    "xrSuggestInteractionProfileBindings": [Handle, POINTER(InteractionProfileSuggestedBinding)],
    "xrAttachSessionActionSets": [Handle, POINTER(SessionActionSetsAttachInfo)],
    "xrSyncActions": [Handle, POINTER(ActionsSyncInfo)],
    "xrGetActionStateBoolean": [Handle, POINTER(ActionStateGetInfo), POINTER(ActionStateBoolean)],
    "xrGetActionStatePose": [Handle, POINTER(ActionStateGetInfo), POINTER(ActionStatePose)],
    "xrGetCurrentInteractionProfile": [Handle, XrPath, POINTER(InteractionProfileState)],
}
for _name, _args in _CORE.items():
    _fn = getattr(_lib, _name)
    _fn.argtypes, _fn.restype = _args, XrResult

_EXTENSION = {
    "xrConvertTimespecTimeToTimeKHR": [Handle, POINTER(Timespec), POINTER(XrTime)],
    "xrConvertTimeToTimespecTimeKHR": [Handle, XrTime, POINTER(Timespec)],
    "xrCreateHandTrackerEXT": [Handle, POINTER(HandTrackerCreateInfo), POINTER(Handle)],
    "xrDestroyHandTrackerEXT": [Handle],
    "xrLocateHandJointsEXT": [Handle, POINTER(HandJointsLocateInfo), POINTER(HandJointLocations)],
}


def check(call: str, result: int) -> int:
    if result < 0:
        raise XrError(call, result)
    return result


def call(name: str, *args) -> int:
    """Calls a core function; raises XrError on a failure code, returns the code otherwise."""
    return check(name, getattr(_lib, name)(*args))


def extension_names() -> list[str]:
    count = c_uint32()
    call("xrEnumerateInstanceExtensionProperties", None, 0, byref(count), None)
    props = (ExtensionProperties * count.value)(*[ExtensionProperties(type=2) for _ in range(count.value)])
    call("xrEnumerateInstanceExtensionProperties", None, count, byref(count), props)
    return [p.extensionName.decode() for p in props[: count.value]]


class Instance:
    """An instance with the given extensions, and its extension functions."""

    def __init__(self, app_name: str, extensions: list[str]):
        names = (c_char_p * len(extensions))(*[e.encode() for e in extensions])
        info = InstanceCreateInfo(applicationInfo=ApplicationInfo(applicationName=app_name.encode(),
                                                                   applicationVersion=1, engineName=b"none",
                                                                   apiVersion=API_VERSION_1_0),
                                  enabledExtensionCount=len(extensions), enabledExtensionNames=names)
        self.handle = Handle()
        call("xrCreateInstance", byref(info), byref(self.handle))
        self.extensions = list(extensions)
        self._ext = {}
        for name, args in _EXTENSION.items():
            address = c_void_p()
            if _lib.xrGetInstanceProcAddr(self.handle, name.encode(), byref(address)) >= 0 and address.value:
                self._ext[name] = ctypes.CFUNCTYPE(XrResult, *args)(address.value)

    def extension(self, name: str, *args) -> int:
        """Calls an extension function; raises XrError on a failure code or when the
        runtime does not have it."""
        if name not in self._ext:
            raise XrError(name, -7)
        return check(name, self._ext[name](*args))

    def path(self, text: str) -> int:
        out = XrPath()
        call("xrStringToPath", self.handle, text.encode(), byref(out))
        return out.value

    def monotonic_to_xr(self, ns: int) -> int:
        ts, out = Timespec(ns // 1_000_000_000, ns % 1_000_000_000), XrTime()
        check("xrConvertTimespecTimeToTimeKHR", self._ext["xrConvertTimespecTimeToTimeKHR"](self.handle, byref(ts),
                                                                                              byref(out)))
        return out.value

    def xr_to_monotonic(self, t: int) -> int:
        ts = Timespec()
        check("xrConvertTimeToTimespecTimeKHR", self._ext["xrConvertTimeToTimespecTimeKHR"](self.handle, t, byref(ts)))
        return ts.tv_sec * 1_000_000_000 + ts.tv_nsec

    def now(self) -> tuple[int, int]:
        """(CLOCK_MONOTONIC ns, the same instant as an XrTime)."""
        ns = time.monotonic_ns()
        return ns, self.monotonic_to_xr(ns)

    def destroy(self) -> None:
        if self.handle.value:
            _lib.xrDestroyInstance(self.handle)
            self.handle = Handle()


def end_session(session: Handle) -> None:
    _lib.xrEndSession(session)
