"""The JSON Schemas of both records: every record the suite produces is checked
against them (see conftest); here, that they are sound and strict."""

import copy
import json

import jsonschema
import pytest
from conftest import SCHEMA_DIR, SCHEMA_FILES, make_event, make_full_frame, record_validators

import _spatial
from _spatial import SpatialIntentFrame, to_jsonl


def frame_record():
    return json.loads(to_jsonl(make_full_frame()))


def event_record():
    return json.loads(to_jsonl(make_event()))


def is_valid(record, kind="halberin.spatial-intent"):
    return record_validators()[kind].is_valid(record)


def is_valid_event(record):
    return is_valid(record, "halberin.contextual-intent")


def test_suite_validates_every_line():
    assert hasattr(_spatial.to_jsonl, "__wrapped__")
    with pytest.raises(jsonschema.ValidationError):
        record_validators()["halberin.spatial-intent"].validate({"schema": "halberin.spatial-intent"})


@pytest.mark.parametrize("record", [frame_record(), event_record(), json.loads(to_jsonl(SpatialIntentFrame()))],
                         ids=["full frame", "event", "default frame"])
def test_records_are_valid(record):
    assert is_valid(record, record["schema"])


def at(record, path):
    for key in path:
        record = record[key]
    return record


FRAME_OPTIONAL = ("pointing", "primary_select", "left_hand", "right_hand", "gaze", "target")
OBJECT_PATHS = [(), ("reference_space",), ("head",), ("pointing",), ("primary_select",), ("left_hand",),
                  ("gaze",), ("target",), ("capabilities",)]


@pytest.mark.parametrize("path", OBJECT_PATHS, ids=lambda p: "/".join(p) or "top")
def test_every_required_member_is_required_and_nothing_else_is_allowed(path):
    base = frame_record()
    for key in list(at(base, path)):
        if path == ("target",) and key == "host_id":
            continue
        broken = copy.deepcopy(base)
        del at(broken, path)[key]
        if path == () and key in FRAME_OPTIONAL:
            assert is_valid(broken), f"optional {key} must be optional"
        else:
            assert not is_valid(broken), f"missing {'/'.join(path + (key,))} accepted"
    extra = copy.deepcopy(base)
    at(extra, path)["unexpected"] = 1
    assert not is_valid(extra)


def replaced(record, path, value):
    record = copy.deepcopy(record)
    at(record, path[:-1])[path[-1]] = value
    return record


@pytest.mark.parametrize("path, value", [
    (("schema",), "halberin.spatial-intent.v2"), (("version",), 2), (("version",), True),
    (("head_tracking",), "tracked"), (("head_tracking",), "UNAVAILABLE"), (("pointing", "source"), "mouse"),
    (("pointing", "confidence"), None), (("head", "position"), [0, 1]), (("head", "orientation"), [0, 0, 1]),
    (("gaze", "origin"), [0, "1", 2]), (("target", "host_id"), None), (("reference_space", "generation"), -1),
    (("reference_space", "generation"), 2**64), (("timestamp_ns",), 2**63), (("timestamp_ns",), 1.5),
    (("primary_select", "pressed"), 1), (("capabilities", "enabled_extensions"), ["a", 1]),
    (("timestamp_domain",), None),
])
def test_wrong_frame_values_are_rejected(path, value):
    assert not is_valid(replaced(frame_record(), path, value))


@pytest.mark.parametrize("path, value", [
    (("schema",), "halberin.spatial-intent"), (("text",), None), (("spatial_age_ns",), "50"),
    (("spatial_context", "head_tracking"), "unknown"), (("spatial_context",), None),
])
def test_wrong_event_values_are_rejected(path, value):
    assert not is_valid_event(replaced(event_record(), path, value))


def test_event_members_are_exact():
    for key in event_record():
        broken = event_record()
        del broken[key]
        assert not is_valid_event(broken), key
    assert not is_valid_event({**event_record(), "frame": {}})


def described(node, path="#"):
    """The places under `node` that name a value but do not say what it is."""
    if not isinstance(node, dict):
        return []
    missing = [] if "description" in node or path == "#" else [path]
    children = {**node.get("properties", {}), **{f"$defs/{k}": v for k, v in node.get("$defs", {}).items()}}
    return missing + [m for key, child in children.items() for m in described(child, f"{path}/{key}")]


@pytest.mark.parametrize("file", SCHEMA_FILES.values())
def test_every_member_says_what_it_is(file):
    schema = json.loads((SCHEMA_DIR / file).read_text())
    assert "description" in schema and described(schema) == []


def test_non_finite_numbers_are_nulls_in_the_schema():
    f = make_full_frame()
    f.head_pose.position.x = float("nan")
    assert is_valid(json.loads(to_jsonl(f)))


def test_installed_schemas_are_the_committed_ones():
    import spatial_intent

    assert spatial_intent.SCHEMA_FILES == SCHEMA_FILES
    for name, file in SCHEMA_FILES.items():
        assert spatial_intent.schema(name) == json.loads((SCHEMA_DIR / file).read_text())
    with pytest.raises(ValueError, match="no record is named 'halberin.other'"):
        spatial_intent.schema("halberin.other")
