"""How well a verdict tells people from bots on sessions it was not fitted on, without I/O.

``velkora evaluate`` (``velkora.cli``) reads labelled JSON lines and writes what comes back
from ``evaluate``; everything that decides something lives here:

- **Models.** ``policy``: the verdict policy's score, untrained (``fixed``). ``baseline``:
  gradient boosting on the 39 native features. ``trained``: the model ``velkora train``
  writes — the same learner on the features a model may read and the native signals
  (``velkora.model.model_inputs``), scored on its raw sum. ``timing``: the same learner on features of
  the pointer time stamps alone (intervals, their clock, their resolution): when it tells
  people from bots, a model learns how the sessions were captured rather than who moved.
- **Folds.** Every session gets a fold by its pointer user, else its keystroke participant,
  else its operator. Groups connect (a mixed session joins one pointer user and one typist,
  and a replaying bot carries the person it replays), so for each test fold every session
  that shares *any* group value with a test session is dropped from training ("purged").
- **Protocols.** ``lofo``: for each bot family, a model that never saw that family scores
  its bots and, fold by fold, the people. ``in-family``: every family in training, the
  same purged folds.
- **Thresholds.** The people and bots of fold k are judged at the score that lets at most
  the target share of *other* people (other folds, sharing no group with fold k) through;
  the share of held-out people judged bot is reported as measured, not assumed.
- **Intervals.** A cluster bootstrap of the held-out sessions: people resampled by pointer
  user or typist, bots by operator, with each session's judgement kept.

Everything is deterministic from the seed.
"""

from __future__ import annotations

import importlib
import json
import math
import platform
import zlib
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt
import velkora_core_rs as core

from velkora import __version__
from velkora import _signals as signals
from velkora.features_table import json_kind
from velkora.model import model_inputs

if TYPE_CHECKING:
    from velkora_core_rs import Telemetry

    from velkora.service.policy import Policy

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.intp]
BoolArray = npt.NDArray[np.bool_]

HUMAN = "human"
BOT = "bot"
ALL_BOTS = "all"
GROUP_KEYS = ("pointer_user", "recording", "key_participant", "operator")
FOLD_KEYS = ("pointer_user", "key_participant", "operator", "recording")  # the first present decides the fold
MODALITIES = ("both", "pointer", "keys")
MODELS = ("policy", "baseline", "trained", "timing")
VERDICTS = ("bot", "human", "insufficient-data")
META_FIELDS = ("_id", "label", "family", "groups")

# Gradient boosting with a fixed size and no early stopping, so a fit does not depend on a
# random validation split; one thread per fit (OpenMP threads on a busy machine make a fit
# of this size many times slower), parallelism comes from worker processes instead.
LEARNER: dict[str, Any] = {"max_iter": 200, "max_leaf_nodes": 15, "learning_rate": 0.1, "early_stopping": False}

CLOCK_MS = 15.625  # the coarse timer tick of many recorders (64 Hz)
# Whole-millisecond stamps of that clock make intervals up to a millisecond off a whole number
# of ticks; intervals, not offsets from the first stamp, since such a clock drifts against
# its nominal tick over a long session.
CLOCK_TOLERANCE_MS = 1.0
# The sensor check looks at the capture, not at behaviour: intervals inside movements only.
# A gap longer than this is a pause, and how long people and bots pause is what they do,
# not how they were recorded.
IN_MOTION_MAX_MS = 300.0
TIMING_FEATURES = (
    "zero_interval_share",
    "backward_interval_share",
    "interval_q10",
    "interval_q25",
    "interval_q50",
    "interval_q75",
    "interval_q90",
    "interval_cv",
    "clock_tick_share",
    "fractional_stamp_share",
    "distinct_interval_share",
    "interval_entropy",
)
_ENTROPY_EDGES = np.arange(-4.0, 14.01, 0.5)  # log2 of an interval in ms, 1/16 ms … 16 s

SHUFFLE_TOLERANCE = 0.1
SENSOR_GOAL_AUC = 0.6
ROC_MAX_POINTS = 200

# What is being done, how many of its steps are done, and of how many.
Progress = Callable[[str, int, int], None]


def _quiet(_what: str, _done: int, _total: int) -> None:
    return None


# --- reading labelled sessions --------------------------------------------------------------


class BadRecord(ValueError):
    """A labelled line that cannot be used, with the reason shown to the user."""


@dataclass(frozen=True, slots=True)
class Session:
    """One labelled session: its telemetry, its family (``human`` for people) and its groups."""

    id: str
    family: str
    groups: tuple[tuple[str, str], ...]  # (key, value), in GROUP_KEYS order
    telemetry: Mapping[str, Any]

    @property
    def is_bot(self) -> bool:
        return self.family != HUMAN

    def group(self, key: str) -> str | None:
        return next((value for name, value in self.groups if name == key), None)

    def fold_key(self) -> str:
        """What decides the session's fold: its pointer user, else its typist, else its operator."""
        for key in FOLD_KEYS:
            value = self.group(key)
            if value is not None:
                return value
        raise AssertionError("parse_session admits no session without groups")

    def cluster_key(self) -> str:
        """The unit a bootstrap resamples: a person for people, an operator for bots."""
        if self.is_bot:
            operator = self.group("operator")
            if operator is not None:
                return operator
        return self.fold_key()


def parse_session(record: object) -> Session:
    """A Session from one decoded JSON line; BadRecord says what is wrong with it."""
    if not isinstance(record, dict):
        raise BadRecord(f"not a JSON object but {json_kind(record)}")
    session_id = record.get("_id")
    if not isinstance(session_id, str) or not session_id:
        raise BadRecord("no _id (a non-empty string)")
    label = record.get("label")
    if label not in (HUMAN, BOT):
        raise BadRecord(f"label must be \"human\" or \"bot\", not {json.dumps(label)}")
    family = record.get("family")
    if not isinstance(family, str) or not family:
        raise BadRecord("no family (a non-empty string)")
    if (label == HUMAN) != (family == HUMAN):
        raise BadRecord(f"label {label!r} does not go with family {family!r}")
    groups = record.get("groups")
    if isinstance(groups, dict):
        # A null group is no group: a Parquet struct column holds every key of every row.
        groups = {key: value for key, value in groups.items() if value is not None}
    if not isinstance(groups, dict) or not groups:
        raise BadRecord("groups must be a non-empty object")
    for key, value in groups.items():
        if key not in GROUP_KEYS:
            raise BadRecord(f"unknown group {key!r}; groups are {', '.join(GROUP_KEYS)}")
        if not isinstance(value, str) or not value:
            raise BadRecord(f"group {key} must be a non-empty string")
    ordered = tuple((key, groups[key]) for key in GROUP_KEYS if key in groups)
    return Session(session_id, family, ordered, record)


@dataclass(frozen=True, slots=True)
class BadLine:
    line: int
    reason: str


def read_sessions(lines: Iterable[bytes]) -> Iterator[Session | BadLine]:
    """Sessions of a JSON-lines file, a BadLine for each line that cannot be used (a repeated
    ``_id`` included: the later line is skipped); blank lines are ignored."""
    seen: set[str] = set()
    for number, raw in enumerate(lines, start=1):
        if not raw.strip():
            continue
        try:
            session = parse_session(json.loads(raw))
        except RecursionError:
            yield BadLine(number, "not valid JSON (nested too deeply)")
            continue
        except UnicodeDecodeError as error:
            yield BadLine(number, f"not valid UTF-8 ({error.reason} at byte {error.start})")
            continue
        except BadRecord as error:
            yield BadLine(number, str(error))
            continue
        except ValueError as error:
            yield BadLine(number, f"not valid JSON ({error})")
            continue
        if session.id in seen:
            yield BadLine(number, f"_id {session.id!r} appears on an earlier line")
            continue
        seen.add(session.id)
        yield session


def read_records(records: Iterable[object]) -> Iterator[Session | BadLine]:
    """Sessions of already decoded records (rows of a Parquet file), numbered from 1 as
    lines are, with the same rules as read_sessions."""
    seen: set[str] = set()
    for number, record in enumerate(records, start=1):
        try:
            session = parse_session(record)
        except BadRecord as error:
            yield BadLine(number, str(error))
            continue
        if session.id in seen:
            yield BadLine(number, f"_id {session.id!r} appears on an earlier row")
            continue
        seen.add(session.id)
        yield session


# --- features ----------------------------------------------------------------------------------


def modality_telemetry(telemetry: Mapping[str, Any], modality: str) -> dict[str, Any]:
    """The telemetry a verdict sees when only one modality was captured."""
    dropped: tuple[str, ...] = META_FIELDS
    if modality == "pointer":
        dropped += ("keystrokes",)
    elif modality == "keys":
        dropped += ("mouse_movements", "clicks", "scrolls")
    elif modality != "both":
        raise ValueError(f"unknown modality {modality!r}")
    return {key: value for key, value in telemetry.items() if key not in dropped}


def _finite(value: object) -> float | None:
    if isinstance(value, bool) or not isinstance(value, int | float):
        return None
    number = float(value)
    return number if math.isfinite(number) else None


def pointer_stamps(telemetry: Mapping[str, Any]) -> FloatArray:
    """The pointer samples' time stamps in the order they were sent (nothing else of them)."""
    samples = telemetry.get("mouse_movements")
    stamps: list[float] = []
    if isinstance(samples, list):
        for sample in samples:
            if isinstance(sample, dict) and (t := _finite(sample.get("t"))) is not None:
                stamps.append(t)
    return np.asarray(stamps, dtype=np.float64)


def timing_features(telemetry: Mapping[str, Any]) -> list[float]:
    """What the capture leaves in the time stamps, in TIMING_FEATURES order; NaN where there
    are too few stamps (fewer than 3) or in-motion intervals to say. Interval statistics are
    of the intervals inside movements (at most IN_MOTION_MAX_MS); pauses are behaviour. The
    clock share is that of positive intervals within a millisecond of a whole number of
    CLOCK_MS ticks."""
    t = pointer_stamps(telemetry)
    values = dict.fromkeys(TIMING_FEATURES, math.nan)
    if len(t) >= 3:
        steps = np.diff(t)
        values["backward_interval_share"] = float(np.mean(steps < 0))
        values["fractional_stamp_share"] = float(np.mean(t != np.round(t)))
        moving = steps[(steps >= 0) & (steps <= IN_MOTION_MAX_MS)]
        if len(moving):
            values["zero_interval_share"] = float(np.mean(moving == 0))
        positive = moving[moving > 0]
        if len(positive):
            q = np.quantile(positive, [0.1, 0.25, 0.5, 0.75, 0.9])
            for name, value in zip(("interval_q10", "interval_q25", "interval_q50", "interval_q75", "interval_q90"),
                                   q):
                values[name] = float(value)
            values["interval_cv"] = float(np.std(positive) / np.mean(positive))
            ticks = positive / CLOCK_MS
            values["clock_tick_share"] = float(np.mean((np.round(ticks) >= 1)
                                                       & (np.abs(ticks - np.round(ticks)) * CLOCK_MS
                                                          <= CLOCK_TOLERANCE_MS)))
            values["distinct_interval_share"] = float(len(np.unique(positive)) / len(positive))
            counts, _ = np.histogram(np.clip(np.log2(positive), _ENTROPY_EDGES[0], _ENTROPY_EDGES[-1]),
                                     bins=_ENTROPY_EDGES)
            shares = counts[counts > 0] / len(positive)
            values["interval_entropy"] = float(-np.sum(shares * np.log2(shares)) / math.log2(len(counts)))
    return [values[name] for name in TIMING_FEATURES]


def feature_row(features: Mapping[str, Any]) -> list[float]:
    """The native features as numbers (booleans as 0/1), in the module's order."""
    return [float(value) for value in features.values()]


def input_names() -> list[str]:
    """The trained model's inputs: the native features it may read, then every signal."""
    return model_inputs(list(core.extract_features_rs({})), list(signals.signals({})))


def with_hard_rules(scores: FloatArray, hard: BoolArray) -> FloatArray:
    """The verdict's ranking: sessions a hard rule catches above every model score (+inf),
    the others by their model score (NaN stays unscored)."""
    result: FloatArray = np.where(hard & ~np.isnan(scores), math.inf, scores)
    return result


def varying_columns(matrix: FloatArray) -> BoolArray:
    """Columns with at least two distinct known values: a column that is always missing or
    always the same (pointer signals without a pointer) tells a learner nothing, and the
    learner's binning refuses a column with no known value. Chosen without the labels."""
    keep = np.zeros(matrix.shape[1], dtype=np.bool_)
    for j in range(matrix.shape[1]):
        column = matrix[:, j]
        known = column[~np.isnan(column)]
        keep[j] = len(known) > 0 and bool(np.any(known != known[0]))
    return keep


def input_row(names: Sequence[str], features: Mapping[str, Any], signal_values: Mapping[str, Any]) -> list[float]:
    """NAMES looked up in the features, then the signals, as numbers (booleans 0/1,
    anything else that is no finite number NaN), as the service builds a model's row."""
    row: list[float] = []
    for name in names:
        value = features[name] if name in features else signal_values.get(name)
        if isinstance(value, bool):
            row.append(1.0 if value else 0.0)
        elif isinstance(value, int | float) and math.isfinite(value):
            row.append(float(value))
        else:
            row.append(math.nan)
    return row


@dataclass
class Table:
    """The sessions of one modality: their positions among the mode's sessions, native
    features, the trained model's inputs, timing features and the policy's score and verdict."""

    modality: str
    index: IntArray
    features: FloatArray
    inputs: FloatArray  # the columns of input_names
    input_names: list[str]  # model_inputs() that vary among these sessions: what a trained model reads
    timing: FloatArray
    policy_score: FloatArray
    policy_verdict: list[str]
    hard: BoolArray  # a hard rule of the service's verdict fires (HARD_RULES)


def build_tables(sessions: Sequence[Session], policy: Policy) -> dict[str, Table]:
    """One Table per modality: ``both`` holds every session, ``pointer`` (keystrokes removed)
    those with pointer samples, ``keys`` (pointer, clicks and scrolls removed) those with keys."""
    from velkora.service.policy import decide
    from velkora.service.verdict import HARD_RULES

    names = input_names()
    tables: dict[str, Table] = {}
    for modality in MODALITIES:
        index: list[int] = []
        rows: list[list[float]] = []
        inputs: list[list[float]] = []
        timing: list[list[float]] = []
        scores: list[float] = []
        verdicts: list[str] = []
        hard: list[bool] = []
        for position, session in enumerate(sessions):
            telemetry = modality_telemetry(session.telemetry, modality)
            features = core.extract_features_rs(cast("Telemetry", telemetry))
            if modality == "pointer" and features["mouse_points"] < 1:
                continue
            if modality == "keys" and features["key_count"] < 1:
                continue
            verdict = decide(policy, cast("dict[str, Any]", features), telemetry)
            index.append(position)
            rows.append(feature_row(features))
            inputs.append(input_row(names, features, signals.signals(cast("Telemetry", telemetry))))
            timing.append(timing_features(telemetry))
            scores.append(verdict.score)
            verdicts.append(verdict.verdict)
            hard.append(any(code in HARD_RULES for code, _ in verdict.reasons))
        width = len(core.extract_features_rs({}))
        matrix = np.asarray(inputs, dtype=np.float64).reshape(len(index), len(names))
        varies = varying_columns(matrix)
        tables[modality] = Table(
            modality, np.asarray(index, dtype=np.intp),
            np.asarray(rows, dtype=np.float64).reshape(len(index), width),
            matrix[:, varies], [n for n, keep in zip(names, varies.tolist()) if keep],
            np.asarray(timing, dtype=np.float64).reshape(len(index), len(TIMING_FEATURES)),
            np.asarray(scores, dtype=np.float64), verdicts, np.asarray(hard, dtype=np.bool_))
    return tables


# --- folds and purging -----------------------------------------------------------------------------


def group_ids(sessions: Sequence[Session]) -> list[frozenset[int]]:
    """Each session's group values as integers (the same value, the same integer)."""
    numbers: dict[tuple[str, str], int] = {}
    return [frozenset(numbers.setdefault(pair, len(numbers)) for pair in s.groups) for s in sessions]


def assign_folds(sessions: Sequence[Session], folds: int, seed: int) -> IntArray:
    """A fold per session by its fold key: keys in a seeded order, largest first, each to the
    fold whose share of the people and of the bots it leaves smallest. Raises ValueError
    when there are fewer fold keys than folds."""
    if folds < 2:
        raise ValueError("at least 2 folds are needed")
    members: dict[str, list[int]] = {}
    for position, session in enumerate(sessions):
        members.setdefault(session.fold_key(), []).append(position)
    if len(members) < folds:
        raise ValueError(f"{len(members)} distinct fold keys (pointer users, typists, operators) "
                         f"cannot fill {folds} folds")
    keys = sorted(members)
    order = np.random.default_rng([seed, _stable("folds")]).permutation(len(keys))
    shuffled = [keys[i] for i in order]
    shuffled.sort(key=lambda key: -len(members[key]))  # stable: equal sizes keep the seeded order
    people_total = max(1, sum(not s.is_bot for s in sessions))
    bots_total = max(1, sum(s.is_bot for s in sessions))
    load = np.zeros((folds, 2))
    fold = np.empty(len(sessions), dtype=np.intp)
    for key in shuffled:
        bots = sum(sessions[i].is_bot for i in members[key])
        people = len(members[key]) - bots
        after = (load[:, 0] + people) / people_total + (load[:, 1] + bots) / bots_total
        # the emptiest fold first, so that no fold is left without sessions
        target = int(np.lexsort((after, load.sum(axis=1) > 0))[0])
        load[target] += (people, bots)
        fold[members[key]] = target
    return fold


@dataclass(frozen=True)
class Split:
    """One test fold: who is scored, who trains, and how many sessions the purge dropped."""

    fold: int
    test: IntArray  # positions in the table
    train: IntArray
    purged: int


def _sharing(groups: Sequence[frozenset[int]], values: set[int] | frozenset[int]) -> BoolArray:
    return np.fromiter((not g.isdisjoint(values) for g in groups), dtype=np.bool_, count=len(groups))


def purged_splits(fold: IntArray, groups: Sequence[frozenset[int]], scored: BoolArray, trainable: BoolArray,
                  folds: int) -> list[Split]:
    """For each fold k: the scored sessions of fold k are the test set; training takes the
    trainable sessions of the other folds, minus every one that shares a group value with a
    test session."""
    splits: list[Split] = []
    for k in range(folds):
        test = scored & (fold == k)
        values: set[int] = set()
        for position in np.flatnonzero(test).tolist():
            values |= groups[position]
        candidates = trainable & (fold != k)
        shares = _sharing(groups, values)
        splits.append(Split(k, np.flatnonzero(test), np.flatnonzero(candidates & ~shares),
                            int(np.count_nonzero(candidates & shares))))
    return splits


# --- thresholds --------------------------------------------------------------------------------------


def threshold_at(reference: FloatArray, target_fpr: float) -> float:
    """The score above which at most `target_fpr` of the reference people lie: a session is
    judged bot when its score is strictly greater. Ties never push the share over the target;
    with no reference it is +inf (nobody judged bot)."""
    if len(reference) == 0:
        return math.inf
    ordered = np.sort(reference)[::-1]
    allowed = math.floor(target_fpr * len(ordered) + 1e-9)
    return float(ordered[allowed]) if allowed < len(ordered) else -math.inf


def judge(scores: FloatArray, human: BoolArray, fold: IntArray, groups: Sequence[frozenset[int]],
          splits: Sequence[Split], target_fpr: float) -> tuple[BoolArray, list[dict[str, Any]]]:
    """Whether each scored session is judged bot, fold by fold, at a threshold set on the
    scored people of the other folds who share no group value with the fold's sessions."""
    judged = np.zeros(len(scores), dtype=np.bool_)
    scored = ~np.isnan(scores)
    report: list[dict[str, Any]] = []
    for split in splits:
        values: set[int] = set()
        for position in split.test.tolist():
            values |= groups[position]
        reference = human & scored & (fold != split.fold) & ~_sharing(groups, values)
        threshold = threshold_at(scores[reference], target_fpr)
        judged[split.test] = scores[split.test] > threshold
        report.append({"fold": split.fold, "reference_people": int(np.count_nonzero(reference)),
                       "threshold": threshold})
    return judged, report


# --- metrics ---------------------------------------------------------------------------------------------


def _weighted_auc(people: FloatArray, bots: FloatArray, w_people: FloatArray, w_bots: FloatArray) -> FloatArray:
    """ROC AUC for each row of weights (resampling counts): the weighted share of (bot,
    person) pairs in which the bot scores higher, ties counting half."""
    order = np.argsort(people, kind="stable")
    sorted_people = people[order]
    cumulative = np.concatenate([np.zeros((w_people.shape[0], 1)), np.cumsum(w_people[:, order], axis=1)], axis=1)
    low = np.searchsorted(sorted_people, bots, side="left")
    high = np.searchsorted(sorted_people, bots, side="right")
    below = cumulative[:, low]
    equal = cumulative[:, high] - below
    pairs = w_people.sum(axis=1) * w_bots.sum(axis=1)
    result: FloatArray = np.sum(w_bots * (below + 0.5 * equal), axis=1) / pairs
    return result


def roc_auc(bots: Sequence[float] | FloatArray, people: Sequence[float] | FloatArray) -> float:
    """The exact ROC AUC: the share of (bot, person) pairs in which the bot scores higher,
    ties counting half; NaN when either side is empty."""
    b, p = np.asarray(bots, dtype=np.float64), np.asarray(people, dtype=np.float64)
    if len(b) == 0 or len(p) == 0:
        return math.nan
    return float(_weighted_auc(p, b, np.ones((1, len(p))), np.ones((1, len(b))))[0])


def roc_points(bots: FloatArray, people: FloatArray, max_points: int = ROC_MAX_POINTS) -> list[list[float]]:
    """(false-positive rate, true-positive rate) at every distinct threshold, from (0, 0) to
    (1, 1), thinned evenly to at most `max_points` with both ends kept."""
    if len(bots) == 0 or len(people) == 0:
        return []
    thresholds = np.unique(np.concatenate([bots, people]))[::-1]
    tpr = np.searchsorted(-np.sort(bots)[::-1], -thresholds, side="right") / len(bots)
    fpr = np.searchsorted(-np.sort(people)[::-1], -thresholds, side="right") / len(people)
    points = np.column_stack([np.concatenate([[0.0], fpr]), np.concatenate([[0.0], tpr])])
    if len(points) > max_points:
        keep = np.unique(np.linspace(0, len(points) - 1, max_points).round().astype(np.intp))
        points = points[keep]
    return [[round(float(x), 5), round(float(y), 5)] for x, y in points]


def _resampling_weights(clusters: Sequence[str], replicates: int, rng: np.random.Generator) -> FloatArray:
    """Per replicate, how often each session is drawn when its clusters are drawn with replacement."""
    names = sorted(set(clusters))
    index = {name: i for i, name in enumerate(names)}
    member = np.asarray([index[c] for c in clusters], dtype=np.intp)
    counts = rng.multinomial(len(names), np.full(len(names), 1 / len(names)), size=replicates)
    return cast(FloatArray, counts[:, member].astype(np.float64))


def _interval(values: FloatArray) -> list[float] | None:
    finite = values[np.isfinite(values)]
    if len(finite) == 0:
        return None
    low, high = np.percentile(finite, [2.5, 97.5])
    return [float(low), float(high)]


def _stable(text: str) -> int:
    """A seed component from a name, the same in every process (unlike hash())."""
    return zlib.crc32(text.encode("utf-8"))


@dataclass(frozen=True)
class Scored:
    """Held-out scores and judgements of the people and the bots of one comparison."""

    people: FloatArray
    bots: FloatArray
    judged_people: BoolArray
    judged_bots: BoolArray
    people_clusters: list[str]
    bot_clusters: list[str]


def measure(scored: Scored, replicates: int, rng: np.random.Generator) -> dict[str, Any]:
    """AUC, the share of bots caught (TPR) and of people judged bot (realised FPR), each with a
    95 % cluster-bootstrap interval (None without replicates), and the ROC curve's points."""
    result: dict[str, Any] = {
        "people": len(scored.people), "bots": len(scored.bots),
        "auc": roc_auc(scored.bots, scored.people),
        "tpr": float(np.mean(scored.judged_bots)) if len(scored.bots) else math.nan,
        "people_judged_bot": float(np.mean(scored.judged_people)) if len(scored.people) else math.nan,
        "auc_ci": None, "tpr_ci": None, "people_judged_bot_ci": None,
        "roc": roc_points(scored.bots, scored.people),
    }
    if replicates > 0 and len(scored.people) and len(scored.bots):
        w_people = _resampling_weights(scored.people_clusters, replicates, rng)
        w_bots = _resampling_weights(scored.bot_clusters, replicates, rng)
        result["auc_ci"] = _interval(_weighted_auc(scored.people, scored.bots, w_people, w_bots))
        result["tpr_ci"] = _interval(w_bots @ scored.judged_bots.astype(np.float64) / w_bots.sum(axis=1))
        result["people_judged_bot_ci"] = _interval(
            w_people @ scored.judged_people.astype(np.float64) / w_people.sum(axis=1))
    return result


# --- fitting ------------------------------------------------------------------------------------------------


@dataclass(frozen=True)
class FitTask:
    """One model to fit and the sessions it scores; what a worker process receives."""

    x_train: FloatArray
    y_train: IntArray
    x_test: FloatArray
    random_state: int
    raw: bool = False  # the raw sum of the trees (decision_function) instead of the probability


def fit_model(x: FloatArray, y: IntArray, random_state: int) -> Any:
    """Gradient boosting (LEARNER) fitted on one thread."""
    ensemble = importlib.import_module("sklearn.ensemble")
    threadpoolctl = importlib.import_module("threadpoolctl")
    with threadpoolctl.threadpool_limits(1):
        model = ensemble.HistGradientBoostingClassifier(**LEARNER, random_state=random_state)
        model.fit(x, y)
    return model


def fit_scores(task: FitTask) -> FloatArray:
    """The bot probability (or, with task.raw, the raw sum) of each test row from gradient
    boosting fitted on the training rows."""
    model = fit_model(task.x_train, task.y_train, task.random_state)
    threadpoolctl = importlib.import_module("threadpoolctl")
    with threadpoolctl.threadpool_limits(1):
        if task.raw:
            return np.asarray(model.decision_function(task.x_test), dtype=np.float64)
        return np.asarray(model.predict_proba(task.x_test)[:, 1], dtype=np.float64)


Mapper = Callable[[Callable[[FitTask], FloatArray], Iterable[FitTask]], Iterable[FloatArray]]


class ProtocolError(ValueError):
    """A comparison that the data cannot support (say, a training set without bots)."""


@dataclass(eq=False)  # compared by identity: fields hold arrays
class _Job:
    """One cross-validated model: its splits, and the scores its fits fill in."""

    name: str
    splits: list[Split]
    matrix: FloatArray
    labels: IntArray
    scores: FloatArray
    raw: bool = False


def training_problem(job: _Job) -> str | None:
    """Why a job cannot be fitted (a fold whose training set lacks a class), or None."""
    for split in job.splits:
        y = job.labels[split.train]
        if len(split.test) and (not np.any(y == 1) or not np.any(y == 0)):
            holds = "only bots" if np.any(y == 1) else "only people" if len(y) else "nothing"
            return f"{job.name}, fold {split.fold}: the training set holds {holds}"
    return None


def _run_jobs(jobs: Sequence[_Job], seed: int, mapper: Mapper, progress: Progress, what: str) -> None:
    """Fits every fold of every job (through `mapper`, which may spread them over processes)
    and fills in the held-out scores."""
    tasks: list[FitTask] = []
    owners: list[tuple[_Job, Split]] = []
    for job in jobs:
        problem = training_problem(job)
        if problem is not None:
            raise ProtocolError(problem)
        for split in job.splits:
            if len(split.test):
                tasks.append(FitTask(job.matrix[split.train], job.labels[split.train], job.matrix[split.test], seed,
                                     job.raw))
                owners.append((job, split))
    for done, ((job, split), scores) in enumerate(zip(owners, mapper(fit_scores, tasks)), start=1):
        job.scores[split.test] = scores
        progress(what, done, len(tasks))


# --- the protocol --------------------------------------------------------------------------------------


@dataclass(frozen=True)
class Settings:
    folds: int = 5
    bootstrap: int = 1000
    seed: int = 0
    target_fpr: float = 0.01

    def __post_init__(self) -> None:
        if self.folds < 2:
            raise ValueError("--folds must be at least 2")
        if self.bootstrap < 0:
            raise ValueError("--bootstrap must be 0 or more")
        if not 0 < self.target_fpr < 1:
            raise ValueError("--target-fpr must lie between 0 and 1")


@dataclass
class _ModeContext:
    sessions: Sequence[Session]
    fold: IntArray
    groups: list[frozenset[int]]
    settings: Settings
    families: list[str] = field(default_factory=list)


def _pick[T](items: Sequence[T], mask: BoolArray) -> list[T]:
    return [items[i] for i in np.flatnonzero(mask).tolist()]


def _split_report(splits: Sequence[Split]) -> list[dict[str, int]]:
    return [{"fold": s.fold, "test": len(s.test), "train": len(s.train), "purged": s.purged} for s in splits]


def _rng(settings: Settings, *names: str) -> np.random.Generator:
    return np.random.default_rng([settings.seed, *(_stable(name) for name in names)])


def _comparisons(context: _ModeContext, table: Table, scores: FloatArray, judged: BoolArray,
                 families: Sequence[str], with_all: bool, cell: str) -> list[dict[str, Any]]:
    """measure() of each family's bots (and, with_all, of all bots) against the people."""
    sessions = [context.sessions[i] for i in table.index.tolist()]
    family = np.asarray([s.family for s in sessions])
    clusters = [s.cluster_key() for s in sessions]
    people = (family == HUMAN) & ~np.isnan(scores)
    results: list[dict[str, Any]] = []
    for name in [*families, *([ALL_BOTS] if with_all else [])]:
        bots = ((family != HUMAN) if name == ALL_BOTS else (family == name)) & ~np.isnan(scores)
        scored = Scored(scores[people], scores[bots], judged[people], judged[bots],
                        _pick(clusters, people), _pick(clusters, bots))
        results.append({"family": name, **measure(scored, context.settings.bootstrap,
                                                   _rng(context.settings, cell, name))})
    return results


def _verdict_shares(table: Table, sessions: Sequence[Session], families: Sequence[str]) -> dict[str, dict[str, Any]]:
    shares: dict[str, dict[str, Any]] = {}
    family = [sessions[i].family for i in table.index.tolist()]
    for name in [HUMAN, *families]:
        verdicts = [v for f, v in zip(family, table.policy_verdict) if f == name]
        shares[name] = {"sessions": len(verdicts),
                        **{v: (verdicts.count(v) / len(verdicts) if verdicts else math.nan) for v in VERDICTS}}
    return shares


def single_feature_aucs(matrix: FloatArray, names: Sequence[str], family: npt.NDArray[np.str_],
                        families: Sequence[str]) -> dict[str, dict[str, float]]:
    """Each column's AUC on its own, per family against the people (sessions where the column
    is NaN left out): which feature tells them apart, above 0.5 higher for bots."""
    human = family == HUMAN
    table: dict[str, dict[str, float]] = {}
    for j, name in enumerate(names):
        column = matrix[:, j]
        known = ~np.isnan(column)
        table[name] = {f: roc_auc(column[known & (family == f)], column[known & human]) for f in families}
    return table


def _evaluate_modality(context: _ModeContext, table: Table, mapper: Mapper, progress: Progress,
                       mode: str, timing: bool, models: Sequence[str] = ("baseline", "trained"),
                       with_policy: bool = True, oof: dict[str, FloatArray] | None = None) -> dict[str, Any]:
    """The policy and the cross-validated MODELS (or, with `timing`, the timing model) on one
    table. OOF, when given, receives each model's in-family held-out scores by model name."""
    settings = context.settings
    sessions = [context.sessions[i] for i in table.index.tolist()]
    fold = context.fold[table.index]
    groups = [context.groups[i] for i in table.index.tolist()]
    family = np.asarray([s.family for s in sessions])
    human = family == HUMAN
    labels = (~human).astype(np.intp)
    present = [f for f in context.families if np.any(family == f)]
    everyone = np.ones(len(sessions), dtype=np.bool_)
    names = ["timing"] if timing else list(models)
    matrices = {"timing": table.timing, "baseline": table.features, "trained": table.inputs}
    cell = f"{mode}/{table.modality}"
    result: dict[str, Any] = {
        "sessions": len(sessions), "people": int(np.count_nonzero(human)),
        "bots": {f: int(np.count_nonzero(family == f)) for f in present},
        "results": [], "purges": [], "thresholds": [], "skipped": [],
    }
    if not np.any(human) or not present:
        for model in names:
            result["skipped"].append({"model": model, "reason": "needs both people and bots"})
        return result

    in_family = purged_splits(fold, groups, everyone, everyone, settings.folds)
    lofo_splits = {name: purged_splits(fold, groups, human | (family == name), family != name, settings.folds)
                   for name in present}
    in_family_jobs: dict[str, _Job] = {}
    lofo: dict[tuple[str, str], _Job] = {}
    for model in names:
        raw = model == "trained"
        in_family_jobs[model] = _Job(f"{model} in-family", in_family, matrices[model], labels,
                                     np.full(len(sessions), np.nan), raw)
        for name in present:
            lofo[(model, name)] = _Job(f"{model} lofo {name}", lofo_splits[name], matrices[model], labels,
                                       np.full(len(sessions), np.nan), raw)
    runnable: list[_Job] = []
    for job in [*in_family_jobs.values(), *lofo.values()]:
        problem = training_problem(job)
        if problem is None:
            runnable.append(job)
        else:
            result["skipped"].append({"model": job.name.split()[0], "reason": problem})
    _run_jobs(runnable, settings.seed, mapper, progress, f"{cell}: {'/'.join(names)} fits")

    def add(model_name: str, protocol: str, splits: list[Split], scores: FloatArray,
            families: Sequence[str], with_all: bool, family_name: str | None = None) -> None:
        judged, thresholds = judge(scores, human, fold, groups, splits, settings.target_fpr)
        key = f"{cell}/{model_name}/{protocol}" + (f"/{family_name}" if family_name else "")
        for row in _comparisons(context, table, scores, judged, families, with_all, key):
            result["results"].append({"model": model_name, "protocol": protocol, **row})
        result["thresholds"].append({"model": model_name, "protocol": protocol, "family": family_name,
                                     "folds": thresholds})

    if timing:
        result["feature_auc"] = single_feature_aucs(table.timing, TIMING_FEATURES, family, present)
    elif with_policy:
        add("policy", "fixed", in_family, table.policy_score, present, True)
        result["verdicts"] = _verdict_shares(table, context.sessions, present)
    for model in names:
        job = in_family_jobs[model]
        if job in runnable:
            add(model, "in-family", in_family, job.scores, present, True)
            result["purges"].append({"model": model, "protocol": "in-family", "family": None,
                                     "folds": _split_report(in_family)})
        for name in present:
            job = lofo[(model, name)]
            if job in runnable:
                add(model, "lofo", job.splits, job.scores, [name], False, name)
                result["purges"].append({"model": model, "protocol": "lofo", "family": name,
                                         "folds": _split_report(job.splits)})
    if "trained" in names:
        # The service's verdict: a hard rule decides alone, else the trained model. A rule
        # fixed in advance learns nothing, so its sessions simply rank above every score.
        job = in_family_jobs["trained"]
        if job in runnable:
            add("verdict", "in-family", in_family, with_hard_rules(job.scores, table.hard), present, True)
        for name in present:
            job = lofo[("trained", name)]
            if job in runnable:
                add("verdict", "lofo", job.splits, with_hard_rules(job.scores, table.hard), [name], False, name)
        if oof is not None:
            oof[model] = in_family_jobs[model].scores
    order = {("policy", "fixed"): 0}
    for i, model in enumerate([*names, "verdict"]):
        order[(model, "lofo")] = 1 + 2 * i
        order[(model, "in-family")] = 2 + 2 * i
    families_order = {name: i for i, name in enumerate([*present, ALL_BOTS])}
    result["results"].sort(key=lambda r: (order[(r["model"], r["protocol"])], families_order[r["family"]]))
    return result


def _shuffled_control(context: _ModeContext, table: Table, mapper: Mapper, progress: Progress,
                      mode: str) -> dict[str, Any]:
    """The in-family baseline refitted with the labels permuted across the data set: its AUC
    against the permuted labels should be near 0.5, or something outside the features
    (the folds, the purge) carries the label."""
    settings = context.settings
    sessions = [context.sessions[i] for i in table.index.tolist()]
    fold = context.fold[table.index]
    groups = [context.groups[i] for i in table.index.tolist()]
    labels = np.asarray([s.is_bot for s in sessions], dtype=np.intp)
    permuted = labels[_rng(settings, mode, "shuffle").permutation(len(labels))]
    everyone = np.ones(len(sessions), dtype=np.bool_)
    splits = purged_splits(fold, groups, everyone, everyone, settings.folds)
    job = _Job("shuffled baseline", splits, table.features, permuted, np.full(len(sessions), np.nan))
    try:
        _run_jobs([job], settings.seed, mapper, progress, f"{mode}: shuffled-label control fits")
    except ProtocolError as error:
        return {"skipped": str(error)}
    clusters = [s.cluster_key() for s in sessions]
    bot, person = permuted == 1, permuted == 0
    scored = Scored(job.scores[person], job.scores[bot], np.zeros(int(person.sum()), np.bool_),
                    np.zeros(int(bot.sum()), np.bool_), _pick(clusters, person), _pick(clusters, bot))
    measured = measure(scored, settings.bootstrap, _rng(settings, mode, "shuffle", "bootstrap"))
    return {"model": "baseline", "protocol": "in-family", "modality": "both", "auc": measured["auc"],
            "auc_ci": measured["auc_ci"], "expected": [0.5 - SHUFFLE_TOLERANCE, 0.5 + SHUFFLE_TOLERANCE],
            "within": abs(measured["auc"] - 0.5) <= SHUFFLE_TOLERANCE}


def _fold_sizes(context: _ModeContext) -> list[dict[str, Any]]:
    sizes: list[dict[str, Any]] = []
    for k in range(context.settings.folds):
        members = _pick(context.sessions, context.fold == k)
        by_family: dict[str, int] = {}
        for s in members:
            by_family[s.family] = by_family.get(s.family, 0) + 1
        sizes.append({"fold": k, "sessions": len(members), "people": by_family.get(HUMAN, 0),
                      "bots": len(members) - by_family.get(HUMAN, 0),
                      "fold_keys": len({s.fold_key() for s in members}),
                      "by_family": dict(sorted(by_family.items()))})
    return sizes


def evaluate_mode(mode: str, sessions: Sequence[Session], settings: Settings, policy: Policy,
                  mapper: Mapper = map, progress: Progress = _quiet) -> dict[str, Any]:
    """Every model, protocol and modality on one sensor mode's sessions."""
    families = sorted({s.family for s in sessions if s.is_bot})
    if not families or all(s.is_bot for s in sessions):
        raise ProtocolError(f"{mode}: needs both people and bots")
    context = _ModeContext(sessions, assign_folds(sessions, settings.folds, settings.seed), group_ids(sessions),
                           settings, families)
    progress(f"{mode}: features of {len(sessions)} sessions", 0, 1)
    tables = build_tables(sessions, policy)
    progress(f"{mode}: features of {len(sessions)} sessions", 1, 1)
    counts: dict[str, int] = {HUMAN: 0}
    for s in sessions:
        counts[s.family] = counts.get(s.family, 0) + 1
    modalities = {m: _evaluate_modality(context, tables[m], mapper, progress, mode, timing=False)
                  for m in MODALITIES}
    sensor = _evaluate_modality(context, tables["pointer"], mapper, progress, mode, timing=True)
    sensor["modality"] = "pointer"
    sensor["features"] = list(TIMING_FEATURES)
    shuffled = _shuffled_control(context, tables["both"], mapper, progress, mode)
    result = {"mode": mode, "sessions": len(sessions), "counts": counts, "families": families,
              "folds": _fold_sizes(context), "modalities": modalities, "sensor_check": sensor,
              "shuffled_control": shuffled}
    sensor["verdict"] = sensor_verdict(result)
    return result


def sensor_verdict(mode_result: Mapping[str, Any]) -> dict[str, Any]:
    """The timing model's worst family (highest AUC) over both protocols, against the goal."""
    rows = [r for r in mode_result["sensor_check"]["results"]
            if r["family"] != ALL_BOTS and r["auc"] is not None and math.isfinite(r["auc"])]
    if not rows:
        return {"goal_auc": SENSOR_GOAL_AUC, "worst": None, "met": None}
    worst = max(rows, key=lambda r: r["auc"])
    return {"goal_auc": SENSOR_GOAL_AUC,
            "worst": {"family": worst["family"], "protocol": worst["protocol"], "auc": worst["auc"]},
            "met": worst["auc"] <= SENSOR_GOAL_AUC}


PROTOCOL_NOTES = (
    "Bots are those in the input files: a family that is not there is not measured, and lofo "
    "shows only how a model carries over between the families that are.",
    "Intervals resample the held-out sessions (people by person, bots by operator) with each "
    "session's judgement kept; they leave out the variance of refitting the models.",
    "The policy judges each session on its own: a rule that needs what the service remembers of "
    "earlier sessions does not fire here.",
    "With few pointer users, the people's folds are few large groups; an interval over them is wide "
    "and may still be optimistic.",
)


def versions() -> dict[str, str]:
    found = {"velkora": __version__, "numpy": np.__version__, "python": platform.python_version()}
    try:
        found["scikit-learn"] = str(importlib.import_module("sklearn").__version__)
    except ImportError:
        found["scikit-learn"] = "missing"
    return found


def document(results: Sequence[dict[str, Any]], settings: Settings, notes: Sequence[str] = ()) -> dict[str, Any]:
    """The results of evaluate_mode for each sensor mode (the first is the headline) with the
    settings, versions and notes, as a JSON-ready dict (non-finite numbers as None)."""
    ready: dict[str, Any] = to_json_ready({
        "format": "velkora-evaluation/1",
        "headline": results[0]["mode"] if results else None,
        "settings": {"folds": settings.folds, "bootstrap": settings.bootstrap, "seed": settings.seed,
                     "target_fpr": settings.target_fpr, "learner": {"model": "HistGradientBoostingClassifier",
                                                                     **LEARNER, "random_state": settings.seed}},
        "versions": versions(),
        "notes": [*notes, *PROTOCOL_NOTES],
        "modes": list(results),
    })
    return ready


def evaluate(modes: Sequence[tuple[str, Sequence[Session]]], settings: Settings, policy: Policy,
             mapper: Mapper = map, progress: Progress = _quiet, notes: Sequence[str] = ()) -> dict[str, Any]:
    """evaluate_mode of each sensor mode, then document()."""
    return document([evaluate_mode(name, sessions, settings, policy, mapper, progress) for name, sessions in modes],
                    settings, notes)


CHECKED_FIGURES = ("people", "bots", "auc", "tpr", "people_judged_bot")
CHECKED_MODELS = ("trained", "verdict")


def check_model(model: Any, result: Mapping[str, Any]) -> dict[str, Any]:
    """Whether the trained model's rows of RESULT (a document()) equal the held-out figures a
    model file of velkora train records, for the mode named after the file it was trained on."""
    differences: list[str] = []
    if not isinstance(model, dict) or not isinstance(model.get("heldout"), dict):
        return {"model": None, "reproduced": False, "differences": ["not a model file with held-out figures"]}
    stem = str(model.get("provenance", {}).get("file", "")).rsplit(".", 1)[0]
    mode = next((m for m in result["modes"] if m["mode"] == stem), None)
    if mode is None:
        differences.append(f"no mode named {stem!r} (the file the model was trained on) was evaluated")
    else:
        for modality, recorded in model["heldout"].items():
            rows = {(r["model"], r["protocol"], r["family"]): r for r in mode["modalities"][modality]["results"]
                    if r["model"] in CHECKED_MODELS}
            for row in recorded["results"]:
                what = f"{modality} {row['model']} {row['protocol']} {row['family']}"
                mine = rows.get((row["model"], row["protocol"], row["family"]))
                if mine is None:
                    differences.append(f"{what}: not evaluated")
                    continue
                for name in CHECKED_FIGURES:
                    if mine[name] != row[name]:
                        differences.append(f"{what} {name}: {mine[name]} here, {row[name]} in the file")
    return {"model": model.get("id"), "mode": stem, "reproduced": not differences, "differences": differences}


def to_json_ready(value: Any) -> Any:
    """Numbers as plain floats and ints, NaN and infinities as None, arrays as lists."""
    if isinstance(value, dict):
        return {str(k): to_json_ready(v) for k, v in value.items()}
    if isinstance(value, list | tuple):
        return [to_json_ready(v) for v in value]
    if isinstance(value, np.ndarray):
        return [to_json_ready(v) for v in value.tolist()]
    if isinstance(value, bool | np.bool_):
        return bool(value)
    if isinstance(value, int | np.integer):
        return int(value)
    if isinstance(value, float | np.floating):
        number = float(value)
        return number if math.isfinite(number) else None
    return value
