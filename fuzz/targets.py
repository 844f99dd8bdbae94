"""Fuzz targets for every entry point of velkora_core_rs and velkora._signals.

Each target takes the fuzzer's bytes, builds interpreter objects from them
(telemetry dicts, keystroke lists, float sequences, state-engine calls), calls
the module and checks what came back. Hostile objects are part of the mix:
__float__ and __index__ that raise, return the wrong type or mutate the very
container being read; dict and list subclasses whose item access the forgiving
readers must never consult; keys whose __eq__ raises. A target raises
`Finding` (or lets any unexpected exception through) when the module misbehaves:
an exception the call may not raise, a result with the wrong keys, order or
types, a broken invariant, a subclass hook consulted. Crashes and memory errors
are caught by the sanitizers the fuzzed build carries.

Nothing here needs atheris: fuzz/run.py drives the targets under libFuzzer and
tests/python/test_fuzz_targets.py replays the stored corpus and random inputs.
"""

from __future__ import annotations

import math
import operator
import pathlib
import re
import struct
import sys
import time

import velkora_core_rs as core
from velkora import _signals as signals

# The hostile objects the Python tests use too (tests/python/hostile.py).
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
from hostile import Index, TypeErrorSubclass  # noqa: E402


class Finding(AssertionError):
    """The module did something it must not do."""


def check(condition: bool, message: str) -> None:
    if not condition:
        raise Finding(message)


# --- reading the fuzzer's bytes ----------------------------------------------------

class Source:
    """Draws choices from the input bytes, front to back; zeros once exhausted."""

    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def byte(self) -> int:
        if self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b

    def below(self, n: int) -> int:
        """An integer in [0, n), n <= 65536."""
        if n <= 1:
            return 0
        v = self.byte()
        if n > 256:
            v = (v << 8) | self.byte()
        return v % n

    def flag(self) -> bool:
        return self.byte() & 1 == 1

    def pick(self, options):
        return options[self.below(len(options))]

    def raw(self, n: int) -> bytes:
        chunk = self.data[self.pos:self.pos + n]
        self.pos += len(chunk)
        return chunk.ljust(n, b"\0")

    def exhausted(self) -> bool:
        return self.pos >= len(self.data)


# --- hostile objects ---------------------------------------------------------------

class Boom(Exception):
    """Raised by hostile conversion methods."""


RAISED = [Boom, ValueError, RuntimeError, ZeroDivisionError, TypeError, TypeErrorSubclass,
          OverflowError, KeyError, MemoryError]


def expected_error(exc: BaseException) -> bool:
    """What a strict conversion may fail with: the conversion errors themselves
    (a DeprecationWarning too, where warnings are errors), or whatever one of
    our hostile objects raised, passed through unchanged."""
    if isinstance(exc, (TypeError, ValueError, OverflowError, DeprecationWarning, Boom)):
        return True
    return getattr(exc, "from_hostile", False)


CONSULTED: list[str] = []  # subclass hooks that were called while armed


def _spy(name):
    def method(self, *args, **kwargs):
        CONSULTED.append(f"{type(self).__name__}.{name}")
        raise Boom(f"{name} must not be called")
    return method


class SpyDict(dict):
    """A dict subclass whose item access a forgiving reader must not consult."""


class SpyList(list):
    """A list subclass whose item access a forgiving reader must not consult."""


for _name in ("__getitem__", "__contains__", "__iter__", "__len__", "get", "keys", "items",
              "values", "__missing__", "setdefault", "pop", "copy"):
    setattr(SpyDict, _name, _spy(_name))
for _name in ("__getitem__", "__iter__", "__len__", "__contains__", "index", "count",
              "__reversed__", "copy"):
    setattr(SpyList, _name, _spy(_name))


class FloatSub(float):
    pass


class IntSub(int):
    def __float__(self):  # consulted by PyFloat_AsDouble for int subclasses
        return 0.25


class TextSub(str):
    """Text whose Python-level hooks must not matter: the module reads the bytes."""

    def __eq__(self, other):
        raise Boom("__eq__")

    def __hash__(self):
        return 7

    def __str__(self):
        raise Boom("__str__")

    def __len__(self):
        raise Boom("__len__")


class CollidingKey:
    """A dict key hashing like a real key name; comparing it raises or mutates.
    Inert (never equal to anything) while the inputs are built, armed only
    around the module call."""

    armed = False

    def __init__(self, name: str, mode: int, owner: list):
        self.name = name
        self.mode = mode
        self.owner = owner  # [dict] once the dict exists

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if not CollidingKey.armed:
            return self is other
        if self.mode == 0:
            raise Boom("__eq__")
        if self.mode == 1 and self.owner:
            dict.clear(self.owner[0])
            return False
        return self.mode == 2 and other == self.name


class Hostile:
    """A number that misbehaves on conversion.

    mode "value": __float__/__index__ return `value`; "raise": raise; "wrong":
    return an object of the wrong type; "mutate": change one of the containers
    around it (the list or dict being read) and then return `value`.
    """

    def __init__(self, mode: str, value, exc, wrong, action: int, parents: list):
        self.mode = mode
        self.value = value
        self.exc = exc
        self.wrong = wrong
        self.action = action
        self.parents = parents

    def _convert(self, kind):
        if self.mode == "raise":
            exc = self.exc(f"{kind} refused")
            exc.from_hostile = True
            raise exc
        if self.mode == "wrong":
            return self.wrong
        if self.mode == "mutate":
            mutate(self.parents, self.action)
        if kind == "index":
            return int(self.value) if math.isfinite(self.value) else 7
        return float(self.value)

    def __float__(self):
        return self._convert("float")

    def __index__(self):
        return self._convert("index")


def mutate(parents: list, action: int) -> None:
    """Changes one enclosing container through the base-class methods (so that
    the spies see nothing): clears it, cuts it, grows it or swaps values."""
    if not parents:
        return
    target = parents[-1 - action % len(parents)]
    what = (action // 4) % 4
    if isinstance(target, dict):
        if what == 0:
            dict.clear(target)
        elif what == 1:
            for key in list(dict.keys(target))[:2]:
                dict.pop(target, key, None)
        elif what == 2:
            dict.__setitem__(target, "x", None)
            dict.__setitem__(target, "t", "late")
        else:
            dict.update(target, {f"k{i}": i for i in range(40)})  # forces a resize
    elif isinstance(target, list):
        n = list.__len__(target)
        if what == 0:
            list.clear(target)
        elif what == 1:
            del target[n // 2:]
        elif what == 2:
            list.extend(target, [{"x": 1.0, "y": 2.0, "t": 3.0}] * 8)
        else:
            target[:] = [None] * n


# --- building inputs ---------------------------------------------------------------

SPECIAL_FLOATS = [0.0, -0.0, math.nan, math.inf, -math.inf, 1e308, -1e308, 5e-324, 0.1, 1e-6,
                  0.5, 1.0, -1.0, 800.0, 800.5, 5000.0, -500.0, -499.0, 2000.0, 100.0, 2.0**53]
BIG_INTS = [2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64, -1, 10**400]
WRONG = ["7", None, 1.5, b"1", [], FloatSub(2.0)]
ALPHABET = "ab tThHe\0\u00e9\u212a\U0001f389\ud800K-"


class Builder:
    def __init__(self, src: Source):
        self.src = src

    def text(self, limit: int = 6) -> str:
        n = self.src.below(limit + 1)
        return "".join(self.src.pick(ALPHABET) for _ in range(n))

    def float_value(self) -> float:
        if self.src.flag():
            return struct.unpack("<d", self.src.raw(8))[0]
        return self.src.pick(SPECIAL_FLOATS)

    def plain_number(self):
        """A number without surprises: what a well-behaved client sends."""
        kind = self.src.below(3)
        if kind == 0:
            return self.src.below(600) - 100
        if kind == 1:
            return self.src.below(20000) / 8.0
        return self.float_value()

    def number(self, parents: list):
        kind = self.src.below(18)
        if kind <= 5:
            return self.plain_number()
        if kind == 6:
            return self.src.flag()
        if kind == 7:
            return None
        if kind == 8:
            return self.src.pick(["100", "nan", "", "\ud800"])
        if kind == 9:
            return self.src.pick(BIG_INTS)
        if kind == 10:
            return FloatSub(self.float_value())
        if kind == 11:
            return IntSub(self.src.below(1000))
        if kind == 12:
            return Index(self.src.pick(BIG_INTS + [3, 0]))
        if kind == 13:
            return self.src.pick([[], {}, (), b"12", object()])
        mode = self.src.pick(["value", "raise", "wrong", "mutate", "mutate"])
        return Hostile(mode, self.plain_number() if self.src.flag() else self.float_value(),
                       self.src.pick(RAISED), self.src.pick(WRONG), self.src.below(64), parents)

    def new_dict(self) -> dict:
        return SpyDict() if self.src.below(5) == 0 else {}

    def new_list(self) -> list:
        return SpyList() if self.src.below(5) == 0 else []

    def fill_dict(self, d: dict, names: list[str], parents: list, value) -> dict:
        """Puts some of `names` (and sometimes colliding or stray keys) into `d`."""
        inner = parents + [d]
        for name in names:
            if self.src.below(6) != 0:
                dict.__setitem__(d, name, value(inner))
        for _ in range(self.src.below(3)):
            choice = self.src.below(3)
            if choice == 0:
                key = CollidingKey(self.src.pick(names), self.src.below(3), [d])
            elif choice == 1:
                key = self.text()
            else:
                key = self.src.below(50)
            dict.__setitem__(d, key, value(inner))
        return d

    # telemetry -------------------------------------------------------------------

    def mouse_path(self) -> list:
        """Many samples from a few bytes: long paths reach the 300-point window,
        the spectrum and the curvature block."""
        n = self.src.pick([3, 4, 8, 9, 10, 40, 299, 300, 301, 450])
        shape = self.src.below(4)
        step = self.src.pick([0.0, 0.05, 1.0, 10.0, -3.0])
        seed = self.src.byte()
        points = self.new_list()
        for i in range(n):
            if shape == 0:
                x, y = float(i), 0.0
            elif shape == 1:
                x, y = 100 * math.cos(i / 7), 100 * math.sin(i / 7)
            elif shape == 2:
                x, y = float((i * 7919 + seed) % 97), float((i * 104729 + seed) % 89)
            else:
                x, y = float(i % 2), float(i % 3)
            t = i * step if i % 17 else float((seed * i) % 50)
            point = {"x": x, "y": y, "t": t}
            if i % 5 == 0:
                point["r"] = float(i % 4)
                point["f"] = 0.5
            list.append(points, point)
        return points

    def mouse_list(self, parents: list):
        if self.src.below(4) == 0:
            return self.mouse_path()
        points = self.new_list()
        inner = parents + [points]
        for _ in range(self.src.below(12)):
            if self.src.below(8) == 0:
                list.append(points, self.src.pick([None, [1, 2, 3], (1.0, 2.0, 3.0), "x"]))
                continue
            entry = self.new_dict()
            list.append(points, self.fill_dict(entry, ["x", "y", "t", "r", "f"], inner,
                                               self.number))
        return points

    def keystroke_value(self, name: str, parents: list):
        if name in ("key", "type"):
            k = self.src.below(5)
            if k == 0:
                return self.number(parents)
            if k == 1:
                return TextSub(self.text(2))
            return self.src.pick(["up", "down", "UP", "a", "T", "h", "Shift", "\u212a", ""])
        return self.number(parents)

    def keystroke_dict(self, names: list[str], parents: list) -> dict:
        entry = self.new_dict()
        return self.fill_dict(entry, names, parents,
                              lambda inner, s=self: s.keystroke_value(s.src.pick(names), inner))

    def keystroke_entries(self, parents: list, tuples: bool):
        entries = self.new_list()
        inner = parents + [entries]
        count = self.src.pick([0, 1, 2, 3, 4, 5, 8, 10, 14, 160])
        names = ["t", "down", "time", "key", "up", "duration_ms", "type"]
        for i in range(count):
            if count > 20 and i > 3:  # long lists: cheap regular entries
                list.append(entries, {"key": "abcdefgh"[i % 8], "down": 100.0 * i,
                                      "up": 100.0 * i + 50} if i % 2 else
                            ("ab"[i % 2], 100.0 * i, None))
                continue
            shape = self.src.below(6)
            if tuples and shape <= 1:
                size = self.src.pick([3, 3, 3, 2, 4])
                items = [self.keystroke_value("key", inner)] + [
                    self.number(inner) for _ in range(size - 1)]
                if size == 3 and self.src.flag():
                    items[2] = None
                list.append(entries, tuple(items))
            elif shape == 5:
                list.append(entries, self.src.pick([None, ["a", 0, 80], "key", 5]))
            else:
                list.append(entries, self.keystroke_dict(names, inner))
        return entries

    def browser(self, parents: list):
        if self.src.below(6) == 0:
            return self.src.pick([None, [], "browser"])
        d = self.new_dict()
        inner = parents + [d]

        def value(ctx):
            k = self.src.below(4)
            if k == 0:
                return self.src.flag()
            if k == 1:
                return self.src.pick([1, 0, -3, 2**63, 3.0])
            return self.number(ctx)

        return self.fill_dict(d, ["webdriver", "screen_width", "screen_height",
                                  "touch_supported", "max_touch_points", "plugins_length"],
                              inner, value)

    def telemetry(self):
        top_kind = self.src.below(12)
        if top_kind == 0:
            return self.src.pick([None, [], "telemetry", 5, ()])
        top = SpyDict() if top_kind == 1 else {}
        parents = [top]
        for name in ("browser", "clicks", "scrolls", "keystrokes", "mouse_movements"):
            if self.src.below(5) == 0:
                continue
            if name == "browser":
                value = self.browser(parents)
            elif name in ("clicks", "scrolls"):
                value = self.src.pick([[None] * self.src.below(5), (1, 2, 3), SpyList([1, 2]),
                                       {}, None, [1] * 300])
            elif name == "keystrokes":
                value = self.keystroke_entries(parents, tuples=False)
            else:
                value = self.mouse_list(parents)
            dict.__setitem__(top, name, value)
        if self.src.flag():
            dict.__setitem__(top, CollidingKey("mouse_movements", self.src.below(3), [top]), [])
        return top

    # float sequences ---------------------------------------------------------------

    def float_sequence(self):
        kind = self.src.below(16)
        if kind == 0:
            return self.src.pick(["0123", {"a": 1}, {1.0, 2.0}, 5, None,
                                  (float(i) for i in range(5))])
        if kind == 1:
            return range(self.src.below(12))
        if kind == 2:
            return bytes(self.src.raw(self.src.below(10)))
        if kind == 3:
            return OddSequence(self, self.src.below(4))
        if kind == 4:
            return IterList(self.plain_number() for _ in range(self.src.below(8)))
        n = self.src.pick([0, 1, 3, 4, 5, 6, 9, 12, 40])
        items = []
        holder = []  # the list a mutating item empties or grows while it is iterated
        for _ in range(n):
            if self.src.below(6) == 0:
                items.append(self.number([holder]))
            else:
                items.append(self.plain_number())
        list.extend(holder, items)
        return tuple(items) if kind == 6 else holder


class IterList(list):
    """A list subclass with its own iteration: sequence conversion uses it."""

    def __init__(self, items):
        super().__init__(items)

    def __iter__(self):
        return iter(list(reversed(list(list.__iter__(self)))))


class OddSequence:
    """An old-style sequence: a __getitem__ and a __len__ that may fail or lie."""

    def __init__(self, builder: Builder, mode: int):
        self.mode = mode
        self.items = [builder.plain_number() for _ in range(builder.src.below(8))]

    def __len__(self):
        if self.mode == 1:
            raise Boom("__len__")
        return 10**18 if self.mode == 2 else len(self.items)

    def __getitem__(self, i):
        if self.mode == 3 and i == len(self.items) // 2:
            raise Boom("__getitem__")
        if i >= len(self.items):
            raise IndexError(i)
        return self.items[i]


# --- checking results --------------------------------------------------------------

FEATURE_KEYS = [
    "mouse_points", "total_distance", "straightness", "avg_velocity", "max_velocity",
    "velocity_var", "avg_acceleration", "acceleration_var", "avg_jerk", "dt_var",
    "click_count", "key_count", "key_interval_avg", "key_interval_var", "webdriver",
    "screen_valid", "scroll_count", "terminal_decel_ratio", "plugins_length",
    "touch_supported", "screen_width", "spectral_purity", "spectral_entropy",
    "submovement_count", "max_touch_points", "avg_touch_radius", "touch_radius_var",
    "avg_touch_force", "touch_event_count", "curvature_score", "mean_curvature",
    "curvature_var", "curvature_rate_var", "avg_dwell_time", "dwell_time_var",
    "avg_flight_time", "flight_time_var", "digraph_entropy", "keystroke_score",
]
FEATURE_UINTS = {"mouse_points", "click_count", "key_count", "scroll_count",
                 "submovement_count", "touch_event_count"}
FEATURE_INTS = {"plugins_length", "max_touch_points"}
FEATURE_BOOLS = {"webdriver", "screen_valid", "touch_supported"}
KEYSTROKE_KEYS = ["key_count", "avg_dwell_time", "dwell_time_var", "avg_flight_time",
                  "flight_time_var", "digraph_entropy", "keystroke_score"]
CURVATURE_KEYS = ["curvature_score", "mean_curvature", "curvature_var", "curvature_rate_var"]
CURVATURE_SCORES = {0.0, 0.1, 0.75, 0.85, 0.9, 0.95}
STATS_KEYS = ["current_bucket_nonces", "previous_bucket_nonces", "active_ip_bans"]


def check_dict(result, keys: list[str], kinds: dict[str, type], what: str) -> None:
    check(type(result) is dict, f"{what}: result is {type(result).__name__}, not dict")
    check(list(result) == keys, f"{what}: keys {list(result)}")
    for key, value in result.items():
        expected = kinds.get(key, float)
        check(type(value) is expected, f"{what}: {key} is {type(value).__name__}")


def same_float(a: float, b: float) -> bool:
    return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))


def check_keystroke_block(r: dict, what: str) -> None:
    """What holds for any keystroke statistics, whatever the events."""
    check(r["key_count"] >= 0, f"{what}: negative key_count")
    check(0.0 <= r["digraph_entropy"] <= 1.0, f"{what}: digraph_entropy {r['digraph_entropy']}")
    check(0.0 <= r["keystroke_score"] <= 1.0, f"{what}: keystroke_score {r['keystroke_score']}")
    # Only dwell times in (0, 5000) and flights in (-500, 5000) are accepted.
    check(0.0 <= r["avg_dwell_time"] <= 5000.0, f"{what}: avg_dwell_time {r['avg_dwell_time']}")
    check(-500.0 <= r["avg_flight_time"] <= 5000.0,
          f"{what}: avg_flight_time {r['avg_flight_time']}")
    check(r["dwell_time_var"] >= 0.0 and r["flight_time_var"] >= 0.0, f"{what}: negative var")


def base_len(obj) -> int | None:
    return list.__len__(obj) if isinstance(obj, list) else None


def plain_get(d: dict, name: str):
    """d[name] without running any key's __eq__ or a subclass hook."""
    for key, value in dict.items(d):
        if type(key) is str and key == name:
            return value
    return None


class Armed:
    """Arms the colliding keys and resets the spy record around a module call."""

    def __enter__(self):
        CONSULTED.clear()
        CollidingKey.armed = True

    def __exit__(self, *exc):
        CollidingKey.armed = False


def spies_untouched(what: str) -> None:
    check(not CONSULTED, f"{what}: consulted {CONSULTED}")


# --- targets -----------------------------------------------------------------------

def features_target(data: bytes) -> None:
    features_target_on(Builder(Source(data)).telemetry())


def forgiving_call(fn, argument):
    """A forgiving reader's call: a result, or None when one of our hostile
    objects raised MemoryError, which is not bad data and must come out of the
    call unchanged (every other error it raised is dropped)."""
    try:
        with Armed():
            return fn(argument)
    except MemoryError as exc:
        check(getattr(exc, "from_hostile", False), f"{fn.__name__}: MemoryError of its own: {exc}")
        return None
    finally:
        spies_untouched(fn.__name__)


def features_target_on(telemetry) -> None:
    mouse = plain_get(telemetry, "mouse_movements") if isinstance(telemetry, dict) else None
    mouse_len = base_len(mouse)
    result = forgiving_call(core.extract_features_rs, telemetry)
    if result is None:
        return
    kinds = {k: int for k in FEATURE_UINTS | FEATURE_INTS} | {k: bool for k in FEATURE_BOOLS}
    check_dict(result, FEATURE_KEYS, kinds, "extract_features_rs")
    for key in FEATURE_UINTS:
        check(result[key] >= 0, f"extract_features_rs: {key} {result[key]}")
    check(result["key_count"] <= 150, "extract_features_rs: more than 150 keystrokes")
    check(result["mouse_points"] <= (mouse_len or 0),
          f"extract_features_rs: {result['mouse_points']} points from {mouse_len}")
    check(result["touch_event_count"] <= result["mouse_points"], "touch events > points")
    check(result["curvature_score"] in CURVATURE_SCORES,
          f"extract_features_rs: curvature_score {result['curvature_score']}")
    check(same_float(result["key_interval_avg"], result["avg_flight_time"]) and
          same_float(result["key_interval_var"], result["flight_time_var"]),
          "extract_features_rs: key_interval_* differ from the flight statistics")
    check_keystroke_block(result, "extract_features_rs")
    if result["key_count"] == 0:
        check(result["digraph_entropy"] == 0.5, "no keystrokes: digraph_entropy is not 0.5")


def keystrokes_target(data: bytes) -> None:
    src = Source(data)
    builder = Builder(src)
    keystrokes_target_on(builder.keystroke_entries([], tuples=True) if src.below(8)
                         else src.pick([None, "abc", (("a", 0, 80),), {}]))


def keystrokes_target_on(argument) -> None:
    length = base_len(argument)
    result = forgiving_call(core.evaluate_keystroke_dynamics_rs, argument)
    if result is None:
        return
    check_dict(result, KEYSTROKE_KEYS, {"key_count": int}, "evaluate_keystroke_dynamics_rs")
    check(result["key_count"] <= (length or 0), "more events than list elements")
    check_keystroke_block(result, "evaluate_keystroke_dynamics_rs")
    if result["key_count"] == 0:
        check(all(result[k] == 0.0 for k in KEYSTROKE_KEYS[1:]), "no events but non-zero stats")


ADDRESS = re.compile(r"0x[0-9a-fA-F]+")


def call(fn, *args):
    try:
        return fn(*args), None
    except Exception as exc:  # noqa: BLE001 - classified by the caller
        return None, exc


def state_call(fn, *args):
    """Calls a state function; only conversion errors may come out of it."""
    result, error = call(fn, *args)
    if error is not None:
        check(expected_error(error), f"{fn.__name__}: unexpected {type(error).__name__}: {error}")
    return result, error


def curvature_target(data: bytes) -> None:
    """Both curvature functions on the same input, each on objects of its own
    (built twice from the same bytes): the same values, or the same error with
    the argument name added by the first one only."""

    def arguments():
        b = Builder(Source(data))
        return [b.float_sequence() for _ in range(3)]

    natural, natural_error = call(core.evaluate_curvature_naturalness_rs, *arguments())
    zero, zero_error = call(core.evaluate_curvature_zerocopy_rs, *arguments())
    for result, error, what in ((natural, natural_error, "naturalness"),
                                (zero, zero_error, "zerocopy")):
        if error is not None:
            check(expected_error(error), f"{what}: unexpected {type(error).__name__}: {error}")
            continue
        check_dict(result, CURVATURE_KEYS, {}, what)
        check(result["curvature_score"] in CURVATURE_SCORES, f"{what}: score {result}")
    check((natural_error is None) == (zero_error is None),
          f"one curvature function failed: {natural_error!r} / {zero_error!r}")
    if natural_error is None:
        check(all(same_float(natural[k], zero[k]) for k in CURVATURE_KEYS),
              f"curvature functions differ: {natural} / {zero}")
        return
    check(type(natural_error) is type(zero_error),
          f"error types differ: {natural_error!r} / {zero_error!r}")
    natural_text = ADDRESS.sub("0x", str(natural_error))
    zero_text = ADDRESS.sub("0x", str(zero_error))
    if type(natural_error) is TypeError:
        prefix = re.match(r"argument '(x|y|t)': ", natural_text)
        check(prefix is not None, f"naturalness TypeError without argument name: {natural_text}")
        natural_text = natural_text[prefix.end():]
    check(natural_text == zero_text, f"messages differ: {natural_text!r} / {zero_text!r}")


# state engine ----------------------------------------------------------------------

U64_MAX = 2**64 - 1
FAR = 4_000_000_000
IPS = ["203.0.113.7", "203.0.113.7 ", "", "a\0b", "::1", "\u00e9", "k"]


def as_key(arg) -> bytes | None:
    """The bytes the engine keys on, or None where the text argument must be refused."""
    if not isinstance(arg, str):
        return None
    try:
        return str.encode(arg, "utf-8")
    except UnicodeEncodeError:
        return None


def as_u64(arg) -> int | None:
    """The unsigned value of an integer argument, or None where it must be refused."""
    try:
        value = operator.index(arg)
    except Exception:  # noqa: BLE001 - any refusal
        return None
    return value if 0 <= value <= U64_MAX else None


class BanModel:
    """What the engine should hold: per address the range of its possible end
    second (the engine reads the clock at a moment we can only bracket), or
    None where an end time lay so close to the clock that either outcome is right."""

    def __init__(self):
        self.nonces: set[bytes] = set()
        self.bans: dict[bytes, tuple[int, int] | None] = {}

    def banned(self, key: bytes, q0: int, q1: int) -> bool | None:
        """True/False when certain for a query made between q0 and q1."""
        if key not in self.bans:
            return False
        span = self.bans[key]
        if span is None:
            return None
        lo, hi = span
        if lo > q1:
            return True
        if hi <= q0:
            return False
        return None


class StateRun:
    def __init__(self, src: Source):
        self.src = src
        self.model = BanModel()

    def text_arg(self):
        kind = self.src.below(10)
        if kind <= 5:
            return self.src.pick(IPS)
        if kind == 6:
            return TextSub(self.src.pick(IPS))
        if kind == 7:
            return Builder(self.src).text(4)
        return self.src.pick([None, 5, b"ip", ["a"], "\ud800",
                              Hostile("value", 1.0, Boom, 1, 0, [])])

    def u64_arg(self, now: int):
        kind = self.src.below(10)
        if kind <= 3:
            return self.src.pick([0, 1, 2, 60, 3600, FAR, U64_MAX, U64_MAX - 10, True])
        if kind == 4:
            return self.src.pick([-1, 2**64, 1.5, "5", None, 10**30])
        if kind == 5:
            return now + self.src.pick([-100, 3600, 10**6])
        if kind == 6:
            return Index(self.src.pick([0, 3600, FAR, -1, 2**64]))
        if kind == 7:
            mode = self.src.pick(["value", "raise", "wrong"])
            return Hostile(mode, float(self.src.pick([0, 5, 3600])), self.src.pick(RAISED),
                           self.src.pick(WRONG), 0, [])
        return self.src.below(65536)

    def bans_arg(self, now: int):
        kind = self.src.below(8)
        if kind == 0:
            return self.src.pick(["ab", {"a": 1}, None, 5, (p for p in [("a", FAR)])])
        pairs = []
        for _ in range(self.src.below(6)):
            shape = self.src.below(10)
            if shape == 0:
                pairs.append([self.text_arg(), self.u64_arg(now)])
            elif shape == 1:
                pairs.append(tuple([self.text_arg(), self.u64_arg(now)] +
                                   [1] * self.src.pick([-1, -2, 1])))
            else:
                pairs.append((self.text_arg(), self.u64_arg(now)))
        if kind == 1:
            return tuple(pairs)
        if kind == 2:
            return BanPairs(pairs, self.src.below(3))
        return pairs

    def set_ban(self, key: bytes, lo: int, hi: int, t0: int, t1: int) -> None:
        # An end second within a second or two of the clock may or may not
        # have passed by the time of a query: leave it unchecked.
        near = lo <= t1 + 2 and hi >= t0 - 2
        self.model.bans[key] = None if near else (lo, hi)

    def step(self) -> None:
        """One state call, checked against the model and then applied to it."""
        op = self.src.below(8)
        now = int(time.time())
        m = self.model
        if op == 0:
            nonce = self.text_arg()
            key = as_key(nonce)
            result, error = state_call(core.consume_nonce_rs, nonce)
            if key is None:
                check(error is not None, f"consume_nonce_rs accepted {nonce!r}")
            else:
                check(error is None, f"consume_nonce_rs({nonce!r}) raised {error!r}")
                check(result is (key not in m.nonces), f"consume_nonce_rs({key!r}) gave {result}")
                m.nonces.add(key)
        elif op in (1, 2):
            ip = self.text_arg()
            key = as_key(ip)
            q0 = int(time.time())
            result, error = state_call(core.is_ip_banned_rs, ip)
            q1 = int(time.time())
            if key is None:
                check(error is not None, f"is_ip_banned_rs accepted {ip!r}")
            else:
                check(error is None, f"is_ip_banned_rs({ip!r}) raised {error!r}")
                expected = m.banned(key, q0, q1)
                check(expected is None or result is expected,
                      f"is_ip_banned_rs({key!r}) gave {result}, model {m.bans.get(key)}")
        elif op == 3:
            ip, duration = self.text_arg(), self.u64_arg(now)
            key, value = as_key(ip), as_u64(duration)
            t0 = int(time.time())
            _, error = state_call(core.ban_ip_rs, ip, duration)
            t1 = int(time.time())
            if key is None or value is None:
                check(error is not None, f"ban_ip_rs accepted {ip!r}, {duration!r}")
            else:
                check(error is None, f"ban_ip_rs({ip!r}, {duration!r}) raised {error!r}")
                self.set_ban(key, min(t0 + value, U64_MAX), min(t1 + value, U64_MAX), t0, t1)
        elif op == 4:
            ip = self.text_arg()
            key = as_key(ip)
            _, error = state_call(core.unban_ip_rs, ip)
            check((error is None) == (key is not None), f"unban_ip_rs({ip!r}): {error!r}")
            if key is not None:
                m.bans.pop(key, None)
        elif op == 5:
            bans = self.bans_arg(now)
            t0 = int(time.time())
            _, error = state_call(core.hydrate_bans_rs, bans)
            t1 = int(time.time())
            # Anything but a sequence of (text, integer) 2-tuples must be refused whole.
            pairs = (list(hydrated_pairs(bans)) if isinstance(bans, (list, tuple, BanPairs))
                     else [None])
            check((error is None) == all(p is not None for p in pairs),
                  f"hydrate_bans_rs({bans!r}) gave {error!r}")
            if error is None:
                for key, end in pairs:
                    if end > t1:
                        self.set_ban(key, end, end, t0, t1)
                    elif end > t0 - 1:
                        m.bans[key] = None  # applied or not, depending on the second
        elif op == 6:
            check(core.clear_state_engine_rs() is None, "clear_state_engine_rs result")
            m.nonces.clear()
            m.bans.clear()
        else:
            q0 = int(time.time())
            stats = core.get_state_engine_stats_rs()
            q1 = int(time.time())
            check_dict(stats, STATS_KEYS, {k: int for k in STATS_KEYS}, "stats")
            check(stats["current_bucket_nonces"] == len(m.nonces),
                  f"stats {stats}, model has {len(m.nonces)} nonces")
            check(stats["previous_bucket_nonces"] == 0, f"stats {stats}: rotated")
            answers = [m.banned(k, q0, q1) for k in m.bans]
            sure = answers.count(True)
            check(sure <= stats["active_ip_bans"] <= sure + answers.count(None),
                  f"stats {stats}, model {m.bans}")


class BanPairs:
    """A sequence whose length fails or lies; items come from __getitem__."""

    def __init__(self, pairs: list, mode: int):
        self.pairs = pairs
        self.mode = mode

    def __len__(self):
        if self.mode == 1:
            raise Boom("__len__")
        return 10**15 if self.mode == 2 else len(self.pairs)

    def __getitem__(self, i):
        if i >= len(self.pairs):
            raise IndexError(i)
        return self.pairs[i]


def hydrated_pairs(bans):
    """The (key, end) pairs a successful hydration must have converted; None for
    a pair that should have made it fail."""
    items = bans.pairs if isinstance(bans, BanPairs) else bans
    for item in items:
        if not isinstance(item, tuple) or len(item) != 2:
            yield None
            continue
        key, end = as_key(item[0]), as_u64(item[1])
        yield None if key is None or end is None else (key, end)


def state_target(data: bytes) -> None:
    """A sequence of state calls checked against a model. The engine is cleared
    first, which also restarts its 60-second bucket clock, so no rotation
    happens within one input."""
    core.clear_state_engine_rs()
    run = StateRun(Source(data))
    for _ in range(40):
        if run.src.exhausted():
            break
        run.step()
    core.clear_state_engine_rs()


# signals -----------------------------------------------------------------------------

SKETCH_KEYS = ["version", "pointer_bands", "pointer_signature", "pointer_shingles", "key_bands",
               "key_signature", "key_shingles"]
U64 = 1 << 64


def check_sketch(result) -> None:
    """What holds for any sketch, whatever the telemetry."""
    kinds = {k: list for k in SKETCH_KEYS} | {"version": int, "pointer_shingles": int,
                                               "key_shingles": int}
    check_dict(result, SKETCH_KEYS, kinds, "trace_sketch")
    check(result["version"] == 3, f"trace_sketch: version {result['version']}")
    for stream in ("pointer", "key"):
        bands, signature = result[f"{stream}_bands"], result[f"{stream}_signature"]
        shingles = result[f"{stream}_shingles"]
        check(all(type(v) is int and 0 <= v < U64 for v in bands + signature),
              f"trace_sketch: {stream} values out of range")
        if shingles == 0:
            check(not bands and not signature, f"trace_sketch: {stream} values without shingles")
        else:
            check(len(signature) == 32 and len(bands) == 32,
                  f"trace_sketch: {len(signature)} {stream} signature values, {len(bands)} bands")
            # Every signature value is the hash of one of the shingles.
            check(len(set(signature)) <= shingles, f"trace_sketch: {stream} signature holds "
                  f"{len(set(signature))} hashes of {shingles} shingles")


def signals_target(data: bytes) -> None:
    """trace_sketch on telemetry built twice from the same bytes (hostile objects included,
    which behave the same both times): a well-formed sketch, and the same one both times."""
    first = forgiving_call(signals.trace_sketch, Builder(Source(data)).telemetry())
    second = forgiving_call(signals.trace_sketch, Builder(Source(data)).telemetry())
    check((first is None) == (second is None), "trace_sketch raised on one of two equal inputs")
    if first is None:
        return
    check_sketch(first)
    check(first == second, "trace_sketch differs on two equal inputs")


BEHAVIOUR_KEYS = [
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
# Signals that are a share of something (a count over a count): NaN or within [0, 1].
BEHAVIOUR_SHARES = [k for k in BEHAVIOUR_KEYS if k.endswith("_share")] + [
    "pointer_peak_time_median", "pointer_backtrack_mean", "pointer_endpoint_phase_median"]
# Quantiles that come in ascending order whenever they are numbers.
BEHAVIOUR_QUANTILES = [("key_hold_p10_ms", "key_hold_p50_ms", "key_hold_p90_ms"),
                       ("key_flight_rp_p10_ms", "key_flight_rp_p50_ms", "key_flight_rp_p90_ms"),
                       ("key_flight_pp_p10_ms", "key_flight_pp_p50_ms", "key_flight_pp_p90_ms"),
                       ("pointer_straightness_min", "pointer_straightness_median")]


def check_behaviour(result, key_limit: int) -> None:
    """What holds for any signals dict, whatever the telemetry."""
    check_dict(result, BEHAVIOUR_KEYS, {}, "signals")
    for name in ("pointer_movement_count", "key_press_count"):
        count = result[name]
        check(count == int(count) and count >= 0, f"signals: {name} {count}")
    check(result["key_press_count"] <= key_limit, f"signals: {result['key_press_count']} keys")
    for name in BEHAVIOUR_SHARES:
        v = result[name]
        check(math.isnan(v) or 0.0 <= v <= 1.0, f"signals: {name} {v}")
    for names in BEHAVIOUR_QUANTILES:
        values = [result[n] for n in names]
        if not any(math.isnan(v) for v in values):
            check(values == sorted(values), f"signals: {names} out of order: {values}")
    if result["pointer_movement_count"] == 0:
        check(math.isnan(result["pointer_straightness_median"]), "signals: straightness without movements")


def behaviour_target(data: bytes) -> None:
    """signals on telemetry built twice from the same bytes: a well-formed dict, and the
    same bits both times."""
    first = forgiving_call(signals.signals, Builder(Source(data)).telemetry())
    second = forgiving_call(signals.signals, Builder(Source(data)).telemetry())
    check((first is None) == (second is None), "signals raised on one of two equal inputs")
    if first is None:
        return
    check_behaviour(first, 150)
    check(type(second) is dict and list(second) == list(first), "signals: keys differ on equal inputs")
    for key, value in first.items():
        check(same_float(value, second[key]), f"signals: {key} differs on two equal inputs")
# --- Forest ------------------------------------------------------------------------

def forest_tree(src: Source, leaves: int, features: int) -> list:
    """A well-formed tree of `leaves` leaves in pre-order, its nodes as lists (to be
    broken and turned into tuples by the caller)."""
    nodes: list = []

    def grow_split(count: int) -> int:
        at = len(nodes)
        builder = Builder(src)
        if count <= 1:
            nodes.append([-1, 0.0, False, -1, -1, builder.float_value()])
            return at
        nodes.append(None)
        left_count = 1 + src.below(count - 1)
        left = grow_split(left_count)
        right = grow_split(count - left_count)
        nodes[at] = [src.below(max(features, 1)), builder.float_value(), src.flag(), left, right,
                     builder.float_value()]
        return at

    grow_split(leaves)
    return nodes


def forest_problem(features: int, baseline, trees) -> bool:
    """True when plain trees break a rule Forest enforces (the reference check)."""
    if not 0 <= features <= 2**20 or not math.isfinite(baseline):
        return True
    for tree in trees:
        if not tree:
            return True
        reached = [False] * len(tree)
        reached[0] = True
        for i, (feature, threshold, _, left, right, value) in enumerate(tree):
            if not reached[i] or not math.isfinite(value):
                return True
            if left == -1 and right == -1:
                continue
            for child in (left, right):
                if not i < child < len(tree) or reached[child]:
                    return True
                reached[child] = True
            if not 0 <= feature < features or math.isnan(threshold):
                return True
    return False


def forest_walk(tree, row) -> tuple[list[int], float]:
    path = [0]
    while tree[path[-1]][3] != -1:
        feature, threshold, missing_left, left, right, _ = tree[path[-1]]
        x = row[feature]
        path.append(left if x <= threshold or (math.isnan(x) and missing_left) else right)
    return path, tree[path[-1]][5]


def forest_target(data: bytes) -> None:
    """Forest on trees drawn from the bytes: well-formed ones with a field or two broken,
    and now and then a hostile or mistyped value. Plain trees are accepted exactly when the
    reference check finds nothing wrong, and then scored as a reference walk scores them:
    the same raw score to the bit, the same bias, contributions that add up."""
    src = Source(data)
    builder = Builder(src)
    features = src.below(6)
    baseline = builder.float_value() if src.below(8) else 0.5
    trees: list = []
    plain = True
    for _ in range(src.below(5)):
        tree = forest_tree(src, 1 + src.below(8), features)
        for _ in range(src.below(3)):  # break a field of a node
            node = tree[src.below(len(tree))]
            field = src.below(6)
            kind = src.below(4)
            if kind == 0:
                plain = False
                node[field] = builder.number([tree])
            elif field in (0, 3, 4):
                node[field] = src.below(10) - 2
            elif field == 2:
                node[field] = src.flag()
            else:
                node[field] = builder.float_value()
        if src.below(16) == 0:
            tree.append([-1, 0.0, False, -1, -1, 1.0])  # unreachable
        trees.append(tree)
    as_tuples = [[tuple(n) for n in t] for t in trees]
    try:
        forest = signals.Forest(features, baseline, as_tuples)
    except Exception as exc:
        check(expected_error(exc), f"Forest raised {exc!r}")
        check(not plain or isinstance(exc, ValueError), f"Forest: {exc!r} on plain trees")
        check(not plain or forest_problem(features, baseline, trees), f"Forest refused valid trees: {exc}")
        return
    if not plain:
        return
    check(not forest_problem(features, baseline, trees), "Forest accepted malformed trees")
    row = [builder.float_value() for _ in range(features)]
    raw, bias, contributions = forest.explain(row)
    expected_raw, expected_bias = 0.0 + baseline, 0.0 + baseline
    for tree in trees:
        expected_raw += forest_walk(tree, row)[1]
        expected_bias += tree[0][5]
    same = (raw == expected_raw or (math.isnan(raw) and math.isnan(expected_raw)))
    check(same and raw == forest.raw(row), f"Forest: raw {raw!r}, reference {expected_raw!r}")
    check(bias == expected_bias, f"Forest: bias {bias!r}, reference {expected_bias!r}")
    check(len(contributions) == features, "Forest: contributions of the wrong length")
    if all(math.isfinite(v) and abs(v) < 1e300 for v in (raw, bias, *contributions)):
        total = bias + math.fsum(contributions)
        scale = sum(abs(v) for t in trees for n in t for v in (n[5],)) + abs(baseline) + 1.0
        check(abs(total - raw) <= 1e-12 * scale, f"Forest: bias + contributions {total!r}, raw {raw!r}")


TARGETS = {
    "features": features_target,
    "curvature": curvature_target,
    "keystrokes": keystrokes_target,
    "state": state_target,
    "signals": signals_target,
    "behaviour": behaviour_target,
    "forest": forest_target,
}
