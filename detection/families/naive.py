"""``naive``: a plain WebDriver script. Straight moves at one constant speed, dispatched
at one fixed step, a fixed pause between moves; keys at one fixed interval with one
fixed hold; capitals sent as the character (no Shift), as ``send_keys`` and
``keyboard.type`` do; ``navigator.webdriver`` left true. Standard library only.
"""

from __future__ import annotations

import math
import random
from collections.abc import Iterator
from dataclasses import dataclass

from detection.actions import Key, Move
from detection.families._base import Area, Family, Reach, distance, straight, text_stream
from detection.humans import SampleContent

NEEDS_SAMPLE = False


@dataclass(frozen=True)
class Operator:
    step_ms: float  # one move event every step_ms
    speed_px_ms: float  # constant speed
    pause_ms: float  # fixed pause after every move
    key_interval_ms: float  # press to press
    key_hold_ms: float
    click_gap_ms: float


class Naive(Family):
    name = "naive"
    webdriver = True

    def operator(self, rng: random.Random) -> Operator:
        return Operator(
            step_ms=rng.choice((5.0, 10.0, 16.0, 20.0, 25.0, 50.0)),
            speed_px_ms=rng.uniform(0.3, 3.0),
            pause_ms=float(rng.choice((100, 250, 500, 1000, 1500, 2000))),
            key_interval_ms=float(rng.choice((10, 30, 50, 80, 100, 120, 150, 200))),
            key_hold_ms=float(rng.choice((0, 1, 5, 10, 20, 30, 50))),
            click_gap_ms=float(rng.choice((0, 50, 100, 200))),
        )

    def reaches(
        self, state: Operator, rng: random.Random, area: Area, start: tuple[float, float], t0: float
    ) -> Iterator[Reach]:
        pos, t = start, t0
        yield Reach((Move(t, *pos),), state.pause_ms)
        t += state.pause_ms
        while True:
            target = area.random_point(rng)
            n = max(1, math.ceil(distance(pos, target) / (state.speed_px_ms * state.step_ms)))
            moves = tuple(Move(t + (i + 1) * state.step_ms, x, y) for i, (x, y) in enumerate(straight(pos, target, n)))
            yield Reach(moves, state.pause_ms)
            pos, t = target, moves[-1].t + state.pause_ms

    def keys(self, state: Operator, rng: random.Random, t0: float) -> Iterator[Key]:
        t = t0
        for char in text_stream(rng):
            yield Key(char, t, t + state.key_hold_ms)
            t += state.key_interval_ms

    def click_gap(self, state: Operator, rng: random.Random) -> float:
        return state.click_gap_ms

    def scroll_gap(self, state: Operator, rng: random.Random) -> float:
        return 50.0


def make(content: SampleContent | None) -> Family:
    return Naive()
