import json

import pytest
from conftest import make_event, make_full_frame

from _spatial import (CapabilitySnapshot, PointingIntent, PointingSource, Pose, ReferenceSpace, SpatialHit,
                      SpatialIntentFrame, TrackingConfidence, Vec3, to_jsonl)

DEFAULT_LINE = ('{"schema":"halberin.spatial-intent","version":1,"timestamp_ns":0,"timestamp_domain":"",'
                '"reference_space":{"type":"","id":"","generation":0},'
                '"head":{"position":[0,0,0],"orientation":[0,0,0,1]},"head_tracking":"unavailable",'
                '"capabilities":{"head_pose":false,"action_input":false,"hand_tracking":false,'
                '"hand_interaction":false,"eye_gaze":false,"enabled_extensions":[]}}')


def strict_loads(line):
    def refuse(name):
        raise ValueError("non-standard constant " + name)
    assert "\n" not in line and "\r" not in line
    return json.loads(line, parse_constant=refuse)


def test_default_frame_line():
    assert to_jsonl(SpatialIntentFrame()) == DEFAULT_LINE
    strict_loads(DEFAULT_LINE)


def test_full_frame_line_from_python():
    f = make_full_frame()
    f.right_hand_pose = None
    assert to_jsonl(f) == (
        '{"schema":"halberin.spatial-intent","version":1,"timestamp_ns":123,"timestamp_domain":"steady",'
        '"reference_space":{"type":"local","id":"room-1","generation":3},'
        '"head":{"position":[0,1.6,0],"orientation":[0,0.707106781,0,0.707106781]},'
        '"head_tracking":"position_and_orientation","pointing":{"source":"controller",'
        '"confidence":"orientation_only","origin":[0.1,1.2,-0.3],"direction":[0,0,-1]},'
        '"primary_select":{"pressed":true,"changed":false,"last_change_time_ns":100},'
        '"left_hand":{"position":[-0.2,1.1,-0.4],"orientation":[0,0,0,1]},'
        '"gaze":{"origin":[0,1.6,0],"direction":[0,-0.5,-0.866025404]},'
        '"target":{"position":[0,0.5,-2],"normal":[0,0,1],"host_id":"panel \\"A\\""},'
        '"capabilities":{"head_pose":true,"action_input":true,"hand_tracking":false,"hand_interaction":false,'
        '"eye_gaze":true,"enabled_extensions":["ext.a","ext.b"]}}')


def test_event_worked_example():
    f = SpatialIntentFrame()
    f.timestamp_ns = 100
    e = make_event(f, ts=150, text='put it "there"\n')
    assert to_jsonl(e) == (
        '{"schema":"halberin.contextual-intent","version":1,"timestamp_ns":150,"text":"put it \\"there\\"\\n",'
        '"spatial_age_ns":50,"spatial_context":' + to_jsonl(e.spatial_context) + "}")
    assert to_jsonl(e).endswith("]}}}")


def test_event_age_is_written_in_full():
    e = make_event(ts=123 + 1_999_999_999)
    assert ',"spatial_age_ns":1999999999,' in to_jsonl(e)


def test_subclass_of_frame_is_a_frame():
    class Sampled(SpatialIntentFrame):
        pass

    f = Sampled()
    f.timestamp_ns = 7
    assert to_jsonl(f) == DEFAULT_LINE.replace('"timestamp_ns":0', '"timestamp_ns":7')


def test_event_nests_frame_byte_for_byte():
    e = make_event()
    record = strict_loads(to_jsonl(e))
    assert list(record) == ["schema", "version", "timestamp_ns", "text", "spatial_age_ns", "spatial_context"]
    assert to_jsonl(e).endswith(',"spatial_context":' + to_jsonl(e.spatial_context) + "}")


@pytest.mark.parametrize("arg", [None, 1, "frame", SpatialHit()])
def test_wrong_argument(arg):
    with pytest.raises(TypeError) as info:
        to_jsonl(arg)
    message = str(info.value)
    assert "1. (arg0: _spatial.SpatialIntentFrame) -> str" in message
    assert "2. (arg0: _spatial.ContextualIntentEvent) -> str" in message


def test_invalid_utf8_raises():
    f = SpatialIntentFrame()
    f.timestamp_domain = b"\xc3"
    with pytest.raises(UnicodeDecodeError):
        to_jsonl(f)


def test_non_finite_components_are_null():
    f = SpatialIntentFrame()
    f.head_pose.position = Vec3(float("nan"), float("inf"), float("-inf"))
    record = strict_loads(to_jsonl(f))
    assert record["head"]["position"] == [None, None, None]


def test_target_host_id_presence():
    f = SpatialIntentFrame()
    f.target = SpatialHit()
    assert list(strict_loads(to_jsonl(f))["target"]) == ["position", "normal"]
    f.target.host_id = ""
    assert strict_loads(to_jsonl(f))["target"]["host_id"] == ""


@pytest.mark.parametrize("text, escaped", [
    ("a\tb", r'"a\tb"'), ("\x08\x0c", r'"\u0008\u000c"'), ("\x00", r'"\u0000"'), ("é\x7f", '"é\x7f"'),
    ("/", '"/"'), ("\\", r'"\\"'),
])
def test_string_escapes_in_records(text, escaped):
    f = SpatialIntentFrame()
    f.timestamp_domain = text
    line = to_jsonl(f)
    assert '"timestamp_domain":' + escaped + "," in line
    assert strict_loads(line)["timestamp_domain"] == text


def test_unknown_enum_values():
    f = SpatialIntentFrame()
    f.head_tracking = TrackingConfidence(9)
    p = PointingIntent()
    p.source = PointingSource(-4)
    f.pointing = p
    record = strict_loads(to_jsonl(f))
    assert record["head_tracking"] == "unavailable" and record["pointing"]["source"] == "head"


def test_big_numbers():
    f = SpatialIntentFrame()
    f.timestamp_ns = -(2**63)
    rs = ReferenceSpace()
    rs.generation = 2**64 - 1
    f.reference_space = rs
    f.head_pose.position = Vec3(1e21, 1e-5, 1e9)
    line = to_jsonl(f)
    assert '"timestamp_ns":-9223372036854775808,' in line
    assert '"generation":18446744073709551615}' in line
    assert '"position":[1e+21,1e-05,1e+09]' in line


def test_single_right_hand_member():
    f = SpatialIntentFrame()
    f.right_hand_pose = Pose()
    assert list(strict_loads(to_jsonl(f)))[-2:] == ["right_hand", "capabilities"]


def test_one_extension():
    f = SpatialIntentFrame()
    caps = CapabilitySnapshot()
    caps.enabled_extensions = ["x"]
    f.capabilities = caps
    assert to_jsonl(f).endswith('"enabled_extensions":["x"]}}')
