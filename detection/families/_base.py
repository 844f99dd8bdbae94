"""What every bot family shares: the family interface, the text bots type, the way a
desktop automation library steps and sleeps. Standard library only.

A family draws an *operator* (its own parameters: one person running one tool set up
one way) from a seed, then per session yields pointer *reaches* (the moves of one
movement and the pause after it) and keys, without end: the session assembler in
``detection.families`` takes what the plan asks for.
"""

from __future__ import annotations

import math
import random
from abc import ABC, abstractmethod
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from detection.actions import Key, Move

# Sentences written for this benchmark (not taken from any data set): what a bot types
# into a form. Every one starts with a capital and ends with a full stop or a question
# mark, so typing starts at the beginning of a sentence like the people's key runs do.
CORPUS = (
    "Please send the invoice to the billing address on file.",
    "I would like to change the delivery date of my order.",
    "The meeting has been moved to Thursday afternoon.",
    "Could you reset the password for my account?",
    "We are looking for a small apartment near the station.",
    "My parcel arrived yesterday but one item was missing.",
    "Thanks for the quick reply, that solved the problem.",
    "The printer on the second floor is out of paper again.",
    "Is the museum open on public holidays?",
    "I forgot my username and cannot log in anymore.",
    "Our team will review the proposal before Friday.",
    "The train was late, so I missed the first talk.",
    "Please add two more seats to the reservation.",
    "Where can I find the terms of the warranty?",
    "She bought fresh bread and a jar of honey at the market.",
    "The new version fixes the crash when saving large files.",
    "Let me know if the link does not work for you.",
    "We planted tomatoes and beans in the garden last spring.",
    "How long does shipping to Canada usually take?",
    "The weather was cold, but the view from the hill was lovely.",
    "I have attached the signed contract and a copy of my passport.",
    "Could we schedule a call for next Monday morning?",
    "The library closes early during the summer months.",
    "Your subscription will renew automatically at the end of the month.",
    "He left his umbrella on the bus this morning.",
    "Please confirm that the payment went through.",
    "The kids played football in the park until it got dark.",
    "What is the best way to reach the airport from here?",
    "I would like to cancel my membership, effective today.",
    "The recipe needs three eggs, a cup of flour and some milk.",
    "Our office will be closed for maintenance on Saturday.",
    "Can I return the shoes if they do not fit?",
)


def text_stream(rng: random.Random) -> Iterator[str]:
    """Characters of randomly drawn corpus sentences, one space between sentences."""
    first = True
    while True:
        if not first:
            yield " "
        first = False
        yield from rng.choice(CORPUS)


def paragraph(rng: random.Random, min_chars: int) -> str:
    """Whole corpus sentences, at least MIN_CHARS characters of them."""
    parts: list[str] = []
    while sum(len(p) + 1 for p in parts) < min_chars:
        parts.append(rng.choice(CORPUS))
    return " ".join(parts)


Point = tuple[float, float]


@dataclass(frozen=True)
class Area:
    """Where the cursor may go: the plan's screen or the browser's viewport."""

    width: int
    height: int
    margin: int = 4

    def random_point(self, rng: random.Random) -> tuple[float, float]:
        m = self.margin
        return rng.uniform(m, self.width - 1 - m), rng.uniform(m, self.height - 1 - m)

    def clamp(self, x: float, y: float) -> tuple[float, float]:
        return min(max(x, 0.0), self.width - 1.0), min(max(y, 0.0), self.height - 1.0)


@dataclass(frozen=True)
class Reach:
    """One movement as dispatched (times in script ms) and the pause after it, before
    the next movement starts: clicks go at its end, wheel notches into its pause."""

    moves: tuple[Move, ...]
    pause_ms: float


class Family(ABC):
    """A bot family. ``operator`` draws the parameters of one operator; ``begin`` what a
    session of that operator fixes (the replay farms pick their sources there);
    ``reaches`` and ``keys`` yield without end, from script time T0."""

    name: str = ""
    webdriver: bool = False

    @abstractmethod
    def operator(self, rng: random.Random) -> Any: ...

    def begin(self, op: Any, rng: random.Random) -> Any:
        """Per-session state; by default the operator itself."""
        return op

    def groups(self, state: Any, pointer: bool, keys: bool) -> dict[str, str]:
        """Groups beyond the operator (a replay carries its source people's)."""
        return {}

    @abstractmethod
    def reaches(
        self, state: Any, rng: random.Random, area: Area, start: tuple[float, float], t0: float
    ) -> Iterator[Reach]: ...

    @abstractmethod
    def keys(self, state: Any, rng: random.Random, t0: float) -> Iterator[Key]: ...

    def click_gap(self, state: Any, rng: random.Random) -> float:
        """ms from arriving to pressing, and between the presses of a multi-click."""
        return rng.uniform(60.0, 250.0)

    def scroll_gap(self, state: Any, rng: random.Random) -> float:
        """ms between wheel notches of one burst."""
        return rng.uniform(20.0, 120.0)


# -- how desktop automation libraries step and sleep ----------------------------------

# pyautogui 0.9.54 (__init__.py): a move shorter than MINIMUM_DURATION jumps; a longer
# one takes max(screen width, height) steps unless a step would sleep less than
# MINIMUM_SLEEP, in which case int(duration / MINIMUM_SLEEP) steps; it sleeps before
# every step (the first step is the start position) and sleeps PAUSE after every public
# call (moveTo, press, keyDown, keyUp, ...).
PYAUTOGUI_MINIMUM_DURATION = 0.1
PYAUTOGUI_MINIMUM_SLEEP = 0.05
PYAUTOGUI_PAUSE = 0.1


def pyautogui_schedule(duration_s: float, screen: tuple[int, int]) -> tuple[int, float]:
    """(number of tween steps, sleep before each in s) of ``pyautogui.moveTo``; (0, 0)
    for an instant jump."""
    if duration_s <= PYAUTOGUI_MINIMUM_DURATION:
        return 0, 0.0
    steps = max(screen)
    sleep = duration_s / steps
    if sleep < PYAUTOGUI_MINIMUM_SLEEP:
        steps = int(duration_s / PYAUTOGUI_MINIMUM_SLEEP)
        sleep = duration_s / steps
    return steps, sleep


def os_sleep(rng: random.Random, seconds: float) -> float:
    """What ``time.sleep(seconds)`` really takes, in ms: a little more (the scheduler
    wakes the process late by a fraction of a millisecond)."""
    return seconds * 1000.0 + rng.expovariate(1 / 0.25)


def pyautogui_move(
    rng: random.Random,
    start: tuple[float, float],
    end: tuple[float, float],
    duration_s: float,
    tween: Any,
    screen: tuple[int, int],
    t0: float,
) -> tuple[list[Move], float]:
    """The moves ``pyautogui.moveTo(end, duration=duration_s, tween=tween)`` dispatches
    from START at T0 (positions rounded as it rounds them), and when it returns (before
    its PAUSE)."""
    steps, sleep = pyautogui_schedule(duration_s, screen)
    x0, y0 = start
    x1, y1 = int(end[0]), int(end[1])  # pyautogui truncates the destination
    if steps == 0:
        return [Move(t0, x1, y1)], t0
    moves = []
    t = t0
    points = [(x0 + (x1 - x0) * tween(n / steps), y0 + (y1 - y0) * tween(n / steps)) for n in range(steps)]
    points.append((x1, y1))
    for x, y in points:
        t += os_sleep(rng, sleep)
        moves.append(Move(t, round(x), round(y)))
    return moves, t


def pyautogui_type(
    rng: random.Random, char: str, t: float, hold_ms: float, latency_ms: float = 0.3
) -> tuple[list[Key], float]:
    """Keys of pyautogui's keyDown(char) ... keyUp(char) on X11 (``_pyautogui_x11``): a
    character that needs Shift gets Shift pressed and released around its own press,
    within the same call. Returns the keys and the time of the key's release."""
    keys = []
    if char.isupper() or char in '~!@#$%^&*()_+{}|:"<>?':
        keys.append(Key("Shift", t, t + 2 * latency_ms))
        t += latency_ms
    up = t + hold_ms
    keys.append(Key(char, t, up))
    return keys, up


def straight(start: tuple[float, float], end: tuple[float, float], n: int) -> list[tuple[float, float]]:
    """N points from START (excluded) to END (included) on the straight line."""
    return [(start[0] + (end[0] - start[0]) * i / n, start[1] + (end[1] - start[1]) * i / n) for i in range(1, n + 1)]


def distance(a: tuple[float, float], b: tuple[float, float]) -> float:
    return math.hypot(b[0] - a[0], b[1] - a[1])


def fitts_ms(a_ms: float, b_ms: float, dist: float, width: float) -> float:
    """Movement time by Fitts' law, Shannon form: a + b log2(D / W + 1)."""
    return a_ms + b_ms * math.log2(dist / width + 1.0)


def log_uniform(rng: random.Random, lo: float, hi: float) -> float:
    return math.exp(rng.uniform(math.log(lo), math.log(hi)))
