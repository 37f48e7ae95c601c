"""Which input points, and what selects, when several could: the rule every host applies
to what its runtime reports for one frame, with the little it remembers from frame to
frame.

What the runtime provides comes first, and is derived only where it is absent: a hand's
own aim ray, its pinch and whether it is aiming, where the runtime gives them; otherwise
its pinch from the thumb's and the index finger's tips, and its pointing from its posture.

The pointer is chosen among the inputs that can point this frame (each with a finite
ray): a transient pointer (gaze and pinch: present only while its action lasts), a
controller, a hand that points. Of these,

1. one that is in use leads over one that is merely tracked: a controller that moves or is
   pressed, a hand that points, a transient pointer; a controller left still (on a table)
   gives way to these and to the eyes, and points only before the head;
2. a fully tracked input leads over a degraded one (orientation only);
3. an input in the middle of a press keeps pointing: no other takes its drag over;
4. the one the user last acted with leads: the latest to be picked up, to begin pointing
   or to be pressed; on a tie, the one that already points keeps pointing.

Left and right are alike: no side wins a tie for being that side.
A hand points when the runtime says it aims, else when it is held to point (the index out,
the other fingers curled); one that pointed keeps pointing while it pinches; and without
eyes, a hand that pinches by the runtime's own select points along the runtime's ray,
which is the ray that runtime selects along. Without any of them the eyes point, when
tracked; else the head's forward ray.

The select reported is that of the pointer's own input. While the eyes or the head point,
a pinch of either hand selects, and the select stays with that hand until it opens. When
the input that selects changes (a controller put down mid-press, the eyes taking over from
a hand), a press of the old input ends there with a release at that frame; a press that
the new input already held is not reported until it is let go and made again, while the
press that made the new input take over (a pinch beginning this frame) is reported at the
next frame, with its own time. An input lost mid-press ends its press with a release at
that frame: the records never say pressed where no runtime said so. When it comes back
within half a second still pressed, its press is reported again: the drag resumes, its
gap plain in the records. A non-finite ray points nowhere."""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import _spatial

__all__ = ["Choice", "Controller", "Hand", "Inputs", "Pointer", "Transient", "finger_ratio", "finite",
           "held_to_point", "pinch_closed"]

Vec = tuple[float, float, float]
Ray = tuple[Vec, Vec]

# Tracking confidences, as the module's TrackingConfidence values.
UNAVAILABLE, ORIENTATION_ONLY, POSITION_AND_ORIENTATION = 0, 1, 2

# A finger is curled when its tip is nearer its wrist than this share of the finger's
# length along its bones (straight, about 0.95; curled, about 0.45), and extended past
# the second share.
CURLED, EXTENDED = 0.7, 0.85
# A pinch closes when the thumb's and the index finger's tips come this near, and opens
# again only past the wider distance, so that a trembling pinch makes no extra edges.
PINCH_CLOSED_M, PINCH_OPEN_M = 0.025, 0.04
# A controller is still (lying somewhere) once it has moved less than this for REST_S.
STILL_M, STILL_RAD, REST_S = 0.005, math.radians(1.0), 2.0
# How long an input lost mid-press may be gone for its press to resume when it returns.
RESUME_S = 0.5

FINGERS = ("index-finger", "middle-finger", "ring-finger", "pinky-finger")
BONES = ("metacarpal", "phalanx-proximal", "phalanx-intermediate", "phalanx-distal", "tip")
# The 26 joints of an OpenXR hand, in that order, by their WebXR names ("palm" has none
# there: it keeps its own).
OPENXR_JOINTS = ("palm", "wrist", "thumb-metacarpal", "thumb-phalanx-proximal", "thumb-phalanx-distal",
                 "thumb-tip", *(f"{finger}-{bone}" for finger in FINGERS for bone in BONES))


@dataclass(frozen=True)
class Controller:
    """A controller the runtime tracks: its aim ray (None: not located), whether its
    select is pressed and when that last changed (0: the runtime does not say)."""

    side: str
    ray: Ray | None
    pressed: bool = False
    confidence: int = POSITION_AND_ORIENTATION
    changed_ns: int = 0


@dataclass(frozen=True)
class Hand:
    """A tracked hand. `ray` is the runtime's aim ray where it gives one (else a ray the
    host derives, with `runtime_ray` false); `pinched` and `aiming` are the runtime's own
    where it gives them (None: derived from `joints`, named as WebXR names them)."""

    side: str
    ray: Ray | None
    confidence: int = POSITION_AND_ORIENTATION
    joints: Mapping[str, Vec] | None = None
    pinched: bool | None = None
    aiming: bool | None = None
    runtime_ray: bool = True


@dataclass(frozen=True)
class Transient:
    """A transient pointer (gaze and pinch): present only while its action lasts, its ray
    fixed where the user looked when it began."""

    key: str
    ray: Ray | None
    pressed: bool = True
    confidence: int = POSITION_AND_ORIENTATION
    side: str | None = None


@dataclass(frozen=True)
class Inputs:
    """What the runtime reports for one frame."""

    head: Ray | None
    head_confidence: int = POSITION_AND_ORIENTATION
    eyes: Ray | None = None
    eyes_confidence: int = POSITION_AND_ORIENTATION
    controllers: Sequence[Controller] = ()
    hands: Sequence[Hand] = ()
    transients: Sequence[Transient] = ()


@dataclass(frozen=True)
class Choice:
    """The pointer and its select for one frame. `source` is "controller", "hand",
    "eye_gaze" or "head", or None with no ray at all; `select` is (pressed, changed, last
    change ns), or None when no input can select."""

    source: str | None
    ray: Ray | None
    confidence: int
    side: str | None
    select: tuple[bool, bool, int] | None

    def fill(self, frame: _spatial.SpatialIntentFrame) -> None:
        """Sets the frame's `pointing` and `primary_select` from this choice (left as
        they are where the choice has none)."""
        import _spatial as sp

        if self.source is not None and self.ray is not None:
            p = sp.PointingIntent()
            p.ray = sp.Ray(sp.Vec3(*self.ray[0]), sp.Vec3(*self.ray[1]))
            p.source = getattr(sp.PointingSource, self.source.upper())
            p.confidence = sp.TrackingConfidence(self.confidence)
            frame.pointing = p
        if self.select is not None:
            select = sp.SelectState()
            select.pressed, select.changed, select.last_change_time_ns = self.select
            frame.primary_select = select


def finite(ray: Ray | None) -> bool:
    """Whether a ray can point: every number finite, its direction not zero."""
    if ray is None:
        return False
    origin, direction = ray
    return all(math.isfinite(v) for v in (*origin, *direction)) and any(v != 0.0 for v in direction)


def finger_ratio(joints: Mapping[str, Vec], finger: str) -> float | None:
    """How far a finger's tip lies from the wrist, as a share of the finger's length
    along its bones: about 1 straight, under a half curled."""
    chain: list[Vec] = []
    for name in ("wrist", *(f"{finger}-{bone}" for bone in BONES)):
        point = joints.get(name)
        if point is None or not all(math.isfinite(v) for v in point):
            return None
        chain.append(point)
    length = sum((math.dist(a, b) for a, b in zip(chain, chain[1:])), 0.0)
    return math.dist(chain[0], chain[-1]) / length if length > 0 else None


def held_to_point(joints: Mapping[str, Vec]) -> bool:
    """The pointing posture: the index finger out, the other three curled. A fist (the
    index curled too), an open hand or one holding something round does not pass."""
    index = finger_ratio(joints, "index-finger")
    others = [finger_ratio(joints, finger) for finger in FINGERS[1:]]
    return (index is not None and index >= EXTENDED
            and all(ratio is not None and ratio < CURLED for ratio in others))


def pinch_closed(joints: Mapping[str, Vec], was_closed: bool) -> bool:
    thumb, index = joints.get("thumb-tip"), joints.get("index-finger-tip")
    if thumb is None or index is None:
        return False
    apart = math.dist(thumb, index)
    return math.isfinite(apart) and apart < (PINCH_OPEN_M if was_closed else PINCH_CLOSED_M)


def _angle(a: Vec, b: Vec) -> float:
    na, nb = math.hypot(*a), math.hypot(*b)
    if na == 0 or nb == 0:
        return 0.0
    return math.acos(max(-1.0, min(1.0, sum(x * y for x, y in zip(a, b)) / (na * nb))))


@dataclass
class _Seen:
    """What the rule remembers of one input."""

    pressed: bool = False
    pressed_ns: int = 0  # when its current press began (this rule's clock)
    last_ns: int = 0  # the last frame it was present in
    acted_ns: int = 0  # when the user last acted with it
    lost_pressed: bool = False  # it went away while pressed
    lost_pointing: bool = False  # ... and pointed then
    resumed: bool = False  # it came back this frame with that press held
    began: bool = False  # its press began (or resumed) this frame
    pointing: bool = False
    rest: tuple[Vec, Vec, int] | None = None  # a controller's pose when it last moved, and when
    pinch: bool = False  # the pinch derived from joints, with its hysteresis


@dataclass
class _Candidate:
    key: str
    source: str
    ray: Ray
    confidence: int
    side: str | None
    pressed: bool
    changed_ns: int
    in_use: bool


@dataclass
class Pointer:
    """The rule, with its state from frame to frame. One per user."""

    seen: dict[str, _Seen] = field(default_factory=dict)
    pointer: str | None = None  # the input that pointed in the last frame
    input: str | None = None  # the input whose select was last reported
    pressed: bool = False
    changed_ns: int = 0
    held_over: bool = False  # a press the new input already held when it took over
    pending: int | None = None  # a press to report at the next frame, from this time
    holder: str | None = None  # the hand that holds the select for the eyes or the head
    last_frame_ns: int = 0

    def frame(self, now_ns: int, inputs: Inputs) -> Choice:
        present: dict[str, tuple[bool, int]] = {}  # key: pressed now, runtime change time
        candidates: list[_Candidate] = []
        hands: list[tuple[str, Hand, bool]] = []  # key, hand, pinched
        eyes = finite(inputs.eyes) and inputs.eyes_confidence != UNAVAILABLE
        for c in inputs.controllers:
            if not finite(c.ray) or c.confidence == UNAVAILABLE:
                continue  # a controller that cannot point is one lost: its press ends, and may resume
            key = f"controller:{c.side}"
            s = self._see(key, now_ns, c.pressed, present, c.changed_ns)
            moving = self._moving(s, c.ray, now_ns)  # type: ignore[arg-type]
            candidates.append(_Candidate(key, "controller", c.ray, c.confidence, c.side,  # type: ignore[arg-type]
                                         c.pressed, c.changed_ns, moving or c.pressed))
        for h in inputs.hands:
            key = f"hand:{h.side}"
            s = self.seen.setdefault(key, _Seen())
            if h.pinched is not None:
                pinched = h.pinched
            else:
                pinched = s.pinch = pinch_closed(h.joints or {}, s.pinch)
            self._see(key, now_ns, pinched, present, 0)
            hands.append((key, h, pinched))
            if not finite(h.ray) or h.confidence == UNAVAILABLE:
                s.pointing = False
                continue
            aiming = h.aiming if h.aiming is not None else held_to_point(h.joints or {})
            # A hand that pointed keeps pointing while it pinches, though a pinch may
            # uncurl the finger that told it was pointing; without eyes, a hand that
            # pinches by the runtime's own select points along the runtime's own ray.
            kept = pinched and (self.pointer == key or (s.resumed and s.lost_pointing)
                                or (h.runtime_ray and h.pinched is not None and not eyes))
            points = aiming or kept
            if points and not s.pointing:
                s.acted_ns = now_ns
            s.pointing = points
            if points:
                candidates.append(_Candidate(key, "hand", h.ray, h.confidence, h.side,  # type: ignore[arg-type]
                                             pinched, 0, True))
        for t in inputs.transients:
            key = f"transient:{t.key}"
            self._see(key, now_ns, t.pressed, present, 0, transient=True)
            if finite(t.ray) and t.confidence != UNAVAILABLE:
                candidates.append(_Candidate(key, "eye_gaze", t.ray, t.confidence, t.side,  # type: ignore[arg-type]
                                             t.pressed, 0, True))
        for key, s in list(self.seen.items()):
            if key in present:
                continue
            if key.startswith("transient:"):
                del self.seen[key]  # each action has a pointer of its own
                continue
            if s.pressed:
                s.lost_pressed, s.lost_pointing = True, self.pointer == key
            s.pressed, s.pointing, s.began = False, False, False
        self.last_frame_ns = now_ns

        # A press in progress keeps its pointer: another input is not let take a drag over.
        dragging = self.pointer if self.pressed and self.input == self.pointer else None
        chosen = max(candidates, default=None, key=lambda c: (
            c.in_use, c.confidence == POSITION_AND_ORIENTATION, c.key == dragging, self.seen[c.key].acted_ns,
            c.key == self.pointer))
        if chosen is not None and not chosen.in_use and eyes:
            chosen = None  # a controller left lying gives way to the eyes
        if chosen is not None:
            self.pointer, self.holder = chosen.key, None
            select = self._select(now_ns, chosen.key, chosen.pressed, chosen.changed_ns)
            return Choice(chosen.source, chosen.ray, chosen.confidence, chosen.side, select)

        self.pointer = None
        select_key, pressed = self._hand_select(hands)
        select = self._select(now_ns, select_key, pressed, 0)
        if eyes:
            return Choice("eye_gaze", inputs.eyes, inputs.eyes_confidence, None, select)
        if finite(inputs.head) and inputs.head_confidence != UNAVAILABLE:
            return Choice("head", inputs.head, inputs.head_confidence, None, select)
        return Choice(None, None, UNAVAILABLE, None, select)

    def _see(self, key: str, now_ns: int, pressed: bool, present: dict[str, tuple[bool, int]], changed_ns: int,
             transient: bool = False) -> _Seen:
        s = self.seen.setdefault(key, _Seen())
        # Found this frame (first seen, or back after a frame or more without it): a press
        # it already holds was made out of sight, and counts only when it resumes one.
        appears = s.last_ns == 0 or s.last_ns < self.last_frame_ns
        resumed = s.lost_pressed and pressed and (now_ns - s.last_ns) / 1e9 <= RESUME_S
        s.resumed = resumed
        s.began = pressed and (resumed or (appears and transient) or (not appears and not s.pressed))
        if pressed and not s.pressed:
            s.pressed_ns = changed_ns or now_ns
        if s.began or appears:
            s.acted_ns = now_ns
        s.pressed, s.lost_pressed, s.last_ns = pressed, False, now_ns
        present[key] = (pressed, changed_ns)
        return s

    def _moving(self, s: _Seen, ray: Ray, now_ns: int) -> bool:
        if s.rest is None or (math.dist(s.rest[0], ray[0]) > STILL_M or _angle(s.rest[1], ray[1]) > STILL_RAD):
            if s.rest is not None and (now_ns - s.rest[2]) / 1e9 >= REST_S:
                s.acted_ns = now_ns  # picked up again
            s.rest = (ray[0], ray[1], now_ns)
        return (now_ns - s.rest[2]) / 1e9 < REST_S

    def _hand_select(self, hands: list[tuple[str, Hand, bool]]) -> tuple[str | None, bool]:
        """While the eyes or the head point: the hand that holds the select, else one
        whose pinch begins, else any hand, unpressed."""
        if not hands:
            self.holder = None
            return None, False
        pinched = {key: p for key, _, p in hands}
        if self.holder is not None and not pinched.get(self.holder, False):
            self.holder = None
        if self.holder is None:
            self.holder = next((key for key, _, p in hands if p and self.seen[key].began), None)
        if self.holder is not None:
            return self.holder, True
        return "hands", False

    def _select(self, now_ns: int, key: str | None, pressed: bool, changed_ns: int) -> tuple[bool, bool, int] | None:
        began = key is not None and key in self.seen and self.seen[key].began
        if key != self.input:
            old_pressed = self.pressed
            self.input, self.pending = key, None
            self.held_over = pressed and not began
            if old_pressed:  # the old input's press ends here
                self.pressed, self.changed_ns = False, now_ns
                if pressed and began:
                    self.pending = self.seen[key].pressed_ns  # type: ignore[index]
                return False, True, now_ns
        if key is None:
            return None
        if self.pending is not None:
            at, self.pending = self.pending, None
            if pressed:
                self.pressed, self.changed_ns = True, at
                return True, True, at
        if self.held_over:
            if pressed:
                return False, False, self.changed_ns
            self.held_over = False
        if pressed != self.pressed:
            self.pressed = pressed
            self.changed_ns = changed_ns or now_ns
            return pressed, True, self.changed_ns
        return pressed, False, self.changed_ns
