"""Keystroke timing features: worked examples, windows, digraphs, entropy, reader."""

import math

import pytest
from hostile import mean, variance
from hypothesis import given
from hypothesis import strategies as st
from velkora_core_rs import evaluate_keystroke_dynamics_rs as keystrokes

NAN, INF = float("nan"), float("inf")
KEYS = ["key_count", "avg_dwell_time", "dwell_time_var", "avg_flight_time",
        "flight_time_var", "digraph_entropy", "keystroke_score"]
EMPTY = dict.fromkeys(KEYS, 0.0) | {"key_count": 0}


def presses(keys, downs, holds=None):
    holds = holds or [None] * len(downs)
    return [(k, d, None if h is None else d + h) for k, d, h in zip(keys, downs, holds)]


def entropy(*counts):
    n = sum(counts)
    return -sum(c / n * math.log2(c / n) for c in counts) / 3


TEN = presses("thentherex", [0, 120, 230, 390, 520, 610, 745, 860, 990, 1150],
              [80, 75, 90, 70, 85, 95, 60, 88, 77, 92])


@pytest.mark.parametrize("events, expected", [
    # dwell 81.2; flights 40,35,70,60,5,40,55,42,83 all in bin 0; base 0, common
    # digraphs (127.083) faster than 'ex' (160) takes 0.25 off 0.0, entropy adds 0.7
    (TEN, [10, 81.2, 107.76, 47.7778, 453.728, 0.0, 0.7]),
    (presses("abcdefghijklmn", range(0, 1400, 100), [50] * 14), [14, 50, 0, 50, 0, 0, 1]),
    (presses("abcd", [0, 100, 200, 300], [50] * 4), [4, 50, 0, 50, 0, 0.5, 1]),
    (presses("a", [0], [80]), [1, 80, 0, 0, 0, 0.5, 0]),
    (presses("abcde", [0, 50, 200, 450, 800]), [5, 0, 0, 200, 12500, 2 / 3, 0]),
])
def test_worked_examples(events, expected):
    result = keystrokes(events)
    assert list(result) == KEYS and type(result["key_count"]) is int
    assert list(result.values()) == pytest.approx(expected, rel=1e-6)
    assert math.copysign(1.0, result["digraph_entropy"]) == 1.0  # never -0.0


@pytest.mark.parametrize("events, field, expected", [
    ([("a", 0, 0)], "avg_dwell_time", 0.0),
    ([("a", 0, 5000)], "avg_dwell_time", 0.0),
    ([("a", 0, 4999)], "avg_dwell_time", 4999.0),
    ([("a", 0, -10)], "avg_dwell_time", 0.0),
    ([("a", 0, 600), ("b", 100, None)], "avg_flight_time", 0.0),  # flight -500
    ([("a", 0, 599), ("b", 100, None)], "avg_flight_time", -499.0),
    (presses("ab", [0, 5000]), "avg_flight_time", 0.0),
    (presses("ab", [0, 4999]), "avg_flight_time", 4999.0),
    # equal press times keep input order: the flight runs from the first listed
    ([("a", 0, 50), ("b", 0, 10)], "avg_flight_time", -50.0),
    ([("b", 0, 10), ("a", 0, 50)], "avg_flight_time", -10.0),
    ([("b", 100, None), ("a", 0, 30)], "avg_flight_time", 70.0),  # sorted by press time
    # flight-time histogram edges: 0 in bin 0, 700..800 share bin 7, 800.5 left out
    (presses("abcde", [0, 0, 100, 300, 600]), "digraph_entropy", 2 / 3),
    (presses("abcde", [0, 0, 0, 0, 800]), "digraph_entropy", entropy(3, 1)),
    (presses("abcde", [0, 0, 0, 0, 799.9]), "digraph_entropy", entropy(3, 1)),
    (presses("abcde", [0, 0, 0, 700, 1500]), "digraph_entropy", entropy(2, 2)),
    (presses("abcde", [0, 0, 0, 0, 800.5]), "digraph_entropy", 0.5),
])
def test_windows_order_and_bins(events, field, expected):
    assert keystrokes(events)[field] == pytest.approx(expected, rel=1e-12)


def digraph_probe(first, second, gap=100):
    """Three short-dwell keys (score 0.75). When first+second reads as a common digraph it
    is typed faster than the pair that follows, which takes 0.25 off (score 0.5)."""
    return keystrokes([(first, 0, 10), (second, gap, gap + 10), ("x", gap + 1999, gap + 2009)])


@pytest.mark.parametrize("first, second, score", [
    ("t", "h", 0.5), ("T", "H", 0.5), ("K", "a", 0.5), ("\u212a", "a", 0.5),
    ("q", "h", 0.75), ("Shift", "h", 0.75), ("", "h", 0.75), ("é", "n", 0.75),
    ("\u0130", "n", 0.75),  # lower-cases to two characters, so not 'in'
    ("unknown", "h", 0.75),
])
def test_digraph_folding(first, second, score):
    assert digraph_probe(first, second)["keystroke_score"] == score


def test_digraph_interval_window():
    assert digraph_probe("t", "h", gap=0)["keystroke_score"] == 0.75  # interval 0 rejected
    assert digraph_probe("t", "h", gap=1)["keystroke_score"] == 0.5
    late = [("t", 0, 10), ("h", 100, 110), ("x", 2100, 2110)]  # 'hx' interval 2000 rejected
    assert keystrokes(late)["keystroke_score"] == 0.75


THX8 = presses("thxthxth", [0, 300, 400, 500, 800, 900, 1000, 1300])
SPREAD = presses("aaaaaaaaa", [0, 50, 200, 450, 800, 1250, 1800, 2450, 3200])


@pytest.mark.parametrize("events, score", [
    (presses("ab", [0, 100], [50, 50]), 0.0),                 # two keys never score
    (presses("abcd", [0, 100, 200, 300]), 0.85),              # flight variance 0
    (presses("abcde", [0, 100, 204, 304, 408]), 0.6),         # flight variance 4
    (presses("abc", [0, 10, 30]), 0.7),                       # mean flight 15
    (presses("abc", [0, 100, 300], [10, 10, 10]), 0.75),      # mean dwell 10
    (THX8, 0.4),        # common digraph slower than the others, eight keys
    (THX8[:7], 0.0),    # same with seven keys: the bonus needs eight
    (presses("thxthxt", [0, 100, 400, 700, 800, 1100, 1400], [10] * 7), 0.5),  # 0.75 - 0.25
    (SPREAD, 0.5),      # eight flights spread evenly over the eight bins
])
def test_score_increments(events, score):
    assert keystrokes(events)["keystroke_score"] == pytest.approx(score, abs=1e-12)


@pytest.mark.parametrize("element, same_as", [
    ({"type": "up", "key": "a", "t": 5}, None),
    ({"type": "UP", "key": "a", "t": 5}, ("a", 5, None)),
    ({"type": "keyup", "key": "a", "t": 5, "up": 9}, ("a", 5, 9)),
    ({"type": 1, "t": 5, "up": 9}, ("a", 5, 9)),
    ({"t": 50, "down": 100, "up": 180}, ("a", 100, 180)),  # "down" wins over "t"
    ({"key": "a", "down": NAN, "t": 10, "up": 30}, ("a", 10, 30)),
    ({"down": "100", "time": 7, "up": 20}, ("a", 7, 20)),
    ({"key": "a", "down": INF}, None),
    ({"key": "a", "down": "100"}, None),
    ({"down": 0, "duration_ms": 80}, ("a", 0, 80)),
    ({"down": 0, "up": None, "duration_ms": 80}, ("a", 0, 80)),
    ({"down": 0, "up": "9", "duration_ms": 80}, ("a", 0, 80)),
    ({"down": 0, "up": NAN, "duration_ms": 80}, ("a", 0, NAN)),
    (("a", 0, None), ("a", 0, None)),
    ((True, 0, 80), None), (["a", 0, 80], None), (("a", 0), None), (("a", "x", 80), None),
    (("a", 0, "x"), None), (("\udc80", 0, 80), None), (5, None), (None, None),
])
def test_reader_shapes(element, same_as):
    assert keystrokes([element]) == keystrokes([same_as] if same_as else [])


@pytest.mark.parametrize("key, score", [("T", 0.5), (5, 0.75), (None, 0.75), ("\udc80", 0.75)])
def test_dict_key_text(key, score):
    probe = keystrokes([{"key": key, "down": 0, "up": 10}, ("h", 100, 110), ("x", 2099, 2109)])
    assert probe["key_count"] == 3 and probe["keystroke_score"] == score


def test_mixed_list_and_non_lists():
    mixed = [("a", 0, 50), "junk", {"key": "b", "down": 100, "up": 150}, 7, ("c", 200, 250)]
    assert keystrokes(mixed) == keystrokes(presses("abc", [0, 100, 200], [50] * 3))
    for other in (None, "abc", (("a", 0, 80),), {"a": ("a", 0, 80)}, iter([("a", 0, 80)])):
        assert keystrokes(keystrokes=other) == EMPTY
    assert keystrokes([("a", i * 100.0, i * 100.0 + 50) for i in range(1000)])["key_count"] == 1000


def test_container_subclasses_read_from_storage():
    class Lst(list):
        def __getitem__(self, i): raise AssertionError
        def __iter__(self): raise AssertionError
        def __len__(self): return 10**9

    class Dct(dict):
        def __getitem__(self, k): raise AssertionError
        def get(self, k, d=None): raise AssertionError

    events = Lst([("a", 0, 50), Dct(key="b", down=100, up=150)])
    assert keystrokes(events) == keystrokes(presses("ab", [0, 100], [50, 50]))


def test_element_code_that_mutates_the_input():
    class Clear:
        def __init__(self, victim, value): self.victim, self.value = victim, value
        def __float__(self): self.victim.clear(); return self.value

    lst = []
    lst += [("a", Clear(lst, 5.0), 10), ("b", 100, 150), ("c", 200, 250)]
    assert keystrokes(lst) == keystrokes([("a", 5, 10)])
    event = {"key": "a", "up": 30}
    event["down"] = Clear(event, 5.0)  # empties the dict before "up" is read
    assert keystrokes([event, ("b", 100, None)]) == keystrokes(presses("ab", [5, 100]))

    class Grow:
        def __float__(self): lst.append(("z", 1, 2)); return 1.0
    lst[:] = [("a", Grow(), 3)]
    assert keystrokes(lst)["key_count"] == 1

    class Boom:
        def __float__(self): raise RuntimeError("boom")
    assert keystrokes([("a", Boom(), 3), {"down": Boom(), "t": 4}]) == keystrokes([("u", 4, None)])


def reference_stats(events):
    """Dwell, flight and entropy recomputed plainly. NaN press times sort last, so they
    do not break up the flights between the other events."""
    ev = sorted(events, key=lambda e: (math.isnan(e[1]), 0.0 if math.isnan(e[1]) else e[1]))

    def mean_var(xs):
        if not xs:
            return [0.0, 0.0]
        m = mean(xs)
        return [m, variance(xs, m)]

    dwell = [e[2] - e[1] for e in ev if e[2] is not None and 0 < e[2] - e[1] < 5000]
    fl = [b[1] - (a[1] if a[2] is None else a[2]) for a, b in zip(ev, ev[1:])]
    fl = [f for f in fl if -500 < f < 5000]
    kept = [f for f in fl if 0 <= f <= 800]
    h = 0.5
    if len(kept) >= 4:
        h = 0.0
        for b in range(8):
            c = sum(1 for f in kept if min(math.floor(f / 100), 7) == b)
            if c: h -= c / len(kept) * math.log2(c / len(kept))
        h /= 3
    return [len(ev), *mean_var(dwell), *mean_var(fl), h] if ev else [0] + [0.0] * 5


times = st.floats(-1000, 10000) | st.sampled_from([NAN, INF, -INF, 0.0, -0.0])
tuples = st.tuples(st.sampled_from(["a", "T", "h", "\u212a", "Shift", ""]), times,
                   st.none() | times)


@given(st.lists(tuples, max_size=40))
def test_statistics_match_plain_reference(events):
    result = keystrokes(events)
    assert list(result.values())[:6] == reference_stats(events)
    assert 0.0 <= result["keystroke_score"] <= 1.0


@given(st.lists(st.one_of(
    st.tuples(st.text(st.characters(exclude_categories=()), max_size=3), st.floats(), st.none() | st.floats()),
    st.dictionaries(st.sampled_from(["type", "key", "down", "t", "time", "up", "duration_ms"]),
                    st.floats() | st.text(max_size=3) | st.none() | st.integers()),
    st.integers(), st.none()), max_size=60))
def test_any_input_gives_bounded_features(elements):
    result = keystrokes(elements)
    assert list(result) == KEYS and result["key_count"] <= len(elements)
    assert 0.0 <= result["keystroke_score"] <= 1.0 and 0.0 <= result["digraph_entropy"] <= 1.0
