"""Every code sample of the README and of the documentation runs, and its example records
are what the module writes."""

import json
import os
import pathlib
import re
import select
import shutil
import subprocess
import sys
import textwrap
import time

import pytest

import _spatial as sp
from conftest import validate_record

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def blocks(page, language):
    """The page's fenced blocks of one language, a list item's indented ones included."""
    found = re.findall(r"^( *)```%s\n(.*?)^\1```" % language, page.read_text(), re.S | re.M)
    return [textwrap.dedent(code) for _, code in found]


def samples(language):
    """Every sample of one language; a program that takes arguments runs in a test of its own."""
    return [pytest.param(page, code, id=f"{page.relative_to(ROOT)}[{i}]")
            for page in PAGES for i, code in enumerate(blocks(page, language)) if "sys.argv[1]" not in code]


# What a sample needs beyond the module: a program on the PATH.
NEEDS = {"speech.PocketSphinx": ("pocketsphinx", "espeak-ng", "sox")}


@pytest.mark.parametrize("page, code", samples("python"))
def test_every_python_sample_runs(page, code, tmp_path, monkeypatch, capsys):
    for marker, programs in NEEDS.items():
        missing = [p for p in programs if marker in code and shutil.which(p) is None]
        if missing:
            pytest.skip(f"needs {', '.join(missing)}")
    monkeypatch.chdir(tmp_path)
    exec(compile(code, str(page), "exec"), {"__name__": "__sample__"})
    out = capsys.readouterr().out
    for line in out.splitlines():
        if line.startswith("{"):
            validate_record(line)
    if "speech.ground" in code:
        events = [json.loads(line) for line in out.splitlines()]
        assert [e["text"] for e in events] == ["copy [that] there", "copy that [there]"]
        assert {e["spatial_context"]["target"]["host_id"] for e in events} == {"panel:map"}


def test_the_host_example_prints_its_line_and_target(capsys):
    exec(compile(blocks(ROOT / "README.md", "python")[0], "README.md", "exec"), {})
    line, host_id = capsys.readouterr().out.splitlines()
    assert json.loads(line)["target"]["host_id"] == "panel:map" == host_id


@pytest.mark.parametrize("page, code", samples("json"))
def test_example_records_are_valid_single_lines(page, code):
    assert "\n" not in code.strip()
    validate_record(code.strip())


def test_the_readme_shows_a_frame_and_an_event():
    records = blocks(ROOT / "README.md", "json")
    assert [json.loads(r)["schema"] for r in records] == ["halberin.spatial-intent", "halberin.contextual-intent"]


@pytest.mark.parametrize("page, code", samples("jsonc"))
def test_an_agent_configuration_starts_the_installed_server(page, code):
    entry = json.loads(code)["mcpServers"]["spatial"]
    assert entry["command"] == "spatial" and entry["args"][0] == "mcp"


def consumer():
    [code] = [c for page in PAGES for c in blocks(page, "python") if "sys.argv[1]" in c]
    return code


def test_consumer_example_pairs_typed_text(tmp_path):
    """The two-process consumer: frames from a stream, a refused line reported, text paired."""
    frames = tmp_path / "frames.jsonl"
    os.mkfifo(frames)  # a host's stream: the frame is stamped once the consumer reads, however slow it starts
    consumer_process = subprocess.Popen([sys.executable, "-c", consumer(), str(frames)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        with open(frames, "w") as stream:  # opens when the consumer does
            frame = sp.SpatialIntentFrame()
            frame.timestamp_ns = time.monotonic_ns()
            stream.write(sp.to_jsonl(frame) + "\n{broken\n")
        # The refusal of the second line says the first was read; then the text goes in.
        assert select.select([consumer_process.stderr], [], [], 60)[0], "the consumer read no frame in 60 s"
        err = consumer_process.stderr.readline()
        time.sleep(0.5)  # for its reading thread to leave at the stream's end, before the process does
        out, rest = consumer_process.communicate("put it there\n", timeout=30)
    finally:
        consumer_process.kill()
    err += rest
    assert err == f"{frames}:2: expected a member name at $, byte 1\n"
    assert json.loads(out)["text"] == "put it there"
