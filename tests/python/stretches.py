"""What both runtimes' records must show for the script's stretches (script.STRETCHES):
each input points where the script says, with its own side; select edges on the
schedule, a dropout's release and resumed press included; no select left pressed at a
phase's end; NaN from the runtime never points; every utterance grounded."""

import math

import script

NEAR_S = 0.1  # how far from a change (of phase, of tracking) a frame counts as steady
EDGE_S = 0.06  # how far from the script's time a select edge may be seen
# How far a runtime's copy of the user may lag the script: the NaN it was sent shows that late.
NAN_LAG_S = 0.03


def expected_edges(s: script.Script) -> list[tuple[float, bool]]:
    """(seconds, pressed after) of each select edge the records should show."""
    edges = []
    for name, begin, _ in s.phase_spans():
        if not script.SELECTS[name]:
            continue
        for a, b in s.PRESSES:
            edges.append((begin + a * s.phase_seconds, True))
            if name == "left-hand" and a < script.DROPOUT_AT < b:
                lost = begin + script.DROPOUT_AT * s.phase_seconds
                edges += [(lost, False), (lost + script.DROPOUT_S, True)]
            edges.append((begin + b * s.phase_seconds, False))
    return edges


def troubled(s: script.Script, t: float) -> bool:
    """Near a change of phase, a dropout or the runtime's NaN."""
    name, f = s.phase(t)
    into = f * s.phase_seconds
    if into < NEAR_S or s.phase_seconds - into < NEAR_S:
        return True
    return any(abs(into - at * s.phase_seconds - d) < NEAR_S for at, d in
               ((script.DROPOUT_AT, 0), (script.DROPOUT_AT, script.DROPOUT_S), (script.NAN_AT, 0),
                (script.NAN_AT, script.NAN_S)))


def check(frames: list[dict], events: list[dict], start_ns: int, s: script.Script) -> dict[str, int]:
    """Asserts what the records show; returns the frames checked per phase."""
    checked: dict[str, int] = {}
    edges, pressed = [], False
    ends = {begin + s.phase_seconds for _, begin, _ in s.phase_spans()}
    last_of_phase: dict[float, dict] = {}
    gave_way: dict[int, list[bool]] = {}  # per NaN of the runtime: whether each frame then had the controller give way
    for f in frames:
        t = (f["timestamp_ns"] - start_ns) / 1e9
        select = f.get("primary_select")
        if select is not None and select["pressed"] != pressed:
            pressed = select["pressed"]
            edges.append((t, pressed))
        elif select is None and pressed:
            raise AssertionError(f"a press with no select member after it at {t:.3f} s")
        p = f.get("pointing")
        if p is not None:
            assert all(math.isfinite(v) for v in p["origin"] + p["direction"]), t
        if not 0 <= t <= s.seconds:
            continue
        for end in ends:
            if end - s.phase_seconds <= t < end:
                last_of_phase[end] = f
        if s.nan(t) or s.nan(t - NAN_LAG_S):
            gave_way.setdefault(int(t // s.phase_seconds), []).append(p is None or p["source"] != "controller")
        if troubled(s, t):
            continue
        name = s.pointer(t)
        source, side = s.points(t)
        assert p is not None and p["source"] == source, (t, name, p)
        if side is not None:
            assert (p["origin"][0] < 0) == (side == "left"), (t, name, p["origin"])
        checked[name] = checked.get(name, 0) + 1
    # Nothing points along NaN (every ray above is finite), and while the runtime sends it the
    # controller gives way, once its copy of the user has caught up with the script.
    for stretch, frames_then in gave_way.items():
        assert any(frames_then), f"the controller kept pointing through the runtime's NaN (stretch {stretch})"
    expected = expected_edges(s)
    assert [down for _, down in edges] == [down for _, down in expected], edges
    for (seen, down), (at, _) in zip(edges, expected):
        assert abs(seen - at) < EDGE_S, (seen, at, down)
    for end, f in last_of_phase.items():  # no select stuck at the end of a phase
        assert not (f.get("primary_select") or {}).get("pressed", False), end
    for event, (at, text, panel) in zip(events, s.utterances()):
        assert event["text"] == text
        assert event["spatial_context"]["target"]["host_id"] == panel, (at, text)
        assert event["spatial_context"]["pointing"]["source"] == s.points(at)[0], (at, text)
    assert len(events) == len(s.utterances())
    return checked
