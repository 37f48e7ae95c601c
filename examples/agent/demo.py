"""make demo-agent: a spoken session on the OpenXR runtime (make demo-openxr's), served by
`spatial mcp`, and an agent on the official client that says what each deictic word the
user spoke referred to. `--session FILE` serves a recorded session instead."""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
PACKAGES = os.path.join(REPO, "build", "agent")
SPOKEN = os.path.join(REPO, "build", "demo", "openxr-spoken-session.jsonl")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--session", help="a recorded session (frames and events) to serve")
    args = parser.parse_args()
    session = args.session
    if session is None:
        print("demo-agent: playing the spoken session on the OpenXR runtime (make demo-openxr)", flush=True)
        played = subprocess.run([sys.executable, os.path.join(REPO, "examples", "openxr", "demo.py")],
                                stdout=subprocess.DEVNULL, timeout=900)
        if played.returncode != 0 or not os.path.exists(SPOKEN):
            print(f"demo-agent: the OpenXR demo failed (status {played.returncode}); see make demo-openxr",
                  file=sys.stderr)
            return 1
        session = SPOKEN
    spatial = shutil.which("spatial", path=os.path.dirname(sys.executable)) or "spatial"
    shutil.copy(os.path.join(HERE, "agent.mjs"), os.path.join(PACKAGES, "agent.mjs"))
    print(f"demo-agent: the agent starts `spatial mcp {os.path.relpath(session, REPO)}` over stdio", flush=True)
    try:
        return subprocess.run(["node", os.path.join(PACKAGES, "agent.mjs"), spatial, "mcp", "--no-follow",
                               os.path.abspath(session)], cwd=PACKAGES, timeout=300).returncode
    except subprocess.TimeoutExpired:
        print("demo-agent: the agent did not finish in 300 s", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
