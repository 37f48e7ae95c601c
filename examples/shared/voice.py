"""The scripted user's voice: the script's spoken commands synthesised whole, as people
speak, and placed at their times in one stream of audio, and a microphone that hands that audio
to a recogniser as it would be captured, in real time on the monotonic clock."""

from __future__ import annotations

import array
import json
import threading
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING

from spatial_intent import speech

if TYPE_CHECKING:  # run as a module of the package openxr (the host) or beside it (the demo)
    from shared import script

VOICE, RATE_WPM = "en-us", 150  # the voice and rate every spoken command is recognised at
CHUNK_S = 0.02  # what a capture callback hands over at a time
MARGIN = speech.SAMPLE_RATE // 20  # samples kept either side of a phrase's sound: 50 ms


@dataclass(frozen=True)
class Spoken:
    """What the scripted user says: the samples from the script's second 0, each word
    where it was placed (phrase index, placement), what was said, and which of it was
    talk, not a command (by index)."""

    samples: bytes
    words: list[tuple[int, speech.Placed]]
    phrases: list[str]
    talk: list[int]


def speak(s: script.Script) -> Spoken:
    audio = array.array("h")
    words: list[tuple[int, speech.Placed]] = []
    phrases = []
    talk = []
    for index, (at, text, command) in enumerate(s.spoken()):
        said = text.split()
        pointing = [i for i, w in enumerate(said) if w in speech.DEICTIC] if command else []
        if len(pointing) == 2:  # said in two pieces, a pause between them while the pointer moves
            pieces = [(said[:pointing[1]], at, pointing[0]), (said[pointing[1]:], s.place_s(at), 0)]
        else:
            pieces = [(said, at, pointing[0] if pointing else None)]
        if not command:
            talk.append(index)
        for piece, when, word in pieces:
            samples, placed = speech.speak_sentence(" ".join(piece), VOICE, RATE_WPM)
            # Each cut to its sound and a little either side (a word's first sound may be
            # quiet), so that the silence between is the script's: the synthesiser's
            # closing pause would push what follows later.
            first, last = speech.sounding(samples)
            first, last = max(0, first - MARGIN), min(len(samples), last + MARGIN)
            cut = first / speech.SAMPLE_RATE
            samples = samples[first:last]
            placed = [speech.Placed(p.text, max(0.0, p.begin_s - cut), p.end_s - cut) for p in placed]
            begin = when - (placed[word].begin_s if word is not None else 0.0)
            first = round(begin * speech.SAMPLE_RATE)
            if first < len(audio):  # a run too short for its script: one right after the other
                first, begin = len(audio), len(audio) / speech.SAMPLE_RATE
            audio.extend(array.array("h", bytes(speech.SAMPLE_BYTES * (first - len(audio)))))
            audio.extend(samples)
            words.extend((index, speech.Placed(p.text, begin + p.begin_s, begin + p.end_s)) for p in placed)
        phrases.append(text)
    silence = round(s.seconds * speech.SAMPLE_RATE) - len(audio)
    audio.extend(array.array("h", bytes(speech.SAMPLE_BYTES * max(silence, 0))))
    return Spoken(audio.tobytes(), words, phrases, talk)


class Microphone:
    """Feeds the samples to the recogniser as they would arrive, the first at
    `first_sample_ns`; a recogniser that stops is noted in `failure`, once."""

    def __init__(self, samples: bytes, first_sample_ns: int, recogniser: speech.Recogniser) -> None:
        self.samples, self.first_sample_ns, self.recogniser = samples, first_sample_ns, recogniser
        self.failure: str | None = None
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def start(self) -> "Microphone":
        self.thread.start()
        return self

    def _run(self) -> None:
        step = round(CHUNK_S * speech.SAMPLE_RATE) * speech.SAMPLE_BYTES
        for i, at in enumerate(range(0, len(self.samples), step)):
            due = self.first_sample_ns + round((i + 1) * CHUNK_S * 1e9)  # captured once the chunk is whole
            if self.stop.wait(max(0.0, (due - time.monotonic_ns()) / 1e9)):
                return
            try:
                self.recogniser.feed(self.samples[at:at + step])
            except speech.SpeechError as e:
                self.failure = str(e)
                return

    def finish(self, timeout_s: float = 2.0) -> None:
        """Waits for the last samples to be fed (they are due by the end of the script)."""
        self.thread.join(timeout_s)
        self.halt()

    def halt(self, timeout_s: float = 15.0) -> None:
        """Stops feeding. A feed under way ends within the recogniser's own bound on
        taking audio; a thread still in one after `timeout_s` is left to that bound."""
        self.stop.set()
        self.thread.join(timeout_s)
        if self.thread.is_alive() and self.failure is None:
            self.failure = f"the speech recogniser took no audio for {timeout_s:g} s"


def measure(spoken: dict, s: script.Script, start_ns: int) -> dict:
    """What the spoken run shows, from the host's summary of it: for each deictic word
    the panel aimed at when it was spoken (the script's truth), the one paired at its
    spoken time and the one a host without history pairs at the result's arrival; the
    recogniser's delays; the error of the word begin times against where the audio was
    placed; and the words heard out of those spoken."""
    talk = set(spoken["talk"])
    placed = [(i, w, b, e) for i, w, b, e in spoken["placed"] if i not in talk]
    talked: dict[int, tuple[int, int]] = {}  # talk phrase -> its span
    for i, _, b, e in spoken["placed"]:
        if i in talk:
            talked[i] = (min(b, talked.get(i, (b, e))[0]), max(e, talked.get(i, (b, e))[1]))
    phrases: dict[int, list[tuple[str, int, int]]] = {}
    for i, w, b, e in placed:
        phrases.setdefault(i, []).append((w, b, e))
    matched: dict[int, dict] = {}  # phrase -> the utterance heard over it
    for u in spoken["heard"]:
        begin, end = u["words"][0][1], u["words"][-1][2]
        for i, words in phrases.items():
            if begin < words[-1][2] and end > words[0][1] and i not in matched:
                matched[i] = u
                break
    errors, heard_words, delays = [], 0, []
    for i, words in phrases.items():
        u = matched.get(i)
        if u is None:
            continue
        delays.append((u["arrived_ns"] - words[-1][2]) / 1e6)
        if [w for w, _, _ in u["words"]] == [w for w, _, _ in words]:
            heard_words += len(words)
            errors += [abs(h[1] - p[1]) / 1e6 for h, p in zip(u["words"], words)]
        else:
            heard_words += sum(1 for a, b in zip(u["words"], words) if a[0] == b[0])
    rows = []
    for i, w, b, _ in placed:
        if w not in speech.DEICTIC:
            continue
        truth = s.panel_at((b - start_ns) / 1e9)
        # The deictic word heard nearest to where this one was said: a recogniser that
        # hears "these" for "this" still names the thing pointed at.
        g = min(spoken["grounded"], key=lambda g: abs(g["spoken_ns"] - b), default=None)
        if g is not None and abs(g["spoken_ns"] - b) > 300_000_000:
            g = None
        rows.append({"phrase": spoken["phrases"][i], "word": w, "heard": g["word"] if g else None,
                     "spoken_s": (b - start_ns) / 1e9, "truth": truth,
                     "paired": g["host_id"] if g else None, "baseline": g["baseline_host_id"] if g else None,
                     "arrived_s": (g["arrived_ns"] - start_ns) / 1e9 if g else None})
    ordered = sorted(errors)
    share = lambda key: sum(r[key] == r["truth"] for r in rows) / len(rows) if rows else 0.0  # noqa: E731
    return {
        "words": rows,
        "paired_right": share("paired"), "baseline_right": share("baseline"),
        "delay_ms": {"median": sorted(delays)[len(delays) // 2] if delays else float("nan"),
                     "max": max(delays, default=float("nan"))},
        "begin_error_ms": {"p95": ordered[min(len(ordered) - 1, int(0.95 * len(ordered)))] if ordered else float("nan"),
                           "max": max(ordered, default=float("nan")),
                           "within_100": sum(e <= 100 for e in ordered) / len(ordered) if ordered else 0.0},
        "words_heard": heard_words, "words_spoken": len(placed),
        "phrases_heard": sum(1 for i, u in matched.items()
                             if [w for w, _, _ in u["words"]] == [w for w, _, _ in phrases[i]]),
        "phrases_spoken": len(phrases),
        "commands_heard": sum(1 for u in matched.values() if u["command"]),
        "talk_spoken": len(talk),
        "talk_made_events": sum(1 for g in spoken["grounded"] for b, e in talked.values()
                                if b - 200_000_000 <= g["spoken_ns"] <= e),
    }


def summarise(prefix: str, s: script.Script, start_ns: int) -> bool:
    """Prints what a spoken run shows (its summary at PREFIX-summary.json) and keeps the
    measurement at PREFIX-measured.json; whether every deictic word was paired with the
    panel pointed at, every command heard as one, and no talk made an event."""
    with open(f"{prefix}-summary.json") as f:
        summary = json.load(f)
    m = measure(summary["speech"], s, start_ns)
    print(f"spoken ({VOICE} at {RATE_WPM} words a minute, commands drawn from the command grammar, "
          f"recognised by pocketsphinx with it; history {summary['history_frames']} frames):")
    print("  | word | said at | pointer | pointed at (truth) | paired at its spoken time "
          "| newest frame at the result |")
    print("  |---|---:|---|---|---|---|")
    for r in m["words"]:
        mark = lambda got: f"{got or '(none)'}{'' if got == r['truth'] else ', wrong'}"  # noqa: E731
        heard = "" if r["heard"] in (None, r["word"]) else f", heard \"{r['heard']}\""
        print(f"  | {r['phrase'].replace(r['word'], '[' + r['word'] + ']', 1)}{heard} | {r['spoken_s']:.2f} s "
              f"| {s.pointer(r['spoken_s'])} | {r['truth']} | {mark(r['paired'])} | {mark(r['baseline'])}"
              + (f" ({r['arrived_s']:.2f} s)" if r["arrived_s"] is not None else "") + " |")
    print(f"  right: {m['paired_right']:.0%} paired at the spoken time, {m['baseline_right']:.0%} by the newest frame "
          f"at the result")
    print(f"  recogniser's delay from the end of an utterance to its result: median {m['delay_ms']['median']:.0f} ms, "
          f"max {m['delay_ms']['max']:.0f} ms")
    print(f"  word begin times against where the audio was placed: {m['begin_error_ms']['within_100']:.0%} within "
          f"100 ms, p95 {m['begin_error_ms']['p95']:.0f} ms, max {m['begin_error_ms']['max']:.0f} ms")
    print(f"  heard: {m['words_heard']} of {m['words_spoken']} words, {m['phrases_heard']} of {m['phrases_spoken']} "
          f"commands word for word, {m['commands_heard']} as commands; {m['talk_made_events']} events from "
          f"{m['talk_spoken']} sentence(s) of talk")
    with open(f"{prefix}-measured.json", "w") as f:
        json.dump(m, f)
    return summary["status"] == 0 and m["paired_right"] == 1.0 and m["commands_heard"] == m["phrases_spoken"] \
        and m["talk_made_events"] == 0
