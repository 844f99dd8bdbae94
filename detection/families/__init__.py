"""The bot families, and how a family's endless reaches and keys become one session's
:class:`~detection.actions.Script`.

The families ``naive``, ``replay`` and ``mimic`` (and this package) import only the
standard library; ``eased``, ``bezier`` and ``windmouse`` import their adversary package
when loaded, so they are loaded by name, lazily (:func:`load`).
"""

from __future__ import annotations

import hashlib
import importlib
import random
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from itertools import islice
from typing import Any

from detection.actions import Click, Key, Move, Plan, Script, Scroll
from detection.families._base import Area, Family, Reach
from detection.humans import SampleContent, load_sample_content
from detection.sensor import CapturedPoint, MatchedParams, matched_points

FAMILIES = ("naive", "eased", "bezier", "windmouse", "replay", "mimic")
STDLIB_FAMILIES = ("naive", "replay", "mimic")

__all__ = ["FAMILIES", "Area", "Family", "Reach", "derive_seed", "load", "script_for_browser", "session_script"]


def derive_seed(*parts: object) -> int:
    """A 63-bit seed from PARTS, the same on every machine and run (no ``hash()``)."""
    digest = hashlib.sha256("\x1f".join(str(p) for p in parts).encode()).digest()
    return int.from_bytes(digest[:8], "big") >> 1


def load(name: str, content: SampleContent | None = None) -> Family:
    """The family NAME, built with the sample's CONTENT (read from the default data
    folder when not given and the family needs it)."""
    if name not in FAMILIES:
        raise ValueError(f"unknown family {name!r}; known: {', '.join(FAMILIES)}")
    module = importlib.import_module(f"detection.families.{name}")
    family: Family = module.make(content if content is not None else _lazy_content(module))
    return family


def _lazy_content(module: object) -> SampleContent | None:
    return load_sample_content() if getattr(module, "NEEDS_SAMPLE", False) else None


# -- pointer ---------------------------------------------------------------------------


def on_screen(reaches: Iterator[Reach], area: Area) -> Iterator[Reach]:
    """The reaches as the cursor follows them: the OS keeps it on the screen (an eased
    overshoot, a curve's knot or a gust of wind past the edge stops at the edge)."""
    for reach in reaches:
        yield Reach(tuple(Move(m.t, *area.clamp(m.x, m.y)) for m in reach.moves), reach.pause_ms)


@dataclass(frozen=True)
class Stop:
    """A place where the cursor rests: from ``t`` (its arrival) to ``until`` (the next
    movement or the end of the recorded window), at (x, y)."""

    t: float
    until: float
    x: float
    y: float


@dataclass(frozen=True)
class Pointer:
    moves: tuple[Move, ...]
    stops: tuple[Stop, ...]
    captured: tuple[CapturedPoint, ...]


def _take(reaches: Iterator[Reach], moves: list[Move], stops: list[tuple[float, float, float, float]], n: int) -> None:
    for reach in islice(reaches, n):
        if not reach.moves:
            continue
        moves.extend(reach.moves)
        end = reach.moves[-1]
        stops.append((end.t, end.t + reach.pause_ms, end.x, end.y))


def drive_pointer(reaches: Iterator[Reach], params: MatchedParams, n_points: int) -> Pointer:
    """Pull reaches until the matched capture has N_POINTS events, then cut the moves at
    the last of them: the recorded window ends there, as a person's window ends at its
    N-th event. Reaches are pulled in doubling batches; the capture restarts from its
    seed each time, and only what it read before the last move pulled counts, so the
    result does not depend on the batches."""
    moves: list[Move] = []
    stops: list[tuple[float, float, float, float]] = []
    batch = 4
    while True:
        _take(reaches, moves, stops, batch)
        if not moves:
            raise RuntimeError("a family yielded no moves")
        captured = matched_points(moves, params, n_points, until=moves[-1].t)
        if len(captured) >= n_points:
            break
        if batch > 1 << 20:
            raise RuntimeError(f"{len(captured)} of {n_points} points after {len(stops)} movements")
        batch *= 2
    end = captured[-1].real_t
    kept = tuple(m for m in moves if m.t <= end)
    cut = [Stop(t, min(until, end), x, y) for t, until, x, y in stops if t <= end]
    last = kept[-1]
    if not cut or cut[-1].t < last.t:  # the window ends mid-movement: the cursor rests there
        cut.append(Stop(last.t, end, last.x, last.y))
    return Pointer(kept, tuple(cut), tuple(captured[:n_points]))


def place_clicks(
    stops: Sequence[Stop], buttons: Sequence[str], gap: Iterator[float], rng: random.Random
) -> list[Click]:
    """The plan's clicks at movement ends: one stop each while there are stops enough,
    else several at some (multi-clicks); each press a gap after arriving, squeezed into
    the stop when it is too short."""
    if not buttons or not stops:
        return []
    counts = _spread(len(buttons), len(stops), rng)
    clicks: list[Click] = []
    it = iter(buttons)
    for stop, n in zip(stops, counts):
        for t in _times_in(stop, n, gap):
            clicks.append(Click(t, stop.x, stop.y, next(it)))
    return clicks


def place_scrolls(
    stops: Sequence[Stop], directions: Sequence[str], gap: Iterator[float], rng: random.Random, after: Sequence[Click]
) -> list[Scroll]:
    """The plan's wheel notches in bursts at pauses, after any click there."""
    if not directions or not stops:
        return []
    bursts = max(1, min(len(stops), round(len(directions) / rng.uniform(2.0, 8.0))))
    chosen = sorted(rng.sample(range(len(stops)), bursts))
    counts = _spread(len(directions), bursts, rng, exactly=True)
    scrolls: list[Scroll] = []
    it = iter(directions)
    clicked = {c.t for c in after}
    for index, n in zip(chosen, counts):
        stop = stops[index]
        last_click = max((t for t in clicked if stop.t <= t <= stop.until), default=stop.t)
        shifted = Stop(last_click, stop.until, stop.x, stop.y)
        for t in _times_in(shifted, n, gap):
            scrolls.append(Scroll(t, stop.x, stop.y, next(it)))
    return scrolls


def _spread(n: int, slots: int, rng: random.Random, exactly: bool = False) -> list[int]:
    """N things over SLOTS places: one each in N random places when N <= SLOTS (unless
    EXACTLY, which fills every slot), the rest piled on random places."""
    counts = [0] * slots
    if n <= slots and not exactly:
        for i in rng.sample(range(slots), n):
            counts[i] = 1
        return counts
    base = [1] * slots if n >= slots else [0] * slots
    for _ in range(n - sum(base)):
        base[rng.randrange(slots)] += 1
    return base


def _times_in(stop: Stop, n: int, gap: Iterator[float]) -> list[float]:
    """N event times in STOP, each a gap after the one before (the first a gap after
    arriving), scaled down to fit when the stop is too short."""
    if n == 0:
        return []
    offsets = []
    total = 0.0
    for _ in range(n):
        total += next(gap)
        offsets.append(total)
    room = stop.until - stop.t
    scale = min(1.0, room / total) if total > 0 else 0.0
    return [stop.t + o * scale for o in offsets]


# -- the whole session -----------------------------------------------------------------


@dataclass(frozen=True)
class Session:
    script: Script
    captured: tuple[CapturedPoint, ...]
    groups: dict[str, str]


def session_script(family: Family, op: object, plan: Plan, seed: int, params: MatchedParams) -> Session:
    """One session of FAMILY's operator OP copying PLAN: pointer driven until the
    matched capture has the plan's points, the plan's clicks at movement ends and wheel
    notches at pauses inside the window, the plan's number of keys from its key start."""
    rng = random.Random(seed)
    state = family.begin(op, random.Random(derive_seed(seed, "begin")))
    area = Area(*plan.screen)
    moves: tuple[Move, ...] = ()
    clicks: list[Click] = []
    scrolls: list[Scroll] = []
    captured: tuple[CapturedPoint, ...] = ()
    if plan.n_points > 0:
        start = area.random_point(rng)
        t0 = float(plan.pointer_offset_ms or 0)
        reaches = on_screen(family.reaches(state, random.Random(derive_seed(seed, "pointer")), area, start, t0), area)
        pointer = drive_pointer(reaches, params, plan.n_points)
        moves, captured = pointer.moves, pointer.captured
        gap_rng = random.Random(derive_seed(seed, "gaps"))
        clicks = place_clicks(pointer.stops, plan.click_buttons, _gaps(family.click_gap, state, gap_rng), rng)
        scrolls = place_scrolls(
            pointer.stops, plan.scroll_directions, _gaps(family.scroll_gap, state, gap_rng), rng, clicks
        )
    keys: list[Key] = []
    if plan.n_keys > 0:
        t0 = float(plan.keys_offset_ms or 0)
        keys = list(islice(family.keys(state, random.Random(derive_seed(seed, "keys")), t0), plan.n_keys))
    script = Script(
        tuple(moves), tuple(sorted(clicks, key=lambda c: c.t)), tuple(sorted(scrolls, key=lambda s: s.t)),
        tuple(keys), family.webdriver,
    )  # fmt: skip
    groups = family.groups(state, pointer=plan.n_points > 0, keys=plan.n_keys > 0)
    return Session(script, captured, groups)


def _gaps(draw: Callable[[Any, random.Random], float], state: object, rng: random.Random) -> Iterator[float]:
    while True:
        yield draw(state, rng)


def script_for_browser(family: str, seed: int, width: int, height: int, duration_ms: float, n_keys: int) -> Script:
    """A script to drive through a real browser: FAMILY's moves inside a WIDTH x HEIGHT
    viewport for DURATION_MS from 0, a click at about a third of the movement ends, then
    N_KEYS keys of typed text, starting 300-800 ms after the last move. No wheel: it
    would scroll the page under the cursor."""
    fam = load(family)
    op_rng = random.Random(derive_seed(seed, family, "browser-operator"))
    op = fam.operator(op_rng)
    rng = random.Random(derive_seed(seed, family, "browser-session"))
    state = fam.begin(op, random.Random(derive_seed(seed, family, "browser-begin")))
    area = Area(width, height)
    pointer_rng = random.Random(derive_seed(seed, family, "browser-pointer"))
    reaches = on_screen(fam.reaches(state, pointer_rng, area, area.random_point(rng), 0.0), area)
    moves: list[Move] = []
    clicks: list[Click] = []
    gap_rng = random.Random(derive_seed(seed, family, "browser-gaps"))
    for reach in reaches:
        inside = [m for m in reach.moves if m.t <= duration_ms]
        moves.extend(inside)
        if len(inside) < len(reach.moves) or not inside:
            break
        end = inside[-1]
        if rng.random() < 1 / 3 and end.t + reach.pause_ms <= duration_ms:
            t = end.t + min(fam.click_gap(state, gap_rng), reach.pause_ms)
            clicks.append(Click(t, end.x, end.y, "left"))
    start_keys = (moves[-1].t if moves else 0.0) + rng.uniform(300.0, 800.0)
    keys = list(islice(fam.keys(state, random.Random(derive_seed(seed, family, "browser-keys")), start_keys), n_keys))
    return Script(tuple(moves), tuple(clicks), (), tuple(keys), fam.webdriver)
