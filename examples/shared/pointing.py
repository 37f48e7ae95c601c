"""Which input points, and what selects, when several could: the rule both hosts follow
(the WebXR page has its own copy in page.js, line for line).

The pointer is, in this order of preference:
1. a tracked controller: held in the hand, it is what the user points with;
2. a tracked hand held to point (the index out, the middle finger curled), the right
   before the left; a hand that pointed in the last frame keeps pointing while it
   pinches, though a pinch may uncurl the finger that told it was pointing;
3. the eyes, when tracked: they point, and a pinch of either hand selects (a relaxed
   hand pinching in the lap is the gaze-and-pinch of gaze-first headsets);
4. the head alone: its forward ray, and a pinch of either hand, if any is tracked, selects.

The select reported is that of the pointer's own input. When the input that selects
changes (a controller put down mid-press, the eyes taking over from a hand), a press of
the old input ends there, with a release at that frame, and a press already held on the
new input is not reported until it is let go and made again: no select stays stuck on an
input that no longer points, and no press appears that the user did not make."""

from __future__ import annotations

import math
from dataclasses import dataclass

Vec = tuple[float, float, float]

# A hand points when its middle finger is curled: its tip is nearer the wrist than this
# share of the finger's length along its bones (straight, about 0.95; curled, about 0.3).
CURLED = 0.6
# A pinch closes when the thumb's and the index finger's tips come this near, and opens
# again only past the wider distance, so that a trembling pinch makes no extra edges.
PINCH_CLOSED_M, PINCH_OPEN_M = 0.025, 0.04


@dataclass
class Hand:
    """What a tracked hand gives: its target ray, whether it is held to point, and
    whether it pinches."""

    origin: Vec
    direction: Vec
    pointing: bool
    pinched: bool
    confidence: int = 2


@dataclass
class Choice:
    source: str  # "controller", "hand", "eye_gaze" or "head"
    origin: Vec
    direction: Vec
    side: str | None  # the pointing controller's or hand's side
    select: tuple[bool, bool, int] | None  # pressed, changed, last change (ns); None: no select input


class Pointer:
    """The rule, with the little it remembers from frame to frame."""

    def __init__(self) -> None:
        self.hand_pointer: str | None = None  # the side of the hand that pointed in the last frame
        self.input: tuple[str, str] | None = None  # the input whose select was last reported
        self.pressed = False
        self.changed_ns = 0
        self.held_over = False  # a press the new input already held when it took over

    def choose(self, now_ns: int, head: tuple[Vec, Vec], controller: tuple[Vec, Vec, bool, int] | None,
               hands: dict[str, Hand | None], gaze: tuple[Vec, Vec] | None) -> Choice:
        """The pointer and its select for one frame. `controller` is the right
        controller's ray, pressed and when it last changed (0: unknown), or None when it
        is not tracked; `hands` each side's hand or None; `gaze` the eyes' ray or None."""
        tracked = [(side, hand) for side in ("right", "left") if (hand := hands.get(side)) is not None]
        kept = self.hand_pointer
        pointing = next((side for side, hand in tracked if hand.pointing or (side == kept and hand.pinched)), None)
        self.hand_pointer = None
        if controller is not None:
            origin, direction, pressed, at = controller
            return self._choice(now_ns, "controller", origin, direction, "right", ("controller", "right"), pressed, at)
        if pointing is not None:
            hand = hands[pointing]
            assert hand is not None
            self.hand_pointer = pointing
            return self._choice(now_ns, "hand", hand.origin, hand.direction, pointing, ("hand", pointing),
                                hand.pinched, 0)
        pincher = next((side for side, hand in tracked if hand.pinched), tracked[0][0] if tracked else None)
        select_input = ("hand", pincher) if pincher is not None else None
        pinched = bool(pincher is not None and hands[pincher].pinched)  # type: ignore[union-attr]
        if gaze is not None:
            return self._choice(now_ns, "eye_gaze", gaze[0], gaze[1], None, select_input, pinched, 0)
        return self._choice(now_ns, "head", head[0], head[1], None, select_input, pinched, 0)

    def _choice(self, now_ns: int, source: str, origin: Vec, direction: Vec, side: str | None,
                select_input: tuple[str, str] | None, pressed: bool, changed_at_ns: int) -> Choice:
        return Choice(source, origin, direction, side, self._select(now_ns, select_input, pressed, changed_at_ns))

    def _select(self, now_ns: int, select_input: tuple[str, str] | None, pressed: bool,
                changed_at_ns: int) -> tuple[bool, bool, int] | None:
        if select_input is None:
            self.input, self.pressed, self.held_over = None, False, False
            return None
        if select_input != self.input:
            if self.input is None and not self.pressed:
                self.held_over = pressed  # an input that appears already pressed
            elif self.pressed:  # the old input's press ends here
                self.input, self.pressed, self.changed_ns, self.held_over = select_input, False, now_ns, pressed
                return False, True, now_ns
            else:
                self.held_over = pressed
            self.input = select_input
        if self.held_over:
            if pressed:
                return False, False, self.changed_ns
            self.held_over = False
        if pressed != self.pressed:
            self.pressed = pressed
            self.changed_ns = changed_at_ns or now_ns
            return pressed, True, self.changed_ns
        return pressed, False, self.changed_ns


def distance(a: Vec, b: Vec) -> float:
    return math.dist(a, b)


def curled(chain: list[Vec]) -> bool:
    """Whether a finger is curled, from its joints wrist first and tip last."""
    length = sum(distance(a, b) for a, b in zip(chain, chain[1:]))
    return length > 0 and distance(chain[0], chain[-1]) < CURLED * length


def pinch_closed(thumb_tip: Vec, index_tip: Vec, was_closed: bool) -> bool:
    return distance(thumb_tip, index_tip) < (PINCH_OPEN_M if was_closed else PINCH_CLOSED_M)
