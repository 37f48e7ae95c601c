"""A view of an optional record survives the field being emptied: it is detached from
the frame and keeps showing the values it had; writes through it never reach the frame."""
import gc

import pytest

from _spatial import IntentTimeline, PointingIntent, Pose, Ray, SelectState, SpatialHit, SpatialIntentFrame, Vec3

LONG_ID = "panel-" + "x" * 200


def frame_with_target():
    f = SpatialIntentFrame()
    hit = SpatialHit()
    hit.host_id = LONG_ID
    hit.position = Vec3(1, 2, 3)
    f.target = hit
    return f


def test_stale_target_view_keeps_old_values():
    f = frame_with_target()
    view = f.target
    position = view.position
    f.target = None
    gc.collect()
    assert view.host_id == LONG_ID
    assert (position.x, position.y, position.z) == (1.0, 2.0, 3.0)
    assert view.position is position
    assert f.target is None


def test_writes_through_stale_views_stay_detached():
    f = frame_with_target()
    view = f.target
    position = view.position
    f.target = None
    view.host_id = "other"
    position.x = 42.0
    view.normal = Vec3(0, 0, 1)
    assert f.target is None
    f.target = SpatialHit()
    assert f.target.position.x == 0.0 and f.target.host_id is None
    assert view.host_id == "other" and view.position.x == 42.0


def test_stale_view_outlives_frame():
    f = frame_with_target()
    view = f.target.position
    f.target = None
    del f
    gc.collect()
    assert view.y == 2.0


@pytest.mark.parametrize("name, value, read", [
    ("pointing", PointingIntent(), lambda v: v.ray.origin),
    ("left_hand_pose", Pose(), lambda v: v.position),
    ("right_hand_pose", Pose(), lambda v: v.orientation),
    ("gaze_ray", Ray(), lambda v: v.direction),
    ("primary_select", SelectState(), lambda v: v),
])
def test_every_optional_record_detaches(name, value, read):
    f = SpatialIntentFrame()
    setattr(f, name, value)
    outer = getattr(f, name)
    inner = read(outer)
    setattr(f, name, None)
    assert getattr(f, name) is None
    # Both views still work and still belong together.
    assert read(outer) is inner
    setattr(f, name, value)
    assert getattr(f, name) is not outer


def test_only_nested_view_held():
    f = SpatialIntentFrame()
    f.pointing = PointingIntent()
    f.pointing.ray.origin.x = 4.0
    origin = f.pointing.ray.origin  # the pointing and ray views live only through this one
    gc.collect()
    f.pointing = None
    assert origin.x == 4.0
    origin.x = 5.0
    assert f.pointing is None


def test_replacing_a_present_value_keeps_views_live():
    f = frame_with_target()
    view = f.target
    hit = SpatialHit()
    hit.host_id = "new"
    f.target = hit
    assert view.host_id == "new" and f.target is view


def test_stale_view_in_event_context():
    t = IntentTimeline()
    t.push(frame_with_target())
    e = t.submit_text("x", 0)
    view = e.spatial_context.target
    e.spatial_context.target = None
    assert view.host_id == LONG_ID
    assert e.spatial_context.target is None


def test_repeated_detach_cycles():
    f = SpatialIntentFrame()
    views = []
    for i in range(50):
        hit = SpatialHit()
        hit.host_id = LONG_ID + str(i)
        f.target = hit
        views.append(f.target)
        f.target = None
    gc.collect()
    assert [v.host_id for v in views] == [LONG_ID + str(i) for i in range(50)]
