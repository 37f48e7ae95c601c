"""The WebXR host against a page that misbehaves and against other local processes:
a stand-in browser (standin_browser.py) speaks the page's protocol and does what a
hostile page or a process that reads the host's ports would."""

import glob
import http.client
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:0] = [os.path.join(ROOT, "examples"), os.path.join(ROOT, "examples", "webxr"),
                os.path.join(ROOT, "examples", "openxr"), os.path.join(ROOT, "examples", "shared"),
                os.path.join(ROOT, "tests", "python")]
import demo  # noqa: E402
import script  # noqa: E402
import session  # noqa: E402
from conftest import validate_record  # noqa: E402
from webxr import host  # noqa: E402

STANDIN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "standin_browser.py")
SECONDS = 1.5


def standin(tmp_path, faults="", seconds=SECONDS, **popen):
    """The host with the stand-in as its browser, its temporary folders under tmp_path."""
    env = dict(os.environ, TMPDIR=str(tmp_path), STANDIN_REPORT=str(tmp_path / "standin.json"))
    command = demo.webxr_command(seconds, str(tmp_path), "webxr") + \
        ["--browser", STANDIN, "--page-options", f"&standin={faults}"]
    return subprocess.Popen(command, cwd=session.EXAMPLES, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            text=True, env=env, **popen)


def frames_written(tmp_path):
    text = (tmp_path / "webxr-frames.jsonl").read_text()
    assert text.endswith("\n")
    for line in text.splitlines():
        validate_record(line)
    return len(text.splitlines())


@pytest.mark.parametrize("faults, lines", [
    ("nested", [r"webxr host: refused a message of 400009 bytes \(at most 16384\)"]),
    ("pong", [r"webxr host: refused a message: a pong without the page's time in ms"]),
    ("big", [r"webxr host: refused a message of 2097152 bytes \(at most 16384\)"]),
    ("empty", [r"webxr host: refused a message: .*"]),
    ("far", [r"webxr host: refused a message: a frame stamped \+4\.61e\+09 s from its arrival"]),
    ("inputs", [r"webxr host: refused a message: sources\[0\] has members \['handedness', 'id', 'ray'\], "
                r"not those of an input source"]),
    ("forged", [r"webxr host: the page says: bad\\nwebxr host: forged line\\u001b\[2K"]),
])
def test_a_message_a_page_should_not_send_costs_one_line_and_the_session_goes_on(tmp_path, faults, lines):
    run = standin(tmp_path, faults)
    _, err = run.communicate(timeout=60)
    assert run.returncode == 0, err
    said = err.splitlines()
    assert len(said) == len(lines), err
    for line, pattern in zip(said, lines):
        assert re.fullmatch(pattern, line), line
    assert frames_written(tmp_path) >= 60 * SECONDS * 0.8


def test_a_message_too_large_to_take_ends_the_session_in_one_line(tmp_path):
    run = standin(tmp_path, "huge")
    _, err = run.communicate(timeout=60)
    assert run.returncode == 1
    assert re.fullmatch(r"webxr host: the page sent a message over 4 MiB, and its connection was closed during "
                        r"the session; \d+ frames written\n", err), err
    assert frames_written(tmp_path) > 0


def test_only_the_page_with_the_session_secret_and_its_origin_may_connect(tmp_path):
    run = standin(tmp_path, "intruders")
    _, err = run.communicate(timeout=60)
    assert run.returncode == 0, err
    report = json.loads((tmp_path / "standin.json").read_text())
    assert report["intruders"] == [403, 403, 403]
    assert err.splitlines() == ['webxr host: refused a connection from the origin "http://evil.example"',
                                "webxr host: refused a connection without this session's secret",
                                "webxr host: refused a connection without this session's secret"]
    assert report["holders"] == []  # no process's arguments or environment hold the secret
    assert frames_written(tmp_path) >= 60 * SECONDS * 0.8


def test_sigterm_ends_the_session_as_ctrl_c_does_and_leaves_nothing_behind(tmp_path):
    run = standin(tmp_path, seconds=30.0)
    try:
        deadline = time.monotonic() + 30
        frames = tmp_path / "webxr-frames.jsonl"
        while time.monotonic() < deadline and (not frames.exists() or frames.read_text().count("\n") < 30):
            time.sleep(0.05)
        run.send_signal(signal.SIGTERM)
        _, err = run.communicate(timeout=30)
    finally:
        if run.poll() is None:
            run.kill()
    assert run.returncode == 143
    assert re.fullmatch(r"webxr host: terminated; \d+ frames written\n", err), err
    pid = json.loads((tmp_path / "standin.json").read_text())["pid"]
    assert not os.path.exists(f"/proc/{pid}")  # the browser was ended and reaped
    assert glob.glob(str(tmp_path / "spatial-webxr-*")) == []
    frames_written(tmp_path)


@pytest.fixture
def files(tmp_path):
    """The file server over packages with a link out of them and a file beside them."""
    modules = tmp_path / "node_modules"
    (modules / "iwer" / "build").mkdir(parents=True)
    (modules / "iwer" / "build" / "iwer.module.js").write_text("export {};\n")
    (modules / "iwer" / "secret.txt").write_text("not the page's\n")
    (tmp_path / "private.txt").write_text("not the page's\n")
    (modules / "iwer" / "build" / "out.js").symlink_to(tmp_path / "private.txt")
    with host.served(str(tmp_path), script.Script(1.0)) as port:
        yield port


def get(port, path, host_header=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    connection.putrequest("GET", path, skip_host=True)
    connection.putheader("Host", host_header or f"127.0.0.1:{port}")
    connection.endheaders()
    response = connection.getresponse()
    body = response.read()
    connection.close()
    return response.status, body


@pytest.mark.parametrize("path, status", [
    ("/page.html", 200), ("/page.js", 200), ("/script.json", 200), ("/node_modules/iwer/build/iwer.module.js", 200),
    ("/node_modules/", 404), ("/node_modules/iwer/build/", 404), ("/node_modules/iwer/build", 404),
    ("/node_modules/iwer/secret.txt", 404), ("/node_modules/iwer/build/out.js", 404),
    ("/node_modules/iwer/build/../secret.txt", 404), ("/node_modules/iwer/build/%2e%2e/secret.txt", 404),
    ("/host.py", 404), ("/", 404),
])
def test_the_file_server_serves_only_the_page_and_its_packages(files, path, status):
    assert get(files, path)[0] == status


@pytest.mark.parametrize("name", ["evil.example", "localhost:1", "127.0.0.1"])
def test_the_file_server_answers_only_requests_addressed_to_it(files, name):
    assert get(files, "/page.html", host_header=name)[0] == 421


def test_idle_connections_are_bounded_and_closed_with_the_server(tmp_path):
    before = threading.active_count()
    idle = []
    with host.served(str(tmp_path), script.Script(1.0)) as port:
        for _ in range(100):
            idle.append(socket.create_connection(("127.0.0.1", port), timeout=5))
        time.sleep(0.5)
        assert threading.active_count() <= before + 1 + host.MOST_CONNECTIONS
    deadline = time.monotonic() + 3
    while threading.active_count() > before and time.monotonic() < deadline:
        time.sleep(0.05)
    assert threading.active_count() == before
    for s in idle:
        s.close()
