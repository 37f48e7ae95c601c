"""The tools and resources the server offers: their schemas, the checking of a call's
arguments against them, and the answers."""

from __future__ import annotations

import copy
import json
import re
from typing import Any

from .. import SCHEMA_FILES, schema
from .session import EVENTS_URI, FRAME_URI, INT64_MAX, INT64_MIN, SESSION_URI, WHY, Session

__all__ = ["EVENTS_URI", "RESOURCES", "SUBSCRIBABLE", "TOOLS", "ArgumentError", "call", "check_arguments", "read"]

# The longest a wait_for_event call waits: well under the clients' usual 60 s request timeout.
MAX_WAIT_S = 30.0
MAX_PAGE = 100


class ArgumentError(ValueError):
    """Arguments that break the tool's input schema: the message names the argument."""


def _portable(node: Any) -> Any:
    """The schema with every type list written as anyOf, which every model provider's
    function declarations take."""
    if isinstance(node, list):
        return [_portable(n) for n in node]
    if not isinstance(node, dict):
        return node
    out = {k: _portable(v) for k, v in node.items()}
    if isinstance(out.get("type"), list):
        kinds = out.pop("type")
        number_limits = {k: out.pop(k) for k in ("minimum", "maximum") if k in out}
        out["anyOf"] = [{"type": kind, **(number_limits if kind in ("number", "integer") else {})} for kind in kinds]
    return out


def bundled_defs() -> dict[str, Any]:
    """The frame and event schemas as $defs of one self-contained schema: every $ref
    resolves inside it."""
    frame = _portable(schema("halberin.spatial-intent"))
    event = _portable(schema("halberin.contextual-intent"))
    defs = frame.pop("$defs")
    for record in (frame, event):
        record.pop("$schema", None)
        record.pop("$id", None)
    event["properties"]["spatial_context"]["$ref"] = "#/$defs/frame"
    return {**defs, "frame": frame, "event": event}


def _int(description: str, minimum: int = INT64_MIN) -> dict[str, Any]:
    return {"type": "integer", "minimum": minimum, "maximum": INT64_MAX, "description": description}


def _text(description: str) -> dict[str, Any]:
    return {"type": "string", "description": description}


def _ms(description: str) -> dict[str, Any]:
    return {"type": "number", "description": description}


def _moment(name: str, what: str) -> dict[str, Any]:
    stem = name.removesuffix("_ns")
    return {name: _int(f"{what}, in nanoseconds on the host's clock."),
            f"{name}_text": _text(f"{name} as decimal text: exact in every client, whatever its numbers."),
            f"{stem}_ms_ago": _ms(f"How long before now {what.lower()} was, in milliseconds.")}


NOW = {"now_ns": _int("Now: the newest timestamp read from the session, on the host's clock."),
       "now_ns_text": _text("now_ns as decimal text.")}

CONTEXT_OUT = {
    "type": "object",
    "properties": {
        "found": {"type": "boolean", "description": "Whether a frame was in force at the moment."},
        "why": {"enum": list(WHY), "description": "Why no frame was in force (when found is false)."},
        "why_text": _text("The same in words."),
        **NOW,
        **_moment("requested_ns", "The moment asked about"),
        "max_age_ns": _int("How old a frame may be and still be in force (the timeline's maximum age).", 0),
        "age_ns": _int("How old the frame in force was at the moment.", 0),
        "age_ms": _ms("age_ns in milliseconds."),
        **_moment("frame_timestamp_ns", "The frame's own timestamp"),
        "frame": {"$ref": "#/$defs/frame", "description": "The frame in force, as its record."},
        "frame_line": _text("The frame's record line, exactly as written (integers exact)."),
    },
    "required": ["found"],
}

POINTING_OUT = {
    "type": "object",
    "properties": {
        "found": {"type": "boolean", "description": "Whether any frame has been read."},
        "why": {"enum": ["nothing_yet"]}, "why_text": _text("Why nothing is known."),
        **NOW,
        **_moment("frame_timestamp_ns", "The newest frame's timestamp"),
        "pointing": {"type": "boolean", "description": "Whether anything points."},
        "source": {"enum": ["controller", "hand", "eye_gaze", "head"], "description": "The input that points."},
        "confidence": {"enum": ["unavailable", "orientation_only", "position_and_orientation"],
                       "description": "How well the pointing input is tracked."},
        "ray": {"$ref": "#/$defs/ray", "description": "The pointing ray."},
        "target": {"$ref": "#/$defs/frame/properties/target", "description": "What the pointing ray hits."},
        "target_host_id": _text("The scene's id of what the pointing ray hits (empty when the host gave none)."),
        "gaze_tracked": {"type": "boolean", "description": "Whether the eyes are tracked."},
        "gaze": {"$ref": "#/$defs/ray", "description": "Where the eyes look."},
        "gaze_target_host_id": _text("What the eyes look at, when the eyes are what points."),
        "select_pressed": {"type": "boolean", "description": "Whether the primary select is held."},
        "head_tracking": {"enum": ["unavailable", "orientation_only", "position_and_orientation"]},
        "frame_line": _text("The newest frame's record line, exactly as written."),
    },
    "required": ["found"],
}

EVENT_ENTRY: dict[str, Any] = {
    "type": "object",
    "properties": {
        "sequence": {"type": "integer", "minimum": 1, "description": "The event's number in the session, from 1."},
        "text": _text("What the user said or typed; a spoken event names its deictic word in [brackets]."),
        **_moment("timestamp_ns", "When it was said (for a spoken deictic word: when the word began)"),
        "spatial_age_ns": _int("How old the paired frame was then.", 0),
        "spatial_age_ms": _ms("spatial_age_ns in milliseconds."),
        "target_host_id": _text("What the word referred to: the scene's id of what the pointing ray hit "
                                "(empty when nothing was hit)."),
        "source": {"enum": ["controller", "hand", "eye_gaze", "head", "none"], "description": "What pointed."},
        "event": {"$ref": "#/$defs/event", "description": "The event's record."},
        "event_line": _text("The event's record line, exactly as written."),
    },
    "required": ["sequence", "text", "timestamp_ns", "timestamp_ns_text", "event", "event_line"],
}

EVENTS_OUT = {
    "type": "object",
    "properties": {**NOW, "events": {"type": "array", "items": {"$ref": "#/$defs/event_entry"}},
                   "total": {"type": "integer", "minimum": 0, "description": "Events in the span after the cursor."},
                   "next_cursor": _text("Pass as cursor for the next page; absent on the last one.")},
    "required": ["events", "total"],
}

WAIT_OUT = {
    "type": "object",
    "properties": {**NOW, "timed_out": {"type": "boolean", "description": "No event came within the timeout."},
                   **EVENT_ENTRY["properties"]},
    "required": ["timed_out"],
}


def _with_defs(out: dict[str, Any], defs: dict[str, Any]) -> dict[str, Any]:
    return {**out, "$defs": defs}


def tool_list() -> list[dict[str, Any]]:
    defs = {**bundled_defs(), "event_entry": EVENT_ENTRY}
    moment_in = {
        "timestamp_ns": _int("The moment, in nanoseconds on the host's clock (as the records give it)."),
        "timestamp_ns_text": {"type": "string", "pattern": r"^-?[0-9]{1,19}$",
                              "description": "The moment as decimal text: use it where the client's numbers "
                                             "are not exact beyond 2^53."},
        "seconds_ago": {"type": "number", "minimum": 0, "maximum": 86400,
                        "description": "The moment as seconds before now (the newest record read)."},
    }
    return [
        {"name": "spatial_context_at", "title": "Spatial context at a moment",
         "description": "The frame in force at a moment: the newest frame not later than it, if it is at most the "
                        "maximum age old, by the same rule the host pairs what the user says with. Give one of "
                        "timestamp_ns, timestamp_ns_text or seconds_ago; none means now. Without a frame, why.",
         "inputSchema": {"type": "object", "properties": moment_in, "additionalProperties": False},
         "outputSchema": _with_defs(CONTEXT_OUT, defs),
         "annotations": {"readOnlyHint": True, "openWorldHint": False}},
        {"name": "pointing_now", "title": "What the user points at now",
         "description": "What the user points at now and where the eyes look: the input that points, how well it "
                        "is tracked, the target's scene id, the gaze ray, and whether select is held.",
         "inputSchema": {"type": "object", "properties": {}, "additionalProperties": False},
         "outputSchema": _with_defs(POINTING_OUT, defs),
         "annotations": {"readOnlyHint": True, "openWorldHint": False}},
        {"name": "recent_events", "title": "What the user said",
         "description": "The events of the last seconds, oldest first: what the user said or typed, each spoken "
                        "deictic word paired with the frame in force when it was said and what it pointed at. "
                        "Paginated: pass next_cursor back as cursor.",
         "inputSchema": {"type": "object", "properties": {
             "seconds": {"type": "number", "minimum": 0, "maximum": 86400, "default": 60,
                         "description": "How far back from now (default 60)."},
             "limit": {"type": "integer", "minimum": 1, "maximum": MAX_PAGE, "default": 20,
                       "description": f"Events a page (default 20, at most {MAX_PAGE})."},
             "cursor": {"type": "string", "pattern": "^[0-9]{1,19}$", "description": "From a previous page."}},
             "additionalProperties": False},
         "outputSchema": _with_defs(EVENTS_OUT, defs),
         "annotations": {"readOnlyHint": True, "openWorldHint": False}},
        {"name": "wait_for_event", "title": "Wait for the user to say something",
         "description": f"Waits for the next event (after the given sequence number, or after the call) and "
                        f"returns it; timed_out after timeout_s (default 20, at most {MAX_WAIT_S:g}). "
                        f"Cancellable.",
         "inputSchema": {"type": "object", "properties": {
             "timeout_s": {"type": "number", "minimum": 0, "maximum": MAX_WAIT_S, "default": 20,
                           "description": "How long to wait, in seconds."},
             "after_sequence": {"type": "integer", "minimum": 0, "maximum": INT64_MAX,
                                "description": "Return the first event with a greater sequence number."}},
             "additionalProperties": False},
         "outputSchema": _with_defs(WAIT_OUT, defs),
         "annotations": {"readOnlyHint": True, "openWorldHint": False}},
    ]


TOOLS = {t["name"]: t for t in tool_list()}


def check_arguments(name: str, arguments: Any) -> dict[str, Any]:
    """The arguments, checked against the tool's input schema; ArgumentError says what
    breaks it."""
    if arguments is None:
        arguments = {}
    if not isinstance(arguments, dict):
        raise ArgumentError("arguments must be an object")
    properties = TOOLS[name]["inputSchema"]["properties"]
    for key, value in arguments.items():
        rule = properties.get(key)
        if rule is None:
            known = ", ".join(properties) or "none"
            raise ArgumentError(f"{name} takes no argument {key!r} (it takes: {known})")
        kind = rule["type"]
        if kind == "integer" and (type(value) is not int):
            if not (type(value) is float and value.is_integer()):
                raise ArgumentError(f"{key} must be an integer, not {json.dumps(value)[:40]}")
            value = arguments[key] = int(value)
        if kind == "number" and type(value) not in (int, float):
            raise ArgumentError(f"{key} must be a number, not {json.dumps(value)[:40]}")
        if kind == "string" and not isinstance(value, str):
            raise ArgumentError(f"{key} must be a string, not {json.dumps(value)[:40]}")
        if "minimum" in rule and value < rule["minimum"]:
            raise ArgumentError(f"{key} must be at least {rule['minimum']}, not {value}")
        if "maximum" in rule and value > rule["maximum"]:
            raise ArgumentError(f"{key} must be at most {rule['maximum']}, not {value}")
        if "pattern" in rule and not re.fullmatch(rule["pattern"], value):
            raise ArgumentError(f"{key} must match {rule['pattern']}, not {json.dumps(value)[:40]}")
    if name == "spatial_context_at":
        given = [k for k in ("timestamp_ns", "timestamp_ns_text", "seconds_ago") if k in arguments]
        if len(given) > 1:
            raise ArgumentError(f"give one of timestamp_ns, timestamp_ns_text and seconds_ago, not {' and '.join(given)}")
        if "timestamp_ns_text" in arguments:
            t = int(arguments["timestamp_ns_text"])
            if not INT64_MIN <= t <= INT64_MAX:
                raise ArgumentError("timestamp_ns_text is outside the signed 64-bit range")
    return arguments


def call(session: Session, name: str, arguments: dict[str, Any]) -> dict[str, Any]:
    """The structured answer of a tool that answers at once (every one but wait_for_event)."""
    if name == "spatial_context_at":
        t = arguments.get("timestamp_ns")
        if "timestamp_ns_text" in arguments:
            t = int(arguments["timestamp_ns_text"])
        return session.context_at(session.resolve_moment(t, arguments.get("seconds_ago")))
    if name == "pointing_now":
        return session.pointing_now()
    if name == "recent_events":
        cursor = int(arguments.get("cursor", "0"))
        return session.events_since(float(arguments.get("seconds", 60)), int(arguments.get("limit", 20)), cursor)
    raise KeyError(name)


def lines_of(answer: dict[str, Any]) -> str:
    """The text content of an answer: its record lines, exactly as written, or the answer
    as JSON where it holds none."""
    if "frame_line" in answer:
        return str(answer["frame_line"])
    if "event_line" in answer:
        return str(answer["event_line"])
    if answer.get("events"):
        return "\n".join(e["event_line"] for e in answer["events"])
    return json.dumps(answer, separators=(",", ":"))


# Resources.

SCHEMA_URIS = {f"spatial://schema/{file.removesuffix('.schema.json')}": name for name, file in SCHEMA_FILES.items()}

RESOURCES = [
    {"uri": FRAME_URI, "name": "latest-frame", "title": "The latest frame",
     "description": "The newest frame read, as its record line. Subscribers hear of a change of target, select, "
                    "pointing input or tracking (never of every frame).", "mimeType": "application/x-ndjson"},
    {"uri": EVENTS_URI, "name": "recent-events", "title": "Recent events",
     "description": "The last 50 events, one record line each, oldest first. Subscribers hear of each new event.",
     "mimeType": "application/x-ndjson"},
    {"uri": SESSION_URI, "name": "session", "title": "The session",
     "description": "What is being served: files, frames and events read, lines refused, the timeline's capacity "
                    "and maximum age, now.", "mimeType": "application/json"},
    *({"uri": uri, "name": name, "title": f"The JSON Schema of {name}",
       "description": f"The JSON Schema (draft 2020-12) of the {name} record.", "mimeType": "application/schema+json"}
      for uri, name in SCHEMA_URIS.items()),
]
RESOURCE_URIS = {r["uri"] for r in RESOURCES}
SUBSCRIBABLE = {FRAME_URI, EVENTS_URI, SESSION_URI}


def read(session: Session, uri: str) -> dict[str, Any] | None:
    """One resource's contents entry, or None for a URI the server does not have."""
    meta = next((r for r in RESOURCES if r["uri"] == uri), None)
    if meta is None:
        return None
    if uri == FRAME_URI:
        text = session.latest_frame_line() or ""
    elif uri == EVENTS_URI:
        text = "\n".join(session.recent_event_lines())
    elif uri == SESSION_URI:
        text = json.dumps(session.summary(), separators=(",", ":"))
    else:
        text = json.dumps(schema(SCHEMA_URIS[uri]), indent=2)
    return {"uri": uri, "mimeType": meta["mimeType"], "text": text}


def copy_of_tools() -> list[dict[str, Any]]:
    return copy.deepcopy(list(TOOLS.values()))
