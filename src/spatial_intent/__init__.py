"""spatial-intent: the Python side of the `_spatial` module. The record schemas, the
`spatial` command for recorded sessions, and the helpers hosts share.

The values, the timeline and the records themselves are the native module `_spatial`."""

from __future__ import annotations

import importlib.metadata
import importlib.resources
import json
from fractions import Fraction
from typing import Any

__all__ = ["SCHEMA_FILES", "__version__", "nanoseconds", "schema"]

try:
    __version__ = importlib.metadata.version("spatial-intent")
except importlib.metadata.PackageNotFoundError:  # run from a source tree
    __version__ = "0+unknown"

# The JSON Schema (draft 2020-12) of each record, by the name its "schema" member holds.
SCHEMA_FILES = {"halberin.spatial-intent": "spatial-intent.v1.schema.json",
                "halberin.contextual-intent": "contextual-intent.v1.schema.json"}


def schema(name: str) -> dict[str, Any]:
    """The JSON Schema of the record named `name` ("halberin.spatial-intent" or
    "halberin.contextual-intent"), parsed. The event's refers to the frame's by its
    "$id": register both with a validator."""
    try:
        file = SCHEMA_FILES[name]
    except KeyError:
        raise ValueError(f"no record is named {name!r}; expected one of {', '.join(map(repr, SCHEMA_FILES))}") from None
    loaded: dict[str, Any] = json.loads(importlib.resources.files(__name__).joinpath("schemas", file).read_text())
    return loaded


def nanoseconds(seconds: float) -> int:
    """A time or a span in seconds as a count of nanoseconds, rounded to the nearest one.
    Every time given in seconds becomes a timestamp through this, so that a time written
    as a frame's own (2.01 s after the first) pairs with that frame, never the one before
    it, however the decimal fell in binary. ValueError or OverflowError for a value that
    is not finite."""
    return round(Fraction(seconds) * 1_000_000_000)
