"""Speech as people speak it, measured: a seeded corpus of commands from the command
grammar (some with a pause before each deictic word), commands outside it said anyway,
and ordinary talk (some with the deictic words in it), spoken whole by the voices of
three synthesisers at several rates, clean and under noise, recognised, judged, and each
deictic word grounded in a session whose aim moves between the words and during pauses.

    python bench/speech.py [--commands 150] [--paused 60] [--outside 40] [--talk 100] [--seed 7]
                           [--noise clean,20,10] [--voices espeak-ng:en-us,...] [--realtime 12]
                           [--pocketsphinx-args "-beam 1e-60"]

Each condition is one stream of sentences a second apart, fed to one recogniser as
fast as it takes it. The recogniser's delay (end of speech to result) can only be seen
in real time, so it is measured on --realtime sentences of the clean corpus fed at the
microphone's pace; the batch streams use its median for "newest frame at the result".
A benchmark, not a test: it prints tables and asserts nothing."""

from __future__ import annotations

import argparse
import array
import bisect
import concurrent.futures
import random
import shlex
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

import numpy as np

import _spatial as sp
import voices as synthesisers
from spatial_intent import speech
from spatial_intent.commands import FILLER, FILLER_LONG, PLACING, VERBS, CommandGrammar

OBJECTS = ("calendar", "map", "notes", "lamp", "table")
PANELS = ("panel:calendar", "panel:map", "panel:notes")
VOICES = ("espeak-ng:en-us", "espeak-ng:en-us+f3", "espeak-ng:en-us+m3",
          "festival:kal_diphone", "festival:ked_diphone", "festival:cmu_us_slt_arctic_hts",
          "flite:slt", "flite:rms", "flite:awb")
RATES = (130, 160, 190)
PAUSE_S = (0.3, 0.8)  # a pause before a deictic word, as people make while they point
KINDS = ("command", "paused", "outside", "talk")
GAP_S = 1.2  # silence between sentences in a stream
VERBOSE = False
PROGRAM: tuple[str, ...] = speech.LISTENER
MATCH_S = 0.25  # a heard word is the spoken one of the same text whose begin is this close

# Ordinary talk near a headset: sentences that are not commands, some with the words a
# command has ("that", "there", "open", "put").
SUBJECTS = ("i", "we", "you", "they", "my brother", "the kids", "our team", "she", "he", "everyone")
TALK_VERBS = ("think", "said", "forgot", "heard", "wondered", "remembered", "decided", "guessed")
CLAUSES = ("the meeting moved to friday", "that movie was really long", "dinner is almost ready",
           "the train was late again", "there is coffee in the kitchen", "it might rain this afternoon",
           "the store opens at nine", "we should call grandma tonight", "the game starts at eight",
           "this weekend will be busy", "the weather looks nice today", "that was a great idea",
           "the printer is out of paper", "the shop was closed on monday", "he put the keys somewhere",
           "nobody knows where the remote went", "the garden needs some water", "the bus comes every hour",
           "i think that is fine", "he said he would call me back later", "we were there last summer",
           "this soup is too hot", "those shoes look great", "here is what i mean", "that is not what i said",
           "these are the best days", "leave it there for now", "look at this weather")

# Commands a user says that the host's grammar does not have: other verbs, other words
# for a place. Each must make no event, not be forced onto a command.
OUTSIDE_VERBS = ("bring", "take", "place", "rotate", "pin", "turn", "throw", "send", "give", "hand")
OUTSIDE_THINGS = ("that", "this", "it", "these", "those", "the lamp", "my notes")
OUTSIDE_ENDS = ("here", "there", "over there", "to me", "away", "up", "around", "a bit", "")


def outside(rng: random.Random, count: int) -> list[str]:
    return [" ".join(filter(None, (rng.choice(OUTSIDE_VERBS), rng.choice(OUTSIDE_THINGS), rng.choice(OUTSIDE_ENDS))))
            for _ in range(count)]


def talk(rng: random.Random, count: int) -> list[str]:
    out = []
    for _ in range(count):
        shape = rng.random()
        clause = rng.choice(CLAUSES)
        if shape < 0.4:
            out.append(f"{rng.choice(SUBJECTS)} {rng.choice(TALK_VERBS)} {clause}")
        elif shape < 0.7:
            out.append(clause)
        else:
            out.append(f"{rng.choice(('well', 'so', 'oh', 'okay', 'honestly'))} {clause}")
    return out


@dataclass
class Sentence:
    text: str
    kind: str  # one of KINDS
    voice: str
    rate: int
    samples: array.array | None = None
    placed: list[speech.Placed] | None = None  # on the sentence's own clock
    paused: frozenset[int] = frozenset()  # the words said after a pause
    at_s: float = 0.0  # where it begins in its stream
    words: list[speech.Placed] | None = None  # on the stream's clock
    aims: list[str] | None = None  # the panel aimed at during each word
    arrive: list[float] | None = None  # when the aim reached each word's panel, on the stream's clock
    after: str = ""  # the panel aimed at from the sentence's end until the next one

    @property
    def command(self) -> bool:
        return self.kind in ("command", "paused")

    @property
    def synthesiser(self) -> str:
        return self.voice.partition(":")[0]


def spoken_with_pauses(text: str, voice: str, rate: int, rng: random.Random
                       ) -> tuple[array.array, list[speech.Placed], frozenset[int]]:
    """The command said in pieces, a pause of PAUSE_S before each deictic word after the
    first word: each piece spoken whole, cut to its sound, the pauses silence."""
    words = text.split()
    cuts = [i for i, w in enumerate(words) if i > 0 and w in speech.DEICTIC]
    pieces = [words[a:b] for a, b in zip([0, *cuts], [*cuts, len(words)])]
    audio, placed, t = array.array("h"), [], 0.0
    for k, piece in enumerate(pieces):
        samples, where = synthesisers.say(voice, rate, " ".join(piece))
        first, last = speech.sounding(samples)
        if k:
            pause = round(rng.uniform(*PAUSE_S) * speech.SAMPLE_RATE)
            audio.extend(array.array("h", bytes(2 * pause)))
            t += pause / speech.SAMPLE_RATE
        shift = t - first / speech.SAMPLE_RATE
        ends = [p.end_s for p in where[:-1]] + [last / speech.SAMPLE_RATE]
        placed += [speech.Placed(p.text, max(t, p.begin_s + shift), e + shift) for p, e in zip(where, ends)]
        audio.extend(samples[first:last])
        t += (last - first) / speech.SAMPLE_RATE
    return audio, placed, frozenset(cuts)


def corpus(seed: int, counts: dict[str, int], grammar: CommandGrammar, voices: list[str]
           ) -> tuple[list[Sentence], int]:
    """The sentences, spoken, each voice and rate taking turns; and how many were drawn
    again because the synthesiser ran a word into the next, leaving it no start of its own."""
    rng = random.Random(seed)
    cells = [(v, r) for v in voices for r in RATES]
    said, redrawn = [], 0
    for kind in KINDS:
        while sum(s.kind == kind for s in said) < counts[kind]:
            voice, rate = cells[len(said) % len(cells)]
            text = (grammar.sentences(rng, 1)[0] if kind in ("command", "paused") else
                    outside(rng, 1)[0] if kind == "outside" else talk(rng, 1)[0])
            if kind == "paused" and not any(w in speech.DEICTIC for w in text.split()[1:]):
                continue
            try:
                if kind == "paused":
                    samples, placed, paused = spoken_with_pauses(text, voice, rate, rng)
                else:
                    (samples, placed), paused = synthesisers.say(voice, rate, text), frozenset()
            except speech.SpeechError:
                redrawn += 1
                continue
            said.append(Sentence(text, kind, voice, rate, samples, placed, paused))
    rng.shuffle(said)
    return said, redrawn


def build_stream(sentences: list[Sentence], rng: random.Random) -> np.ndarray:
    """The sentences one after another, GAP_S apart; the aim moves to another panel for
    every word, and once more after each sentence. It reaches a word's panel halfway
    from the start of the word before to its own; after a pause, somewhere in the
    pause's last part, at least 50 ms before the word."""
    pieces, t = [np.zeros(round(GAP_S * speech.SAMPLE_RATE), np.int16)], GAP_S
    aim = rng.choice(PANELS)
    for s in sentences:
        assert s.samples is not None and s.placed is not None
        s.at_s = t
        s.words = [speech.Placed(p.text, t + p.begin_s, t + p.end_s) for p in s.placed]
        s.aims, s.arrive = [], []
        previous = s.words[0].begin_s - 0.15
        for i, word in enumerate(s.words):
            aim = rng.choice([p for p in PANELS if p != aim])
            s.aims.append(aim)
            if i in s.paused:
                pause = word.begin_s - s.words[i - 1].end_s
                s.arrive.append(word.begin_s - rng.uniform(0.05, max(0.05, 0.4 * pause)))
            else:
                s.arrive.append((previous + word.begin_s) / 2)
            previous = word.begin_s
        s.after = aim = rng.choice([p for p in PANELS if p != aim])
        pieces += [np.frombuffer(s.samples.tobytes(), np.int16), np.zeros(round(GAP_S * speech.SAMPLE_RATE), np.int16)]
        t += len(s.samples) / speech.SAMPLE_RATE + GAP_S
    return np.concatenate(pieces)


def noisy(clean: np.ndarray, sentences: list[Sentence], snr_db: float | None, seed: int) -> np.ndarray:
    """White noise at `snr_db` below the speech's power (measured over the sentences)."""
    if snr_db is None:
        return clean
    x = clean.astype(np.float64)
    spans = [x[round(s.at_s * speech.SAMPLE_RATE):round(s.words[-1].end_s * speech.SAMPLE_RATE)]
             for s in sentences if s.words]
    power = float(np.mean(np.concatenate(spans) ** 2))
    noise = np.random.default_rng(seed).normal(0.0, (power / 10 ** (snr_db / 10)) ** 0.5, len(x))
    return np.clip(np.rint(x + noise), -32768, 32767).astype(np.int16)


def recognise(audio: np.ndarray, grammar_path: str, extra: list[str]) -> list[speech.Utterance]:
    command = [*PROGRAM, *speech.RECOGNISER_OPTIONS, *extra, "-jsgf", grammar_path, "live", "-"]
    done = subprocess.run(command, input=audio.astype("<i2").tobytes(), capture_output=True, timeout=3600)
    if done.returncode != 0:
        sys.exit(f"bench: pocketsphinx failed: {done.stderr.decode('utf-8', 'replace').strip()[-300:]}")
    heard = []
    for line in done.stdout.decode().splitlines():
        try:
            u = speech.read_pocketsphinx(line)
        except ValueError:
            continue
        if u is not None:
            heard.append(u)
    return heard


def timeline_for(sentences: list[Sentence]) -> tuple[list[int], list[str]]:
    """The session's aim changes: (ns from the stream's start, panel) in order: each
    word's panel from when the aim reached it, and the panel after each sentence from
    halfway between its last word's start and its end."""
    times, panels = [0], [sentences[0].aims[0] if sentences[0].aims else PANELS[0]]
    for s in sentences:
        assert s.words and s.aims and s.arrive
        for arrive, panel in zip(s.arrive, s.aims):
            times.append(round(arrive * 1e9))
            panels.append(panel)
        times.append(round((s.words[-1].begin_s + s.words[-1].end_s) / 2 * 1e9))
        panels.append(s.after)
    return times, panels


class Session:
    """Frames at 90 Hz whose target is the panel aimed at, pushed into a real timeline as
    the stream plays, so that grounding looks them up as a host would."""

    FRAME_NS = 1_000_000_000 // 90

    def __init__(self, sentences: list[Sentence], history_s: float) -> None:
        self.times, self.panels = timeline_for(sentences)
        self.timeline = sp.IntentTimeline(capacity=round(history_s * 90), max_context_age_ns=2_000_000_000)
        self.next_ns = 0
        self.start = 1_000_000_000  # the stream's first sample on the host clock
        self.clock = speech.AudioClock(self.start)

    def panel_at(self, ns: int) -> str:
        return self.panels[bisect.bisect_right(self.times, ns) - 1]

    def play_until(self, ns: int) -> None:
        while self.next_ns <= ns:
            f = sp.SpatialIntentFrame()
            f.timestamp_ns = self.start + self.next_ns
            hit = sp.SpatialHit()
            hit.host_id = self.panel_at(self.next_ns)
            f.target = hit
            self.timeline.push(f)
            self.next_ns += self.FRAME_NS

    def grounded(self, text: str, at_s: float) -> str | None:
        event = self.timeline.submit_text(text, self.clock.to_host_ns(at_s))
        target = event.spatial_context.target if event is not None else None
        return target.host_id if target is not None else None


def percentile(values: list[float], q: float) -> float:
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def owner(sentences: list[Sentence], starts: list[float], t: float) -> Sentence | None:
    i = bisect.bisect_right(starts, t + 0.3) - 1
    return sentences[i] if i >= 0 else None


def assign(sentences: list[Sentence], heard: list[speech.Utterance]) -> dict[int, list[speech.Utterance]]:
    """Each utterance heard, by the sentence (id) of the stream it began in."""
    starts = [s.at_s for s in sentences]
    by_sentence: dict[int, list[speech.Utterance]] = {}
    for u in heard:
        s = owner(sentences, starts, u.begin_s)
        if s is not None:
            by_sentence.setdefault(id(s), []).append(u)
    return by_sentence


@dataclass(frozen=True)
class Rule:
    """How what was heard is judged: the recogniser's judge (`speech.Rejection`, None:
    not asked) and the background decoding's margin (None: not asked)."""

    name: str
    rejection: speech.Rejection | None = speech.REJECTION
    margin: int | None = None


def measure(sentences: list[Sentence], every: list[Sentence], by_sentence: dict[int, list[speech.Utterance]],
            grammar: CommandGrammar, delay_s: float, rule: Rule) -> dict[str, float]:
    """The figures over `sentences`, a part of the stream `every`, judged by `rule`."""
    session = Session(every, history_s=30.0)
    m = {"commands": 0, "accepted": 0, "exact": 0, "deictic": 0, "recalled": 0, "events": 0, "false": 0,
         "same": 0, "other": 0, "right_spoken": 0, "right_start": 0, "right_newest": 0,
         "talk": 0, "talk_events": 0, "outside": 0, "outside_events": 0, "after_pause": 0}
    begin_errors: list[float] = []
    paused_errors: list[float] = []
    for s in sentences:
        assert s.words is not None and s.aims is not None
        utterances = sorted(by_sentence.get(id(s), []), key=lambda u: u.begin_s)
        accepted = [kept for u in utterances
                    if (kept := speech.accepted(grammar, u, rule.margin, rule.rejection)) is not None]
        events = [(u, w) for u in accepted for w in u.words if w.text in speech.DEICTIC and not w.unsure]
        events_none = [u for u in accepted if not any(w.text in speech.DEICTIC for w in u.words)]
        m["events"] += len(events) + len(events_none)
        if not s.command:
            m[s.kind] += 1
            m[f"{s.kind}_events"] += bool(events or events_none)
            m["false"] += len(events) if s.kind == "talk" else 0
            if s.kind == "outside":  # a pointing event where no deictic word was said
                m["false"] += sum(1 for u, w in events if (t := _said_at(s, w)) is None
                                  or t[1].text not in speech.DEICTIC)
            continue
        m["commands"] += 1
        m["accepted"] += bool(accepted)
        said = " ".join(w.text for u in accepted for w in u.words)
        m["exact"] += said == s.text
        if VERBOSE and said != s.text:
            heard = " | ".join(u.text for u in utterances)
            print(f"  {s.voice} {s.rate} {s.kind}: said {s.text!r}, heard {heard!r}, kept {said!r}",
                  file=sys.stderr)
        m["deictic"] += sum(1 for w in s.words if w.text in speech.DEICTIC)
        for u, w in events:
            truth = _said_at(s, w)
            if truth is None or truth[1].text not in speech.DEICTIC:
                m["false"] += 1  # a pointing event where no deictic word was said
                continue
            index, word = truth
            if w.text != word.text:
                m["other"] += 1
                continue
            m["same"] += 1
            m["recalled"] += 1
            error = abs(w.begin_s - word.begin_s) * 1000
            begin_errors.append(error)
            if index in s.paused:
                paused_errors.append(error)
                m["after_pause"] += 1
            arrival_s = u.end_s + delay_s
            session.play_until(round(arrival_s * 1e9))
            aim = s.aims[index]
            m["right_spoken"] += session.grounded(w.text, w.begin_s) == aim
            m["right_start"] += session.grounded(w.text, u.begin_s) == aim
            m["right_newest"] += session.panel_at(round(arrival_s * 1e9)) == aim
    m["begin_p50"] = percentile(begin_errors, 0.5)
    m["begin_p95"] = percentile(begin_errors, 0.95)
    m["paused_p95"] = percentile(paused_errors, 0.95)
    return m


def _said_at(s: Sentence, heard: speech.Word) -> tuple[int, speech.Placed] | None:
    """The word of the sentence said where a heard word begins: the one whose begin is
    nearest, within MATCH_S."""
    assert s.words is not None
    best = min(range(len(s.words)), key=lambda i: abs(s.words[i].begin_s - heard.begin_s))
    return (best, s.words[best]) if abs(s.words[best].begin_s - heard.begin_s) <= MATCH_S else None


def realtime_delays(sentences: list[Sentence], grammar_path: str, extra: list[str]) -> list[float]:
    """Seconds from each sentence's last sound to its result, fed at the microphone's pace."""
    stream = build_stream(sentences, random.Random(0))
    first = time.monotonic_ns() + 200_000_000
    clock = speech.AudioClock(first)
    recogniser = speech.PocketSphinx(grammar_path, program=PROGRAM, options=[*speech.RECOGNISER_OPTIONS, *extra])
    step = round(0.02 * speech.SAMPLE_RATE)
    arrivals: list[tuple[int, speech.Utterance]] = []
    data = stream.astype("<i2").tobytes()
    try:
        for i, at in enumerate(range(0, len(data), step * 2)):
            due = first + round((i + 1) * 0.02 * 1e9)
            time.sleep(max(0.0, (due - time.monotonic_ns()) / 1e9))
            recogniser.feed(data[at:at + step * 2])
            arrivals += recogniser.results()
        arrivals += recogniser.close()
    finally:  # a failure or Ctrl-C on the way leaves no recogniser behind
        recogniser.kill()
    delays = []
    for arrived_ns, u in arrivals:
        delays.append((arrived_ns - clock.to_host_ns(u.end_s)) / 1e9)
    return delays


def share(m: dict[str, float], a: str, b: str) -> str:
    return f"{m[a] / m[b] * 100:.1f}% ({m[a]}/{m[b]})" if m[b] else "-"


def table(head: str) -> None:
    print(head)
    print("|---" * (head.count("|") - 1) + "|")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--commands", type=int, default=150)
    parser.add_argument("--paused", type=int, default=60, help="commands with a pause before each deictic word")
    parser.add_argument("--outside", type=int, default=40, help="commands outside the grammar")
    parser.add_argument("--talk", type=int, default=100)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--noise", default="clean,20,10")
    parser.add_argument("--voices", default=",".join(VOICES), help="SYNTHESISER:VOICE, ...")
    parser.add_argument("--realtime", type=int, default=12)
    parser.add_argument("--pocketsphinx-args", default="")
    parser.add_argument("--filler", type=int, default=len(FILLER), help="how many of the filler words the loop has")
    parser.add_argument("--by", default="noise,synthesiser,voice,rate,kind", help="the breakdowns to print")
    parser.add_argument("--verbs", default=",".join(VERBS), help="the host's verbs that take a thing")
    parser.add_argument("--placing", default=",".join(PLACING), help="the host's verbs that take a thing and a place")
    parser.add_argument("--recogniser", choices=("listen", "pocketsphinx"), default="listen",
                        help="spatial_intent.listen (the default), or pocketsphinx's own live mode")
    parser.add_argument("--jobs", type=int, default=2, help="conditions recognised at once")
    parser.add_argument("--verbose", action="store_true", help="every command not heard word for word")
    parser.add_argument("--background", action="store_true",
                        help="decode each utterance with the general language model too, and print its trade")
    args = parser.parse_args()
    global VERBOSE, PROGRAM
    VERBOSE = args.verbose
    PROGRAM = speech.LISTENER if args.recogniser == "listen" else ("pocketsphinx",)
    try:
        grammar = CommandGrammar(OBJECTS, filler=FILLER_LONG[:args.filler],
                                 verbs=[v for v in args.verbs.split(",") if v.strip()],
                                 placing=[v for v in args.placing.split(",") if v.strip()])
    except ValueError as e:
        parser.error(str(e))
    voices = []
    for voice in (v.strip() for v in args.voices.split(",") if v.strip()):
        why = synthesisers.available(voice)
        if why is None:
            voices.append(voice)
        else:
            print(f"bench: without the voice {voice}: {why}", file=sys.stderr)
    if not voices:
        sys.exit("bench: no voice can be used")
    extra = shlex.split(args.pocketsphinx_args) + (["-background", "yes"] if args.background else [])
    counts = {"command": args.commands, "paused": args.paused, "outside": args.outside, "talk": args.talk}
    began = time.monotonic()
    sentences, redrawn = corpus(args.seed, counts, grammar, voices)
    with tempfile.NamedTemporaryFile("w", suffix=".gram") as g:
        g.write(grammar.jsgf())
        g.flush()
        delays, plain_delays = [], []
        if args.realtime:
            chosen = [s for s in sentences if s.kind == "command"][:args.realtime]
            delays = realtime_delays(chosen, g.name, extra)
            plain_delays = realtime_delays(chosen, g.name, [*extra, "-confidence", "no"])
        delay_s = statistics.median(delays) if delays else 0.5
        clean = build_stream(sentences, random.Random(args.seed))
        levels = args.noise.split(",")
        # The batch streams have the rivals scored too, for their trade; the delay is the
        # listener's as it ships, without them.
        batch = [*extra, *(["-rivals", "yes"] if args.recogniser == "listen" else [])]
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:  # one recogniser process each
            heard_at = list(pool.map(lambda level: recognise(noisy(clean, sentences, None if level == "clean"
                                                                   else float(level), args.seed), g.name, batch),
                                     levels))
    chosen_rule = Rule("chosen")
    rows, trade = [], []
    for level, heard in zip(levels, heard_at):
        owned = assign(sentences, heard)
        noise = level if level == "clean" else f"{level} dB"
        trade += [(noise, r, measure(sentences, sentences, owned, grammar, delay_s, r)) for r in rules(heard)]
        for key in args.by.split(","):
            if key == "noise":
                rows.append((noise, "all", measure(sentences, sentences, owned, grammar, delay_s, chosen_rule)))
                continue
            values = {"synthesiser": sorted({v.partition(":")[0] for v in voices}), "voice": voices,
                      "rate": RATES, "kind": KINDS}[key]
            for value in values:
                part = [s for s in sentences if getattr(s, key) == value]
                rows.append((noise, str(value), measure(part, sentences, owned, grammar, delay_s, chosen_rule)))
    print(f"speech: {args.commands} commands, {args.paused} with pauses, {args.outside} outside the grammar, "
          f"{args.talk} sentences of talk (seed {args.seed}), {len(voices)} voices x {len(RATES)} rates, "
          f"{args.recogniser} {' '.join([*speech.RECOGNISER_OPTIONS, *batch])}, "
          f"{len(grammar.rules['filler'])} filler words, rejection {speech.REJECTION}; "
          f"{redrawn} drawn again (a word with no start of its own); {time.monotonic() - began:.0f} s")
    print(f"recogniser delay, end of speech to result, fed in real time ({len(delays)} results): "
          f"p50 {percentile(delays, 0.5) * 1000:.0f} ms, p95 {percentile(delays, 0.95) * 1000:.0f} ms; "
          f"without the judge p50 {percentile(plain_delays, 0.5) * 1000:.0f} ms, "
          f"p95 {percentile(plain_delays, 0.95) * 1000:.0f} ms")
    table("| noise | part | commands kept | word for word | deictic recalled | heard = said | events, no deictic said "
          "| begin error p50/p95 ms | after a pause p95 ms | right at spoken time | at utterance start "
          "| newest at result | talk with an event | outside commands with an event |")
    for noise, part, m in rows:
        print(f"| {noise} | {part} | {share(m, 'accepted', 'commands')} | {share(m, 'exact', 'commands')} "
              f"| {share(m, 'recalled', 'deictic')} | {_same(m)} | {share(m, 'false', 'events')} "
              f"| {m['begin_p50']:.0f} / {m['begin_p95']:.0f} | {m['paused_p95']:.0f} ({m['after_pause']}) "
              f"| {share(m, 'right_spoken', 'recalled')} | {share(m, 'right_start', 'recalled')} "
              f"| {share(m, 'right_newest', 'recalled')} | {share(m, 'talk_events', 'talk')} "
              f"| {share(m, 'outside_events', 'outside')} |")
    print()
    print("the trade: each test alone, then the shipped rule (all voices)")
    table("| noise | rule | commands kept | deictic recalled | heard = said | events, no deictic said "
          "| talk with an event | outside commands with an event |")
    for noise, r, m in trade:
        print(f"| {noise} | {r.name} | {share(m, 'accepted', 'commands')} | {share(m, 'recalled', 'deictic')} "
              f"| {_same(m)} | {share(m, 'false', 'events')} | {share(m, 'talk_events', 'talk')} "
              f"| {share(m, 'outside_events', 'outside')} |")
    return 0


def _same(m: dict[str, float]) -> str:
    both = m["same"] + m["other"]
    return f"{m['same'] / both * 100:.1f}% ({m['same']}/{both})" if both else "-"


def rules(heard: list[speech.Utterance]) -> list[Rule]:
    R = speech.Rejection
    found = [Rule("none", None)]
    found += [Rule(f"utterance below {u:g}", R(u, None, None)) for u in (-36, -40, -44, -48, -52, -56)]
    found += [Rule(f"a word below {w:g}", R(None, w, None)) for w in (-46, -48, -50, -52, -54, -56, -62, -68, -74)]
    found += [Rule(f"a rival within {r:g}", R(None, None, r)) for r in (0, 1, 2, 4, 8)]
    if any(u.background is not None for u in heard):
        found += [Rule(f"background, margin {m}", None, m) for m in (0, 1, 2)]
    found.append(Rule(f"shipped: {speech.REJECTION}"))
    return found


if __name__ == "__main__":
    sys.exit(main())
