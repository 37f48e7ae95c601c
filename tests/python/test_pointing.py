"""The rule every host applies to choose what points and what selects: a case table of
input sequences, frame by frame, each played as given and with left and right swapped."""

import math

import pytest

from spatial_intent import pointing
from spatial_intent.pointing import (BONES, FINGERS, Controller, Hand, Inputs, Pointer, Transient, finger_ratio,
                                     held_to_point)

HEAD = ((0.0, 1.6, 0.0), (0.0, 0.0, -1.0))
EYES = ((0.0, 1.6, 0.0), (0.3, 0.0, -1.0))
RAYS = {"right": ((0.2, 1.4, -0.3), (0.1, 0.0, -1.0)), "left": ((-0.2, 1.4, -0.3), (-0.1, 0.0, -1.0))}
TRANSIENT = ((0.0, 1.6, 0.0), (-0.3, 0.1, -1.0))
NAN = ((math.nan, 1.4, -0.3), (0.0, 0.0, -1.0))
STEP_NS = 10_000_000  # 100 frames a second
OTHER = {"left": "right", "right": "left"}


def finger(ratio_kind: str, base: tuple[float, float, float]) -> list[tuple[float, float, float]]:
    """A finger's five joints from its knuckle base: straight along -z, half bent (round a
    cup), or curled back towards the palm."""
    x, y, z = base
    bends = {"out": [(0, 0, -1)] * 5, "half": [(0, 0, -1), (0, 0, -1), (0, -1, 0), (0, -1, 0), (0, -1, 0)],
             "in": [(0, 0, -1), (0, 0, -1), (0, 0, -1), (0, 0, 1), (0, 0, 1)]}[ratio_kind]
    points = []
    for dx, dy, dz in bends:
        x, y, z = x + 0.03 * dx, y + 0.03 * dy, z + 0.03 * dz
        points.append((x, y, z))
    return points


POSTURES = {"point": ("out", "in", "in", "in"), "open": ("out",) * 4, "fist": ("in",) * 4,
            "cup": ("half",) * 4, "relaxed": ("out", "half", "half", "half")}


def joints(posture: str, pinched: bool) -> dict:
    """A hand's joints by their WebXR names, the wrist at the origin."""
    named = {"wrist": (0.0, 0.0, 0.0)}
    for name, kind in zip(FINGERS, POSTURES[posture]):
        for bone, point in zip(BONES, finger(kind, (0.0, 0.0, 0.0))):
            named[f"{name}-{bone}"] = point
    tip = named["index-finger-tip"]
    named["thumb-tip"] = (tip[0] + (0.01 if pinched else 0.08), tip[1], tip[2])
    return named


def hand(side, posture="point", pinched=False, **kw):
    """A hand as a runtime without hand aim reports it: joints only, the ray derived."""
    return Hand(side, kw.pop("ray", RAYS[side]), joints=joints(posture, pinched), runtime_ray=False, **kw)


def aimed(side, aiming=True, pinched=False, **kw):
    """A hand as a runtime with hand aim reports it: its aim ray, aiming and pinch."""
    return Hand(side, kw.pop("ray", RAYS[side]), aiming=aiming, pinched=pinched, **kw)


def webxr_hand(side, pinched=False, posture="open"):
    """A WebXR hand: the runtime's target ray and its select, joints for the posture."""
    return Hand(side, RAYS[side], joints=joints(posture, pinched), pinched=pinched)


def controller(side, pressed=False, moving=True, **kw):
    return ("controller", side, pressed, moving, kw)


def frames(*given, eyes=False, head=HEAD):
    """Inputs from compact descriptions: a Hand or Transient as it is; ("controller", side,
    pressed, moving, extra) a controller that moves each frame unless told to lie still."""
    return [(inputs, eyes, head) for inputs in given]


def play(sequence, swap=False):
    """(source, side, pressed, changed) of each frame, 10 ms apart."""
    rule = Pointer()
    out = []
    for i, (inputs, eyes, head) in enumerate(sequence):
        now = STEP_NS * (i + 1)
        controllers, hands, transients = [], [], []
        for item in inputs:
            if isinstance(item, Hand):
                side = OTHER[item.side] if swap else item.side
                ray = mirror(item.ray) if swap else item.ray
                joints_ = item.joints
                hands.append(Hand(side, ray, item.confidence, joints_, item.pinched, item.aiming, item.runtime_ray))
            elif isinstance(item, Transient):
                transients.append(Transient(item.key, item.ray, item.pressed, item.confidence,
                                            OTHER[item.side] if swap else item.side))
            else:
                _, side, pressed, moving, kw = item
                side = OTHER[side] if swap else side
                origin, direction = RAYS[side]
                if moving:  # a controller in the hand trembles and moves
                    origin = (origin[0] + 0.01 * (i % 2), origin[1], origin[2])
                ray = kw.get("ray", (origin, direction))
                extra = {k: v for k, v in kw.items() if k != "ray"}
                controllers.append(Controller(side, mirror(ray) if swap and ray is NAN else ray, pressed, **extra))
        choice = rule.frame(now, Inputs(head, eyes=EYES if eyes else None, controllers=controllers, hands=hands,
                                        transients=transients))
        side = (OTHER[choice.side] if swap and choice.side in OTHER else choice.side)
        select = choice.select
        out.append((choice.source, side, None if select is None else select[0],
                    None if select is None else select[1]))
    return out


def mirror(ray):
    (x, y, z), (dx, dy, dz) = ray
    return (-x, y, z), (-dx, dy, dz)


R, L = "right", "left"
# The case table. Each frame's expectation: (source, side, pressed, changed); pressed and
# changed None when no input can select.
CASES = {
    # A pinch of either hand selects for the eyes, with the other hand in view.
    "left pinch selects for the eyes": (
        frames([hand(R, "relaxed"), hand(L, "relaxed")], [hand(R, "relaxed"), hand(L, "relaxed", True)],
               [hand(R, "relaxed"), hand(L, "relaxed", True)], [hand(R, "relaxed"), hand(L, "relaxed")], eyes=True),
        [("eye_gaze", None, False, False), ("eye_gaze", None, True, True), ("eye_gaze", None, True, False),
         ("eye_gaze", None, False, True)]),
    "left pinch selects for the head": (
        frames([hand(R, "relaxed"), hand(L, "relaxed")], [hand(R, "relaxed"), hand(L, "relaxed", True)],
               [hand(R, "relaxed"), hand(L, "relaxed")]),
        [("head", None, False, False), ("head", None, True, True), ("head", None, False, True)]),
    # The select stays with the hand that pinched first until it opens; the other's
    # pinch, held meanwhile, counts only when it is made again.
    "the select stays with the pinching hand": (
        frames([hand(R, "relaxed"), hand(L, "relaxed")], [hand(R, "relaxed", True), hand(L, "relaxed")],
               [hand(R, "relaxed", True), hand(L, "relaxed", True)], [hand(R, "relaxed"), hand(L, "relaxed", True)],
               [hand(R, "relaxed"), hand(L, "relaxed", True)], [hand(R, "relaxed"), hand(L, "relaxed")],
               [hand(R, "relaxed"), hand(L, "relaxed", True)], eyes=True),
        [("eye_gaze", None, False, False), ("eye_gaze", None, True, True), ("eye_gaze", None, True, False),
         ("eye_gaze", None, False, True), ("eye_gaze", None, False, False), ("eye_gaze", None, False, False),
         ("eye_gaze", None, True, True)]),
    # Postures: only the index out with the others curled points; a fist, a hand round a
    # cup or an open hand leaves the pointing to the eyes.
    "a fist does not point": (frames([hand(R, "fist")], [hand(R, "fist", True)], eyes=True),
                              [("eye_gaze", None, False, False), ("eye_gaze", None, True, True)]),
    "a hand round a cup does not point": (frames([hand(R, "cup")], eyes=True), [("eye_gaze", None, False, False)]),
    "an open hand does not point by posture": (frames([hand(R, "open")]), [("head", None, False, False)]),
    "a hand held to point points, and keeps pointing while it pinches": (
        frames([hand(R, "point")], [hand(R, "open", True)], [hand(R, "open")], eyes=True),
        [("hand", R, False, False), ("hand", R, True, True), ("eye_gaze", None, False, True)]),
    # The runtime's own aim: an open hand it says aims points.
    "the runtime's aim points whatever the posture": (
        frames([aimed(R)], [aimed(R, pinched=True)], [aimed(R, aiming=False)], eyes=True),
        [("hand", R, False, False), ("hand", R, True, True), ("eye_gaze", None, False, True)]),
    # WebXR: a hand's select is along its own target ray; without eyes it points there.
    "a hand pinching by the runtime's select points along its ray": (
        frames([webxr_hand(R)], [webxr_hand(R, True)], [webxr_hand(R, True)], [webxr_hand(R)]),
        [("head", None, False, False), ("hand", R, True, True), ("hand", R, True, False),
         ("head", None, False, True)]),
    "with eyes, a hand pinching by the runtime's select selects for them": (
        frames([webxr_hand(R)], [webxr_hand(R, True)], [webxr_hand(R)], eyes=True),
        [("eye_gaze", None, False, False), ("eye_gaze", None, True, True), ("eye_gaze", None, False, True)]),
    # Transient pointers: gaze and pinch, present only while the action lasts.
    "a transient pointer is the eyes for the life of its action": (
        frames([webxr_hand(R)], [Transient("1", TRANSIENT, side=R)], [Transient("1", TRANSIENT, side=R)], [],
               [Transient("2", TRANSIENT, side=R)], []),
        [("head", None, False, False), ("eye_gaze", R, True, True), ("eye_gaze", R, True, False),
         ("head", None, False, True), ("eye_gaze", R, True, True), ("head", None, False, True)]),
    # Controllers of either side; the one last acted with leads.
    "a controller of either side points and selects": (
        frames([controller(L)], [controller(L, True)], [controller(L)]),
        [("controller", L, False, False), ("controller", L, True, True), ("controller", L, False, True)]),
    "the controller pressed last leads": (
        frames([controller(R), controller(L)], [controller(R), controller(L)], [controller(R), controller(L, True)],
               [controller(R), controller(L)]),
        [("controller", R, False, False), ("controller", R, False, False), ("controller", L, True, True),
         ("controller", L, False, True)]),
    "a hand that begins to point leads over a controller held before": (
        frames([controller(R)], [controller(R), hand(L, "point")], [controller(R), hand(L, "point", True)]),
        [("controller", R, False, False), ("hand", L, False, False), ("hand", L, True, True)]),
    # A press in progress keeps its pointer: the other hand does not take a drag over.
    "a drag is not taken over": (
        frames([hand(L, "point")], [hand(L, "point", True)], [hand(L, "point", True), hand(R, "point")],
               [hand(L, "point"), hand(R, "point")], [hand(L, "open"), hand(R, "point")]),
        [("hand", L, False, False), ("hand", L, True, True), ("hand", L, True, False), ("hand", L, False, True),
         ("hand", R, False, False)]),
    # A degraded input gives way to a fully tracked one.
    "an orientation-only controller gives way to a tracked hand": (
        frames([controller(R, confidence=pointing.ORIENTATION_ONLY)],
               [controller(R, confidence=pointing.ORIENTATION_ONLY), hand(L, "point")]),
        [("controller", R, False, False), ("hand", L, False, False)]),
    # Dropouts: a press ends with a release at the frame its input is lost, and resumes
    # when it comes back still pressed.
    "a hand lost mid-drag": (
        frames([hand(R, "point")], [hand(R, "point", True)], [], [hand(R, "open", True)], [hand(R, "open")]),
        [("hand", R, False, False), ("hand", R, True, True), ("head", None, False, True), ("hand", R, True, True),
         ("head", None, False, True)]),
    "a pinching hand lost while the eyes point": (
        frames([hand(R, "relaxed"), hand(L, "relaxed")], [hand(R, "relaxed", True), hand(L, "relaxed")],
               [hand(L, "relaxed")], [hand(R, "relaxed", True), hand(L, "relaxed")],
               [hand(R, "relaxed"), hand(L, "relaxed")], eyes=True),
        [("eye_gaze", None, False, False), ("eye_gaze", None, True, True), ("eye_gaze", None, False, True),
         ("eye_gaze", None, True, True), ("eye_gaze", None, False, True)]),
    "a controller lost mid-press, nothing else in view": (
        frames([controller(R)], [controller(R, True)], []),
        [("controller", R, False, False), ("controller", R, True, True), ("head", None, False, True)]),
    "a controller found pressed makes no press until pressed again": (
        frames([controller(R, True)], [controller(R)], [controller(R, True)]),
        [("controller", R, False, False), ("controller", R, False, False), ("controller", R, True, True)]),
    "a hand found pinching makes no press until it pinches again": (
        frames([], [hand(R, "relaxed", True)], [hand(R, "relaxed")], [hand(R, "relaxed", True)], eyes=True),
        [("eye_gaze", None, None, None), ("eye_gaze", None, False, False), ("eye_gaze", None, False, False),
         ("eye_gaze", None, True, True)]),
    # The controller put down mid-press: its press ends there, and the hand's pinch,
    # already held, counts only once it is let go and made again.
    "a controller put down mid-press": (
        frames([controller(R), hand(L, "relaxed")], [controller(R, True), hand(L, "relaxed", True)],
               [hand(L, "relaxed", True)], [hand(L, "relaxed")], [hand(L, "relaxed", True)]),
        [("controller", R, False, False), ("controller", R, True, True), ("head", None, False, True),
         ("head", None, False, False), ("head", None, True, True)]),
    # Non-finite rays point nowhere: the next input points instead.
    "a non-finite controller ray gives way": (
        frames([controller(R, ray=NAN)], [controller(R, ray=NAN), hand(L, "point")], eyes=True),
        [("eye_gaze", None, None, None), ("hand", L, False, False)]),
    "a non-finite hand ray gives way to the eyes": (
        frames([hand(R, "point", ray=NAN)], eyes=True), [("eye_gaze", None, False, False)]),
    "a non-finite head is no pointing": (frames([], head=NAN), [(None, None, None, None)]),
}
# A controller left lying on the table: still for longer than the rule's rest.
STILL = math.ceil(pointing.REST_S * 1e9 / STEP_NS) + 1
CASES["a controller lying still gives way to a hand that points, and to the eyes"] = (
    frames(*[[controller(R, moving=False)]] * STILL, [controller(R, moving=False), hand(L, "point", True)],
           [controller(R, moving=False), hand(L, "point")], [controller(R, moving=False)]) +
    frames([controller(R, moving=False)], eyes=True),
    [("controller", R, False, False)] * STILL + [("hand", L, False, False), ("hand", L, False, False),
                                                 ("controller", R, False, False), ("eye_gaze", None, None, None)])


@pytest.mark.parametrize("swap", [False, True], ids=["as given", "sides swapped"])
@pytest.mark.parametrize("name", list(CASES))
def test_case_table(name, swap):
    sequence, expected = CASES[name]
    assert play(sequence, swap) == expected


def test_a_press_reports_the_runtimes_time_and_a_takeover_its_own():
    rule = Pointer()
    head = Inputs(HEAD)
    held = [Controller(R, RAYS[R], False), Controller(R, ((0.3, 1.4, -0.3), (0, 0, -1)), True, changed_ns=15)]
    assert rule.frame(10, Inputs(HEAD, controllers=held[:1])).select == (False, False, 0)
    assert rule.frame(20, Inputs(HEAD, controllers=held[1:])).select == (True, True, 15)
    assert rule.frame(30, head).select == (False, True, 30)


def test_a_pinch_that_takes_over_from_a_press_comes_at_the_next_frame_with_its_own_time():
    rule = Pointer()
    frames_ = [Inputs(HEAD, controllers=[Controller(R, RAYS[R])], hands=[aimed(L, aiming=False)]),
               Inputs(HEAD, controllers=[Controller(R, RAYS[R], True)], hands=[aimed(L, aiming=False)]),
               Inputs(HEAD, hands=[aimed(L, pinched=True)]), Inputs(HEAD, hands=[aimed(L, pinched=True)])]
    seen = [rule.frame(10 * (i + 1), f) for i, f in enumerate(frames_)]
    assert [(c.source, c.select) for c in seen] == [("controller", (False, False, 0)), ("controller", (True, True, 20)),
                                                    ("hand", (False, True, 30)), ("hand", (True, True, 30))]


@pytest.mark.parametrize("posture, ratio, points", [
    ("point", (1.0, 0.2, 0.2, 0.2), True), ("fist", (0.2,) * 4, False), ("open", (1.0,) * 4, False),
    ("cup", (0.72,) * 4, False), ("relaxed", (1.0, 0.72, 0.72, 0.72), False),
])
def test_postures(posture, ratio, points):
    named = joints(posture, False)
    assert [finger_ratio(named, f) for f in FINGERS] == pytest.approx(ratio, abs=0.01)
    assert held_to_point(named) is points


def test_a_hand_missing_joints_or_with_nan_joints_does_not_point():
    named = joints("point", False)
    assert not held_to_point({k: v for k, v in named.items() if k != "ring-finger-tip"})
    assert not held_to_point({**named, "index-finger-tip": (math.nan, 0.0, 0.0)})


@pytest.mark.parametrize("apart, was_closed, closed", [
    (0.02, False, True), (0.03, False, False), (0.03, True, True), (0.05, True, False), (math.nan, True, False),
])
def test_a_pinch_opens_only_past_a_wider_distance_than_it_closes_at(apart, was_closed, closed):
    named = {"thumb-tip": (0.0, 0.0, 0.0), "index-finger-tip": (apart, 0.0, 0.0)}
    assert pointing.pinch_closed(named, was_closed) is closed


def test_transient_pointers_leave_nothing_behind():
    rule = Pointer()
    for i in range(1000):
        rule.frame(10 * (i + 1), Inputs(HEAD, transients=[Transient(str(i // 2), TRANSIENT)] if i % 3 else []))
    assert len(rule.seen) <= 1


def test_a_controller_whose_ray_turns_non_finite_mid_press_releases_and_resumes():
    rule = Pointer()
    good, bad = Controller(L, RAYS[L], True), Controller(L, NAN, True)
    seen = [rule.frame(10 * (i + 1), Inputs(HEAD, controllers=[c])).select
            for i, c in enumerate([Controller(L, RAYS[L]), good, bad, good, Controller(L, RAYS[L])])]
    assert seen == [(False, False, 0), (True, True, 20), (False, True, 30), (True, True, 40), (False, True, 50)]


@pytest.mark.parametrize("gone_s, resumed", [(0.4, True), (0.6, False)])
def test_a_press_resumes_only_after_a_short_dropout(gone_s, resumed):
    rule = Pointer()
    pinching = Inputs(HEAD, hands=[aimed(R, pinched=True)])
    rule.frame(STEP_NS, Inputs(HEAD, hands=[aimed(R)]))
    assert rule.frame(2 * STEP_NS, pinching).select[:2] == (True, True)
    assert rule.frame(3 * STEP_NS, Inputs(HEAD)).select[:2] == (False, True)
    back = rule.frame(3 * STEP_NS + int(gone_s * 1e9), pinching)
    assert back.source == "hand" and back.select[:2] == ((True, True) if resumed else (False, False))


@pytest.mark.parametrize("choice, source, select", [
    (pointing.Choice("hand", RAYS[L], pointing.ORIENTATION_ONLY, L, (True, True, 20)), "HAND", (True, True, 20)),
    (pointing.Choice("eye_gaze", EYES, 2, None, None), "EYE_GAZE", None),
    (pointing.Choice(None, None, 0, None, (False, True, 30)), None, (False, True, 30)),
])
def test_a_choice_fills_the_frames_pointing_and_select(choice, source, select):
    import _spatial as sp

    frame = sp.SpatialIntentFrame()
    choice.fill(frame)
    if source is None:
        assert frame.pointing is None
    else:
        p = frame.pointing
        assert p.source == getattr(sp.PointingSource, source)
        assert p.confidence == sp.TrackingConfidence(choice.confidence)
        o, d = p.ray.origin, p.ray.direction
        assert (o.x, o.y, o.z, d.x, d.y, d.z) == pytest.approx((*choice.ray[0], *choice.ray[1]))
    s = frame.primary_select
    assert (None if s is None else (s.pressed, s.changed, s.last_change_time_ns)) == select
