"""Speech in the loop: the recogniser's output read, words put on the host's clock, each
deictic word paired with the frame in force when it was spoken; and the real recogniser
on speech synthesised here."""

import array
import json
import math
import os
import shutil
import struct
import time
import wave

import pytest

import _spatial as sp
from spatial_intent import speech
from spatial_intent.commands import CommandGrammar

LINE = ('{"b":0.480,"d":1.290,"p":0.5,"t":"put that there","w":[{"b":0.480,"d":0.010,"p":1,"t":"<s>"},'
        '{"b":0.480,"d":0.300,"p":1,"t":"put"},{"b":0.780,"d":0.190,"p":1,"t":"that(2)"},'
        '{"b":0.970,"d":0.500,"p":1,"t":"there"},{"b":1.470,"d":0.300,"p":0.5,"t":"<sil>"},'
        '{"b":1.600,"d":0.100,"p":1,"t":"[NOISE]"},{"b":1.760,"d":0.010,"p":1,"t":"</s>"}]}')


def test_a_result_line_gives_its_words_without_markers():
    u = speech.read_pocketsphinx(LINE)
    assert u.text == "put that there"
    assert [(w.begin_s, w.end_s) for w in u.words] == [(0.48, 0.78), (0.78, 0.97), (0.97, 1.47)]
    assert speech.read_pocketsphinx('{"b":0,"d":1.49,"p":1,"t":"","w":[]}') is None


@pytest.mark.parametrize("background, words, refused", [
    (None, None, False),
    ("what is <sil> that", ("what", "is", "that"), False),  # as many words as the command: no talk
    ("i think that is fine", ("i", "think", "that", "is", "fine"), True),  # two more than the command's three
    ("put that there [NOISE] now", ("put", "that", "there", "now"), False),  # one more: within the margin
])
def test_a_background_decoding_refuses_a_command_it_heard_as_a_longer_run_of_talk(background, words, refused):
    line = LINE if background is None else LINE[:-1] + f',"bg":"{background}"}}'
    u = speech.read_pocketsphinx(line)
    assert u.background == words and speech.background_refuses(u) is refused
    assert speech.background_refuses(u, margin=5) is False


def judged_line(utterance_c, words):
    """A result line of the listener with its judge's scores: `words` as (text, begin,
    confidence, rivals)."""
    segments = [{"b": b, "d": 0.2, "p": 1, "t": t, "c": c, **({"alt": alt} if alt else {})} for t, b, c, alt in words]
    return json.dumps({"b": 0.5, "d": 1.0, "p": 1, "t": "", "c": utterance_c, "w": segments})


def test_a_line_with_the_judge_s_scores_gives_them_per_word():
    u = speech.read_pocketsphinx(judged_line(-30.5, [("hide", 0.5, -20.0, None), ("that(2)", 0.7, -25.0, {"it": 3.5})]))
    assert u.confidence == -30.5
    assert [(w.text, w.confidence, w.rivals) for w in u.words] == [("hide", -20.0, ()), ("that", -25.0, (("it", 3.5),))]


COMMANDS = CommandGrammar(["calendar", "map", "notes"])


@pytest.mark.parametrize("utterance_c, words, kept, events", [
    # Sure of every word: the command stands, each deictic word paired.
    (-30.0, [("put", 0.5, -30.0, None), ("that", 0.7, -20.0, {"it": -9.0}), ("there", 0.9, -25.0, {"here": -6.0})],
     "put that there", ["put [that] there", "put that [there]"]),
    # Talk forced onto a command scores below the line as a whole...
    (-60.0, [("hide", 0.5, -40.0, None), ("that", 0.7, -45.0, None)], None, []),
    # ...or in one word: a name added over the silence after "open this".
    (-40.0, [("open", 0.5, -30.0, None), ("this", 0.7, -20.0, None), ("notes", 0.9, -90.0, None)], None, []),
    # The audio fits a rival better: the word said is reported, and "hide it" points at nothing.
    (-30.0, [("hide", 0.5, -30.0, None), ("that", 0.7, -20.0, {"it": 6.0, "this": -12.0})], "hide it", ["hide it"]),
    # A rival as good as the word: not sure which was said, so that word makes no event.
    (-30.0, [("put", 0.5, -30.0, None), ("this", 0.7, -20.0, {"these": 0.5}), ("here", 0.9, -25.0, None)],
     "put this here", ["put this [here]"]),
    # A recogniser without scores is never refused by them.
    (None, [("hide", 0.5, None, None), ("that", 0.7, None, None)], "hide that", ["hide [that]"]),
])
def test_the_judge_keeps_what_the_audio_supports(utterance_c, words, kept, events):
    u = speech.read_pocketsphinx(judged_line(utterance_c, words))
    rule = speech.Rejection(utterance=-46.0, word=-62.0, rival=2.0)
    judged = speech.accepted(COMMANDS, u, None, rule)
    assert (judged.text if judged else None) == kept
    assert ([text for _, _, text in speech.pairings(judged)] if judged else []) == events
    assert (speech.command(COMMANDS, u, None, rule) is None) is (kept is None)
    assert speech.accepted(COMMANDS, u, None, None).text == u.text  # the judge not asked


@pytest.mark.parametrize("line, message", [
    (judged_line("high", [("put", 0.5, -1.0, None)]), "a confidence that is not a finite number"),
    (judged_line(-1.0, [("put", 0.5, True, None)]), "a confidence that is not a finite number"),
    (judged_line(-1.0, [("put", 0.5, -1.0, None)]).replace('"c": -1.0,', '"c": NaN,', 1),
     "a confidence that is not a finite number"),
    (judged_line(-1.0, [("that", 0.5, -1.0, {"it": "more"})]), "a word's rivals that are not an object of scores"),
    (judged_line(-1.0, [("that", 0.5, -1.0, None)]).replace('"c": -1.0}', '"c": -1.0, "alt": [1]}'),
     "a word's rivals that are not an object of scores"),
])
def test_a_judge_s_score_that_is_not_a_number_refuses_the_line(line, message):
    with pytest.raises(ValueError, match=message):
        speech.read_pocketsphinx(line)


@pytest.mark.parametrize("line, message", [
    (LINE[:-1] + ',"bg":3}', "a background result that is not text"),
    (LINE[:-1] + ',"bg":["put"]}', "a background result that is not text"),
    ("{broken", "not JSON"),
    ('{"t":"x"}', 'expected an object with a "w" array'),
    ('[1]', 'expected an object with a "w" array'),
    ('{"w":[{"t":"put","b":"0.1","d":0.2}]}', "a word segment without text, begin and duration"),
    ('{"w":[{"t":"put","b":-1,"d":0.2}]}', "a word segment without text, begin and duration"),
    ('{"w":[{"t":"put","b":true,"d":0.2}]}', "a word segment without text, begin and duration"),
    ('{"w":[7]}', "a word segment without text, begin and duration"),
    ('{"w":[{"t":"put","b":1' + "0" * 400 + ',"d":0.2}]}', "a word segment without text, begin and duration"),
    ('{"w":[{"t":"put","b":0.1,"d":1e300}]}', "a word beyond the 64-bit nanosecond clock"),
    ('{"w":[{"t":"put","b":9300000000,"d":0.2}]}', "a word beyond the 64-bit nanosecond clock"),
    ('{"w":' + "[" * 100_000 + "]" * 100_000 + "}", r"not JSON \(nested too deeply\)"),
    (b'{"w":[{"t":"\xff"}]}', "not JSON"),
])
def test_a_line_that_is_not_a_result_is_refused(line, message):
    with pytest.raises(ValueError, match=message):
        speech.read_pocketsphinx(line)


def stand_in(tmp_path):
    """An environment whose recogniser is the `pocketsphinx` in tmp_path."""
    return dict(os.environ, PATH=f"{tmp_path}:{os.environ['PATH']}", SPATIAL_RECOGNISER="pocketsphinx")


def recogniser_program(tmp_path, body):
    """A stand-in recogniser: a shell script that does what `body` says."""
    fake = tmp_path / "pocketsphinx"
    fake.write_text("#!/bin/sh\n" + body)
    fake.chmod(0o755)
    return str(fake)


def test_any_line_that_is_not_a_usable_result_is_skipped_and_the_next_kept(tmp_path):
    bad = ['{"w":[{"t":"put","b":1' + "0" * 400 + ',"d":0.2}]}', '{"w":' + "[" * 100_000 + "]" * 100_000 + "}",
           '{"w":[{"t":"put","b":0.1,"d":1e300}]}']
    (tmp_path / "lines").write_text("\n".join(bad + [LINE]) + "\n")
    program = recogniser_program(tmp_path, f"cat >/dev/null\ncat '{tmp_path / 'lines'}'\n")
    warnings = []
    [(_, u)] = speech.PocketSphinx(warn=warnings.append, program=program).close()
    assert u.text == "put that there" and len(warnings) == 3
    assert all(w.startswith("speech: skipped a line of the recogniser's (") and "\n" not in w for w in warnings)


def test_a_word_past_the_host_clock_finds_no_frame_rather_than_failing():
    timeline = sp.IntentTimeline()
    aiming(timeline, ["panel:a"] * 10, 2**63 - 10**9)
    u = speech.Utterance((speech.Word("that", 9.2e9, 9.2e9 + 0.1),))
    [g] = speech.ground(u, speech.AudioClock(2**63 - 10**9), timeline)
    assert g.event is None


@pytest.mark.parametrize("seconds", [2.01, 0.1, 0.3, 1234.567891234])
def test_a_word_at_a_frame_s_own_time_is_put_on_that_nanosecond(seconds):
    assert speech.AudioClock(7).to_host_ns(seconds) == 7 + round(__import__("decimal").Decimal(seconds) * 10**9)


def aiming(timeline, panels, start_ns, step_ns=11_111_111):
    """Frames 90 a second from start_ns, each grounded to the panel of its slot."""
    for i, panel in enumerate(panels):
        f = sp.SpatialIntentFrame()
        f.timestamp_ns = start_ns + i * step_ns
        hit = sp.SpatialHit()
        hit.host_id = panel
        f.target = hit
        timeline.push(f)


def test_each_deictic_word_is_grounded_where_it_was_spoken():
    timeline = sp.IntentTimeline(capacity=400)
    first_sample = 5_000_000_000
    # "put that" on the map until 0.9 s after the first sample, "there" on the notes after.
    aiming(timeline, ["panel:map"] * 81 + ["panel:notes"] * 200, first_sample)
    u = speech.read_pocketsphinx(LINE.replace('"b":0.970', '"b":1.100'))
    found = speech.ground(u, speech.AudioClock(first_sample), timeline)
    assert [g.text for g in found] == ["put [that] there", "put that [there]"]
    assert [g.event.spatial_context.target.host_id for g in found] == ["panel:map", "panel:notes"]
    assert [g.event.timestamp_ns for g in found] == [first_sample + 780_000_000, first_sample + 1_100_000_000]
    assert timeline.latest().target.host_id == "panel:notes"  # where a host without history would look


def test_an_utterance_without_a_deictic_word_is_paired_at_its_start():
    timeline = sp.IntentTimeline()
    aiming(timeline, ["panel:a"] * 50 + ["panel:b"] * 50, 0)
    u = speech.Utterance((speech.Word("open", 0.2, 0.5), speech.Word("it", 0.55, 0.7)))
    [g] = speech.ground(u, speech.AudioClock(0), timeline)
    assert (g.word, g.text, g.spoken_ns) == (None, "open it", 200_000_000)
    assert g.event.text == "open it" and g.event.spatial_context.target.host_id == "panel:a"


def test_a_word_before_the_history_finds_no_frame():
    timeline = sp.IntentTimeline(capacity=10)
    aiming(timeline, ["panel:a"] * 100, 0)  # only the last ten frames are kept
    u = speech.Utterance((speech.Word("that", 0.1, 0.3),))
    assert speech.ground(u, speech.AudioClock(0), timeline)[0].event is None


@pytest.mark.parametrize("program, variable", [("no-such-recogniser", ""), (None, "no-such-recogniser -x 'a b'")])
def test_a_missing_recogniser_is_named_with_its_packages(monkeypatch, program, variable):
    monkeypatch.setenv("SPATIAL_RECOGNISER", variable)
    with pytest.raises(speech.SpeechError, match="^the speech recogniser is not installed: apt install pocketsphinx "
                                                 "pocketsphinx-en-us"):
        speech.PocketSphinx(program=program)
    if variable:
        assert speech.recogniser_command() == ["no-such-recogniser", "-x", "a b"]


def test_a_malformed_line_of_the_recogniser_is_skipped_with_a_warning(tmp_path):
    fake = tmp_path / "recogniser"
    fake.write_text("#!/bin/sh\ncat >/dev/null\necho '{not json at all, and far too long to be shown whole in a warning of one line'\n"
                    f"echo '{LINE}'\n")
    fake.chmod(0o755)
    warnings = []
    recogniser = speech.PocketSphinx(warn=warnings.append, program=str(fake))
    [(_, u)] = recogniser.close()
    assert u.text == "put that there"
    [warning] = warnings
    assert warning.startswith("speech: skipped a line of the recogniser's (not JSON") and warning.endswith("...")


def test_audio_the_recogniser_cannot_take_is_refused_in_one_line(tmp_path):
    if shutil.which("sox") is None:
        pytest.skip("sox is not installed")
    junk = tmp_path / "junk.wav"
    junk.write_bytes(b"RIFF\x00\x00\x00\x00not audio at all")
    with pytest.raises(speech.SpeechError) as refused:
        speech.read_audio(str(junk))
    assert str(refused.value).startswith(f"{junk}: not audio the recogniser can take (") and "\n" not in str(refused.value)
    with pytest.raises(speech.SpeechError, match="No such file"):
        speech.read_audio(str(tmp_path / "missing.wav"))


needs_speech = pytest.mark.skipif(any(shutil.which(p) is None for p in ("pocketsphinx", "espeak-ng", "sox")),
                                  reason="pocketsphinx, espeak-ng and sox make and hear the speech")

PHRASES = [(0.5, "what is that"), (3.0, "put that there"), (6.0, "open that one")]


@pytest.fixture(scope="module")
def spoken(tmp_path_factory):
    """Three commands synthesised word by word and placed at known times, with a grammar
    for them. The words stand a quarter of a second apart, so that the aim can move
    between "that" and "there" with room for the recogniser's error either side."""
    audio = array.array("h")
    placed = []
    for at, phrase in PHRASES:
        words = phrase.split()
        placed.append(speech.place(audio, at, words, speech.synthesise(words), gap_s=0.25))
    audio.extend(array.array("h", bytes(2 * speech.SAMPLE_RATE)))
    grammar = tmp_path_factory.mktemp("speech") / "commands.gram"
    grammar.write_text(speech.grammar(p for _, p in PHRASES))
    return audio.tobytes(), placed, str(grammar)


@needs_speech
def test_the_recogniser_hears_every_word_within_a_tenth_of_a_second(spoken):
    samples, placed, grammar = spoken
    heard = speech.recognise(samples, grammar)
    assert [u.text for u in heard] == [p for _, p in PHRASES]
    for utterance, words in zip(heard, placed):
        for word, truth in zip(utterance.words, words):
            assert abs(word.begin_s - truth.begin_s) <= 0.1, (word, truth)


SECOND = bytes(speech.SAMPLE_RATE * speech.SAMPLE_BYTES)


@pytest.mark.parametrize("body, message", [
    ("exit 3\n", r"^the speech recogniser stopped \(exit status 3\)$"),
    ("echo 'ERROR: \"fsg_search.c\", line 138: The word '\\''qq'\\'' is missing in the dictionary' >&2\n"
     "echo 'FATAL: \"main.c\", line 354: decoder init failed' >&2\nexit 1\n",
     r"^the speech recogniser stopped \(exit status 1\): The word 'qq' is missing in the dictionary$"),
    ("kill -9 $$\n", r"^the speech recogniser stopped \(killed by signal 9\)$"),
    ("exec sleep 60\n", r"^the speech recogniser was ended: it took no audio for 0.5 s$"),
])
def test_a_recogniser_that_stops_or_stops_reading_costs_one_line_within_its_bound(tmp_path, body, message):
    recogniser = speech.PocketSphinx(program=recogniser_program(tmp_path, body), answer_s=0.5)
    began = time.monotonic()
    with pytest.raises(speech.SpeechError, match=message):
        for _ in range(20):  # more than a pipe holds
            recogniser.feed(SECOND)
            time.sleep(0.05)
    assert time.monotonic() - began < 5
    recogniser.kill()


def test_a_recogniser_that_never_finishes_is_ended_and_says_so(tmp_path):
    recogniser = speech.PocketSphinx(program=recogniser_program(tmp_path, "cat >/dev/null\nexec sleep 60\n"))
    recogniser.feed(SECOND)
    began = time.monotonic()
    assert recogniser.close(timeout_s=0.5) == []
    assert time.monotonic() - began < 3
    assert recogniser.stopped() == "the speech recogniser was ended: it did not finish within 0.5 s of the audio's end"


def test_recognition_tells_how_far_it_has_come(tmp_path):
    program = recogniser_program(tmp_path, f"cat >/dev/null\necho '{LINE}'\n")
    seen = []
    [u] = speech.recognise(SECOND * 2 + SECOND[:16000], program=program, progress=lambda *at: seen.append(at))
    assert u.text == "put that there" and seen == [(1.0, 2.5), (2.0, 2.5), (2.5, 2.5)]


def test_a_recogniser_that_fails_after_reading_everything_fails_the_recognition(tmp_path):
    program = recogniser_program(tmp_path, f"cat >/dev/null\necho '{LINE}'\nexit 3\n")
    with pytest.raises(speech.SpeechError, match=r"^the speech recogniser stopped \(exit status 3\)$"):
        speech.recognise(SECOND, program=program)


def write_wav(path, samples, rate=speech.SAMPLE_RATE, channels=1, data_size=None):
    """A 16-bit WAV file; `data_size` overrides the data chunk's declared size, as a
    writer that was stopped leaves it."""
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(samples)
    if data_size is not None:
        raw = bytearray(path.read_bytes())
        at = raw.index(b"data") + 4
        raw[at:at + 4] = struct.pack("<I", data_size)
        raw[4:8] = struct.pack("<I", 0)
        path.write_bytes(bytes(raw))


def tone(seconds, rate, hz=440.0, channels=1):
    values = [round(8000 * math.sin(2 * math.pi * hz * i / rate)) for i in range(round(seconds * rate))]
    return array.array("h", (v for v in values for _ in range(channels))).tobytes()


def test_a_recording_whose_writer_was_stopped_is_read_to_its_end(tmp_path):
    path = tmp_path / "cut.wav"
    samples = tone(2.0, speech.SAMPLE_RATE)
    write_wav(path, samples, data_size=0)
    assert speech.read_audio(str(path)) == samples


def test_a_file_with_no_sound_is_refused_as_no_audio(tmp_path):
    path = tmp_path / "empty.wav"
    write_wav(path, b"")
    with pytest.raises(speech.SpeechError, match=f"^{path}: no audio$"):
        speech.read_audio(str(path))


@pytest.mark.skipif(shutil.which("sox") is None, reason="sox converts it")
def test_a_wav_file_in_another_format_is_converted_to_the_same_sound(tmp_path):
    path = tmp_path / "fast.wav"
    write_wav(path, tone(1.0, 32000, channels=2), rate=32000, channels=2)
    got = array.array("h", speech.read_audio(str(path)))
    want = array.array("h", tone(1.0, speech.SAMPLE_RATE))
    assert abs(len(got) - len(want)) <= 4
    middle = slice(1000, 15000)  # away from the resampler's edges
    error = max(abs(a - b) for a, b in zip(got[middle], want[middle]))
    assert error < 200, error  # of an amplitude of 8000


@pytest.mark.parametrize("phrases, message", [
    (["open panel 3"], "'open panel 3' has '3', which is not a word of letters a to z"),
    (["café"], "'café' has 'café', which is not a word"),
    (["stop!"], "'stop!' has 'stop!'"),
    (["put that there", "  "], "the phrase '  ' has no words"),
    ([], "a grammar needs at least one phrase"),
])
def test_a_grammar_keeps_phrases_whole_or_refuses_them(phrases, message):
    with pytest.raises(ValueError, match=message):
        speech.grammar(phrases)


def test_a_grammar_of_phrases_as_written():
    assert speech.grammar(["What's THAT", "put  that\tthere"]).splitlines()[-1] == \
        "public <commands> = what's that | put that there;"


def session_aimed(tmp_path, changes, seconds=8.0):
    """Frames at 90 Hz from 1 s on the monotonic clock, grounded to the panel each change
    (seconds from the first frame, panel) says."""
    lines = []
    for i in range(int(seconds * 90)):
        t = i / 90
        f = sp.SpatialIntentFrame()
        f.timestamp_ns = 1_000_000_000 + round(t * 1e9)
        hit = sp.SpatialHit()
        hit.host_id = [panel for at, panel in changes if at <= t][-1]
        f.target = hit
        lines.append(sp.to_jsonl(f))
    path = tmp_path / "frames.jsonl"
    path.write_text("\n".join(lines) + "\n")
    return path


@needs_speech
def test_replay_grounds_recorded_speech_word_by_word(spoken, tmp_path):
    from test_command import spatial

    samples, placed, grammar = spoken
    that, there = placed[1][1], placed[1][2]
    start = 0.25  # the audio's first sample, after the first frame
    frames = session_aimed(tmp_path, [(0, "panel:calendar"), (2.0 + start, "panel:map"),
                                      (start + (that.end_s + there.begin_s) / 2, "panel:notes")])
    audio = tmp_path / "said.wav"
    with wave.open(str(audio), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(speech.SAMPLE_RATE)
        w.writeframes(samples)
    done = spatial("replay", str(frames), "--rate", "0", "--audio", str(audio), "--audio-start", str(start),
                   "--grammar", grammar)
    assert done.returncode == 0, done.stderr
    events = [sp.from_jsonl(line) for line in done.stdout.splitlines()]
    assert [(e.text, e.spatial_context.target.host_id) for e in events] == [
        ("what is [that]", "panel:calendar"), ("put [that] there", "panel:map"), ("put that [there]", "panel:notes"),
        ("open [that] one", "panel:notes")]
    spoken_at = [placed[0][2], that, there, placed[2][1]]
    for event, word in zip(events, spoken_at):
        assert abs(event.timestamp_ns - (1_000_000_000 + (start + word.begin_s) * 1e9)) <= 100_000_000


needs_sox = pytest.mark.skipif(shutil.which("sox") is None, reason="sox is needed to get that far")


@pytest.mark.parametrize("extra, message", [
    pytest.param(["--audio", "{junk}"], "{junk}: not audio the recogniser can take (", marks=needs_sox),
    (["--audio", "{missing}"], "{missing}: No such file or directory"),
    (["--audio", "-", "--grammar", "{missing}"], "{missing}: No such file or directory"),
    (["--audio-start", "inf", "--audio", "{junk}"], "argument --audio-start: the time 'inf' is not a finite"),
    (["--audio", "-"], "spatial replay: standard input (--audio -): no audio"),
    (["--audio", "{empty}"], "spatial replay: {empty}: no audio"),
    (["--grammar", "{missing}"], "spatial replay: --grammar goes with --audio, which is not given"),
    (["--audio-start", "1"], "spatial replay: --audio-start goes with --audio, which is not given"),
    (["--objects", "map"], "spatial replay: --objects goes with --audio, which is not given"),
    (["--audio", "{junk}", "--objects", "map,café"], "argument --objects: the object name 'café' is not words"),
    (["--audio", "{junk}", "--objects", "map", "--grammar", "{missing}"], "not allowed with argument --objects"),
    (["--audio", "{junk}", "--verbs", "bring"], "spatial replay: --verbs goes with --objects, which is not given"),
    (["--audio", "{junk}", "--background"], "spatial replay: --background goes with --objects, which is not given"),
    (["--audio", "{junk}", "--objects", "map", "--verbs", "go to"], "argument --verbs: the verb 'go to' has 'to'"),
    (["--audio", "{junk}", "--objects", "map", "--verbs", "put", "--placing", "put"],
     "spatial replay: the verb 'put' is given both as taking a thing and as taking a place"),
])
def test_replay_refuses_audio_it_cannot_use_in_one_line(tmp_path, extra, message):
    from test_command import spatial

    junk, missing, empty = tmp_path / "junk.wav", tmp_path / "missing.wav", tmp_path / "empty.wav"
    junk.write_bytes(b"RIFF\x00\x00\x00\x00not audio")
    write_wav(empty, b"")
    names = {"junk": junk, "missing": missing, "empty": empty}
    frames = session_aimed(tmp_path, [(0, "panel:a")], seconds=0.1)
    done = spatial("replay", str(frames), "--rate", "0", *(a.format(**names) for a in extra), stdin="")
    assert done.returncode == 2 and len(done.stderr.splitlines()) == 1, done.stderr
    assert message.format(**names) in done.stderr


@needs_speech
def test_replay_hears_the_hosts_own_verbs(tmp_path):
    from test_command import spatial

    audio, placed = array.array("h"), []
    for at, text in ((0.5, "rotate that"), (3.0, "put that there"), (5.5, "open that"), (7.5, "grab that")):
        samples, words = speech.speak_sentence(text, "en-us", 130)
        audio.extend([0] * (round(at * speech.SAMPLE_RATE) - len(audio)))
        audio.frombytes(samples if isinstance(samples, bytes) else array.array("h", samples).tobytes())
        placed.append([(at + w.begin_s, at + w.end_s) for w in words])
    audio.extend([0] * speech.SAMPLE_RATE)
    path = tmp_path / "said.wav"
    write_wav(path, audio.tobytes())
    frames = session_aimed(tmp_path, [(0, "panel:calendar"), (2.5, "panel:map"),
                                      ((placed[1][1][1] + placed[1][2][0]) / 2, "panel:notes"), (7.0, "panel:map")],
                           seconds=10.0)
    seen = []
    for background in ([], ["--background"]):
        done = spatial("replay", str(frames), "--rate", "0", "--audio", str(path), "--objects", "calendar,map,notes",
                       "--verbs", "rotate,grab", "--placing", "put,move", *background)
        assert done.returncode == 0, done.stderr
        seen.append([(e.text, e.spatial_context.target.host_id) for e in map(sp.from_jsonl, done.stdout.splitlines())])
    # "open" is no verb of this host's: it makes no event. The judge may refuse "rotate
    # that" (espeak-ng's "rotate" fits the recogniser's model poorly); whatever it keeps
    # is right.
    expected = [("rotate [that]", "panel:calendar"), ("put [that] there", "panel:map"),
                ("put that [there]", "panel:notes"), ("grab [that]", "panel:map")]
    assert seen[0] in (expected, expected[1:]), seen[0]
    # The background decoding only ever takes commands away (here it took a short one for talk).
    assert set(seen[1]) <= set(seen[0]) and ("put [that] there", "panel:map") in seen[1]


def test_replay_says_a_mistyped_frames_file_before_it_recognises(tmp_path):
    from test_command import spatial

    audio = tmp_path / "said.wav"
    write_wav(audio, SECOND)
    program = recogniser_program(tmp_path, "touch \"$0.ran\"\ncat >/dev/null\n")
    done = spatial("replay", str(tmp_path / "frams.jsonl"), "--audio", str(audio),
                   env=stand_in(tmp_path))
    assert (done.returncode, done.stderr) == (2, f"spatial replay: {tmp_path / 'frams.jsonl'}: No such file or directory\n")
    assert not os.path.exists(program + ".ran")


def test_replay_with_the_scene_s_objects_drops_talk_and_keeps_commands(tmp_path):
    from test_command import spatial

    frames = session_aimed(tmp_path, [(0, "panel:a")], seconds=3.0)
    audio = tmp_path / "said.wav"
    write_wav(audio, SECOND)
    lines = ['{"b":0.5,"d":0.4,"p":1,"t":"so that was good","w":[{"b":0.5,"d":0.1,"p":1,"t":"so"},'
             '{"b":0.6,"d":0.1,"p":1,"t":"that"},{"b":0.7,"d":0.1,"p":1,"t":"was"},{"b":0.8,"d":0.1,"p":1,"t":"good"}]}',
             '{"b":1.5,"d":0.4,"p":1,"t":"open that map","w":[{"b":1.5,"d":0.1,"p":1,"t":"open"},'
             '{"b":1.6,"d":0.1,"p":1,"t":"that"},{"b":1.7,"d":0.1,"p":1,"t":"map"}]}']
    (tmp_path / "heard").write_text("\n".join(lines) + "\n")
    recogniser_program(tmp_path, f"cat >/dev/null\ncat '{tmp_path / 'heard'}'\n")
    done = spatial("replay", str(frames), "--rate", "0", "--audio", str(audio), "--objects", "map, calendar",
                   env=stand_in(tmp_path))
    assert done.returncode == 0, done.stderr
    assert [sp.from_jsonl(line).text for line in done.stdout.splitlines()] == ["open [that] map"]
    without = spatial("replay", str(frames), "--rate", "0", "--audio", str(audio), env=stand_in(tmp_path))
    assert len(without.stdout.splitlines()) == 2  # talk is an event where nothing says what a command is


@pytest.mark.parametrize("how", ["say", "audio"])
def test_a_word_said_at_a_frame_s_own_time_pairs_with_that_frame(tmp_path, how):
    """A frame at exactly 2.01 s after the first: what was said then is paired with it,
    not with the one before (the age is 0, not 9,999,999 ns)."""
    from test_command import spatial

    frames = session_aimed(tmp_path, [(0, "panel:a")], seconds=0.1)
    lines = frames.read_text().splitlines()
    late = json.loads(lines[0])
    late["timestamp_ns"] += 2_010_000_000
    frames.write_text(lines[0] + "\n" + json.dumps(late, separators=(",", ":")) + "\n")
    if how == "say":
        done = spatial("replay", str(frames), "--rate", "0", "--say", "2.01:that")
    else:
        audio = tmp_path / "said.wav"
        write_wav(audio, SECOND)
        line = '{"b":2.01,"d":0.3,"p":1,"t":"that","w":[{"b":2.01,"d":0.3,"p":1,"t":"that"}]}'
        recogniser_program(tmp_path, f"cat >/dev/null\necho '{line}'\n")
        done = spatial("replay", str(frames), "--rate", "0", "--audio", str(audio),
                       env=stand_in(tmp_path))
    assert done.returncode == 0, done.stderr
    [event] = [sp.from_jsonl(line) for line in done.stdout.splitlines()]
    assert event.spatial_age_ns == 0 and event.timestamp_ns == late["timestamp_ns"]


def test_a_synthesiser_that_fails_is_one_line(tmp_path, monkeypatch):
    for name, body in (("espeak-ng", "echo 'no such voice' >&2\nexit 1\n"), ("sox", "exit 0\n")):
        (tmp_path / name).write_text("#!/bin/sh\n" + body)
        (tmp_path / name).chmod(0o755)
    monkeypatch.setenv("PATH", f"{tmp_path}:{os.environ['PATH']}")
    with pytest.raises(speech.SpeechError, match=r"^espeak-ng failed speaking 'that': no such voice$"):
        speech.synthesise(["that"], voice="xx")
