"""The recogniser process with a settable end-pointer (python -m spatial_intent.listen):
what it refuses, in one line, and what it hears, clean and under steady noise."""

import array
import random
import shutil

import pytest

from spatial_intent import speech
from spatial_intent.commands import CommandGrammar

needs_speech = pytest.mark.skipif(any(shutil.which(p) is None for p in ("pocketsphinx", "espeak-ng", "sox")),
                                  reason="the recogniser's library and model, espeak-ng and sox")


@pytest.fixture(scope="module")
def grammar(tmp_path_factory):
    path = tmp_path_factory.mktemp("listen") / "commands.gram"
    path.write_text(CommandGrammar(["calendar", "map", "notes"]).jsgf())
    return str(path)


RANGES = ("-vad_window is 0.03 to 10 s, -vad_ratio above 0 up to 1, -vad_mode 0 to 3, -vad_lead 0 to 5 s, "
          "-vad_tail 0 up to the window")


@needs_speech
@pytest.mark.parametrize("options, message", [
    (["-vad_mode", "4"], RANGES),
    (["-vad_window", "0"], RANGES),
    (["-vad_tail", "1", "-vad_window", "0.5"], RANGES),
    (["-vad_ratio", "x"], "an end-pointer setting is not a number: could not convert string to float: 'x'"),
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
