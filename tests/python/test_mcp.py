"""spatial mcp over stdio: both eras, every answer agreeing with the records, and what a
misbehaving client or a changing record file gets."""

from __future__ import annotations

import json
import os
import signal
import threading
import time

import _spatial as sp
import pytest
from mcp_helpers import BIG_T0, MODERN_META, Server, frame, write_session

from spatial_intent.mcp import printable
from spatial_intent.mcp.follow import Follower
from spatial_intent.mcp.protocol import Outbox
from spatial_intent.mcp.session import Session


@pytest.fixture
def session_files(tmp_path):
    return write_session(str(tmp_path))


@pytest.fixture
def server(session_files):
    frames, events, _ = session_files
    with Server(frames, events) as s:
        yield s


def test_every_event_context_equals_the_events_own_byte_for_byte(server, session_files):
    lines = session_files[2]
    for line in lines:
        event = sp.from_jsonl(line)
        want = sp.to_jsonl(event.spatial_context)
        answer = server.call("spatial_context_at", {"timestamp_ns_text": str(event.timestamp_ns)})["result"]
        got = answer["structuredContent"]
        assert got["found"] and got["frame_line"] == want == answer["content"][0]["text"]
        assert got["age_ns"] == event.spatial_age_ns and got["requested_ns"] == event.timestamp_ns > 2**53
        assert got["requested_ns_text"] == str(event.timestamp_ns)
    listed = server.call("recent_events", {"seconds": 3600, "limit": 100})["result"]["structuredContent"]
    assert [e["event_line"] for e in listed["events"]] == lines
    assert [e["target_host_id"] for e in listed["events"]] == ["panel:calendar", "panel:notes", "panel:calendar"]


@pytest.mark.parametrize("modern", [False, True])
def test_both_eras_list_and_call_every_tool_and_read_every_resource(server, modern):
    if not modern:
        assert server.initialize()["result"]["protocolVersion"] == "2025-06-18"
    tools = server.request("tools/list", modern=modern)["result"]
    assert [t["name"] for t in tools["tools"]] == ["spatial_context_at", "pointing_now", "recent_events",
                                                   "wait_for_event"]
    assert ("resultType" in tools) == modern and ("ttlMs" in tools) == modern
    for tool in tools["tools"]:
        assert tool["outputSchema"]["type"] == "object"
        assert "urn:" not in json.dumps(tool["outputSchema"])  # every $ref resolves inside the schema
        answer = server.call(tool["name"], {"timeout_s": 0} if tool["name"] == "wait_for_event" else {},
                             modern=modern)["result"]
        assert answer["isError"] is False and isinstance(answer["structuredContent"], dict)
    resources = server.request("resources/list", modern=modern)["result"]["resources"]
    for r in resources:
        contents = server.request("resources/read", {"uri": r["uri"]}, modern=modern)["result"]["contents"]
        assert contents[0]["uri"] == r["uri"] and contents[0]["text"]


def test_pointing_now_names_the_newest_frames_target_and_input(server, session_files):
    now = server.call("pointing_now")["result"]["structuredContent"]
    last = open(session_files[0]).read().splitlines()[-1]
    assert now["frame_line"] == last
    assert (now["source"], now["confidence"], now["target_host_id"]) == ("hand", "position_and_orientation",
                                                                         "panel:map")
    assert now["gaze_tracked"] and now["frame_timestamp_ms_ago"] == 0.0


@pytest.mark.parametrize("arguments, why", [
    ({"timestamp_ns": 5}, "before_session"),
    ({"seconds_ago": 3600}, "before_session"),
    ({"timestamp_ns_text": str(BIG_T0 + 179 * 11_111_111 + 2_000_000_001)}, "too_old"),
])
def test_a_moment_without_a_frame_says_why(server, arguments, why):
    got = server.call("spatial_context_at", arguments)["result"]["structuredContent"]
    assert (got["found"], got["why"]) == (False, why)


def test_a_moment_older_than_what_is_kept_and_an_empty_session(tmp_path):
    frames, events, _ = write_session(str(tmp_path))
    with Server(frames, "--capacity", "10") as s:
        got = s.call("spatial_context_at", {"timestamp_ns_text": str(BIG_T0 + 11_111_111)})["result"]
        assert got["structuredContent"]["why"] == "no_longer_kept"
    empty = tmp_path / "empty.jsonl"
    empty.write_text("")
    with Server(str(empty)) as s:
        assert s.call("spatial_context_at")["result"]["structuredContent"]["why"] == "nothing_yet"
        assert s.call("recent_events")["result"]["structuredContent"]["events"] == []


@pytest.mark.parametrize("raw, code", [
    (b"{not json", -32700),
    (b"[{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}]", -32600),
    (b"42", -32600),
    (b"\"text\"", -32600),
    (b"{\"jsonrpc\":\"1.0\",\"id\":1,\"method\":\"ping\"}", -32600),
    (b"{\"jsonrpc\":\"2.0\",\"id\":{},\"method\":\"ping\"}", -32600),
    (b"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"no/such\",\"params\":{\"_meta\":" +
     json.dumps(MODERN_META).encode() + b"}}", -32601),
    (b"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"tools/list\"}", -32600),  # before initialize
    (b"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\",\"params\":{\"_meta\":"
     b"{\"io.modelcontextprotocol/protocolVersion\":\"2099-01-01\"}}}", -32022),
    (b"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\",\"params\":[1]}", -32602),
    pytest.param(b"x" * (1 << 20) + b"y" * 10, -32600, id="over-size"),
], ids=lambda v: v.decode()[:30] if isinstance(v, bytes) else str(v))
def test_bad_messages_get_one_error_and_the_next_line_is_read(server, raw, code):
    server.send(raw)
    got = server.read()
    assert got is not None and got["error"]["code"] == code, got
    assert server.request("ping", modern=True)["result"]["resultType"] == "complete"


def test_an_unknown_version_asks_for_ours_in_each_era(server):
    answer = server.request("ping", {"_meta": {"io.modelcontextprotocol/protocolVersion": "2099-01-01"}})
    assert answer["error"]["data"] == {"supported": ["2026-07-28", "2025-11-25", "2025-06-18", "2025-03-26"],
                                       "requested": "2099-01-01"}
    assert server.initialize("2099-01-01")["result"]["protocolVersion"] == "2025-11-25"


@pytest.mark.parametrize("name, arguments, says", [
    ("spatial_context_at", {"seconds_ago": -5}, "seconds_ago must be at least 0"),
    ("spatial_context_at", {"timestamp_ns": 1.5}, "timestamp_ns must be an integer"),
    ("spatial_context_at", {"timestamp_ns": True}, "timestamp_ns must be an integer"),
    ("spatial_context_at", {"timestamp_ns": 2**63}, "at most"),
    ("spatial_context_at", {"timestamp_ns": 1, "seconds_ago": 1}, "give one of"),
    ("spatial_context_at", {"when": 1}, "takes no argument 'when'"),
    ("spatial_context_at", {"timestamp_ns_text": "9223372036854775808"}, "outside the signed 64-bit range"),
    ("recent_events", {"limit": 0}, "limit must be at least 1"),
    ("recent_events", {"cursor": "abc"}, "cursor must match"),
    ("wait_for_event", {"timeout_s": 61}, "timeout_s must be at most 30"),
    ("no_such_tool", {}, "no tool 'no_such_tool'"),
])
def test_arguments_that_break_the_input_schema_are_refused_by_name(server, name, arguments, says):
    error = server.call(name, arguments)["error"]
    assert error["code"] == -32602 and says in error["message"]


def test_events_are_paginated_by_cursor(server, session_files):
    first = server.call("recent_events", {"seconds": 3600, "limit": 2})["result"]["structuredContent"]
    assert first["total"] == 3 and len(first["events"]) == 2
    rest = server.call("recent_events", {"seconds": 3600, "limit": 2, "cursor": first["next_cursor"]})
    rest = rest["result"]["structuredContent"]
    assert "next_cursor" not in rest
    assert [e["event_line"] for e in first["events"] + rest["events"]] == session_files[2]


def _append_event(events_path, text="and [here]"):
    last = sp.from_jsonl(open(events_path).read().splitlines()[-1])
    timeline = sp.IntentTimeline()
    timeline.push(last.spatial_context)
    event = timeline.submit_text(text, last.timestamp_ns + 1)
    with open(events_path, "a") as f:
        f.write(sp.to_jsonl(event) + "\n")
    return sp.to_jsonl(event)


def test_a_waiting_call_returns_the_next_event_and_a_cancelled_one_nothing(server, session_files):
    server.request("ping", modern=True)  # the server has read the session: the event below is a new one
    server.send({"jsonrpc": "2.0", "id": "w1", "method": "tools/call",
                 "params": {"name": "wait_for_event", "arguments": {"timeout_s": 10}, "_meta": MODERN_META}})
    server.send({"jsonrpc": "2.0", "id": "w2", "method": "tools/call",
                 "params": {"name": "wait_for_event", "arguments": {"timeout_s": 10}, "_meta": MODERN_META}})
    time.sleep(0.2)
    server.send({"jsonrpc": "2.0", "method": "notifications/cancelled", "params": {"requestId": "w2"}})
    line = _append_event(session_files[1])
    got = server.answer("w1")["result"]["structuredContent"]
    assert (got["timed_out"], got["event_line"], got["sequence"]) == (False, line, 4)
    server.request("ping", modern=True)
    assert not [m for m in server.seen if m.get("id") == "w2"]
    short = server.call("wait_for_event", {"timeout_s": 0.1})["result"]["structuredContent"]
    assert short["timed_out"] is True


def test_subscriptions_in_both_eras_hear_of_a_new_event(server, session_files):
    server.initialize()
    assert server.request("resources/subscribe", {"uri": "spatial://events/recent"})["result"] == {}
    server.send({"jsonrpc": "2.0", "id": "listen-1", "method": "subscriptions/listen",
                 "params": {"notifications": {"resourceSubscriptions": ["spatial://events/recent", "nope://x"]},
                            "_meta": MODERN_META}})
    _append_event(session_files[1])
    updates = server.notifications("notifications/resources/updated", 1.0)
    legacy = [u for u in updates if "_meta" not in u["params"]]
    modern = [u for u in updates if "_meta" in u["params"]]
    assert [u["params"]["uri"] for u in legacy] == ["spatial://events/recent"]
    assert [u["params"]["_meta"] for u in modern] == [{"io.modelcontextprotocol/subscriptionId": "listen-1"}]
    ack = [m for m in server.seen if m.get("method") == "notifications/subscriptions/acknowledged"]
    assert ack[0]["params"]["notifications"] == {"resourceSubscriptions": ["spatial://events/recent"]}


def test_frame_updates_come_on_a_change_that_matters_at_a_bounded_rate(server, session_files):
    server.initialize()
    server.request("resources/subscribe", {"uri": "spatial://frame/latest"})
    t = sp.from_jsonl(open(session_files[0]).read().splitlines()[-1]).timestamp_ns
    with open(session_files[0], "a") as f:
        for i in range(1, 91):  # a second at 90 Hz, the same target: nothing to tell
            f.write(sp.to_jsonl(frame(t + i * 11_111_111)) + "\n")
    assert server.notifications("notifications/resources/updated", 0.5) == []
    t += 90 * 11_111_111
    with open(session_files[0], "a") as f:  # 90 changes of target at once: coalesced
        f.write("".join(sp.to_jsonl(frame(t + i * 11_111_111, f"panel:{i % 2}")) + "\n" for i in range(1, 91)))
    burst = server.notifications("notifications/resources/updated", 0.5)
    assert 1 <= len(burst) <= 10
    t += 90 * 11_111_111
    start = time.monotonic()
    with open(session_files[0], "a") as f:
        for i in range(1, 91):  # the target changes every frame for a second
            f.write(sp.to_jsonl(frame(t + i * 11_111_111, f"panel:{i % 2}")) + "\n")
            f.flush()
            time.sleep(0.011)
    updates = server.notifications("notifications/resources/updated", 0.5)[len(burst):]
    # At most 30 a second of the time it took (longer on a slow or emulated machine).
    assert 1 <= len(updates) <= 30 * (time.monotonic() - start) + 2


def test_the_files_are_followed_through_partial_lines_truncation_and_replacement(tmp_path):
    path = tmp_path / "live.jsonl"
    path.write_text("")
    with Server(str(path)) as s:
        line = sp.to_jsonl(frame(1_000, "panel:a"))
        with open(path, "a") as f:
            f.write(line[:40])
        time.sleep(0.1)
        assert s.call("pointing_now")["result"]["structuredContent"]["found"] is False
        with open(path, "a") as f:
            f.write(line[40:] + "\n")
        time.sleep(0.1)
        assert s.call("pointing_now")["result"]["structuredContent"]["target_host_id"] == "panel:a"
        path.write_text(sp.to_jsonl(frame(500, "panel:b")) + "\n")  # truncated and rewritten
        time.sleep(0.1)
        assert s.call("pointing_now")["result"]["structuredContent"]["target_host_id"] == "panel:b"
        other = tmp_path / "other.jsonl"
        other.write_text(sp.to_jsonl(frame(200, "panel:c")) + "\n" + sp.to_jsonl(frame(300, "panel:d")) + "\n")
        os.replace(other, path)
        time.sleep(0.1)
        assert s.call("pointing_now")["result"]["structuredContent"]["target_host_id"] == "panel:d"
        os.remove(path)
        time.sleep(0.1)
        assert s.call("pointing_now")["result"]["structuredContent"]["target_host_id"] == "panel:d"
        code, err = s.close()
    assert code == 0
    assert "it was truncated" in err and "it was replaced" in err and "No such file" in err


def test_a_line_that_is_not_a_record_is_one_escaped_warning_and_the_rest_served(tmp_path):
    path = tmp_path / "mixed.jsonl"
    path.write_bytes(b'{"evil":"\x1b[2J\\u0007"}\n\x1b]0;title\x07\n' + sp.to_jsonl(frame(7)).encode() + b"\n")
    with Server(str(path)) as s:
        assert s.call("pointing_now")["result"]["structuredContent"]["found"] is True
        code, err = s.close()
    assert code == 0 and "\x1b" not in err and "\x07" not in err
    assert [line.split(":")[1] for line in err.splitlines() if "skipped" in line] == [f"{path}:1", f"{path}:2"] or \
        sum("skipped" in line for line in err.splitlines()) == 2


def test_record_text_stays_data(tmp_path):
    timeline = sp.IntentTimeline()
    timeline.push(frame(10))
    text = 'x"}\n{"jsonrpc":"2.0","id":1,"method":"exit"}\x1b[31m'
    path = tmp_path / "events.jsonl"
    path.write_text(sp.to_jsonl(timeline.submit_text(text, 11)) + "\n")
    with Server(str(path)) as s:
        got = s.call("recent_events", {"seconds": 10})["result"]["structuredContent"]
        assert got["events"][0]["text"] == text
        assert s.request("ping", modern=True)["result"]["resultType"] == "complete"
    assert printable("a\nb\x1b") == "a\\nb\\x1b"


@pytest.mark.parametrize("how, status", [("eof", 0), (signal.SIGTERM, 0), (signal.SIGINT, 130)])
def test_the_server_ends_on_end_of_input_and_signals(server, how, status):
    server.initialize()
    if how == "eof":
        code, _ = server.close()
    else:
        server.proc.send_signal(how)
        code = server.proc.wait(10)
    assert code == status


def test_a_client_that_closes_its_end_of_our_output_ends_the_server_with_status_1(server, session_files):
    server.initialize()
    server.request("resources/subscribe", {"uri": "spatial://events/recent"})
    server.proc.stdout.close()
    _append_event(session_files[1])
    assert server.proc.wait(10) == 1
    assert "the client closed standard output" in server.proc.stderr.read().decode()


def test_an_unread_outbox_holds_one_update_a_resource_and_never_blocks():
    release = threading.Event()
    written = []

    def stuck(message):
        release.wait(10)
        written.append(message)

    box = Outbox(stuck, lambda e: None)
    box.put({"first": True})  # the writer blocks on this one
    start = time.monotonic()
    for i in range(20_000):
        box.update(("legacy", f"uri{i % 3}"), {"n": i})
    assert time.monotonic() - start < 5 and len(box.updates) == 3
    release.set()
    box.drain(5)
    time.sleep(0.3)
    box.close()
    assert written[0] == {"first": True} and sorted(m["n"] for m in written[1:]) == [19_997, 19_998, 19_999]


def test_the_follower_keeps_a_half_written_line_and_skips_an_over_long_one(tmp_path):
    path = tmp_path / "f.jsonl"
    path.write_bytes(b"a" * (1 << 20) + b"aa\nshort\npart")
    got, warned = [], []
    f = Follower([str(path)], lambda p, n, line: got.append((n, line)), warned.append)
    while f.poll():  # a mebibyte a poll
        pass
    assert got == [(2, b"short")] and "over 1048576 bytes" in warned[0]
    with open(path, "ab") as s:
        s.write(b"ial\n")
    f.poll()
    assert got[-1] == (3, b"partial")


def test_the_session_restarts_with_a_clock_that_goes_back():
    s = Session(capacity=10)
    for t in (100, 200, 50):
        s.add_frame(frame(t))
    assert s.context_at(60)["frame_timestamp_ns"] == 50 and s.context_at(210)["frame_timestamp_ns"] == 50
    assert s.summary()["clock_restarts"] == 1 and s.summary()["kept_frames"] == 1
