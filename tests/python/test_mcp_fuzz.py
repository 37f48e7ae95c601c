"""The server's readers under any input: a client's message (bytes, then JSON of any
shape near the protocol's) and a record file in any pieces."""

from __future__ import annotations

import json
import os

from hypothesis import given, settings
from hypothesis import strategies as st
from mcp_helpers import MODERN_META, frame

from spatial_intent.mcp.follow import Follower
from spatial_intent.mcp.protocol import Connection, DirectOutbox
from spatial_intent.mcp.session import Session

METHODS = ["initialize", "ping", "server/discover", "tools/list", "tools/call", "resources/list",
           "resources/templates/list", "resources/read", "resources/subscribe", "resources/unsubscribe",
           "subscriptions/listen", "notifications/initialized", "notifications/cancelled", "no/such"]
JSON = st.recursive(st.none() | st.booleans() | st.integers(-(2**70), 2**70) | st.floats(allow_nan=False)
                    | st.text(max_size=20), lambda inner: st.lists(inner, max_size=4)
                    | st.dictionaries(st.text(max_size=12), inner, max_size=4), max_leaves=12)
ARGUMENTS = st.dictionaries(st.sampled_from(["timestamp_ns", "timestamp_ns_text", "seconds_ago", "seconds", "limit",
                                             "cursor", "timeout_s", "after_sequence", "x"]), JSON, max_size=3)
PARAMS = st.fixed_dictionaries({}, optional={
    "name": st.sampled_from(["spatial_context_at", "pointing_now", "recent_events", "wait_for_event", "nope"]) | JSON,
    "arguments": ARGUMENTS | JSON, "uri": st.sampled_from(["spatial://session", "spatial://frame/latest"]) | JSON,
    "protocolVersion": st.sampled_from(["2025-06-18", "1999-01-01"]) | JSON,
    "_meta": st.just(MODERN_META) | JSON, "notifications": JSON, "requestId": JSON})
MESSAGE = st.fixed_dictionaries({"jsonrpc": st.just("2.0") | JSON}, optional={
    "id": st.integers(0, 9) | st.text(max_size=3) | JSON, "method": st.sampled_from(METHODS) | JSON,
    "params": PARAMS | JSON})

SESSION = Session(capacity=16)
for t in range(10, 200, 11):
    SESSION.add_frame(frame(t))


def connection() -> tuple[Connection, list[dict]]:
    sent: list[dict] = []
    return Connection(SESSION, DirectOutbox(sent.append), lambda message: None), sent


def sendable(message: dict) -> bool:
    json.dumps(message, allow_nan=False)
    return message.get("jsonrpc") == "2.0"


@settings(max_examples=400, deadline=None)
@given(st.binary(max_size=200))
def test_any_bytes_get_at_most_one_well_formed_answer(raw):
    c, sent = connection()
    c.receive(raw)
    c.close()
    assert len(sent) <= 1 and all(sendable(m) for m in sent)


@settings(max_examples=1500, deadline=None)
@given(st.lists(MESSAGE, min_size=1, max_size=4))
def test_any_message_near_the_protocol_is_answered_once_or_not_at_all_and_never_raises(messages):
    c, sent = connection()
    for message in messages:
        before = len(sent)
        c.receive(json.dumps(message))
        answers = [m for m in sent[before:] if "method" not in m]
        assert len(answers) <= 1 and all(sendable(m) for m in sent[before:])
        params = message.get("params")
        waits = message.get("method") == "subscriptions/listen" or (
            message.get("method") == "tools/call" and isinstance(params, dict) and params.get("name") == "wait_for_event")
        is_request = isinstance(message.get("id"), (str, int)) and not isinstance(message.get("id"), bool) \
            and isinstance(message.get("method"), str) and isinstance(message.get("params", {}), dict)
        if is_request and not waits and message.get("jsonrpc") == "2.0":
            assert len(answers) == 1 and answers[0]["id"] == message["id"]
    c.close()


@settings(max_examples=300, deadline=None)
@given(st.lists(st.binary(max_size=40), max_size=12))
def test_a_file_written_in_any_pieces_gives_its_whole_lines_in_order(tmp_path_factory, pieces):
    path = os.path.join(tmp_path_factory.mktemp("follow"), "f.jsonl")
    open(path, "wb").close()
    got: list[bytes] = []
    f = Follower([path], lambda p, n, line: got.append(line), lambda warning: None)
    with open(path, "ab") as out:
        for piece in pieces:
            out.write(piece)
            out.flush()
            f.poll()
    f.close()
    assert got == b"".join(pieces).split(b"\n")[:-1]
