"""The fuzz targets (fuzz/targets.py) outside the fuzzer: the stored corpus and a
batch of random inputs replayed against the built module, and a check that the
targets' oracles notice a module that misbehaves."""

import math
import pathlib
import random
import sys
import types
import warnings

import pytest
import velkora_core_rs as core

FUZZ = pathlib.Path(__file__).resolve().parents[2] / "fuzz"
if not (FUZZ / "targets.py").is_file():
    pytest.skip("the fuzz harness is not in this tree", allow_module_level=True)
sys.path.insert(0, str(FUZZ))
import targets  # noqa: E402

RANDOM_INPUTS = 300


@pytest.fixture(autouse=True)
def quiet():
    # A hostile __float__ returning a float subclass warns on every conversion.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        yield


@pytest.mark.parametrize("name", sorted(targets.TARGETS))
def test_corpus_and_random_inputs_pass(name):
    target = targets.TARGETS[name]
    seeds = sorted((FUZZ / "corpus" / name).glob("*"))
    assert seeds, f"no corpus for {name}"
    for path in seeds:
        try:
            target(path.read_bytes())
        except Exception as exc:
            raise AssertionError(f"{name} fails on {path.name}: {exc!r}") from exc
    rng = random.Random(name)
    for _ in range(RANDOM_INPUTS):
        data = rng.randbytes(rng.randrange(1, 600))
        try:
            target(data)
        except Exception as exc:
            raise AssertionError(f"{name} fails on {data.hex()}: {exc!r}") from exc


def with_module(monkeypatch, **functions):
    fake = types.SimpleNamespace(**{n: getattr(core, n) for n in core.__all__})
    for name, fn in functions.items():
        setattr(fake, name, fn)
    monkeypatch.setattr(targets, "core", fake)


def swapped(result):
    items = list(result.items())
    items[0], items[1] = items[1], items[0]
    return dict(items)


def consults(fn, pick=lambda arg: arg):
    """A reader that asks a list subclass for its length the Python way."""
    def wrapper(arg):
        try:
            len(pick(arg))
        except targets.Boom:  # the spy refuses, and records that it was asked
            pass
        return fn(arg)
    return wrapper


def miscounts(result):
    return {**result, "key_count": result["key_count"] + 1000}


# Inputs the module handles correctly; each fake breaks one promise.
BROKEN = [
    ("features", "extract_features_rs", lambda f: lambda t: swapped(f(t)),
     {"mouse_movements": [{"x": 1, "y": 2, "t": 3}]}),
    ("features", "extract_features_rs",
     lambda f: lambda t: {**f(t), "webdriver": int(f(t)["webdriver"])}, {}),
    ("features", "extract_features_rs", lambda f: consults(f, lambda t: t["mouse_movements"]),
     {"mouse_movements": targets.SpyList([{"x": 1, "y": 2, "t": 3}])}),
    ("keystrokes", "evaluate_keystroke_dynamics_rs", consults,
     targets.SpyList([("a", 0, 80)])),
    ("keystrokes", "evaluate_keystroke_dynamics_rs", lambda f: lambda k: miscounts(f(k)),
     [("a", 0, 80)]),
    ("curvature", "evaluate_curvature_zerocopy_rs",
     lambda f: lambda x, y, t: {**f(x, y, t), "mean_curvature": 1.5}, None),
    ("state", "consume_nonce_rs", lambda f: lambda n: True, None),
]


@pytest.mark.parametrize("target, function, breaker, argument", BROKEN)
def test_oracles_catch_a_misbehaving_module(monkeypatch, target, function, breaker, argument):
    with_module(monkeypatch, **{function: breaker(getattr(core, function))})
    if target == "features":
        check = lambda: targets.features_target_on(argument)  # noqa: E731
    elif target == "keystrokes":
        check = lambda: targets.keystrokes_target_on(argument)  # noqa: E731
    else:
        # Inputs the fuzzer found that reach the broken promise.
        rng = random.Random(7)
        inputs = [rng.randbytes(rng.randrange(20, 300)) for _ in range(400)]

        def check():
            for data in inputs:
                targets.TARGETS[target](data)
    with pytest.raises(targets.Finding):
        check()


REAL_FOREST = targets.signals.Forest


class OneUlpOff:
    """A forest whose raw score is one step off the true one."""

    def __init__(self, *args):
        self.forest = REAL_FOREST(*args)

    def raw(self, row):
        return math.nextafter(self.forest.raw(row), math.inf)

    def explain(self, row):
        return self.forest.explain(row)


class RefusesAll:
    def __init__(self, *args):
        raise ValueError("refused")


@pytest.mark.parametrize("fake", [OneUlpOff, RefusesAll])
def test_forest_oracle_catches_a_misbehaving_type(monkeypatch, fake):
    inputs = [rng.randbytes(rng.randrange(20, 300)) for rng in [random.Random(7)] for _ in range(400)]
    fake_module = types.SimpleNamespace(Forest=fake)
    monkeypatch.setattr(targets, "signals", fake_module)
    with pytest.raises(targets.Finding, match="raw|refused valid"):
        for data in inputs:
            targets.forest_target(data)
