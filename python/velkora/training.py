"""``velkora train``: the model file of ``velkora.model`` from labelled sessions, without I/O.

For each modality (both, pointer alone, keys alone) the learner of the benchmark
(``velkora.evaluation.LEARNER``) is cross-validated on the inputs of
``velkora.model.model_inputs`` with the benchmark's purged grouped folds:

- the held-out raw scores of every session (in-family folds) fit a Platt calibration, and the
  threshold is the calibrated score that at most the target share of those held-out people
  exceed, so no person sets the threshold with a score from a model that saw them;
- leave-one-family-out and in-family figures are those ``velkora evaluate`` reports for the
  ``trained`` model on the same file, seed and folds (``heldout`` in the file);
- the minimum input per modality is the smallest candidate count at which the modality
  model's held-out AUC over the sessions with at least that much input reaches MIN_AUC;
- the model itself is then fitted on every session and exported tree by tree; its raw sums are
  checked against scikit-learn's on every training row before the file is written.
"""

from __future__ import annotations

import datetime
import math
import sys
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import velkora_core_rs as core

from velkora import __version__
from velkora import evaluation as ev
from velkora.model import (
    FEATURE_DESCRIPTIONS,
    FORMAT,
    MODALITIES,
    model_id,
    reason_code,
)

# Candidate minimum counts of pointer samples and of keystrokes, and the held-out AUC a
# modality model must reach over the sessions with at least that much input.
POINTER_CANDIDATES = (2, 3, 5, 8, 10, 15, 20, 30, 50)
KEY_CANDIDATES = (2, 3, 4, 6, 8, 10, 15, 20, 30)
MIN_AUC = 0.9
# How far the exported trees' raw sums may differ from scikit-learn's on the training rows.
EXPORT_TOLERANCE = 1e-12
PLATT_ITERATIONS = 100


class TrainingError(ValueError):
    """What the data cannot support (no people, no bots, a failed export check)."""


def _log_loss(raw: ev.FloatArray, target: ev.FloatArray, a: float, b: float) -> float:
    z = a * raw + b
    # log(1 + exp(-z)) and log(1 + exp(z)) without overflow
    return float(np.sum(target * np.logaddexp(0.0, -z) + (1.0 - target) * np.logaddexp(0.0, z)))


def platt(raw: ev.FloatArray, labels: ev.IntArray) -> tuple[float, float]:
    """Platt's sigmoid fit, p = 1 / (1 + exp(-(a·raw + b))), by Newton's method with a
    backtracking line search on the log-loss, with Platt's smoothed targets (so that
    separable scores still give a finite slope)."""
    positives = int(np.count_nonzero(labels == 1))
    negatives = len(labels) - positives
    target = np.where(labels == 1, (positives + 1.0) / (positives + 2.0), 1.0 / (negatives + 2.0))
    a, b = 1.0, 0.0
    loss = _log_loss(raw, target, a, b)
    for _ in range(PLATT_ITERATIONS):
        p = 1.0 / (1.0 + np.exp(-np.clip(a * raw + b, -700.0, 700.0)))
        w = p * (1.0 - p)
        residual = p - target
        gradient = np.array([np.dot(residual, raw), residual.sum()])
        hessian = np.array([[np.dot(w, raw * raw), np.dot(w, raw)], [np.dot(w, raw), w.sum()]]) + np.eye(2) * 1e-12
        step = np.linalg.solve(hessian, gradient)
        scale = 1.0
        while scale > 1e-10:
            a_next, b_next = a - scale * float(step[0]), b - scale * float(step[1])
            loss_next = _log_loss(raw, target, a_next, b_next)
            if loss_next <= loss:
                break
            scale /= 2.0
        else:
            break  # no step lowers the loss: converged as far as doubles tell
        converged = loss - loss_next <= 1e-12 * max(1.0, loss)
        a, b, loss = a_next, b_next, loss_next
        if converged:
            break
    if not (math.isfinite(a) and math.isfinite(b)) or a <= 0:
        raise TrainingError(f"the calibration failed (a={a}, b={b}): the held-out scores do not rank bots higher")
    return a, b


def calibrated(raw: ev.FloatArray, a: float, b: float) -> ev.FloatArray:
    z = np.clip(a * raw + b, -700.0, 700.0)
    result: ev.FloatArray = 1.0 / (1.0 + np.exp(-z))
    return result


def minimum_count(counts: ev.FloatArray, scores: ev.FloatArray, bot: ev.BoolArray,
                  candidates: Sequence[int]) -> tuple[int, list[dict[str, Any]]]:
    """The smallest candidate whose sessions (count at least it) reach MIN_AUC held out, the
    largest candidate when none does, and the AUC at each candidate."""
    evidence: list[dict[str, Any]] = []
    chosen: int | None = None
    for n in candidates:
        keep = (counts >= n) & ~np.isnan(scores)
        auc = ev.roc_auc(scores[keep & bot], scores[keep & ~bot])
        evidence.append({"at_least": n, "people": int(np.count_nonzero(keep & ~bot)),
                         "bots": int(np.count_nonzero(keep & bot)), "auc": auc})
        if chosen is None and math.isfinite(auc) and auc >= MIN_AUC:
            chosen = n
    return (chosen if chosen is not None else candidates[-1]), evidence


def finite_thresholds(forest: Any) -> Any:
    """The forest with +inf split thresholds (a split that only sends the missing values one
    way) written as the largest finite double, so that the file is strict JSON. The same
    trees for every row a model is given: non-finite inputs reach it as NaN (missing), and
    every finite value is at most that double."""
    for tree in forest["trees"]:
        for node in tree:
            if node["threshold"] == math.inf:
                node["threshold"] = sys.float_info.max
            elif not math.isfinite(node["threshold"]):
                raise TrainingError(f"a split threshold of {node['threshold']} cannot be written")
    return forest


def _heldout(result: Mapping[str, Any]) -> dict[str, Any]:
    """The evaluation rows of the trained model without their ROC points."""
    rows = [{k: v for k, v in r.items() if k != "roc"} for r in result["results"] if r["model"] in ev.CHECKED_MODELS]
    return {"sessions": result["sessions"], "people": result["people"], "bots": result["bots"], "results": rows,
            "skipped": result["skipped"]}


def _descriptions(names: Sequence[str], signal_descriptions: Mapping[str, str]) -> dict[str, dict[str, str]]:
    reasons: dict[str, dict[str, str]] = {}
    for name in names:
        description = FEATURE_DESCRIPTIONS.get(name) or signal_descriptions.get(name) or name.replace("_", " ")
        reasons[name] = {"code": reason_code(name), "description": description}
    return reasons


def train(sessions: Sequence[ev.Session], settings: ev.Settings, *, provenance: Mapping[str, Any],
          signal_descriptions: Mapping[str, str], mapper: ev.Mapper = map,
          progress: ev.Progress = ev._quiet, mode: str = "train") -> dict[str, Any]:
    """The model document (JSON-ready) for SESSIONS. MODE names the sessions as evaluate
    names a file (its stem), so that the bootstrap draws the same intervals. Raises
    TrainingError or ev.ProtocolError for what the data cannot support."""
    from velkora.forest import export_hgb, load_forest
    from velkora.service.policy import Policy

    if not any(s.is_bot for s in sessions) or all(s.is_bot for s in sessions):
        raise TrainingError("training needs both people and bots")
    families = sorted({s.family for s in sessions if s.is_bot})
    context = ev._ModeContext(sessions, ev.assign_folds(sessions, settings.folds, settings.seed),
                              ev.group_ids(sessions), settings, families)
    progress(f"inputs of {len(sessions)} sessions", 0, 1)
    tables = ev.build_tables(sessions, Policy.load())  # the hard rules as the service applies them
    progress(f"inputs of {len(sessions)} sessions", 1, 1)
    names = ev.input_names()
    feature_names = list(core.extract_features_rs({}))
    modalities: dict[str, Any] = {}
    heldout: dict[str, Any] = {}
    oof_scores: dict[str, ev.FloatArray] = {}
    for modality in MODALITIES:
        table = tables[modality]
        oof: dict[str, ev.FloatArray] = {}
        result = ev._evaluate_modality(context, table, mapper, progress, mode, timing=False,
                                       models=("trained",), with_policy=False, oof=oof)
        heldout[modality] = _heldout(result)
        bot = np.asarray([sessions[i].is_bot for i in table.index.tolist()], dtype=np.bool_)
        if "trained" not in oof or not np.any(bot) or np.all(bot):
            raise TrainingError(f"{modality}: needs both people and bots with that modality")
        scores = oof["trained"]
        oof_scores[modality] = scores
        scored = ~np.isnan(scores)
        if np.count_nonzero(scored & ~bot) == 0:
            raise TrainingError(f"{modality}: no person was scored held out")
        a, b = platt(scores[scored], bot[scored].astype(np.intp))
        people = calibrated(scores[scored & ~bot], a, b)
        threshold = min(1.0, max(0.0, ev.threshold_at(people, settings.target_fpr)))
        progress(f"{modality}: final fit", 0, 1)
        final = ev.fit_model(table.inputs, bot.astype(np.intp), settings.seed)
        forest = finite_thresholds(export_hgb(final))
        exported = load_forest(forest)
        expected = np.asarray(final.decision_function(table.inputs), dtype=np.float64)
        got = np.asarray([exported.raw(row) for row in table.inputs.tolist()], dtype=np.float64)
        difference = float(np.max(np.abs(got - expected))) if len(got) else 0.0
        if not difference <= EXPORT_TOLERANCE:
            raise TrainingError(f"{modality}: the exported trees differ from scikit-learn's by {difference:g}")
        progress(f"{modality}: final fit", 1, 1)
        judged_people = float(np.mean(people > threshold))
        modalities[modality] = {
            "inputs": table.input_names, "forest": forest, "calibration": {"method": "platt", "a": a, "b": b},
            "threshold": threshold,
            "fit": {"sessions": len(table.index), "people": int(np.count_nonzero(~bot)),
                    "bots": int(np.count_nonzero(bot)), "export_max_difference": difference,
                    "heldout_people_judged_bot": judged_people},
        }
    pointer_counts = tables["pointer"].features[:, feature_names.index("mouse_points")]
    key_counts = tables["keys"].features[:, feature_names.index("key_count")]

    def bots_of(modality: str) -> ev.BoolArray:
        return np.asarray([sessions[i].is_bot for i in tables[modality].index.tolist()], dtype=np.bool_)

    pointer_min, pointer_evidence = minimum_count(pointer_counts, oof_scores["pointer"], bots_of("pointer"),
                                                  POINTER_CANDIDATES)
    key_min, key_evidence = minimum_count(key_counts, oof_scores["keys"], bots_of("keys"), KEY_CANDIDATES)
    counts: dict[str, int] = {}
    for s in sessions:
        counts[s.family] = counts.get(s.family, 0) + 1
    document: dict[str, Any] = {
        "format": FORMAT,
        "id": "",
        "created": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%dT%H:%M:%SZ"),
        "velkora": __version__,
        "target_fpr": settings.target_fpr,
        "learner": {"model": "HistGradientBoostingClassifier", **ev.LEARNER, "random_state": settings.seed,
                    "folds": settings.folds, "versions": ev.versions()},
        "minimums": {"pointer_points": pointer_min, "keys": key_min, "min_auc": MIN_AUC,
                     "evidence": {"pointer": pointer_evidence, "keys": key_evidence}},
        "modalities": modalities,
        "reasons": _descriptions(names, signal_descriptions),
        "provenance": {**provenance, "sessions": len(sessions), "families": counts},
        "heldout": heldout,
    }
    document = ev.to_json_ready(document)
    document["id"] = model_id(document)
    return document
