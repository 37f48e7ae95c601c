"""Reference-leak loops for the debug interpreter: every constructor, attribute,
method and function of _spatial, on its success and its error paths, called many
times; sys.gettotalrefcount() must come back to where it started.

Run with python3.14-dbg against a module built for it (make check-leaks)."""

import array
import gc
import os
import sys

import _spatial as sp

LOOPS = 2000
SLACK = 20

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "python"))
from conftest import make_event, make_full_frame  # noqa: E402


def raises(fn, *args):
    try:
        fn(*args)
    except Exception:
        return
    raise AssertionError(f"{fn!r} accepted {args!r}")


def attribute_cases():
    """Get, and set back, every attribute of every class, on a fully populated value."""
    frame = make_full_frame()
    samples = {
        sp.Vec3: sp.Vec3(1, 2, 3), sp.Quaternion: sp.Quaternion(0, 0, 0, 1), sp.Pose: frame.head_pose,
        sp.Ray: frame.gaze_ray, sp.PointingIntent: frame.pointing, sp.SelectState: frame.primary_select,
        sp.SpatialHit: frame.target, sp.ReferenceSpace: frame.reference_space,
        sp.CapabilitySnapshot: frame.capabilities, sp.SpatialIntentFrame: frame,
        sp.ContextualIntentEvent: make_event(),
    }
    cases = {}
    for cls, obj in samples.items():
        for name, attr in vars(cls).items():
            if not isinstance(attr, property):
                continue
            cases[f"{cls.__name__}.{name} get"] = (lambda o=obj, n=name: getattr(o, n))
            if attr.fset is not None:
                cases[f"{cls.__name__}.{name} set"] = (lambda o=obj, n=name: setattr(o, n, getattr(o, n)))
            else:
                cases[f"{cls.__name__}.{name} set (read-only)"] = (
                    lambda o=obj, n=name: raises(setattr, o, n, None))
    return cases


def optional_cycle():
    f = make_full_frame()
    view = f.target
    f.target = None  # detaches the live view
    _ = view.host_id
    f.target = view
    f.pointing = None
    f.primary_select = None


def grounding_cases():
    frame = make_full_frame()
    hit = sp.SpatialHit()

    def boom(ray):
        raise ValueError("host failure")

    return {
        "resolve_target hit": lambda: sp.resolve_target(frame, lambda ray: hit),
        "resolve_target none": lambda: sp.resolve_target(frame, lambda ray: None),
        "resolve_target raises": lambda: raises(sp.resolve_target, frame, boom),
        "resolve_target wrong result": lambda: raises(sp.resolve_target, frame, lambda ray: 42),
        "resolve_target no pointing": lambda: sp.resolve_target(sp.SpatialIntentFrame(), boom),
        "resolve_target bad args": lambda: raises(sp.resolve_target, 1, 2),
    }


def main():
    frame, event = make_full_frame(), make_event()
    timeline = sp.IntentTimeline(8, 1000)
    cases = {
        "Vec3()": sp.Vec3, "Vec3(x, y, z)": lambda: sp.Vec3(1.5, 2, -3),
        "Vec3 bad": lambda: raises(sp.Vec3, "a", 2, 3),
        "Quaternion()": sp.Quaternion, "Quaternion(x, y, z, w)": lambda: sp.Quaternion(0, 0, 0, 1),
        "Pose()": sp.Pose, "Ray()": sp.Ray, "Ray(o, d)": lambda: sp.Ray(sp.Vec3(), sp.Vec3(0, 0, -1)),
        "Ray bad": lambda: raises(sp.Ray, 1, 2),
        "PointingIntent()": sp.PointingIntent, "SelectState()": sp.SelectState, "SpatialHit()": sp.SpatialHit,
        "ReferenceSpace()": sp.ReferenceSpace, "CapabilitySnapshot()": sp.CapabilitySnapshot,
        "SpatialIntentFrame()": sp.SpatialIntentFrame,
        "ContextualIntentEvent() refused": lambda: raises(sp.ContextualIntentEvent),
        "enum by value": lambda: (sp.TrackingConfidence(2), sp.PointingSource(1)),
        "enum name, int, repr, hash": lambda: (sp.PointingSource.HAND.name, int(sp.TrackingConfidence.UNAVAILABLE),
                                               repr(sp.PointingSource.HEAD), hash(sp.PointingSource.HEAD)),
        "enum members": lambda: sp.TrackingConfidence.__members__,
        "enum field wrong type": lambda: raises(setattr, sp.PointingIntent(), "source", 3),
        "host_id str and None": lambda: (setattr(sp.SpatialHit(), "host_id", "x"),
                                         setattr(sp.SpatialHit(), "host_id", None)),
        "extensions list": lambda: setattr(sp.CapabilitySnapshot(), "enabled_extensions", ["a", "b"]),
        "extensions bad": lambda: raises(setattr, sp.CapabilitySnapshot(), "enabled_extensions", [1]),
        "string bad utf-8": lambda: raises(setattr, sp.ReferenceSpace(), "id", "\udc80"),
        "integer overflow": lambda: raises(setattr, sp.ReferenceSpace(), "generation", -1),
        "optional records set and cleared": optional_cycle,
        "IntentTimeline()": sp.IntentTimeline, "IntentTimeline bad": lambda: raises(sp.IntentTimeline, -1),
        "push": lambda: timeline.push(frame), "push bad": lambda: raises(timeline.push, event),
        "latest": timeline.latest, "latest empty": sp.IntentTimeline().latest,
        "submit_text": lambda: timeline.submit_text("here", frame.timestamp_ns + 10),
        "submit_text unpaired": lambda: timeline.submit_text("here", frame.timestamp_ns + 10**9),
        "submit_text bad": lambda: raises(timeline.submit_text, 1, 1),
        "to_jsonl frame": lambda: sp.to_jsonl(frame), "to_jsonl event": lambda: sp.to_jsonl(event),
        "to_jsonl bad": lambda: raises(sp.to_jsonl, {}),
        "to_dict frame": lambda: sp.to_dict(frame), "to_dict event": lambda: sp.to_dict(event),
        "to_dict bad": lambda: raises(sp.to_dict, None),
    }
    line, event_line = sp.to_jsonl(frame), sp.to_jsonl(event)
    record, spaced = sp.to_dict(event), " " + line
    cases.update({
        "from_jsonl frame": lambda: sp.from_jsonl(line), "from_jsonl event": lambda: sp.from_jsonl(event_line),
        "from_jsonl other layout": lambda: sp.from_jsonl(spaced),
        "from_jsonl bytes-like": lambda: sp.from_jsonl(array.array("b", event_line.encode())),
        "from_jsonl refused": lambda: raises(sp.from_jsonl, line[:-1]),
        "from_jsonl bad": lambda: raises(sp.from_jsonl, 1),
        "from_dict": lambda: sp.from_dict(record), "from_dict refused": lambda: raises(sp.from_dict, {"a": 1}),
        "from_dict surrogate": lambda: raises(sp.from_dict, {**record, "text": "\udc80"}),
        "from_dict bad": lambda: raises(sp.from_dict, [record]),
    })
    cases.update(attribute_cases())
    cases.update(grounding_cases())

    worst = 0
    failures = []
    for name, fn in cases.items():
        for _ in range(200):
            fn()
        # A leak costs at least one reference per call in every round; caches that
        # fill on the first rounds do not repeat, so the smallest round counts.
        deltas = []
        for _ in range(3):
            gc.collect()
            start = sys.gettotalrefcount()
            for _ in range(LOOPS):
                fn()
            gc.collect()
            deltas.append(sys.gettotalrefcount() - start)
        delta = min(deltas)
        worst = max(worst, delta)
        if delta > SLACK:
            failures.append(f"{name}: {deltas} references after rounds of {LOOPS} calls")
    print(f"refcount loops: {len(cases)} cases x {LOOPS} calls, largest delta {worst:+d} (slack {SLACK})")
    if failures:
        print("\n".join(failures))
        sys.exit(1)


if __name__ == "__main__":
    main()
