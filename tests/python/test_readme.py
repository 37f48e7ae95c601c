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
