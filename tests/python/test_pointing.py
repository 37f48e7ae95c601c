"""The rule both example hosts use to choose what points and what selects."""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "examples", "shared"))
from pointing import Hand, Pointer, curled, pinch_closed  # noqa: E402

HEAD = ((0.0, 1.6, 0.0), (0.0, 0.0, -1.0))
GAZE = ((0.0, 1.6, 0.0), (0.3, 0.0, -1.0))
RAY = ((0.2, 1.4, -0.3), (0.0, 0.0, -1.0))


def controller(pressed=False, at=0):
    return (*RAY, pressed, at)


def hand(pointing=True, pinched=False):
    return Hand(*RAY, pointing, pinched)


@pytest.mark.parametrize("controller_, hands, gaze, source, side", [
    (controller(), {"right": hand(), "left": hand()}, GAZE, "controller", "right"),
    (None, {"right": hand(), "left": hand()}, GAZE, "hand", "right"),
    (None, {"right": hand(False), "left": hand()}, GAZE, "hand", "left"),
    (None, {"right": hand(False), "left": None}, GAZE, "eye_gaze", None),
    (None, {"right": hand(False, True), "left": None}, GAZE, "eye_gaze", None),  # gaze and pinch
    (None, {"right": hand(False), "left": None}, None, "head", None),
    (None, {"right": None, "left": None}, None, "head", None),
])
def test_the_preferred_input_points(controller_, hands, gaze, source, side):
    choice = Pointer().choose(1, HEAD, controller_, hands, gaze)
    assert (choice.source, choice.side) == (source, side)
    assert (choice.origin, choice.direction) == {"eye_gaze": GAZE, "head": HEAD}.get(source, RAY)


def play(frames):
    """(source, select) of each frame of (controller, right hand, gaze) inputs, 10 ns apart."""
    pointer = Pointer()
    return [(c.source, c.select) for c in (pointer.choose(10 * (i + 1), HEAD, con, {"right": right}, gaze)
                                           for i, (con, right, gaze) in enumerate(frames))]


def test_a_pointing_hand_keeps_pointing_while_its_pinch_uncurls_the_finger():
    seen = play([(None, hand(), GAZE), (None, hand(False, True), GAZE), (None, hand(False, True), GAZE),
                 (None, hand(False), GAZE)])
    assert [source for source, _ in seen] == ["hand", "hand", "hand", "eye_gaze"]
    assert [select for _, select in seen] == [(False, False, 0), (True, True, 20), (True, False, 20),
                                             (False, True, 40)]


def test_a_relaxed_hand_pinching_selects_for_the_eyes():
    seen = play([(None, hand(False), GAZE), (None, hand(False, True), GAZE), (None, hand(False), GAZE)])
    assert seen == [("eye_gaze", (False, False, 0)), ("eye_gaze", (True, True, 20)), ("eye_gaze", (False, True, 30))]


@pytest.mark.parametrize("frames, selects", [
    # The controller put down mid-press: its press ends there, and the hand's pinch,
    # already held, counts only once it is let go and made again.
    ([(controller(), hand(), None), (controller(True, 15), hand(), None), (None, hand(True, True), None),
      (None, hand(True, True), None), (None, hand(), None), (None, hand(True, True), None)],
     [(False, False, 0), (True, True, 15), (False, True, 30), (False, False, 30), (False, False, 30),
      (True, True, 60)]),
    # The controller put down mid-press, the hand open: one release, and nothing after.
    ([(controller(), hand(), None), (controller(True, 15), hand(), None), (None, hand(), None),
      (None, hand(), None)],
     [(False, False, 0), (True, True, 15), (False, True, 30), (False, False, 30)]),
    # A controller found pressed makes no press until it is pressed again.
    ([(controller(True, 5), None, None), (controller(False, 15), None, None), (controller(True, 25), None, None)],
     [(False, False, 0), (False, False, 0), (True, True, 25)]),
    # A hand found already pinching makes no press until it pinches again.
    ([(None, None, GAZE), (None, hand(False, True), GAZE), (None, hand(False), GAZE), (None, hand(False, True), GAZE)],
     [None, (False, False, 0), (False, False, 0), (True, True, 40)]),
    # A hand lost mid-pinch: no select while it is gone, and no edge when it comes back open.
    ([(None, hand(False, True), GAZE), (None, None, GAZE), (None, hand(False), GAZE)],
     [(False, False, 0), None, (False, False, 0)]),
    # The same pinch goes on when the eyes take over from the hand that pinches.
    ([(None, hand(), GAZE), (None, hand(True, True), GAZE), (None, hand(False, True), GAZE),
      (None, hand(False, False), GAZE)],
     [(False, False, 0), (True, True, 20), (True, False, 20), (False, True, 40)]),
])
def test_a_change_of_input_leaves_no_stuck_select_and_makes_no_phantom_press(frames, selects):
    assert [select for _, select in play(frames)] == selects


@pytest.mark.parametrize("chain, bent", [
    ([(0, 0, 0), (0, 0, -0.03), (0, 0, -0.08), (0, 0, -0.11), (0, 0, -0.13), (0, 0, -0.15)], False),
    ([(0, 0, 0), (0, 0, -0.03), (0, 0, -0.08), (0, -0.03, -0.08), (0, -0.03, -0.06), (0, -0.015, -0.05)], True),
    ([(0, 0, 0)] * 6, False),  # a hand squeezed to a point measures nothing
])
def test_a_finger_is_curled_when_its_tip_comes_back_towards_the_wrist(chain, bent):
    assert curled(chain) is bent


@pytest.mark.parametrize("apart, was_closed, closed", [
    (0.02, False, True), (0.03, False, False), (0.03, True, True), (0.05, True, False),
])
def test_a_pinch_opens_only_past_a_wider_distance_than_it_closes_at(apart, was_closed, closed):
    assert pinch_closed((0, 0, 0), (apart, 0, 0), was_closed) is closed
