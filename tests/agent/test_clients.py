"""spatial mcp with clients no one here wrote: the official TypeScript clients and the
inspector's CLI, in every era each speaks, over stdio and Streamable HTTP. Needs node
and the packages of examples/agent (make check-agent fetches them)."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys

import _spatial as sp
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "python"))
from mcp_helpers import environment, start_http, stop_http, write_session  # noqa: E402

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PACKAGES = os.path.join(REPO, "build", "agent")
INSPECTOR = os.path.join(PACKAGES, "node_modules", "@modelcontextprotocol", "inspector", "clients", "launcher",
                         "build", "index.js")

pytestmark = pytest.mark.skipif(shutil.which("node") is None or not os.path.exists(INSPECTOR),
                                reason="needs node and build/agent (make check-agent)")


def server_command(*files: str) -> list[str]:
    return [sys.executable, "-m", "spatial_intent.cli", "mcp", *files]


@pytest.fixture
def session(tmp_path):
    frames, events, lines = write_session(str(tmp_path))
    live = tmp_path / "live-events.jsonl"
    live.write_text("")
    return frames, events, lines, str(live)


def run_clients(config: dict, tmp_path) -> list[dict]:
    script = os.path.join(PACKAGES, "clients.mjs")
    shutil.copy(os.path.join(os.path.dirname(__file__), "clients.mjs"), script)
    path = tmp_path / "config.json"
    path.write_text(json.dumps(config))
    got = subprocess.run(["node", script, str(path)], capture_output=True, text=True, timeout=300, cwd=PACKAGES)
    rows = [json.loads(line) for line in got.stdout.splitlines() if line.startswith("{")]
    failed = [r for r in rows if not r["ok"]]
    assert got.returncode == 0 and not failed, (failed or got.stderr[-3000:])
    return rows


CASES = [["client", "legacy"], ["client", "auto"], ["client", "pin"], ["sdk", "legacy"]]


def test_both_official_clients_in_every_era_over_stdio(session, tmp_path):
    frames, events, lines, live = session
    moment = sp.from_jsonl(lines[1])
    rows = run_clients({"command": server_command(frames, events, live), "env": environment(),
                        "append": {"path": live, "lines": lines}, "moment_text": str(moment.timestamp_ns),
                        "cases": CASES}, tmp_path)
    assert [(r["client"], r["mode"], r["era"]) for r in rows] == [
        ("client", "legacy", "legacy"), ("client", "auto", "modern"), ("client", "pin", "modern"),
        ("sdk", "legacy", "legacy")]
    for r in rows:  # exact, through JavaScript's numbers too
        assert r["context_at_moment"] == sp.to_jsonl(moment.spatial_context)
        assert r["steps"]["tools/call refused"] in ("refused", "isError")
        assert r["steps"]["subscribe and update"].startswith("update after")


def test_both_official_clients_in_every_era_over_http(session, tmp_path):
    frames, events, lines, live = session
    token_file = str(tmp_path / "token")
    server, port = start_http([frames, events, live], token_file)
    try:
        rows = run_clients({"command": ["false"], "env": environment(), "append": {"path": live, "lines": lines},
                            "moment_text": str(sp.from_jsonl(lines[0]).timestamp_ns),
                            "http": {"url": f"http://127.0.0.1:{port}/mcp", "token_file": token_file},
                            "cases": [[c + "-http", m] for c, m in CASES]}, tmp_path)
        assert [r["era"] for r in rows] == ["legacy", "modern", "modern", "legacy"]
    finally:
        assert stop_http(server) == 0


def inspector(era: str, *args: str, files: list[str]) -> subprocess.CompletedProcess:
    return subprocess.run(["node", INSPECTOR, "--cli", "--protocol-era", era, "--format", "json", *args,
                           *sum((["-e", f"{k}={v}"] for k, v in environment().items()), []),
                           *server_command(*files)],
                          capture_output=True, text=True, timeout=120, cwd=PACKAGES,
                          env={**os.environ, "HOME": os.environ.get("HOME", "/tmp")})


@pytest.mark.parametrize("era", ["legacy", "auto", "modern"])
def test_the_inspector_lists_and_calls_every_tool_and_reads_every_resource(session, era):
    frames, events, lines, _ = session
    files = [frames, events]
    listed = inspector(era, "--method", "tools/list", "--strict", files=files)
    assert listed.returncode == 0 and "portability" not in listed.stderr.lower(), listed.stderr[-2000:]
    tools = [t["name"] for t in json.loads(listed.stdout)["result"]["tools"]]
    arguments = {"spatial_context_at": {"timestamp_ns_text": str(sp.from_jsonl(lines[2]).timestamp_ns)},
                 "pointing_now": {}, "recent_events": {"seconds": 3600}, "wait_for_event": {"timeout_s": 0.1}}
    assert sorted(tools) == sorted(arguments)
    for name in tools:
        got = inspector(era, "--method", "tools/call", "--tool-name", name, "--tool-args-json",
                        json.dumps(arguments[name]), files=files)
        assert got.returncode == 0, got.stderr[-2000:]
        result = json.loads(got.stdout)["result"]
        assert result.get("isError") is not True and "structuredContent" in result
        if name == "spatial_context_at":
            assert result["structuredContent"]["frame_line"] == sp.to_jsonl(
                sp.from_jsonl(lines[2]).spatial_context)
    refused = inspector(era, "--method", "tools/call", "--tool-name", "spatial_context_at", "--tool-args-json",
                        '{"seconds_ago": -5}', files=files)
    assert refused.returncode != 0 and "at least 0" in refused.stdout + refused.stderr
    resources = inspector(era, "--method", "resources/list", files=files)
    uris = [r["uri"] for r in json.loads(resources.stdout)["result"]["resources"]]
    assert len(uris) == 5
    for uri in uris:
        got = inspector(era, "--method", "resources/read", "--uri", uri, files=files)
        assert got.returncode == 0 and json.loads(got.stdout)["result"]["contents"][0]["uri"] == uri
