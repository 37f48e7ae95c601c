"""An engine of its own that reads the user's intent from the session it made, as a
host with graphics would: it creates the instance (with the reader's extensions beside
its own), the session (headless here, where an engine binds its graphics), an action set
of its own (a menu button) and the reader's, suggests both sets' bindings together,
attaches both, syncs both every frame, and passes the runtime's events on.

    cd examples && python3 -m openxr.engine SECONDS

Writes each frame's record to standard output, every 1/90 s; at the end, one line on
standard error: how many frames it read and in how many its own action was active. A
runtime fault is one line and exit 1, Ctrl-C one line and 130; the instance, and every
handle made from it, is destroyed on every way out."""

from __future__ import annotations

import ctypes
import sys
import time
from ctypes import byref

import _spatial as sp
from openxr import xr
from openxr.reader import IntentReader


def main() -> int:
    try:
        return run(float(sys.argv[1]))
    except (IndexError, ValueError):
        print("usage: python3 -m openxr.engine SECONDS", file=sys.stderr)
        return 2
    except xr.XrError as e:
        print(f"engine: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("engine: interrupted", file=sys.stderr)
        return 130


def run(seconds: float) -> int:
    available = xr.extension_names()
    instance = xr.Instance("spatial-engine-example", [xr.MND_HEADLESS_EXTENSION_NAME,
                                                      *IntentReader.extensions(available)])
    try:
        system = ctypes.c_uint64()
        xr.call("xrGetSystem", instance.handle,
                byref(xr.SystemGetInfo(formFactor=xr.FORM_FACTOR_HEAD_MOUNTED_DISPLAY)), byref(system))
        reader = IntentReader(instance, system.value)
        # The engine's own action, bound on a profile the reader binds too: the two
        # suggestions go in as one, since a later one for a profile replaces the first.
        own_set, menu = xr.Handle(), xr.Handle()
        xr.call("xrCreateActionSet", instance.handle,
                byref(xr.ActionSetCreateInfo(actionSetName=b"engine", localizedActionSetName=b"Engine")),
                byref(own_set))
        xr.call("xrCreateAction", own_set, byref(xr.ActionCreateInfo(
            actionName=b"menu", actionType=xr.ACTION_TYPE_BOOLEAN_INPUT, localizedActionName=b"menu")), byref(menu))
        reader.suggest({"/interaction_profiles/khr/simple_controller": [(menu, "/user/hand/right/input/menu/click")]})
        session = xr.Handle()
        xr.call("xrCreateSession", instance.handle, byref(xr.SessionCreateInfo(systemId=system)), byref(session))
        sets = (xr.Handle * 2)(own_set, reader.action_set)
        xr.call("xrAttachSessionActionSets", session, byref(xr.SessionActionSetsAttachInfo(countActionSets=2,
                                                                                            actionSets=sets)))
        base = xr.Handle()
        xr.call("xrCreateReferenceSpace", session, byref(xr.ReferenceSpaceCreateInfo(
            referenceSpaceType=xr.REFERENCE_SPACE_TYPE_LOCAL, poseInReferenceSpace=xr.IDENTITY)), byref(base))
        reader.attach(session, base, stage=False)
        active = (xr.ActiveActionSet * 2)(xr.ActiveActionSet(own_set, 0), reader.active_set)
        running, frames, own_active = False, 0, 0
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            while True:
                event = xr.EventDataBuffer()
                if xr.call("xrPollEvent", instance.handle, byref(event)) == xr.EVENT_UNAVAILABLE:
                    break
                if event.type == xr.TYPE_EVENT_DATA_INTERACTION_PROFILE_CHANGED:
                    reader.interaction_profile_changed()
                if event.type == xr.TYPE_EVENT_DATA_SESSION_STATE_CHANGED:
                    state = ctypes.cast(byref(event), ctypes.POINTER(xr.EventDataSessionStateChanged)).contents.state
                    if state == xr.SESSION_STATE_READY:
                        xr.call("xrBeginSession", session, byref(xr.SessionBeginInfo(
                            primaryViewConfigurationType=xr.VIEW_CONFIGURATION_TYPE_PRIMARY_STEREO)))
                        running = True
            if running:
                xr.call("xrSyncActions", session, byref(xr.ActionsSyncInfo(countActiveActionSets=2,
                                                                             activeActionSets=active)))
                state_ = xr.ActionStateBoolean()
                xr.call("xrGetActionStateBoolean", session, byref(xr.ActionStateGetInfo(action=menu)),
                        byref(state_))
                own_active += bool(state_.isActive)
                now_ns, now = instance.now()
                print(sp.to_jsonl(reader.frame(now_ns, now, 1)), flush=True)
                frames += 1
            time.sleep(1 / 90)
        if running:
            xr.end_session(session)
    finally:
        instance.destroy()
    print(f"engine: {frames} frames read, its own action active in {own_active}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
