"""What the scripted user does, as functions of the seconds since the session's start:
where the head looks, what points (a controller, the right hand, the eyes with a pinch,
the head alone), when it selects, where the eyes look and where both hands are, and what
is said. The script passes through each way of pointing in turn, a phase each; within a
phase the pointer holds on each panel in turn. Both runtimes' scripted users play it;
the hosts and the tests read it back to say what should have been seen."""

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
# Where the eyes look while a controller or a hand points at a panel (and where the hand
# points while the eyes do): always another panel, so that the records tell them apart.
OTHER = {"panel:calendar": "panel:notes", "panel:map": "panel:calendar", "panel:notes": "panel:map"}

# The ways of pointing, in the order played. Between the hand and the eyes the user
# lowers both hands out of view and the eyes are not tracked, so that each is lost once
# and found again.
PHASES = ("controller", "hand", "head", "gaze")
# A spoken run: the ways of pointing the OpenXR runtime has, a phase of
# Script.SPOKEN_SECONDS each.
SPOKEN_PHASES = ("controller", "hand", "head")
# What real users do that the phases above do not, a phase each: a left-handed user with
# the left controller (the runtime sending NaN for its pose a moment); the left hand
# pointing and pinching, the right relaxed in view (the left lost for a frame
# mid-press); the head pointing while the right hand makes a fist and the left pinches;
# the right controller lying still on a table while the left hand points and pinches.
STRETCHES = ("left", "left-hand", "fist", "table")
# What selects in each phase: the controller's trigger, a pinch, or nothing (the head
# alone has no select).
SELECTS = {"controller": "trigger", "hand": "pinch", "gaze": "pinch", "head": None,
           "left": "trigger", "left-hand": "pinch", "fist": "pinch", "table": "pinch"}
# What points in each phase, and with which side.
POINTS = {"controller": ("controller", "right"), "hand": ("hand", "right"), "gaze": ("eye_gaze", None),
          "head": ("head", None), "left": ("controller", "left"), "left-hand": ("hand", "left"),
          "fist": ("head", None), "table": ("hand", "left")}
# Which hand pinches to select, where a hand does.
PINCHES = {"hand": "right", "gaze": "right", "left-hand": "left", "fist": "left", "table": "left"}

# The hands as the emulated headset places them: the wrist, in the hand's target ray's
# frame (x right, y up, -z along the ray), of its pointing pose; the left hand's mirrors it.
WRIST_OFFSET = (0.058, 0.017, 0.112)
LEFT_REST = (-0.25, 1.05, -0.3)  # the left hand hangs relaxed beside the body, and sways
# Where the right hand rests while the eyes point: low, before the body, the ray held
# towards another panel than the one looked at.
GAZE_HAND_ORIGIN = (0.25, 1.1, -0.25)
LEFT_AIM_ORIGIN = (-0.2, 1.4, -0.3)
# The right controller lying on a table, its ray along the table top, and how long after
# the phase's start the left hand begins to point (the user puts the controller down,
# then points).
TABLE_ORIGIN, TABLE_ORIENTATION, TABLE_POINT_S = (0.35, 0.75, -0.45), (0.0, 0.0, 0.0, 1.0), 0.03
# Fractions of a phase: the left hand lost for DROPOUT_S in the middle of the second
# press ("left-hand"); NaN for the left controller's pose for NAN_S while it holds on
# the notes between presses ("left").
DROPOUT_AT, DROPOUT_S = 0.52, 0.03
NAN_AT, NAN_S = 0.66, 0.03


@dataclass(frozen=True)
class Script:
    seconds: float = 2.0  # the whole script; each phase has an equal share
    phases: tuple[str, ...] = ("controller",)
    # A fraction of a phase: when it is not 0, a phase's last press is held on until the
    # next phase, whose input is already pressed when it takes over and is let go after
    # this much of it: a change of input in the middle of a press.
    overlap: float = 0.0

    # Fractions of a phase: the pointer holds on each panel in turn and moves between
    # them, quickly from the map to the notes, so that "put that, there" can name both.
    HOLDS = (("panel:calendar", 0.0, 0.3), ("panel:map", 0.4, 0.575), ("panel:notes", 0.585, 1.0))
    PRESSES = ((0.18, 0.28), (0.48, 0.56), (0.78, 0.9))
    # Typed: each paired whole at its time, in every phase.
    UTTERANCES = ((0.15, "what is this?", "panel:calendar"), (0.5, "put it there", "panel:map"),
                  (0.85, "open that one", "panel:notes"))
    # Spoken: commands drawn from the command grammar (seeded), each said whole as people
    # speak, the same in every phase. A command with one deictic word has it begin at
    # its fraction of a phase of SPOKEN_SECONDS, where the pointer holds on a panel. The
    # placing command ("copy this ... there") is said in two pieces, as people point: its
    # first deictic word at its fraction, on the map; a pause while the pointer moves;
    # its place at PLACE_AT, on the notes. Between them, talk that is not a command and
    # has "that" in it, beginning at its fraction: it must make no event. The seed draws
    # commands this recogniser hears word for word here, and that its judge keeps: it
    # loses a word's last sound at the end of an utterance ("select this" comes back as
    # "select the"), and espeak-ng's voice fits its acoustic model poorly ("remove" is
    # heard as "move"), which the speech benchmark measures.
    SPOKEN = (("one", 0.05), ("talk", 0.15), ("two", 0.5), ("one", 0.8))
    PLACE_AT = 0.6
    TALK = "i think that is fine"
    SPOKEN_SECONDS = 10.0
    SPOKEN_SEED = 26

    @property
    def phase_seconds(self) -> float:
        return self.seconds / len(self.phases)

    def phase_index(self, t: float) -> int:
        return min(int(min(max(t, 0.0), self.seconds) / self.phase_seconds), len(self.phases) - 1)

    def phase(self, t: float) -> tuple[str, float]:
        """The phase at time t and the fraction of it gone."""
        i = self.phase_index(t)
        return self.phases[i], min(max(t, 0.0), self.seconds) / self.phase_seconds - i

    def phase_spans(self) -> list[tuple[str, float, float]]:
        """(phase, start s, end s) of each phase."""
        return [(name, i * self.phase_seconds, (i + 1) * self.phase_seconds) for i, name in enumerate(self.phases)]

    def head_yaw(self, t: float) -> float:
        """The head turns from left to right across the panels and back, radians about +y."""
        return 0.45 * math.cos(2 * math.pi * t / self.phase_seconds)

    def head_angles(self, t: float) -> tuple[float, float]:
        """Yaw and pitch of the head: with the head alone pointing, it holds on each panel."""
        name, f = self.phase(t)
        if name in ("head", "fist"):
            return held(f, self.HOLDS, HEAD_POSITION)
        return self.head_yaw(t), 0.0

    def pointer(self, t: float) -> str:
        """What points at time t: "controller", "hand", "gaze" or "head"."""
        return self.phase(t)[0]

    def aim_angles(self, t: float) -> tuple[float, float]:
        """Yaw about +y and pitch about +x of whatever points at time t, from its origin
        (the aim origin; the head's position for the eyes and the head)."""
        return held(self.phase(t)[1], self.HOLDS, self.aim_origin(t))

    def aim_origin(self, t: float) -> tuple[float, float, float]:
        name = self.pointer(t)
        if name in ("controller", "hand"):
            return AIM_ORIGIN
        return LEFT_AIM_ORIGIN if name in ("left", "left-hand", "table") else HEAD_POSITION

    def points(self, t: float) -> tuple[str, str | None]:
        """The source that points at time t and its side, as the records name them."""
        name, f = self.phase(t)
        if name == "table" and f * self.phase_seconds < TABLE_POINT_S:
            return "controller", "right"
        return POINTS[name]

    def controllers(self, t: float) -> dict[str, tuple[tuple[float, float, float], tuple[float, float, float, float],
                                                      bool]]:
        """The controllers tracked at time t, by side: origin, orientation, trigger."""
        name, f = self.phase(t)
        aim = yaw_pitch_quaternion(*self.aim_angles(t))
        if name == "controller":
            return {"right": (AIM_ORIGIN, aim, self.pressed(t))}
        if name == "left":
            origin = (math.nan,) * 3 if self.nan(t) else LEFT_AIM_ORIGIN
            return {"left": (origin, aim, self.pressed(t))}  # type: ignore[dict-item]
        if name == "table":
            return {"right": (TABLE_ORIGIN, TABLE_ORIENTATION, False)}
        return {}

    def pinched(self, side: str, t: float) -> bool:
        """Whether that hand pinches at time t."""
        return PINCHES.get(self.pointer(t)) == side and self.pressed(t)

    def dropped(self, side: str, t: float) -> bool:
        """Whether that hand, in view, is lost to tracking at time t."""
        name, f = self.phase(t)
        return side == "left" and name == "left-hand" and 0 <= f * self.phase_seconds - DROPOUT_AT * self.phase_seconds \
            < DROPOUT_S

    def nan(self, t: float) -> bool:
        """Whether the runtime is sent NaN for the left controller's pose at time t."""
        name, f = self.phase(t)
        return name == "left" and 0 <= (f - NAN_AT) * self.phase_seconds < NAN_S

    def gaze_angles(self, t: float) -> tuple[float, float] | None:
        """Where the eyes look, from the head's position; None while they are not
        tracked (the head-alone phase). They point only in the gaze phase; elsewhere they
        look at another panel than the one pointed at."""
        name, f = self.phase(t)
        if name in ("head", "fist"):
            return None
        holds = self.HOLDS if name == "gaze" else tuple((OTHER[p], a, b) for p, a, b in self.HOLDS)
        return held(f, holds, HEAD_POSITION)

    def right_hand(self, t: float) -> tuple[tuple[float, float, float], tuple[float, float, float, float], str] | None:
        """The right hand's target ray (origin, orientation) and its pose ("point" with
        the index out and the other fingers curled, "default" relaxed), or None while it
        is out of view. In the controller phase it holds the controller."""
        name, f = self.phase(t)
        if name in ("head", "left"):
            return None
        if name in ("controller", "hand"):
            return AIM_ORIGIN, yaw_pitch_quaternion(*self.aim_angles(t)), "point"
        if name == "table":  # lying relaxed by the controller
            return TABLE_ORIGIN, TABLE_ORIENTATION, "default"
        holds = tuple((OTHER[p], a, b) for p, a, b in self.HOLDS)
        return GAZE_HAND_ORIGIN, yaw_pitch_quaternion(*held(f, holds, GAZE_HAND_ORIGIN)), \
            "fist" if name == "fist" else "default"

    def left_hand(self, t: float) -> tuple[tuple[float, float, float], tuple[float, float, float, float], str] | None:
        """The left hand's target ray and pose: relaxed, swaying a little, out of view
        in the head-alone phase; where the left hand points, held to point (or holding the
        left controller, which points)."""
        name, f = self.phase(t)
        if name == "head":
            return None
        if name in ("left", "left-hand") or (name == "table" and f * self.phase_seconds >= TABLE_POINT_S):
            return LEFT_AIM_ORIGIN, yaw_pitch_quaternion(*self.aim_angles(t)), "point"
        sway = 0.05 * math.sin(2 * math.pi * t / self.phase_seconds)
        return (LEFT_REST[0] + sway, LEFT_REST[1], LEFT_REST[2]), yaw_pitch_quaternion(0.2, -0.6 + sway), "default"

    def wrist(self, side: str, t: float) -> tuple[float, float, float] | None:
        """Where that hand's wrist is: its pose member, as the script sees it."""
        hand = self.right_hand(t) if side == "right" else self.left_hand(t)
        if hand is None:
            return None
        origin, q, _ = hand
        offset = WRIST_OFFSET if side == "right" else (-WRIST_OFFSET[0], *WRIST_OFFSET[1:])
        return tuple(o + d for o, d in zip(origin, rotate(q, offset)))  # type: ignore[return-value]

    def pressed(self, t: float) -> bool:
        name, f = self.phase(t)
        if SELECTS[name] is None:
            return False
        if any(a <= f < b for a, b in self.PRESSES):
            return True
        if self.overlap:
            i = self.phase_index(t)
            follows = i + 1 < len(self.phases) and SELECTS[self.phases[i + 1]] is not None
            after = i > 0 and SELECTS[self.phases[i - 1]] is not None
            return (follows and f >= self.PRESSES[-1][0]) or (after and f < self.overlap)
        return False

    def press_edges(self) -> list[tuple[float, bool]]:
        """(seconds, pressed after) of every scripted change of the select."""
        return [(start + x * self.phase_seconds, down) for name, start, _ in self.phase_spans() if SELECTS[name]
                for a, b in self.PRESSES for x, down in ((a, True), (b, False))]

    def utterances(self) -> list[tuple[float, str, str]]:
        """(seconds, text, the panel pointed at) of each thing typed."""
        return [(start + f * self.phase_seconds, text, panel) for _, start, _ in self.phase_spans()
                for f, text, panel in self.UTTERANCES]

    def spoken(self) -> list[tuple[float, str, bool]]:
        """(seconds, what is said, whether it is a command) of each thing said aloud: for
        a command, when its first deictic word begins (a second one follows after a
        pause, at `place_s`); for talk, when it begins."""
        said = []
        for _, start, _ in self.phase_spans():
            rng = random.Random(self.SPOKEN_SEED)
            grammar = CommandGrammar([name.split(":")[1] for name in PANELS], filler=())
            for shape, f in self.SPOKEN:
                if shape == "talk":
                    said.append((start + f * self.phase_seconds, self.TALK, False))
                    continue
                while True:
                    text = grammar.sentences(rng, 1)[0]
                    words = text.split()
                    pointing = [w for w in words if w in DEICTIC]
                    if shape == "one" and len(pointing) == 1 and "the" not in words:
                        break
                    if shape == "two" and len(words) == 3 and words[2] in ("here", "there") and len(pointing) == 2:
                        break
                said.append((start + f * self.phase_seconds, text, True))
        return said

    def place_s(self, first_s: float) -> float:
        """When the placing command's place is said, given when its thing was."""
        return first_s + (self.PLACE_AT - self.SPOKEN[2][1]) * self.phase_seconds

    def panel_at(self, t: float) -> str | None:
        """The panel pointed at, held, at time t, or None while the pointer moves."""
        f = self.phase(t)[1]
        return next((panel for panel, start, end in self.HOLDS if start <= f <= end), None)

    def gazed_at(self, t: float) -> str | None:
        """The panel the eyes hold on at time t, or None."""
        name, f = self.phase(t)
        if name in ("head", "fist"):
            return None
        panel = self.panel_at(t)
        return panel if panel is None or name == "gaze" else OTHER[panel]


def spoken_script() -> Script:
    return Script(Script.SPOKEN_SECONDS * len(SPOKEN_PHASES), SPOKEN_PHASES)


def held(f: float, holds: tuple[tuple[str, float, float], ...], origin: tuple[float, float, float],
         ) -> tuple[float, float]:
    """Yaw and pitch from origin at the fraction f of a phase: held on each panel of
    `holds` in turn, turning evenly between them."""
    for i, (panel, start, end) in enumerate(holds):
        if f <= end:
            if f >= start or i == 0:
                return angles_to(PANELS[panel], origin)
            previous = angles_to(PANELS[holds[i - 1][0]], origin)
            target = angles_to(PANELS[panel], origin)
            w = (f - holds[i - 1][2]) / (start - holds[i - 1][2])
            return previous[0] + w * (target[0] - previous[0]), previous[1] + w * (target[1] - previous[1])
    return angles_to(PANELS[holds[-1][0]], origin)


def angles_to(point: tuple[float, float, float], origin: tuple[float, float, float] = AIM_ORIGIN,
              ) -> tuple[float, float]:
    dx, dy, dz = (p - o for p, o in zip(point, origin))
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


def report(s: Script, summary: dict, start_ns: int, lacking: tuple[str, ...] = ()) -> bool:
    """Prints what a host's run summary says against what the script did: each select
    edge and each typed utterance's panel; whether all were as scripted, but for the
    utterances of the phases whose way of pointing the runtime lacks."""
    print("select edges (scripted at -> seen at, on the frames' clock):")
    scripted = s.press_edges()
    for (at, down), edge in zip(scripted, summary["select_edges"]):
        print(f"  {'press  ' if down else 'release'} scripted {at:5.2f} s, last_change_time "
              f"{(edge[2] - start_ns) / 1e9:5.3f} s, first frame showing it {(edge[0] - start_ns) / 1e9:5.3f} s")
    ok = len(summary["select_edges"]) == len(scripted)
    for (at, text, panel), event in zip(s.utterances(), summary["events"]):
        had = s.pointer(at) not in lacking
        good = event["paired"] and event["host_id"] == panel
        ok &= good or not had
        print(f"  {s.pointer(at):10} {text!r} at {at:5.2f} s: grounded to {event['host_id']} (pointed at {panel})"
              + ("" if good else "  <- wrong" if had else "  (this runtime has no such pointer)"))
    return ok and len(summary["events"]) == len(s.utterances())
