import pytest

from _spatial import (CapabilitySnapshot, PointingIntent, PointingSource, Pose, Ray, ReferenceSpace, SelectState,
                      SpatialHit, TrackingConfidence, Vec3)


def test_enumeration_members():
    assert [(n, int(m)) for n, m in TrackingConfidence.__members__.items()] == [
        ("UNAVAILABLE", 0), ("ORIENTATION_ONLY", 1), ("POSITION_AND_ORIENTATION", 2)]
    assert [(n, int(m)) for n, m in PointingSource.__members__.items()] == [
        ("CONTROLLER", 0), ("HAND", 1), ("EYE_GAZE", 2), ("HEAD", 3)]


def test_enumeration_conversions_and_strict_equality():
    assert int(PointingSource.EYE_GAZE) == 2
    assert TrackingConfidence(2) == TrackingConfidence.POSITION_AND_ORIENTATION
    assert TrackingConfidence.UNAVAILABLE != 0
    assert PointingSource.CONTROLLER != TrackingConfidence.UNAVAILABLE
    assert PointingSource.HAND.name == "HAND" and PointingSource.HAND.value == 1
    assert int(TrackingConfidence(17)) == 17


def test_pointing_defaults():
    p = PointingIntent()
    assert p.source == PointingSource.HEAD
    assert p.confidence == TrackingConfidence.UNAVAILABLE
    assert (p.ray.direction.x, p.ray.direction.y, p.ray.direction.z) == (0.0, 0.0, 0.0)


@pytest.mark.parametrize("attr, bad", [("source", 1), ("source", None), ("source", TrackingConfidence.UNAVAILABLE),
                                       ("confidence", 2), ("confidence", PointingSource.HEAD)])
def test_enum_field_refusals(attr, bad):
    p = PointingIntent()
    before = getattr(p, attr)
    with pytest.raises(TypeError):
        setattr(p, attr, bad)
    assert getattr(p, attr) == before


def test_enum_read_is_a_fresh_value():
    p = PointingIntent()
    p.source = PointingSource.HAND
    read = p.source
    assert read is not PointingSource.HAND and read is not p.source
    p.source = PointingSource.EYE_GAZE
    assert read == PointingSource.HAND


def test_ray_view_of_pointing():
    p = PointingIntent()
    p.ray.origin.x = 3.0
    assert p.ray.origin.x == 3.0
    p.ray = Ray(Vec3(1, 1, 1), Vec3(0, 0, -1))
    assert p.ray.direction.z == -1.0


def test_select_state():
    s = SelectState()
    assert (s.pressed, s.changed, s.last_change_time_ns) == (False, False, 0)
    s.pressed = 2
    s.changed = None
    s.last_change_time_ns = -(2**63)
    assert (s.pressed, s.changed, s.last_change_time_ns) == (True, False, -(2**63))
    for bad in (2**63, 1.0, "1"):
        with pytest.raises(TypeError):
            s.last_change_time_ns = bad
    assert s.last_change_time_ns == -(2**63)


def test_host_id():
    h = SpatialHit()
    assert h.host_id is None
    h.host_id = "panel"
    assert h.host_id == "panel"
    h.host_id = None
    assert h.host_id is None
    h.host_id = b"raw"
    assert h.host_id == "raw"


@pytest.mark.parametrize("value, ok", [(0, True), (2**64 - 1, True), (-1, False), (2**64, False), (1.0, False)])
def test_generation_range(value, ok):
    r = ReferenceSpace()
    r.generation = 5
    if ok:
        r.generation = value
        assert r.generation == value
    else:
        with pytest.raises(TypeError):
            r.generation = value
        assert r.generation == 5


@pytest.mark.parametrize("value", ["room", b"room", bytearray(b"room")])
def test_text_accepts_str_and_bytes(value):
    r = ReferenceSpace()
    r.type = value
    assert r.type == "room"


@pytest.mark.parametrize("bad", [1, None, ["room"]])
def test_text_refusals(bad):
    r = ReferenceSpace()
    r.id = "keep"
    with pytest.raises(TypeError):
        r.id = bad
    assert r.id == "keep"


def test_invalid_utf8_raises_on_read_and_keeps_value():
    r = ReferenceSpace()
    r.id = b"\xff\xfe"
    for _ in range(2):
        with pytest.raises(UnicodeDecodeError):
            r.id


def test_capability_defaults():
    c = CapabilitySnapshot()
    assert [c.head_pose, c.action_input, c.hand_tracking, c.hand_interaction, c.eye_gaze] == [False] * 5
    assert c.enabled_extensions == []


@pytest.mark.parametrize("value", [
    ("a", "b"), ["a", "b"], {"x": "a", "y": "b"}.values(), (s for s in ["a", "b"]), {"a": 1, "b": 2}.keys(),
    map(str, ["a", "b"]), [b"a", "b"],
])
def test_extension_list_accepts_iterables(value):
    c = CapabilitySnapshot()
    c.enabled_extensions = value
    assert c.enabled_extensions == ["a", "b"]


def test_extension_list_accepts_sets():
    c = CapabilitySnapshot()
    c.enabled_extensions = {"x", "y"}
    assert sorted(c.enabled_extensions) == ["x", "y"]
    c.enabled_extensions = frozenset()
    assert c.enabled_extensions == []


@pytest.mark.parametrize("bad", ["ab", b"ab", ["a", 1], None, 3])
def test_extension_list_refusals(bad):
    c = CapabilitySnapshot()
    c.enabled_extensions = ["keep"]
    with pytest.raises(TypeError):
        c.enabled_extensions = bad
    assert c.enabled_extensions == ["keep"]


def test_extension_list_is_a_copy():
    c = CapabilitySnapshot()
    c.enabled_extensions = ["a", "a"]
    read = c.enabled_extensions
    read.append("b")
    assert c.enabled_extensions == ["a", "a"]
