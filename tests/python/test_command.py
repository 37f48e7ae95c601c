"""The spatial command end to end, on small recordings made here."""

import importlib.util
import json
import os
import subprocess
import sys

import pytest
from conftest import make_full_frame

import _spatial as sp


def spatial(*args, stdin=None, env=None):
    return subprocess.run([sys.executable, "-m", "spatial_cli", *args], input=stdin, capture_output=True, text=True,
                          timeout=60, env=env)


def recording(tmp_path, count=90, late_select_at=None):
    """A second at 90 Hz: the target moves from panel:a to panel:b halfway, select held
    from frame 30 to 60, and one event; frame `late_select_at` reports a change after it."""
    frame = make_full_frame()
    frame.primary_select.last_change_time_ns = 0
    lines, timeline = [], sp.IntentTimeline()
    for i in range(count):
        frame.timestamp_ns = 1_000_000_000 + i * 11_111_111
        frame.target.host_id = "panel:a" if i < count // 2 else "panel:b"
        frame.primary_select.pressed = 30 <= i < 60
        if i == late_select_at:
            frame.primary_select.last_change_time_ns = frame.timestamp_ns + 1
        timeline.push(frame)
        lines.append(sp.to_jsonl(frame))
    lines.append(sp.to_jsonl(timeline.submit_text("put it there", frame.timestamp_ns + 1000)))
    path = tmp_path / "session.jsonl"
    path.write_text("\n".join(lines) + "\n")
    return path


def test_check_reports_each_refused_line_and_goes_on(tmp_path):
    path = recording(tmp_path)
    text = path.read_text().splitlines()
    text[3] = text[3][:-1]
    text.insert(10, "not a record")
    path.write_text("\n".join(text) + "\n")
    done = spatial("check", str(path))
    assert done.returncode == 1
    assert done.stderr.splitlines() == [f"{path}:4: unexpected end of the line, expected ',' or '}}' at $, "
                                        f"byte {len(text[3]) + 1}",  # past the line break
                                        f"{path}:11: expected an object at $, byte 0"]
    assert done.stdout == f"{path}: 90 records (89 frames, 1 events), 2 refused\n"


@pytest.mark.parametrize("args, status", [(["check", "missing.jsonl"], 2), (["check"], 2), (["info"], 2)])
def test_usage_and_io_errors(args, status):
    done = spatial(*args)
    assert done.returncode == status and done.stderr


def test_check_reads_standard_input(tmp_path):
    done = spatial("check", "-", stdin=recording(tmp_path).read_text())
    assert done.returncode == 0 and done.stdout == "-: 91 records (90 frames, 1 events), 0 refused\n"


def test_info_tells_what_is_in_a_recording(tmp_path):
    done = spatial("info", "--json", str(recording(tmp_path, late_select_at=5)))
    info = json.loads(done.stdout)
    assert (info["frames"], info["events"], info["frame_rate_hz"]) == (90, 1, pytest.approx(90.0, rel=1e-3))
    assert info["select"] == {"presses": 1, "held_ms": pytest.approx({"mean": 333.3, "max": 333.3}, rel=1e-3)}
    assert info["targets"]["panel:a"]["frames"] == 45 and info["targets"]["panel:b"]["first_s"] == pytest.approx(0.5)
    assert info["events_list"][0]["host_id"] == "panel:b" and info["warnings"]["select_changed_after_its_frame"] == 1
    table = spatial("info", str(recording(tmp_path))).stdout
    assert "  frame rate       90.0 Hz (mean)\n" in table and "warning" not in table


def test_replay_pairs_utterances_at_their_times(tmp_path):
    path = recording(tmp_path)
    (tmp_path / "said.tsv").write_text("0.2\tthis one\n5.0\ttoo late\n")
    done = spatial("replay", str(path), "--rate", "0", "--say", "0.75:that one", "--utterances",
                   str(tmp_path / "said.tsv"), "--max-age-ms", "100")
    events = [sp.from_jsonl(line) for line in done.stdout.splitlines()]
    assert [e.text for e in events] == ["this one", "that one"]
    assert [e.spatial_context.target.host_id for e in events] == ["panel:a", "panel:b"]
    assert events[0].timestamp_ns == 1_200_000_000 and events[0].spatial_age_ns < 11_111_111
    assert "'too late' at 5.000 s found no frame" in done.stderr and "1 events in the input passed over" in done.stderr


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None, reason="matplotlib is an optional extra")
def test_plot_draws_any_recording(tmp_path):
    picture = tmp_path / "session.png"
    # Under the leak checker, matplotlib's own allocations at exit are not this module's.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    done = spatial("plot", str(recording(tmp_path)), "-o", str(picture), env=env)
    assert done.returncode == 0, done.stderr
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
