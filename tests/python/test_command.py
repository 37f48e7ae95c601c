"""The spatial command end to end, on small recordings made here."""

import importlib.util
import json
import os
import pathlib
import subprocess
import sys

import pytest
from conftest import make_full_frame

import _spatial as sp

ROOT = pathlib.Path(__file__).resolve().parents[2]


def spatial(*args, stdin=None, env=None):
    return subprocess.run([sys.executable, "-m", "spatial_intent", *args], input=stdin, capture_output=True, text=True,
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
    assert info["tracked"] == {"left_hand": 1.0, "right_hand": 1.0, "gaze": 1.0}
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


@pytest.mark.parametrize("args, named", [
    (["--say", "inf:x"], "--say"), (["--say", "nan:x"], "--say"), (["--say", "1e300:x"], "--say"),
    (["--say", "0.05:"], "--say"), (["--say", "0.05"], "--say"), (["--say", "soon:x"], "--say"),
    (["--max-age-ms", "inf"], "--max-age-ms"), (["--max-age-ms", "1e20"], "--max-age-ms"),
    (["--max-age-ms", "-1"], "--max-age-ms"), (["--rate", "nan"], "--rate"), (["--rate", "-2"], "--rate"),
    (["--capacity", "0"], "--capacity"), (["--capacity", str(2**64)], "--capacity"),
    (["--capacity", "1.5"], "--capacity"), (["--rate", "1e-12"], "--rate"), (["--say", "1:   "], "--say"),
])
def test_replay_refuses_a_bad_number_in_one_line_naming_the_option(tmp_path, args, named):
    done = spatial("replay", str(recording(tmp_path, count=3)), "--rate", "0", *args)
    assert done.returncode == 2 and done.stdout == ""
    assert len(done.stderr.splitlines()) == 1 and named in done.stderr and "Traceback" not in done.stderr


@pytest.mark.parametrize("content, message", [
    (b"0.1\tfine\n0.2\t\xff\xfe\n", "said.tsv:2: not UTF-8 text (byte 5 of the line)"),
    (b"0.1\tfine\nsoon\tlater\n", "said.tsv:2: the time 'soon' is not a number of seconds"),
    (b"0.1\t\n", "said.tsv:1: no text after the time"),
    (b"0.1\t  \t \n", "said.tsv:1: no text after the time"),
    (b"inf\tforever\n", "said.tsv:1: the time 'inf' is not a finite number of seconds"),
])
def test_a_bad_utterances_file_names_the_line_and_the_problem(tmp_path, content, message):
    (tmp_path / "said.tsv").write_bytes(content)
    done = spatial("replay", str(recording(tmp_path, count=3)), "--rate", "0", "--utterances",
                   str(tmp_path / "said.tsv"))
    assert done.returncode == 2 and done.stderr == f"spatial replay: {tmp_path / 'said.tsv'}:{message[9:]}\n"


@pytest.mark.parametrize("args", [["replay", "-", "--utterances", "-"], ["check", "-", "-"], ["info"]])
def test_standard_input_is_read_once_and_never_closed(tmp_path, args):
    path = recording(tmp_path, count=3)
    if args == ["info"]:  # one `-`: read and left open for what comes after
        done = spatial("info", "--json", "-", stdin=path.read_text())
        assert done.returncode == 0 and json.loads(done.stdout)["frames"] == 3
        return
    done = spatial(*args, stdin=path.read_text())
    assert done.returncode == 2
    assert done.stderr == f"spatial {args[0]}: standard input (-) can be read once, but is named twice\n"


def test_utterances_from_standard_input_and_from_every_file_named(tmp_path):
    (tmp_path / "said.tsv").write_text("0.75\tthat one\n")
    done = spatial("replay", str(recording(tmp_path)), "--rate", "0", "--utterances", "-", "--utterances",
                   str(tmp_path / "said.tsv"), stdin="0.2\tthis one\n")
    assert done.returncode == 0
    assert [sp.from_jsonl(line).text for line in done.stdout.splitlines()] == ["this one", "that one"]


def test_replay_help_says_what_audio_from_standard_input_is():
    shown = " ".join(spatial("replay", "--help").stdout.split())
    assert "`-` reads raw samples from standard input: 16 kHz, mono, signed 16-bit little-endian" in shown


@pytest.mark.parametrize("command", [["info"], ["info", "--json"], ["check"], ["replay", "--rate", "0"]])
def test_refused_records_exit_1_in_every_command(tmp_path, command):
    noise = tmp_path / "noise.jsonl"
    noise.write_bytes(bytes(range(256)) * 20)
    done = spatial(*command, str(noise))
    assert done.returncode == 1, done.stderr
    assert "Traceback" not in done.stderr


def test_plot_without_matplotlib_is_an_unusable_invocation(tmp_path):
    code = ("import sys; sys.modules['matplotlib'] = None\n"
            "from spatial_intent.cli import main\n"
            f"sys.exit(main(['plot', {str(recording(tmp_path, count=3))!r}, '-o', 'x.png']))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 2
    assert done.stderr == 'spatial plot: needs matplotlib, an optional extra: pip install "spatial-intent[plot]"\n'


def test_a_diagnostic_never_shares_the_progress_line(monkeypatch, capsys):
    from spatial_intent.cli import records

    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    progress = records.Progress("frames.jsonl")
    progress.shown -= 1.0
    for _ in range(4096):
        progress.add(100)
    records.diagnose("frames.jsonl:7: refused")
    shown = capsys.readouterr().err
    assert shown.startswith("\rframes.jsonl: 0 MB, 4,096 records")
    assert shown.endswith("\r\033[Kframes.jsonl:7: refused\n")


def test_version_from_the_installed_command():
    import tomllib

    import spatial_intent

    script = pathlib.Path(sys.executable).parent / "spatial"
    if not script.exists():
        pytest.skip("the package is not installed here (a source tree on PYTHONPATH)")
    version = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert spatial_intent.__version__ == version
    done = subprocess.run([str(script), "--version"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout == f"spatial {version} (spatial-intent)\n"
