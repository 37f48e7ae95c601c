"""The spoken-command grammar: what it accepts as a command, what it leaves as talk, the
JSGF it hands the recogniser, and whole sentences synthesised with their word times."""

import random
import re
import shutil

import pytest

from spatial_intent import speech
from spatial_intent.commands import CommandGrammar

OBJECTS = ["calendar", "map", "notes", "lamp", "table"]


@pytest.fixture(scope="module")
def grammar():
    return CommandGrammar(OBJECTS)


@pytest.mark.parametrize("said, verb", [
    ("put that there", "put"),
    ("move this next to the lamp", "move"),
    ("what is that", "what is"),
    ("what are those", "what are"),
    ("open the calendar", "open"),
    ("drop it behind that table", "drop"),
    ("PUT That THERE", "put"),
])
def test_a_command_is_read_with_its_verb(grammar, said, verb):
    command = grammar.command(said.split())
    assert command is not None and command.verb == verb and command.words == tuple(said.lower().split())


@pytest.mark.parametrize("said", [
    "put that",                      # a placing verb without its place
    "open there",                    # a place where a thing belongs
    "what is the",                   # a partial result: the object never came
    "open the sofa",                 # not an object of the scene
    "i think that is great",         # talk
    "put that there please",         # a word past the end
    "",
    "open that open that",
])
def test_what_is_not_a_command_is_refused(grammar, said):
    assert grammar.command(said.split()) is None


def test_every_drawn_sentence_is_a_command_and_the_draw_is_seeded(grammar):
    drawn = grammar.sentences(random.Random(3), 300)
    assert drawn == grammar.sentences(random.Random(3), 300)
    assert all(grammar.command(s.split()) is not None for s in drawn)
    verbs = {grammar.command(s.split()).verb for s in drawn}
    assert verbs == {"open", "close", "delete", "select", "show", "hide", "remove", "put", "move", "copy", "drop",
                     "what is", "what are"}
    assert any(name in s.split() for s in drawn for name in OBJECTS)


def test_the_filler_loop_shares_no_word_with_the_commands(grammar):
    text = grammar.jsgf()
    filler = set(re.search(r"^<filler> = (.*);$", text, re.M).group(1).split(" | "))
    assert filler and not filler & grammar.vocabulary()
    assert {"this", "that", "there", "put", "the", "calendar"} <= grammar.vocabulary()
    assert re.search(r"^public <commands> = <command> \| <filler>\+;$", text, re.M)
    without = CommandGrammar(OBJECTS, filler=()).jsgf()
    assert "<filler>" not in without and "public <commands> = <command>;" in without
    mine = CommandGrammar(OBJECTS, filler=["yeah", "that", "yeah", "okay"]).jsgf()
    assert "<filler> = yeah | okay;" in mine


@pytest.mark.parametrize("objects, filler, message", [
    ([], (), "at least one object name"),
    (["café"], (), "'café' is not words of letters"),
    (["panel 3"], (), "'panel 3' is not words of letters"),
    (OBJECTS, ["ok", "um-hm"], "the filler word 'um-hm' is not a word"),
    (OBJECTS, [None], "the filler word None is not a word"),
])
def test_a_grammar_it_cannot_build_is_refused_saying_why(objects, filler, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        CommandGrammar(objects, filler=filler)


BRING = ("bring", "take", "rotate", "pin", "pick up")
PLACE = ("place", "send")


@pytest.mark.parametrize("said, verb", [
    ("bring that", "bring"), ("pick up the lamp", "pick up"), ("rotate it", "rotate"),
    ("place this there", "place"), ("send them next to the table", "send"), ("what is that", "what is"),
])
def test_a_hosts_own_verbs_make_its_commands(said, verb):
    g = CommandGrammar(OBJECTS, verbs=BRING, placing=PLACE)
    command = g.command(said.split())
    assert command is not None and command.verb == verb
    assert "bring" in g.vocabulary() and "open" not in g.vocabulary()
    assert g.command("open that".split()) is None and g.command("put that there".split()) is None
    assert g.command("place that".split()) is None  # a placing verb takes a place
    drawn = g.sentences(random.Random(1), 200)
    assert {g.command(d.split()).verb for d in drawn} == {*BRING, *PLACE, "what is", "what are"}


def test_a_grammar_with_placing_verbs_alone_has_no_rule_for_the_others():
    g = CommandGrammar(OBJECTS, verbs=(), placing=["put"])
    assert g.command("put that there".split()) is not None and g.command("open that".split()) is None
    assert "() <thing>" not in g.jsgf()


@pytest.mark.parametrize("verbs, placing, message", [
    ((), (), "needs at least one verb"),
    (["open", "put"], ["put"], "the verb 'put' is given both"),
    (["go to"], (), "the verb 'go to' has 'to', a word commands use"),
    (["this"], (), "the verb 'this' has 'this'"),
    (["zoom-in"], (), "the verb 'zoom-in' is not words of letters"),
    ("open", (), "verbs are a list of names, not one string"),
    ([3], (), "the verb 3 is not a string"),
])
def test_a_vocabulary_it_cannot_build_is_refused_saying_why(verbs, placing, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        CommandGrammar(OBJECTS, verbs=verbs, placing=placing)


def test_an_object_name_of_several_words_is_one_object():
    g = CommandGrammar(["coffee  table", "Lamp"])
    assert g.command("put that on the coffee table".split()) is not None
    assert g.command("put that on the coffee".split()) is None
    assert g.command("open the lamp".split()) is not None


needs_espeak = pytest.mark.skipif(shutil.which("espeak-ng") is None or shutil.which("sox") is None,
                                  reason="espeak-ng and sox synthesise the speech")


@needs_espeak
@pytest.mark.parametrize("voice, rate", [("en-us", 130), ("en-us+f3", 190)])
def test_a_sentence_is_spoken_whole_with_each_word_where_its_sound_is(voice, rate):
    samples, words = speech.speak_sentence("put That lamp there", voice, rate)
    assert [w.text for w in words] == ["put", "that", "lamp", "there"]
    seconds = len(samples) / speech.SAMPLE_RATE
    assert words[0].begin_s < 0.1 and all(a.end_s == b.begin_s for a, b in zip(words, words[1:]))
    assert all(w.end_s - w.begin_s > 0.08 for w in words) and words[-1].end_s <= seconds

    def loudness(w):
        part = samples[round(w.begin_s * speech.SAMPLE_RATE):round(w.end_s * speech.SAMPLE_RATE)]
        return max(abs(v) for v in part)
    assert all(loudness(w) > 3000 for w in words)  # sound in every word's span, none before the first
    assert max(abs(v) for v in samples[:round(words[0].begin_s * speech.SAMPLE_RATE)] or [0]) < 300
    slower = speech.speak_sentence("put that lamp there", voice, rate - 60)[1]
    assert slower[-1].begin_s > words[-1].begin_s * 1.2


@needs_espeak
@pytest.mark.parametrize("text, voice, message", [
    ("put that 2", "en-us", "is not words of letters"),
    ("", "en-us", "is not words of letters"),
    ("put that there", "xx-nothing", "espeak-ng has no voice 'xx-nothing'"),
])
def test_a_sentence_it_cannot_speak_is_refused_in_one_line(text, voice, message):
    with pytest.raises((ValueError, speech.SpeechError), match=re.escape(message)):
        speech.speak_sentence(text, voice)
