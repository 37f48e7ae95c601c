import pytest

from _spatial import IntentTimeline, SpatialIntentFrame

I64_MIN, I64_MAX = -(2**63), 2**63 - 1


def frame(ts, domain=""):
    f = SpatialIntentFrame()
    f.timestamp_ns = ts
    f.timestamp_domain = domain
    return f


def timeline(*stamps, **kwargs):
    t = IntentTimeline(**kwargs)
    for ts in stamps:
        t.push(frame(ts))
    return t


def paired(t, text, ts):
    e = t.submit_text(text, ts)
    return None if e is None else (e.spatial_context.timestamp_ns, e.spatial_age_ns)


def test_members():
    assert [n for n in vars(IntentTimeline) if not n.startswith("_")] == ["push", "latest", "submit_text"]
    assert not hasattr(IntentTimeline(), "capacity") and not hasattr(IntentTimeline(), "max_context_age_ns")


def test_defaults():
    t = timeline(0)
    assert paired(t, "x", 2_000_000_000) == (0, 2_000_000_000)
    assert paired(t, "x", 2_000_000_001) is None
    for ts in range(1, 241):
        t.push(frame(ts))
    assert paired(t, "x", 0) is None  # the 241st push dropped the first frame
    assert paired(t, "x", 1) == (1, 0)
    assert "capacity: typing.SupportsInt | typing.SupportsIndex = 240" in IntentTimeline.__init__.__doc__
    assert "max_context_age_ns: typing.SupportsInt | typing.SupportsIndex = 2000000000" in IntentTimeline.__init__.__doc__


@pytest.mark.parametrize("make", [lambda: IntentTimeline(capacity=8, max_context_age_ns=5),
                                  lambda: IntentTimeline(8, 5)])
def test_keyword_and_positional_construction(make):
    t = make()
    for ts in range(10):
        t.push(frame(ts))
    assert paired(t, "x", 1) is None and paired(t, "x", 2) == (2, 0)
    assert paired(t, "x", 14) == (9, 5) and paired(t, "x", 15) is None


def test_single_positional_capacity_keeps_default_age():
    t = IntentTimeline(10)
    t.push(frame(0))
    assert paired(t, "x", 2_000_000_000) == (0, 2_000_000_000)


@pytest.mark.parametrize("args", [(-1,), (3.0,), (2**64,), (1, 2**63), (1, 1.5), ("1",)])
def test_bad_construction(args):
    with pytest.raises(TypeError):
        IntentTimeline(*args)


def test_new_timeline_is_empty():
    t = IntentTimeline()
    assert t.latest() is None
    assert t.submit_text("anything", 0) is None


def test_zero_capacity_is_one():
    t = timeline(10, 20, capacity=0)
    assert t.latest().timestamp_ns == 20
    assert t.submit_text("x", 15) is None


def test_negative_age_is_zero():
    t = timeline(100, max_context_age_ns=-5)
    assert paired(t, "x", 100) == (100, 0)
    assert paired(t, "x", 101) is None


def test_capacity_trims_oldest():
    t = timeline(1, 2, 3, 4, 5, capacity=3)
    assert paired(t, "x", 2) is None
    assert paired(t, "x", 4) == (4, 0)


def test_time_going_back_restarts():
    t = timeline(10, 20, 15)
    assert t.latest().timestamp_ns == 15
    assert paired(t, "x", 20) == (15, 5)
    assert paired(t, "x", 12) is None


def test_equal_timestamps_pick_second():
    t = IntentTimeline()
    t.push(frame(10, "first"))
    t.push(frame(10, "second"))
    assert t.submit_text("x", 10).spatial_context.timestamp_domain == "second"


def test_age_limit_and_later_frames():
    t = timeline(100, 300, max_context_age_ns=150)
    assert paired(t, "x", 250) == (100, 150)
    assert paired(t, "x", 251) is None
    assert paired(t, "x", 300) == (300, 0)


def test_empty_text_never_pairs():
    t = timeline(300)
    assert t.submit_text("", 300) is None
    assert t.submit_text(b"", 300) is None
    assert t.submit_text(" ", 300) is not None


@pytest.mark.parametrize("text, stored", [("put it there", "put it there"), ("héllo ✋", "héllo ✋"),
                                          ("a\0b", "a\0b"), (b"raw", "raw"), (bytearray(b"ba"), "ba")])
def test_text_stored_exactly(text, stored):
    e = timeline(0).submit_text(text, 5)
    assert e.text == stored and e.timestamp_ns == 5


def test_bytes_that_are_not_utf8_are_stored_and_fail_on_read():
    e = timeline(0).submit_text(b"\xff", 5)
    with pytest.raises(UnicodeDecodeError):
        e.text


@pytest.mark.parametrize("text, ts", [(None, 0), (5, 0), (["x"], 0), ("\ud800", 0), ("x", 1.0), ("x", 2**63),
                                      ("x", None)])
def test_submit_refusals(text, ts):
    t = timeline(0)
    with pytest.raises(TypeError):
        t.submit_text(text, ts)
    assert paired(t, "x", 0) == (0, 0)


def test_submit_keywords():
    assert timeline(0).submit_text(text="x", timestamp_ns=1).spatial_age_ns == 1


def test_push_refuses_non_frames_and_keywords():
    t = timeline(5)
    for bad in (None, 5, "frame"):
        with pytest.raises(TypeError):
            t.push(bad)
    with pytest.raises(TypeError):
        t.push(frame=frame(6))
    assert t.latest().timestamp_ns == 5


def test_negative_timestamps():
    assert paired(timeline(-20, -10), "x", -15) == (-20, 5)


@pytest.mark.parametrize("frame_ts, submit_ts, expected", [
    (I64_MIN, I64_MAX, None),
    (I64_MIN, 0, None),
    (I64_MIN, -1, (I64_MIN, I64_MAX)),
    (I64_MAX, I64_MAX, (I64_MAX, 0)),
])
def test_age_overflow_is_too_old(frame_ts, submit_ts, expected):
    t = timeline(frame_ts, max_context_age_ns=I64_MAX)
    assert paired(t, "x", submit_ts) == expected


def test_results_own_their_values():
    t = timeline(1)
    e = t.submit_text("x", 1)
    e.spatial_context.timestamp_ns = 99
    assert t.latest().timestamp_ns == 1
    assert t.submit_text("x", 1).spatial_context.timestamp_ns == 1
