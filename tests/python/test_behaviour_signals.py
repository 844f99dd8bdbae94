"""velkora._signals.signals: key order and types, worked examples on hand-made pointer paths
and key sequences, the forgiving reader under hostile telemetry, determinism across
processes, invariants over random sessions, references, and the fuzz target's oracle."""

import json
import math
import os
import pathlib
import random
import struct
import subprocess
import sys
import textwrap
import types

import pytest
from hostile import CollidingKey, Index, RaisingFloat, RaisingIndex
from hypothesis import given, settings
from hypothesis import strategies as st
from test_leaks import reachable
from velkora import _signals

KEYS = [
    "pointer_movement_count", "pointer_movement_duration_median_ms", "pointer_straightness_median",
    "pointer_straightness_min", "pointer_peak_time_median", "pointer_peak_time_iqr",
    "pointer_submovements_mean", "pointer_submovements_multi_share", "pointer_backtrack_mean",
    "pointer_endpoint_phase_median", "pointer_overshoot_share", "pointer_overshoot_mean",
    "pointer_fitts_slope_ms", "pointer_fitts_intercept_ms", "pointer_fitts_residual_ms",
    "pointer_zero_step_share", "pointer_unit_step_share", "pointer_axis_step_share",
    "pointer_collinear_share", "pointer_turn_mean_abs", "pointer_turn_p90_abs", "pointer_turn_zero_share",
    "pointer_turn_sign_change_share", "key_press_count", "key_shift_share", "key_modifier_share",
    "key_shift_chord_share", "key_rollover_share", "key_correction_share", "key_hold_p10_ms",
    "key_hold_p50_ms", "key_hold_p90_ms", "key_hold_iqr_ratio", "key_hold_cv", "key_flight_rp_p10_ms",
    "key_flight_rp_p50_ms", "key_flight_rp_p90_ms", "key_flight_rp_iqr_ms", "key_flight_pp_p10_ms",
    "key_flight_pp_p50_ms", "key_flight_pp_p90_ms", "key_flight_pp_iqr_ratio", "key_negative_flight_share",
    "key_digraph_cv_median"]
POINTER_KEYS = [k for k in KEYS if k.startswith("pointer_")]
KEY_KEYS = [k for k in KEYS if k.startswith("key_")]


def bits(result: dict) -> dict:
    """The values as their bit patterns: NaN equals NaN, 0.0 differs from -0.0."""
    return {k: struct.pack("<d", v) for k, v in result.items()}


def line(x0=0.0, y=0.0, t0=0.0, dx=10.0, dt=10.0, steps=20):
    return [{"x": x0 + dx * k, "y": y, "t": t0 + dt * k} for k in range(steps + 1)]


# "Hello" with Shift over H and e, a rollover from e to l, a correction and a Control press.
HELLO = [{"key": "Shift", "down": 0, "up": 300}, {"key": "H", "down": 100, "up": 180},
         {"key": "e", "down": 250, "up": 400}, {"key": "l", "down": 350, "up": 420},
         {"key": "l", "down": 500, "up": 560}, {"key": "o", "down": 620, "up": 700},
         {"key": "Backspace", "down": 800, "up": 850}, {"key": "Control", "down": 900, "up": 1000}]


def typing_session(rng: random.Random, points=300, keys=60) -> dict:
    t, path = 0.0, []
    x, y = 500.0, 400.0
    while len(path) < points:
        tx, ty = rng.uniform(0, 1900), rng.uniform(0, 1000)
        steps = rng.randrange(8, 40)
        for k in range(1, steps + 1):
            s = k / steps
            a = 10 * s**3 - 15 * s**4 + 6 * s**5
            path.append({"x": round(x + (tx - x) * a), "y": round(y + (ty - y) * a), "t": round(t, 1)})
            t += rng.uniform(14, 19)
        x, y, t = tx, ty, t + rng.uniform(300, 1500)
    names = ["a", "b", "Shift", "c", "Backspace", "d", "e", " "]
    strokes, t = [], 0.0
    for _ in range(keys):
        hold = rng.uniform(50, 160)
        strokes.append({"key": rng.choice(names), "down": round(t), "up": round(t + hold)})
        t += rng.uniform(60, 300)
    return {"mouse_movements": path[:points], "keystrokes": strokes}


# --- the module's face and the result's layout --------------------------------------------

def test_function_object_and_binding():
    fn = _signals.signals
    assert _signals.__all__ == ["trace_sketch", "signals", "Forest"]
    assert isinstance(fn, types.BuiltinFunctionType) and fn.__self__ is _signals
    assert fn.__module__ == "velkora._signals" and fn.__name__ == "signals"
    assert fn.__text_signature__ == "(telemetry)"
    assert bits(fn(telemetry={"mouse_movements": line()})) == bits(fn({"mouse_movements": line()}))
    for args, kwargs, message in [
        ((), {}, "signals() missing 1 required positional argument: 'telemetry'"),
        (({}, {}), {}, "signals() takes 1 positional arguments but 2 were given"),
        ((), {"session": {}}, "signals() got an unexpected keyword argument 'session'"),
    ]:
        with pytest.raises(TypeError) as raised:
            fn(*args, **kwargs)
        assert str(raised.value) == message


@pytest.mark.parametrize("telemetry", [None, {}, {"mouse_movements": line()}, {"keystrokes": HELLO},
                                       typing_session(random.Random(1))])
def test_keys_in_order_and_every_value_a_float(telemetry):
    result = _signals.signals(telemetry)
    assert type(result) is dict and list(result) == KEYS
    assert all(type(v) is float for v in result.values())


def test_nothing_to_measure_gives_nan_except_the_counts():
    result = _signals.signals({})
    assert result["pointer_movement_count"] == result["key_press_count"] == 0.0
    assert all(math.isnan(v) for k, v in result.items() if not k.endswith("_count"))
    # A path with one step and one key: the step shares exist, nothing else does.
    few = _signals.signals({"mouse_movements": line(steps=1), "keystrokes": HELLO[1:2]})
    assert few["pointer_zero_step_share"] == 0.0 and few["pointer_unit_step_share"] == 0.0
    assert math.isnan(few["pointer_turn_mean_abs"]) and math.isnan(few["pointer_straightness_median"])
    assert few["key_press_count"] == 1.0 and few["key_shift_share"] == 0.0
    assert math.isnan(few["key_hold_p50_ms"]) and math.isnan(few["key_rollover_share"])


# --- worked examples -------------------------------------------------------------------------

def test_straight_line_at_constant_speed():
    r = _signals.signals({"mouse_movements": line()})  # 200 px in 200 ms, 21 samples
    assert r["pointer_movement_count"] == 1.0 and r["pointer_movement_duration_median_ms"] == 200.0
    assert r["pointer_straightness_median"] == r["pointer_straightness_min"] == 1.0
    assert r["pointer_backtrack_mean"] == 0.0 and r["pointer_overshoot_share"] == 0.0
    assert r["pointer_submovements_mean"] == 1.0
    assert r["pointer_peak_time_median"] == pytest.approx(5 / 200)  # first step's middle
    assert r["pointer_endpoint_phase_median"] == pytest.approx(0.1)
    assert r["pointer_axis_step_share"] == 1.0 and r["pointer_turn_zero_share"] == 1.0
    assert math.isnan(r["pointer_fitts_slope_ms"])  # one movement: no fit


def test_overshoot_and_pause_split():
    # Out to 110 and back to 100; then, after a pause, a second plain movement.
    out_and_back = line(steps=11) + [{"x": 100, "y": 0, "t": 120}]
    r = _signals.signals({"mouse_movements": out_and_back + line(y=300, t0=1000)})
    assert r["pointer_movement_count"] == 2.0
    assert r["pointer_overshoot_share"] == 0.5
    assert r["pointer_overshoot_mean"] == pytest.approx(0.05)  # (0.1 + 0) / 2
    assert r["pointer_backtrack_mean"] == pytest.approx((10 / 120) / 2)
    assert r["pointer_straightness_min"] == pytest.approx(100 / 120)


def test_fitts_fit_recovers_an_exact_law():
    # Distances 20, 60, 140 px (1, 2, 3 bits at width 20) in 150, 200, 250 ms.
    path = (line(dx=4, dt=30, steps=5) + line(x0=100, t0=700, dx=12, dt=40, steps=5)
            + line(x0=300, t0=1500, dx=28, dt=50, steps=5))
    r = _signals.signals({"mouse_movements": path})
    assert r["pointer_fitts_slope_ms"] == pytest.approx(50.0)
    assert r["pointer_fitts_intercept_ms"] == pytest.approx(100.0)
    assert abs(r["pointer_fitts_residual_ms"]) < 1e-9


def test_typed_word_with_shift_rollover_and_correction():
    # Given in reverse: the signals follow press order, not list order.
    r = _signals.signals({"keystrokes": HELLO[::-1]})
    assert r["key_press_count"] == 8.0
    assert r["key_shift_share"] == r["key_modifier_share"] == r["key_correction_share"] == 0.125
    assert r["key_shift_chord_share"] == pytest.approx(2 / 6)  # H and e, of six typing keys
    assert r["key_rollover_share"] == pytest.approx(2 / 7)  # Shift->H, e->l
    assert (r["key_hold_p10_ms"], r["key_hold_p50_ms"], r["key_hold_p90_ms"]) == pytest.approx((55, 75, 115))
    assert r["key_flight_pp_p50_ms"] == 150.0 and r["key_flight_pp_iqr_ratio"] == pytest.approx(0.2)
    assert r["key_flight_rp_p50_ms"] == 70.0 and r["key_flight_rp_iqr_ms"] == 20.0
    assert r["key_negative_flight_share"] == 0.2
    assert math.isnan(r["key_digraph_cv_median"])  # no key pair repeats
    # A repeated pair: t->h 100 ms and 140 ms apart.
    keys = [{"key": k, "down": d, "up": d + 50} for k, d in
            [("t", 0), ("h", 100), ("e", 200), (" ", 300), ("t", 400), ("h", 540)]]
    assert _signals.signals({"keystrokes": keys})["key_digraph_cv_median"] == pytest.approx(20 / 120)


# --- the reader --------------------------------------------------------------------------------

def test_unusable_entries_are_left_out():
    session = typing_session(random.Random(3), keys=40)
    junk_points = [None, [1, 2, 3], {"x": 1, "y": 2}, {"x": "1", "y": 2, "t": 3},
                   {"x": math.nan, "y": 1, "t": 2}, {"x": 1, "y": math.inf, "t": 2}, "x"]
    junk_keys = [None, ("a", 1, 2), {"key": "a"}, {"t": "100"}, {"down": math.nan}, 5]
    rng = random.Random(4)
    points, keys = list(session["mouse_movements"]), list(session["keystrokes"])
    for junk, entries in ((junk_points, points), (junk_keys, keys)):
        for item in junk:
            entries.insert(rng.randrange(len(entries) + 1), item)
    dirty = {"browser": "x", "clicks": 3, "mouse_movements": points, "keystrokes": keys}
    assert bits(_signals.signals(dirty)) == bits(_signals.signals(session))
    # Numbers by any conversion the interpreter knows; a release from the duration.
    converted = {"mouse_movements": [{"x": Index(int(p["x"])), "y": float(p["y"]), "t": p["t"]}
                                     for p in session["mouse_movements"]],
                 "keystrokes": [{"key": k["key"], "down": Index(k["down"]), "duration_ms": k["up"] - k["down"]}
                                for k in session["keystrokes"]]}
    assert bits(_signals.signals(converted)) == bits(_signals.signals(session))


def test_key_name_that_is_not_text_reads_as_unknown():
    named = [{"key": RaisingFloat(), "down": 0, "up": 80}, {"key": None, "down": 100, "up": 170}]
    r = _signals.signals({"keystrokes": named + [{"key": "Shift", "down": 200, "up": 260}]})
    assert r["key_press_count"] == 3.0 and r["key_shift_share"] == pytest.approx(1 / 3)


@pytest.mark.parametrize("value", [None, [], "telemetry", 5, (), {"mouse_movements": ()},
                                   {"mouse_movements": None, "keystrokes": {"a": 1}},
                                   {"mouse_movements": [RaisingFloat()] * 3},
                                   {"keystrokes": [{"t": RaisingFloat(), "down": 5.0}, {"t": RaisingIndex()}]},
                                   {"mouse_movements": [{"x": 1e308, "y": -1e308, "t": t} for t in range(9)]
                                    + [{"x": -1e308, "y": 1e308, "t": 9}]}])
def test_hostile_telemetry_never_raises(value):
    result = _signals.signals(value)
    assert list(result) == KEYS and all(type(v) is float for v in result.values())


def test_containers_changed_while_read():
    holder: list = []

    class Empties:
        def __float__(self):
            holder.clear()
            return 1.0

    points = line(steps=30)
    points[5] = dict(points[5], x=Empties())
    holder.extend(points)
    armed = []
    colliding = dict(points[7])
    colliding[CollidingKey("x", lambda: bool(armed) and 1 / 0 == 0)] = 3
    armed.append(True)
    holder[7] = colliding
    result = _signals.signals({"mouse_movements": holder})
    assert list(result) == KEYS
    assert holder == []


@pytest.mark.parametrize("exc", [KeyboardInterrupt, MemoryError, SystemExit])
def test_errors_that_are_not_about_the_data_pass_through(exc):
    for session in ({"mouse_movements": [{"x": 1, "y": 2, "t": RaisingFloat(exc("stop"))}]},
                    {"keystrokes": [{"t": RaisingFloat(exc("stop"))}]}):
        with pytest.raises(exc, match="stop"):
            _signals.signals(session)


# --- determinism, invariants, references ------------------------------------------------------

def test_same_bits_in_every_process():
    code = """
        import json, struct, sys
        from velkora import _signals
        r = _signals.signals(json.loads(sys.stdin.read()))
        print(json.dumps({k: struct.pack("<d", v).hex() for k, v in r.items()}))
    """
    session = typing_session(random.Random(9))
    expected = {k: v.hex() for k, v in bits(_signals.signals(session)).items()}
    for hash_seed in ("0", "1", "random"):
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], input=json.dumps(session),
                              capture_output=True, text=True, check=True, timeout=60,
                              env=dict(os.environ, PYTHONHASHSEED=hash_seed))
        assert json.loads(done.stdout) == expected


def test_each_stream_stands_alone():
    session = typing_session(random.Random(5))
    both = _signals.signals(session)
    pointer = _signals.signals({"mouse_movements": session["mouse_movements"]})
    keys = _signals.signals({"keystrokes": session["keystrokes"]})
    assert bits({k: both[k] for k in POINTER_KEYS}) == bits({k: pointer[k] for k in POINTER_KEYS})
    assert bits({k: both[k] for k in KEY_KEYS}) == bits({k: keys[k] for k in KEY_KEYS})
    assert both["pointer_movement_count"] > 5 and not math.isnan(both["pointer_fitts_slope_ms"])


def fuzz_targets():
    fuzz = pathlib.Path(__file__).resolve().parents[2] / "fuzz"
    if not (fuzz / "targets.py").is_file():
        pytest.skip("the fuzz harness is not in this tree")
    sys.path.insert(0, str(fuzz))
    import targets
    return targets


@settings(max_examples=60, deadline=None)
@given(st.integers(0, 2**32 - 1), st.integers(0, 400), st.integers(0, 150))
def test_invariants_over_random_sessions(seed, points, keys):
    targets = fuzz_targets()
    session = typing_session(random.Random(seed), points, keys)
    rng = random.Random(seed)
    for p in session["mouse_movements"]:  # duplicates, repeats and shuffles
        if rng.random() < 0.1:
            p["t"] = round(p["t"] / 50) * 50
    rng.shuffle(session["mouse_movements"])
    result = _signals.signals(session)
    targets.check_behaviour(result, 150)
    assert result["key_press_count"] == min(keys, 150)


def test_references_are_returned():
    session = typing_session(random.Random(6), 120, 40)
    seen: dict = {}
    reachable(session, seen)
    before = [sys.getrefcount(o) for o in seen.values()]
    for _ in range(20):
        _signals.signals(session)
    assert [sys.getrefcount(o) for o in seen.values()] == before


@pytest.mark.parametrize("breaker", [
    lambda f: lambda t: {k: v for k, v in f(t).items() if k != "key_hold_cv"},
    lambda f: lambda t: {**f(t), "key_press_count": int(f(t)["key_press_count"])},
    lambda f: lambda t: {**f(t), "pointer_zero_step_share": 1.5},
    lambda f: lambda t: {**f(t), "key_hold_p10_ms": random.random()},
])
def test_fuzz_oracle_catches_misbehaving_signals(monkeypatch, breaker):
    targets = fuzz_targets()
    monkeypatch.setattr(targets, "signals", types.SimpleNamespace(signals=breaker(_signals.signals)))
    rng = random.Random(7)
    with pytest.raises(targets.Finding):
        for _ in range(400):
            targets.behaviour_target(rng.randbytes(rng.randrange(20, 300)))
