"""``bezier``: a browser humaniser built on HumanCursor's curves and humantyping's keys.

Paths come from HumanCursor's own curve generator (``HumanizeMouseTrajectory``) with
parameters drawn by its own ``generate_random_curve_parameters``, both seeded through the
global ``random`` and ``numpy.random`` they use. HumanCursor gives no timing, so this
family adds what the browser humanisers document (ghost-cursor): a movement time by
Fitts' law over which the path's points are dispatched evenly, and, beyond a distance
threshold, an overshoot to a random point near the target and a steady correction curve
back. Keys: humantyping's ``MarkovTyper`` gives the press times without typing anything
(``run()`` returns the history its ``HumanTyper`` replays); each press is a Playwright
``press``, so the release follows the press after a protocol round trip. Flag hidden.

The package's ``__init__`` imports pyautogui, which needs a display, so its two modules
are loaded from their files as published, without running that ``__init__``.
"""

from __future__ import annotations

import importlib.util
import math
import random
from collections.abc import Iterator
from dataclasses import dataclass
from types import ModuleType
from typing import Any

from humantyping import MarkovTyper

from detection.actions import Key, Move
from detection.families._base import Area, Family, Reach, distance, fitts_ms, paragraph
from detection.families._globalrandom import GlobalRandom
from detection.humans import SampleContent

NEEDS_SAMPLE = False


def _humancursor_module(relative: str) -> ModuleType:
    """A module of the installed HumanCursor, loaded from its file (its package's
    ``__init__`` is not run)."""
    package = importlib.util.find_spec("humancursor")
    if package is None or not package.submodule_search_locations:
        raise ImportError("HumanCursor is not installed (detection/requirements.txt)")
    path = f"{list(package.submodule_search_locations)[0]}/{relative}"
    name = "_detection_humancursor_" + relative.replace("/", "_").removesuffix(".py")
    module_spec = importlib.util.spec_from_file_location(name, path)
    assert module_spec is not None and module_spec.loader is not None
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


curve_generator = _humancursor_module("utilities/human_curve_generator.py")
randomizer = _humancursor_module("utilities/calculate_and_randomize.py")


class _Screen:
    """What ``generate_random_curve_parameters`` asks a desktop driver: its size."""

    def __init__(self, width: int, height: int) -> None:
        self._size = (width, height)

    def size(self) -> tuple[int, int]:
        return self._size


@dataclass(frozen=True)
class Operator:
    style: str  # "web": HumanCursor's WebCursor point counts; "system": its SystemCursor's
    fitts_a_ms: float
    fitts_b_ms: float
    target_width: float
    min_step_ms: float  # a dispatch round trip: no two moves closer
    overshoot_threshold: float
    overshoot_radius: float
    max_delay_ms: float  # ghost-cursor's moveDelay: pause drawn in [0, max)
    wpm: float
    latency_ms: tuple[float, float]  # press round trip


class Bezier(Family):
    name = "bezier"

    def operator(self, rng: random.Random) -> Operator:
        lat = rng.uniform(0.5, 4.0)
        return Operator(
            style=rng.choice(("web", "web", "system")),
            fitts_a_ms=rng.uniform(0.0, 200.0),
            fitts_b_ms=rng.uniform(80.0, 250.0),
            target_width=rng.uniform(15.0, 120.0),
            min_step_ms=rng.uniform(1.0, 8.0),
            overshoot_threshold=rng.uniform(300.0, 700.0),
            overshoot_radius=rng.uniform(60.0, 150.0),
            max_delay_ms=rng.uniform(500.0, 3000.0),
            wpm=rng.uniform(35.0, 95.0),
            latency_ms=(lat, lat + rng.uniform(0.5, 6.0)),
        )

    # -- pointer

    def _curve(self, op: Operator, area: Area, start: tuple[int, int], end: tuple[int, int], steady: bool) -> list[Any]:
        """HumanCursor's path from START to END, parameters as its cursors draw them."""
        (ox, oy, knots, d_mean, d_sd, d_freq, tween, points) = randomizer.generate_random_curve_parameters(
            _Screen(area.width, area.height), list(start), list(end)
        )
        if op.style == "web":  # WebCursor's point counts (calculate_and_randomize, web branch)
            points = random.choice(random.choices([range(35, 45), range(45, 60), range(60, 80)], [0.53, 0.32, 0.15])[0])
        if steady:  # HumanCursor's steady=True
            ox, oy, d_mean, d_sd, d_freq = 10, 10, 1.2, 1.2, 1
        curve = curve_generator.HumanizeMouseTrajectory(
            list(start), list(end), offset_boundary_x=ox, offset_boundary_y=oy, knots_count=knots,
            distortion_mean=d_mean, distortion_st_dev=d_sd, distortion_frequency=d_freq, tween=tween,
            target_points=points,
        )  # fmt: skip
        return list(curve.points)

    def _dispatch(self, op: Operator, rng: random.Random, points: list[Any], dist: float, t: float) -> list[Move]:
        duration = fitts_ms(op.fitts_a_ms, op.fitts_b_ms, dist, op.target_width)
        step = max(duration / max(len(points), 1), op.min_step_ms)
        moves = []
        for x, y in points:
            t += step * rng.uniform(0.9, 1.1)
            moves.append(Move(t, float(x), float(y)))
        return moves

    def reaches(
        self, state: Operator, rng: random.Random, area: Area, start: tuple[float, float], t0: float
    ) -> Iterator[Reach]:
        globals_ = GlobalRandom(rng.getrandbits(63))
        pos = (round(start[0]), round(start[1]))
        pause = rng.uniform(50.0, state.max_delay_ms)
        yield Reach((Move(t0, *pos),), pause)
        t = t0 + pause
        while True:
            x, y = area.random_point(rng)
            target = (round(x), round(y))
            dist = distance(pos, target)
            overshoot = dist > state.overshoot_threshold
            aim = target
            if overshoot:  # ghost-cursor: a random point in a circle around the target
                angle, radius = rng.uniform(0, 2 * math.pi), state.overshoot_radius * math.sqrt(rng.random())
                ax, ay = area.clamp(target[0] + radius * math.cos(angle), target[1] + radius * math.sin(angle))
                aim = (round(ax), round(ay))
            with globals_:
                path = self._curve(state, area, pos, aim, steady=False)
                moves = self._dispatch(state, rng, path, distance(pos, aim), t)
                if overshoot:
                    back = self._curve(state, area, aim, target, steady=True)
                    moves += self._dispatch(state, rng, back, distance(aim, target), moves[-1].t + rng.uniform(30, 120))
            pause = rng.uniform(50.0, state.max_delay_ms)
            yield Reach(tuple(moves), pause)
            pos = (round(moves[-1].x), round(moves[-1].y))
            t = moves[-1].t + pause

    # -- keys

    def keys(self, state: Operator, rng: random.Random, t0: float) -> Iterator[Key]:
        globals_ = GlobalRandom(rng.getrandbits(63))
        t = t0
        first = True
        while True:
            text = ("" if first else " ") + paragraph(rng, 300)
            first = False
            with globals_:
                _, history = MarkovTyper(text, target_wpm=state.wpm).run()
            start = t
            for at, action, _ in history[1:]:  # history[0] is the typer's INIT entry
                t = max(t, start + at * 1000.0)
                for key in _pressed(action):
                    down = t
                    up = down + rng.uniform(*state.latency_ms)
                    yield Key(key, down, up)
                    t = up + rng.uniform(*state.latency_ms)


def _pressed(action: str) -> list[str]:
    """The keys ``HumanTyper.type`` presses for one history entry."""
    if "BACKSPACE" in action:
        return ["Backspace"]
    chars = action[action.index("'") + 1 : action.rindex("'")]
    return list(chars)


def make(content: SampleContent | None) -> Family:
    return Bezier()
