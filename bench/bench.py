"""Side-by-side timings of the module against what a user could use instead.

Every row times both sides in the same run, alternating, after a warm-up; each side's
figure is the minimum over several repeats. Run with `make bench`."""

from __future__ import annotations

import bisect
import collections
import copy
import dataclasses
import json
import math
import os
import platform
import random
import subprocess
import sys
import timeit
from typing import Any, Callable

import msgspec
import orjson

import _spatial as sp
import _spatial_floor  # built by make bench next to the native benchmark

REPEATS = int(os.environ.get("BENCH_REPEATS", "7"))
TARGET_SECONDS = float(os.environ.get("BENCH_SECONDS", "0.05"))

rng = random.Random(90)


def u(lo: float = -1.0, hi: float = 1.0) -> float:
    return rng.uniform(lo, hi)


def vec() -> sp.Vec3:
    return sp.Vec3(u(), u(0.5, 2.0), u())


def pose() -> sp.Pose:
    p = sp.Pose()
    p.position = vec()
    p.orientation = sp.Quaternion(u(), u(), u(), u())
    return p


def full_frame(ts: int = 1_000_000) -> sp.SpatialIntentFrame:
    f = sp.SpatialIntentFrame()
    f.timestamp_ns = ts
    f.timestamp_domain = "steady"
    rs = sp.ReferenceSpace()
    rs.type, rs.id, rs.generation = "local", "room-1", 3
    f.reference_space = rs
    f.head_pose = pose()
    f.head_tracking = sp.TrackingConfidence.POSITION_AND_ORIENTATION
    pi = sp.PointingIntent()
    pi.ray = sp.Ray(vec(), vec())
    pi.source = sp.PointingSource.CONTROLLER
    pi.confidence = sp.TrackingConfidence.POSITION_AND_ORIENTATION
    f.pointing = pi
    sel = sp.SelectState()
    sel.pressed, sel.changed, sel.last_change_time_ns = True, True, ts - 5
    f.primary_select = sel
    f.left_hand_pose = pose()
    f.right_hand_pose = pose()
    f.gaze_ray = sp.Ray(vec(), vec())
    hit = sp.SpatialHit()
    hit.position, hit.normal, hit.host_id = vec(), vec(), "panel:map"
    f.target = hit
    caps = sp.CapabilitySnapshot()
    caps.head_pose = caps.action_input = caps.hand_tracking = caps.eye_gaze = True
    caps.enabled_extensions = ["ext.hand", "ext.gaze"]
    f.capabilities = caps
    return f


# The record as msgspec Structs, fields in record order; absent optionals are omitted.
class RefSpace(msgspec.Struct):
    type: str
    id: str
    generation: int


class PoseS(msgspec.Struct):
    position: tuple[float, float, float]
    orientation: tuple[float, float, float, float]


class PointingS(msgspec.Struct):
    source: str
    confidence: str
    origin: tuple[float, float, float]
    direction: tuple[float, float, float]


class SelectS(msgspec.Struct):
    pressed: bool
    changed: bool
    last_change_time_ns: int


class RayS(msgspec.Struct):
    origin: tuple[float, float, float]
    direction: tuple[float, float, float]


class TargetS(msgspec.Struct, omit_defaults=True):
    position: tuple[float, float, float]
    normal: tuple[float, float, float]
    host_id: str | None = None


class CapsS(msgspec.Struct):
    head_pose: bool
    action_input: bool
    hand_tracking: bool
    hand_interaction: bool
    eye_gaze: bool
    enabled_extensions: list[str]


class FrameS(msgspec.Struct, omit_defaults=True):
    schema: str
    version: int
    timestamp_ns: int
    timestamp_domain: str
    reference_space: RefSpace
    head: PoseS
    head_tracking: str
    capabilities: CapsS
    pointing: PointingS | None = None
    primary_select: SelectS | None = None
    left_hand: PoseS | None = None
    right_hand: PoseS | None = None
    gaze: RayS | None = None
    target: TargetS | None = None


class EventS(msgspec.Struct):
    schema: str
    version: int
    timestamp_ns: int
    text: str
    spatial_age_ns: int
    spatial_context: FrameS


# What a user would write instead of the timeline: same trimming and pairing, frames
# copied in and out so that no caller shares state with the history.
@dataclasses.dataclass
class PyVec3:
    x: float
    y: float
    z: float


@dataclasses.dataclass
class PyPose:
    position: PyVec3
    orientation: tuple[float, float, float, float]


@dataclasses.dataclass
class PyRay:
    origin: PyVec3
    direction: PyVec3


@dataclasses.dataclass
class PyFrame:
    timestamp_ns: int
    timestamp_domain: str
    reference_space: dict[str, Any]
    head_pose: PyPose
    head_tracking: str
    pointing: PyRay | None
    primary_select: dict[str, Any] | None
    left_hand_pose: PyPose | None
    right_hand_pose: PyPose | None
    gaze_ray: PyRay | None
    target: dict[str, Any] | None
    capabilities: dict[str, Any]


@dataclasses.dataclass
class PyEvent:
    timestamp_ns: int
    text: str
    spatial_context: PyFrame
    spatial_age_ns: int


class PyTimeline:
    def __init__(self, capacity: int = 240, max_context_age_ns: int = 2_000_000_000) -> None:
        self.frames: collections.deque[PyFrame] = collections.deque(maxlen=capacity)
        self.max_context_age_ns = max_context_age_ns

    def push(self, frame: PyFrame) -> None:
        if self.frames and frame.timestamp_ns < self.frames[-1].timestamp_ns:
            self.frames.clear()
        self.frames.append(copy.deepcopy(frame))

    def latest(self) -> PyFrame | None:
        return copy.deepcopy(self.frames[-1]) if self.frames else None

    def submit_text(self, text: str, timestamp_ns: int) -> PyEvent | None:
        if not text or not self.frames:
            return None
        i = bisect.bisect_right(self.frames, timestamp_ns, key=lambda f: f.timestamp_ns)
        if i == 0:
            return None
        frame = self.frames[i - 1]
        age = timestamp_ns - frame.timestamp_ns
        if age > self.max_context_age_ns:
            return None
        return PyEvent(timestamp_ns, text, copy.deepcopy(frame), age)


def py_frame(ts: int) -> PyFrame:
    def pv() -> PyVec3:
        return PyVec3(u(), u(), u())

    def pp() -> PyPose:
        return PyPose(pv(), (u(), u(), u(), u()))

    return PyFrame(ts, "steady", {"type": "local", "id": "room-1", "generation": 3}, pp(),
                   "position_and_orientation", PyRay(pv(), pv()),
                   {"pressed": True, "changed": True, "last_change_time_ns": ts - 5}, pp(), pp(),
                   PyRay(pv(), pv()), {"position": pv(), "normal": pv(), "host_id": "panel:map"},
                   {"head_pose": True, "action_input": True, "hand_tracking": True, "hand_interaction": False,
                    "eye_gaze": True, "enabled_extensions": ["ext.hand", "ext.gaze"]})


def per_call(fn: Callable[[], object], number: int) -> float:
    return timeit.timeit(fn, number=number) / number


def calibrate(fn: Callable[[], object]) -> int:
    """A call count that takes about TARGET_SECONDS; the runs on the way are the warm-up."""
    number = 1
    while True:
        elapsed = timeit.timeit(fn, number=number)
        if elapsed >= TARGET_SECONDS / 5:
            return max(1, int(number * TARGET_SECONDS / elapsed))
        number *= 4


def side_by_side(ours: Callable[[], object], theirs: Callable[[], object]) -> tuple[float, float]:
    n_ours, n_theirs = calibrate(ours), calibrate(theirs)
    best_ours = best_theirs = float("inf")
    for _ in range(REPEATS):
        best_ours = min(best_ours, per_call(ours, n_ours))
        best_theirs = min(best_theirs, per_call(theirs, n_theirs))
    return best_ours, best_theirs


ROWS: list[tuple[str, str, float, float]] = []


def row(case: str, peer: str, ours: Callable[[], object], theirs: Callable[[], object]) -> None:
    a, b = side_by_side(ours, theirs)
    ROWS.append((case, peer, a, b))
    print(f"  {case:<34} vs {peer:<34} {a * 1e6:9.3f} us {b * 1e6:9.3f} us  ratio {a / b:6.3f}",
          file=sys.stderr, flush=True)


def encoders(case: str, record: Any, struct_type: type, floor: Callable[[Any], str]) -> None:
    d = sp.to_dict(record)
    s = msgspec.convert(d, struct_type)
    line = sp.to_jsonl(record)
    _spatial_floor.set_line("x" * len(line))
    assert len(floor(record)) == len(line)
    row(case, "floor: prebuilt line, same argument", lambda: sp.to_jsonl(record), lambda: floor(record))
    for peer_text in (orjson.dumps(d), msgspec.json.encode(s), json.dumps(d, separators=(",", ":"))):
        assert json.loads(peer_text) == json.loads(line), "peers must encode the same content"
    row(case, "orjson.dumps(d)", lambda: sp.to_jsonl(record), lambda: orjson.dumps(d))
    row(case, "msgspec.json.encode(struct)", lambda: sp.to_jsonl(record), lambda: msgspec.json.encode(s))
    row(case, "json.dumps(d, compact)", lambda: sp.to_jsonl(record),
        lambda: json.dumps(d, separators=(",", ":")))


def readers(case: str, record: Any, struct_type: type, floor: Callable[[str], Any]) -> None:
    line = sp.to_jsonl(record)
    assert sp.to_jsonl(sp.from_jsonl(line)) == line
    assert orjson.loads(msgspec.json.encode(msgspec.json.decode(line, type=struct_type))) == orjson.loads(line)
    _spatial_floor.set_record(record)
    assert sp.to_jsonl(floor(line)) == line
    row(case, "floor: prebuilt record, same str", lambda: sp.from_jsonl(line), lambda: floor(line))
    row(case, "msgspec.json.decode(line, type)", lambda: sp.from_jsonl(line),
        lambda: msgspec.json.decode(line, type=struct_type))
    row(case, "orjson.loads(line)", lambda: sp.from_jsonl(line), lambda: orjson.loads(line))


def python_cases() -> None:
    frame = full_frame()
    encoders("to_jsonl(full frame)", frame, FrameS, _spatial_floor.prebuilt)
    encoders("to_jsonl(default frame)", sp.SpatialIntentFrame(), FrameS, _spatial_floor.prebuilt)
    timeline = sp.IntentTimeline()
    timeline.push(frame)
    event = timeline.submit_text("put the map there", frame.timestamp_ns + 40_000_000)
    assert event is not None
    encoders("to_jsonl(event)", event, EventS, _spatial_floor.prebuilt_event)
    row("to_dict(full frame)", "json.loads(to_jsonl(frame))", lambda: sp.to_dict(frame),
        lambda: json.loads(sp.to_jsonl(frame)))
    readers("from_jsonl(full frame)", frame, FrameS, _spatial_floor.read_frame)
    readers("from_jsonl(event)", event, EventS, _spatial_floor.read_event)
    d = sp.to_dict(frame)
    assert orjson.loads(msgspec.json.encode(msgspec.convert(d, FrameS))) == d
    row("from_dict(to_dict(full frame))", "msgspec.convert(d, FrameS)", lambda: sp.from_dict(d),
        lambda: msgspec.convert(d, FrameS))

    ours, theirs = sp.IntentTimeline(240), PyTimeline(240)
    ours_frames = [full_frame(1_000_000 + i * 11_111_111) for i in range(240)]
    theirs_frames = [py_frame(1_000_000 + i * 11_111_111) for i in range(240)]
    for a, b in zip(ours_frames, theirs_frames):
        ours.push(a)
        theirs.push(b)
    # Pushing the newest frame again keeps 240 stored without restarting the history.
    row("IntentTimeline.push (240 stored)", "deque + deepcopy", lambda: ours.push(ours_frames[-1]),
        lambda: theirs.push(theirs_frames[-1]))
    row("IntentTimeline.latest", "deque + deepcopy", ours.latest, theirs.latest)
    for a, b in zip(ours_frames, theirs_frames):
        ours.push(a)
        theirs.push(b)
    mid = 1_000_000 + 120 * 11_111_111 + 5
    assert ours.submit_text("here", mid) is not None and theirs.submit_text("here", mid) is not None
    row("IntentTimeline.submit_text", "deque + deepcopy", lambda: ours.submit_text("here", mid),
        lambda: theirs.submit_text("here", mid))

    timeline_sizes(frame)

    hit = sp.SpatialHit()

    def raycast(ray: sp.Ray) -> sp.SpatialHit:
        return hit

    ray = frame.pointing.ray
    row("resolve_target(trivial callback)", "the callback alone", lambda: sp.resolve_target(frame, raycast),
        lambda: raycast(ray))


def timeline_sizes(frame: sp.SpatialIntentFrame) -> None:
    """Pairing at either end of a short history and of a ten-minute one at 90 Hz."""
    step = 11_111_111

    def filled(n: int) -> sp.IntentTimeline:
        timeline = sp.IntentTimeline(capacity=n)
        for i in range(n):
            frame.timestamp_ns = i * step
            timeline.push(frame)
        return timeline

    small, large = filled(240), filled(240_000)
    base = "submit_text at newest of 240"

    def at(timeline: sp.IntentTimeline, ts: int) -> Callable[[], object]:
        assert timeline.submit_text("here", ts) is not None
        return lambda: timeline.submit_text("here", ts)

    newest_small = at(small, 239 * step)
    row("submit_text at oldest of 240", base, at(small, 0), newest_small)
    row("submit_text at newest of 240,000", base, at(large, 239_999 * step), newest_small)
    row("submit_text at oldest of 240,000", base, at(large, 0), newest_small)
    frame.timestamp_ns = 240_000 * step
    row("push (240,000 stored)", "push (240 stored)", lambda: large.push(frame), lambda: small.push(frame))


def native_cases(binary: str) -> None:
    out = subprocess.run([binary, "--benchmark_format=json", f"--benchmark_repetitions={REPEATS}",
                          "--benchmark_report_aggregates_only=true", "--benchmark_min_warmup_time=0.05"],
                         check=True, capture_output=True, text=True).stdout
    times, counters = {}, {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            times[b["run_name"]] = b["real_time"] if "real_time" in b else b["cpu_time"]
            counters.update((k, v) for k, v in b.items() if k.endswith("_ns"))
    def t(name: str) -> float:
        return times[name] * 1e-9

    for peer in ("BM_ToCharsGeneral9", "BM_SnprintfG9"):
        ROWS.append(("native: format_double (per double)", peer.removeprefix("BM_"), t("BM_FormatDouble"), t(peer)))
    for name in ("BM_EncodeFullFrame", "BM_EncodeDefaultFrame", "BM_EncodeEvent"):
        ROWS.append((f"native: {name.removeprefix('BM_')}", "-", t(name), float("nan")))
    ROWS.append(("native: DecodeFullFrame", "EncodeFullFrame", t("BM_DecodeFullFrame"), t("BM_EncodeFullFrame")))
    ROWS.append(("native: DecodeEvent", "EncodeEvent", t("BM_DecodeEvent"), t("BM_EncodeEvent")))
    if "BM_SimdjsonWalkFullFrame" in times:
        ROWS.append(("native: DecodeFullFrame", "simdjson On-Demand: walk every value, build nothing",
                     t("BM_DecodeFullFrame"), t("BM_SimdjsonWalkFullFrame")))
    # Each of the four threads reports wall time per own iteration: per operation of the
    # whole timeline that is a quarter of it.
    for base in ("BM_TimelinePush", "BM_TimelineSubmitText"):
        one, four = t(f"{base}/real_time/threads:1"), t(f"{base}/real_time/threads:4") / 4
        ROWS.append((f"native: {base.removeprefix('BM_')}, 4 contending threads", "1 thread", four, one))
    us = {k: v / 1e3 for k, v in counters.items()}
    ROWS.append(("native: push, 240,000 stored, another thread pairing at the oldest",
                 f"each push timed: p50 {us['wait_p50_ns']:.2f} us, p99.9 {us['wait_p999_ns']:.2f} us, "
                 f"max {us['wait_max_ns']:.1f} us (an empty timed region's max: {us['empty_max_ns']:.1f} us)",
                 t("BM_PushWhilePairingOldest/iterations:500000/real_time"), float("nan")))
    ROWS.append(("native: push that restarts a full 240,000-frame history, another thread pairing",
                 f"median of 5 restarts (max {us['restart_max_ns']:.2f} us)", counters["restart_p50_ns"] * 1e-9,
                 float("nan")))


def py_replay(path: str, said: list[tuple[float, str]]) -> int:
    """The replay a user would write without the reader: json.loads, each frame built
    attribute by attribute, pushed, and the utterances submitted at their times."""
    def vec(v: list) -> sp.Vec3:
        return sp.Vec3(*(math.nan if c is None else c for c in v))

    def pose(d: dict) -> sp.Pose:
        p = sp.Pose()
        p.position = vec(d["position"])
        p.orientation = sp.Quaternion(*(math.nan if c is None else c for c in d["orientation"]))
        return p

    timeline, pending, first, events = sp.IntentTimeline(), list(said), None, 0
    confidence = {m.name.lower(): m for m in sp.TrackingConfidence.__members__.values()}
    source = {m.name.lower(): m for m in sp.PointingSource.__members__.values()}
    with open(path, "rb") as lines:
        for line in lines:
            d = json.loads(line)
            f = sp.SpatialIntentFrame()
            f.timestamp_ns, f.timestamp_domain = d["timestamp_ns"], d["timestamp_domain"]
            rs = sp.ReferenceSpace()
            rs.type, rs.id, rs.generation = d["reference_space"]["type"], d["reference_space"]["id"], \
                d["reference_space"]["generation"]
            f.reference_space = rs
            f.head_pose, f.head_tracking = pose(d["head"]), confidence[d["head_tracking"]]
            if "pointing" in d:
                p = sp.PointingIntent()
                p.ray = sp.Ray(vec(d["pointing"]["origin"]), vec(d["pointing"]["direction"]))
                p.source, p.confidence = source[d["pointing"]["source"]], confidence[d["pointing"]["confidence"]]
                f.pointing = p
            if "primary_select" in d:
                s = sp.SelectState()
                s.pressed, s.changed, s.last_change_time_ns = (d["primary_select"][k] for k in
                                                               ("pressed", "changed", "last_change_time_ns"))
                f.primary_select = s
            if "left_hand" in d:
                f.left_hand_pose = pose(d["left_hand"])
            if "right_hand" in d:
                f.right_hand_pose = pose(d["right_hand"])
            if "gaze" in d:
                f.gaze_ray = sp.Ray(vec(d["gaze"]["origin"]), vec(d["gaze"]["direction"]))
            if "target" in d:
                h = sp.SpatialHit()
                h.position, h.normal = vec(d["target"]["position"]), vec(d["target"]["normal"])
                h.host_id = d["target"].get("host_id")
                f.target = h
            c = d["capabilities"]
            caps = sp.CapabilitySnapshot()
            caps.head_pose, caps.action_input, caps.hand_tracking = c["head_pose"], c["action_input"], c["hand_tracking"]
            caps.hand_interaction, caps.eye_gaze = c["hand_interaction"], c["eye_gaze"]
            caps.enabled_extensions = c["enabled_extensions"]
            f.capabilities = caps
            first = f.timestamp_ns if first is None else first
            while pending and first + int(pending[0][0] * 1e9) < f.timestamp_ns:
                at, text = pending.pop(0)
                events += timeline.submit_text(text, first + int(at * 1e9)) is not None
            timeline.push(f)
    for at, text in pending:
        events += timeline.submit_text(text, first + int(at * 1e9)) is not None
    return events


def command_cases() -> None:
    """The spatial command over a file of 100,000 full frames, against what a user would
    write instead; each side timed whole, the best of three runs."""
    import contextlib
    import io

    import jsonschema
    import referencing

    from spatial_intent.cli import check, replay
    from spatial_intent.cli.records import Utterance

    path = os.path.abspath(os.environ.get("BENCH_FRAMES", "build/bench/frames.jsonl"))
    frame = full_frame()
    with open(path, "w") as out:
        for i in range(100_000):
            frame.timestamp_ns = 1_000_000_000 + i * 11_111_111
            frame.head_pose.position.x = math.sin(i / 90)
            frame.pointing.ray.direction.x = math.cos(i / 45)
            out.write(sp.to_jsonl(frame) + "\n")

    def best(fn: Callable[[], object], runs: int = 3) -> float:
        times = []
        for _ in range(runs):
            start = timeit.default_timer()
            fn()
            times.append(timeit.default_timer() - start)
        return min(times)

    def quiet(fn: Callable[[], object]) -> Callable[[], object]:
        def run() -> object:
            with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
                return fn()
        return run

    def orjson_loop() -> None:
        with open(path, "rb") as lines:
            for line in lines:
                orjson.loads(line)

    ours = best(quiet(lambda: check.run([path])))
    ROWS.append(("spatial check, 100,000 full frames", "a loop of orjson.loads", ours, best(orjson_loop)))
    schemas = {}
    for name in ("spatial-intent", "contextual-intent"):
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "spatial_intent", "schemas",
                               f"{name}.v1.schema.json")) as f:
            schemas[name] = json.load(f)
    registry = referencing.Registry().with_resources(
        (s["$id"], referencing.Resource.from_contents(s)) for s in schemas.values())
    validator = jsonschema.Draft202012Validator(schemas["spatial-intent"], registry=registry)
    with open(path, "rb") as lines:
        sample = [next(lines) for _ in range(1000)]
    per_line = best(lambda: [validator.validate(json.loads(line)) for line in sample]) / len(sample)
    ROWS.append(("spatial check, 100,000 full frames", "jsonschema on each line (1,000 timed, scaled)", ours,
                 per_line * 100_000))
    said = [(i * 1.1, f"utterance {i}") for i in range(1000)]
    utterances = [Utterance(seconds, text, "bench") for seconds, text in said]
    ROWS.append(("spatial replay --rate 0, 1,000 utterances", "json.loads, attributes, push, submit",
                 best(quiet(lambda: replay.run(path, 0.0, utterances, 240, 2000.0))), best(lambda: py_replay(path, said))))
    for case, peer, a, b in ROWS[-3:]:
        print(f"  {case:<34} vs {peer:<34} {a:9.3f} s  {b:9.3f} s  ratio {a / b:6.4f}", file=sys.stderr, flush=True)
    os.remove(path)


def main() -> None:
    native = sys.argv[1] if len(sys.argv) > 1 else None
    python_cases()
    command_cases()
    if native:
        native_cases(native)
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, {platform.processor() or cpu_model()}; "
          f"Python {platform.python_version()}, orjson {orjson.__version__}, msgspec {msgspec.__version__}")
    print("| case | against | ours | theirs | ratio |")
    print(f"|---|---|---:|---:|---:|")
    for case, peer, a, b in ROWS:
        theirs = "-" if b != b else fmt_time(b)
        ratio = "-" if b != b else f"{a / b:.3f}"
        print(f"| {case} | {peer} | {fmt_time(a)} | {theirs} | {ratio} |")


def fmt_time(seconds: float) -> str:
    if seconds < 1e-6:
        return f"{seconds * 1e9:.1f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.2f} us"
    return f"{seconds * 1e3:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown CPU"


if __name__ == "__main__":
    main()
