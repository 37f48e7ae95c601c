"""The WebXR host with its page in a real headless browser, beside the OpenXR host on
the real runtime service, both played by the same script (make check-webxr, in the
toolchain root that has both)."""

import json
import os
import re
import signal
import subprocess
import sys
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:0] = [os.path.join(ROOT, "examples", "webxr"), os.path.join(ROOT, "examples", "openxr"),
                os.path.join(ROOT, "tests", "python")]
import compare  # noqa: E402
import demo  # noqa: E402
import script  # noqa: E402
import session  # noqa: E402
from conftest import validate_record  # noqa: E402

SECONDS = 3.0
# The page runs at the emulated headset's rate (60 Hz; make demo-webxr prints it). A
# fault shows far below that: a loop that stalls, or runs at half rate (30 Hz). The
# floor sits above those and below what a shared machine's neighbours once made of a
# sound run (49 Hz): this checks behaviour; it does not measure speed.
FLOOR_HZ = 40


def webxr(out, seconds=SECONDS, prefix="webxr", options="", **popen):
    command = demo.webxr_command(seconds, str(out), prefix) + (["--page-options", options] if options else [])
    return subprocess.Popen(command, cwd=session.EXAMPLES, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            text=True, **popen)


@pytest.fixture(scope="module")
def played(tmp_path_factory):
    out = tmp_path_factory.mktemp("webxr")
    done, start = session.play(str(out), SECONDS, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    first = json.loads((out / "openxr-summary.json").read_text())["first_frame_ns"]
    assert first <= start, f"the OpenXR host's first frame came {(first - start) / 1e9:.3f} s into the script"
    host = webxr(out)
    _, err = host.communicate(timeout=120)
    assert host.returncode == 0, err
    summary = json.loads((out / "webxr-summary.json").read_text())
    return start, out, summary, err


def test_every_record_is_valid_and_the_page_runs_at_headset_rate(played):
    _, out, summary, err = played
    lines = (out / "webxr-frames.jsonl").read_text().splitlines() + \
        (out / "webxr-events.jsonl").read_text().splitlines()
    for line in lines:
        validate_record(line)
    assert err == "" and summary["refused"] == 0
    assert summary["frames"] >= FLOOR_HZ * SECONDS and summary["frame_rate_hz"] >= FLOOR_HZ


def test_both_runtimes_ground_the_same_script_alike(played):
    start, out, summary, _ = played
    s = script.Script(SECONDS)
    openxr = compare.read(str(out / "openxr-frames.jsonl"))
    web = compare.read(str(out / "webxr-frames.jsonl"))
    share, compared = compare.agreement(openxr, start, web, summary["start_ns"], s)
    assert compared > 100 and share >= 0.99
    assert compare.select_edges(web) == compare.select_edges(openxr) == [down for _, down in s.press_edges()]
    events = {name: [(e["text"], e["spatial_context"]["target"]["host_id"])
                     for e in compare.read(str(out / f"{name}-events.jsonl"))] for name in ("openxr", "webxr")}
    assert events["webxr"] == events["openxr"] == [(text, panel) for _, text, panel in s.utterances()]


def test_a_hostile_page_costs_one_line_a_message_and_the_session_goes_on(tmp_path):
    host = webxr(tmp_path, options="&hostile=1")
    _, err = host.communicate(timeout=120)
    assert host.returncode == 0, err
    lines = err.splitlines()
    assert lines[0].startswith("webxr host: refused a message: unexpected end of the line")
    assert lines[1].startswith('webxr host: refused a message: unknown member "head_trackin" at $')
    assert re.fullmatch(r"webxr host: refused a message of 2\d{4} bytes \(at most 16384\)", lines[2])
    assert lines[3] == "webxr host: refused messages beyond 240 a second" and len(lines) == 4
    summary = json.loads((tmp_path / "webxr-summary.json").read_text())
    assert summary["frames"] >= FLOOR_HZ * SECONDS


def browser_of(pid):
    """The browser the host started: its child whose command names chromium."""
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as f:
            for child in f.read().split():
                with open(f"/proc/{child}/cmdline", "rb") as c:
                    if b"chromium" in c.read():
                        return int(child)
    raise AssertionError("the host started no browser")


@pytest.mark.parametrize("fault, options, message", [
    ("stall", "&stall=60", "webxr host: the page sent nothing for 1 s during the session; "),
    ("kill", "", "webxr host: the browser exited (signal 9) during the session; "),
    ("interrupt", "", "webxr host: interrupted; "),
])
def test_a_fault_is_one_line_a_non_zero_exit_and_every_record_whole(tmp_path, fault, options, message):
    host = webxr(tmp_path, seconds=20.0, options=options, start_new_session=True)
    frames = tmp_path / "webxr-frames.jsonl"
    try:
        deadline = time.monotonic() + 60
        while host.poll() is None and time.monotonic() < deadline and \
                (not frames.exists() or frames.read_text().count("\n") < 90):
            time.sleep(0.05)
        if fault == "kill":  # the browser and every process of its group
            os.killpg(browser_of(host.pid), signal.SIGKILL)
        if fault == "interrupt":
            host.send_signal(signal.SIGINT)
        _, err = host.communicate(timeout=60)
        ended_ns = time.monotonic_ns()
    finally:
        if host.poll() is None:
            host.kill()
    assert host.returncode == (130 if fault == "interrupt" else 1), err
    assert err.count("\n") == 1 and err.startswith(message), err
    text = frames.read_text()
    if fault == "stall":  # noticed within a second of the last frame (and a little to stop the browser)
        assert ended_ns - json.loads(text.splitlines()[-1])["timestamp_ns"] < 2_500_000_000
    assert text.endswith("\n")
    for line in text.splitlines():
        validate_record(line)
