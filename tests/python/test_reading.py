"""Reading records back: exact values, strict acceptance, and refusals that say where."""
import copy
import json
import math
import struct

import pytest
from conftest import make_event, make_full_frame, record_validators
from hypothesis import given, settings
from hypothesis import strategies as st
from test_properties import frames, strict

import _spatial as sp

FRAME = sp.to_jsonl(make_full_frame())
EVENT = sp.to_jsonl(make_event())
X = '"origin":[0.1,'  # the pointing ray's first number in FRAME


def with_x(text):
    return FRAME.replace(X, '"origin":[' + text + ",")


def bits(x):
    return struct.pack("<d", x)


@settings(max_examples=200, deadline=None)
@given(frames(), st.text(st.characters(codec="utf-8"), min_size=1, max_size=12))
def test_every_written_record_reads_back_byte_for_byte(frame, said):
    timeline = sp.IntentTimeline(max_context_age_ns=2**63 - 1)
    timeline.push(frame)
    for record in (frame, timeline.submit_text(said, frame.timestamp_ns)):
        line = sp.to_jsonl(record)
        assert type(sp.from_jsonl(line)) is type(record)
        assert sp.to_jsonl(sp.from_jsonl(line)) == line
        assert sp.to_jsonl(sp.from_jsonl(line.encode() + b"\r\n")) == line
        d = sp.to_dict(record)
        assert sp.to_dict(sp.from_dict(d)) == d
        reordered = dict(reversed(d.items()))  # read by the general walk, not straight through
        assert sp.to_jsonl(sp.from_dict(reordered)) == sp.to_jsonl(sp.from_dict(d))


@settings(max_examples=400, deadline=None)
@given(st.from_regex(r"-?(0|[1-9][0-9]{0,24})(\.[0-9]{1,24})?([eE][+-]?[0-9]{1,3})?", fullmatch=True)
       | st.floats(allow_nan=False, allow_infinity=False).map(repr))
def test_numbers_are_read_correctly_rounded(text):
    want = float(text)  # CPython's conversion is correctly rounded
    if math.isinf(want):
        with pytest.raises(ValueError, match=r"number beyond the double range at \$\.pointing\.origin\[0\]"):
            sp.from_jsonl(with_x(text))
    else:
        assert bits(sp.from_jsonl(with_x(text)).pointing.ray.origin.x) == bits(want)


@pytest.mark.parametrize("text, want", [
    ("-0", -0.0), ("-0.0e5", -0.0), ("1e-400", 0.0), ("-1e-400", -0.0), ("4.9e-324", 5e-324),
    ("2.4703282292062328e-324", 5e-324), ("1.7976931348623157e308", 1.7976931348623157e308),
    ("9007199254740993", 9007199254740992.0), ("0." + "0" * 400 + "1e401", 1.0),
])
def test_number_edges(text, want):
    assert bits(sp.from_jsonl(with_x(text)).pointing.ray.origin.x) == bits(want)


def test_null_reads_as_nan():
    assert math.isnan(sp.from_jsonl(with_x("null")).pointing.ray.origin.x)


@pytest.mark.parametrize("field, value", [
    ('"timestamp_ns":123', -(2**63)), ('"timestamp_ns":123', 2**63 - 1), ('"generation":3', 2**64 - 1),
])
def test_integers_are_exact_over_their_range(field, value):
    frame = sp.from_jsonl(FRAME.replace(field, field.split(":")[0] + ":" + str(value)))
    assert value in (frame.timestamp_ns, frame.reference_space.generation)


def pretty_reversed(record):
    if isinstance(record, dict):
        return {k: pretty_reversed(v) for k, v in reversed(record.items())}
    return record


@pytest.mark.parametrize("line", [
    json.dumps(json.loads(FRAME), indent=2),
    json.dumps(pretty_reversed(json.loads(FRAME))),
    json.dumps(pretty_reversed(json.loads(EVENT)), indent="\t"),
    " \t" + FRAME + " \r\n",
    FRAME.replace('"schema"', '"\\u0073chema"').replace('"ext.a"', '"\\u0065xt\\u002ea"'),
], ids=["indented", "members reversed", "event reversed", "surrounding whitespace", "escapes"])
def test_layout_does_not_matter(line):
    record = sp.from_jsonl(line)
    assert sp.to_jsonl(record) == (EVENT if "contextual" in line else FRAME)


@pytest.mark.parametrize("escaped, text", [("\\/", "/"), ("\\u0041\\t", "A\t"), ("\\ud83d\\ude00", "\U0001F600")])
def test_every_escape_json_allows_is_read(escaped, text):
    assert sp.from_jsonl(FRAME.replace('"steady"', f'"st{escaped}eady"')).timestamp_domain == f"st{text}eady"


def test_non_ascii_text_and_its_escapes_read_the_same():
    frame = make_full_frame()
    frame.timestamp_domain = "é\u2028😀\x00"
    line = sp.to_jsonl(frame)
    escaped = json.dumps(json.loads(line), ensure_ascii=True)
    assert sp.from_jsonl(escaped).timestamp_domain == sp.from_jsonl(line).timestamp_domain == "é\u2028😀\x00"


@pytest.mark.parametrize("kind", [bytes, bytearray, lambda b: memoryview(b"xx" + b + b"yy")[2:-2]])
def test_bytes_like_lines(kind):
    assert sp.to_jsonl(sp.from_jsonl(kind(EVENT.encode()))) == EVENT


# (input, the message up to its byte offset, what the schema says of it: "invalid" when
# it refuses the record too, "not json", or "narrower" for the reader's own narrowings).
REFUSED = [
    ("", "unexpected end of the line, expected an object at $", "not json"),
    ("[" * 1_000_000, "expected an object at $", "not json"),
    (FRAME[:-1], "unexpected end of the line, expected ',' or '}' at $", "not json"),
    (FRAME + FRAME, "unexpected content after the record at $", "not json"),
    (FRAME + "\n" + FRAME, "unexpected content after the record at $", "not json"),
    (with_x("NaN"), "expected a number or null at $.pointing.origin[0]", "not json"),
    (with_x("01"), "a number may not start with 0 at $.pointing.origin[0]", "not json"),
    (with_x("1."), "expected a digit after the decimal point at $.pointing.origin[0]", "not json"),
    (FRAME.replace('"steady"', "'steady'"), "expected a string at $.timestamp_domain", "not json"),
    (FRAME.replace('"steady"', '"ste\tady"'), "raw control character in a string at $.timestamp_domain",
     "not json"),
    (FRAME.replace('"steady"', '"ste\\qady"'), "invalid escape in a string at $.timestamp_domain", "not json"),
    (FRAME.replace('"steady"', '"ste\x1fady"'), "raw control character in a string at $.timestamp_domain",
     "not json"),
    (FRAME.replace('"timestamp_ns":123', '"timestamp_ns":0123'), "an integer may not start with 0 at $.timestamp_ns",
     "not json"),
    (FRAME.replace('"ext.b"', '"\\udc00"'),
     "lone surrogate escape in a string at $.capabilities.enabled_extensions[1]", "narrower"),
    (FRAME.replace('"ext.b"', '"\\ud800"'),
     "lone surrogate escape in a string at $.capabilities.enabled_extensions[1]", "narrower"),
    (FRAME.replace('"version":1', '"version":1.0'),
     "expected an integer, written without fraction or exponent at $.version", "narrower"),
    (FRAME.replace('"generation":3', '"generation":3e0'),
     "expected an integer, written without fraction or exponent at $.reference_space.generation", "narrower"),
    (FRAME.replace('"head_tracking"', '"head_tracking":"unavailable","head_tracking"'),
     'duplicate member "head_tracking" at $', "narrower"),
    (FRAME.replace('"version":1,', ""), 'missing member "version" at $', "invalid"),
    (FRAME.replace('"id":"room-1"', '"id":"room-1","ix":3'), 'unknown member "ix" at $.reference_space', "invalid"),
    (FRAME.replace('"normal":[0,0,1]', '"normal":[0,0]'), "expected an array of 3 numbers at $.target.normal",
     "invalid"),
    (FRAME.replace(",0,0.707106781]", ",0,0.707106781,1]"), "expected an array of 4 numbers at $.head.orientation",
     "invalid"),
    (FRAME.replace('"origin":[0,1.6,0]', '"origin":[0,true,0]'), "expected a number or null at $.gaze.origin[1]",
     "invalid"),
    (with_x("1e400"), "number beyond the double range at $.pointing.origin[0]", "invalid"),
    (FRAME.replace('"timestamp_ns":123', '"timestamp_ns":9223372036854775808'),
     "integer beyond the signed 64-bit range at $.timestamp_ns", "invalid"),
    (FRAME.replace('"generation":3', '"generation":-1'),
     "integer beyond the unsigned 64-bit range at $.reference_space.generation", "invalid"),
    (FRAME.replace('"generation":3', '"generation":18446744073709551616'),
     "integer beyond the unsigned 64-bit range at $.reference_space.generation", "invalid"),
    (FRAME.replace('"controller"', '"mouse"'),
     'unknown name "mouse", expected one of "controller", "hand", "eye_gaze", "head" at $.pointing.source',
     "invalid"),
    (FRAME.replace('"pressed":true', '"pressed":1'), "expected true or false at $.primary_select.pressed",
     "invalid"),
    (FRAME.replace('"version":1', '"version":2'), "unsupported version 2, expected 1 at $.version", "invalid"),
    (FRAME.replace("spatial-intent", "spatial-intent.v2"),
     'unknown schema "halberin.spatial-intent.v2", expected "halberin.spatial-intent" or '
     '"halberin.contextual-intent" at $.schema', "invalid"),
    (FRAME.replace('"schema":"halberin.spatial-intent",', ""), 'missing member "schema" at $', "invalid"),
    (EVENT.replace('"schema":"halberin.contextual-intent",', '"head_tracking":"unavailable","schema":"halberin.contextual-intent",'),
     'schema "halberin.contextual-intent" does not go with member "head_tracking" at $.schema', "invalid"),
    ('{"timestamp_domain":"a","text":"b"}', 'member "text" does not go with member "timestamp_domain" at $',
     "invalid"),
    (EVENT.replace('"text":"put it there"', '"text":"put it there","head":1'),
     'unknown member "head" for schema "halberin.contextual-intent" at $', "invalid"),
    (EVENT.replace('"text":"put it there"', '"text":""'), "empty text at $.text", "invalid"),
    (EVENT.replace('"spatial_age_ns":50', '"spatial_age_ns":51'),
     "spatial_age_ns is not timestamp_ns minus spatial_context.timestamp_ns (50) at $.spatial_age_ns", "narrower"),
    (EVENT.replace('"timestamp_ns":173', '"timestamp_ns":73').replace('"spatial_age_ns":50', '"spatial_age_ns":-50'),
     "spatial_context is later than the event at $.spatial_age_ns", "invalid"),
    (EVENT.replace('"head":{"position":[0,1.6', '"head":{"position":["0",1.6'),
     "expected a number or null at $.spatial_context.head.position[0]", "invalid"),
    (EVENT.replace('{"schema":"halberin.spatial-intent"', '{"schema":"halberin.contextual-intent"'),
     'schema "halberin.contextual-intent", expected "halberin.spatial-intent" at $.spatial_context.schema',
     "invalid"),
]


@pytest.mark.parametrize("line, message, schema", REFUSED, ids=[m for _, m, _ in REFUSED])
def test_refusals_say_what_and_where(line, message, schema):
    with pytest.raises(ValueError) as refused:
        sp.from_jsonl(line)
    text = str(refused.value)
    assert text.startswith(message + ", byte "), text
    assert "\n" not in text
    try:
        record = strict(line)
    except (ValueError, RecursionError):  # the json module recurses on nesting
        assert schema == "not json"
        return
    validator = record_validators().get(record.get("schema")) if isinstance(record, dict) else None
    assert (validator is not None and validator.is_valid(record)) == (schema == "narrower")


@pytest.mark.parametrize("line, offset", [
    (FRAME + " x", len(FRAME) + 1),
    (with_x("1e400"), FRAME.index(X) + len('"origin":[')),
    (FRAME.replace('"id":"room-1"', '"id":"room-1","ix":3'), FRAME.index('"id":"room-1"') + 14),
])
def test_refusals_give_the_byte(line, offset):
    with pytest.raises(ValueError, match=rf", byte {offset}$"):
        sp.from_jsonl(line)


def test_invalid_utf8_bytes_are_refused():
    offset = FRAME.index("steady") + 3
    with pytest.raises(ValueError, match=rf"invalid UTF-8 in a string at \$\.timestamp_domain, byte {offset}$"):
        sp.from_jsonl(FRAME.encode().replace(b"steady", b"ste\xffady"))


@pytest.mark.parametrize("arg", [None, 1, ["{}"], sp.SpatialIntentFrame()])
def test_from_jsonl_refuses_other_types(arg):
    with pytest.raises(TypeError):
        sp.from_jsonl(arg)


def frame_dict(**changes):
    d = json.loads(FRAME)
    for path, value in changes.items():
        *parents, last = path.split("__")
        target = d
        for key in parents:
            target = target[int(key)] if isinstance(target, list) else target[key]
        target[int(last) if isinstance(target, list) else last] = value
    return d


@pytest.mark.parametrize("d, message", [
    (frame_dict(head__position__1=True), "expected a number or null, found bool at $.head.position[1]"),
    (frame_dict(timestamp_ns=1.0), "expected an integer, found float at $.timestamp_ns"),
    (frame_dict(version=True), "expected an integer, found bool at $.version"),
    (frame_dict(head__position__0=float("inf")), "expected a finite number or null, found inf at $.head.position[0]"),
    (frame_dict(head__position__0=10**400), "number beyond the double range at $.head.position[0]"),
    (frame_dict(reference_space__generation=2**64), "integer beyond the unsigned 64-bit range at "
                                                    "$.reference_space.generation"),
    (frame_dict(timestamp_domain="\ud800"), "string is not valid UTF-8 (it holds a lone surrogate) at "
                                            "$.timestamp_domain"),
    (frame_dict(head=[1, 2]), "expected an object (a dict), found list at $.head"),
    (frame_dict(gaze__origin="abc"), "expected an array (a list), found str at $.gaze.origin"),
    ({**json.loads(FRAME), 1: 2}, "expected a str member name, found int at $"),
    ({**json.loads(EVENT), "text": ""}, "empty text at $.text"),
])
def test_dictionary_refusals(d, message):
    with pytest.raises(ValueError) as refused:
        sp.from_dict(d)
    assert str(refused.value) == message


LONG = "a" * 39 + "\u00e9"  # its 40th byte is inside the last character


@pytest.mark.parametrize("read, record", [
    (sp.from_jsonl, '{"' + LONG + '":1}'),
    (sp.from_dict, {LONG: 1}),
    (sp.from_jsonl, FRAME.replace('"controller"', f'"{LONG}"')),
    (sp.from_dict, frame_dict(pointing__source=LONG)),
], ids=["text member", "dict member", "text name", "dict name"])
def test_a_name_cut_short_in_a_message_stays_whole_characters(read, record):
    with pytest.raises(ValueError, match=f'"{"a" * 39}..."'):
        read(record)


@pytest.mark.parametrize("text, want", [
    ("1" + "0" * 1_500_000 + "e-2000000", 0.0),
    ("1" + "0" * 1_500_000 + "e-1500000", 1.0),
    ("0." + "0" * 1_500_000 + "1e1500001", 1.0),
    ("0." + "0" * 1_500_000 + "1e2000000", None),
    ("1e" + "9" * 30, None),
    ("1e-" + "9" * 30, 0.0),
], ids=["1e1500000e-2000000", "1e1500000e-1500000", "1e-1500001e1500001", "1e-1500001e2000000", "1e(30 nines)",
        "1e-(30 nines)"])
def test_long_numbers_against_far_exponents(text, want):
    if want is None:
        with pytest.raises(ValueError, match=r"^number beyond the double range at \$\.pointing\.origin\[0\]"):
            sp.from_jsonl(with_x(text))
    else:
        assert bits(sp.from_jsonl(with_x(text)).pointing.ray.origin.x) == bits(want)


def test_a_refusal_runs_no_code_of_the_value():
    called = []

    class Loud(float):
        def __repr__(self):
            called.append(self)
            return "x" * 100_000

    name = "N" * 100
    with pytest.raises(ValueError) as refused:
        sp.from_dict(frame_dict(head__position__0=Loud("-inf")))
    assert str(refused.value) == "expected a finite number or null, found -inf (a Loud) at $.head.position[0]"
    with pytest.raises(ValueError) as refused:
        sp.from_dict(frame_dict(head__position__0=type(name, (), {})()))
    assert str(refused.value) == f"expected a number or null, found {name[:40]}... at $.head.position[0]"
    assert called == []


def test_dictionary_values_as_python_gives_them():
    d = frame_dict(head__position=(1, 2**60 + 1, None), gaze__origin=[0.5, -0.0, 2])
    frame = sp.from_dict(d)
    p, o = frame.head_pose.position, frame.gaze_ray.origin
    assert (p.x, p.y) == (1.0, float(2**60 + 1)) and math.isnan(p.z)
    assert bits(o.y) == bits(-0.0) and o.z == 2.0


@pytest.mark.parametrize("arg", [FRAME, [json.loads(FRAME)], None])
def test_from_dict_takes_only_a_dict(arg):
    with pytest.raises(TypeError):
        sp.from_dict(arg)



def leaves(node, keys=()):
    """The key path of every value under a record's dictionary."""
    for key, value in (node.items() if isinstance(node, dict) else enumerate(node)):
        yield keys + (key,)
        if isinstance(value, (dict, list)):
            yield from leaves(value, keys + (key,))


def json_path(keys):
    return "$" + "".join(f"[{k}]" if isinstance(k, int) else f".{k}" for k in keys)


@pytest.mark.parametrize("wrong", ["x", [], {}, True, 1.5, 2**70, None, "remove"])
def test_every_member_of_a_dictionary_is_checked(wrong):
    """Each value of an event's dictionary replaced by one of another kind, or taken away:
    read, or refused at that value or at the object that holds it."""
    record = sp.to_dict(make_event())
    for keys in leaves(record):
        changed = copy.deepcopy(record)
        holder = changed
        for key in keys[:-1]:
            holder = holder[key]
        if wrong == "remove":
            if isinstance(holder, list):
                continue
            del holder[keys[-1]]
        else:
            holder[keys[-1]] = wrong
        try:
            sp.from_dict(changed)
        except ValueError as refused:
            where = str(refused).rsplit(" at ", 1)[1]
            assert json_path(keys).startswith(where), (keys, str(refused))
