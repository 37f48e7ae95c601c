"""A host that uses the whole API; mypy --strict must accept it as it stands."""

from __future__ import annotations

import json
from typing import Any

import _spatial as sp


def raycast(ray: sp.Ray) -> sp.SpatialHit | None:
    if ray.direction.z >= 0:
        return None
    hit = sp.SpatialHit()
    hit.position = sp.Vec3(ray.origin.x, ray.origin.y, -2.0)
    hit.normal = sp.Vec3(0, 0, 1)
    hit.host_id = "panel:map"
    return hit


def build_frame(timestamp_ns: int) -> sp.SpatialIntentFrame:
    frame = sp.SpatialIntentFrame()
    frame.timestamp_ns = timestamp_ns
    frame.timestamp_domain = "steady"
    space = sp.ReferenceSpace()
    space.type, space.id, space.generation = "local", "room-1", 3
    frame.reference_space = space
    head = sp.Pose()
    head.position = sp.Vec3(0.0, 1.6, 0.0)
    head.orientation = sp.Quaternion(0.0, 0.0, 0.0, 1.0)
    frame.head_pose = head
    frame.head_tracking = sp.TrackingConfidence.POSITION_AND_ORIENTATION
    pointing = sp.PointingIntent()
    pointing.ray = sp.Ray(sp.Vec3(0.1, 1.2, -0.3), sp.Vec3(0, 0, -1))
    pointing.source = sp.PointingSource.CONTROLLER
    pointing.confidence = sp.TrackingConfidence(1)
    frame.pointing = pointing
    select = sp.SelectState()
    select.pressed, select.changed, select.last_change_time_ns = True, False, timestamp_ns - 5
    frame.primary_select = select
    frame.left_hand_pose = sp.Pose()
    frame.right_hand_pose = None
    frame.gaze_ray = sp.Ray()
    caps = sp.CapabilitySnapshot()
    caps.head_pose = caps.action_input = caps.hand_tracking = caps.hand_interaction = caps.eye_gaze = True
    caps.enabled_extensions = ["ext.hand"]
    frame.capabilities = caps
    return frame


def main() -> None:
    timeline = sp.IntentTimeline(capacity=240, max_context_age_ns=2_000_000_000)
    frame = sp.resolve_target(build_frame(1_000), raycast)
    timeline.push(frame)
    line: str = sp.to_jsonl(frame)
    record: dict[str, Any] = json.loads(line)
    assert record["schema"] == "halberin.spatial-intent"
    latest: sp.SpatialIntentFrame | None = timeline.latest()
    target = latest.target if latest is not None else None
    host_id: str | None = target.host_id if target is not None else None
    event = timeline.submit_text("put it there", 1_050)
    if event is not None:
        age: int = event.spatial_age_ns
        text: str = event.text
        context: sp.SpatialIntentFrame = event.spatial_context
        print(sp.to_jsonl(event), sp.to_dict(event), age, text, context.timestamp_ns, event.timestamp_ns)
    x: float = frame.head_pose.position.x + frame.head_pose.orientation.w
    name: str = sp.PointingSource.HAND.name
    value: int = sp.TrackingConfidence.UNAVAILABLE.value
    members = sp.TrackingConfidence.__members__
    print(sp.to_dict(frame), host_id, x, name, value, int(sp.PointingSource.EYE_GAZE), members, sp.PointingSource.HEAD)
    back = sp.from_jsonl(sp.to_jsonl(frame).encode())
    if isinstance(back, sp.SpatialIntentFrame):
        print(back.timestamp_ns, sp.from_dict(sp.to_dict(back)))


if __name__ == "__main__":
    main()
