"""Curvature scoring of a pointer path: values, score rules and their edges,
argument conversion errors of both entry points.

Expected values come from hand-worked figures or from `reference` below, a
plain-Python transcription of the documented arithmetic. Python floats are
IEEE doubles and every operation here happens in the same order, so the
module must agree with it bit for bit.
"""

import math

import pytest
import velkora_core_rs as core
from hostile import TypeErrorSubclass, mean
from hostile import variance as var
from hypothesis import given
from hypothesis import strategies as st

NATURAL = core.evaluate_curvature_naturalness_rs
ZEROCOPY = core.evaluate_curvature_zerocopy_rs
ENTRY_POINTS = pytest.mark.parametrize("fn", [NATURAL, ZEROCOPY], ids=["naturalness", "zerocopy"])
KEYS = ["curvature_score", "mean_curvature", "curvature_var", "curvature_rate_var"]
SCORES = {0.0, 0.1, 0.75, 0.85, 0.9, 0.95}


def reference(x, y, t):
    """(score, mean, var, rate var) and the curvature values."""
    n = min(len(x), len(y), len(t))
    if n < 4:
        return (0.0, 0.0, 0.0, 0.0), []

    def step(d):  # NaN, zero and negative steps all become 0.1
        return d if d >= 0.1 else 0.1

    dt = [step(t[i + 1] - t[i]) for i in range(n - 1)]
    vx = [(x[i + 1] - x[i]) / dt[i] for i in range(n - 1)]
    vy = [(y[i + 1] - y[i]) / dt[i] for i in range(n - 1)]
    h = [(dt[j + 1] + dt[j]) * 0.5 for j in range(n - 2)]
    kappa = []
    for k in range(n - 2):
        ax, ay = (vx[k + 1] - vx[k]) / h[k], (vy[k + 1] - vy[k]) / h[k]
        u, w = vx[k + 1], vy[k + 1]
        s = (u * u + w * w) + 1e-6
        kappa.append(abs(u * ay - w * ax) / (s * math.sqrt(s)))
    rho = [(kappa[k + 1] - kappa[k]) / step(h[k + 1]) for k in range(n - 3)]
    m, rate_m = mean(kappa), mean(rho)
    cv, rv = var(kappa, m), var(rho, rate_m)
    if m < 1e-6 and cv < 1e-7:
        score = 0.95
    elif cv < 1e-4 and rv < 1e-8:
        score = 0.9
    elif cv > 10 or rv > 5:
        score = 0.85
    elif rv > 2 and sum(k > 0.1 for k in kappa) > len(kappa) // 2:
        score = 0.75
    else:
        score = 0.1
    return (score, m, cv, rv), kappa


def values(result):
    assert list(result) == KEYS
    assert all(type(v) is float for v in result.values())
    return tuple(result[k] for k in KEYS)


def same(a, b):
    """Bitwise equality of float tuples, NaN equal to NaN."""
    return all(p == q or (math.isnan(p) and math.isnan(q)) for p, q in zip(a, b, strict=True))


def steps(n):
    return [float(i) for i in range(n)]


# ---------------------------------------------------------------------------
# Worked examples: results to the printed digits.

WORKED = [
    # all time steps 10
    ([0, 10, 20, 25, 27], [0, 0, 5, 15, 30], [0, 10, 20, 30, 40],
     ["0.0357770", "0.0536656", "0.0158712"],
     ("0.1", "0.0351046", "0.000238295", "7.75147e-06")),
    # the repeated time stamp makes the second step 0.1
    ([0, 3, 4, 3, 0], [0, 1, 4, 7, 8], [0, 5, 5, 15, 20],
     ["0.000198417", "37.5711", "0.0843271"],
     ("0.85", "12.5519", "312.981", "38.676")),
]


def printed(value, text):
    digits = len(text.split("e")[0].replace(".", "").lstrip("0"))
    return f"{value:.{digits}g}" == f"{float(text):.{digits}g}"


@ENTRY_POINTS
@pytest.mark.parametrize("x, y, t, kappa, expected", WORKED)
def test_worked_examples(fn, x, y, t, kappa, expected):
    got = values(fn(x, y, t))
    assert all(printed(v, e) for v, e in zip(got, expected, strict=True)), got
    ref, ref_kappa = reference(x, y, t)
    assert all(printed(v, e) for v, e in zip(ref_kappa, kappa, strict=True))
    assert got == ref


# ---------------------------------------------------------------------------
# Score rules, one path per rule.

CIRCLE = [(math.cos(i / 10), math.sin(i / 10)) for i in range(40)]

RULES = [
    ("short: three samples", [0, 1, 2], [0, 0, 0], [0, 10, 20], 0.0),
    ("short: empty", [], [], [], 0.0),
    ("short: one coordinate list of three", [0, 1, 2, 3, 4], [0, 0, 0], [0, 1, 2, 3, 4], 0.0),
    ("straight, constant speed", [0, 1, 2, 3, 4], [0] * 5, [0, 10, 20, 30, 40], 0.95),
    ("resting pointer", [5] * 6, [7] * 6, steps(6), 0.95),
    ("all time stamps equal", [0, 1, 3, 6, 10, 15], [0, 2, 3, 7, 8, 8], [100] * 6, 0.1),
    ("uniform circle", [p[0] for p in CIRCLE], [p[1] for p in CIRCLE], steps(40), 0.9),
    ("erratic: repeated time stamp", [0, 3, 4, 3, 0], [0, 1, 4, 7, 8], [0, 5, 5, 15, 20], 0.85),
    ("mostly high, fast changing", [0, 1, 1, 0, 0, 0.45], [0, 0, 1, 1, 0, 0], steps(6), 0.75),
    ("other", [0, 10, 20, 25, 27], [0, 0, 5, 15, 30], [0, 10, 20, 30, 40], 0.1),
]


@ENTRY_POINTS
@pytest.mark.parametrize("name, x, y, t, score", RULES, ids=[r[0] for r in RULES])
def test_score_rules(fn, name, x, y, t, score):
    got = values(fn(x, y, t))
    assert got[0] == score
    assert got == reference(x, y, t)[0]
    assert all(math.isfinite(v) for v in got)


# ---------------------------------------------------------------------------
# Thresholds are strict. Each family of paths has one parameter; the first value
# puts a statistic exactly on its threshold (checked with the reference), the
# second is the neighbouring double that crosses it.

def two_turns(a, s):  # curvature values [~s, ~a]
    return [-s, a, 2 * a, 2 * a], [0.0, 1.0, 2.0, 3.0], steps(4)


def two_equal_turns(r, s):  # [K, K, ~s], K ~ 1/r
    return [0.0, r, r, 0.0, -r], [0.0, 0.0, r, r, r + s * r], steps(5)


def three_equal_turns(r, s):  # [K, K, K, 0], K ~ 1/r
    return [0.0, r, r, 0.0, 0.0, s * r], [0.0, 0.0, r, r, 0.0, -r], steps(6)


H = float.fromhex
THRESHOLDS = [
    # family, s, on threshold, across it, statistic index, threshold, scores on / across
    ("mean 1e-6", two_equal_turns, 0.0, H("0x1.4585555555555p+19"), H("0x1.4585555555557p+19"),
     1, 1e-6, 0.9, 0.95),
    ("var 1e-4", two_turns, 0.0, H("0x1.47ae34b138221p-6"), H("0x1.47ae34b138220p-6"),
     2, 1e-4, 0.1, 0.9),
    ("rate var 1e-8", two_equal_turns, 0.015625, H("0x1.339e7526d8d5fp+12"),
     H("0x1.339e7526d8d60p+12"), 3, 1e-8, 0.1, 0.9),
    ("var 10", two_turns, 0.015625, H("0x1.94c6a51879f3ep+2"), H("0x1.94c6a51879f3fp+2"),
     2, 10.0, 0.1, 0.85),
    ("rate var 5", three_equal_turns, 0.0, H("0x1.afbde2829290ep-3"), H("0x1.afbde2829290dp-3"),
     3, 5.0, 0.75, 0.85),
    ("rate var 2", three_equal_turns, 0.0, H("0x1.55542756b44ffp-2"), H("0x1.55542756b44fep-2"),
     3, 2.0, 0.1, 0.75),
]


@ENTRY_POINTS
@pytest.mark.parametrize("name, family, s, on, across, index, limit, score_on, score_across",
                         THRESHOLDS, ids=[r[0] for r in THRESHOLDS])
def test_thresholds_are_strict(fn, name, family, s, on, across, index, limit, score_on,
                               score_across):
    on_stats = values(fn(*family(on, s)))
    across_stats = values(fn(*family(across, s)))
    assert on_stats == reference(*family(on, s))[0]
    assert across_stats == reference(*family(across, s))[0]
    assert on_stats[index] == limit
    assert across_stats[index] != limit
    assert (on_stats[0], across_stats[0]) == (score_on, score_across)


# Curvature values [0.1 or just above, ~2.56, ~0.278, 0] (+ one more for seven
# samples): the count of values above 0.1 must exceed half the count, rounded down.
A_EXACT, A_ABOVE = H("0x1.9999c1dd862aap-4"), H("0x1.9999c1dd862abp-4")


def high_low_path(a, last_dx=None):
    b = a + 0.625
    x, y = [0.0, a, a, b, b, b], [0.0, 0.0, 1.0, 1.0, 2.5, 4.5]
    if last_dx is not None:
        x.append(b + last_dx)
        y.append(6.5)
    return x, y, steps(len(x))


COUNTS = [
    # (path, first curvature value, values above 0.1 / count, score)
    (high_low_path(A_EXACT), "==", "2/4", 0.1),
    (high_low_path(A_ABOVE), ">", "3/4", 0.75),
    (high_low_path(A_EXACT, 0.25), "==", "2/5", 0.1),
    (high_low_path(A_EXACT, 1.0), "==", "3/5", 0.75),
]


@ENTRY_POINTS
@pytest.mark.parametrize("path, first, count, score", COUNTS, ids=[c[2] for c in COUNTS])
def test_high_curvature_count(fn, path, first, count, score):
    ref, kappa = reference(*path)
    # The fixture does what it claims: exactly 0.1 (or just above) first, the
    # stated count, and the rate variance in the band where the count decides.
    assert (kappa[0] == 0.1) == (first == "==") and kappa[0] >= 0.1
    assert f"{sum(k > 0.1 for k in kappa)}/{len(kappa)}" == count
    assert 2 < ref[3] <= 5 and 1e-4 <= ref[2] <= 10
    got = values(fn(*path))
    assert got == ref
    assert got[0] == score


# ---------------------------------------------------------------------------
# Degenerate samples.

@ENTRY_POINTS
def test_nan_coordinate_poisons_statistics(fn):
    for x, y in [([0, 1, math.nan, 3, 4], [0] * 5), ([0] * 5, [0, 1, 2, math.inf, 4])]:
        got = values(fn(x, y, [0, 10, 20, 30, 40]))
        assert got[0] == 0.1
        assert all(math.isnan(v) for v in got[1:])


@ENTRY_POINTS
def test_nan_time_stamp_only_shortens_its_steps(fn):
    # Both steps touching the NaN become 0.1, exactly as two repeated stamps do.
    x, y = [0, 10, 20, 25, 27], [0, 0, 5, 15, 30]
    with_nan = values(fn(x, y, [0, 10, math.nan, 30, 40]))
    assert with_nan == values(fn(x, y, [0, 10, 10, 10, 20]))
    assert all(math.isfinite(v) for v in with_nan)


@ENTRY_POINTS
def test_shortest_argument_decides(fn):
    x = [0, 10, 20, 25, 27, 40, 41, 50, 60, 61]
    y = [0, 0, 5, 15, 30, 31, 50, 51, 52, 70]
    got = values(fn(x, y, [0, 10, 20, 30]))
    assert got == values(fn(x[:4], y[:4], [0, 10, 20, 30]))
    assert got[3] == 0.0 and got[1] > 0  # one curvature rate: no variance
    assert values(fn(x, y[:5], steps(10))) == values(fn(x[:5], y[:5], steps(5)))


@ENTRY_POINTS
def test_accepted_sequences(fn):
    # bytes contribute their byte values, True counts as 1.0
    expected = values(fn([0.0, 1.0, 2.0, 3.0, 4.0], [97.0, 98.0, 100.0, 103.0, 107.0],
                         [0.0, 1.0, 2.0, 3.0, 4.0]))
    assert values(fn(range(5), b"abdgk", (0, True, 2, 3, 4))) == expected
    names = ["x", "y", "t"] if fn is NATURAL else ["x_obj", "y_obj", "t_obj"]
    kwargs = dict(zip(names, ([0, 1, 2, 3, 4], [97, 98, 100, 103, 107], range(5))))
    assert values(fn(**kwargs)) == expected


class FloatOf:
    """A number by __float__ alone."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class MinusOneFloat(float):
    pass


# -1.0 is also what a failed conversion returns: as an item it must read as a
# value, whatever kind of number carries it.
MINUS_ONE_FORMS = pytest.mark.parametrize(
    "minus_one", [-1.0, -1, MinusOneFloat(-1.0), FloatOf(-1.0)],
    ids=["float", "int", "float-subclass", "dunder-float"])


@ENTRY_POINTS
@MINUS_ONE_FORMS
def test_minus_one_is_a_value(fn, minus_one):
    x = [0.0, -1.0, 2.0, -1.0, 5.0, 3.0]
    y = [-1.0, 4.0, -1.0, 0.5, -1.0, 2.0]
    t = [-1.0, 0.0, 10.0, 20.0, 30.0, 45.0]
    expected = reference(x, y, t)[0]
    assert expected[1] > 0  # the -1.0 coordinates bend the path
    swap = [[minus_one if v == -1.0 else v for v in seq] for seq in (x, y, t)]
    assert same(values(fn(*swap)), expected)


@ENTRY_POINTS
def test_item_that_empties_its_list(fn):
    # A __float__ that clears the list being read: the item in hand was read as
    # a strong reference and counts, the iteration ends after it.
    class Clear:
        def __init__(self, victim, value):
            self.victim, self.value = victim, value

        def __float__(self):
            self.victim.clear()
            return self.value

    x = [0.0, 10.0, 20.0, 25.0, 27.0]
    y = [0.0, 0.0, 5.0, 15.0, 30.0]
    t = [0.0, 10.0, 20.0, 30.0, 40.0]
    shrinking = []
    shrinking += [0.0, 10.0, 20.0, Clear(shrinking, 25.0), 27.0]
    expected = values(fn(x[:4], y, t))
    assert expected[1] > 0
    assert values(fn(shrinking, y, t)) == expected


# ---------------------------------------------------------------------------
# Conversion errors: the naturalness function names the argument for a plain
# TypeError, the zerocopy function reports the conversion's own error.

class Indexed:
    """A sequence by __getitem__ alone, raising `exc` at index 2."""

    def __init__(self, exc):
        self.exc = exc

    def __getitem__(self, i):
        if i == 2:
            raise self.exc
        return float(i)

    def __len__(self):
        return 5


class BadFloat:
    def __float__(self):
        raise TypeErrorSubclass("no float here")


GOOD = [0.0, 1.0, 2.0, 3.0]
STR_MSG = "Can't extract `str` to `Vec`"
ITEM_MSG = "must be real number, not str"

ERRORS = [
    # args, exception type, naturalness message, zerocopy message
    (("abc", GOOD, GOOD), TypeError, f"argument 'x': {STR_MSG}", STR_MSG),
    ((GOOD, {"a": 1}, GOOD), TypeError,
     "argument 'y': 'dict' object cannot be converted to 'Sequence'",
     "'dict' object cannot be converted to 'Sequence'"),
    ((GOOD, GOOD, {1.0}), TypeError, "argument 't': 'set' object cannot be converted to 'Sequence'",
     "'set' object cannot be converted to 'Sequence'"),
    ((GOOD, GOOD, (v for v in GOOD)), TypeError,
     "argument 't': 'generator' object cannot be converted to 'Sequence'",
     "'generator' object cannot be converted to 'Sequence'"),
    (([0, "a"], GOOD, GOOD), TypeError, f"argument 'x': {ITEM_MSG}", ITEM_MSG),
    ((GOOD, GOOD, [0, 1, "a"]), TypeError, f"argument 't': {ITEM_MSG}", ITEM_MSG),
    # two bad arguments: only the first is looked at
    ((["a"], GOOD, {1.0}), TypeError, f"argument 'x': {ITEM_MSG}", ITEM_MSG),
    (("ab", GOOD, "cd"), TypeError, f"argument 'x': {STR_MSG}", STR_MSG),
    # errors other than a plain TypeError pass unchanged through both
    ((GOOD, Indexed(ValueError("broken sequence")), GOOD), ValueError,
     "broken sequence", "broken sequence"),
    ((GOOD, GOOD, [0, BadFloat()]), TypeErrorSubclass, "no float here", "no float here"),
    (([10**400], GOOD, GOOD), OverflowError,
     "int too large to convert to float", "int too large to convert to float"),
]


@pytest.mark.parametrize("args, exc_type, natural_msg, zerocopy_msg", ERRORS)
def test_conversion_errors(args, exc_type, natural_msg, zerocopy_msg):
    for fn, message in [(NATURAL, natural_msg), (ZEROCOPY, zerocopy_msg)]:
        with pytest.raises(exc_type) as info:
            fn(*args)
        assert type(info.value) is exc_type
        assert str(info.value) == message
        assert info.value.__cause__ is None


def test_wrapped_error_drops_original():
    with pytest.raises(TypeError) as info:
        NATURAL(GOOD, ["a"], GOOD)
    assert info.value.__context__ is None and info.value.__suppress_context__


# ---------------------------------------------------------------------------
# Any float input: no exception, both functions agree with each other and with
# the reference, and the score is one of the six grades.

floats = st.floats(allow_nan=True, allow_infinity=True, width=64)
coords = st.lists(st.one_of(floats, st.floats(-1e3, 1e3)), max_size=12)


@given(coords, coords, st.lists(st.one_of(floats, st.floats(0, 1e4)), max_size=12))
def test_any_floats(x, y, t):
    natural = values(NATURAL(x, y, t))
    assert same(natural, values(ZEROCOPY(x, y, t)))
    assert same(natural, reference(x, y, t)[0])
    assert natural[0] in SCORES
