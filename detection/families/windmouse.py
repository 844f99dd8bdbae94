"""``windmouse``: the WindMouse algorithm as the ``windmouse`` package publishes it,
driven the way its pyautogui controller drives it.

Paths come from ``windmouse.core.wind_mouse`` (gravity pulls towards the target, a
random wind pushes sideways, the step is clipped, the wind dies down near the target),
seeded through the global ``numpy.random`` it draws from. Its ``PyautoguiMouseController``
calls ``pyautogui.moveTo(x, y, duration=step_duration)`` for every point and sleeps
``tick_delay`` between: a step of 0.1 s or less jumps, a longer one is tweened with
pyautogui's own step rule, and every ``moveTo`` ends with ``pyautogui.PAUSE``. An
operator draws gravity, wind, maximum step, damped distance, step duration, tick delay
and PAUSE. Keys: ``keyDown``, a random hold, ``keyUp``, a random flight (uniform between
operator limits), through pyautogui's X11 key calls. Flag hidden.
"""

from __future__ import annotations

import random
from collections.abc import Iterator
from dataclasses import dataclass

from windmouse.core import wind_mouse

from detection.actions import Key, Move
from detection.families._base import (
    Area,
    Family,
    Reach,
    log_uniform,
    os_sleep,
    pyautogui_move,
    pyautogui_type,
    text_stream,
)
from detection.families._globalrandom import GlobalRandom
from detection.humans import SampleContent

NEEDS_SAMPLE = False


@dataclass(frozen=True)
class Operator:
    gravity: float
    wind: float
    max_step: float
    damped_distance: float
    step_duration_s: float  # move_to_target(step_duration=...)
    tick_delay_s: float
    pause_s: float  # pyautogui.PAUSE
    think_s: tuple[float, float]
    hold_s: tuple[float, float]
    flight_s: tuple[float, float]


def _linear(n: float) -> float:
    return n


class WindMouse(Family):
    name = "windmouse"

    def operator(self, rng: random.Random) -> Operator:
        think = rng.uniform(0.1, 0.8)
        hold = rng.uniform(0.03, 0.12)
        flight = rng.uniform(0.04, 0.25)
        return Operator(
            gravity=rng.uniform(5.0, 15.0),
            wind=rng.uniform(1.0, 6.0),
            max_step=rng.uniform(8.0, 25.0),
            damped_distance=rng.uniform(8.0, 16.0),
            step_duration_s=rng.choice((0.1, log_uniform(rng, 0.002, 0.25))),
            tick_delay_s=rng.choice((0.0, 0.0, log_uniform(rng, 0.001, 0.03))),
            pause_s=rng.choice((0.1, 0.01, 0.0, 0.0)),
            think_s=(think, think + rng.uniform(0.2, 2.0)),
            hold_s=(hold, hold + rng.uniform(0.01, 0.1)),
            flight_s=(flight, flight + rng.uniform(0.02, 0.3)),
        )

    def reaches(
        self, state: Operator, rng: random.Random, area: Area, start: tuple[float, float], t0: float
    ) -> Iterator[Reach]:
        globals_ = GlobalRandom(rng.getrandbits(63))
        pos = (round(start[0]), round(start[1]))
        pause = rng.uniform(*state.think_s) * 1000.0
        yield Reach((Move(t0, *pos),), pause)
        t = t0 + pause
        screen = (area.width, area.height)
        while True:
            x, y = area.random_point(rng)
            with globals_:
                path = list(
                    wind_mouse(
                        pos[0], pos[1], round(x), round(y),
                        state.gravity, state.wind, state.max_step, state.damped_distance,
                    )
                )  # fmt: skip
            moves: list[Move] = []
            for px, py in path:  # PyautoguiMouseController.tick, then sleep(tick_delay)
                step, end = pyautogui_move(rng, pos, (px, py), state.step_duration_s, _linear, screen, t)
                moves.extend(step)
                pos = (int(px), int(py))
                t = end + os_sleep(rng, state.pause_s)
                if state.tick_delay_s:
                    t += os_sleep(rng, state.tick_delay_s)
                t += rng.uniform(0.1, 0.6)  # the XTest call itself
            if not moves:
                continue
            pause = rng.uniform(*state.think_s) * 1000.0
            yield Reach(tuple(moves), pause + (t - moves[-1].t))
            t += pause

    def keys(self, state: Operator, rng: random.Random, t0: float) -> Iterator[Key]:
        t = t0
        pause_ms = state.pause_s * 1000.0
        for char in text_stream(rng):
            hold = pause_ms + os_sleep(rng, rng.uniform(*state.hold_s))
            keys, up = pyautogui_type(rng, char, t, hold)
            yield from keys
            t = up + pause_ms + os_sleep(rng, rng.uniform(*state.flight_s))

    def click_gap(self, state: Operator, rng: random.Random) -> float:
        return state.pause_s * 1000.0 + rng.uniform(20.0, 150.0)


def make(content: SampleContent | None) -> Family:
    return WindMouse()
