"""What the scripted user does, as functions of the seconds since the session's start:
where the head looks, where the right controller aims, when the trigger is pulled and
what is said. The scripted user plays it through the runtime; the host and the test
read it back to say what should have been seen."""

from __future__ import annotations

import math
import random
from dataclasses import dataclass

from spatial_intent.commands import CommandGrammar
from spatial_intent.speech import DEICTIC

HEAD_POSITION = (0.0, 1.6, 0.0)
AIM_ORIGIN = (0.2, 1.4, -0.3)

# Centres of the host loop's panels (examples/host_loop.py), left to right.
PANELS = {"panel:calendar": (-0.9, 1.5, -2.0), "panel:map": (0.0, 1.5, -2.5), "panel:notes": (0.9, 1.5, -2.0)}


@dataclass(frozen=True)
class Script:
    seconds: float = 2.0

    # Fractions of the run: the aim holds on each panel in turn and moves between them,
    # quickly from the map to the notes, so that "put that, there" can name both.
    HOLDS = (("panel:calendar", 0.0, 0.3), ("panel:map", 0.4, 0.575), ("panel:notes", 0.585, 1.0))
    PRESSES = ((0.18, 0.28), (0.48, 0.56), (0.78, 0.9))
    # Typed: each paired whole at its time.
    UTTERANCES = ((0.15, "what is this?", "panel:calendar"), (0.5, "put it there", "panel:map"),
                  (0.85, "open that one", "panel:notes"))
    # Spoken: commands drawn from the command grammar (seeded), each said whole as people
    # speak. A command with one deictic word has it begin at its fraction of a run of
    # SPOKEN_SECONDS, where the aim holds on a panel; the placing command ("put that
    # there") has its two either side of the quick move from the map to the notes.
    # Between them, talk that is not a command, beginning at its fraction: it must make
    # no event. The seed draws commands this recogniser hears word for word here: it
    # loses a word's last sound at the end of an utterance ("select this" comes back as
    # "select the"), which the speech benchmark measures.
    SPOKEN = (("one", 0.1), ("talk", 0.2), ("two", 0.5), ("one", 0.8))
    TALK = "so the meeting moved to friday"
    SPOKEN_SECONDS = 9.0
    SPOKEN_SEED = 4

    def head_yaw(self, t: float) -> float:
        """The head turns from left to right across the panels and back, radians about +y."""
        return 0.45 * math.cos(2 * math.pi * t / self.seconds)

    def aim_angles(self, t: float) -> tuple[float, float]:
        """Yaw about +y and pitch about +x of the aim at time t."""
        f = min(max(t / self.seconds, 0.0), 1.0)
        for i, (panel, start, end) in enumerate(self.HOLDS):
            if f <= end:
                if f >= start or i == 0:
                    return angles_to(PANELS[panel])
                previous = angles_to(PANELS[self.HOLDS[i - 1][0]])
                target = angles_to(PANELS[panel])
                w = (f - self.HOLDS[i - 1][2]) / (start - self.HOLDS[i - 1][2])
                return tuple(a + w * (b - a) for a, b in zip(previous, target))  # type: ignore[return-value]
        return angles_to(PANELS[self.HOLDS[-1][0]])

    def pressed(self, t: float) -> bool:
        f = t / self.seconds
        return any(a <= f < b for a, b in self.PRESSES)

    def press_edges(self) -> list[tuple[float, bool]]:
        """(seconds, pressed after) of every scripted change of the trigger."""
        return [(x * self.seconds, down) for a, b in self.PRESSES for x, down in ((a, True), (b, False))]

    def utterances(self) -> list[tuple[float, str, str]]:
        """(seconds, text, the panel aimed at) of each thing typed."""
        return [(f * self.seconds, text, panel) for f, text, panel in self.UTTERANCES]

    def spoken(self) -> list[tuple[float, str, bool]]:
        """(seconds, what is said, whether it is a command) of each thing said aloud: for
        a command with one deictic word, when that word begins; for one with two, the
        moment between their begins; for talk, when it begins."""
        rng = random.Random(self.SPOKEN_SEED)
        grammar = CommandGrammar([name.split(":")[1] for name in PANELS], filler=())
        said = []
        for shape, f in self.SPOKEN:
            if shape == "talk":
                said.append((f * self.seconds, self.TALK, False))
                continue
            while True:
                text = grammar.sentences(rng, 1)[0]
                words = text.split()
                pointing = [w for w in words if w in DEICTIC]
                if shape == "one" and len(pointing) == 1 and "the" not in words:
                    break
                if shape == "two" and len(words) == 3 and words[2] in ("here", "there") and len(pointing) == 2:
                    break
            said.append((f * self.seconds if shape == "one" else self.move_to_notes_s(), text, True))
        return said

    def move_to_notes_s(self) -> float:
        """The middle of the aim's move from the map to the notes."""
        return (self.HOLDS[1][2] + self.HOLDS[2][1]) / 2 * self.seconds

    def panel_at(self, t: float) -> str | None:
        """The panel the aim holds on at time t, or None while it moves between two."""
        f = t / self.seconds
        return next((panel for panel, start, end in self.HOLDS if start <= f <= end), None)


def angles_to(point: tuple[float, float, float]) -> tuple[float, float]:
    dx, dy, dz = (p - o for p, o in zip(point, AIM_ORIGIN))
    return math.atan2(-dx, -dz), math.atan2(dy, math.hypot(dx, dz))


def yaw_pitch_quaternion(yaw: float, pitch: float) -> tuple[float, float, float, float]:
    """x, y, z, w of a turn by yaw about +y after a turn by pitch about +x."""
    cy, sy, cp, sp = math.cos(yaw / 2), math.sin(yaw / 2), math.cos(pitch / 2), math.sin(pitch / 2)
    return (cy * sp, sy * cp, -sy * sp, cy * cp)


def rotate(q: tuple[float, float, float, float], v: tuple[float, float, float]) -> tuple[float, float, float]:
    """v turned by the unit quaternion q = (x, y, z, w)."""
    x, y, z, w = q
    tx, ty, tz = 2 * (y * v[2] - z * v[1]), 2 * (z * v[0] - x * v[2]), 2 * (x * v[1] - y * v[0])
    return (v[0] + w * tx + y * tz - z * ty, v[1] + w * ty + z * tx - x * tz, v[2] + w * tz + x * ty - y * tx)


def report(s: Script, summary: dict, start_ns: int) -> bool:
    """Prints what a host's run summary says against what the script did: each select
    edge and each typed utterance's panel; whether all were as scripted."""
    print("select edges (scripted at -> seen at, on the frames' clock):")
    scripted = s.press_edges()
    for (at, down), edge in zip(scripted, summary["select_edges"]):
        print(f"  {'press  ' if down else 'release'} scripted {at:5.2f} s, last_change_time "
              f"{(edge[2] - start_ns) / 1e9:5.3f} s, first frame showing it {(edge[0] - start_ns) / 1e9:5.3f} s")
    ok = len(summary["select_edges"]) == len(scripted)
    for (at, text, panel), event in zip(s.utterances(), summary["events"]):
        good = event["paired"] and event["host_id"] == panel
        ok &= good
        print(f"  {text!r} at {at:4.2f} s: grounded to {event['host_id']} (aimed at {panel})"
              + ("" if good else "  <- wrong"))
    return ok and len(summary["events"]) == len(s.utterances())
