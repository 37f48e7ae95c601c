"""The recogniser process with a settable end-pointer (python -m spatial_intent.listen):
what it refuses, in one line, and what it hears, clean and under steady noise."""

import array
import os
import random
import select
import shutil
import subprocess
import time

import pytest

from spatial_intent import listen, speech
from spatial_intent.commands import CommandGrammar

needs_speech = pytest.mark.skipif(any(shutil.which(p) is None for p in ("pocketsphinx", "espeak-ng", "sox")),
                                  reason="the recogniser's library and model, espeak-ng and sox")


@pytest.fixture(scope="module")
def grammar(tmp_path_factory):
    path = tmp_path_factory.mktemp("listen") / "commands.gram"
    path.write_text(CommandGrammar(["calendar", "map", "notes"]).jsgf())
    return str(path)


RANGES = ("-vad_window is 0.03 to 10 s, -vad_ratio above 0 up to 1, -vad_mode 0 to 3, -vad_lead 0 to 5 s, "
          "-vad_tail 0 up to the window, -join 0 to 5 s")


@needs_speech
@pytest.mark.parametrize("options, message", [
    (["-vad_mode", "4"], RANGES),
    (["-vad_window", "0"], RANGES),
    (["-vad_tail", "1", "-vad_window", "0.5"], RANGES),
    (["-vad_ratio", "x"], "an end-pointer setting is not a number: could not convert string to float: 'x'"),
    (["-join", "9"], RANGES),
    (["-beam"], "options come as -NAME VALUE pairs, not '-beam'"),
    (["-no_such_setting", "1"], "Unknown argument: no_such_setting"),  # the library's own word for it
    (["-dict", "/nonexistent/words.dict"], "-dict /nonexistent/words.dict: No such file or directory"),
])
def test_a_setting_it_cannot_use_stops_it_with_one_line(options, message):
    with pytest.raises(speech.SpeechError) as caught:
        speech.recognise(bytes(3200), program=speech.LISTENER, options=options)
    assert str(caught.value) == f"the speech recogniser stopped (exit status 1): {message}"


def spoken(text, snr_db=None):
    """The sentence with a second of silence either side; under white noise `snr_db`
    below the speech, seeded."""
    samples, words = speech.speak_sentence(text, "en-us", 160)
    audio = [0] * speech.SAMPLE_RATE + list(samples) + [0] * speech.SAMPLE_RATE
    if snr_db is not None:
        power = sum(v * v for v in samples) / len(samples)
        sigma = (power / 10 ** (snr_db / 10)) ** 0.5
        rng = random.Random(5)
        audio = [max(-32768, min(32767, round(v + rng.gauss(0, sigma)))) for v in audio]
    return array.array("h", audio).tobytes(), [speech.Placed(w.text, w.begin_s + 1, w.end_s + 1) for w in words]


@needs_speech
@pytest.mark.parametrize("snr_db", [None, 10])
def test_a_command_is_heard_with_its_word_times_even_under_steady_noise(grammar, snr_db):
    audio, truth = spoken("delete that", snr_db)
    [heard] = speech.recognise(audio, grammar, program=speech.LISTENER)
    assert [w.text for w in heard.words] == ["delete", "that"]
    assert all(abs(h.begin_s - t.begin_s) <= 0.1 for h, t in zip(heard.words, truth))


@needs_speech
def test_audio_that_ends_mid_utterance_is_still_heard(grammar):
    audio, _ = spoken("delete that")
    cut = audio[:len(audio) - speech.SAMPLE_RATE * 2]  # the trailing second of silence gone
    assert [u.text for u in speech.recognise(cut, grammar, program=speech.LISTENER)] == ["delete that"]


@needs_speech
def test_a_background_decoding_hears_talk_the_grammar_forced_onto_a_command(grammar):
    """The sentence the benchmark's grammar heard as "what are it": the general model hears
    a longer run of words, and the command is refused; a command is kept."""
    options = (*speech.RECOGNISER_OPTIONS, "-background", "yes")
    talk, _ = spoken("the meeting moved to friday")
    command, _ = spoken("delete that")
    heard = speech.recognise(talk + command, grammar, program=speech.LISTENER, options=options)
    assert all(u.background is not None for u in heard) and heard
    commands = CommandGrammar(["calendar", "map", "notes"])
    kept = [u.text for u in heard if speech.command(commands, u) is not None]
    assert kept == ["delete that"], [(u.text, u.background) for u in heard]


FLOOR = 10.0


@pytest.mark.parametrize("levels, first, last, begins", [
    # A pause given to the word: its sound begins where the level leaves the floor,
    # a weak consonant (30 dB) before the vowel (60 dB) included.
    ([10] * 12 + [30, 30, 60, 60, 60], 0, 17, 12),
    ([10] * 3 + [12] * 5 + [45, 60, 55], 2, 11, 8),
    # The recogniser gave the word's first sound to the pause before it.
    ([10] * 20 + [30, 40, 60, 60, 60], 22, 25, 20),
    # Words running into each other: sound all the way back, and the begin stays.
    ([50] * 20 + [40, 35, 60, 60], 20, 24, 20),
    ([50, 40, 35, 60, 60], 0, 5, 0),
    # Nothing clear of the floor (a word heard in noise): the recogniser's begin stays.
    ([10, 12, 14, 15, 18], 0, 5, 0),
    ([], 3, 3, 3),
])
def test_a_word_begins_where_its_sound_rises_inside_the_recogniser_s_span(levels, first, last, begins):
    assert listen.onset([float(v) for v in levels], FLOOR, first, last) == begins


def test_loudness_is_measured_in_steps_of_five_milliseconds():
    quiet, loud = bytes(2 * listen.ONSET_HOP), array.array("h", [1000, -1000] * (listen.ONSET_HOP // 2)).tobytes()
    levels = listen.loudness(quiet + loud + b"\x01")  # a stray byte is no sample
    assert len(levels) == 2 and levels[0] == 0.0 and abs(levels[1] - 60.0) < 0.01


def paused(*pieces, pause_s=0.6, snr_db=30):
    """The pieces spoken one after another with a pause between them, and a second of
    silence either side, under a microphone's faint steady noise; each word's true place."""
    audio, truth = [0] * speech.SAMPLE_RATE, []
    for k, piece in enumerate(pieces):
        if k:
            audio += [0] * round(pause_s * speech.SAMPLE_RATE)
        samples, words = speech.speak_sentence(piece, "en-us", 160)
        first, last = speech.sounding(samples)
        at = len(audio) / speech.SAMPLE_RATE - first / speech.SAMPLE_RATE
        truth += [speech.Placed(w.text, max(w.begin_s + at, len(audio) / speech.SAMPLE_RATE), w.end_s + at)
                  for w in words]
        audio += list(samples[first:last])
    audio += [0] * speech.SAMPLE_RATE
    power = sum(v * v for v in audio) / sum(1 for v in audio if v)
    sigma, rng = (power / 10 ** (snr_db / 10)) ** 0.5, random.Random(5)
    audio = [max(-32768, min(32767, round(v + rng.gauss(0, sigma)))) for v in audio]
    return array.array("h", audio).tobytes(), truth


@needs_speech
def test_a_command_with_a_pause_before_its_place_is_heard_whole_and_timed_by_its_sound(grammar):
    """The end-pointer closes "put that" in the pause; the listener holds it, hears it
    again with what follows, and "there" begins where its sound does, not in the pause."""
    audio, truth = paused("put that", "there")
    heard = speech.recognise(audio, grammar, program=speech.LISTENER)
    assert [u.text for u in heard] == ["put that there"]
    there = heard[0].words[-1]
    assert abs(there.begin_s - truth[-1].begin_s) <= 0.04, (there, truth[-1])
    commands = CommandGrammar(["calendar", "map", "notes"])
    assert speech.command(commands, heard[0]) is not None


@needs_speech
def test_talk_with_a_deictic_word_in_it_makes_no_command(grammar):
    audio, _ = spoken("i think that is fine")
    heard = speech.recognise(audio, grammar, program=speech.LISTENER)
    commands = CommandGrammar(["calendar", "map", "notes"])
    assert heard and all(w.confidence is not None for u in heard for w in u.words)
    assert [u.text for u in heard if speech.command(commands, u) is not None] == []


@pytest.mark.parametrize("heard, sentence", [
    ("put that there", True), ("delete that", True), ("delete that notes", True), ("a be do", True),
    ("put that", False), ("what is", False), ("", False), ("there", False),
])
def test_the_grammar_says_which_results_are_whole_sentences(grammar, heard, sentence):
    """What stops mid-command ("put that", before a pause) is held for what follows."""
    sentences = listen.sentences(grammar)
    assert (sentences.fullmatch("".join(w + " " for w in heard.split())) is not None) is sentence


@pytest.mark.parametrize("text", [
    "#JSGF V1.0;\ngrammar g;\npublic <a> = open [the] (door | window)+ /2/ {tag};\n",
    "#JSGF V1.0;\n// a comment\ngrammar g;\n<b> = red | green;\npublic <a> = paint it <b>;\n",
])
def test_a_jsgf_grammar_s_optional_parts_repeats_and_rules_are_followed(tmp_path, text):
    path = tmp_path / "g.gram"
    path.write_text(text)
    sentences = listen.sentences(str(path))
    said = ["open door ", "open the window door "] if "open" in text else ["paint it red ", "paint it green "]
    assert all(sentences.fullmatch(s) for s in said)
    assert not sentences.fullmatch("open " if "open" in text else "paint it ")


def test_a_grammar_it_cannot_follow_holds_nothing(tmp_path):
    path = tmp_path / "g.gram"
    path.write_text("#JSGF V1.0;\ngrammar g;\n<a> = <missing>;\n")
    assert listen.sentences(str(path)) is None and listen.sentences(str(tmp_path / "none.gram")) is None


@needs_speech
def test_a_command_cut_short_and_never_finished_is_handed_over_after_the_join_window(grammar):
    """What is held waits for the audio to run past the window, not for the stream to
    end: a host that keeps its microphone open still gets its line."""
    audio, _ = paused("put that")
    listener = subprocess.Popen([*speech.LISTENER, *speech.RECOGNISER_OPTIONS, "-jsgf", grammar, "live", "-"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        listener.stdin.write(audio + bytes(3 * speech.SAMPLE_RATE * speech.SAMPLE_BYTES))
        listener.stdin.flush()
        ready, _, _ = select.select([listener.stdout], [], [], 20)
        assert ready, "no line while the stream stayed open"
        line = listener.stdout.readline()
        utterance = speech.read_pocketsphinx(line)
        assert utterance is None or speech.command(CommandGrammar(["calendar", "map", "notes"]), utterance) is None
    finally:
        listener.kill()
        listener.wait()


def test_without_the_phone_model_the_judge_says_which_file_it_needs(tmp_path):
    """An acoustic model whose folder lacks the phone loop: one line naming the file."""
    model = "/usr/share/pocketsphinx/model/en-us/en-us"
    if not os.path.isdir(model):
        pytest.skip("the recogniser's US English model")
    (tmp_path / "model").mkdir()
    (tmp_path / "model" / "en-us").symlink_to(model)
    grammar_path = tmp_path / "g.gram"
    grammar_path.write_text(CommandGrammar(["map"]).jsgf())
    with pytest.raises(speech.SpeechError) as caught:
        speech.recognise(bytes(3200), str(grammar_path), program=speech.LISTENER,
                         options=("-hmm", str(tmp_path / "model" / "en-us")))
    phones = tmp_path / "model" / "en-us-phone.lm.bin"
    assert str(caught.value) == ("the speech recogniser stopped (exit status 1): "
                                 f"-confidence needs the phone model {phones}: apt install pocketsphinx-en-us")
