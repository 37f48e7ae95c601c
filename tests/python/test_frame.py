import json

import pytest
from conftest import make_event, make_full_frame

from _spatial import (ContextualIntentEvent, IntentTimeline, PointingIntent, PointingSource, Pose, Ray, SpatialHit,
                      SpatialIntentFrame, TrackingConfidence, Vec3, to_jsonl)

OPTIONALS = ["pointing", "primary_select", "left_hand_pose", "right_hand_pose", "gaze_ray", "target"]


def test_default_frame():
    f = SpatialIntentFrame()
    assert f.timestamp_ns == 0 and f.timestamp_domain == ""
    rs = f.reference_space
    assert (rs.type, rs.id, rs.generation) == ("", "", 0)
    hp = f.head_pose
    assert (hp.position.x, hp.position.y, hp.position.z) == (0, 0, 0)
    assert (hp.orientation.x, hp.orientation.y, hp.orientation.z, hp.orientation.w) == (0, 0, 0, 1)
    assert f.head_tracking == TrackingConfidence.UNAVAILABLE
    assert all(getattr(f, name) is None for name in OPTIONALS)
    c = f.capabilities
    assert not any([c.head_pose, c.action_input, c.hand_tracking, c.hand_interaction, c.eye_gaze])
    assert c.enabled_extensions == []


def test_attribute_order():
    names = [n for n in vars(SpatialIntentFrame) if not n.startswith("_")]
    assert names == ["timestamp_ns", "timestamp_domain", "reference_space", "head_pose", "head_tracking",
                     *OPTIONALS, "capabilities"]


def test_constructor_takes_nothing():
    with pytest.raises(TypeError):
        SpatialIntentFrame(1)


@pytest.mark.parametrize("attr, getter, setter", [
    ("timestamp_ns", "(self: _spatial.SpatialIntentFrame) -> int",
     "(self: _spatial.SpatialIntentFrame, arg0: typing.SupportsInt | typing.SupportsIndex) -> None"),
    ("timestamp_domain", "(self: _spatial.SpatialIntentFrame) -> str",
     "(self: _spatial.SpatialIntentFrame, arg0: str) -> None"),
    ("head_pose", "(self: _spatial.SpatialIntentFrame) -> _spatial.Pose",
     "(self: _spatial.SpatialIntentFrame, arg0: _spatial.Pose) -> None"),
    ("head_tracking", "(self: _spatial.SpatialIntentFrame) -> _spatial.TrackingConfidence",
     "(self: _spatial.SpatialIntentFrame, arg0: _spatial.TrackingConfidence) -> None"),
    ("target", "(self: _spatial.SpatialIntentFrame) -> _spatial.SpatialHit | None",
     "(self: _spatial.SpatialIntentFrame, arg0: _spatial.SpatialHit | None) -> None"),
])
def test_attribute_signatures(attr, getter, setter):
    prop = getattr(SpatialIntentFrame, attr)
    assert prop.fget.__doc__.strip() == getter
    assert prop.fset.__doc__.strip() == setter


def test_optional_assignment_copies_and_read_is_a_view():
    f = SpatialIntentFrame()
    p = PointingIntent()
    f.pointing = p
    p.source = PointingSource.HAND
    assert f.pointing.source == PointingSource.HEAD
    view = f.pointing
    view.source = PointingSource.EYE_GAZE
    assert f.pointing.source == PointingSource.EYE_GAZE
    assert f.pointing is view


@pytest.mark.parametrize("name, value", [
    ("pointing", PointingIntent()), ("left_hand_pose", Pose()), ("gaze_ray", Ray()), ("target", SpatialHit()),
])
def test_none_empties_optional(name, value):
    f = SpatialIntentFrame()
    setattr(f, name, value)
    assert getattr(f, name) is not None
    setattr(f, name, None)
    assert getattr(f, name) is None


@pytest.mark.parametrize("attr, bad", [
    ("head_pose", None), ("head_pose", Ray()), ("reference_space", None), ("capabilities", None),
    ("head_tracking", 1), ("head_tracking", None), ("timestamp_ns", 1.0), ("timestamp_ns", 2**63),
    ("timestamp_domain", 5), ("pointing", Ray()), ("target", 3),
])
def test_wrong_kind_refused_and_frame_unchanged(attr, bad):
    f = make_full_frame()
    before = (f.timestamp_ns, f.head_pose.position.y, f.head_tracking, f.pointing.source, f.target.host_id)
    with pytest.raises(TypeError):
        setattr(f, attr, bad)
    assert (f.timestamp_ns, f.head_pose.position.y, f.head_tracking, f.pointing.source, f.target.host_id) == before


def test_timestamp_range():
    f = SpatialIntentFrame()
    f.timestamp_ns = -1
    assert f.timestamp_ns == -1
    f.timestamp_ns = 2**63 - 1
    assert f.timestamp_ns == 2**63 - 1


def test_head_tracking_read_is_fresh():
    f = SpatialIntentFrame()
    assert f.head_tracking == f.head_tracking and f.head_tracking is not f.head_tracking


def test_nested_view_writes_reach_frame():
    f = SpatialIntentFrame()
    f.head_pose.position.x = 2.0
    assert f.head_pose.position.x == 2.0
    v = Vec3(1, 2, 3)
    f.head_pose.position = v
    v.x = 9.0
    assert f.head_pose.position.x == 1.0


def test_view_outlives_frame():
    f = SpatialIntentFrame()
    f.capabilities.eye_gaze = True
    caps = f.capabilities
    del f
    assert caps.eye_gaze is True


def test_extension_list_of_frame_is_a_copy():
    f = SpatialIntentFrame()
    f.capabilities.enabled_extensions.append("x")
    assert f.capabilities.enabled_extensions == []
    f.capabilities.enabled_extensions = ["a"]
    assert f.capabilities.enabled_extensions == ["a"]


def test_unknown_attribute():
    with pytest.raises(AttributeError):
        SpatialIntentFrame().unknown = 1


def test_event_has_no_constructor():
    with pytest.raises(TypeError, match=r"^_spatial\.ContextualIntentEvent: No constructor defined!$"):
        ContextualIntentEvent()


@pytest.mark.parametrize("attr, value", [("text", "x"), ("timestamp_ns", 1), ("spatial_age_ns", 1),
                                         ("spatial_context", SpatialIntentFrame())])
def test_event_attributes_read_only(attr, value):
    e = make_event()
    with pytest.raises(AttributeError):
        setattr(e, attr, value)


def test_event_fields():
    e = make_event(ts=173, text="hi")
    assert (e.timestamp_ns, e.text, e.spatial_age_ns) == (173, "hi", 50)
    assert e.spatial_context.timestamp_ns == 123
    assert [n for n in vars(ContextualIntentEvent) if not n.startswith("_")] == [
        "timestamp_ns", "text", "spatial_context", "spatial_age_ns"]


def test_event_context_is_a_writable_view_that_keeps_the_event():
    e = make_event()
    ctx = e.spatial_context
    ctx.timestamp_ns = 7
    assert e.spatial_context.timestamp_ns == 7
    del e
    assert ctx.timestamp_ns == 7
    assert ctx.target.host_id == 'panel "A"'


def test_push_copies_and_latest_returns_fresh_copies():
    t = IntentTimeline()
    f = make_full_frame()
    t.push(f)
    f.timestamp_domain = "changed"
    f.pointing = None
    a, b = t.latest(), t.latest()
    assert a is not b
    assert a.timestamp_domain == b.timestamp_domain == "steady"
    assert a.pointing is not None
    a.timestamp_domain = "mine"
    assert t.latest().timestamp_domain == "steady"


@pytest.mark.parametrize("name, key", [("pointing", "pointing"), ("primary_select", "primary_select"),
                                       ("left_hand_pose", "left_hand"), ("right_hand_pose", "right_hand"),
                                       ("gaze_ray", "gaze"), ("target", "target")])
def test_clearing_twice_leaves_the_optional_absent(name, key):
    f = make_full_frame()
    setattr(f, name, None)
    setattr(f, name, None)
    assert getattr(f, name) is None
    assert key not in to_jsonl_keys(f)


def to_jsonl_keys(frame):
    return json.loads(to_jsonl(frame)).keys()
