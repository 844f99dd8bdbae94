"""The request envelope as types: one pass of a typed JSON decoder (msgspec) parses and
validates the body, and its errors become the service's problem codes and field paths.

Every number the envelope accepts is bounded, so that scoring what passes cannot
overflow: positions and sizes within ``COORD_LIMIT`` CSS px, times within
``0..TIME_LIMIT`` ms (epoch milliseconds pass), browser counts within
``0..MAX_BROWSER_COUNT``; a JSON number out of range (``1e400``, ``10**400``) is refused
like any other. Lists are capped at the documented lengths. Unknown keys are ignored at
every level, as the native reader ignores them; what is scored is exactly what was
validated (the decoded values, turned back into plain dicts and lists).

Codes: ``json-malformed`` (400) for a body that is not JSON, ``body-not-object`` (422) for
JSON that is not an object, ``envelope-invalid`` (422) for ``nonce``, a missing
``telemetry`` and ``remoteip``, ``telemetry-invalid`` (422) for anything inside
``telemetry``; ``field`` is the path of the first wrong value, as
``telemetry.mouse_movements[3].x``.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Annotated, Any

import msgspec
from msgspec import UNSET, Meta, Struct, UnsetType

MAX_POINTS = 5000
MAX_KEYS = 1000
MAX_COUNTED = 10000
MAX_KEY_NAME = 64
COORD_LIMIT = 1e7
TIME_LIMIT = 1e13
MAX_BROWSER_COUNT = 10_000

Coord = Annotated[float, Meta(ge=-COORD_LIMIT, le=COORD_LIMIT)]
Size = Annotated[float, Meta(ge=0, le=COORD_LIMIT)]
Time = Annotated[float, Meta(ge=0, le=TIME_LIMIT)]
# An int stays an int: the native reader takes only integers as counts.
Count = Annotated[int, Meta(ge=0, le=MAX_BROWSER_COUNT)] | Annotated[float, Meta(ge=0, le=MAX_BROWSER_COUNT)]


class Browser(Struct):
    webdriver: bool | UnsetType = UNSET
    touch_supported: bool | UnsetType = UNSET
    screen_width: Size | UnsetType = UNSET
    screen_height: Size | UnsetType = UNSET
    max_touch_points: Count | UnsetType = UNSET
    plugins_length: Count | UnsetType = UNSET


class PointerSample(Struct):
    x: Coord
    y: Coord
    t: Time
    r: Coord | UnsetType = UNSET
    f: Coord | UnsetType = UNSET


class Keystroke(Struct):
    key: Annotated[str, Meta(max_length=MAX_KEY_NAME)] | None | UnsetType = UNSET
    t: Time | None | UnsetType = UNSET
    down: Time | None | UnsetType = UNSET
    time: Time | None | UnsetType = UNSET
    up: Time | None | UnsetType = UNSET
    duration_ms: Time | None | UnsetType = UNSET


class Telemetry(Struct):
    browser: Browser | UnsetType = UNSET
    mouse_movements: Annotated[list[PointerSample], Meta(max_length=MAX_POINTS)] | UnsetType = UNSET
    keystrokes: Annotated[list[Keystroke], Meta(max_length=MAX_KEYS)] | UnsetType = UNSET
    # Only their lengths are read.
    clicks: Annotated[list[Any], Meta(max_length=MAX_COUNTED)] | UnsetType = UNSET
    scrolls: Annotated[list[Any], Meta(max_length=MAX_COUNTED)] | UnsetType = UNSET


class EnvelopeBody(Struct):
    nonce: str
    telemetry: Telemetry
    remoteip: str | None = None


@dataclass(frozen=True)
class EnvelopeError(Exception):
    status: int
    code: str
    detail: str
    field: str | None = None


_DECODER = msgspec.json.Decoder(EnvelopeBody)
_AT = re.compile(r"^(?P<message>.*?)(?: - at `\$(?P<path>[^`]*)`)?$", re.DOTALL)
_MISSING = re.compile(r"^Object missing required field `(?P<name>[^`]+)`$")
_BOUNDS = {**dict.fromkeys(("x", "y", "r", "f"), (-COORD_LIMIT, COORD_LIMIT)),
           **dict.fromkeys(("screen_width", "screen_height"), (0, COORD_LIMIT)),
           **dict.fromkeys(("t", "down", "time", "up", "duration_ms"), (0, TIME_LIMIT)),
           **dict.fromkeys(("max_touch_points", "plugins_length"), (0, MAX_BROWSER_COUNT))}


def _leaf(field: str) -> str:
    return field.rsplit(".", 1)[-1]


def _refusal(error: msgspec.ValidationError, body: bytes) -> EnvelopeError:
    match = _AT.match(str(error))
    assert match is not None  # the pattern matches any text
    message, path = match["message"], (match["path"] or "").lstrip(".")
    missing = _MISSING.match(message)
    if missing:
        if not path:  # nonce or telemetry itself
            return EnvelopeError(422, "envelope-invalid", f"{missing['name']} is required", missing["name"])
        path = f"{path}.{missing['name']}"
    if not path:
        # The body is not an object: malformed JSON, or JSON of another kind?
        try:
            msgspec.json.decode(body)
        except (msgspec.DecodeError, RecursionError):
            return EnvelopeError(400, "json-malformed", "the body is not valid JSON")
        return EnvelopeError(422, "body-not-object", "the body must be a JSON object")
    if message == "Number out of range" and _leaf(path) in _BOUNDS:
        low, high = _BOUNDS[_leaf(path)]
        message = f"{_leaf(path)} must be a number from {low:g} to {high:g}"
    if path == "telemetry" or path.startswith(("telemetry.", "telemetry[")):
        return EnvelopeError(422, "telemetry-invalid", message, path)
    return EnvelopeError(422, "envelope-invalid", message, path)


def decode(body: bytes) -> tuple[str, dict[str, Any], str | None]:
    """(nonce, telemetry as plain dicts and lists, remoteip as sent); raises EnvelopeError."""
    try:
        envelope = _DECODER.decode(body)
    except msgspec.ValidationError as error:
        raise _refusal(error, body) from None
    except (msgspec.DecodeError, RecursionError):
        raise EnvelopeError(400, "json-malformed", "the body is not valid JSON") from None
    telemetry: dict[str, Any] = msgspec.to_builtins(envelope.telemetry)
    return envelope.nonce, telemetry, envelope.remoteip
