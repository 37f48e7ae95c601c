"""Listening to the scripted user: its commands, synthesised, fed to a speech recogniser
in real time, and each deictic word it hears grounded at the time it was spoken; the
same for a host on either runtime."""

from __future__ import annotations

import sys
import time

import _spatial as sp
from spatial_intent import speech
from spatial_intent.commands import CommandGrammar

from . import script, voice

# The longest the recogniser takes from the end of an utterance to its result (make
# bench-speech measured a p95 of 1.24 to 1.26 s fed in real time, a median of about
# half a second): with the longest utterance it sizes the timeline's history.
WORST_DELAY_S = 1.3


class Listener:
    """The scripted user's voice into a recogniser listening for commands, and what it
    heard grounded (talk that is not a command makes no event): each deictic word
    paired at the time it was spoken, beside what a host without history
    would have paired (the newest frame when the result arrived)."""

    def __init__(self, s: script.Script, grammar_path: str, name: str) -> None:
        """Synthesises what the script says; nothing listens before start()."""
        self.said = voice.speak(s)
        self.grammar = CommandGrammar([panel.split(":")[1] for panel in script.PANELS])
        with open(grammar_path, "w", encoding="utf-8") as g:
            g.write(self.grammar.jsgf())
        self.grammar_path, self.name = grammar_path, name
        self.start_ns = 0
        self.clock = speech.AudioClock(0)
        self.recogniser: speech.PocketSphinx | None = None
        self.microphone: voice.Microphone | None = None
        self.failure: str | None = None  # the recogniser's, found at the end of the audio
        self.failure_told = False
        self.grounded: list[dict] = []
        self.utterances: list[dict] = []

    def start(self, start_ns: int) -> "Listener":
        """The recogniser started, and the microphone, its first sample at the script's 0."""
        self.start_ns = start_ns
        self.clock = speech.AudioClock(start_ns)
        self.recogniser = speech.PocketSphinx(self.grammar_path,
                                              warn=lambda m: print(f"{self.name}: {m}", file=sys.stderr))
        self.microphone = voice.Microphone(self.said.samples, start_ns, self.recogniser).start()
        return self

    def history_frames(self) -> int:
        phrases = {}
        for index, placed in self.said.words:
            begin, end = phrases.get(index, (placed.begin_s, placed.end_s))
            phrases[index] = (min(begin, placed.begin_s), max(end, placed.end_s))
        longest = max(end - begin for begin, end in phrases.values())
        return speech.history_frames(longest, WORST_DELAY_S)

    def failed(self) -> str | None:
        return (self.microphone.failure if self.microphone is not None else None) or self.failure

    def heard(self, timeline: sp.IntentTimeline, events, session, arrivals=None) -> None:
        """Grounds what arrived; writes each event."""
        if self.failed() and not self.failure_told:
            print(f"{self.name}: {self.failed()}; the frames go on", file=sys.stderr)
            self.failure_told = True
        for arrived_ns, utterance in arrivals if arrivals is not None else self.recogniser.results():
            kept = speech.accepted(self.grammar, utterance)
            self.utterances.append({"arrived_ns": arrived_ns, "command": kept is not None, "words": [
                [w.text, self.clock.to_host_ns(w.begin_s), self.clock.to_host_ns(w.end_s)] for w in utterance.words]})
            if kept is None:  # talk, or a command the audio does not support: no event
                continue
            utterance = kept
            newest = timeline.latest()
            baseline = newest.target.host_id if newest is not None and newest.target is not None else None
            for g in speech.ground(utterance, self.clock, timeline):
                target = g.event.spatial_context.target if g.event is not None else None
                if g.event is not None:
                    line = sp.to_jsonl(g.event) + "\n"
                    events.write(line)
                    if session is not None:
                        session.write(line)
                else:
                    print(f"{self.name}: \"{speech.printable(g.text, 120)}\" spoken at "
                          f"{(g.spoken_ns - self.start_ns) / 1e9:.3f} s found no frame in the history", file=sys.stderr)
                self.grounded.append({
                    "word": g.word.text if g.word is not None else None, "text": g.text, "spoken_ns": g.spoken_ns,
                    "arrived_ns": arrived_ns, "utterance": utterance.text,
                    "utterance_end_ns": self.clock.to_host_ns(utterance.end_s),
                    "host_id": target.host_id if target is not None else None, "baseline_host_id": baseline})

    def finish(self, timeline: sp.IntentTimeline, events, session) -> None:
        """The end of the audio: the last utterances, grounded out of the history."""
        self.microphone.finish()
        if self.microphone.failure is None:
            last = self.recogniser.close()
            if self.recogniser.process.returncode != 0:
                self.failure = self.recogniser.stopped()
            self.heard(timeline, events, session, [(time.monotonic_ns(), u) for _, u in last])
        self.heard(timeline, events, session, [])  # says a failure not yet told

    def stop(self) -> None:
        """Ends the recogniser first: a microphone blocked on feeding it is freed by that."""
        if self.recogniser is not None:
            self.recogniser.kill()
        if self.microphone is not None:
            self.microphone.halt()

    def summary(self) -> dict:
        return {"grounded": self.grounded, "phrases": self.said.phrases, "talk": self.said.talk,
                "heard": self.utterances,
                "placed": [[i, p.text, self.clock.to_host_ns(p.begin_s), self.clock.to_host_ns(p.end_s)]
                           for i, p in self.said.words]}
