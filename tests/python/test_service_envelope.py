"""What the envelope accepts can always be scored: every number is bounded at validation,
and over any valid envelope (hypothesis) the whole pipeline, from the bytes to the
rendered answer with its features, returns a verdict instead of raising."""

import asyncio
import itertools
import json
import math
import time
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st
from velkora.service import tokens
from velkora.service.app import _verdict_body, finite_features
from velkora.service.assess import COORD_LIMIT, MAX_BROWSER_COUNT, TIME_LIMIT, Refusal, assess, parse_envelope
from velkora.service.policy import Policy
from velkora.service.state import LocalState

SECRET = b"envelope-test-signing-secret-0123456789"
KEYS = {"k1": SECRET}
POLICY = Policy.load()
_IDS = itertools.count()


def _number(low: float, high: float) -> st.SearchStrategy[float | int]:
    """Both JSON number kinds, with the bounds themselves and the extremes near them."""
    ints = st.integers(math.ceil(low), math.floor(high))
    return st.one_of(ints, st.floats(low, high, allow_nan=False), st.sampled_from([low, high, 0.0, -0.0 if low < 0
                                                                                    else 0.0]))


coord = _number(-COORD_LIMIT, COORD_LIMIT)
stamp = _number(0.0, TIME_LIMIT)
sample = st.fixed_dictionaries({"x": coord, "y": coord, "t": stamp}, optional={"r": coord, "f": coord})
keystroke = st.fixed_dictionaries({}, optional={
    "key": st.text(max_size=8), "t": stamp, "down": stamp, "time": stamp, "up": stamp, "duration_ms": stamp})
browser = st.fixed_dictionaries({}, optional={
    "webdriver": st.booleans(), "touch_supported": st.booleans(),
    "screen_width": _number(0, COORD_LIMIT), "screen_height": _number(0, COORD_LIMIT),
    "max_touch_points": _number(0, MAX_BROWSER_COUNT), "plugins_length": _number(0, MAX_BROWSER_COUNT)})
telemetry = st.fixed_dictionaries({}, optional={
    "browser": browser,
    # Clustered near one point as well as spread over the whole range: both extremes of speed.
    "mouse_movements": st.lists(sample, max_size=40) | st.lists(
        st.builds(lambda x, dt, i: {"x": x, "y": x, "t": dt * i}, coord, st.floats(0, 1e-3), st.integers(0, 30)),
        min_size=4, max_size=40),
    "keystrokes": st.lists(keystroke, max_size=30),
    "clicks": st.lists(st.just({}), max_size=3),
    "scrolls": st.lists(st.just({}), max_size=3),
})


def _signals() -> Any:
    try:
        import velkora._signals as signals
    except ImportError:
        return None
    return signals.trace_sketch


@given(telemetry)
def test_any_valid_envelope_is_scored_and_rendered(data: dict[str, Any]) -> None:
    now = time.time()
    text, _ = tokens.issue(SECRET, "k1", int(now), 300, token_id=next(_IDS).to_bytes(16, "big"))
    body = json.dumps({"nonce": text, "telemetry": data}, allow_nan=False).encode()

    async def run() -> None:
        state = LocalState(prefix=f"envelope-{time.time_ns()}:")
        result = await assess(body, client_ip="192.0.2.9", authenticated=False, idempotency_key=None, keys=KEYS,
                              state=state, policy=POLICY, now=now, leeway_sec=5, nonce_ttl_sec=311,
                              sketch=_signals())
        # The answer as the service writes it, the demo's features included.
        json.dumps({**_verdict_body(result), "features": finite_features(result.features)}, allow_nan=False)
        assert 0.0 <= result.verdict.score <= 1.0

    asyncio.run(run())


@pytest.mark.parametrize(("telemetry", "field"), [
    ({"mouse_movements": [{"x": 1.5e308, "y": 0, "t": 0}]}, "telemetry.mouse_movements[0].x"),
    ({"mouse_movements": [{"x": 0, "y": -COORD_LIMIT - 1, "t": 0}]}, "telemetry.mouse_movements[0].y"),
    ({"mouse_movements": [{"x": 0, "y": 0, "t": 10**400}]}, "telemetry.mouse_movements[0].t"),
    ({"mouse_movements": [{"x": 0, "y": 0, "t": -1}]}, "telemetry.mouse_movements[0].t"),
    ({"mouse_movements": [{"x": 0, "y": 0, "t": 1, "r": 10**30}]}, "telemetry.mouse_movements[0].r"),
    ({"keystrokes": [{"down": 1e13 + 1}]}, "telemetry.keystrokes[0].down"),
    ({"keystrokes": [{"down": 5, "duration_ms": -3}]}, "telemetry.keystrokes[0].duration_ms"),
    ({"browser": {"screen_width": 10**400}}, "telemetry.browser.screen_width"),
    ({"browser": {"plugins_length": -1}}, "telemetry.browser.plugins_length"),
    ({"browser": {"max_touch_points": MAX_BROWSER_COUNT + 1}}, "telemetry.browser.max_touch_points"),
])
def test_numbers_out_of_bounds_are_refused_with_their_field(telemetry: dict[str, Any], field: str) -> None:
    with pytest.raises(Refusal) as caught:
        parse_envelope(json.dumps({"nonce": "x", "telemetry": telemetry}).encode(), allow_remoteip=False)
    assert (caught.value.status, caught.value.code, caught.value.field) == (422, "telemetry-invalid", field)


@pytest.mark.parametrize(("body", "status", "code", "field"), [
    (b'{"nonce": "x", "telemetry": {"mouse_movements": [{"x": 1, "t": 2}]}}', 422, "telemetry-invalid",
     "telemetry.mouse_movements[0].y"),
    (b'{"nonce": "x", "telemetry": {"keystrokes": [{}, {"key": "' + b"k" * 65 + b'"}]}}', 422,
     "telemetry-invalid", "telemetry.keystrokes[1].key"),
    (b'{"nonce": "x", "telemetry": {"mouse_movements": [' + b",".join([b'{"x": 0, "y": 0, "t": 0}'] * 5001)
     + b"]}}", 422, "telemetry-invalid", "telemetry.mouse_movements"),
    (b'{"nonce": "x", "telemetry": {}, "remoteip": 5}', 422, "envelope-invalid", "remoteip"),
    (b'{"nonce": "x", "telemetry": null}', 422, "telemetry-invalid", "telemetry"),
    (b'{"nonce": "x", "telemetry": {"clicks": [' + b"[" * 100_000 + b"]" * 100_000 + b"]}}", 400,
     "json-malformed", None),
    (b'{"nonce": "x", "telemetry": {}} trailing', 400, "json-malformed", None),
    (b"\xff", 400, "json-malformed", None),
])
def test_decoder_errors_keep_their_codes_and_paths(body: bytes, status: int, code: str, field: str | None) -> None:
    with pytest.raises(Refusal) as caught:
        parse_envelope(body, allow_remoteip=True)
    assert (caught.value.status, caught.value.code, caught.value.field) == (status, code, field)


def test_what_is_scored_is_what_was_sent_less_unknown_keys() -> None:
    telemetry = {"browser": {"max_touch_points": 5, "screen_width": 1280}, "extra": [1],
                 "mouse_movements": [{"x": 1.5, "y": 2, "t": 3, "r": 4, "unknown": "z"}],
                 "keystrokes": [{"key": None, "down": 5}], "clicks": [{"t": 1}, 7]}
    envelope = parse_envelope(json.dumps({"nonce": "x", "telemetry": telemetry}).encode(), allow_remoteip=False)
    assert envelope.telemetry == {"browser": {"max_touch_points": 5, "screen_width": 1280},
                                  "mouse_movements": [{"x": 1.5, "y": 2, "t": 3, "r": 4}],
                                  "keystrokes": [{"key": None, "down": 5}], "clicks": [{"t": 1}, 7]}
    # A count stays an integer (the native reader takes no float as a count).
    assert type(envelope.telemetry["browser"]["max_touch_points"]) is int


def test_epoch_milliseconds_and_the_bounds_themselves_pass() -> None:
    epoch_ms = time.time() * 1000
    telemetry = {"mouse_movements": [{"x": -COORD_LIMIT, "y": COORD_LIMIT, "t": epoch_ms},
                                     {"x": COORD_LIMIT, "y": -COORD_LIMIT, "t": TIME_LIMIT}],
                 "keystrokes": [{"key": "a", "down": epoch_ms, "up": int(epoch_ms) + 90}]}
    envelope = parse_envelope(json.dumps({"nonce": "x", "telemetry": telemetry}).encode(), allow_remoteip=False)
    assert envelope.telemetry == telemetry


def test_non_finite_features_render_as_null() -> None:
    assert finite_features({"a": math.nan, "b": math.inf, "c": 1.5, "d": 3, "e": True}) == \
        {"a": None, "b": None, "c": 1.5, "d": 3, "e": True}
