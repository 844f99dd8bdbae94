"""``eased``: a desktop automation script that hides the automation flag and eases its
moves. Straight moves shaped by ``pytweening``'s easing functions, stepped either the
way ``pyautogui.moveTo(x, y, duration, tween)`` steps them (its own source: instant
below 0.1 s, else ``max(screen)`` steps unless a step would sleep under 0.05 s, then
``int(duration / 0.05)`` steps, and ``pyautogui.PAUSE`` after every call) or by a loop
of its own with a fixed sleep; random durations, pauses and key timing drawn uniformly
between operator limits, keys through pyautogui's X11 key calls (a character that needs
Shift gets Shift pressed and released inside its own key-down call).
"""

from __future__ import annotations

import random
from collections.abc import Callable, Iterator
from dataclasses import dataclass

import pytweening

from detection.actions import Key, Move
from detection.families._base import (
    Area,
    Family,
    Point,
    Reach,
    os_sleep,
    pyautogui_move,
    pyautogui_type,
    text_stream,
)
from detection.humans import SampleContent

NEEDS_SAMPLE = False

# The easings people pass to pyautogui (its documentation names the first five).
TWEENS = (
    "easeInQuad", "easeOutQuad", "easeInOutQuad", "easeInCubic", "easeOutCubic", "easeInOutCubic",
    "easeInOutSine", "easeOutSine", "easeInOutQuart", "easeOutQuart", "easeInOutQuint", "easeOutQuint",
    "easeInOutExpo", "easeOutExpo", "easeInOutCirc", "easeOutCirc", "easeOutBack", "easeInOutBack",
    "easeOutElastic", "easeInElastic", "easeOutBounce", "easeInBounce", "linear",
)  # fmt: skip


@dataclass(frozen=True)
class Operator:
    tweens: tuple[str, ...]  # one drawn per move
    step_rule: str  # "pyautogui" or "loop"
    loop_step_ms: float
    duration_s: tuple[float, float]
    pause_s: float  # pyautogui.PAUSE
    think_s: tuple[float, float]  # the script's own sleep between actions
    key_mode: str  # "press" (press + sleep) or "hold" (keyDown, sleep, keyUp, sleep)
    hold_s: tuple[float, float]
    flight_s: tuple[float, float]


def _tween(name: str) -> Callable[[float], float]:
    fn: Callable[[float], float] = getattr(pytweening, name)
    return fn


class Eased(Family):
    name = "eased"

    def operator(self, rng: random.Random) -> Operator:
        tweens = tuple(sorted(rng.sample(TWEENS, rng.choice((1, 1, 2, 3, 5)))))
        lo = rng.uniform(0.12, 0.6)
        think = rng.uniform(0.05, 0.6)
        hold = rng.uniform(0.02, 0.12)
        flight = rng.uniform(0.03, 0.25)
        return Operator(
            tweens=tweens,
            step_rule=rng.choice(("pyautogui", "pyautogui", "loop")),
            loop_step_ms=float(rng.choice((5, 10, 15, 16, 20, 30))),
            duration_s=(lo, lo + rng.uniform(0.1, 1.2)),
            pause_s=rng.choice((0.1, 0.1, 0.05, 0.01, 0.0)),
            think_s=(think, think + rng.uniform(0.2, 2.5)),
            key_mode=rng.choice(("press", "hold")),
            hold_s=(hold, hold + rng.uniform(0.01, 0.1)),
            flight_s=(flight, flight + rng.uniform(0.02, 0.3)),
        )

    def _move(
        self, op: Operator, rng: random.Random, area: Area, pos: Point, target: Point, t: float
    ) -> tuple[list[Move], float]:
        duration = rng.uniform(*op.duration_s)
        tween = _tween(rng.choice(op.tweens))
        if op.step_rule == "pyautogui":
            moves, end = pyautogui_move(rng, pos, target, duration, tween, (area.width, area.height), t)
            return moves, end + op.pause_s * 1000.0
        n = max(1, round(duration * 1000.0 / op.loop_step_ms))
        moves = []
        for i in range(1, n + 1):
            t += os_sleep(rng, op.loop_step_ms / 1000.0)
            f = tween(i / n)
            moves.append(Move(t, round(pos[0] + (target[0] - pos[0]) * f), round(pos[1] + (target[1] - pos[1]) * f)))
        return moves, t

    def reaches(self, state: Operator, rng: random.Random, area: Area, start: Point, t0: float) -> Iterator[Reach]:
        pos = (float(round(start[0])), float(round(start[1])))
        pause = rng.uniform(*state.think_s) * 1000.0
        yield Reach((Move(t0, *pos),), pause)  # the script starts where the cursor is
        t = t0 + pause
        while True:
            moves, end = self._move(state, rng, area, pos, area.random_point(rng), t)
            pos = (moves[-1].x, moves[-1].y)
            pause = (end - moves[-1].t) + rng.uniform(*state.think_s) * 1000.0
            yield Reach(tuple(moves), pause)
            t = moves[-1].t + pause

    def keys(self, state: Operator, rng: random.Random, t0: float) -> Iterator[Key]:
        t = t0
        pause_ms = state.pause_s * 1000.0
        for char in text_stream(rng):
            if state.key_mode == "press":  # pyautogui.press(c): down and up in one call
                keys, up = pyautogui_type(rng, char, t, rng.uniform(0.05, 0.5))
                t = up + pause_ms + os_sleep(rng, rng.uniform(*state.flight_s))
            else:  # keyDown(c); sleep(h); keyUp(c); sleep(f): each call then sleeps PAUSE
                keys, up = pyautogui_type(rng, char, t, pause_ms + os_sleep(rng, rng.uniform(*state.hold_s)))
                t = up + pause_ms + os_sleep(rng, rng.uniform(*state.flight_s))
            yield from keys

    def click_gap(self, state: Operator, rng: random.Random) -> float:
        return state.pause_s * 1000.0 + rng.uniform(0.0, 0.1) * 1000.0


def make(content: SampleContent | None) -> Family:
    return Eased()
