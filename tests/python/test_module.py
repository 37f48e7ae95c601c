import importlib
import subprocess
import sys

import pytest

import _spatial

REGISTRATION_ORDER = [
    "Vec3", "Quaternion", "Pose", "Ray", "TrackingConfidence", "PointingSource", "PointingIntent",
    "SelectState", "SpatialHit", "ReferenceSpace", "CapabilitySnapshot", "SpatialIntentFrame",
    "ContextualIntentEvent", "IntentTimeline", "resolve_target", "to_jsonl", "to_dict",
    "from_jsonl", "from_dict",
]


def test_docstring():
    assert _spatial.__doc__ == "Host-neutral spatial intent values and host grounding pass"


def test_registration_order():
    public = [name for name in vars(_spatial) if not name.startswith("_")]
    assert public == REGISTRATION_ORDER


@pytest.mark.parametrize("name", ["UNAVAILABLE", "HEAD", "CONTROLLER", "POSITION_AND_ORIENTATION"])
def test_enum_members_not_exported(name):
    assert not hasattr(_spatial, name)


def test_overloads_frame_first():
    for fn in (_spatial.to_jsonl, _spatial.to_dict):
        doc = fn.__doc__
        assert doc.index("1. %s(arg0: _spatial.SpatialIntentFrame)" % fn.__name__) < doc.index(
            "2. %s(arg0: _spatial.ContextualIntentEvent)" % fn.__name__)
    assert "Return a JSON-compatible realtime frame." in _spatial.to_dict.__doc__
    assert "Return JSON-compatible agent/tool input." in _spatial.to_dict.__doc__


def test_reimport_does_not_rerun_body():
    marker = _spatial.Vec3
    del sys.modules["_spatial"]
    again = importlib.import_module("_spatial")
    assert again.Vec3 is marker


def test_subinterpreter_import_fails():
    interpreters = pytest.importorskip("concurrent.interpreters")
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.ExecutionFailed) as info:
            interp.exec("import _spatial")
        assert "ImportError" in str(info.value)
    finally:
        interp.close()


FAKE_VERSION = """
import ctypes, sys
get = ctypes.pythonapi.Py_GetVersion
get.restype = ctypes.c_void_p
text = sys.argv[1].encode() + b"\\0"
ctypes.memmove(get(), text, len(text))
try:
    import _spatial
except ImportError as e:
    print("ImportError:", e)
else:
    print("loaded", hasattr(_spatial, "Vec3"))
"""


@pytest.mark.parametrize("version, loads", [
    ("3.15.0 (main)", False), ("3.13.1 (main)", False), ("3.141 (main)", False),
    ("3.14rc1 (main)", True), ("3.14.0 (main)", True),
])
def test_version_check(version, loads):
    out = subprocess.run([sys.executable, "-c", FAKE_VERSION, version],
                         capture_output=True, text=True, check=True).stdout.strip()
    if loads:
        assert out == "loaded True"
    else:
        assert out == ("ImportError: Python version mismatch: module was compiled for Python 3.14, "
                       "but the interpreter version is incompatible: %s." % version)
