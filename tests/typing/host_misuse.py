"""Deliberate misuses: mypy --strict must report an error on every line marked
`# error` and on no other line."""

import _spatial as sp

frame = sp.SpatialIntentFrame()
frame.head_tracking = 2  # error
frame.timestamp_domain = b"steady"  # error
frame.pointing = sp.Ray()  # error
frame.head_pose = None  # error
frame.capabilities.enabled_extensions = [1, 2]  # error
sp.Vec3(1.0, 2.0)  # error
sp.to_jsonl(sp.Pose())  # error
sp.IntentTimeline().push(sp.ContextualIntentEvent)  # error
timeline = sp.IntentTimeline()
event = timeline.submit_text("here", 5)
if event is not None:
    event.text = "changed"  # error
    event.spatial_age_ns = 1  # error
latest: sp.SpatialIntentFrame = timeline.latest()  # error
age: str = timeline.submit_text("here", 5).spatial_age_ns  # error
sp.resolve_target(frame)  # error
read: sp.SpatialIntentFrame = sp.from_jsonl("{}")  # error
