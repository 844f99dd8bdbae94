"""Telemetry for the service tests: the recorded human sessions kept beside the repository
(never copied into it), the collector's key pseudonyms applied to them, and tokens
minted with a known key."""

import json
import os
import random
from pathlib import Path
from typing import Any

import pytest

# ../shared/data beside the repository; VELKORA_SHARED_DATA names it when the tests run
# from a copy elsewhere (the wheel test).
_DATA = os.environ.get("VELKORA_SHARED_DATA") or Path(__file__).resolve().parents[2].parent / "shared" / "data"
SESSIONS = Path(_DATA) / "sessions-sample.jsonl"


def real_sessions() -> list[dict[str, Any]]:
    if not SESSIONS.is_file():
        pytest.skip(f"missing: recorded sessions at {SESSIONS}")
    with SESSIONS.open(encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def pseudonymised(session: dict[str, Any], seed: int = 0) -> dict[str, Any]:
    """SESSION with every key name replaced the way the collector does it: one random
    name per distinct key, multi-character so that it never reads as a letter."""
    rng = random.Random(seed)
    names: dict[str, str] = {}
    out = dict(session)
    strokes = []
    for entry in session.get("keystrokes", []):
        entry = dict(entry)
        if "key" in entry:
            key = entry["key"]
            if key not in names:
                names[key] = "~" + "".join(rng.choice("0123456789abcdefghijklmnopqrstuv") for _ in range(4))
            entry["key"] = names[key]
        strokes.append(entry)
    out["keystrokes"] = strokes
    return out


def telemetry_of(session: dict[str, Any]) -> dict[str, Any]:
    return {k: v for k, v in session.items() if not k.startswith("_")}
