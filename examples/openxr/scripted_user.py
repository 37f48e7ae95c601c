"""A scripted user for the runtime's remote driver: it moves the head, aims either
controller and pulls its trigger, puts the controllers down (or lays one on a table) and
points and pinches with bare hands, as script.Script says, by sending whole state packets over the driver's TCP
socket.

    python3 scripted_user.py START_NS SECONDS [--phases P,...] [--overlap F] [--port N]

START_NS is the CLOCK_MONOTONIC time (ns) that the script's second 0 stands for;
--phases the ways of pointing played (all, by default), --overlap the script's.

The driver simulates each hand's joints from its controller's pose (the wrist) and five
finger curls, whether or not the controller itself is tracked: a controller put down is
one no longer active, its hand still tracked. The driver has no eyes: the script's
gaze is not played here."""

from __future__ import annotations

import argparse
import os
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "shared"))
import script  # noqa: E402

MAGIC = b"mndrmt3\0"
PACKET = 376
HEAD = 104
PER_VIEW = 132
LEFT, RIGHT = 136, 256
HAND_CURL = 52  # five floats: little, ring, middle, index, thumb (0 straight, 1 curled)
TRIGGER = 72
HAND_TRACKING_ACTIVE = 104
ACTIVE = 105
# Finger curls of the driver's simulated hand for each of the script's poses, open and
# pinched (thumb and index tips 1.8 cm apart when pinched, 7 to 12 cm when open); a hand
# round a controller has its index on the trigger, bent.
CURLS = {"point": ((1, 1, 1, 0, 0), (1, 1, 1, 0.8, 0.6)), "default": ((0.3,) * 5, (0.3, 0.3, 0.3, 0.8, 0.6)),
         "holding": ((0.8, 0.8, 0.8, 0.7, 0.5),) * 2, "fist": ((1, 1, 1, 1, 0.6), (1, 1, 1, 1, 0.6))}
RATE_HZ = 500


class WireError(Exception):
    pass


def read_packet(sock: socket.socket) -> bytearray:
    data = bytearray()
    while len(data) < PACKET:
        chunk = sock.recv(PACKET - len(data))
        if not chunk:
            raise WireError("the remote driver closed the connection before sending its state")
        data += chunk
    if bytes(data[:8]) != MAGIC:
        raise WireError(f"the remote driver speaks {bytes(data[:8])!r}, not {MAGIC!r}: another version")
    return data


def put_pose(packet: bytearray, at: int, orientation, position) -> None:
    struct.pack_into("<7f", packet, at, *orientation, *position)


def put_hand(packet: bytearray, at: int, hand, wrist, curls, controller: bool) -> None:
    """One controller's block: a controller held (active) or put down, its hand tracked
    at the wrist with these curls, or out of view (hand None)."""
    packet[at + ACTIVE] = 1 if controller else 0
    packet[at + HAND_TRACKING_ACTIVE] = 1 if hand is not None else 0
    if hand is not None:
        put_pose(packet, at, hand[1], wrist)
        struct.pack_into("<5f", packet, at + HAND_CURL, *curls)


def state(template: bytearray, s: script.Script, t: float) -> bytearray:
    packet = bytearray(template)
    put_pose(packet, HEAD, script.yaw_pitch_quaternion(*s.head_angles(t)), script.HEAD_POSITION)
    packet[PER_VIEW] = 0
    controllers = s.controllers(t)
    for side, at in (("left", LEFT), ("right", RIGHT)):
        hand = s.right_hand(t) if side == "right" else s.left_hand(t)
        controller = controllers.get(side)
        if controller is not None:  # the controller's aim is where it points; a hand holds it there
            origin, orientation, pressed = controller
            curls = CURLS["holding"][0] if hand is not None and hand[2] == "point" else CURLS["default"][0]
            put_hand(packet, at, (origin, orientation, "holding"), origin, curls, True)
        else:
            if s.dropped(side, t):
                hand = None
            pressed = False
            put_hand(packet, at, hand, s.wrist(side, t), CURLS[hand[2]][s.pinched(side, t)] if hand else None, False)
        struct.pack_into("<f", packet, at + TRIGGER, 1.0 if controller is not None and pressed else 0.0)
    return packet


def connect(port: int, deadline: float) -> socket.socket:
    while True:
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=1.0)
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("start_ns", type=int)
    parser.add_argument("seconds", type=float)
    parser.add_argument("--phases", default=",".join(script.PHASES))
    parser.add_argument("--overlap", type=float, default=0.0)
    parser.add_argument("--port", type=int, default=4242)
    args = parser.parse_args()
    start_ns, seconds, port = args.start_ns, args.seconds, args.port
    s = script.Script(seconds, tuple(args.phases.split(",")), args.overlap)
    try:
        sock = connect(port, time.monotonic() + 5.0)
        read_packet(sock)  # the reset state
        template = read_packet(sock)  # the latest state: everything not scripted stays as it is
        sock.settimeout(None)
        # Hold the first pose until the start, then play the script, then hold the last.
        end_ns = start_ns + int((seconds + 1.0) * 1e9)
        period = 1.0 / RATE_HZ
        while (now := time.monotonic_ns()) < end_ns:
            t = min(max((now - start_ns) / 1e9, 0.0), seconds)
            sock.sendall(state(template, s, t))
            time.sleep(period)
    except (OSError, WireError) as e:
        print(f"scripted user: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("scripted user: interrupted", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
