"""What a bot farm's replay can do to a recorded trace, as seeded transforms: the tests of
velkora._signals and tools/sketch_analysis.py apply them to recorded and synthetic traces.

Pointer traces are lists of (x, y, t) in time order, keystrokes lists of (down, up or None).
Each transform takes the trace and a random.Random and returns a new trace; `*_combined`
applies all of them in turn."""

from __future__ import annotations

import math
import random
from collections.abc import Callable, Sequence

Point = tuple[float, float, float]
Key = tuple[float, "float | None"]

ROTATION_DEG = 15.0
SCALE_RANGE = (0.8, 1.25)
JITTER_PX = 2.0
STRETCH_RANGE = (0.8, 1.25)
POINTER_DROP = 0.05
POINTER_DUPLICATE = 0.05
# Through an interval longer than this many median intervals the pointer rests.
REST_INTERVALS = 2.5
KEY_LATENCY_MS = 3.0
KEY_DROP = 0.02
KEY_DUPLICATE = 0.05


def log_uniform(rng: random.Random, lo: float, hi: float) -> float:
    return math.exp(rng.uniform(math.log(lo), math.log(hi)))


def median_interval(points: Sequence[Point]) -> float:
    steps = sorted(b[2] - a[2] for a, b in zip(points, points[1:]) if b[2] > a[2])
    return steps[len(steps) // 2] if steps else 16.0


# --- pointer ---------------------------------------------------------------------------

def translate(points: Sequence[Point], rng: random.Random) -> list[Point]:
    dx, dy = rng.uniform(-800, 800), rng.uniform(-800, 800)
    return [(round(x + dx), round(y + dy), t) for x, y, t in points]


def rotate(points: Sequence[Point], rng: random.Random) -> list[Point]:
    """About the first sample, by up to 15 degrees either way; whole pixels, as a screen reports."""
    th = math.radians(rng.uniform(-ROTATION_DEG, ROTATION_DEG))
    c, s = math.cos(th), math.sin(th)
    x0, y0 = (points[0][0], points[0][1]) if points else (0.0, 0.0)
    return [(round(x0 + c * (x - x0) - s * (y - y0)), round(y0 + s * (x - x0) + c * (y - y0)), t)
            for x, y, t in points]


def scale(points: Sequence[Point], rng: random.Random) -> list[Point]:
    k = log_uniform(rng, *SCALE_RANGE)
    return [(round(k * x), round(k * y), t) for x, y, t in points]


def jitter(points: Sequence[Point], rng: random.Random) -> list[Point]:
    """Each sample moved by up to 2 px in a random direction."""
    out = []
    for x, y, t in points:
        a, d = rng.uniform(0.0, 2 * math.pi), JITTER_PX * math.sqrt(rng.random())
        out.append((x + d * math.cos(a), y + d * math.sin(a), t))
    return out


def stretch(points: Sequence[Point], rng: random.Random) -> list[Point]:
    """Every interval times one factor in 0.8-1.25 (a slower or faster replay)."""
    k = log_uniform(rng, *STRETCH_RANGE)
    t0 = points[0][2] if points else 0.0
    return [(x, y, t0 + (t - t0) * k) for x, y, t in points]


def drop(points: Sequence[Point], rng: random.Random) -> list[Point]:
    return [p for p in points if rng.random() >= POINTER_DROP]


def duplicate(points: Sequence[Point], rng: random.Random) -> list[Point]:
    out = []
    for p in points:
        out.append(p)
        if rng.random() < POINTER_DUPLICATE:
            out.append(p)
    return out


def recapture(points: Sequence[Point], rng: random.Random, period_factor: float = 1.0) -> list[Point]:
    """The same path sampled again at other instants, as a replay through the victim's own
    sensor: the path is rebuilt as motion (straight between samples; through a long interval
    the pointer rests, then moves during the interval's last median interval), sampled every
    `period_factor` median intervals from a random phase, a sample reported only when the
    pointer moved (whole pixels), time stamps in whole milliseconds."""
    if len(points) < 2:
        return list(points)
    pts = sorted(points, key=lambda p: p[2])
    median = median_interval(pts)
    period = median * period_factor
    moves = []
    for (xa, ya, ta), (xb, yb, tb) in zip(pts, pts[1:]):
        if tb - ta > REST_INTERVALS * median:
            ta = tb - median
        moves.append((ta, xa, ya, tb, xb, yb))
    out: list[Point] = []
    last = None
    i = 0
    tau = pts[0][2] + rng.uniform(0.0, period)
    while tau <= pts[-1][2] + period:
        while i < len(moves) and moves[i][3] < tau:
            i += 1
        if i == len(moves):
            x, y = pts[-1][0], pts[-1][1]
        else:
            ta, xa, ya, tb, xb, yb = moves[i]
            f = 0.0 if tau <= ta else (tau - ta) / (tb - ta) if tb > ta else 1.0
            x, y = xa + f * (xb - xa), ya + f * (yb - ya)
        here = (round(x), round(y))
        if here != last:
            out.append((here[0], here[1], round(tau)))
            last = here
        tau += period
    return out


def pointer_combined(points: Sequence[Point], rng: random.Random) -> list[Point]:
    out = recapture(points, rng)
    for step in (stretch, translate, rotate, scale, jitter, drop, duplicate):
        out = step(out, rng)
    return out


POINTER_TRANSFORMS: dict[str, Callable[[Sequence[Point], random.Random], list[Point]]] = {
    "translation": translate, "rotation": rotate, "scaling": scale, "jitter": jitter,
    "time stretch": stretch, "dropped samples": drop, "duplicated samples": duplicate,
    "recapture": recapture, "combined": pointer_combined,
}


# --- keys ------------------------------------------------------------------------------

def key_stretch(keys: Sequence[Key], rng: random.Random) -> list[Key]:
    k = log_uniform(rng, *STRETCH_RANGE)
    t0 = keys[0][0] if keys else 0.0
    return [(t0 + (d - t0) * k, None if u is None else t0 + (u - t0) * k) for d, u in keys]


def key_recapture(keys: Sequence[Key], rng: random.Random) -> list[Key]:
    """Each press and release reported again by the victim's browser: up to 3 ms late, on a
    millisecond clock."""
    def again(t: float) -> float:
        return float(math.floor(t + rng.uniform(0.0, KEY_LATENCY_MS)))
    return [(again(d), None if u is None else again(u)) for d, u in keys]


def key_drop(keys: Sequence[Key], rng: random.Random) -> list[Key]:
    return [k for k in keys if rng.random() >= KEY_DROP]


def key_duplicate(keys: Sequence[Key], rng: random.Random) -> list[Key]:
    out = []
    for k in keys:
        out.append(k)
        if rng.random() < KEY_DUPLICATE:
            out.append(k)
    return out


def key_combined(keys: Sequence[Key], rng: random.Random) -> list[Key]:
    out = list(keys)
    for step in (key_stretch, key_recapture, key_drop, key_duplicate):
        out = step(out, rng)
    return out


KEY_TRANSFORMS: dict[str, Callable[[Sequence[Key], random.Random], list[Key]]] = {
    "time stretch": key_stretch, "recapture": key_recapture, "dropped keystrokes": key_drop,
    "duplicated keystrokes": key_duplicate, "combined": key_combined,
}
