"""spatial mcp --http: loopback only, and nothing is read from a request that is not our
own client's (Host, Origin, bearer token, size, protocol version)."""

from __future__ import annotations

import http.client
import json
import os
import socket
import stat
import subprocess
import sys

import pytest
from mcp_helpers import MODERN_META, environment, start_http, stop_http, write_session


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    folder = tmp_path_factory.mktemp("http")
    frames, events, _ = write_session(str(folder))
    token_file = str(folder / "token")
    proc, port = start_http([frames, events], token_file)
    yield port, token_file, open(token_file).read().strip()
    assert stop_http(proc) == 0
    assert not os.path.exists(token_file)  # the token goes with the server


def post(port, body, headers):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        conn.request("POST", "/mcp", data, {"Content-Type": "application/json", **headers})
        r = conn.getresponse()
        return r.status, r.read(), dict(r.getheaders())
    finally:
        conn.close()


PING = {"jsonrpc": "2.0", "id": 1, "method": "ping", "params": {"_meta": MODERN_META}}


def test_the_token_file_is_its_owners_alone_and_a_good_request_is_answered(served):
    port, token_file, token = served
    assert stat.S_IMODE(os.stat(token_file).st_mode) == 0o600
    status, body, _ = post(port, PING, {"Host": f"127.0.0.1:{port}", "Authorization": f"Bearer {token}"})
    assert status == 200 and json.loads(body)["result"]["resultType"] == "complete"


@pytest.mark.parametrize("change, status", [
    ({"Authorization": None}, 401),
    ({"Authorization": "Bearer wrong"}, 401),
    ({"Host": "attacker.example:{port}"}, 403),
    ({"Origin": "http://attacker.example"}, 403),
    ({"Origin": "http://127.0.0.1:1"}, 403),
    ({"Content-Type": "text/plain"}, 415),
    ({"MCP-Protocol-Version": "1999-01-01"}, 400),
    ({"MCP-Protocol-Version": "2025-06-18"}, 400),  # disagrees with the body's _meta
])
def test_requests_that_are_not_our_own_clients_are_refused(served, change, status):
    port, _, token = served
    headers = {"Host": f"127.0.0.1:{port}", "Authorization": f"Bearer {token}"}
    for k, v in change.items():
        if v is None:
            headers.pop(k)
        else:
            headers[k] = v.format(port=port)
    got, body, _ = post(port, PING, headers)
    assert got == status and "error" in json.loads(body)


def test_an_over_size_body_is_refused_unread_and_the_server_goes_on(served):
    port, _, token = served
    headers = {"Host": f"127.0.0.1:{port}", "Authorization": f"Bearer {token}"}
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    conn.putrequest("POST", "/mcp", skip_host=True)
    for k, v in {**headers, "Content-Type": "application/json", "Content-Length": str(2 << 20)}.items():
        conn.putheader(k, v)
    conn.endheaders()
    assert conn.getresponse().status == 413
    conn.close()
    assert post(port, PING, headers)[0] == 200


def test_the_older_era_over_http_has_a_session(served):
    port, _, token = served
    headers = {"Host": f"127.0.0.1:{port}", "Authorization": f"Bearer {token}"}
    status, body, got = post(port, {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
        "protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "t", "version": "1"}}}, headers)
    sid = got["Mcp-Session-Id"]
    assert status == 200 and json.loads(body)["result"]["protocolVersion"] == "2025-06-18"
    status, body, _ = post(port, {"jsonrpc": "2.0", "id": 2, "method": "tools/list"}, {**headers, "Mcp-Session-Id": sid})
    assert status == 200 and len(json.loads(body)["result"]["tools"]) == 4
    assert post(port, {"jsonrpc": "2.0", "id": 3, "method": "tools/list"}, headers)[0] == 400
    assert post(port, {"jsonrpc": "2.0", "id": 3, "method": "tools/list"}, {**headers, "Mcp-Session-Id": "x"})[0] == 404


@pytest.mark.parametrize("where", ["0.0.0.0:0", "192.0.2.1:0", "example.org:80"])
def test_only_loopback_is_served(where, tmp_path):
    frames, _, _ = write_session(str(tmp_path), frames=2, said=())
    got = subprocess.run([sys.executable, "-m", "spatial_intent.cli", "mcp", "--http", where, frames],
                         capture_output=True, text=True, timeout=20, env={**os.environ, **environment()})
    assert got.returncode == 2 and "loopback addresses only" in got.stderr


def test_a_client_that_stops_mid_request_holds_up_no_one(served):
    port, _, token = served
    with socket.create_connection(("127.0.0.1", port), timeout=10) as slow:
        slow.sendall(b"POST /mcp HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Length: 100\r\n\r\n{" % port)
        headers = {"Host": f"127.0.0.1:{port}", "Authorization": f"Bearer {token}"}
        assert post(port, PING, headers)[0] == 200


def test_an_event_stream_whose_client_goes_away_leaves_the_server_serving(served):
    port, _, token = served
    body = json.dumps({"jsonrpc": "2.0", "id": "l1", "method": "subscriptions/listen", "params": {
        "notifications": {"resourceSubscriptions": ["spatial://events/recent"]}, "_meta": MODERN_META}}).encode()
    with socket.create_connection(("127.0.0.1", port), timeout=10) as listener:
        listener.sendall(b"POST /mcp HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nAuthorization: Bearer %s\r\n"
                         b"Content-Type: application/json\r\nContent-Length: %d\r\n\r\n%s"
                         % (port, token.encode(), len(body), body))
        got = b""
        while b"acknowledged" not in got:
            chunk = listener.recv(4096)
            assert chunk, got
            got += chunk
        assert b"text/event-stream" in got
    headers = {"Host": f"127.0.0.1:{port}", "Authorization": f"Bearer {token}"}
    assert post(port, PING, headers)[0] == 200


def test_older_era_sessions_never_said_goodbye_to_do_not_lock_others_out(served):
    port, _, token = served
    headers = {"Host": f"127.0.0.1:{port}", "Authorization": f"Bearer {token}"}
    hello = {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
        "protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "t", "version": "1"}}}
    ids = []
    for _ in range(40):
        status, _, got = post(port, hello, headers)
        assert status == 200
        ids.append(got["Mcp-Session-Id"])
    ping = {"jsonrpc": "2.0", "id": 2, "method": "ping"}
    assert post(port, ping, {**headers, "Mcp-Session-Id": ids[0]})[0] == 404  # the longest unused, ended
    assert post(port, ping, {**headers, "Mcp-Session-Id": ids[-1]})[0] == 200


def test_a_port_already_taken_is_one_line_and_leaves_no_token_behind(tmp_path):
    frames, events, _ = write_session(str(tmp_path))
    token_file = tmp_path / "token"
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        done = subprocess.run([sys.executable, "-m", "spatial_intent.cli", "mcp", "--http", f"127.0.0.1:{port}",
                               "--token-file", str(token_file), frames, events], capture_output=True, text=True,
                              env={**os.environ, **environment()}, timeout=30)
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert f"--http 127.0.0.1:{port}:" in done.stderr
    assert not token_file.exists()
