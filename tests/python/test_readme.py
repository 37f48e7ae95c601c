"""The README's host example runs, and its example records are what the module writes."""

import json
import pathlib
import re

from conftest import validate_record

README = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text()


def blocks(language):
    return re.findall(r"```%s\n(.*?)```" % language, README, re.S)


def test_host_example_runs(capsys):
    exec(compile(blocks("python")[0], "README.md", "exec"), {})
    line, host_id = capsys.readouterr().out.splitlines()
    assert json.loads(line)["target"]["host_id"] == "panel:map" == host_id


def test_example_records_are_valid_single_lines():
    records = blocks("json")
    assert [json.loads(r)["schema"] for r in records] == ["halberin.spatial-intent", "halberin.contextual-intent"]
    for r in records:
        assert "\n" not in r.strip()
        validate_record(r.strip())


def test_consumer_example_pairs_typed_text(tmp_path):
    """The two-process consumer: frames from a file, a refused line reported, text paired."""
    import subprocess
    import sys
    import time

    import _spatial as sp

    frame = sp.SpatialIntentFrame()
    frame.timestamp_ns = time.monotonic_ns()
    frames = tmp_path / "frames.jsonl"
    frames.write_text(sp.to_jsonl(frame) + "\n{broken\n")
    consumer = subprocess.Popen([sys.executable, "-c", blocks("python")[2], str(frames)], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(0.3)  # the frames are read in a thread of their own; the pairing window is 2 s
    out, err = consumer.communicate("put it there\n", timeout=30)
    assert sp.from_jsonl(out).spatial_context.timestamp_ns == frame.timestamp_ns
    assert err == f"{frames}:2: expected a member name at $, byte 1\n"
