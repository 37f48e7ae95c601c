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
    """The two-process consumer: frames from a stream, a refused line reported, text paired."""
    import os
    import select
    import subprocess
    import sys
    import time

    import _spatial as sp

    frames = tmp_path / "frames.jsonl"
    os.mkfifo(frames)  # a host's stream: the frame is stamped once the consumer reads, however slow it starts
    consumer = subprocess.Popen([sys.executable, "-c", blocks("python")[2], str(frames)], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        with open(frames, "w") as stream:  # opens when the consumer does
            frame = sp.SpatialIntentFrame()
            frame.timestamp_ns = time.monotonic_ns()
            stream.write(sp.to_jsonl(frame) + "\n{broken\n")
        # The refusal of the second line says the first was read; then the text goes in.
        assert select.select([consumer.stderr], [], [], 60)[0], "the consumer read no frame in 60 s"
        err = consumer.stderr.readline()
        time.sleep(0.5)  # for its reading thread to leave at the stream's end, before the process does
        out, rest = consumer.communicate("put it there\n", timeout=30)
    finally:
        consumer.kill()
    err += rest
    assert err == f"{frames}:2: expected a member name at $, byte 1\n"
