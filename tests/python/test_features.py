"""extract_features_rs: the feature dict, pointer kinematics, the velocity
spectrum and touch statistics.

The numbers are checked in two ways: hand-worked examples, and an independent
pure-Python model of the kinematics and the spectrum that must agree bit for
bit on random paths (same operations in the same order; math.sin and math.cos
standing in for sincos, an assumption checked below).
"""

import ctypes
import ctypes.util
import math
import random

import pytest
import velkora_core_rs as core
from hostile import mean
from hostile import variance as var

extract = core.extract_features_rs

DEFAULTS = [
    ("mouse_points", 0),
    ("total_distance", 0.0),
    ("straightness", 1.0),
    ("avg_velocity", 0.0),
    ("max_velocity", 0.0),
    ("velocity_var", 0.0),
    ("avg_acceleration", 0.0),
    ("acceleration_var", 0.0),
    ("avg_jerk", 0.0),
    ("dt_var", 0.0),
    ("click_count", 0),
    ("key_count", 0),
    ("key_interval_avg", 0.0),
    ("key_interval_var", 0.0),
    ("webdriver", False),
    ("screen_valid", True),
    ("scroll_count", 0),
    ("terminal_decel_ratio", 1.0),
    ("plugins_length", 1),
    ("touch_supported", False),
    ("screen_width", 1024.0),
    ("spectral_purity", 0.0),
    ("spectral_entropy", 1.0),
    ("submovement_count", 0),
    ("max_touch_points", 0),
    ("avg_touch_radius", 0.0),
    ("touch_radius_var", 0.0),
    ("avg_touch_force", 0.0),
    ("touch_event_count", 0),
    ("curvature_score", 0.0),
    ("mean_curvature", 0.0),
    ("curvature_var", 0.0),
    ("curvature_rate_var", 0.0),
    ("avg_dwell_time", 0.0),
    ("dwell_time_var", 0.0),
    ("avg_flight_time", 0.0),
    ("flight_time_var", 0.0),
    ("digraph_entropy", 0.5),
    ("keystroke_score", 0.0),
]
KEYS = [k for k, _ in DEFAULTS]

KINEMATIC_KEYS = [
    "total_distance", "straightness", "avg_velocity", "max_velocity", "velocity_var",
    "avg_acceleration", "acceleration_var", "avg_jerk", "dt_var", "terminal_decel_ratio",
    "spectral_purity", "spectral_entropy", "submovement_count",
]
CURVATURE_KEYS = ["curvature_score", "mean_curvature", "curvature_var", "curvature_rate_var"]


def session(points, **extra):
    return {"mouse_movements": [{"x": x, "y": y, "t": t} for x, y, t in points], **extra}


def same(a, b):
    """Bitwise float equality that treats two NaNs as equal."""
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return type(a) is type(b) and a == b and (a != 0 or math.copysign(1, a) == math.copysign(1, b))


# --- The pure-Python model ------------------------------------------------------------

TWO_PI = 6.283185307179586


def model_spectrum(v, avg):
    m = len(v)
    half = m // 2
    c = [x - avg for x in v]
    power = []
    for k in range(1, half + 1):
        w = (k * TWO_PI) / m
        re = im = 0.0
        for j in range(m):
            angle = w * j
            re += c[j] * math.cos(angle)
            im -= c[j] * math.sin(angle)
        power.append(re * re + im * im)
    total = 0.0
    for p in power:
        total += p
    if total <= 1e-9:
        return 0.0, 1.0
    strongest = 0.0
    for p in power:
        if p > strongest:
            strongest = p
    h = 0.0
    for p in power:
        q = p / total
        if q > 1e-12:
            h -= q * math.log2(q)
    return strongest / total, h / math.log2(half)


def model_kinematics(points):
    """points: (x, y, t) tuples in input order. Returns (features, window)."""
    out = dict(total_distance=0.0, straightness=1.0, avg_velocity=0.0, max_velocity=0.0,
               velocity_var=0.0, dt_var=0.0, terminal_decel_ratio=1.0, submovement_count=0,
               avg_acceleration=0.0, acceleration_var=0.0, avg_jerk=0.0,
               spectral_purity=0.0, spectral_entropy=1.0)
    if len(points) <= 2:
        return out, []
    window = sorted(points, key=lambda p: p[2])[:300]  # sorted() is stable
    x = [p[0] for p in window]
    y = [p[1] for p in window]
    t = [p[2] for p in window]
    n = len(window)
    m = n - 1

    disp = math.sqrt((x[-1] - x[0]) * (x[-1] - x[0]) + (y[-1] - y[0]) * (y[-1] - y[0]))
    dist, dt, v = [], [], []
    for i in range(m):
        dx, dy = x[i + 1] - x[i], y[i + 1] - y[i]
        dist.append(math.sqrt(dx * dx + dy * dy))
        dt.append(max(t[i + 1] - t[i], 0.1))
        v.append(dist[i] / dt[i])
    total = 0.0
    for d in dist:
        total += d
    out["total_distance"] = total
    out["straightness"] = 1.0 if total <= 1e-4 else min(disp / total, 1.0)
    out["avg_velocity"] = mean(v)
    vmax = 0.0
    for val in v:
        if val > vmax:
            vmax = val
    out["max_velocity"] = vmax
    out["velocity_var"] = var(v, out["avg_velocity"])
    out["dt_var"] = var(dt, mean(dt))
    k = max(m // 4, 1)
    tail = mean(v[m - k:])
    moving = vmax > 1e-5
    out["terminal_decel_ratio"] = tail / vmax if moving else 1.0
    floor = 0.15 * vmax if moving else 0.0
    peaks = sum(1 for i in range(1, m - 1) if v[i] > v[i - 1] and v[i] > v[i + 1] and v[i] >= floor)
    out["submovement_count"] = max(peaks, 1) if moving else 0
    if m >= 8:
        out["spectral_purity"], out["spectral_entropy"] = model_spectrum(v, out["avg_velocity"])
    a = [(v[i + 1] - v[i]) / dt[i + 1] for i in range(m - 1)]
    out["avg_acceleration"] = mean(a)
    out["acceleration_var"] = var(a, out["avg_acceleration"])
    if len(a) >= 2:
        s = 0.0
        for i in range(len(a) - 1):
            s += abs((a[i + 1] - a[i]) / dt[i + 2])
        out["avg_jerk"] = s / (len(a) - 1)
    return out, window


# --- The defaults ---------------------------------------------------------------------


@pytest.mark.parametrize("telemetry", [{}, None, [1, 2], "mouse", 3.5, ({"browser": {}},)])
def test_default_feature_dict(telemetry):
    result = extract(telemetry)
    assert list(result.items()) == DEFAULTS
    for key, expected in DEFAULTS:
        assert type(result[key]) is type(expected), key


def test_argument_binding():
    assert extract(telemetry={}) == extract({})
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'telemetry'"):
        extract()
    with pytest.raises(TypeError, match="unexpected keyword argument 'data'"):
        extract(data={})


# --- Kinematics: worked examples ------------------------------------------------------

FIVE = [(0, 0, 0), (1, 0, 1), (3, 0, 2), (7, 0, 3), (9, 0, 4)]
THREE = [(0, 0, 0), (10, 0, 10), (20, 0, 20)]


@pytest.mark.parametrize(
    "points, expected",
    [
        (FIVE, dict(total_distance=9.0, straightness=1.0, avg_velocity=2.25, max_velocity=4.0,
                    velocity_var=1.1875, dt_var=0.0, terminal_decel_ratio=0.5,
                    submovement_count=1, avg_acceleration=1 / 3, acceleration_var=26 / 9,
                    avg_jerk=2.5, spectral_purity=0.0, spectral_entropy=1.0)),
        (THREE, dict(total_distance=20.0, straightness=1.0, avg_velocity=1.0, max_velocity=1.0,
                     velocity_var=0.0, dt_var=0.0, terminal_decel_ratio=1.0,
                     submovement_count=1, avg_acceleration=0.0, acceleration_var=0.0,
                     avg_jerk=0.0, spectral_purity=0.0, spectral_entropy=1.0)),
        # Two points: everything stays at its default.
        ([(0, 0, 0), (5, 5, 1)], dict(total_distance=0.0, straightness=1.0, max_velocity=0.0,
                                      terminal_decel_ratio=1.0, submovement_count=0,
                                      spectral_entropy=1.0)),
        # Standing still: no movement, no submovement.
        ([(4, 4, t) for t in range(10)], dict(total_distance=0.0, straightness=1.0,
                                              max_velocity=0.0, terminal_decel_ratio=1.0,
                                              submovement_count=0)),
        # A path that doubles back on itself.
        ([(0, 0, 0), (10, 0, 1), (5, 0, 2)], dict(total_distance=15.0, straightness=5 / 15)),
        # Equal time stamps: the segment lasts 0.1, so a 1-unit step is speed 10.
        ([(0, 0, 5), (1, 0, 5), (2, 0, 6)], dict(max_velocity=10.0)),
    ],
)
def test_kinematics_examples(points, expected):
    result = extract(session(points))
    for key, value in expected.items():
        assert result[key] == pytest.approx(value, rel=1e-12, abs=1e-15), key
    assert result["mouse_points"] == len(points)


@pytest.mark.parametrize(
    "velocities, peaks",
    [
        ([1, 3, 1, 3, 1], 2),
        ([1, 3, 1, 1.2, 1], 2),  # 1.2 is at least 15 % of the top speed 3
        ([10, 1, 0.5, 1, 0.5], 1),  # the bump is below 15 % of 10; still one submovement
        ([5, 5, 5, 5], 1),  # no interior peak at all, but the pointer moved
    ],
)
def test_submovements(velocities, peaks):
    x, points = 0.0, [(0.0, 0.0, 0.0)]
    for i, speed in enumerate(velocities):
        x += speed
        points.append((x, 0.0, float(i + 1)))
    assert extract(session(points))["submovement_count"] == peaks


def test_reversed_and_shuffled_input_give_the_same_features():
    rng = random.Random(7)
    points = [(rng.uniform(0, 800), rng.uniform(0, 600), float(t)) for t in range(0, 400, 3)]
    expected = extract(session(points))
    for reorder in (points[::-1], rng.sample(points, len(points))):
        assert extract(session(reorder)) == expected


def test_equal_time_stamps_keep_input_order():
    # Both samples at t=1 tie; the earlier one in the input comes first in the path.
    a = extract(session([(0, 0, 0), (10, 0, 1), (20, 0, 1), (30, 0, 2)]))
    b = extract(session([(0, 0, 0), (20, 0, 1), (10, 0, 1), (30, 0, 2)]))
    assert a["total_distance"] == 30.0
    assert b["total_distance"] == 50.0


# --- The velocity spectrum -------------------------------------------------------------


def path_with_speeds(speeds):
    x, points = 0.0, [(0.0, 0.0, 0.0)]
    for i, s in enumerate(speeds):
        x += s
        points.append((x, 0.0, float(i + 1)))
    return points


@pytest.mark.parametrize(
    "speeds, purity, entropy",
    [
        ([1, 3] * 4, 1.0, 0.0),  # all power at the highest frequency
        ([2.0] * 12, 0.0, 1.0),  # no variation in speed
        ([1, 3] * 3 + [1], 0.0, 1.0),  # seven segments: the spectrum is not computed
    ],
)
def test_spectrum_examples(speeds, purity, entropy):
    result = extract(session(path_with_speeds(speeds)))
    assert result["spectral_purity"] == pytest.approx(purity, abs=1e-12)
    assert result["spectral_entropy"] == pytest.approx(entropy, abs=1e-12)


def test_spectrum_nine_segments_divides_by_log2_of_four():
    speeds = [1, 4, 2, 8, 5, 7, 1, 3, 6]
    result = extract(session(path_with_speeds(speeds)))
    v = [float(s) for s in speeds]
    purity, entropy = model_spectrum(v, sum(v) / len(v))
    assert (result["spectral_purity"], result["spectral_entropy"]) == (purity, entropy)
    assert 0.0 < entropy < 1.0


def libm_sincos():
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    fn = libm.sincos
    fn.argtypes = [ctypes.c_double, ctypes.POINTER(ctypes.c_double),
                   ctypes.POINTER(ctypes.c_double)]
    fn.restype = None
    return fn


def test_sincos_agrees_with_sin_and_cos():
    # The model below uses math.sin and math.cos where the module uses sincos;
    # that is only a fair check while the C library gives identical bits.
    sincos = libm_sincos()
    s, c = ctypes.c_double(), ctypes.c_double()
    rng = random.Random(3)
    angles = [((k * TWO_PI) / m) * j for m in (8, 9, 57, 150, 299)
              for k in range(1, m // 2 + 1) for j in range(0, m, 5)]
    angles += [rng.uniform(-1e6, 1e6) for _ in range(2000)] + [0.0, -0.0, 1e300]
    for angle in angles:
        sincos(angle, ctypes.byref(s), ctypes.byref(c))
        assert (s.value, c.value) == (math.sin(angle), math.cos(angle)), angle


# --- Bit-for-bit agreement with the model --------------------------------------------


def random_path(rng, n):
    t, x, y, points = rng.uniform(0, 1e6), rng.uniform(0, 1900), rng.uniform(0, 1000), []
    for _ in range(n):
        points.append((x, y, t))
        x += rng.gauss(0, 15)
        y += rng.gauss(0, 15)
        t += rng.choice([0, 0, 1, 7, 8, 16, 16.5, 33, rng.uniform(0, 120)])
    rng.shuffle(points)
    return points


@pytest.mark.parametrize("n", [3, 4, 8, 9, 10, 31, 299, 300, 301, 777])
def test_matches_model_bit_for_bit(n):
    rng = random.Random(n)
    for _ in range(3):
        points = random_path(rng, n)
        result = extract(session(points))
        expected, window = model_kinematics(points)
        for key in KINEMATIC_KEYS:
            assert same(result[key], expected[key]), (key, result[key], expected[key])
        curvature = (core.evaluate_curvature_naturalness_rs(
            [p[0] for p in window], [p[1] for p in window], [p[2] for p in window])
            if len(window) >= 4 else dict.fromkeys(CURVATURE_KEYS, 0.0))
        for key in CURVATURE_KEYS:
            assert same(result[key], curvature[key]), key


def test_ties_at_the_window_cut_keep_input_order():
    # 900 samples over three time stamps: the window is exactly the 300 at t=0,
    # in input order; a sort that let ties move would change the path.
    rng = random.Random(5)
    points = [(rng.uniform(0, 500), rng.uniform(0, 500), float(i % 3)) for i in range(900)]
    result = extract(session(points))
    expected, window = model_kinematics(points)
    assert [p[2] for p in window] == [0.0] * 300
    for key in KINEMATIC_KEYS:
        assert same(result[key], expected[key]), key


# --- The 300-point window and the touch features --------------------------------------


def test_window_uses_the_300_earliest_samples_and_touch_uses_all():
    rng = random.Random(11)
    samples = []
    for i in range(500):
        samples.append({"x": rng.uniform(0, 1000), "y": rng.uniform(0, 1000), "t": i * 10.0,
                        "r": float(i % 7), "f": (i % 5) / 10})
    earliest = samples[:300]
    rng.shuffle(samples)

    full = extract({"mouse_movements": samples})
    alone = extract({"mouse_movements": earliest})
    assert full["mouse_points"] == 500
    for key in KINEMATIC_KEYS + CURVATURE_KEYS:
        assert same(full[key], alone[key]), key

    radii = [s["r"] for s in samples if s["r"] > 0]
    forces = [s["f"] for s in samples if s["f"] > 0]
    mean_r = math.fsum(radii) / len(radii)
    assert full["touch_event_count"] == len(radii) != alone["touch_event_count"]
    assert full["avg_touch_radius"] == pytest.approx(mean_r, rel=1e-12)
    assert full["touch_radius_var"] == pytest.approx(
        math.fsum((r - mean_r) ** 2 for r in radii) / len(radii), rel=1e-12)
    assert full["avg_touch_force"] == pytest.approx(math.fsum(forces) / len(forces), rel=1e-12)


@pytest.mark.parametrize(
    "touches, radius, radius_var, force, count",
    [
        ([{"r": 2}, {"r": 4}], 3.0, 1.0, 0.0, 2),
        ([{"f": 0.5}], 0.0, 0.0, 0.5, 0),  # a force without a radius
        ([{"r": 0, "f": -1}, {"r": -2}, {"r": float("nan"), "f": float("nan")}], 0.0, 0.0, 0.0, 0),
        ([{"r": 6, "f": 0.2}, {"r": "big", "f": 0.4}, {"r": None}], 6.0, 0.0, 0.30000000000000004, 1),
    ],
)
def test_touch_statistics(touches, radius, radius_var, force, count):
    samples = [{"x": i, "y": 0, "t": i, **extra} for i, extra in enumerate(touches)]
    result = extract({"mouse_movements": samples})
    assert (result["avg_touch_radius"], result["touch_radius_var"],
            result["avg_touch_force"], result["touch_event_count"]) == (
        radius, radius_var, force, count)


def test_touch_counts_samples_outside_the_window():
    samples = [{"x": i, "y": 0, "t": i} for i in range(400)]
    samples[350]["r"] = 9.0
    result = extract({"mouse_movements": samples})
    assert (result["touch_event_count"], result["avg_touch_radius"]) == (1, 9.0)


# --- Blocks computed elsewhere --------------------------------------------------------


@pytest.mark.parametrize("n, runs", [(3, False), (4, True)])
def test_curvature_block_needs_four_points(n, runs):
    points = [(0, 0, 0), (10, 0, 10), (20, 5, 20), (25, 15, 30)][:n]
    result = extract(session(points))
    assert (result["curvature_score"] != 0.0) is runs


def test_keystroke_block():
    none = extract({"keystrokes": []})
    assert (none["key_count"], none["digraph_entropy"]) == (0, 0.5)

    one = extract({"keystrokes": [{"key": "a", "down": 0, "up": 80}]})
    assert (one["key_count"], one["avg_dwell_time"], one["digraph_entropy"]) == (1, 80.0, 0.5)

    presses = [0, 120, 230, 390, 520, 610, 745, 860, 990, 1150]
    held = [80, 75, 90, 70, 85, 95, 60, 88, 77, 92]
    events = [{"key": k, "down": d, "up": d + h} for k, d, h in zip("thentherex", presses, held)]
    result = extract({"keystrokes": events})
    direct = core.evaluate_keystroke_dynamics_rs([(e["key"], e["down"], e["up"]) for e in events])
    for key, value in direct.items():
        assert same(result[key], value), key
    assert result["key_interval_avg"] == result["avg_flight_time"]
    assert result["key_interval_var"] == result["flight_time_var"]
    assert result["avg_dwell_time"] == pytest.approx(81.2)
