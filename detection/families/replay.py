"""``replay``: a farm that replays recorded people.

An operator is a farm with a few source traces of its own: pointer windows and key runs
of the sample's people. Each session replays one pointer source and one key source,
disguised: the trace rotated (up to ±15°) and scaled (0.8-1.25) about its centre,
every point moved by up to 2 px, time stretched by 0.8-1.25 (keys too), and played
again, freshly disguised, as long as the session needs. The session carries the
replayed people's groups, so a split never tests on a person whose recording trained
the model. Standard library only.
"""

from __future__ import annotations

import math
import random
from collections.abc import Iterator, Sequence
from dataclasses import dataclass

from detection.actions import Key, Move
from detection.families._base import Area, Family, Reach
from detection.humans import KeyRun, PointerTrace, SampleContent

NEEDS_SAMPLE = True

# A gap this long between recorded events ends a movement of the replayed trace.
PAUSE_MS = 300.0
MAX_ROTATION_DEG = 15.0
SCALE = (0.8, 1.25)
TIME_SCALE = (0.8, 1.25)
MAX_JITTER_PX = 2.0


@dataclass(frozen=True)
class Operator:
    traces: tuple[PointerTrace, ...]
    runs: tuple[KeyRun, ...]


@dataclass(frozen=True)
class SessionSources:
    trace: PointerTrace
    run: KeyRun
    time_scale: float


@dataclass(frozen=True)
class Disguise:
    angle: float
    scale: float
    time_scale: float

    @classmethod
    def draw(cls, rng: random.Random, time_scale: float) -> Disguise:
        return cls(math.radians(rng.uniform(-MAX_ROTATION_DEG, MAX_ROTATION_DEG)), rng.uniform(*SCALE), time_scale)


def disguised(
    trace: PointerTrace, d: Disguise, rng: random.Random, area: Area, fit: bool
) -> list[tuple[float, float, float]]:
    """TRACE rotated and scaled about its centre, placed at the centre of AREA (and,
    when FIT, shrunk first to fit it, as in a small browser viewport), each point
    jittered, times stretched; kept inside the area."""
    xs = [p[1] for p in trace.points]
    ys = [p[2] for p in trace.points]
    cx, cy = (min(xs) + max(xs)) / 2, (min(ys) + max(ys)) / 2
    scale = d.scale
    if fit:
        span = max(max(xs) - min(xs), max(ys) - min(ys), 1.0)
        scale *= min(1.0, 0.8 * min(area.width, area.height) / span)
    cos, sin = math.cos(d.angle) * scale, math.sin(d.angle) * scale
    out = []
    for t, x, y in trace.points:
        dx, dy = x - cx, y - cy
        r, a = MAX_JITTER_PX * math.sqrt(rng.random()), rng.uniform(0, 2 * math.pi)
        px = area.width / 2 + dx * cos - dy * sin + r * math.cos(a)
        py = area.height / 2 + dx * sin + dy * cos + r * math.sin(a)
        out.append((t * d.time_scale, *area.clamp(px, py)))
    return out


def split_reaches(points: Sequence[tuple[float, float, float]], t0: float) -> list[Reach]:
    """The replayed points as movements, a recorded gap over PAUSE_MS being a pause."""
    reaches: list[Reach] = []
    current: list[Move] = []
    for i, (t, x, y) in enumerate(points):
        current.append(Move(t0 + t, x, y))
        gap = points[i + 1][0] - t if i + 1 < len(points) else PAUSE_MS * 2
        if gap > PAUSE_MS:
            reaches.append(Reach(tuple(current), gap))
            current = []
    return reaches


class Replay(Family):
    name = "replay"

    def __init__(self, content: SampleContent) -> None:
        self.traces = content.traces
        self.runs = content.key_runs

    def operator(self, rng: random.Random) -> Operator:
        traces = rng.sample(self.traces, rng.randint(1, min(3, len(self.traces))))
        runs = rng.sample(self.runs, rng.randint(1, min(3, len(self.runs))))
        return Operator(tuple(traces), tuple(runs))

    def begin(self, op: Operator, rng: random.Random) -> SessionSources:
        return SessionSources(rng.choice(op.traces), rng.choice(op.runs), rng.uniform(*TIME_SCALE))

    def groups(self, state: SessionSources, pointer: bool, keys: bool) -> dict[str, str]:
        groups: dict[str, str] = {}
        if pointer:
            groups.update({k: v for k, v in state.trace.groups.items() if k in ("pointer_user", "recording")})
        if keys:
            groups.update({k: v for k, v in state.run.groups.items() if k == "key_participant"})
        return groups

    def reaches(
        self, state: SessionSources, rng: random.Random, area: Area, start: tuple[float, float], t0: float
    ) -> Iterator[Reach]:
        t = t0
        fit = area.width < state.trace.screen[0] or area.height < state.trace.screen[1]
        while True:
            points = disguised(state.trace, Disguise.draw(rng, state.time_scale), rng, area, fit)
            for reach in split_reaches(points, t):
                yield reach
                t = reach.moves[-1].t + reach.pause_ms

    def keys(self, state: SessionSources, rng: random.Random, t0: float) -> Iterator[Key]:
        t = t0
        scale = state.time_scale
        while True:
            for p in state.run.presses:
                yield Key(p.key, t + p.down * scale, None if p.up is None else t + p.up * scale)
            last = state.run.presses[-1]
            t += (last.up if last.up is not None else last.down) * scale + rng.uniform(800.0, 3000.0)


def make(content: SampleContent | None) -> Family:
    if content is None:
        raise ValueError("the replay family needs the sample's traces")
    return Replay(content)
