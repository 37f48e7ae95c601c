import functools
import json
import pathlib

import pytest

from _spatial import (CapabilitySnapshot, IntentTimeline, PointingIntent, PointingSource, Pose, Quaternion, Ray,
                      ReferenceSpace, SelectState, SpatialHit, SpatialIntentFrame, TrackingConfidence, Vec3)


def make_full_frame(ts=123):
    """A frame with every optional present and realistic values."""
    f = SpatialIntentFrame()
    f.timestamp_ns = ts
    f.timestamp_domain = "steady"
    rs = ReferenceSpace()
    rs.type, rs.id, rs.generation = "local", "room-1", 3
    f.reference_space = rs
    head = Pose()
    head.position = Vec3(0, 1.6, 0)
    head.orientation = Quaternion(0, 0.7071067811865476, 0, 0.7071067811865476)
    f.head_pose = head
    f.head_tracking = TrackingConfidence.POSITION_AND_ORIENTATION
    p = PointingIntent()
    p.ray = Ray(Vec3(0.1, 1.2, -0.3), Vec3(0, 0, -1))
    p.source = PointingSource.CONTROLLER
    p.confidence = TrackingConfidence.ORIENTATION_ONLY
    f.pointing = p
    s = SelectState()
    s.pressed, s.last_change_time_ns = True, 100
    f.primary_select = s
    left = Pose()
    left.position = Vec3(-0.2, 1.1, -0.4)
    f.left_hand_pose = left
    right = Pose()
    right.position = Vec3(0.2, 1.1, -0.4)
    f.right_hand_pose = right
    f.gaze_ray = Ray(Vec3(0, 1.6, 0), Vec3(0, -0.5, -0.8660254037844386))
    hit = SpatialHit()
    hit.position, hit.normal, hit.host_id = Vec3(0, 0.5, -2), Vec3(0, 0, 1), 'panel "A"'
    f.target = hit
    caps = CapabilitySnapshot()
    caps.head_pose = caps.action_input = caps.eye_gaze = True
    caps.enabled_extensions = ["ext.a", "ext.b"]
    f.capabilities = caps
    return f


def make_event(frame=None, ts=None, text="put it there"):
    frame = frame if frame is not None else make_full_frame()
    timeline = IntentTimeline()
    timeline.push(frame)
    return timeline.submit_text(text, frame.timestamp_ns + 50 if ts is None else ts)


@pytest.fixture
def full_frame():
    return make_full_frame()


SCHEMA_DIR = pathlib.Path(__file__).resolve().parents[2] / "src" / "spatial_intent" / "schemas"
SCHEMA_FILES = {"halberin.spatial-intent": "spatial-intent.v1.schema.json",
                "halberin.contextual-intent": "contextual-intent.v1.schema.json"}


@functools.cache
def record_validators(directory=SCHEMA_DIR):
    """Draft 2020-12 validators for both records, by their "schema" name; the event
    schema refers to the frame schema by its $id."""
    import jsonschema
    import referencing

    schemas = {name: json.loads((directory / file).read_text()) for name, file in SCHEMA_FILES.items()}
    registry = referencing.Registry().with_resources(
        (s["$id"], referencing.Resource.from_contents(s)) for s in schemas.values())
    validators = {}
    for name, schema in schemas.items():
        jsonschema.Draft202012Validator.check_schema(schema)
        validators[name] = jsonschema.Draft202012Validator(schema, registry=registry)
    return validators


def validate_record(line):
    record = json.loads(line)
    record_validators()[record["schema"]].validate(record)


def pytest_configure(config):
    """Every line to_jsonl returns anywhere in the suite is validated against its schema
    on the way back to the test that asked for it."""
    import _spatial

    encode = _spatial.to_jsonl

    @functools.wraps(encode)
    def to_jsonl(record):
        line = encode(record)
        validate_record(line)
        return line

    _spatial.to_jsonl = to_jsonl
