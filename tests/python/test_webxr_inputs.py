"""The WebXR host's reading of what the page reports of the browser's input sources: each
source mapped by what WebXR says it is, sequences shaped as the WebXR standard defines
them (a transient pointer present only while its action lasts, select ending when a
source goes away), and every report a page should not send refused in one line."""

import json
import math
import os
import sys

import pytest

from spatial_intent import pointing

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "examples"))
from webxr import inputs  # noqa: E402

HEAD = ((0.0, 1.6, 0.0), (0.0, 0.0, -1.0))
LOOK_LEFT = [0.0, 0.2588190451, 0.0, 0.9659258263]  # 30 degrees to the left


def source(id_, mode, handedness="none", **kw):
    s = {"id": id_, "mode": mode, "handedness": handedness, "profiles": kw.pop("profiles", []),
         "ray": {"position": [0.1, 1.4, -0.3], "orientation": kw.pop("orientation", [0, 0, 0, 1])},
         "emulated": False, "selecting": False, "buttons": None}
    s.update(kw)
    return s


def hand_joints(pinched):
    named = {"wrist": [0, 0, 0], "thumb-tip": [0.01 if pinched else 0.08, 0, -0.15]}
    for finger in pointing.FINGERS:
        for i, bone in enumerate(pointing.BONES):
            named[f"{finger}-{bone}"] = [0, 0, -0.03 * (i + 1)]  # every finger out: an open hand
    return named


def report(*sources, hit=None):
    return json.dumps({"sources": list(sources), "hit": hit})


def play(reports):
    rule = pointing.Pointer()
    out = []
    for i, text in enumerate(reports):
        given, _ = inputs.inputs(inputs.read(text), HEAD, pointing.POSITION_AND_ORIENTATION)
        c = rule.frame(10_000_000 * (i + 1), given)
        out.append((c.source, c.select[:2] if c.select else None))
    return out


def test_gaze_and_pinch_by_transient_pointers_selects_along_the_ray_each_gives():
    # Gaze and pinch as a browser gives it: no source until the pinch, then one whose ray
    # stays where the user looked when it began, gone when the pinch ends.
    seen = play([report(), report(source(7, "transient-pointer", "right", orientation=LOOK_LEFT, selecting=True)),
                 report(source(7, "transient-pointer", "right", orientation=LOOK_LEFT, selecting=True)), report(),
                 report(source(8, "transient-pointer", "left", selecting=True)), report()])
    assert seen == [("head", None), ("eye_gaze", (True, True)), ("eye_gaze", (True, False)),
                    ("head", (False, True)), ("eye_gaze", (True, True)), ("head", (False, True))]
    given, _ = inputs.inputs(inputs.read(report(source(7, "transient-pointer", "right", orientation=LOOK_LEFT))),
                             HEAD, 2)
    assert given.transients[0].ray[1] == pytest.approx((-0.5, 0.0, -math.sqrt(3) / 2))


@pytest.mark.parametrize("profiles, eyes", [(["eye-gaze"], True), ([], False), (["generic-gaze"], False)])
def test_a_gaze_source_is_the_head_unless_it_says_it_follows_the_eyes(profiles, eyes):
    given, _ = inputs.inputs(inputs.read(report(source(1, "gaze", profiles=profiles, orientation=LOOK_LEFT))), HEAD, 2)
    assert (given.eyes is not None) == eyes
    assert given.head[1] == (pytest.approx((-0.5, 0.0, -math.sqrt(3) / 2)) if not eyes else HEAD[1])
    choice = pointing.Pointer().frame(1, given)
    assert choice.source == ("eye_gaze" if eyes else "head")


def test_a_hands_select_is_the_browsers_and_ends_when_the_source_goes_away():
    def hand(selecting):
        return source(3, "tracked-pointer", "left", joints=hand_joints(False), selecting=selecting,
                      buttons=[[False, 0]])
    # The open left hand selects by the browser's select along its own target ray; the
    # source goes away mid-select, which ends the select there.
    seen = play([report(hand(False)), report(hand(True)), report(hand(True)), report()])
    assert seen == [("head", (False, False)), ("hand", (True, True)), ("hand", (True, False)),
                    ("head", (False, True))]


@pytest.mark.parametrize("side", ["left", "right"])
def test_a_controller_of_either_side_selects_by_its_select_or_its_first_button(side):
    def pad(pressed, selecting=False):
        return source(5, "tracked-pointer", side, buttons=[[pressed, 1.0 if pressed else 0.0]], selecting=selecting)
    seen = play([report(pad(False)), report(pad(True)), report(pad(False)), report(pad(False, True))])
    assert seen == [("controller", (False, False)), ("controller", (True, True)), ("controller", (False, True)),
                    ("controller", (True, True))]
    given, sides = inputs.inputs(inputs.read(report(pad(False))), HEAD, 2)
    assert sides == {side: 5} and given.controllers[0].side == side


def test_a_non_finite_ray_the_page_writes_as_null_points_nowhere():
    pad = source(5, "tracked-pointer", "right", buttons=[[False, 0]])
    pad["ray"]["position"] = [None, 1.4, -0.3]
    assert play([report(pad)]) == [("head", None)]


def test_a_screen_source_does_not_point():
    assert play([report(source(2, "screen", selecting=True))]) == [("head", None)]


@pytest.mark.parametrize("text, why", [
    ("", "the inputs are not JSON"),
    ("[]", "the inputs are not {"),
    ('{"sources":[],"hit":null,"x":1}', "the inputs are not {"),
    (report(*[source(i + 1, "gaze") for i in range(9)]), "the inputs' sources are not a list of at most 8"),
    (report({"id": 1, "mode": "gaze", "handedness": "none"}), "sources[0] has members"),
    (report(source(0, "gaze")), "sources[0].id is not a source's number"),
    (report(source(True, "gaze")), "sources[0].id is not a source's number"),
    (report(source(1, "laser")), "sources[0].mode is not one of"),
    (report(source(1, "gaze", "both")), "sources[0].handedness is not one of"),
    (report(source(1, "gaze", profiles="eye-gaze")), "sources[0].profiles is not a list of names"),
    (report(source(1, "gaze", selecting="yes")), "sources[0].selecting or .emulated"),
    (report(source(1, "tracked-pointer", buttons=[[1, 0]])), "sources[0].buttons[0] is not [pressed, value]"),
    (report(source(1, "tracked-pointer", buttons=[[True, "1"]])), "sources[0].buttons[0] is not a number"),
    (report(source(1, "tracked-pointer", joints={"wrist": [0, 0]})), "sources[0].joints[\"wrist\"] is not 3 numbers"),
    (report(source(1, "tracked-pointer", ray={"position": [0, 0, 0]})), "sources[0].ray is not a pose"),
    (report(source(1, "tracked-pointer", ray={"position": [0, 0, 0], "orientation": [0, 0, 1]})),
     "sources[0].ray.orientation is not 4 numbers"),
    (report(hit={"source": 1, "position": [0, 0, 0]}), "the inputs' hit is not"),
    (report(hit={"source": 1, "position": [0, 0, "x"], "normal": [0, 1, 0]}), "hit.position is not a number"),
    ("[" * 100_000 + "]" * 100_000, "the inputs are not"),
])
def test_a_report_a_page_should_not_send_is_refused_in_one_line(text, why):
    with pytest.raises(inputs.Refused) as refused:
        inputs.read(text)
    assert str(refused.value).startswith(why) and "\n" not in str(refused.value)


from hypothesis import given, settings, strategies as st  # noqa: E402

JSON = st.recursive(st.none() | st.booleans() | st.integers(-2**60, 2**60) | st.floats(allow_nan=False) | st.text(max_size=8),
                    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(st.text(max_size=10), inner, max_size=6),
                    max_leaves=30)
KEYS = st.sampled_from(["id", "mode", "handedness", "profiles", "ray", "emulated", "selecting", "buttons", "joints"])
SOURCE = st.dictionaries(KEYS, JSON | st.sampled_from(["gaze", "tracked-pointer", "transient-pointer", "left"]))


@settings(max_examples=400, deadline=None)
@given(st.one_of(JSON.map(json.dumps), st.lists(SOURCE, max_size=4).map(lambda s: report(*s)), st.text(max_size=40)))
def test_any_report_is_read_or_refused_and_what_is_read_the_rule_takes(text):
    try:
        read = inputs.read(text)
    except inputs.Refused as e:
        assert "\n" not in str(e)
        return
    given_, _ = inputs.inputs(read, HEAD, 2)
    pointing.Pointer().frame(1, given_)
