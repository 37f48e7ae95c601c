import builtins
import json
import sys

import pytest
from conftest import make_event, make_full_frame

from _spatial import ReferenceSpace, SpatialIntentFrame, Vec3, to_dict, to_jsonl


def test_default_frame_dict():
    d = to_dict(SpatialIntentFrame())
    assert list(d) == ["schema", "version", "timestamp_ns", "timestamp_domain", "reference_space", "head",
                       "head_tracking", "capabilities"]
    assert d["version"] == 1 and d["schema"] == "halberin.spatial-intent"
    assert d["head"] == {"position": [0, 0, 0], "orientation": [0, 0, 0, 1]}
    assert all(type(x) is int for x in d["head"]["orientation"])


@pytest.mark.parametrize("position, expected, first_type", [((1.0, 2.0, 3.0), [1, 2, 3], int),
                                                            ((0.25, 0, 0), [0.25, 0, 0], float),
                                                            ((1e21, 0, 0), [1e21, 0, 0], float)])
def test_number_types(position, expected, first_type):
    f = SpatialIntentFrame()
    f.head_pose.position = Vec3(*position)
    got = to_dict(f)["head"]["position"]
    assert got == expected and type(got[0]) is first_type


def test_generation_max():
    f = SpatialIntentFrame()
    rs = ReferenceSpace()
    rs.generation = 2**64 - 1
    f.reference_space = rs
    assert to_dict(f)["reference_space"]["generation"] == 2**64 - 1


def test_event_dict_nests_frame_dict():
    e = make_event()
    d = to_dict(e)
    assert d["spatial_context"] == to_dict(e.spatial_context)
    assert d == json.loads(to_jsonl(e))


def test_full_frame_matches_loads():
    f = make_full_frame()
    assert to_dict(f) == json.loads(to_jsonl(f))


def test_non_finite_is_none():
    f = SpatialIntentFrame()
    f.head_pose.orientation.w = float("nan")
    assert to_dict(f)["head"]["orientation"] == [0, 0, 0, None]


class FakeJson:
    def __init__(self, result=None, error=None):
        self.calls, self.result, self.error = [], result, error

    def loads(self, text):
        self.calls.append(text)
        if self.error:
            raise self.error
        return self.result


@pytest.fixture
def fake_json(monkeypatch):
    def install(module):
        monkeypatch.setitem(sys.modules, "json", module)
        return module
    return install


def test_json_module_looked_up_each_call(fake_json):
    fake = fake_json(FakeJson(result="sentinel"))
    f = SpatialIntentFrame()
    assert to_dict(f) == "sentinel"
    assert fake.calls == [to_jsonl(f)]


def test_loads_exception_passes_through(fake_json):
    error = ValueError("boom")
    fake_json(FakeJson(error=error))
    with pytest.raises(ValueError) as info:
        to_dict(SpatialIntentFrame())
    assert info.value is error


def test_module_without_loads(fake_json):
    fake_json(object())
    with pytest.raises(AttributeError):
        to_dict(SpatialIntentFrame())


def test_import_failure(fake_json):
    fake_json(None)  # a None entry makes the import raise ImportError
    with pytest.raises(ImportError):
        to_dict(SpatialIntentFrame())


@pytest.fixture
def json_imports(monkeypatch):
    seen = []
    real = builtins.__import__

    def spy(name, *args, **kwargs):
        if name == "json":
            seen.append(name)
        return real(name, *args, **kwargs)
    monkeypatch.setattr(builtins, "__import__", spy)
    return seen


def test_imports_json_on_every_call(json_imports):
    for _ in range(3):
        to_dict(SpatialIntentFrame())
    assert json_imports == ["json"] * 3


@pytest.mark.parametrize("arg", [None, 3, {}])
def test_wrong_type_fails_before_import(json_imports, arg):
    with pytest.raises(TypeError):
        to_dict(arg)
    assert json_imports == []


def test_invalid_utf8(fake_json):
    fake = fake_json(FakeJson(result=1))
    f = SpatialIntentFrame()
    f.timestamp_domain = b"\xff"
    with pytest.raises(UnicodeDecodeError):
        to_dict(f)
    assert fake.calls == []
