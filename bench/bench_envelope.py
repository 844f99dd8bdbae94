"""Parse-and-validate cost of the service's request envelope, per request: the typed
decoder the service uses (msgspec, velkora.service.envelope) against the path it
replaced (the standard library's json plus validation by hand, kept below as it was),
over the load benchmark's 300-point, 60-key payload and a small one. Both refuse and
accept the same bodies with the same codes (tests/python/test_service_http.py).

    python bench/bench_envelope.py [--rounds 2000]
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path
from typing import Any

from velkora._state_common import normalise_ip
from velkora.service.envelope import (
    COORD_LIMIT,
    MAX_BROWSER_COUNT,
    MAX_COUNTED,
    MAX_KEY_NAME,
    MAX_KEYS,
    MAX_POINTS,
    TIME_LIMIT,
    decode,
)

sys.path.insert(0, str(Path(__file__).resolve().parent))
from service_load import payload  # noqa: E402


class _Refused(Exception):
    pass


_BROWSER_BOUNDS = {"screen_width": (0.0, COORD_LIMIT), "screen_height": (0.0, COORD_LIMIT),
                   "max_touch_points": (0, MAX_BROWSER_COUNT), "plugins_length": (0, MAX_BROWSER_COUNT)}
_SAMPLE_BOUNDS = {"x": (-COORD_LIMIT, COORD_LIMIT), "y": (-COORD_LIMIT, COORD_LIMIT), "t": (0.0, TIME_LIMIT),
                  "r": (-COORD_LIMIT, COORD_LIMIT), "f": (-COORD_LIMIT, COORD_LIMIT)}
_KEY_TIMES = ("t", "down", "time", "up", "duration_ms")


# --- the previous path, as it was -----------------------------------------------------

def _reject_constant(name: str) -> float:
    raise ValueError(f"{name} is not JSON")


def parse_json(body: bytes) -> object:
    try:
        return json.loads(body, parse_constant=_reject_constant)
    except (ValueError, RecursionError):
        raise _Refused(400, "json-malformed", "the body is not valid JSON") from None


def _is_number(value: object, low: float, high: float) -> bool:
    """A JSON number from LOW to HIGH (the parser makes exact ints and floats; a bool is no
    number). The comparisons never convert an int to a float, so 10**400 is simply out of
    range and NaN fails them."""
    kind = type(value)
    return (kind is float or kind is int) and low <= value <= high  # type: ignore[operator]


def _bounds_text(low: float, high: float) -> str:
    return f"a number from {low:g} to {high:g}"


def _list(telemetry: dict[str, Any], name: str, cap: int) -> list[Any]:
    value = telemetry.get(name, [])
    if not isinstance(value, list):
        raise _Refused(422, "telemetry-invalid", f"{name} must be a list", f"telemetry.{name}")
    if len(value) > cap:
        raise _Refused(422, "telemetry-invalid", f"{name} holds more than {cap} entries", f"telemetry.{name}")
    return value


def validate_telemetry(telemetry: object) -> dict[str, Any]:
    """The telemetry object, checked against what the reader uses; a refusal names the
    first field that is wrong."""
    if not isinstance(telemetry, dict):
        raise _Refused(422, "telemetry-invalid", "telemetry must be an object", "telemetry")
    browser = telemetry.get("browser", {})
    if not isinstance(browser, dict):
        raise _Refused(422, "telemetry-invalid", "browser must be an object", "telemetry.browser")
    for name in ("webdriver", "touch_supported"):
        if name in browser and not isinstance(browser[name], bool):
            raise _Refused(422, "telemetry-invalid", f"{name} must be a boolean", f"telemetry.browser.{name}")
    for name, (low, high) in _BROWSER_BOUNDS.items():
        if name in browser and not _is_number(browser[name], low, high):
            raise _Refused(422, "telemetry-invalid", f"{name} must be {_bounds_text(low, high)}",
                          f"telemetry.browser.{name}")
    c, tl = COORD_LIMIT, TIME_LIMIT
    for i, sample in enumerate(_list(telemetry, "mouse_movements", MAX_POINTS)):
        if type(sample) is dict and _is_number(sample.get("x"), -c, c) and _is_number(sample.get("y"), -c, c) \
                and _is_number(sample.get("t"), 0.0, tl) and ("r" not in sample or _is_number(sample["r"], -c, c)) \
                and ("f" not in sample or _is_number(sample["f"], -c, c)):
            continue
        where = f"telemetry.mouse_movements[{i}]"
        if not isinstance(sample, dict):
            raise _Refused(422, "telemetry-invalid", "a pointer sample must be an object", where)
        for name, (low, high) in _SAMPLE_BOUNDS.items():
            if (name in "xyt" or name in sample) and not _is_number(sample.get(name), low, high):
                raise _Refused(422, "telemetry-invalid", f"{name} must be {_bounds_text(low, high)}", f"{where}.{name}")
    for i, entry in enumerate(_list(telemetry, "keystrokes", MAX_KEYS)):
        where = f"telemetry.keystrokes[{i}]"
        if not isinstance(entry, dict):
            raise _Refused(422, "telemetry-invalid", "a keystroke must be an object", where)
        key = entry.get("key")
        if key is not None and (not isinstance(key, str) or len(key) > MAX_KEY_NAME):
            raise _Refused(422, "telemetry-invalid", f"key must be a string of at most {MAX_KEY_NAME}", f"{where}.key")
        for name in _KEY_TIMES:
            value = entry.get(name)
            if value is not None and not _is_number(value, 0.0, tl):
                raise _Refused(422, "telemetry-invalid", f"{name} must be {_bounds_text(0.0, tl)}", f"{where}.{name}")
    for name in ("clicks", "scrolls"):
        _list(telemetry, name, MAX_COUNTED)
    return telemetry


def parse_envelope(body: bytes, *, allow_remoteip: bool) -> tuple[str, dict[str, Any], str | None]:
    data = parse_json(body)
    if not isinstance(data, dict):
        raise _Refused(422, "body-not-object", "the body must be a JSON object")
    nonce = data.get("nonce")
    if not isinstance(nonce, str):
        raise _Refused(422, "envelope-invalid", "nonce must be a string", "nonce")
    if "telemetry" not in data:
        raise _Refused(422, "envelope-invalid", "telemetry is required", "telemetry")
    remoteip: str | None = None
    raw_ip = data.get("remoteip")
    if raw_ip is not None:
        if not isinstance(raw_ip, str):
            raise _Refused(422, "envelope-invalid", "remoteip must be a string", "remoteip")
        if allow_remoteip:
            try:
                remoteip = normalise_ip(raw_ip.strip())
            except ValueError:
                raise _Refused(422, "envelope-invalid", "remoteip is not an IP address", "remoteip") from None
    telemetry = validate_telemetry(data["telemetry"])
    return nonce, telemetry, remoteip



# --- the figures ---------------------------------------------------------------------


def per_call_us(fn: Any, body: bytes, rounds: int) -> float:
    best = float("inf")
    for _ in range(5):
        started = time.perf_counter()
        for _ in range(rounds):
            fn(body)
        best = min(best, time.perf_counter() - started)
    return best / rounds * 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=2000)
    args = parser.parse_args()
    nonce = "v1.k1." + "A" * 44 + "." + "B" * 43
    bodies = {"300 points, 60 keys": json.dumps({"nonce": nonce, "telemetry": payload()}).encode(),
              "empty telemetry": json.dumps({"nonce": nonce, "telemetry": {}}).encode()}
    print("envelope parse and validate, per request (best of 5)")
    print(f"{'body':<22}{'bytes':>8}{'json + by hand':>18}{'msgspec':>12}{'ratio':>8}")
    for name, body in bodies.items():
        before = per_call_us(lambda b: parse_envelope(b, allow_remoteip=True), body, args.rounds)
        after = per_call_us(decode, body, args.rounds)
        print(f"{name:<22}{len(body):>8}{before:>15.1f} us{after:>9.1f} us{before / after:>7.1f}x")


if __name__ == "__main__":
    main()
