"""What the page reports of the browser's input sources, read as hostile input and mapped
onto the pointing rule's inputs by what WebXR says each one is:

- a `tracked-pointer` source with a hand is a hand: its target ray is the runtime's own
  aim, its select (between selectstart and selectend, or its first button) the
  runtime's own pinch, its joints there for the posture;
- a `tracked-pointer` source without a hand is a controller, of either side;
- a `transient-pointer` source is gaze and pinch: the eyes for the life of its action,
  along the ray it gives, pressed while it lasts;
- a `gaze` source is the head's gaze (its target ray follows the viewer), unless its
  profiles say it follows the eyes ("eye-gaze");
- anything else (`screen`) does not point here."""

from __future__ import annotations

import json
import math
from dataclasses import dataclass

from spatial_intent import pointing
from spatial_intent.pointing import Controller, Hand, Inputs, Transient

MODES = ("gaze", "tracked-pointer", "screen", "transient-pointer")
SIDES = ("none", "left", "right")
MOST_SOURCES = 8
MOST_BUTTONS = 8


class Refused(ValueError):
    """The page's report is not one this host reads: why, in one line."""


@dataclass(frozen=True)
class Source:
    id: int
    mode: str
    handedness: str
    profiles: tuple[str, ...]
    ray: pointing.Ray | None
    emulated: bool
    pressed: bool
    joints: dict[str, pointing.Vec] | None


@dataclass(frozen=True)
class Report:
    sources: tuple[Source, ...]
    hit: tuple[int, pointing.Vec, pointing.Vec] | None  # the source it follows, position, normal


def _number(value: object, where: str) -> float:
    if value is None:  # the page writes a number that is not finite as null
        return math.nan
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise Refused(f"{where} is not a number")
    return float(value)


def _vector(value: object, n: int, where: str) -> tuple[float, ...]:
    if not isinstance(value, list) or len(value) != n:
        raise Refused(f"{where} is not {n} numbers")
    return tuple(_number(v, where) for v in value)


def forward(q: tuple[float, ...]) -> pointing.Vec:
    """The orientation q applied to (0, 0, -1)."""
    x, y, z, w = q
    return (-2 * (x * z + w * y), -2 * (y * z - w * x), -(1 - 2 * (x * x + y * y)))


def _ray(value: object, where: str) -> pointing.Ray | None:
    if value is None:
        return None
    if not isinstance(value, dict) or set(value) != {"position", "orientation"}:
        raise Refused(f"{where} is not a pose")
    origin = _vector(value["position"], 3, f"{where}.position")
    return (origin[0], origin[1], origin[2]), forward(_vector(value["orientation"], 4, f"{where}.orientation"))


def _source(value: object, where: str) -> Source:
    if not isinstance(value, dict):
        raise Refused(f"{where} is not an object")
    known = {"id", "mode", "handedness", "profiles", "ray", "emulated", "selecting", "buttons", "joints"}
    if not known.issuperset(value) or not {"id", "mode", "handedness", "ray"}.issubset(value):
        raise Refused(f"{where} has members {sorted(value)}, not those of an input source")
    id_ = value["id"]
    if isinstance(id_, bool) or not isinstance(id_, int) or not 0 < id_ < 2**53:
        raise Refused(f"{where}.id is not a source's number")
    mode, side = value["mode"], value["handedness"]
    if mode not in MODES:
        raise Refused(f"{where}.mode is not one of {', '.join(MODES)}")
    if side not in SIDES:
        raise Refused(f"{where}.handedness is not one of {', '.join(SIDES)}")
    profiles = value.get("profiles", [])
    if not isinstance(profiles, list) or len(profiles) > 8 or not all(isinstance(p, str) for p in profiles):
        raise Refused(f"{where}.profiles is not a list of names")
    pressed = value.get("selecting", False)
    if not isinstance(pressed, bool) or not isinstance(value.get("emulated", False), bool):
        raise Refused(f"{where}.selecting or .emulated is not true or false")
    buttons = value.get("buttons")
    if buttons is not None:
        if not isinstance(buttons, list) or len(buttons) > MOST_BUTTONS:
            raise Refused(f"{where}.buttons is not a list of buttons")
        for i, button in enumerate(buttons):
            if not isinstance(button, list) or len(button) != 2 or not isinstance(button[0], bool):
                raise Refused(f"{where}.buttons[{i}] is not [pressed, value]")
            _number(button[1], f"{where}.buttons[{i}]")
        pressed = pressed or bool(buttons and buttons[0][0])
    joints = value.get("joints")
    named: dict[str, pointing.Vec] | None = None
    if joints is not None:
        if not isinstance(joints, dict) or len(joints) > 26:
            raise Refused(f"{where}.joints is not a hand's joints")
        named = {}
        for name, point in joints.items():
            x, y, z = _vector(point, 3, f"{where}.joints[{json.dumps(name)[:40]}]")
            named[name] = (x, y, z)
    return Source(id_, mode, side, tuple(profiles), _ray(value["ray"], f"{where}.ray"),
                  bool(value.get("emulated", False)), pressed, named)


def read(text: str) -> Report:
    """The page's report of one frame's inputs; Refused, in one line, for anything else."""
    try:
        value = json.loads(text)
    except (ValueError, RecursionError) as e:
        raise Refused(f"the inputs are not JSON ({str(e)[:80]})") from None
    if not isinstance(value, dict) or set(value) != {"sources", "hit"}:
        raise Refused("the inputs are not {\"sources\": [...], \"hit\": ...}")
    sources = value["sources"]
    if not isinstance(sources, list) or len(sources) > MOST_SOURCES:
        raise Refused(f"the inputs' sources are not a list of at most {MOST_SOURCES}")
    read_sources = tuple(_source(s, f"sources[{i}]") for i, s in enumerate(sources))
    hit = value["hit"]
    found = None
    if hit is not None:
        if not isinstance(hit, dict) or set(hit) != {"source", "position", "normal"} \
                or isinstance(hit["source"], bool) or not isinstance(hit["source"], int):
            raise Refused("the inputs' hit is not {\"source\", \"position\", \"normal\"}")
        p = _vector(hit["position"], 3, "hit.position")
        n = _vector(hit["normal"], 3, "hit.normal")
        found = (hit["source"], (p[0], p[1], p[2]), (n[0], n[1], n[2]))
    return Report(read_sources, found)


def confidence(source: Source) -> int:
    if source.ray is None:
        return pointing.UNAVAILABLE
    return pointing.ORIENTATION_ONLY if source.emulated else pointing.POSITION_AND_ORIENTATION


def inputs(report: Report, head: pointing.Ray | None, head_confidence: int) -> tuple[Inputs, dict[str, int]]:
    """The rule's inputs for this frame, and which source each controller's side is."""
    controllers, hands, transients = [], [], []
    eyes: pointing.Ray | None = None
    eyes_confidence = pointing.UNAVAILABLE
    sides: dict[str, int] = {}
    for s in report.sources:
        if s.mode == "gaze":
            if "eye-gaze" in s.profiles:
                eyes, eyes_confidence = s.ray, confidence(s)
            elif s.ray is not None:  # the head's gaze, as the runtime gives it
                head, head_confidence = s.ray, confidence(s)
        elif s.mode == "transient-pointer":
            transients.append(Transient(str(s.id), s.ray, True, confidence(s),
                                        s.handedness if s.handedness != "none" else None))
        elif s.mode == "tracked-pointer" and s.joints is not None and s.handedness in ("left", "right"):
            hands.append(Hand(s.handedness, s.ray, confidence(s), s.joints, pinched=s.pressed))
        elif s.mode == "tracked-pointer" and s.joints is None:
            controllers.append(Controller(s.handedness, s.ray, s.pressed, confidence(s)))
            sides[s.handedness] = s.id
    return Inputs(head, head_confidence, eyes, eyes_confidence, controllers, hands, transients), sides
