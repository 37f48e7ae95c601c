"""Random frames: every record is one strict JSON line in the documented member order."""
import json
import math

from hypothesis import given, settings
from hypothesis import strategies as st

import _spatial as sp

FRAME_KEYS = ["schema", "version", "timestamp_ns", "timestamp_domain", "reference_space", "head", "head_tracking",
              "pointing", "primary_select", "left_hand", "right_hand", "gaze", "target", "capabilities"]

doubles = st.floats(allow_nan=True, allow_infinity=True, width=64)
text = st.text(st.characters(codec="utf-8"), max_size=12)
i64 = st.integers(-(2**63), 2**63 - 1)


def vec(c):
    return sp.Vec3(*c)


@st.composite
def frames(draw):
    f = sp.SpatialIntentFrame()
    f.timestamp_ns = draw(i64)
    f.timestamp_domain = draw(text)
    rs = sp.ReferenceSpace()
    rs.type, rs.id, rs.generation = draw(text), draw(text), draw(st.integers(0, 2**64 - 1))
    f.reference_space = rs
    f.head_pose.position = vec(draw(st.tuples(doubles, doubles, doubles)))
    f.head_pose.orientation = sp.Quaternion(*draw(st.tuples(doubles, doubles, doubles, doubles)))
    f.head_tracking = sp.TrackingConfidence(draw(st.integers(-(2**31), 2**31 - 1)))
    if draw(st.booleans()):
        p = sp.PointingIntent()
        p.ray = sp.Ray(vec(draw(st.tuples(doubles, doubles, doubles))), vec(draw(st.tuples(doubles, doubles, doubles))))
        p.source = sp.PointingSource(draw(st.integers(-5, 5)))
        f.pointing = p
    if draw(st.booleans()):
        s = sp.SelectState()
        s.pressed, s.changed, s.last_change_time_ns = draw(st.booleans()), draw(st.booleans()), draw(i64)
        f.primary_select = s
    for name in ("left_hand_pose", "right_hand_pose"):
        if draw(st.booleans()):
            pose = sp.Pose()
            pose.position = vec(draw(st.tuples(doubles, doubles, doubles)))
            setattr(f, name, pose)
    if draw(st.booleans()):
        f.gaze_ray = sp.Ray(vec(draw(st.tuples(doubles, doubles, doubles))), sp.Vec3())
    if draw(st.booleans()):
        h = sp.SpatialHit()
        h.position = vec(draw(st.tuples(doubles, doubles, doubles)))
        h.host_id = draw(st.none() | text)
        f.target = h
    f.capabilities.enabled_extensions = draw(st.lists(text, max_size=4))
    f.capabilities.eye_gaze = draw(st.booleans())
    return f


def strict(line):
    def refuse(name):
        raise ValueError(name)
    return json.loads(line, parse_constant=refuse)


def expected_number(x):
    return None if not math.isfinite(x) else float("%.9g" % x)


def same_number(got, x):
    want = expected_number(x)
    # json reads "-0" back as the integer 0, so the sign of zero is checked natively only.
    return got is None if want is None else got == want


@settings(max_examples=300, deadline=None)
@given(frames())
def test_frame_records(f):
    line = sp.to_jsonl(f)
    assert "\n" not in line and "\r" not in line
    record = strict(line)
    keys = list(record)
    assert keys == [k for k in FRAME_KEYS if k in keys]
    assert ("pointing" in record) == (f.pointing is not None)
    assert ("target" in record) == (f.target is not None)
    if f.target is not None:
        assert ("host_id" in record["target"]) == (f.target.host_id is not None)
    assert record["timestamp_domain"] == f.timestamp_domain
    assert record["reference_space"]["generation"] == f.reference_space.generation
    pos = f.head_pose.position
    for got, x in zip(record["head"]["position"], (pos.x, pos.y, pos.z)):
        assert same_number(got, x)
    q = f.head_pose.orientation
    for got, x in zip(record["head"]["orientation"], (q.x, q.y, q.z, q.w)):
        assert same_number(got, x)
    assert record["capabilities"]["enabled_extensions"] == f.capabilities.enabled_extensions
    assert sp.to_dict(f) == record


@settings(max_examples=100, deadline=None)
@given(frames(), st.text(st.characters(codec="utf-8"), min_size=1, max_size=20))
def test_event_records(f, said):
    t = sp.IntentTimeline(max_context_age_ns=2**63 - 1)
    t.push(f)
    e = t.submit_text(said, f.timestamp_ns)
    line = sp.to_jsonl(e)
    record = strict(line)
    assert record["text"] == said
    assert line.endswith(',"spatial_context":' + sp.to_jsonl(f) + "}")
    assert sp.to_dict(e) == record
