"""The committed stubs: current with the built module, and good enough for mypy --strict
to accept a real host and reject misuse, and the public package typed as strictly."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

import _spatial

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUBS = ROOT / "src" / "python" / "_spatial.pyi"
TYPING = ROOT / "tests" / "typing"


def plain_env():
    """The environment without sanitizer preloads: the tools here do not load the module."""
    return {k: v for k, v in os.environ.items() if not k.startswith(("LD_PRELOAD", "ASAN_", "LSAN_", "UBSAN_"))}


def test_stubs_are_installed_next_to_the_module():
    assert (pathlib.Path(_spatial.__file__).parent / "_spatial.pyi").read_text() == STUBS.read_text()


def test_committed_stubs_match_the_module(tmp_path):
    pytest.importorskip("pybind11_stubgen")
    subprocess.run([sys.executable, "-m", "pybind11_stubgen", "_spatial", "-o", str(tmp_path)], check=True,
                   capture_output=True)
    fresh = (tmp_path / "_spatial.pyi").read_text()
    assert fresh == STUBS.read_text(), "stale stubs: run `make stubs` and commit src/python/_spatial.pyi"


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    pytest.importorskip("mypy")
    cache = tmp_path_factory.mktemp("mypy-cache")
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(cache),
                          "--python-executable", sys.executable, str(TYPING / "host_ok.py"),
                          str(TYPING / "host_misuse.py"), str(ROOT / "src" / "spatial_intent")],
                         capture_output=True, text=True, env=plain_env(), cwd=ROOT)
    errors = {}
    for line in out.stdout.splitlines():
        found = re.match(r"(.*?):(\d+): error: (.*)", line)
        if found:
            path = pathlib.Path(found[1])
            name = "spatial_intent" if "spatial_intent" in path.parts else path.name
            errors.setdefault(name, {}).setdefault(int(found[2]), []).append(found[3])
    assert out.returncode in (0, 1), out.stdout + out.stderr
    return errors


def test_host_script_passes_strict(mypy_report):
    assert mypy_report.get("host_ok.py", {}) == {}


def test_the_public_package_passes_strict(mypy_report):
    assert mypy_report.get("spatial_intent", {}) == {}


def test_every_misuse_is_rejected_and_nothing_else(mypy_report):
    lines = (TYPING / "host_misuse.py").read_text().splitlines()
    marked = {n for n, text in enumerate(lines, 1) if text.rstrip().endswith("# error")}
    assert len(marked) >= 10
    assert set(mypy_report.get("host_misuse.py", {})) == marked
