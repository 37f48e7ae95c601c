#!/usr/bin/env python3
"""A stand-in for the browser, for the WebXR host's fault tests: opened as the browser
is (the last argument the launcher file's address), it follows the launcher to the page's
address, speaks the page's protocol over the WebSocket with frames of its own, and
misbehaves as the fragment's `standin` option says (comma-separated):

    intruders  first connects as another process would: another origin, no secret
    nested     a control message nested 200,000 deep (400 KB)
    pong       the first pong's page time is a string
    big        a message of 2 MiB
    huge       a message of 5 MiB, more than the host takes at all
    empty      an empty binary message
    far        a frame stamped 2**62 ns
    inputs     a frame whose inputs line is not one a page reports
    forged     an error text with a line break and a terminal escape sequence

What it saw goes to the JSON file STANDIN_REPORT names: its pid, the origin it was
sent from, the status each intruding connection got, and the processes whose arguments
or environment hold the session's secret."""

import json
import os
import re
import sys
import threading
import time
import urllib.parse

from websockets.exceptions import InvalidStatus
from websockets.sync.client import connect

FRAME = ('{"schema":"halberin.spatial-intent","version":1,"timestamp_ns":%d,"timestamp_domain":"monotonic",'
         '"reference_space":{"type":"local-floor","id":"standin","generation":1},'
         '"head":{"position":[0,1.6,0],"orientation":[0,0,0,1]},"head_tracking":"position_and_orientation",'
         '"capabilities":{"head_pose":true,"action_input":false,"hand_tracking":false,"hand_interaction":false,'
         '"eye_gaze":false,"enabled_extensions":[]}}\n{"sources":[],"hit":null}')
# A frame whose inputs line is not what a page reports: a controller without a mode.
ODD_INPUTS = FRAME.replace('"sources":[]', '"sources":[{"id":1,"handedness":"right","ray":null}]')


def holders(secret: str) -> list[int]:
    """Every process whose arguments or environment hold the secret."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        for part in ("cmdline", "environ"):
            try:
                with open(f"/proc/{pid}/{part}", "rb") as f:
                    if secret.encode() in f.read():
                        found.append(int(pid))
                        break
            except OSError:
                continue
    return found


def misbehave(socket, faults: set[str], sent: int) -> None:
    if sent != 10:
        return
    if "nested" in faults:
        socket.send('{"page":' + "[" * 200_000 + "]" * 200_000 + "}")
    if "big" in faults:
        socket.send("x" * (2 << 20))
    if "huge" in faults:
        socket.send("x" * (5 << 20))
    if "empty" in faults:
        socket.send(b"")
    if "far" in faults:
        socket.send(FRAME % 2**62)
    if "inputs" in faults:
        socket.send(ODD_INPUTS % time.monotonic_ns())
    if "forged" in faults:
        socket.send(json.dumps({"page": {"error": "bad\nwebxr host: forged line\x1b[2K"}}))


def main() -> int:
    launcher = urllib.parse.unquote(urllib.parse.urlsplit(sys.argv[-1]).path)
    with open(launcher, encoding="utf-8") as f:
        address = json.loads(re.search(r"location\.replace\((\".*?\")\)", f.read()).group(1))
    parts = urllib.parse.urlsplit(address)
    origin = f"{parts.scheme}://{parts.netloc}"
    params = urllib.parse.parse_qs(parts.fragment)
    port, secret = params["ws"][0], params["key"][0]
    faults = set(params.get("standin", [""])[0].split(","))
    report = {"pid": os.getpid(), "origin": origin, "intruders": []}
    if "intruders" in faults:
        for uri, claimed in ((f"ws://127.0.0.1:{port}/?key={secret}", "http://evil.example"),
                             (f"ws://127.0.0.1:{port}/", origin), (f"ws://127.0.0.1:{port}/?key=guess", origin)):
            try:
                with connect(uri, origin=claimed, open_timeout=5):
                    report["intruders"].append(101)
            except InvalidStatus as e:
                report["intruders"].append(e.response.status_code)
    clock = {}
    stopped = threading.Event()
    with connect(f"ws://127.0.0.1:{port}/?key={secret}", origin=origin, open_timeout=5, max_size=None) as socket:
        report["holders"] = holders(secret)
        if os.environ.get("STANDIN_REPORT"):
            with open(os.environ["STANDIN_REPORT"], "w") as f:
                json.dump(report, f)
        socket.send(json.dumps({"page": {"ready": {"features": ["local-floor"], "room": "none",
                                                   "user_agent": "stand-in"}}}))
        wrong_pong = "pong" in faults

        def listen() -> None:
            nonlocal wrong_pong
            try:
                for text in socket:
                    message = json.loads(text)
                    if "ping" in message:
                        page_ms = "soon" if wrong_pong else time.monotonic_ns() / 1e6
                        wrong_pong = False
                        socket.send(json.dumps({"page": {"pong": message["ping"], "page_ms": page_ms}}))
                    if "start" in message:
                        clock.update(message["start"])
                    if "stop" in message:
                        break
            except Exception:
                pass
            stopped.set()

        threading.Thread(target=listen, daemon=True).start()
        sent = 0
        while not stopped.wait(1 / 60):
            if not clock:
                continue
            try:
                socket.send(FRAME % (time.monotonic_ns() + clock["offset_ns"]))
                sent += 1
                misbehave(socket, faults, sent)
            except Exception:
                break
    time.sleep(120)  # a browser outlives its page's connection: the host ends it
    return 0


if __name__ == "__main__":
    sys.exit(main())
