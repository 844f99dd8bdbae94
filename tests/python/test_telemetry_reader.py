"""Reading the telemetry dict: defaults, conversion rules, limits, and inputs
that fight back (junk of every kind, conversions that mutate the containers
being read, container subclasses that lie about their items)."""

import gc
import math
import sys

import pytest
import velkora_core_rs as core
from hostile import CollidingKey, RaisingFloat, RaisingIndex
from hypothesis import given
from hypothesis import strategies as st
from test_features import KEYS

extract = core.extract_features_rs
NAN = float("nan")
INF = float("inf")


def browser_fields(browser):
    r = extract({"browser": browser})
    return {k: r[k] for k in ("screen_width", "screen_valid", "webdriver", "touch_supported",
                              "max_touch_points", "plugins_length")}


@pytest.mark.parametrize(
    "browser, expected",
    [
        ({}, dict(screen_width=0.0, screen_valid=False, plugins_length=1, max_touch_points=0)),
        ({"screen_width": 800, "screen_height": 0}, dict(screen_width=800.0, screen_valid=False)),
        ({"screen_width": 800, "screen_height": 600}, dict(screen_width=800.0, screen_valid=True)),
        ({"screen_width": NAN, "screen_height": 600}, dict(screen_valid=False)),
        ({"screen_width": "800", "screen_height": 600}, dict(screen_width=0.0, screen_valid=False)),
        ({"screen_width": True, "screen_height": 2.5}, dict(screen_width=1.0, screen_valid=True)),
        ({"webdriver": True, "touch_supported": True}, dict(webdriver=True, touch_supported=True)),
        ({"webdriver": 1, "touch_supported": "yes"}, dict(webdriver=False, touch_supported=False)),
        ({"plugins_length": 3.0}, dict(plugins_length=1)),
        ({"plugins_length": -3, "max_touch_points": 10}, dict(plugins_length=-3, max_touch_points=10)),
        ({"plugins_length": 2**63}, dict(plugins_length=1)),
        ({"plugins_length": -(2**63), "max_touch_points": True},
         dict(plugins_length=-(2**63), max_touch_points=1)),
        ({"plugins_length": None, "max_touch_points": "5"}, dict(plugins_length=1, max_touch_points=0)),
    ],
)
def test_browser(browser, expected):
    fields = browser_fields(browser)
    for key, value in expected.items():
        assert fields[key] == value and type(fields[key]) is type(value), key


def test_browser_that_is_not_a_dict_keeps_all_defaults():
    defaults = {"screen_width": 1024.0, "screen_valid": True, "webdriver": False,
                "touch_supported": False, "max_touch_points": 0, "plugins_length": 1}
    for browser in (None, [], "x", 5, ({"webdriver": True},)):
        assert browser_fields(browser) == defaults


@pytest.mark.parametrize(
    "value, count",
    [([None, None], 2), ((1, 2, 3), 0), ({"a": 1}, 0), ("abc", 0), (None, 0), ([], 0)],
)
def test_clicks_and_scrolls_count_list_entries(value, count):
    r = extract({"clicks": value, "scrolls": value})
    assert (r["click_count"], r["scroll_count"]) == (count, count)


@pytest.mark.parametrize(
    "entry, dwell",
    [
        ({"t": 50, "down": 100, "up": 180, "key": "a"}, 130.0),  # "t" wins over "down"
        ({"down": 100, "duration_ms": 80}, 80.0),
        ({"down": NAN, "time": 7, "up": 10}, 3.0),  # NaN falls through to the next key
        ({"t": INF, "down": "1", "time": 20, "up": 30}, 10.0),
        ({"down": 100, "up": None}, 0.0),  # no release time
        ({"down": 100, "up": None, "duration_ms": 40}, 40.0),
        ({"down": 100, "up": 150, "duration_ms": 40}, 50.0),  # "up" wins over the duration
        ({"down": 100, "up": NAN}, 0.0),  # taken as it is; no dwell accepted
        ({"type": "up", "down": 100, "up": 130}, 30.0),  # no event-type filter here
    ],
)
def test_keystroke_entry_is_read(entry, dwell):
    r = extract({"keystrokes": [entry]})
    assert (r["key_count"], r["avg_dwell_time"]) == (1, dwell)


@pytest.mark.parametrize(
    "entry",
    [{"down": "100"}, {"t": NAN, "down": INF, "time": None}, {"key": "a", "up": 5}, ["a", 1, 2],
     ("a", 1, 2), None],
)
def test_keystroke_entry_is_skipped(entry):
    assert extract({"keystrokes": [entry, entry]})["key_count"] == 0


def test_keystroke_scan_stops_after_150_entries():
    valid = [{"key": "a", "down": i * 100.0, "up": i * 100.0 + 50} for i in range(200)]
    assert extract({"keystrokes": valid})["key_count"] == 150
    assert extract({"keystrokes": [None] * 150 + valid})["key_count"] == 0
    assert extract({"keystrokes": [None] * 149 + valid})["key_count"] == 1
    assert extract({"keystrokes": tuple(valid)})["key_count"] == 0


def model_double(v):
    if isinstance(v, (bool, int, float)):
        try:
            return float(v)
        except OverflowError:
            return None
    return None


def model_keystrokes(entries):
    """The reader's rules, as (key, down, up) tuples for the tuple form of
    evaluate_keystroke_dynamics_rs."""
    events = []
    for entry in entries[:150]:
        if not isinstance(entry, dict):
            continue
        down = None
        for name in ("t", "down", "time"):
            v = model_double(entry.get(name))
            if v is not None and math.isfinite(v):
                down = v
                break
        if down is None:
            continue
        key = entry.get("key")
        try:
            key.encode("utf-8")
        except (AttributeError, UnicodeEncodeError):
            key = "unknown"
        up = model_double(entry.get("up"))
        if up is None and model_double(entry.get("duration_ms")) is not None:
            up = down + model_double(entry["duration_ms"])
        events.append((key, down, up))
    return events


times = st.one_of(st.none(), st.text(max_size=2), st.integers(-100, 3000),
                  st.floats(-100, 3000), st.sampled_from([NAN, INF, -INF, True, 10**400]))
keystroke_entries = st.one_of(
    st.none(),
    st.fixed_dictionaries({}, optional={
        "t": times, "down": times, "time": times, "up": times, "duration_ms": times,
        "type": st.sampled_from(["up", "down"]),
        "key": st.one_of(st.sampled_from(list("thenTHEx") + ["Shift", "\u212a", "\ud800", ""]),
                         st.integers(0, 3), st.none()),
    }),
)


@given(st.lists(keystroke_entries, max_size=160))
def test_keystrokes_reach_the_analysis_as_read(entries):
    result = extract({"keystrokes": entries})
    events = model_keystrokes(entries)
    direct = core.evaluate_keystroke_dynamics_rs(events)
    if not events:
        direct["digraph_entropy"] = 0.5  # the feature set's value for no keystrokes
    for key, value in direct.items():
        assert result[key] == value or (math.isnan(result[key]) and math.isnan(value)), key


@pytest.mark.parametrize(
    "entry, accepted",
    [
        ({"x": 1, "y": 2, "t": 3}, True),
        ({"x": 1, "y": 2, "t": 3, "r": NAN, "f": INF}, True),
        ({"x": True, "y": 2.5, "t": -3}, True),
        ({"x": 1, "y": 2}, False),
        ({"x": INF, "y": 2, "t": 3}, False),
        ({"x": 1, "y": NAN, "t": 3}, False),
        ({"x": 1, "y": 2, "t": -INF}, False),
        ({"x": "1", "y": 2, "t": 3}, False),
        ({"x": 10**400, "y": 2, "t": 3}, False),  # too large for a double
        ({"x": None, "y": 2, "t": 3}, False),
        ([1, 2, 3], False),
        ((1, 2, 3), False),
    ],
)
def test_mouse_entry(entry, accepted):
    r = extract({"mouse_movements": [entry]})
    assert r["mouse_points"] == int(accepted)


def test_mouse_touch_values_taken_as_given():
    r = extract({"mouse_movements": [{"x": 0, "y": 0, "t": 0, "r": INF}]})
    assert (r["touch_event_count"], r["avg_touch_radius"], math.isnan(r["touch_radius_var"])) == (
        1, INF, True)


# --- Junk of every kind ------------------------------------------------------------


class Floaty:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


leaves = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=2**62, max_value=2**70),
    st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=4),
    st.sampled_from([RaisingFloat(), RaisingIndex(), Floaty(1.5), Floaty(NAN), b"x", object()]),
)
junk = st.recursive(
    leaves,
    lambda inner: st.one_of(
        st.lists(inner, max_size=5),
        st.tuples(inner, inner),
        st.dictionaries(st.sampled_from(["x", "y", "t", "r", "f", "key", "down", "up", "time",
                                         "duration_ms", "webdriver", "screen_width",
                                         "plugins_length", "other"]), inner, max_size=6),
    ),
    max_leaves=25,
)
telemetry_like = st.one_of(
    junk,
    st.fixed_dictionaries({}, optional={
        "browser": junk, "clicks": junk, "scrolls": junk, "keystrokes": st.lists(junk, max_size=6),
        "mouse_movements": st.lists(junk, max_size=8),
    }),
)


@given(telemetry_like)
def test_junk_never_raises(telemetry):
    result = extract(telemetry)
    assert list(result) == KEYS
    assert 0 <= result["mouse_points"] and 0 <= result["key_count"] <= 150


# --- Conversions that fight back --------------------------------------------------------


class Mutator:
    """A number whose conversion runs `action` first (once)."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __float__(self):
        action, self.action = self.action, None
        if action:
            action()
        return float(self.value)

    def __index__(self):
        action, self.action = self.action, None
        if action:
            action()
        return int(self.value)


def test_float_that_clears_the_mouse_list():
    moves = [{"x": i, "y": 0, "t": i} for i in range(10)]
    moves[2]["x"] = Mutator(2, moves.clear)
    r = extract({"mouse_movements": moves})
    assert r["mouse_points"] == 3  # entries 0-2 were fetched; the rest are gone


def test_float_that_clears_its_own_entry_and_the_telemetry():
    telemetry = {"keystrokes": [], "mouse_movements": []}
    entry = {"x": 1, "y": 2, "t": 3}
    entry["x"] = Mutator(1, lambda: (entry.clear(), telemetry.clear()))
    telemetry["mouse_movements"] = [entry, {"x": 5, "y": 5, "t": 5}]
    r = extract(telemetry)
    # The entry's values were all looked up before any was converted, and the
    # list itself is still held by the reader.
    assert r["mouse_points"] == 2


def test_index_that_clears_the_browser_and_keystrokes_that_vanish():
    browser = {}
    browser["max_touch_points"] = Mutator(7, browser.clear)
    browser["plugins_length"] = 4
    keys = [{"down": 0, "up": 10}, {"down": 100, "up": 110}]
    keys.insert(0, {"down": Mutator(5, keys.clear), "up": 20})
    r = extract({"browser": browser, "keystrokes": keys})
    assert (r["max_touch_points"], r["plugins_length"], r["key_count"]) == (7, 1, 1)


def test_float_that_grows_the_list_is_not_followed():
    moves = [{"x": 0, "y": 0, "t": 0}]
    moves[0]["x"] = Mutator(0, lambda: moves.extend({"x": 1, "y": 1, "t": i} for i in range(5)))
    assert extract({"mouse_movements": moves})["mouse_points"] == 1


def test_reentrant_call_from_a_conversion():
    inner = {}

    def call_again():
        inner["result"] = extract({"mouse_movements": [{"x": 0, "y": 0, "t": 0}] * 3})

    r = extract({"mouse_movements": [{"x": Mutator(0, call_again), "y": 0, "t": 0}]})
    assert (r["mouse_points"], inner["result"]["mouse_points"]) == (1, 3)


# --- Subclasses: their own storage counts, their hooks do not ---------------------------


class LyingDict(dict):
    def __getitem__(self, key):
        raise AssertionError("__getitem__ consulted")

    def get(self, key, default=None):
        raise AssertionError("get consulted")

    def __missing__(self, key):
        raise AssertionError("__missing__ consulted")

    def __contains__(self, key):
        raise AssertionError("__contains__ consulted")


class LyingList(list):
    def __getitem__(self, index):
        raise AssertionError("__getitem__ consulted")

    def __len__(self):
        return 10**6

    def __iter__(self):
        raise AssertionError("__iter__ consulted")


def test_subclass_hooks_are_not_consulted():
    telemetry = LyingDict(
        browser=LyingDict(webdriver=True, screen_width=10, screen_height=10),
        clicks=LyingList([1, 2]),
        keystrokes=LyingList([LyingDict(down=0, up=30)]),
        mouse_movements=LyingList([LyingDict(x=i, y=0, t=i) for i in range(5)]),
    )
    r = extract(telemetry)
    assert (r["webdriver"], r["screen_width"], r["click_count"], r["key_count"],
            r["avg_dwell_time"], r["mouse_points"]) == (True, 10.0, 2, 1, 30.0, 5)


def test_no_references_leak():
    # Values made at run time, so that their reference counts are their own.
    x = float("1e300") / 1e299
    key = "".join(["k", "e", "y"])
    telemetry = {"mouse_movements": [{"x": x, "y": x, "t": x, "r": x, "f": x}] * 5,
                 "keystrokes": [{"key": key, "down": x, "up": x}] * 5,
                 "browser": {"screen_width": x, "screen_height": x}}
    before = (sys.getrefcount(x), sys.getrefcount(key), sys.getrefcount(telemetry))
    for _ in range(50):
        extract(telemetry)
        extract({"mouse_movements": [{"x": RaisingFloat(), "y": x, "t": x}]})
    gc.collect()
    assert (sys.getrefcount(x), sys.getrefcount(key), sys.getrefcount(telemetry)) == before


def test_lookup_that_raises_counts_as_missing():
    def boom():
        raise RuntimeError("eq")

    entry = {CollidingKey("x", boom): 1, "y": 2, "t": 3}
    telemetry = {"mouse_movements": [entry, {"x": 1, "y": 2, "t": 3}]}
    assert extract(telemetry)["mouse_points"] == 1
    browser = {CollidingKey("screen_width", boom): 0, "screen_height": 5, "webdriver": True}
    r = extract({"browser": browser})
    assert (r["screen_width"], r["screen_valid"], r["webdriver"]) == (0.0, False, True)
