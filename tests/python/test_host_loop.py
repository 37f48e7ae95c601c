"""The example host loop's scene: what its raycast grounds, and what it never does."""

import math
import os
import sys

import pytest

import _spatial as sp

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "examples"))
from host_loop import raycast  # noqa: E402


def ray(origin, direction):
    return sp.Ray(sp.Vec3(*origin), sp.Vec3(*direction))


@pytest.mark.parametrize("origin, direction", [
    ((math.nan, 1.5, 0.0), (0.0, 0.0, -1.0)), ((0.0, 1.5, 0.0), (math.nan, math.nan, math.nan)),
    ((0.0, 1.5, 0.0), (0.0, 0.0, -math.inf)), ((-math.inf, 1.5, 0.0), (0.0, 0.0, -1.0)),
    ((0.0, 1.5, 0.0), (0.0, 0.0, 0.0)),
])
def test_a_ray_that_is_not_finite_meets_nothing(origin, direction):
    assert raycast(ray(origin, direction)) is None
    frame = sp.SpatialIntentFrame()
    p = sp.PointingIntent()
    p.ray = ray(origin, direction)
    frame.pointing = p
    assert sp.resolve_target(frame, raycast).target is None


def test_a_finite_ray_meets_the_panel_before_it():
    hit = raycast(ray((0.0, 1.5, 0.0), (-0.9, 0.0, -2.0)))
    assert hit is not None and hit.host_id == "panel:calendar"
    assert (hit.position.x, hit.position.z) == pytest.approx((-0.9, -2.0))
