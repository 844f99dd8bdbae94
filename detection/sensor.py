"""The two captures a bot's dispatched events pass through.

``matched`` (the headline) records the moves the way the human recording was made, so a
detector cannot tell people from bots by the recorder alone. The Balabit recorder stamps
events with a coarse system clock: in the sample, every window's stamps fall on
``phase + k * 15.6001`` ms rounded to whole ms (the Windows clock interval of 156,001 ×
100 ns, not quite 15.625), and events come at the recorder's own pace (runs of one-tick
intervals, runs of ~110 ms, ~7 % zero intervals inside movements), not at the mouse's.
So the matched capture reads the cursor at intervals drawn, in whole runs, from the
sample's in-motion intervals; stamps each reading with that clock; writes integer
positions; and records an event only when the position changed since the last event
(the cursor sits at the last dispatched position between moves). Clicks get the same
clock; wheel notches are recorded at (0, 0), as the recorder wrote them.

``collector`` records them the way ``collector.js`` does in a browser: pointer moves
coalesced to one sample per 60 Hz animation frame (the frame's last event, with its own
timeStamp), times relative to page load at 0.01 ms, the 300 most recent samples; clicks
and wheel notches as ``{t}``; keys through the collector's state machine.

Standard library only.
"""

from __future__ import annotations

import bisect
import math
import random
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any

from detection.actions import Move, Script
from detection.keyshape import Press, shape_presses

TICK_MS = 15.6001
FRAME_MS = 1000.0 / 60.0
COLLECTOR_MAX_POINTS = 300
COLLECTOR_MAX_COUNTED = 1000


class Cursor:
    """Where the cursor is at any time: at the last dispatched position (rounded to a
    pixel, as the OS and the browser report it), nowhere before the first move."""

    def __init__(self, moves: Sequence[Move]) -> None:
        self.times = [m.t for m in moves]
        self.positions = [(round(m.x), round(m.y)) for m in moves]

    def at(self, t: float) -> tuple[int, int] | None:
        i = bisect.bisect_right(self.times, t) - 1
        return self.positions[i] if i >= 0 else None

    @property
    def last_time(self) -> float:
        return self.times[-1] if self.times else -math.inf


class IntervalDraw:
    """Capture intervals drawn from the recorded in-motion runs: a run drawn at random,
    played whole, then another. Each recorded interval comes up equally often (so the
    draw has the recordings' distribution, zero intervals included) and the recorder's
    runs of fast and of slow sampling stay runs."""

    def __init__(self, blocks: Sequence[Sequence[int]], rng: random.Random) -> None:
        self.blocks = [tuple(b) for b in blocks if b]
        if not self.blocks:
            raise ValueError("no capture intervals to draw from")
        self.rng = rng
        self._run: Iterator[int] = iter(())

    def __next__(self) -> int:
        for value in self._run:
            return value
        self._run = iter(self.rng.choice(self.blocks))
        return next(self._run)


@dataclass(frozen=True)
class CapturedPoint:
    real_t: float  # script time at which the recorder read the cursor
    t: int  # its stamp, on the session's clock
    x: int
    y: int


@dataclass(frozen=True)
class Clock:
    """The recorder's coarse clock: ticks at ``phase + k * TICK_MS`` on the session's
    own time line (``base`` + script time), each stamp rounded to a whole ms."""

    base: float
    phase: float

    def tick(self, real_t: float) -> int:
        return math.floor((self.base + real_t - self.phase) / TICK_MS)

    def stamp_of_tick(self, k: int) -> int:
        return round(self.phase + k * TICK_MS)

    def stamp(self, real_t: float) -> int:
        return self.stamp_of_tick(self.tick(real_t))

    def time_of(self, k: int, fraction: float) -> float:
        """Script time at FRACTION of tick K."""
        return self.phase + (k + fraction) * TICK_MS - self.base


@dataclass(frozen=True)
class MatchedParams:
    """What one session's matched capture needs: its seed, the session's time base and
    the intervals to draw from."""

    seed: int
    base_ms: float
    blocks: tuple[tuple[int, ...], ...]

    def clock(self) -> Clock:
        """The session's clock, its phase drawn from the seed (apart from the intervals,
        so that pointer, clicks and wheel share it)."""
        return Clock(self.base_ms, random.Random(f"clock:{self.seed}").uniform(0.0, TICK_MS))


def matched_points(
    moves: Sequence[Move], params: MatchedParams, limit: int | None = None, until: float | None = None
) -> list[CapturedPoint]:
    """The pointer events the matched recorder writes for MOVES: at most LIMIT, and none
    read after script time UNTIL (used while a script is still being extended, so that
    what was captured so far is a prefix of what the whole script gives)."""
    points: list[CapturedPoint] = []
    if not moves or limit == 0:
        return points
    rng = random.Random(params.seed)
    clock = params.clock()
    draw = IntervalDraw(params.blocks, rng)
    cursor = Cursor(moves)
    real_t = moves[0].t
    k = clock.tick(real_t)
    last = cursor.at(real_t)
    assert last is not None
    points.append(CapturedPoint(real_t, clock.stamp_of_tick(k), *last))
    end = cursor.last_time if until is None else min(until, cursor.last_time)
    while limit is None or len(points) < limit:
        ticks = round(next(draw) / TICK_MS)
        if ticks == 0:
            # A batch: the recorder read the cursor again about a tick later and handed
            # both readings over with one stamp (in the recordings, the step inside a
            # zero interval is as long as a one-tick step).
            real_t += rng.uniform(0.5, 1.5) * TICK_MS
        else:
            k += ticks
            real_t = max(clock.time_of(k, rng.random()), real_t + 1.0)
        if until is not None and real_t > until:
            break
        pos = cursor.at(real_t)
        if pos is not None and pos != last:
            points.append(CapturedPoint(real_t, clock.stamp_of_tick(k), *pos))
            last = pos
        elif real_t > end:
            break  # the cursor has stopped for good
    return points


class _EventStamps:
    """Stamps for clicks and wheel notches on the pointer's clock. A reading handed over
    in a batch carries the batch's (earlier) stamp, so a button event is stamped no later
    than the next pointer event and no earlier than the one before, as the recorder's
    single event queue would have it."""

    def __init__(self, clock: Clock, points: Sequence[CapturedPoint]) -> None:
        self.clock = clock
        self.read = [p.real_t for p in points]
        self.stamps = [p.t for p in points]

    def __call__(self, real_t: float) -> int:
        stamp = self.clock.stamp(real_t)
        i = bisect.bisect_left(self.read, real_t)
        if i < len(self.stamps):
            stamp = min(stamp, self.stamps[i])
        if i > 0:
            stamp = max(stamp, self.stamps[i - 1])
        return stamp


def matched_telemetry(script: Script, params: MatchedParams, limit: int | None = None) -> dict[str, Any]:
    """Pointer, clicks and wheel of SCRIPT as the human recording would hold them."""
    points = matched_points(script.moves, params, limit)
    stamp = _EventStamps(params.clock(), points)
    cursor = Cursor(script.moves)
    clicks = []
    for c in script.clicks:
        x, y = cursor.at(c.t) or (round(c.x), round(c.y))
        clicks.append({"t": stamp(c.t), "x": x, "y": y, "button": c.button})
    scrolls = [{"t": stamp(s.t), "x": 0, "y": 0, "direction": s.direction} for s in script.scrolls]
    return {
        "mouse_movements": [{"x": p.x, "y": p.y, "t": p.t} for p in points],
        "clicks": clicks,
        "scrolls": scrolls,
    }


# -- the browser collector ------------------------------------------------------------


def _ms(v: float) -> float:
    """``num()`` of collector.js: two decimals."""
    return round(v * 100) / 100


def collector_moves(moves: Sequence[Move], page_start: float, frame_phase: float) -> list[dict[str, float]]:
    """pointermove as collector.js keeps it: the browser fires an event when the
    pixel position changes; the handler keeps the latest and records it at the next
    animation frame (frames at ``frame_phase + n * FRAME_MS`` page time)."""
    samples: list[dict[str, float]] = []
    last_pos: tuple[int, int] | None = None
    pending: tuple[int, float, int, int] | None = None  # frame, page time, x, y
    for m in moves:
        pos = (round(m.x), round(m.y))
        if pos == last_pos:
            continue
        last_pos = pos
        page_t = page_start + m.t
        frame = math.ceil((page_t - frame_phase) / FRAME_MS)
        if pending is not None and pending[0] != frame:
            samples.append({"x": pending[2], "y": pending[3], "t": _ms(pending[1])})
        pending = (frame, page_t, *pos)
    if pending is not None:
        samples.append({"x": pending[2], "y": pending[3], "t": _ms(pending[1])})
    return samples[-COLLECTOR_MAX_POINTS:]


def collector_telemetry(script: Script, page_start: float, frame_phase: float, session_id: str) -> dict[str, Any]:
    """Pointer, clicks, wheel and keys of SCRIPT as collector.js would send them."""
    presses = [
        Press(k.key, _ms(page_start + k.down), None if k.up is None else _ms(page_start + k.up)) for k in script.keys
    ]
    return {
        "mouse_movements": collector_moves(script.moves, page_start, frame_phase),
        "clicks": [{"t": _ms(page_start + c.t)} for c in script.clicks][:COLLECTOR_MAX_COUNTED],
        "scrolls": [{"t": _ms(page_start + s.t)} for s in script.scrolls][:COLLECTOR_MAX_COUNTED],
        "keystrokes": shape_presses(presses, session_id),
    }
