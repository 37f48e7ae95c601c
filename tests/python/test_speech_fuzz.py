"""The recogniser's lines under any input: bytes, and JSON of any shape near the
listener's format. A line is read or refused with ValueError, and whatever is read goes
through the judge and the pairing without raising."""

from __future__ import annotations

import json

from hypothesis import given, settings
from hypothesis import strategies as st

from spatial_intent import speech
from spatial_intent.commands import CommandGrammar

JSON = st.recursive(st.none() | st.booleans() | st.integers(-(2**70), 2**70) | st.floats() | st.text(max_size=8),
                    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=6), inner, max_size=3),
                    max_leaves=8)
WORDS = st.sampled_from(["put", "that", "that(2)", "there", "it", "<sil>", "[NOISE]", "calendar", "open"]) | JSON
NUMBER = st.floats(allow_nan=True, allow_infinity=True) | st.integers(-(2**70), 2**70) | JSON
SEGMENT = st.fixed_dictionaries({"t": WORDS, "b": NUMBER, "d": NUMBER}, optional={
    "c": NUMBER, "p": NUMBER, "alt": st.dictionaries(WORDS.filter(lambda w: isinstance(w, str)), NUMBER, max_size=3)
    | JSON}) | JSON
LINE = st.fixed_dictionaries({"w": st.lists(SEGMENT, max_size=5) | JSON}, optional={"c": NUMBER, "bg": st.text(max_size=20)
                                                                                   | JSON, "t": JSON})
COMMANDS = CommandGrammar(["calendar"])


def read_or_refuse(line):
    try:
        return speech.read_pocketsphinx(line)
    except ValueError as e:
        assert str(e) and "\n" not in str(e)
        return None


@settings(max_examples=500, deadline=None)
@given(st.binary(max_size=120))
def test_any_bytes_are_read_or_refused(raw):
    read_or_refuse(raw)


@settings(max_examples=1500, deadline=None)
@given(LINE)
def test_any_line_near_the_format_is_read_or_refused_and_what_is_read_is_judged(result):
    u = read_or_refuse(json.dumps(result))
    if u is None:
        return
    for rule in (speech.REJECTION, speech.Rejection(None, None, None), speech.Rejection(0.0, 0.0, 0.0)):
        kept = speech.accepted(COMMANDS, u, 1, rule)
        if kept is not None:
            assert speech.pairings(kept) is not None
