"""``mimic``: a statistical mimic of a person, from the motor-control literature and the
sample's own timing.

Pointer: reaches as far, and pauses as long, as the sample's people make them (lognormal
fits, perturbed per operator); every reach is a primary minimum-jerk movement (Flash & Hogan) lasting what
Fitts' law gives for its distance, aimed short of the target (undershoot) and off its
line, on a slightly curved path, then one or two corrective sub-movements, each again
minimum-jerk with its Fitts time, after a short dwell; physiological tremor (8-12 Hz,
under a pixel) rides on every position; the mouse reports at its own polling rate.
Keys: holds and press-to-press flights lognormal, fitted on one sample person (the
operator's template) and perturbed; long pauses at that person's rate; a capital typed
with Shift pressed before it and released after it, with the lead and lag the sample's
people show; typos on neighbouring keys, noticed and corrected with Backspace.
Standard library only.
"""

from __future__ import annotations

import math
import random
from collections.abc import Iterator
from dataclasses import dataclass

from detection.actions import Key, Move
from detection.families._base import Area, Family, Point, Reach, distance, fitts_ms, text_stream
from detection.humans import KeyTiming, LogNormal, MovementTiming, SampleContent, ShiftTiming

NEEDS_SAMPLE = True

_ROWS = ("`1234567890-=", "qwertyuiop[]\\", "asdfghjkl;'", "zxcvbnm,./")


def neighbours(char: str) -> str:
    """The keys next to CHAR on a US keyboard (same case for letters), '' if none."""
    lower = char.lower()
    for r, row in enumerate(_ROWS):
        c = row.find(lower)
        if c < 0:
            continue
        near = [
            _ROWS[rr][cc]
            for rr in (r - 1, r, r + 1)
            for cc in (c - 1, c, c + 1)
            if 0 <= rr < len(_ROWS) and 0 <= cc < len(_ROWS[rr]) and (rr, cc) != (r, c)
        ]
        letters = [n for n in near if n.isalpha()] or near
        return "".join(n.upper() if char.isupper() else n for n in letters)
    return ""


def _mirror(v: float, lo: float, hi: float) -> float:
    """V reflected back into [LO, HI] (a reach off the edge turns back from it)."""
    span = hi - lo
    v = (v - lo) % (2 * span)
    return lo + (v if v <= span else 2 * span - v)


def minimum_jerk(s: float) -> float:
    """Position fraction at time fraction S of a minimum-jerk movement."""
    return s * s * s * (10.0 - 15.0 * s + 6.0 * s * s)


@dataclass(frozen=True)
class Operator:
    fitts_a_ms: float
    fitts_b_ms: float
    target_width: float
    undershoot: float  # mean fraction of the distance the primary movement covers
    lateral_sd: float  # sd of the primary's end across the line, as a fraction of distance
    curvature_sd: float  # sd of the path's bow, as a fraction of distance
    poll_ms: float  # the mouse's report interval
    tremor_px: float
    tremor_hz: float
    amplitude: LogNormal  # distance of a reach
    dwell: LogNormal  # pause after a reach
    timing: KeyTiming  # the template person's, perturbed
    shift: ShiftTiming
    typo_rate: float


def _perturb(law: LogNormal, rng: random.Random, spread: float) -> LogNormal:
    return LogNormal(law.mu + rng.gauss(0.0, spread), max(0.05, law.sigma * rng.uniform(0.85, 1.15)))


class Mimic(Family):
    name = "mimic"

    def __init__(self, content: SampleContent) -> None:
        self.timings = content.key_timings
        self.shift = content.shift
        self.movement: MovementTiming = content.movement

    def operator(self, rng: random.Random) -> Operator:
        template = rng.choice(self.timings)
        timing = KeyTiming(
            session=template.session,
            hold=_perturb(template.hold, rng, 0.08),
            flight=_perturb(template.flight, rng, 0.08),
            pause=_perturb(template.pause, rng, 0.1),
            pause_rate=template.pause_rate * rng.uniform(0.7, 1.3),
        )
        return Operator(
            fitts_a_ms=rng.uniform(60.0, 200.0),
            fitts_b_ms=rng.uniform(90.0, 220.0),
            target_width=rng.uniform(12.0, 60.0),
            undershoot=rng.uniform(0.88, 0.97),
            lateral_sd=rng.uniform(0.01, 0.04),
            curvature_sd=rng.uniform(0.02, 0.08),
            poll_ms=rng.choice((8.0, 8.0, 8.0, 4.0, 10.0, 16.0)),
            tremor_px=rng.uniform(0.15, 0.8),
            tremor_hz=rng.uniform(8.0, 12.0),
            amplitude=_perturb(self.movement.amplitude, rng, 0.25),
            dwell=_perturb(self.movement.dwell, rng, 0.25),
            timing=timing,
            shift=self.shift,
            typo_rate=rng.uniform(0.005, 0.04),
        )

    # -- pointer

    def _submovement(
        self,
        op: Operator,
        rng: random.Random,
        start: tuple[float, float],
        end: tuple[float, float],
        t: float,
        bow: float,
        phase: float,
    ) -> list[Move]:
        """A minimum-jerk movement from START to END starting at T, bowed BOW px to the
        side at its middle, sampled at the mouse's polling rate, tremor added."""
        dist = distance(start, end)
        duration = max(fitts_ms(op.fitts_a_ms, op.fitts_b_ms, dist, op.target_width) * rng.uniform(0.85, 1.15), 40.0)
        ux, uy = ((end[0] - start[0]) / dist, (end[1] - start[1]) / dist) if dist > 0 else (0.0, 0.0)
        moves = []
        elapsed = 0.0
        while elapsed < duration:
            elapsed = min(duration, elapsed + op.poll_ms * rng.uniform(0.97, 1.03))
            s = elapsed / duration
            f = minimum_jerk(s)
            side = bow * 4.0 * f * (1.0 - f)
            tremor = op.tremor_px * math.sin(2 * math.pi * op.tremor_hz * (t + elapsed) / 1000.0 + phase)
            x = start[0] + (end[0] - start[0]) * f - uy * (side + tremor) + rng.gauss(0.0, 0.2)
            y = start[1] + (end[1] - start[1]) * f + ux * (side + tremor) + rng.gauss(0.0, 0.2)
            moves.append(Move(t + elapsed, x, y))
        return moves

    def _reach(self, op: Operator, rng: random.Random, area: Area, pos: Point, target: Point, t: float) -> list[Move]:
        dist = distance(pos, target)
        if dist < 1.0:
            return [Move(t + op.poll_ms, *target)]
        ux, uy = (target[0] - pos[0]) / dist, (target[1] - pos[1]) / dist
        reach = min(1.02, rng.gauss(op.undershoot, 0.03))
        lateral = rng.gauss(0.0, op.lateral_sd) * dist
        aim = area.clamp(pos[0] + ux * dist * reach - uy * lateral, pos[1] + uy * dist * reach + ux * lateral)
        phase = rng.uniform(0, 2 * math.pi)
        moves = self._submovement(op, rng, pos, aim, t, rng.gauss(0.0, op.curvature_sd) * dist, phase)
        here = aim
        for _ in range(rng.choice((1, 1, 2))):  # corrective sub-movements
            error = distance(here, target)
            if error < 1.5:
                break
            last = rng.uniform(0.0, 1.0) < 0.6
            goal = target if last else (here[0] + (target[0] - here[0]) * rng.uniform(0.8, 1.05),
                                        here[1] + (target[1] - here[1]) * rng.uniform(0.8, 1.05))  # fmt: skip
            start_t = moves[-1].t + rng.uniform(20.0, 120.0)
            moves += self._submovement(op, rng, here, goal, start_t, rng.gauss(0.0, 0.02) * error, phase)
            here = goal
        return moves

    def _target(self, op: Operator, rng: random.Random, area: Area, pos: Point) -> Point:
        """A point at a drawn distance in a random direction, mirrored back into the area
        where it would leave it."""
        amplitude = min(op.amplitude.draw(rng), 0.9 * max(area.width, area.height))
        angle = rng.uniform(0.0, 2.0 * math.pi)
        x, y = pos[0] + amplitude * math.cos(angle), pos[1] + amplitude * math.sin(angle)
        m = area.margin
        return _mirror(x, m, area.width - 1 - m), _mirror(y, m, area.height - 1 - m)

    def reaches(
        self, state: Operator, rng: random.Random, area: Area, start: tuple[float, float], t0: float
    ) -> Iterator[Reach]:
        pos = start
        pause = state.dwell.draw(rng)
        yield Reach((Move(t0, *pos),), pause)
        t = t0 + pause
        while True:
            target = self._target(state, rng, area, pos)
            moves = self._reach(state, rng, area, pos, target, t)
            pause = state.dwell.draw(rng)
            yield Reach(tuple(moves), pause)
            pos = (moves[-1].x, moves[-1].y)
            t = moves[-1].t + pause

    # -- keys

    def _flight(self, op: Operator, rng: random.Random) -> float:
        if rng.random() < op.timing.pause_rate:
            return max(op.timing.pause.draw(rng), KeyTiming.PAUSE_MS)
        return min(op.timing.flight.draw(rng), KeyTiming.PAUSE_MS)

    def _press(self, op: Operator, rng: random.Random, char: str, t: float) -> list[Key]:
        """CHAR pressed at T, with Shift around it when it is a capital."""
        hold = op.timing.hold.draw(rng)
        if not char.isupper():
            return [Key(char, t, t + hold)]
        lead = min(op.shift.lead.draw(rng), 600.0)
        shift_up = t + hold + (op.shift.lag.draw(rng) if rng.random() < op.shift.outlast_rate else -hold * rng.random())
        return [Key("Shift", t - lead, max(shift_up, t - lead + 20.0)), Key(char, t, t + hold)]

    def keys(self, state: Operator, rng: random.Random, t0: float) -> Iterator[Key]:
        previous: float | None = None  # press time of the last key (Shift aside)
        for char in text_stream(rng):
            strokes = [char]
            near = neighbours(char)
            if near and rng.random() < state.typo_rate:  # a neighbour, noticed, erased
                strokes = [rng.choice(near), "Backspace", char]
            for stroke in strokes:
                if previous is None:
                    t = t0
                else:
                    notice = rng.lognormvariate(math.log(250.0), 0.4) if stroke == "Backspace" else 0.0
                    t = previous + self._flight(state, rng) + notice
                keys = self._press(state, rng, stroke, t)
                if previous is None and keys[0].down < t0:  # the run starts with Shift's press
                    shift = t0 - keys[0].down
                    keys = [Key(k.key, k.down + shift, None if k.up is None else k.up + shift) for k in keys]
                    t += shift
                elif previous is not None and keys[0].down < t:  # Shift goes down after the last press
                    earliest = previous + 0.3 * (t - previous)
                    keys[0] = Key(keys[0].key, max(keys[0].down, earliest), keys[0].up)
                yield from keys
                previous = t


def make(content: SampleContent | None) -> Family:
    if content is None:
        raise ValueError("the mimic family needs the sample's key timing")
    return Mimic(content)
