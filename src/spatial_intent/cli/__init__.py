"""The spatial command: check, inspect, replay and picture recorded sessions of spatial
intent records (JSON Lines written by to_jsonl)."""

from .main import main

__all__ = ["main"]
