"""Speech in the loop: the recogniser's output read, words put on the host's clock, each
deictic word paired with the frame in force when it was spoken; and the real recogniser
on speech synthesised here."""

import array
import shutil
import wave

import pytest

import _spatial as sp
from spatial_intent import speech

LINE = ('{"b":0.480,"d":1.290,"p":0.5,"t":"put that there","w":[{"b":0.480,"d":0.010,"p":1,"t":"<s>"},'
        '{"b":0.480,"d":0.300,"p":1,"t":"put"},{"b":0.780,"d":0.190,"p":1,"t":"that(2)"},'
        '{"b":0.970,"d":0.500,"p":1,"t":"there"},{"b":1.470,"d":0.300,"p":0.5,"t":"<sil>"},'
        '{"b":1.600,"d":0.100,"p":1,"t":"[NOISE]"},{"b":1.760,"d":0.010,"p":1,"t":"</s>"}]}')


def test_a_result_line_gives_its_words_without_markers():
    u = speech.read_pocketsphinx(LINE)
    assert u.text == "put that there"
    assert [(w.begin_s, w.end_s) for w in u.words] == [(0.48, 0.78), (0.78, 0.97), (0.97, 1.47)]
    assert speech.read_pocketsphinx('{"b":0,"d":1.49,"p":1,"t":"","w":[]}') is None


@pytest.mark.parametrize("line, message", [
    ("{broken", "not JSON"),
    ('{"t":"x"}', 'expected an object with a "w" array'),
    ('[1]', 'expected an object with a "w" array'),
    ('{"w":[{"t":"put","b":"0.1","d":0.2}]}', "a word segment without text, begin and duration"),
    ('{"w":[{"t":"put","b":-1,"d":0.2}]}', "a word segment without text, begin and duration"),
    ('{"w":[{"t":"put","b":true,"d":0.2}]}', "a word segment without text, begin and duration"),
    ('{"w":[7]}', "a word segment without text, begin and duration"),
])
def test_a_line_that_is_not_a_result_is_refused(line, message):
    with pytest.raises(ValueError, match=message):
        speech.read_pocketsphinx(line)


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


def test_a_missing_recogniser_is_named_with_its_packages():
    with pytest.raises(speech.SpeechError, match="^the speech recogniser is not installed: apt install pocketsphinx "
                                                 "pocketsphinx-en-us"):
        speech.PocketSphinx(program="no-such-recogniser")


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
    for them."""
    audio = array.array("h")
    placed = []
    for at, phrase in PHRASES:
        words = phrase.split()
        placed.append(speech.place(audio, at, words, speech.synthesise(words)))
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


@needs_speech
def test_a_killed_recogniser_says_so_in_one_line(spoken):
    recogniser = speech.PocketSphinx()
    recogniser.kill()
    with pytest.raises(speech.SpeechError, match=r"^the speech recogniser stopped \(killed by signal 9\)"):
        recogniser.feed(spoken[0][:32000])


@needs_speech
def test_a_wav_file_in_another_format_is_converted(spoken, tmp_path):
    samples = spoken[0][:16000]
    path = tmp_path / "fast.wav"
    with wave.open(str(path), "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(32000)
        doubled = array.array("h", samples)
        w.writeframes(array.array("h", (s for s in doubled for _ in range(4))).tobytes())
    converted = speech.read_audio(str(path))
    assert abs(len(converted) - len(samples)) <= 4


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


@pytest.mark.parametrize("extra, message", [
    (["--audio", "{junk}"], "{junk}: not audio the recogniser can take ("),
    (["--audio", "{missing}"], "{missing}: No such file or directory"),
    (["--audio", "-", "--grammar", "{missing}"], "{missing}: No such file or directory"),
    (["--audio-start", "inf", "--audio", "{junk}"], "argument --audio-start: the time 'inf' is not a finite"),
])
def test_replay_refuses_audio_it_cannot_use_in_one_line(tmp_path, extra, message):
    if shutil.which("sox") is None or shutil.which("pocketsphinx") is None:
        pytest.skip("sox and pocketsphinx are needed to get that far")
    from test_command import spatial

    junk, missing = tmp_path / "junk.wav", tmp_path / "missing.wav"
    junk.write_bytes(b"RIFF\x00\x00\x00\x00not audio")
    names = {"junk": junk, "missing": missing}
    frames = session_aimed(tmp_path, [(0, "panel:a")], seconds=0.1)
    done = spatial("replay", str(frames), "--rate", "0", *(a.format(**names) for a in extra), stdin="")
    assert done.returncode == 2 and len(done.stderr.splitlines()) == 1, done.stderr
    assert message.format(**names) in done.stderr
