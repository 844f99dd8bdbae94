"""Seeded generator of telemetry sessions in the schema extract_features_rs reads.

Two kinds of session:

* human-like: pointer strokes along curved paths with a bell-shaped speed
  profile (accelerating, then decelerating into the target), hand tremor
  jitter, uneven sampling intervals and pauses; typing with varied dwell and
  flight times and the odd hesitation.
* scripted: a straight pointer move at constant speed, sampled at exactly even
  intervals; metronomic keystrokes; the browser reports webdriver.

Run it to write JSON lines:

    python examples/telemetry_generator.py --human 5 --scripted 5 --seed 7 -o sessions.jsonl
"""

from __future__ import annotations

import argparse
import json
import math
import random
import sys
from typing import Any

Point = tuple[float, float]
Session = dict[str, Any]

TEXT = "the quick brown fox jumps over the lazy dog and then reads the paper"


# --- pointer --------------------------------------------------------------------------


def _human_stroke(rng: random.Random, start: Point, end: Point,
                  t0: float) -> tuple[list[dict[str, float]], float]:
    """One reach from start to end: a curved path (quadratic Bezier with a
    sideways control point), minimum-jerk timing, tremor and uneven sampling."""
    (x0, y0), (x1, y1) = start, end
    dx, dy = x1 - x0, y1 - y0
    length = math.hypot(dx, dy) or 1.0
    bend = rng.uniform(-0.35, 0.35) * length
    cx = (x0 + x1) / 2 - dy / length * bend
    cy = (y0 + y1) / 2 + dx / length * bend
    duration = 250 + 90 * math.log2(1 + length / 20) * rng.uniform(0.8, 1.3)  # Fitts-like
    points: list[dict[str, float]] = []
    t = 0.0
    while t < duration:
        s = t / duration
        u = 10 * s**3 - 15 * s**4 + 6 * s**5  # minimum-jerk progress: slow, fast, slow
        bx = (1 - u) ** 2 * x0 + 2 * (1 - u) * u * cx + u**2 * x1
        by = (1 - u) ** 2 * y0 + 2 * (1 - u) * u * cy + u**2 * y1
        points.append({"x": round(bx + rng.gauss(0, 0.8), 1), "y": round(by + rng.gauss(0, 0.8), 1),
                       "t": round(t0 + t, 1)})
        t += rng.choice([16.7, 16.7, 16.6, 8.3, 33.3]) + rng.gauss(0, 1.5)  # uneven frames
    # An overshoot-free landing with a small corrective nudge.
    points.append({"x": round(x1 + rng.gauss(0, 1.0), 1), "y": round(y1 + rng.gauss(0, 1.0), 1),
                   "t": round(t0 + duration + rng.uniform(20, 60), 1)})
    return points, t0 + duration


def _scripted_stroke(start: Point, end: Point, t0: float, speed: float,
                     step_ms: float) -> tuple[list[dict[str, float]], float]:
    """A straight move at constant speed, one sample every step_ms exactly."""
    (x0, y0), (x1, y1) = start, end
    steps = max(int(math.hypot(x1 - x0, y1 - y0) / (speed * step_ms)), 2)
    points = [{"x": x0 + (x1 - x0) * i / steps, "y": y0 + (y1 - y0) * i / steps,
               "t": t0 + i * step_ms} for i in range(steps + 1)]
    return points, t0 + steps * step_ms


def _targets(rng: random.Random, count: int, width: float, height: float) -> list[Point]:
    return [(rng.uniform(40, width - 40), rng.uniform(40, height - 40)) for _ in range(count)]


# --- keyboard -------------------------------------------------------------------------


def _human_keys(rng: random.Random, t0: float, count: int) -> list[dict[str, Any]]:
    keys: list[dict[str, Any]] = []
    t = t0
    start = rng.randrange(len(TEXT) - count) if count < len(TEXT) else 0
    for ch in TEXT[start:start + count]:
        dwell = max(rng.gauss(95, 28), 35)
        keys.append({"key": ch, "down": round(t, 1), "up": round(t + dwell, 1)})
        flight = rng.lognormvariate(math.log(110), 0.45)
        if ch == " " and rng.random() < 0.3:
            flight += rng.uniform(200, 700)  # a hesitation between words
        t += dwell + flight
    return keys


def _scripted_keys(t0: float, count: int, dwell: float, flight: float) -> list[dict[str, Any]]:
    keys: list[dict[str, Any]] = []
    t = t0
    for ch in TEXT[:count]:
        keys.append({"key": ch, "down": t, "up": t + dwell})
        t += dwell + flight
    return keys


# --- sessions -------------------------------------------------------------------------


def human_session(rng: random.Random, index: int) -> Session:
    width, height = rng.choice([(1920, 1080), (1536, 864), (1440, 900), (2560, 1440)])
    t, position = rng.uniform(500, 3000), (width / 2, height / 2)
    moves: list[dict[str, float]] = []
    clicks: list[dict[str, float]] = []
    for target in _targets(rng, rng.randint(1, 3), width, height):
        stroke, t = _human_stroke(rng, position, target, t)
        moves += stroke
        clicks.append({"t": round(t + rng.uniform(60, 180), 1), "x": target[0], "y": target[1],
                       "button": 0})
        t += rng.uniform(300, 1500)  # reading, deciding
        position = target
    keys = _human_keys(rng, t, rng.randint(20, 45))
    return {
        "_id": f"human-{index}",
        "browser": {"webdriver": False, "screen_width": width, "screen_height": height,
                    "touch_supported": False, "max_touch_points": 0,
                    "plugins_length": rng.choice([3, 5, 5])},
        "mouse_movements": moves,
        "clicks": clicks,
        "scrolls": [{"t": t + 50 * i, "direction": 1} for i in range(rng.randint(0, 3))],
        "keystrokes": keys,
    }


def scripted_session(rng: random.Random, index: int) -> Session:
    width, height = 1920, 1080
    speed = rng.choice([0.5, 1.0, 2.0])  # pixels per millisecond
    step = rng.choice([10, 16, 20])
    # One direct move from where the cursor was put to the element it clicks.
    start, target = _targets(rng, 2, width, height)
    moves, t = _scripted_stroke(start, target, 1000.0, speed, step)
    clicks = [{"t": t, "x": target[0], "y": target[1], "button": 0}]
    keys = _scripted_keys(t + 100, rng.randint(20, 45), dwell=50.0, flight=rng.choice([0.0, 30.0, 50.0]))
    return {
        "_id": f"scripted-{index}",
        "browser": {"webdriver": True, "screen_width": width, "screen_height": height,
                    "touch_supported": False, "max_touch_points": 0, "plugins_length": 0},
        "mouse_movements": moves,
        "clicks": clicks,
        "scrolls": [],
        "keystrokes": keys,
    }


def generate_sessions(seed: int = 2024, human: int = 5, scripted: int = 5) -> list[Session]:
    """human-like sessions first, then scripted ones; the same seed gives the same sessions."""
    rng = random.Random(seed)
    sessions = [human_session(rng, i + 1) for i in range(human)]
    sessions += [scripted_session(rng, i + 1) for i in range(scripted)]
    return sessions


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--human", type=int, default=5, help="human-like sessions")
    parser.add_argument("--scripted", type=int, default=5, help="scripted sessions")
    parser.add_argument("-o", "--output", help="output file (default: standard output)")
    args = parser.parse_args(argv)
    sessions = generate_sessions(args.seed, args.human, args.scripted)
    out = open(args.output, "w", encoding="utf-8") if args.output else sys.stdout
    try:
        for s in sessions:
            out.write(json.dumps(s) + "\n")
    finally:
        if out is not sys.stdout:
            out.close()


if __name__ == "__main__":
    main()
