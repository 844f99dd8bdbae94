"""The real people: the shared sessions, which of them may be scored, their groups, and
what the generator may take from the sample.

Two files, two roles. ``sessions-train.jsonl`` gives the people who are scored (those
train sessions that share no source row with the sample) and, from them, only *shapes*:
how many points, keys, clicks and scrolls, the key format, the clock and the browser
(:class:`detection.actions.Plan`). ``sessions-sample.jsonl`` gives all generator
*content*: the capture intervals of the matched sensor, the traces the replay farms
replay, the key timing the mimic fits. So nothing a bot is made of comes from a person it
is scored against.

Standard library only.
"""

from __future__ import annotations

import json
import math
import os
import random
import statistics
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from detection.actions import Plan
from detection.keyshape import Press, press_of

REPO_ROOT = Path(__file__).resolve().parents[1]
DATA_ENV = "DETECTION_DATA_DIR"
TRAIN_FILE = "sessions-train.jsonl"
SAMPLE_FILE = "sessions-sample.jsonl"

# A gap between consecutive pointer events longer than this ends a movement: the capture
# intervals the matched sensor draws are those inside movements (the pauses come from
# what the bot does, not from the draw). 300 ms keeps 92 % of the sample's intervals.
IN_MOTION_MAX_MS = 300
# The recorder ran at one of two paces, set per recording, not per person's movement: a
# reading every tick (median in-motion interval 15-16 ms: user7, user20 and most of
# user9's recordings) or about every seventh (~109 ms: the others). A recording whose
# median in-motion interval is under this is of the fast pace.
FAST_CAPTURE_MAX_MS = 40.0

Session = dict[str, Any]


def default_data_dir() -> Path:
    """``../shared/data`` beside the repository (or ``$DETECTION_DATA_DIR``)."""
    env = os.environ.get(DATA_ENV)
    return Path(env) if env else (REPO_ROOT / ".." / "shared" / "data").resolve()


def read_jsonl(path: Path) -> list[Session]:
    with path.open(encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


# -- sources, overlap and groups ------------------------------------------------------


@dataclass(frozen=True)
class SourceRows:
    """Rows [start, end) of one source file that a session was cut from."""

    kind: str  # "pointer" or "keystrokes"
    file: str
    start: int
    end: int

    def intersects(self, other: SourceRows) -> bool:
        return self.kind == other.kind and self.file == other.file and self.start < other.end and other.start < self.end


def source_rows(session: Session) -> list[SourceRows]:
    out = []
    for kind in ("pointer", "keystrokes"):
        src = session.get("_source", {}).get(kind)
        if src:
            start, end = src["rows"]
            out.append(SourceRows(kind, src["file"], int(start), int(end)))
    return out


@dataclass(frozen=True)
class Overlap:
    """Which train sessions share source rows with the sample, per kind of source."""

    pairs: dict[str, tuple[tuple[str, str], ...]]  # kind -> (train id, sample id) pairs

    def sessions(self, kind: str) -> tuple[str, ...]:
        return tuple(sorted({train for train, _ in self.pairs.get(kind, ())}))

    def excluded(self) -> frozenset[str]:
        return frozenset(t for pairs in self.pairs.values() for t, _ in pairs)

    def summary(self) -> dict[str, dict[str, int]]:
        return {
            kind: {"train_sessions": len(self.sessions(kind)), "pairs": len(pairs)}
            for kind, pairs in sorted(self.pairs.items())
        }


def find_overlap(train: Sequence[Session], sample: Sequence[Session]) -> Overlap:
    sample_rows = [(s["_id"], r) for s in sample for r in source_rows(s)]
    pairs: dict[str, list[tuple[str, str]]] = {"pointer": [], "keystrokes": []}
    for t in train:
        for rows in source_rows(t):
            for sample_id, other in sample_rows:
                if rows.intersects(other):
                    pairs[rows.kind].append((t["_id"], sample_id))
    return Overlap({kind: tuple(v) for kind, v in pairs.items()})


def groups_of(session: Session) -> dict[str, str]:
    """The groups that tie this person's sessions together: the Balabit user and
    recording of the pointer window, the 136M participant of the key run."""
    groups: dict[str, str] = {}
    src = session.get("_source", {})
    if "pointer" in src:
        parts = src["pointer"]["file"].split("/")  # e.g. test_files/user15/session_9812281532
        user, recording = parts[-2], parts[-1]
        groups["pointer_user"] = f"balabit/{user}"
        groups["recording"] = f"balabit/{user}/{recording}"
    if "keystrokes" in src:
        name = src["keystrokes"]["file"].rsplit("/", 1)[-1]  # e.g. 3797_keystrokes.txt
        groups["key_participant"] = "136m/" + name.split("_", 1)[0]
    return groups


# -- plans: the shape of a scored person ----------------------------------------------


def _first_key_time(session: Session) -> float | None:
    keys = session.get("keystrokes") or []
    return min(press_of(k).down for k in keys) if keys else None


def session_start(session: Session) -> int:
    """The time of the session's first event (pointer or key) on its own clock."""
    times = [p["t"] for p in session.get("mouse_movements") or []][:1]
    first_key = _first_key_time(session)
    if first_key is not None:
        times.append(first_key)
    return int(min(times)) if times else 0


def make_plan(person: Session, rng: random.Random, relative_starts: Sequence[int]) -> Plan:
    """The shape of PERSON's session: counts, key format, clock, recorder pace and
    browser, nothing of its content. An epoch-clocked person's page start is drawn from RELATIVE_STARTS."""
    conv = person["_source"]["conversion"]
    start = session_start(person)
    relative = conv["time_base"] == "relative"
    return Plan(
        person=person["_id"],
        n_points=len(person.get("mouse_movements") or []),
        n_keys=len(person.get("keystrokes") or []),
        click_buttons=tuple(str(c.get("button", "left")) for c in person.get("clicks") or []),
        scroll_directions=tuple(str(s.get("direction", "down")) for s in person.get("scrolls") or []),
        key_format=conv.get("key_format"),
        time_base=conv["time_base"],
        start_ms=start,
        page_start_ms=start if relative else int(rng.choice(relative_starts)),
        pointer_offset_ms=conv.get("pointer_offset_ms"),
        keys_offset_ms=conv.get("keys_offset_ms"),
        capture_pace=capture_pace(person),
        browser=dict(person["browser"]),
    )


# -- content from the sample ----------------------------------------------------------


@dataclass(frozen=True)
class PointerTrace:
    """A recorded pointer window: (t, x, y) with t from its first point, and its person."""

    session: str
    points: tuple[tuple[float, float, float], ...]
    screen: tuple[int, int]
    groups: dict[str, str] = field(hash=False)


@dataclass(frozen=True)
class KeyRun:
    """A recorded key run with every release known: presses with times from its first."""

    session: str
    presses: tuple[Press, ...]
    groups: dict[str, str] = field(hash=False)


@dataclass(frozen=True)
class LogNormal:
    """A lognormal law by the mean and standard deviation of the log (ms)."""

    mu: float
    sigma: float

    @classmethod
    def fit(cls, values: Iterable[float], floor: float = 1.0) -> LogNormal:
        logs = [math.log(max(v, floor)) for v in values]
        if len(logs) < 2:
            raise ValueError("a lognormal fit needs two values or more")
        return cls(statistics.fmean(logs), statistics.stdev(logs))

    def draw(self, rng: random.Random) -> float:
        return rng.lognormvariate(self.mu, self.sigma)

    @property
    def median(self) -> float:
        return math.exp(self.mu)


@dataclass(frozen=True)
class KeyTiming:
    """One sample person's key timing: holds (release minus press) and flights (press to
    next press, the pauses over ``PAUSE_MS`` apart with their own law and rate)."""

    session: str
    hold: LogNormal
    flight: LogNormal
    pause: LogNormal
    pause_rate: float

    PAUSE_MS = 1500.0


@dataclass(frozen=True)
class ShiftTiming:
    """How the sample's people hold Shift around a capital: the lead from Shift's press
    to the capital's, and the lag from the capital's release to Shift's (positive lags
    only, with the share of capitals whose Shift outlasts them)."""

    lead: LogNormal
    lag: LogNormal
    outlast_rate: float


@dataclass(frozen=True)
class MovementTiming:
    """How far the sample's people move between pauses (straight distance from where a
    movement starts to where it stops, 3 px or more) and how long they pause (gaps of
    more than IN_MOTION_MAX_MS, up to 30 s)."""

    amplitude: LogNormal
    dwell: LogNormal


@dataclass(frozen=True)
class SampleContent:
    """Everything generators take from the sample file."""

    capture_blocks: tuple[tuple[int, ...], ...]
    capture_blocks_by_pace: dict[str, tuple[tuple[int, ...], ...]] = field(hash=False)
    traces: tuple[PointerTrace, ...]
    key_runs: tuple[KeyRun, ...]
    key_timings: tuple[KeyTiming, ...]
    shift: ShiftTiming
    movement: MovementTiming

    def blocks_for(self, pace: str | None) -> tuple[tuple[int, ...], ...]:
        """The sample's capture runs recorded at PACE (all of them where the plan's pace is
        unknown): the capture is matched to the person's recorder, its intervals still
        come from the sample."""
        return self.capture_blocks_by_pace.get(pace or "", ()) or self.capture_blocks

    def zero_interval_share(self) -> float:
        intervals = [d for block in self.capture_blocks for d in block]
        return sum(d == 0 for d in intervals) / len(intervals)


def in_motion_intervals(session: Session, max_gap_ms: float = IN_MOTION_MAX_MS) -> list[int]:
    times = [int(p["t"]) for p in session.get("mouse_movements") or []]
    return [b - a for a, b in zip(times, times[1:]) if b - a <= max_gap_ms]


def capture_pace(session: Session) -> str | None:
    """``fast`` or ``slow``: the recorder's pace in this session's pointer window (see
    FAST_CAPTURE_MAX_MS); None without an in-motion interval to tell."""
    intervals = in_motion_intervals(session)
    if not intervals:
        return None
    return "fast" if statistics.median(intervals) < FAST_CAPTURE_MAX_MS else "slow"


def capture_blocks(sessions: Iterable[Session], max_gap_ms: float = IN_MOTION_MAX_MS) -> tuple[tuple[int, ...], ...]:
    """Runs of consecutive in-motion intervals (ms) of the recorded pointer windows: the
    matched sensor draws its capture intervals from these, block by block, so that the
    runs of 16 ms and of ~110 ms the recorder produced stay runs."""
    blocks: list[tuple[int, ...]] = []
    for s in sessions:
        times = [int(p["t"]) for p in s.get("mouse_movements") or []]
        block: list[int] = []
        for a, b in zip(times, times[1:]):
            if b - a > max_gap_ms:
                if block:
                    blocks.append(tuple(block))
                block = []
            else:
                block.append(b - a)
        if block:
            blocks.append(tuple(block))
    return tuple(blocks)


def pointer_traces(sessions: Iterable[Session], min_points: int = 50) -> tuple[PointerTrace, ...]:
    out = []
    for s in sessions:
        mm = s.get("mouse_movements") or []
        if len(mm) < min_points:
            continue
        t0 = mm[0]["t"]
        screen = (int(s["browser"]["screen_width"]), int(s["browser"]["screen_height"]))
        points = tuple((float(p["t"] - t0), float(p["x"]), float(p["y"])) for p in mm)
        out.append(PointerTrace(s["_id"], points, screen, groups_of(s)))
    return tuple(out)


def fit_movement(traces: Iterable[PointerTrace]) -> MovementTiming:
    amplitudes: list[float] = []
    dwells: list[float] = []
    for trace in traces:
        start = previous = trace.points[0]
        for point in trace.points[1:]:
            gap = point[0] - previous[0]
            if gap > IN_MOTION_MAX_MS:
                amplitudes.append(math.hypot(previous[1] - start[1], previous[2] - start[2]))
                dwells.append(gap)
                start = point
            previous = point
    return MovementTiming(
        LogNormal.fit(a for a in amplitudes if a >= 3.0), LogNormal.fit(d for d in dwells if d <= 30_000.0)
    )


def key_runs(sessions: Iterable[Session], min_keys: int = 20) -> tuple[KeyRun, ...]:
    """Key runs long enough to replay or fit, in a format that keeps every release."""
    out = []
    for s in sessions:
        presses = [press_of(k) for k in s.get("keystrokes") or []]
        if len(presses) < min_keys or any(p.up is None for p in presses):
            continue
        t0 = presses[0].down
        rel = tuple(Press(p.key, float(p.down - t0), float(p.up - t0)) for p in presses if p.up is not None)
        out.append(KeyRun(s["_id"], rel, groups_of(s)))
    return tuple(out)


def fit_key_timing(run: KeyRun) -> KeyTiming:
    """Lognormal holds and flights of one person (Shift and Backspace holds included:
    the mimic types those too)."""
    holds = [p.up - p.down for p in run.presses if p.up is not None]
    gaps = [b.down - a.down for a, b in zip(run.presses, run.presses[1:])]
    flights = [g for g in gaps if g <= KeyTiming.PAUSE_MS]
    pauses = [g for g in gaps if g > KeyTiming.PAUSE_MS]
    pause = LogNormal.fit(pauses) if len(pauses) >= 2 else LogNormal(math.log(2500.0), 0.4)
    return KeyTiming(run.session, LogNormal.fit(holds), LogNormal.fit(flights), pause, len(pauses) / max(len(gaps), 1))


def fit_shift(runs: Iterable[KeyRun]) -> ShiftTiming:
    leads: list[float] = []
    lags: list[float] = []
    capitals = 0
    for run in runs:
        for shift, nxt in zip(run.presses, run.presses[1:]):
            if shift.key != "Shift" or shift.up is None or nxt.up is None or nxt.down >= shift.up:
                continue
            capitals += 1
            leads.append(nxt.down - shift.down)
            if shift.up > nxt.up:
                lags.append(shift.up - nxt.up)
    return ShiftTiming(LogNormal.fit(leads), LogNormal.fit(lags), len(lags) / max(capitals, 1))


def sample_content(sample: Sequence[Session]) -> SampleContent:
    runs = key_runs(sample)
    traces = pointer_traces(sample)
    return SampleContent(
        capture_blocks=capture_blocks(sample),
        capture_blocks_by_pace={
            pace: capture_blocks(s for s in sample if capture_pace(s) == pace) for pace in ("fast", "slow")
        },
        traces=traces,
        key_runs=runs,
        key_timings=tuple(fit_key_timing(r) for r in runs),
        shift=fit_shift(runs),
        movement=fit_movement(traces),
    )


# -- the whole of it ------------------------------------------------------------------


@dataclass(frozen=True)
class HumanData:
    train: tuple[Session, ...]
    sample: tuple[Session, ...]
    overlap: Overlap
    content: SampleContent

    @property
    def scored(self) -> tuple[Session, ...]:
        """The train sessions that share no source row with the sample, in file order."""
        excluded = self.overlap.excluded()
        return tuple(s for s in self.train if s["_id"] not in excluded)

    def relative_starts(self) -> tuple[int, ...]:
        return tuple(session_start(s) for s in self.scored if s["_source"]["conversion"]["time_base"] == "relative")


def load(data_dir: Path | str | None = None) -> HumanData:
    root = Path(data_dir) if data_dir is not None else default_data_dir()
    train = tuple(read_jsonl(root / TRAIN_FILE))
    sample = tuple(read_jsonl(root / SAMPLE_FILE))
    return HumanData(train, sample, find_overlap(train, sample), sample_content(sample))


_CONTENT_CACHE: dict[Path, SampleContent] = {}


def load_sample_content(data_dir: Path | str | None = None) -> SampleContent:
    """The sample's content alone (what ``script_for_browser`` needs), read once."""
    root = Path(data_dir) if data_dir is not None else default_data_dir()
    if root not in _CONTENT_CACHE:
        _CONTENT_CACHE[root] = sample_content(read_jsonl(root / SAMPLE_FILE))
    return _CONTENT_CACHE[root]


def human_record(session: Session, keys: list[dict[str, Any]]) -> dict[str, Any]:
    """A person as the labelled data sets hold them: their telemetry with the key data
    KEYS (already key-shaped), label, family and groups."""
    return {
        "_id": session["_id"],
        "label": "human",
        "family": "human",
        "groups": groups_of(session),
        "browser": dict(session["browser"]),
        "mouse_movements": list(session.get("mouse_movements") or []),
        "clicks": list(session.get("clicks") or []),
        "scrolls": list(session.get("scrolls") or []),
        "keystrokes": keys,
    }
