"""Speech as people speak it, measured: a seeded corpus of commands from the command
grammar and of ordinary talk, spoken whole by several voices at several rates, clean
and under noise, recognised, and each deictic word grounded in a session whose aim
moves between the words.

    python bench/speech.py [--commands 200] [--talk 100] [--seed 7] [--noise clean,20,10]
                           [--realtime 12] [--pocketsphinx-args "-beam 1e-60"] [--filler-weight 1]

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
from spatial_intent import speech
from spatial_intent.commands import FILLER, FILLER_LONG, PLACING, VERBS, CommandGrammar

OBJECTS = ("calendar", "map", "notes", "lamp", "table")
PANELS = ("panel:calendar", "panel:map", "panel:notes")
VOICES = ("en-us", "en", "en-us+f3", "en-us+m3")
RATES = (130, 160, 190)
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
           "nobody knows where the remote went", "the garden needs some water", "the bus comes every hour")


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
    command: bool
    voice: str
    rate: int
    at_s: float = 0.0  # where it begins in its stream
    words: list[speech.Placed] | None = None  # on the stream's clock
    aims: list[str] | None = None  # the panel aimed at during each word
    after: str = ""  # the panel aimed at from the sentence's end until the next one


def corpus(seed: int, commands: int, talking: int, grammar: CommandGrammar) -> tuple[list[Sentence], int]:
    """The sentences, each voice and rate taking turns; and how many were drawn again
    because the synthesiser ran a word into the next, leaving it no start of its own."""
    rng = random.Random(seed)
    cells = [(v, r) for v in VOICES for r in RATES]
    said, redrawn = [], 0
    for command, count in ((True, commands), (False, talking)):
        while sum(s.command == command for s in said) < count:
            voice, rate = cells[len(said) % len(cells)]
            text = grammar.sentences(rng, 1)[0] if command else talk(rng, 1)[0]
            try:
                speech.speak_sentence(text, voice, rate)
            except speech.SpeechError:
                redrawn += 1
                continue
            said.append(Sentence(text, command, voice, rate))
    rng.shuffle(said)
    return said, redrawn


def build_stream(sentences: list[Sentence], rng: random.Random) -> np.ndarray:
    """The sentences one after another, GAP_S apart; the aim moves to another panel at
    every word's start, and once more after each sentence."""
    pieces, t = [np.zeros(round(GAP_S * speech.SAMPLE_RATE), np.int16)], GAP_S
    aim = rng.choice(PANELS)
    for s in sentences:
        samples, placed = speech.speak_sentence(s.text, s.voice, s.rate)
        s.at_s = t
        s.words = [speech.Placed(p.text, t + p.begin_s, t + p.end_s) for p in placed]
        s.aims = []
        for _ in placed:
            aim = rng.choice([p for p in PANELS if p != aim])
            s.aims.append(aim)
        s.after = aim = rng.choice([p for p in PANELS if p != aim])
        pieces += [np.frombuffer(samples.tobytes(), np.int16), np.zeros(round(GAP_S * speech.SAMPLE_RATE), np.int16)]
        t += len(samples) / speech.SAMPLE_RATE + GAP_S
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


def timeline_for(sentences: list[Sentence], seconds: float) -> tuple[list[int], list[str]]:
    """The session's aim changes: (ns from the stream's start, panel) in order. The aim
    reaches each word's panel halfway from the start of the word before to its own, and
    leaves it halfway to the next word's: the hand moves on as the words run on."""
    times, panels = [0], [sentences[0].aims[0] if sentences[0].aims else PANELS[0]]
    for s in sentences:
        assert s.words and s.aims
        previous = s.words[0].begin_s - 0.15
        for word, panel in zip(s.words, s.aims):
            times.append(round((previous + word.begin_s) / 2 * 1e9))
            panels.append(panel)
            previous = word.begin_s
        times.append(round((previous + s.words[-1].end_s) / 2 * 1e9))
        panels.append(s.after)
    return times, panels


class Session:
    """Frames at 90 Hz whose target is the panel aimed at, pushed into a real timeline as
    the stream plays, so that grounding looks them up as a host would."""

    FRAME_NS = 1_000_000_000 // 90

    def __init__(self, sentences: list[Sentence], history_s: float) -> None:
        self.times, self.panels = timeline_for(sentences, 0)
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


def measure(sentences: list[Sentence], every: list[Sentence], by_sentence: dict[int, list[speech.Utterance]],
            grammar: CommandGrammar, delay_s: float, margin: int | None = None) -> dict[str, float]:
    """The figures over `sentences`, a part of the stream `every`; with a `margin`, a
    command the background decoding refuses by it is no command."""
    session = Session(every, history_s=30.0)
    m = {"commands": 0, "exact": 0, "deictic": 0, "recalled": 0, "false": 0, "right_spoken": 0,
         "right_start": 0, "right_newest": 0, "talk": 0, "talk_events": 0}
    begin_errors: list[float] = []
    for s in sentences:
        utterances = sorted(by_sentence.get(id(s), []), key=lambda u: u.begin_s)
        accepted = [u for u in utterances if speech.command(grammar, u, margin) is not None]
        if not s.command:
            m["talk"] += 1
            m["talk_events"] += bool(accepted)
            m["false"] += sum(1 for u in accepted for w in u.words if w.text in speech.DEICTIC)
            continue
        m["commands"] += 1
        said = " ".join(w.text for u in utterances for w in u.words)
        m["exact"] += said == s.text
        if VERBOSE and said != s.text:
            print(f"  {s.voice} {s.rate}: said {s.text!r}, heard {said!r}", file=sys.stderr)
        truth = [(w, aim) for w, aim in zip(s.words, s.aims) if w.text in speech.DEICTIC]
        m["deictic"] += len(truth)
        heard_words = [(u, w) for u in accepted for w in u.words if w.text in speech.DEICTIC]
        used = set()
        for word, aim in truth:
            match = min((hw for hw in heard_words if hw[1].text == word.text and id(hw[1]) not in used
                         and abs(hw[1].begin_s - word.begin_s) <= MATCH_S),
                        key=lambda hw: abs(hw[1].begin_s - word.begin_s), default=None)
            if match is None:
                continue
            u, w = match
            used.add(id(w))
            m["recalled"] += 1
            begin_errors.append(abs(w.begin_s - word.begin_s) * 1000)
            arrival_s = u.end_s + delay_s
            session.play_until(round(arrival_s * 1e9))
            m["right_spoken"] += session.grounded(w.text, w.begin_s) == aim
            m["right_start"] += session.grounded(w.text, u.begin_s) == aim
            m["right_newest"] += session.panel_at(round(arrival_s * 1e9)) == aim
        m["false"] += len(heard_words) - len(used)
    m["begin_p50"] = percentile(begin_errors, 0.5)
    m["begin_p95"] = percentile(begin_errors, 0.95)
    return m


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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--commands", type=int, default=200)
    parser.add_argument("--talk", type=int, default=100)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--noise", default="clean,20,10")
    parser.add_argument("--realtime", type=int, default=12)
    parser.add_argument("--pocketsphinx-args", default="")
    parser.add_argument("--filler", type=int, default=len(FILLER), help="how many of the filler words the loop has")
    parser.add_argument("--by", default="noise,voice,rate", help="the breakdowns to print")
    parser.add_argument("--verbs", default=",".join(VERBS), help="the host's verbs that take a thing")
    parser.add_argument("--placing", default=",".join(PLACING), help="the host's verbs that take a thing and a place")
    parser.add_argument("--recogniser", choices=("listen", "pocketsphinx"), default="listen",
                        help="spatial_intent.listen (the default), or pocketsphinx's own live mode")
    parser.add_argument("--jobs", type=int, default=2, help="conditions recognised at once")
    parser.add_argument("--verbose", action="store_true", help="every command not heard word for word")
    parser.add_argument("--background-margins", default="0,1,2,3",
                        help="with --pocketsphinx-args '-background yes': the margins whose trade is printed")
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
    extra = shlex.split(args.pocketsphinx_args)
    sentences, redrawn = corpus(args.seed, args.commands, args.talk, grammar)
    began = time.monotonic()
    with tempfile.NamedTemporaryFile("w", suffix=".gram") as g:
        g.write(grammar.jsgf())
        g.flush()
        delays = []
        if args.realtime:
            delays = realtime_delays([s for s in sentences if s.command][:args.realtime], g.name, extra)
        delay_s = statistics.median(delays) if delays else 0.5
        clean = build_stream(sentences, random.Random(args.seed))
        levels = args.noise.split(",")
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:  # one recogniser process each
            heard_at = pool.map(lambda level: recognise(noisy(clean, sentences, None if level == "clean"
                                                              else float(level), args.seed), g.name, extra), levels)
        rows, trade = [], []
        margins = [int(m) for m in args.background_margins.split(",") if m.strip()]
        for level, heard in zip(levels, heard_at):
            snr = None if level == "clean" else float(level)
            owned = assign(sentences, heard)
            noise = level if snr is None else f"{level} dB"
            if any(u.background is not None for u in heard):
                trade += [(noise, m, measure(sentences, sentences, owned, grammar, delay_s, m))
                          for m in (None, *margins)]
            for key in args.by.split(","):
                if key == "noise":
                    rows.append((noise, "all", "all", measure(sentences, sentences, owned, grammar, delay_s)))
                    continue
                for value in (VOICES if key == "voice" else RATES):
                    chosen = [s for s in sentences if (s.voice if key == "voice" else s.rate) == value]
                    rows.append((noise, value if key == "voice" else "all", value if key == "rate" else "all",
                                 measure(chosen, sentences, owned, grammar, delay_s)))
    print(f"speech: {args.commands} commands and {args.talk} sentences of talk (seed {args.seed}), "
          f"{len(VOICES)} voices x {len(RATES)} rates, "
          f"{args.recogniser} {' '.join([*speech.RECOGNISER_OPTIONS, *extra])}, "
          f"{len(grammar.rules["filler"])} filler words; {redrawn} drawn again (a word with no start of its own); "
          f"{time.monotonic() - began:.0f} s")
    print(f"recogniser delay, end of speech to result, fed in real time ({len(delays)} results): "
          f"p50 {percentile(delays, 0.5) * 1000:.0f} ms, p95 {percentile(delays, 0.95) * 1000:.0f} ms")
    head = ("| noise | voice | rate | word for word | deictic recalled | false deictic | begin error p50/p95 ms "
            "| right at spoken time | at utterance start | newest at result | talk with an event |")
    print(head)
    print("|---" * (head.count("|") - 1) + "|")
    for noise, voice, rate, m in rows:
        def share(a: str, b: str) -> str:
            return f"{m[a] / m[b] * 100:.1f}% ({m[a]}/{m[b]})" if m[b] else "-"
        print(f"| {noise} | {voice} | {rate} | {share('exact', 'commands')} | {share('recalled', 'deictic')} "
              f"| {m['false']} | {m['begin_p50']:.0f} / {m['begin_p95']:.0f} | {share('right_spoken', 'recalled')} "
              f"| {share('right_start', 'recalled')} | {share('right_newest', 'recalled')} "
              f"| {share('talk_events', 'talk')} |")
    if trade:
        print()
        print("background decoding: a command is refused when it heard more than the command's words plus the margin")
        head = "| noise | margin | word for word | deictic recalled | false deictic | talk with an event |"
        print(head)
        print("|---" * (head.count("|") - 1) + "|")
        for noise, margin, m in trade:
            def part(a: str, b: str) -> str:
                return f"{m[a] / m[b] * 100:.1f}% ({m[a]}/{m[b]})" if m[b] else "-"
            print(f"| {noise} | {'none' if margin is None else margin} | {part('exact', 'commands')} "
                  f"| {part('recalled', 'deictic')} | {m['false']} | {part('talk_events', 'talk')} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
