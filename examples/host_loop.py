"""A small host: a scene of named panels, a head and a controller that sweep across it
at 90 Hz, every frame grounded, kept in a timeline and streamed as JSON Lines, and a
few utterances paired with the frame that was in force when they were said."""

import math
import os
import sys
import time

import _spatial as sp
from spatial_intent import nanoseconds

FRAME_NS = 1_000_000_000 // 90
SECONDS = 4


class Panel:
    """A rectangle in a plane facing +z, at depth z, centred at (cx, cy)."""

    def __init__(self, name, cx, cy, z, half_w, half_h):
        self.name, self.cx, self.cy, self.z, self.half_w, self.half_h = name, cx, cy, z, half_w, half_h

    def intersect(self, ray):
        o, d = ray.origin, ray.direction
        if abs(d.z) < 1e-12:
            return None
        t = (self.z - o.z) / d.z
        if t <= 0:
            return None
        x, y = o.x + t * d.x, o.y + t * d.y
        if abs(x - self.cx) > self.half_w or abs(y - self.cy) > self.half_h:
            return None
        return t, sp.Vec3(x, y, self.z)


SCENE = [
    Panel("panel:calendar", -0.9, 1.5, -2.0, 0.45, 0.3),
    Panel("panel:map", 0.0, 1.5, -2.5, 0.5, 0.4),
    Panel("panel:notes", 0.9, 1.5, -2.0, 0.45, 0.3),
]


def raycast(ray):
    """The host's raycast: the nearest panel the ray meets, or None."""
    best = None
    for panel in SCENE:
        found = panel.intersect(ray)
        if found and (best is None or found[0] < best[0]):
            best = (found[0], found[1], panel)
    if best is None:
        return None
    hit = sp.SpatialHit()
    hit.position = best[1]
    hit.normal = sp.Vec3(0, 0, 1)
    hit.host_id = best[2].name
    return hit


def yaw_quaternion(yaw):
    return sp.Quaternion(0.0, math.sin(yaw / 2), 0.0, math.cos(yaw / 2))


def make_frame(t0_ns, i):
    """Frame i of the sweep: the head turns, the controller sweeps from left to right."""
    seconds = i * FRAME_NS / 1e9
    phase = seconds / SECONDS
    yaw = 0.5 * math.cos(math.pi * phase)
    f = sp.SpatialIntentFrame()
    f.timestamp_ns = t0_ns + i * FRAME_NS
    f.timestamp_domain = "monotonic"
    space = sp.ReferenceSpace()
    space.type, space.id, space.generation = "local", "demo-room", 1
    f.reference_space = space
    f.head_pose.position = sp.Vec3(0.0, 1.6, 0.0)
    f.head_pose.orientation = yaw_quaternion(yaw)
    f.head_tracking = sp.TrackingConfidence.POSITION_AND_ORIENTATION

    sweep = -0.6 + 1.2 * phase  # horizontal angle of the controller, radians
    pointing = sp.PointingIntent()
    pointing.ray = sp.Ray(sp.Vec3(0.2, 1.4, -0.3), sp.Vec3(math.sin(sweep), 0.05, -math.cos(sweep)))
    pointing.source = sp.PointingSource.CONTROLLER
    pointing.confidence = sp.TrackingConfidence.POSITION_AND_ORIENTATION
    f.pointing = pointing

    # The trigger is pulled at 1.3 s and let go at 1.6 s: a frame reports the last change
    # at or before its own instant (0 before the first), and `changed` on the first frame
    # after each change.
    select = sp.SelectState()
    select.pressed = 1.3 <= seconds < 1.6
    changes = [at for at in (1.3, 1.6) if at <= seconds]
    select.last_change_time_ns = t0_ns + nanoseconds(changes[-1]) if changes else 0
    select.changed = bool(changes) and seconds - changes[-1] < FRAME_NS / 1e9
    f.primary_select = select

    hand = sp.Pose()
    hand.position = sp.Vec3(0.2, 1.3, -0.3)
    f.right_hand_pose = hand
    f.gaze_ray = sp.Ray(sp.Vec3(0, 1.6, 0), sp.Vec3(math.sin(-yaw), 0.0, -math.cos(yaw)))

    caps = f.capabilities
    caps.head_pose = caps.action_input = caps.hand_tracking = caps.eye_gaze = True
    caps.enabled_extensions = ["ext.hand_tracking", "ext.eye_gaze"]
    return f


UTTERANCES = [(0.7, "what is this?"), (2.0, "put it there"), (3.4, "open that one")]


def main():
    out_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "demo")
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.normpath(os.path.join(out_dir, "frames.jsonl"))
    events_path = os.path.normpath(os.path.join(out_dir, "events.jsonl"))

    timeline = sp.IntentTimeline(capacity=240, max_context_age_ns=200_000_000)
    t0 = time.monotonic_ns()
    pending = list(UTTERANCES)
    events, grounded = [], {}
    frames = SECONDS * 90
    with open(path, "w", encoding="utf-8") as stream, open(events_path, "w", encoding="utf-8") as said:
        for i in range(frames):
            frame = sp.resolve_target(make_frame(t0, i), raycast)
            timeline.push(frame)
            stream.write(sp.to_jsonl(frame) + "\n")
            if i == 0:
                print("first frame:", sp.to_jsonl(frame))
            # An utterance arrives a few milliseconds after the frame before it.
            while pending and t0 + nanoseconds(pending[0][0]) <= frame.timestamp_ns:
                at, text = pending.pop(0)
                event = timeline.submit_text(text, t0 + nanoseconds(at) + 4_000_000)
                if event is None:
                    continue
                events.append(event)
                said.write(sp.to_jsonl(event) + "\n")
                target = event.spatial_context.target
                grounded[text] = target.host_id if target is not None else None
                print("event:", sp.to_jsonl(event))

    print()
    print(f"frames written: {frames} to {path}")
    print(f"events made: {len(events)}, written to {events_path}")
    for event in events:
        print(f"  {event.text!r}: grounded to {grounded[event.text]} "
              f"(context age {event.spatial_age_ns / 1e6:.1f} ms)")
    return 0 if len(events) == len(UTTERANCES) else 1


if __name__ == "__main__":
    sys.exit(main())
