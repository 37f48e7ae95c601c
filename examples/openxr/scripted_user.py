"""A scripted user for the runtime's remote driver: it moves the head, aims the right
controller and pulls its trigger as script.Script says, by sending whole state packets
over the driver's TCP socket.

    python3 scripted_user.py START_NS SECONDS [PORT]

START_NS is the CLOCK_MONOTONIC time (ns) that the script's second 0 stands for."""

from __future__ import annotations

import socket
import struct
import sys
import time

import script

MAGIC = b"mndrmt3\0"
PACKET = 376
HEAD = 104
PER_VIEW = 132
LEFT, RIGHT = 136, 256
TRIGGER = 72
ACTIVE = 105
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


def state(template: bytearray, s: script.Script, t: float) -> bytearray:
    packet = bytearray(template)
    yaw = s.head_yaw(t)
    put_pose(packet, HEAD, script.yaw_pitch_quaternion(yaw, 0.0), script.HEAD_POSITION)
    packet[PER_VIEW] = 0
    put_pose(packet, RIGHT, script.yaw_pitch_quaternion(*s.aim_angles(t)), script.AIM_ORIGIN)
    struct.pack_into("<f", packet, RIGHT + TRIGGER, 1.0 if s.pressed(t) else 0.0)
    packet[RIGHT + ACTIVE] = 1
    packet[LEFT + ACTIVE] = 1
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
    start_ns, seconds = int(sys.argv[1]), float(sys.argv[2])
    port = int(sys.argv[3]) if len(sys.argv) > 3 else 4242
    s = script.Script(seconds)
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
