"""velkora._signals: the module's face, trace_sketch's result, the reader, the model of the
sketch held bit for bit, what a replay keeps and what different movements do not share,
determinism, leaks. tools/sketch_analysis.py measures the same on the recorded sessions."""

import gc
import inspect
import json
import math
import os
import pathlib
import random
import shutil
import subprocess
import sys
import textwrap
import tracemalloc
import types

import pytest
import replay
import sketch_model as model
import velkora_core_rs as core
from hostile import CollidingKey, Index, RaisingFloat, RaisingIndex
from hypothesis import given, settings
from hypothesis import strategies as st
from test_leaks import ROUNDS, WARMUP_ROUNDS, native_in_use, reachable
from velkora import _signals as signals

KEYS = ["version", "pointer_bands", "pointer_signature", "pointer_shingles", "key_bands",
        "key_signature", "key_shingles"]
SIZE = 32  # signature values and bands per stream
DATA = pathlib.Path(os.environ.get("VELKORA_SHARED_DATA")
                    or pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "data")


# --- synthetic people ----------------------------------------------------------------------

def human_pointer(rng: random.Random, movements: int = 24, frame: float = 16.7) -> list[model.Point]:
    """Office-like pointer work at one sample per frame: minimum-jerk movements of 80-700 px
    with a little bend, a pause of 0.4-2.5 s after each."""
    x, y, t = rng.uniform(200, 1700), rng.uniform(150, 900), 1000.0
    points = [(round(x), round(y), round(t, 1))]
    for _ in range(movements):
        distance, heading = rng.uniform(80, 700), rng.uniform(0, 2 * math.pi)
        tx = min(max(x + distance * math.cos(heading), 0.0), 1919.0)
        ty = min(max(y + distance * math.sin(heading), 0.0), 1079.0)
        bulge = rng.gauss(0.0, 0.12) * math.hypot(tx - x, ty - y)
        nx, ny = -(ty - y), tx - x
        norm = math.hypot(nx, ny) or 1.0
        steps = max(3, int((250 + 120 * math.log2(1 + distance / 20)) * rng.uniform(0.8, 1.2) / frame))
        for k in range(1, steps + 1):
            s = k / steps
            along = 10 * s**3 - 15 * s**4 + 6 * s**5
            side = bulge * math.sin(math.pi * s) / norm
            t += frame * rng.uniform(0.9, 1.1)
            points.append((round(x + (tx - x) * along + nx * side), round(y + (ty - y) * along + ny * side),
                           round(t, 1)))
        x, y = tx, ty
        t += rng.uniform(400, 2500)
    return points


def human_keys(rng: random.Random, count: int = 80) -> list[model.Key]:
    """A typing run: log-normal holds around 95 ms and flights around 170 ms, a few pauses."""
    t, out = 2000.0, []
    for _ in range(count):
        hold = 2 ** rng.gauss(math.log2(95), 0.35)
        out.append((float(round(t)), float(round(t + hold))))
        t += 2 ** rng.gauss(math.log2(170), 0.6) + (rng.uniform(500, 2000) if rng.random() < 0.05 else 0.0)
    return out


def telemetry(points=(), keys=()) -> dict:
    return {"mouse_movements": [{"x": x, "y": y, "t": t} for x, y, t in points],
            "keystrokes": [{"t": d} if u is None else {"t": d, "up": u} for d, u in keys]}


def sketch(points=(), keys=()) -> dict:
    return signals.trace_sketch(telemetry(points, keys))


def shares_band(a: dict, b: dict, stream: str) -> bool:
    return bool(set(a[f"{stream}_bands"]) & set(b[f"{stream}_bands"]))


def similarity(a: dict, b: dict, stream: str) -> float:
    return model.estimated_jaccard(a[f"{stream}_signature"], b[f"{stream}_signature"])


class FloatSub(float):
    pass


POINTERS = [human_pointer(random.Random(f"pointer-{i}")) for i in range(40)]
TYPING = [human_keys(random.Random(f"keys-{i}")) for i in range(40)]


# --- the module's face ---------------------------------------------------------------------

def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=60)


def test_module_and_function_objects():
    assert signals.__name__ == "velkora._signals"
    assert signals.__doc__ == ""
    assert signals.__all__ == ["trace_sketch", "signals", "Forest"]
    assert {n for n in vars(signals) if not n.startswith("__")} == {"trace_sketch", "signals", "Forest"}
    fn = signals.trace_sketch
    assert isinstance(fn, types.BuiltinFunctionType) and fn.__self__ is signals
    assert fn.__module__ == "velkora._signals" and fn.__name__ == fn.__qualname__ == "trace_sketch"
    assert fn.__doc__ is None and fn.__text_signature__ == "(telemetry)"
    (param,) = inspect.signature(fn).parameters.values()
    assert param.name == "telemetry" and param.kind is param.POSITIONAL_OR_KEYWORD
    assert signals.trace_sketch(telemetry={}) == signals.trace_sketch({})


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "trace_sketch() missing 1 required positional argument: 'telemetry'"),
    (({}, {}), {}, "trace_sketch() takes 1 positional arguments but 2 were given"),
    (({},), {"telemetry": {}}, "trace_sketch() got multiple values for argument 'telemetry'"),
    ((), {"session": {}}, "trace_sketch() got an unexpected keyword argument 'session'"),
])
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        signals.trace_sketch(*args, **kwargs)
    assert str(raised.value) == message


def test_reimport_is_the_same_module_and_a_subinterpreter_is_refused():
    result = run_python("""
        import sys, importlib, _interpreters
        from velkora import _signals as first
        fn = first.trace_sketch
        del sys.modules["velkora._signals"]
        second = importlib.import_module("velkora._signals")
        assert second is first and second.trace_sketch is fn
        assert importlib.reload(second) is first
        sub = _interpreters.create("legacy")
        err = _interpreters.exec(sub, "from velkora import _signals")
        assert err is not None and err.type.__name__ == "ImportError" and "subinterpreters" in err.msg, err
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("missing: nm")
    out = subprocess.run([nm, "-D", "--defined-only", signals.__file__], capture_output=True, text=True,
                         check=True).stdout
    assert {line.split()[-1] for line in out.splitlines() if line.strip()} == {"PyInit__signals"}


def test_stub_ships_beside_the_module_and_its_example_holds():
    import doctest

    stub = pathlib.Path(signals.__file__).with_name("_signals.pyi")
    assert stub.is_file()
    import ast
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    functions_exported = [n for n in signals.__all__ if n != "Forest"]  # the one class
    assert sorted(functions) == sorted(functions_exported)
    for name in functions_exported:
        assert [a.arg for a in functions[name].args.args] == ["telemetry"]
        test = doctest.DocTestParser().get_doctest(ast.get_docstring(functions[name]) or "",
                                                   vars(signals).copy(), name, str(stub), 0)
        assert test.examples and doctest.DocTestRunner().run(test).failed == 0


# --- the result ----------------------------------------------------------------------------

def check_layout(result: dict) -> None:
    assert type(result) is dict and list(result) == KEYS
    assert result["version"] == 3 and type(result["version"]) is int
    for stream in ("pointer", "key"):
        bands, sig, count = (result[f"{stream}_{k}"] for k in ("bands", "signature", "shingles"))
        assert type(count) is int and count >= 0
        assert type(bands) is list and type(sig) is list
        assert all(type(v) is int and 0 <= v < 2**64 for v in bands + sig)
        assert (len(bands), len(sig)) == ((SIZE, SIZE) if count else (0, 0))
        assert len(set(sig)) <= count  # each value is one shingle's hash


def test_result_layout_with_and_without_shingles():
    full = sketch(POINTERS[0], TYPING[0])
    check_layout(full)
    assert full["pointer_shingles"] > 8 and full["key_shingles"] > 20
    for empty in (sketch(), signals.trace_sketch(None), sketch(POINTERS[0][:2], TYPING[0][:2])):
        check_layout(empty)
        assert empty["pointer_shingles"] == empty["key_shingles"] == 0
    # Each stream stands alone: pointer data changes nothing of the key sketch and the reverse.
    assert {k: v for k, v in sketch(keys=TYPING[0]).items() if k.startswith("key")} == \
        {k: v for k, v in full.items() if k.startswith("key")}
    assert {k: v for k, v in sketch(POINTERS[0]).items() if k.startswith("pointer")} == \
        {k: v for k, v in full.items() if k.startswith("pointer")}


@settings(max_examples=40)
@given(st.integers(0, 2**32 - 1))
def test_module_matches_the_model_bit_for_bit(seed):
    rng = random.Random(seed)
    points = human_pointer(rng, movements=rng.randrange(2, 30), frame=rng.choice([8.3, 16.7, 100.0]))
    keys = human_keys(rng, rng.randrange(2, 150))
    if rng.random() < 0.5:  # out of time order, equal time stamps, no releases
        rng.shuffle(points)
        keys = [(d, None if rng.random() < 0.3 else u) for d, u in keys[:-3]] + [keys[0], keys[0]]
    assert sketch(points, keys) == model.trace_sketch(points, keys)


def recorded_sessions() -> list[dict]:
    files = [DATA / "sessions-train.jsonl", DATA / "sessions-sample.jsonl"]
    if not all(f.is_file() for f in files):
        pytest.skip(f"missing: recorded sessions in {DATA}")
    return [json.loads(line) for f in files for line in f.read_text(encoding="utf-8").splitlines()
            if line.strip()]


def source_rows_overlap(a: dict, b: dict, kind: str) -> bool:
    sa, sb = a["_source"].get(kind), b["_source"].get(kind)
    return bool(sa and sb and sa["file"] == sb["file"]
                and max(sa["rows"][0], sb["rows"][0]) < min(sa["rows"][1], sb["rows"][1]))


def test_recorded_sessions_match_the_model_and_distinct_ones_share_no_band():
    sessions = recorded_sessions()
    sketches = [signals.trace_sketch(s) for s in sessions]
    for s, got in zip(sessions, sketches):
        assert got == model.trace_sketch(model.accepted_points(s), model.accepted_keys(s)), s["_id"]
    for stream, kind in (("pointer", "pointer"), ("key", "keystrokes")):
        owners: dict[int, list[int]] = {}
        for i, sk in enumerate(sketches):
            for band in set(sk[f"{stream}_bands"]):
                owners.setdefault(band, []).append(i)
        shared = {(a, b) for holders in owners.values() for a in holders for b in holders if a < b}
        distinct = [(sessions[a]["_id"], sessions[b]["_id"]) for a, b in shared
                    if not source_rows_overlap(sessions[a], sessions[b], kind)]
        assert not distinct, f"{stream}: distinct sessions share a band: {distinct[:5]}"
        assert sum(1 for sk in sketches if sk[f"{stream}_shingles"]) >= 140  # not vacuous


# --- replays -------------------------------------------------------------------------------

def rotate_quarter(points):
    return [(-y, x, t) for x, y, t in points]


@settings(max_examples=60)
@given(st.integers(0, 2**32 - 1), st.integers(-5000, 5000), st.integers(-5000, 5000),
       st.sampled_from([0.25, 0.5, 2.0, 4.0]), st.floats(0.8, 1.25), st.integers(-10**6, 10**6))
def test_exact_invariances_leave_the_sketch_unchanged(seed, dx, dy, factor, stretch, shift):
    """Moves that arithmetic carries out exactly change no bit: whole-pixel translation,
    quarter turns, power-of-two scaling, a time shift in whole milliseconds, duplicated
    samples and keystrokes, another input order; a time stretch only rounds."""
    rng = random.Random(seed)
    points, keys = POINTERS[seed % len(POINTERS)], TYPING[seed % len(TYPING)]
    original = sketch(points, keys)
    variants = [
        ([(x + dx, y + dy, t) for x, y, t in points], keys),
        (rotate_quarter(points), keys),
        (rotate_quarter(rotate_quarter(points)), keys),
        ([(x * factor, y * factor, t) for x, y, t in points], keys),
        ([(x, y, t + shift) for x, y, t in points], [(d + shift, u + shift) for d, u in keys]),
        ([p for p in points for _ in range(2 if rng.random() < 0.2 else 1)],
         [k for k in keys for _ in range(2 if rng.random() < 0.2 else 1)]),
        (rng.sample(points, len(points)), rng.sample(keys, len(keys))),
        ([(x, y, 1000.0 + (t - 1000.0) * stretch) for x, y, t in points],
         [(2000.0 + (d - 2000.0) * stretch, 2000.0 + (u - 2000.0) * stretch) for d, u in keys]),
    ]
    for i, (p, k) in enumerate(variants):
        assert sketch(p, k) == original, i


@pytest.mark.parametrize("name", list(replay.POINTER_TRANSFORMS))
def test_pointer_replays_keep_a_band(name):
    transform = replay.POINTER_TRANSFORMS[name]
    kept, sims = 0, []
    for i, points in enumerate(POINTERS):
        original = sketch(points)
        for seed in range(3):
            again = sketch(transform(points, random.Random(f"{name}-{i}-{seed}")))
            kept += shares_band(original, again, "pointer")
            sims.append(similarity(original, again, "pointer"))
    assert kept / len(sims) >= 0.99, (name, kept, len(sims))
    assert sorted(sims)[len(sims) // 2] >= (0.4 if name == "combined" else 0.5), (name, sorted(sims))


@pytest.mark.parametrize("name", ["recapture", "combined"])
def test_slowly_sampled_pointer_replays_match(name):
    """A recording made at ~110 ms a sample (as many recorders do) has few samples per
    movement and stops of a few intervals: sixteen movements still give a memory enough
    shingles to keep, and a replay under every transform shares two signature values
    with it, which is what the memory calls a match."""
    transform = replay.POINTER_TRANSFORMS[name]
    matched, total = 0, 0
    for i in range(40):
        points = human_pointer(random.Random(f"slow-{i}"), movements=16, frame=110.0)
        original = sketch(points)
        assert original["pointer_shingles"] >= 8, i
        for seed in range(3):
            again = sketch(transform(points, random.Random(f"slow-{name}-{i}-{seed}")))
            total += 1
            matched += similarity(original, again, "pointer") >= 2 / SIZE
    assert matched / total >= 0.9, (name, matched, total)


@pytest.mark.parametrize("name", list(replay.KEY_TRANSFORMS))
def test_key_replays_keep_a_band(name):
    transform = replay.KEY_TRANSFORMS[name]
    kept, sims = 0, []
    for i, keys in enumerate(TYPING):
        original = sketch(keys=keys)
        for seed in range(3):
            again = sketch(keys=transform(keys, random.Random(f"{name}-{i}-{seed}")))
            kept += shares_band(original, again, "key")
            sims.append(similarity(original, again, "key"))
    # A lost or an extra keystroke moves the medians of the keystrokes after it, which they
    # are measured against: now and then a replay keeps too few shingles to share a band.
    assert kept / len(sims) >= 0.95, (name, kept, len(sims))
    assert sorted(sims)[len(sims) // 2] >= (0.2 if name == "combined" else 0.35), (name, sorted(sims))


def test_a_replay_without_releases_matches_its_recording():
    """A collector that sends key presses only replays a recorded run without a single hold:
    its shingles are the flight-only ones the recording's sketch holds beside its own, so it
    is found, also after the other transforms of a replay."""
    kept = total = 0
    for i, keys in enumerate(TYPING):
        presses = [(d, None) for d, _ in keys]
        assert set(model.key_shingles(presses)) <= set(model.key_shingles(keys)), i
        assert shares_band(sketch(keys=presses), sketch(keys=keys), "key"), i
        original = sketch(keys=keys)
        for seed in range(3):
            again = replay.KEY_TRANSFORMS["combined"](keys, random.Random(f"presses-{i}-{seed}"))
            total += 1
            kept += shares_band(original, sketch(keys=[(d, None) for d, _ in again]), "key")
    assert kept / total >= 0.85, (kept, total)


def test_windows_of_one_run_agree_on_what_they_share():
    """A replay that types only the start of a recorded run, or runs on into a second pass
    of it, is measured keystroke by keystroke as the whole run is: the shorter window's
    shingles are all the longer one's, and its signature shares a band with it."""
    for i, keys in enumerate(TYPING[:20]):
        whole = model.key_shingles(keys)
        pause = 1500.0 + keys[-1][0] - keys[0][0]
        twice = keys + [(d + pause, u + pause) for d, u in keys]
        for window in (keys[:25], keys[:50], twice[:120]):
            part = model.key_shingles(window)
            assert len(part) >= 8 and set(part) <= set(model.key_shingles(twice)), i
            assert shares_band(sketch(keys=window), sketch(keys=twice), "key"), i
        assert set(model.key_shingles(keys[:25])) <= set(whole)


def test_different_movements_share_no_band():
    people = [human_pointer(random.Random(f"other-{i}")) for i in range(150)]
    typists = [human_keys(random.Random(f"other-{i}")) for i in range(150)]
    for stream, sketches in (("pointer", [sketch(p) for p in people + POINTERS]),
                             ("key", [sketch(keys=k) for k in typists + TYPING])):
        seen: dict[int, int] = {}
        for i, sk in enumerate(sketches):
            assert sk[f"{stream}_shingles"] > 0
            for band in set(sk[f"{stream}_bands"]):
                assert seen.setdefault(band, i) == i, (stream, seen[band], i)
    # The same path walked at another speed everywhere is the same movement; the same path
    # with its pauses shuffled into another order is not.
    rng = random.Random(3)
    moves = split_at_pauses(POINTERS[0])
    rng.shuffle(moves)
    assert not shares_band(sketch(POINTERS[0]), sketch(join_moves(moves)), "pointer")


def split_at_pauses(points):
    moves, current = [], [points[0]]
    for a, b in zip(points, points[1:]):
        if b[2] - a[2] > 300:
            moves.append(current)
            current = []
        current.append(b)
    return moves + [current]


def join_moves(moves):
    out, x, y, t = [], 0.0, 0.0, 0.0
    for move in moves:
        x0, y0, t0 = move[0]
        for mx, my, mt in move:
            out.append((x + mx - x0, y + my - y0, t + mt - t0))
        x, y, t = out[-1][0], out[-1][1], out[-1][2] + 1000.0
    return out


# --- the reader ----------------------------------------------------------------------------

def with_junk(session: dict, rng: random.Random) -> dict:
    """The session with unusable entries mixed in and extra fields in usable ones."""
    junk_points = [None, [1, 2, 3], {"x": 1, "y": 2}, {"x": "1", "y": 2, "t": 3}, {"x": math.nan, "y": 1, "t": 2},
                   {"x": 1, "y": math.inf, "t": 2}, {"y": 1, "t": 2}, "x", {"x": None, "y": 0, "t": 0}]
    junk_keys = [None, ("a", 1, 2), {"key": "a"}, {"t": "100"}, {"down": math.nan}, {"time": math.inf}, 5]
    points = [dict(p, r=1.5, f=RaisingFloat(), key="z") for p in session["mouse_movements"]]
    keys = [dict(k, key=RaisingFloat(), type="up") for k in session["keystrokes"]]
    for junk, entries in ((junk_points, points), (junk_keys, keys)):
        for item in junk:
            entries.insert(rng.randrange(len(entries) + 1), item)
    return {"browser": {"webdriver": True}, "clicks": "many", "mouse_movements": points,
            "keystrokes": keys[:150]}


def test_unusable_entries_are_left_out_as_extract_features_leaves_them():
    rng = random.Random(5)
    keys = TYPING[1][:100]
    session = telemetry(POINTERS[1], keys)
    junk = with_junk(session, rng)
    accepted = [k for k in junk["keystrokes"] if isinstance(k, dict) and type(k.get("t")) is float]
    clean = telemetry(POINTERS[1], [(k["t"], k.get("up")) for k in accepted])
    assert len(accepted) == len(keys)
    assert signals.trace_sketch(junk) == signals.trace_sketch(clean) == sketch(POINTERS[1], keys)
    assert core.extract_features_rs(junk)["mouse_points"] == len(POINTERS[1])
    # Numbers by any conversion the interpreter knows; a release from the duration.
    converted = {"mouse_movements": [{"x": Index(int(x)), "y": FloatSub(y), "t": t} for x, y, t in POINTERS[1]],
                 "keystrokes": [{"down": Index(int(d)), "duration_ms": u - d} for d, u in keys]}
    assert signals.trace_sketch(converted) == sketch(POINTERS[1], keys)


@pytest.mark.parametrize("value", [None, [], "telemetry", 5, (), {"mouse_movements": ()},
                                   {"mouse_movements": None, "keystrokes": {"a": 1}},
                                   {"mouse_movements": [RaisingFloat()] * 3}])
def test_anything_that_is_not_telemetry_gives_an_empty_sketch(value):
    result = signals.trace_sketch(value)
    check_layout(result)
    assert result["pointer_shingles"] == result["key_shingles"] == 0


def test_hostile_objects_are_read_without_raising():
    holder: list = []

    class Empties:
        def __float__(self):
            holder.clear()
            return 1.0

    points = [{"x": x, "y": y, "t": t} for x, y, t in POINTERS[2]]
    points[5]["x"] = Empties()
    holder.extend(points)
    armed = []
    colliding = dict(points[7])
    # A key that hashes like "x" and whose __eq__ raises once armed: a lookup of "x" compares it.
    colliding[CollidingKey("x", lambda: bool(armed) and 1 / 0 == 0)] = 3
    armed.append(True)
    holder[7] = colliding
    result = signals.trace_sketch({"mouse_movements": holder,
                                   "keystrokes": [{"t": RaisingFloat(), "down": 5.0}, {"t": RaisingIndex()}]})
    check_layout(result)
    assert holder == []  # emptied while read, and the reader went on without error


@pytest.mark.parametrize("exc", [KeyboardInterrupt, MemoryError, SystemExit])
def test_errors_that_are_not_about_the_data_pass_through(exc):
    for session in ({"mouse_movements": [{"x": 1, "y": 2, "t": RaisingFloat(exc("stop"))}]},
                    {"keystrokes": [{"t": RaisingFloat(exc("stop"))}]}):
        with pytest.raises(exc, match="stop"):
            signals.trace_sketch(session)


# --- determinism and leaks ----------------------------------------------------------------

def test_same_bits_in_every_process():
    code = """
        import json, sys
        from velkora import _signals
        session = json.loads(sys.stdin.read())
        print(json.dumps(_signals.trace_sketch(session)))
    """
    session = json.dumps(telemetry(POINTERS[3], TYPING[3]))
    results = set()
    for hash_seed in ("0", "1", "random"):
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], input=session, capture_output=True,
                              text=True, env=dict(os.environ, PYTHONHASHSEED=hash_seed), check=True, timeout=60)
        results.add(done.stdout)
    assert results == {json.dumps(sketch(POINTERS[3], TYPING[3])) + "\n"}


class Interrupts:
    """A fresh KeyboardInterrupt on each conversion (one kept instance would gain references
    through its traceback on every raise)."""

    def __float__(self):
        raise KeyboardInterrupt("x")


LEAK_CASES = {
    "session": lambda: (telemetry(POINTERS[4], TYPING[4]),),
    "junk": lambda: (with_junk(telemetry(POINTERS[5][:60], TYPING[5][:30]), random.Random(1)),),
    "not a dict": lambda: ([object(), "x"],),
    "interrupted": lambda: ({"keystrokes": [{"t": 1.5}, {"t": Interrupts()}]},),
}


def call_case(name):
    try:
        signals.trace_sketch(*LEAK_CASES[name]())
    except KeyboardInterrupt:
        assert name == "interrupted"


def growth_per_call(name, read):
    for _ in range(WARMUP_ROUNDS):
        call_case(name)
    gc.collect()
    start, readings = read(), []
    for stop in (ROUNDS, 2 * ROUNDS):
        for _ in range(stop - len(readings) * ROUNDS):
            call_case(name)
        gc.collect()
        readings.append(read() - start)
    return (readings[1] - readings[0]) / ROUNDS


@pytest.mark.parametrize("name", list(LEAK_CASES))
def test_no_memory_grows_and_no_reference_count_changes(name):
    assert growth_per_call(name, native_in_use) <= 4, name
    tracemalloc.start()
    try:
        assert growth_per_call(name, lambda: tracemalloc.get_traced_memory()[0]) <= 4, name
    finally:
        tracemalloc.stop()
    args = LEAK_CASES[name]()
    seen: dict = {}
    reachable(args, seen)
    before = [sys.getrefcount(o) for o in seen.values()]
    for _ in range(20):
        try:
            signals.trace_sketch(*args)
        except KeyboardInterrupt:
            pass
    assert [sys.getrefcount(o) for o in seen.values()] == before


# --- the fuzz target's oracle --------------------------------------------------------------

@pytest.mark.parametrize("breaker", [
    lambda f: lambda t: {**f(t), "version": 1},
    lambda f: lambda t: {**f(t), "key_bands": f(t)["key_bands"][:-1] or [1]},
    lambda f: lambda t: {**f(t), "pointer_shingles": random.randrange(3)},
])
def test_fuzz_oracle_catches_a_misbehaving_sketch(monkeypatch, breaker):
    fuzz = pathlib.Path(__file__).resolve().parents[2] / "fuzz"
    if not (fuzz / "targets.py").is_file():
        pytest.skip("the fuzz harness is not in this tree")
    monkeypatch.syspath_prepend(str(fuzz))
    import targets

    monkeypatch.setattr(targets, "signals", types.SimpleNamespace(trace_sketch=breaker(signals.trace_sketch)))
    rng = random.Random(7)
    with pytest.raises(targets.Finding):
        for _ in range(400):
            targets.signals_target(rng.randbytes(rng.randrange(20, 300)))
