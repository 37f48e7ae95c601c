"""How the reader maps what a runtime gives of a hand where no runtime here emulates it:
XR_FB_hand_tracking_aim's aim state, shaped as the extension describes it, through the
pointing rule."""

import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:0] = [os.path.join(ROOT, "examples")]
from openxr import reader, xr  # noqa: E402
from spatial_intent import pointing  # noqa: E402

AIM = ((0.2, 1.4, -0.3), (0.0, 0.0, -1.0))
HEAD = ((0.0, 1.6, 0.0), (0.0, 0.0, -1.0))
VALID, PINCH, GESTURE = (xr.HAND_TRACKING_AIM_VALID_BIT_FB, xr.HAND_TRACKING_AIM_INDEX_PINCHING_BIT_FB,
                         xr.HAND_TRACKING_AIM_SYSTEM_GESTURE_BIT_FB)
COMPUTED = 0x1


@pytest.mark.parametrize("status, aiming, pinched", [
    (COMPUTED, False, False), (COMPUTED | VALID, True, False), (COMPUTED | VALID | PINCH, True, True),
    (COMPUTED | PINCH, False, True), (COMPUTED | VALID | PINCH | GESTURE, False, False),
])
def test_the_aim_state_says_whether_the_hand_aims_and_pinches(status, aiming, pinched):
    hand = reader.fb_aim("left", status, AIM, 2, None)
    assert (hand.aiming, hand.pinched, hand.runtime_ray) == (aiming, pinched, True)


def test_a_hand_aiming_by_its_aim_state_points_and_its_pinch_selects():
    rule = pointing.Pointer()
    statuses = [COMPUTED | VALID, COMPUTED | VALID | PINCH, COMPUTED | VALID | PINCH | GESTURE, COMPUTED]
    seen = [rule.frame(10 * (i + 1), pointing.Inputs(HEAD, hands=[reader.fb_aim("left", s, AIM, 2, None)]))
            for i, s in enumerate(statuses)]
    # The system gesture is the runtime's: the hand stops pointing and its pinch is not a select.
    assert [(c.source, c.select[:2]) for c in seen] == [("hand", (False, False)), ("hand", (True, True)),
                                                       ("head", (False, True)), ("head", (False, False))]
