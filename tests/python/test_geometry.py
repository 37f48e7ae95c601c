import math

import pytest

from _spatial import Pose, Quaternion, Ray, Vec3


def components(v):
    return (v.x, v.y, v.z)


def test_defaults():
    q = Quaternion()
    assert (q.x, q.y, q.z, q.w) == (0.0, 0.0, 0.0, 1.0)
    p = Pose()
    assert components(p.position) == (0.0, 0.0, 0.0)
    assert (p.orientation.x, p.orientation.w) == (0.0, 1.0)
    r = Ray()
    assert components(r.origin) == components(r.direction) == (0.0, 0.0, 0.0)


def test_positional_constructors():
    v = Vec3(1, 2, 3)
    assert components(v) == (1.0, 2.0, 3.0) and all(type(c) is float for c in components(v))
    q = Quaternion(0.1, 0.2, 0.3, 0.4)
    assert (q.x, q.y, q.z, q.w) == (0.1, 0.2, 0.3, 0.4)
    r = Ray(Vec3(1, 0, 0), Vec3(0, 0, -1))
    assert components(r.origin) == (1.0, 0.0, 0.0) and components(r.direction) == (0.0, 0.0, -1.0)


@pytest.mark.parametrize("call", [
    lambda: Vec3(x=1, y=2, z=3),
    lambda: Quaternion(x=0, y=0, z=0, w=1),
    lambda: Ray(origin=Vec3(), direction=Vec3()),
    lambda: Pose(Vec3(), Quaternion()),
    lambda: Vec3(1, 2),
    lambda: Ray(Vec3(), Quaternion()),
])
def test_constructor_refusals(call):
    with pytest.raises(TypeError):
        call()


class Indexable:
    def __index__(self):
        return 7


class Floaty:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("value, expected", [(3, 3.0), (Indexable(), 7.0), (Floaty(), 2.5), (-0.0, -0.0)])
def test_scalar_conversions(value, expected):
    v = Vec3()
    v.y = value
    assert v.y == expected and math.copysign(1, v.y) == math.copysign(1, expected)


@pytest.mark.parametrize("value", [math.inf, -math.inf, 5e-324, 1.7976931348623157e308])
def test_doubles_stored_unchanged(value):
    v = Vec3(value, value, value)
    assert v.x == value


def test_nan_stored():
    assert math.isnan(Vec3(math.nan, 0, 0).x)


@pytest.mark.parametrize("bad", ["1.0", None, [1.0], Vec3()])
def test_scalar_refusal_keeps_value(bad):
    v = Vec3(1, 2, 3)
    with pytest.raises(TypeError):
        v.x = bad
    assert v.x == 1.0


def test_view_writes_reach_owner():
    p = Pose()
    p.position.x = 5.0
    assert p.position.x == 5.0
    view = p.orientation
    view.w = 0.5
    assert p.orientation.w == 0.5


def test_view_identity_while_alive():
    p = Pose()
    first = p.position
    assert p.position is first


def test_view_keeps_owner_alive():
    p = Pose()
    p.position.z = 9.0
    view = p.position
    del p
    assert view.z == 9.0
    view.z = 1.0
    assert view.z == 1.0


def test_assignment_copies():
    p = Pose()
    v = Vec3(1, 2, 3)
    p.position = v
    v.x = 100.0
    assert p.position.x == 1.0
    assert p.position is not v


def test_assignment_from_another_view_copies():
    a, b = Ray(Vec3(1, 1, 1), Vec3()), Ray()
    b.origin = a.origin
    a.origin.x = 5.0
    assert b.origin.x == 1.0


@pytest.mark.parametrize("attr, bad", [("position", Quaternion()), ("position", None), ("orientation", Vec3()),
                                       ("position", (1, 2, 3))])
def test_record_refusal_keeps_value(attr, bad):
    p = Pose()
    p.position.x = 4.0
    with pytest.raises(TypeError):
        setattr(p, attr, bad)
    assert p.position.x == 4.0 and p.orientation.w == 1.0


def test_equality_is_identity_and_no_dynamic_attributes():
    assert Vec3(1, 2, 3) != Vec3(1, 2, 3)
    with pytest.raises(AttributeError):
        Vec3().w = 1.0


def test_subclassable():
    class Point(Vec3):
        pass

    pose = Pose()
    pose.position = Point(1, 2, 3)
    assert pose.position.y == 2.0
