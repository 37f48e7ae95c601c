"""A small host: a scene of named panels and a user who points at them at 90 Hz in
each way the vocabulary has (a controller, a hand, the head, the eyes with a pinch; the
script both runtime hosts play, computed here without a runtime), every frame grounded,
kept in a timeline and streamed as JSON Lines, and the utterances paired with the frame
that was in force when they were said."""

import os
import sys
import time

import _spatial as sp
from spatial_intent import nanoseconds, pointing

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from shared import script  # noqa: E402

FRAME_NS = 1_000_000_000 // 90
SECONDS = 8  # 2 s for each way of pointing
SCRIPT = script.Script(SECONDS, script.PHASES)


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
    """The host's raycast: the nearest panel the ray meets, or None. A ray with a number
    that is not finite meets nothing."""
    o, d = ray.origin, ray.direction
    if not pointing.finite(((o.x, o.y, o.z), (d.x, d.y, d.z))):
        return None
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


def pose(position, q):
    p = sp.Pose()
    p.position, p.orientation = sp.Vec3(*position), sp.Quaternion(*q)
    return p


def forward(q):
    return script.rotate(q, (0.0, 0.0, -1.0))


def make_frame(t0_ns, i, pointer):
    """Frame i of the script: the head, both hands, the eyes and whatever points."""
    t = i * FRAME_NS / 1e9
    f = sp.SpatialIntentFrame()
    f.timestamp_ns = t0_ns + i * FRAME_NS
    f.timestamp_domain = "monotonic"
    space = sp.ReferenceSpace()
    space.type, space.id, space.generation = "local", "demo-room", 1
    f.reference_space = space
    head = script.yaw_pitch_quaternion(*SCRIPT.head_angles(t))
    f.head_pose = pose(script.HEAD_POSITION, head)
    f.head_tracking = sp.TrackingConfidence.POSITION_AND_ORIENTATION

    phase, pressed = SCRIPT.pointer(t), SCRIPT.pressed(t)
    aim = script.yaw_pitch_quaternion(*SCRIPT.aim_angles(t))
    controllers = [pointing.Controller("right", (script.AIM_ORIGIN, forward(aim)), pressed)] \
        if phase == "controller" else []
    hands = []
    for side, placed in (("left", SCRIPT.left_hand(t)), ("right", SCRIPT.right_hand(t))):
        if placed is None or phase == "controller":  # out of view, or holding a controller
            continue
        origin, q, held = placed
        setattr(f, f"{side}_hand_pose", pose(SCRIPT.wrist(side, t), q))
        # This host's engine knows how each hand is held: it gives aim and pinch itself.
        hands.append(pointing.Hand(side, (origin, forward(q)), aiming=held == "point",
                                   pinched=side == "right" and pressed))
    looked = SCRIPT.gaze_angles(t)
    gaze = (script.HEAD_POSITION, forward(script.yaw_pitch_quaternion(*looked))) if looked is not None else None
    if gaze is not None:
        f.gaze_ray = sp.Ray(sp.Vec3(*gaze[0]), sp.Vec3(*gaze[1]))

    choice = pointer.frame(f.timestamp_ns, pointing.Inputs((script.HEAD_POSITION, forward(head)), eyes=gaze,
                                                           controllers=controllers, hands=hands))
    choice.fill(f)

    caps = f.capabilities
    caps.head_pose = caps.action_input = caps.hand_tracking = caps.eye_gaze = True
    caps.enabled_extensions = ["ext.hand_tracking", "ext.eye_gaze"]
    return f


UTTERANCES = [(at, text) for at, text, _ in SCRIPT.utterances()]


def main():
    out_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "demo")
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.normpath(os.path.join(out_dir, "frames.jsonl"))
    events_path = os.path.normpath(os.path.join(out_dir, "events.jsonl"))

    timeline = sp.IntentTimeline(capacity=240, max_context_age_ns=200_000_000)
    t0 = time.monotonic_ns()
    pending = list(UTTERANCES)
    pointer = pointing.Pointer()
    events, grounded = [], {}
    frames = SECONDS * 90
    with open(path, "w", encoding="utf-8") as stream, open(events_path, "w", encoding="utf-8") as said:
        for i in range(frames):
            frame = sp.resolve_target(make_frame(t0, i, pointer), raycast)
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
                grounded[len(events) - 1] = target.host_id if target is not None else None
                if len(events) == 1:
                    print("first event:", sp.to_jsonl(event))

    print()
    print(f"frames written: {frames} to {path}")
    print(f"events made: {len(events)}, written to {events_path}")
    for n, event in enumerate(events):
        source = {"EYE_GAZE": "eyes"}.get(event.spatial_context.pointing.source.name,
                                          event.spatial_context.pointing.source.name.lower())
        print(f"  {event.text!r}, pointed at with the {source}: grounded to {grounded[n]} "
              f"(context age {event.spatial_age_ns / 1e6:.1f} ms)")
    return 0 if list(grounded.values()) == [panel for _, _, panel in SCRIPT.utterances()] else 1


if __name__ == "__main__":
    sys.exit(main())
