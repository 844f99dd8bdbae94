"""The key representation the browser collector sends, given to people and bots alike.

The shared data and a bot's script hold key *records* in one of four formats
(``{key, down, up}``, ``{key, t, duration_ms}``, ``{key, time, up}``, ``{key, down}``).
The collector never sees records: it sees keydown and keyup events, keeps one entry
per press, drops a press of a key that is already down (it keys its state by
``KeyboardEvent.code``), lets a release end the open press of that key, stops taking
presses after 150, keeps the names of the non-character keys (NAMED_KEYS) and replaces
every other key name by a pseudonym. This module rebuilds the
event stream from the records and runs that state machine, so that a detector sees the
same kind of key data from everyone, whatever format a person's data came in.

Standard library only.
"""

from __future__ import annotations

import random
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from detection.actions import Key

MAX_KEYS = 150
# The keys whose names the collector sends as they are (collector.js, NAMED_KEYS): what they
# say about typing (capitals, corrections, navigation) is no typed text.
NAMED_KEYS = frozenset({"Shift", "Control", "Alt", "AltGraph", "Meta", "CapsLock", "Backspace", "Delete", "Enter",
                        "Tab", "Escape", "ArrowLeft", "ArrowRight", "ArrowUp", "ArrowDown", "Home", "End", "PageUp",
                        "PageDown"})
_PSEUDONYM_DIGITS = "0123456789abcdefghijklmnopqrstuv"  # (byte & 31).toString(32)

# KeyboardEvent.code of a US keyboard for the key names the data and the bots use; any
# other name (Backspace, Enter, CapsLock, ArrowLeft, ...) is its own code.
_SHIFTED_DIGITS = ")!@#$%^&*("
_PUNCTUATION_CODES = {
    "-": "Minus", "_": "Minus", "=": "Equal", "+": "Equal",
    "[": "BracketLeft", "{": "BracketLeft", "]": "BracketRight", "}": "BracketRight",
    "\\": "Backslash", "|": "Backslash", ";": "Semicolon", ":": "Semicolon",
    "'": "Quote", '"': "Quote", ",": "Comma", "<": "Comma", ".": "Period", ">": "Period",
    "/": "Slash", "?": "Slash", "`": "Backquote", "~": "Backquote", " ": "Space",
    "Shift": "ShiftLeft", "Control": "ControlLeft", "Alt": "AltLeft", "Meta": "MetaLeft",
}  # fmt: skip


def key_code(key: str) -> str:
    """The ``KeyboardEvent.code`` a US keyboard gives KEY: 'h' and 'H' are one key, so a
    capital pressed while the lower-case letter is down is a second press of it."""
    if len(key) == 1:
        if key.isascii() and key.isalpha():
            return "Key" + key.upper()
        if key.isdigit():
            return "Digit" + key
        if key in _SHIFTED_DIGITS:
            return "Digit" + str(_SHIFTED_DIGITS.index(key))
    return _PUNCTUATION_CODES.get(key, key)


@dataclass(frozen=True)
class Press:
    """One record, whatever its format: the key, its press time and its release time."""

    key: str
    down: float
    up: float | None


def press_of(record: Mapping[str, Any]) -> Press:
    """The press in one record of any of the four formats."""
    key = str(record["key"])
    if "down" in record:
        down = record["down"]
        up = record.get("up")
    elif "time" in record:
        down, up = record["time"], record.get("up")
    elif "t" in record:
        down = record["t"]
        duration = record.get("duration_ms")
        up = None if duration is None else down + duration
    else:
        raise ValueError(f"key record without a press time: {dict(record)!r}")
    return Press(key, down, up)


def records_of(keys: Iterable[Key], key_format: str, offset: float = 0, whole_ms: bool = True) -> list[dict[str, Any]]:
    """A bot's keys as the shared data would hold them in KEY_FORMAT: times moved by
    OFFSET and, like the data, in whole milliseconds when WHOLE_MS."""

    def at(v: float) -> float:
        return round(v + offset) if whole_ms else v + offset

    out: list[dict[str, Any]] = []
    for k in keys:
        down = at(k.down)
        up = None if k.up is None else at(k.up)
        if key_format == "down_only" or (up is None and key_format != "t_duration"):
            out.append({"key": k.key, "down": down} if key_format != "time_up" else {"key": k.key, "time": down})
        elif key_format == "down_up":
            out.append({"key": k.key, "down": down, "up": up})
        elif key_format == "time_up":
            out.append({"key": k.key, "time": down, "up": up})
        elif key_format == "t_duration":
            rec: dict[str, Any] = {"key": k.key, "t": down}
            if up is not None:
                rec["duration_ms"] = up - down
            out.append(rec)
        else:
            raise ValueError(f"unknown key format {key_format!r}")
    return out


def events_of(presses: Sequence[Press]) -> list[tuple[float, bool, str, bool]]:
    """The keydown/keyup stream the records stand for, as (time, is_down, key, released):
    RELEASED is false on the press of a record that has no release time.

    At equal times a release goes before a press (a key let go and struck again in the
    same millisecond is a release, then a press), except a record's own release of a
    zero-length press, which follows its press. A release before its own press cannot
    happen on a keyboard; it is kept at its time and so ends nothing.
    """
    stamped: list[tuple[float, int, int, int, bool, str, bool]] = []
    for i, p in enumerate(presses):
        stamped.append((p.down, 1, i, 0, True, p.key, p.up is not None))
        if p.up is not None:
            order = (1, i, 1) if p.up == p.down else (0, i, 0)
            stamped.append((p.up, *order, False, p.key, True))
    stamped.sort(key=lambda e: e[:4])
    return [(t, is_down, key, released) for t, _, _, _, is_down, key, released in stamped]


def collector_presses(events: Iterable[tuple[float, bool, str, bool]], max_keys: int = MAX_KEYS) -> list[Press]:
    """The collector's state machine (``onKeyDown``/``onKeyUp`` in collector.js): one
    entry per accepted press, at most MAX_KEYS presses, a press of a key already down
    dropped, a release ending the open press of its key and nothing else.

    A record without a release time (the data's keydown-only format) is a release that
    was not recorded, not a key held for the rest of the session: the person let the key
    go before striking it again, so the next press of that key ends it (still without a
    release time) instead of being dropped as a press of a key that is down."""
    entries: list[list[Any]] = []
    open_press: dict[str, int] = {}
    unrecorded_release: set[str] = set()
    for t, is_down, key, released in events:
        code = key_code(key)
        if is_down:
            if code in unrecorded_release:
                unrecorded_release.discard(code)
                open_press.pop(code, None)
            if len(entries) >= max_keys or code in open_press:
                continue
            open_press[code] = len(entries)
            if not released:
                unrecorded_release.add(code)
            entries.append([key, t, None])
        else:
            index = open_press.pop(code, None)
            unrecorded_release.discard(code)
            if index is not None:
                entries[index][2] = t
    return [Press(key, down, up) for key, down, up in entries]


class Pseudonyms:
    """Key names to collector pseudonyms ('~' and four base-32 digits, as ``randomName``
    draws them), equal names to equal pseudonyms, distinct names to distinct ones; drawn
    from the session's id, so that a build is reproducible."""

    def __init__(self, session_id: str) -> None:
        self._rng = random.Random(f"keyshape:{session_id}")
        self._names: dict[str, str] = {}
        self._used: set[str] = set()

    def __call__(self, key: str) -> str:
        name = self._names.get(key)
        if name is None:
            while True:
                name = "~" + "".join(_PSEUDONYM_DIGITS[self._rng.getrandbits(8) & 31] for _ in range(4))
                if name not in self._used:
                    break
            self._used.add(name)
            self._names[key] = name
        return name


def shape_presses(presses: Sequence[Press], session_id: str, max_keys: int = MAX_KEYS) -> list[dict[str, Any]]:
    """What the collector would send for these presses: ``{key, down, up}`` with the key
    pseudonymised unless it is one of NAMED_KEYS, and no ``up`` where the key was never
    released."""
    name = Pseudonyms(session_id)
    out: list[dict[str, Any]] = []
    for p in collector_presses(events_of(presses), max_keys):
        entry: dict[str, Any] = {"key": p.key if p.key in NAMED_KEYS else name(p.key), "down": p.down}
        if p.up is not None:
            entry["up"] = p.up
        out.append(entry)
    return out


def keyshape(records: Iterable[Mapping[str, Any]], session_id: str, max_keys: int = MAX_KEYS) -> list[dict[str, Any]]:
    """Records of any format, as the collector would have sent them."""
    return shape_presses([press_of(r) for r in records], session_id, max_keys)
