import gc

import pytest
from conftest import make_full_frame

from _spatial import IntentTimeline, PointingIntent, Ray, SpatialHit, SpatialIntentFrame, Vec3, resolve_target, to_jsonl

CAST_MESSAGE = ("Unable to cast Python instance of type {} to C++ type '?' "
                "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)")


def hit(host_id="panel", x=1.0):
    h = SpatialHit()
    h.position, h.normal, h.host_id = Vec3(x, 2, 3), Vec3(0, 0, 1), host_id
    return h


class Recorder:
    def __init__(self, result=None):
        self.calls, self.result = [], result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


def never(_ray):
    raise AssertionError("raycast must not be called")


def test_signature_and_docstring():
    doc = resolve_target.__doc__
    assert doc.startswith("resolve_target(frame: _spatial.SpatialIntentFrame, raycast: collections.abc.Callable)"
                          " -> _spatial.SpatialIntentFrame")
    assert "Ground a copied frame using a host Python callback." in doc


def test_no_pointing_empties_target_without_calling():
    f = make_full_frame()
    f.pointing = None
    out = resolve_target(f, never)
    assert out.target is None and f.target is not None
    assert out.gaze_ray is not None


def test_raycast_gets_one_ray_copy():
    f = make_full_frame()
    rec = Recorder()
    resolve_target(f, rec)
    (args, kwargs), = rec.calls
    assert kwargs == {} and len(args) == 1 and type(args[0]) is Ray
    ray = args[0]
    assert (ray.origin.x, ray.origin.y, ray.origin.z) == (0.1, 1.2, -0.3)
    assert (ray.direction.z) == -1.0


def test_changing_the_handed_ray_leaves_frames_alone():
    f = make_full_frame()

    def cast(ray):
        ray.origin = Vec3(9, 9, 9)
        return hit()
    out = resolve_target(f, cast)
    assert f.pointing.ray.origin.x == 0.1 and out.pointing.ray.origin.x == 0.1


def test_live_view_is_handed_over():
    f = make_full_frame()
    view = f.pointing.ray
    rec = Recorder()
    resolve_target(f, rec)
    assert rec.calls[0][0][0] is view


def test_none_result_empties_target():
    f = make_full_frame()
    out = resolve_target(f, lambda ray: None)
    assert out.target is None and f.target.host_id == 'panel "A"'


def test_hit_is_copied():
    f = make_full_frame()
    h = hit("door")
    out = resolve_target(f, lambda ray: h)
    assert (out.target.position.x, out.target.normal.z, out.target.host_id) == (1.0, 1.0, "door")
    assert out.target is not h
    h.host_id = "changed"
    h.position.x = 50.0
    assert out.target.host_id == "door" and out.target.position.x == 1.0


def test_result_is_a_full_copy():
    f = make_full_frame()
    out = resolve_target(f, lambda ray: None)
    assert out is not f
    f.target = None
    assert to_jsonl(out) == to_jsonl(f)


def test_subclass_result_accepted():
    class Tagged(SpatialHit):
        pass
    t = Tagged()
    t.host_id = "sub"
    assert resolve_target(make_full_frame(), lambda ray: t).target.host_id == "sub"


@pytest.mark.parametrize("result, type_text", [(5, "<class 'int'>"), ((1, 2), "<class 'tuple'>"),
                                               (Ray(), "<class '_spatial.Ray'>"), ("hit", "<class 'str'>")])
def test_wrong_results(result, type_text):
    f = make_full_frame()
    with pytest.raises(RuntimeError) as info:
        resolve_target(f, lambda ray: result)
    assert str(info.value) == CAST_MESSAGE.format(type_text)
    assert f.target.host_id == 'panel "A"'


def test_exception_passes_through_unchanged():
    error = ValueError("scene gone")

    def cast(ray):
        raise error
    with pytest.raises(ValueError) as info:
        resolve_target(make_full_frame(), cast)
    assert info.value is error


@pytest.mark.parametrize("frame", [None, 5, "f", Ray()])
def test_bad_frame(frame):
    with pytest.raises(TypeError):
        resolve_target(frame, never)


@pytest.mark.parametrize("raycast", [None, 5, "cast"])
def test_bad_raycast(raycast):
    with pytest.raises(TypeError):
        resolve_target(make_full_frame(), raycast)


def test_keywords():
    out = resolve_target(raycast=lambda ray: hit("kw"), frame=make_full_frame())
    assert out.target.host_id == "kw"


class TestHostileCallbacks:
    def test_reentrant(self):
        f = make_full_frame()

        def cast(ray):
            inner = resolve_target(f, lambda r: hit("inner"))
            return hit(inner.target.host_id + "+outer")
        assert resolve_target(f, cast).target.host_id == "inner+outer"

    def test_uses_a_timeline(self):
        t = IntentTimeline()
        f = make_full_frame()

        def cast(ray):
            t.push(f)
            return hit(str(t.latest().timestamp_ns))
        out = resolve_target(f, cast)
        t.push(out)
        assert t.submit_text("what is this?", 123).spatial_context.target.host_id == "123"

    def test_mutates_input(self):
        f = make_full_frame()

        def cast(ray):
            f.timestamp_ns = 999
            f.pointing = None
            f.capabilities.enabled_extensions = []
            return hit()
        out = resolve_target(f, cast)
        assert out.timestamp_ns == 123 and out.pointing is not None
        assert out.capabilities.enabled_extensions == ["ext.a", "ext.b"]
        assert f.pointing is None and f.timestamp_ns == 999

    def test_empties_pointing_while_holding_the_ray_view(self):
        f = make_full_frame()
        view = f.pointing.ray
        seen = []

        def cast(ray):
            f.pointing = None
            gc.collect()
            seen.append((ray is view, ray.origin.x, ray.direction.z))
            return None
        out = resolve_target(f, cast)
        assert seen == [(True, 0.1, -1.0)]
        assert out.pointing.ray.origin.x == 0.1 and f.pointing is None
        assert view.origin.y == 1.2

    def test_replaces_pointing(self):
        f = make_full_frame()

        def cast(ray):
            p = PointingIntent()
            p.ray = Ray(Vec3(5, 5, 5), Vec3())
            f.pointing = p
            return hit()
        assert resolve_target(f, cast).pointing.ray.origin.x == 0.1

    def test_drops_last_references(self):
        holder = {"frame": make_full_frame()}

        def cast(ray):
            holder.clear()
            gc.collect()
            return hit("dropped")
        out = resolve_target(holder["frame"], cast)
        assert out.target.host_id == "dropped" and out.timestamp_ns == 123

    def test_returns_then_mutates_hit_via_del(self):
        def cast(ray):
            h = hit("temp")
            del ray
            return h
        assert resolve_target(make_full_frame(), cast).target.host_id == "temp"

    def test_callback_raising_from_a_nested_call(self):
        f = make_full_frame()

        def cast(ray):
            return resolve_target(f, lambda r: 1 / 0)
        with pytest.raises(ZeroDivisionError):
            resolve_target(f, cast)
