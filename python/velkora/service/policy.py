"""The verdict: an example policy over the native features, with stable reason codes.

The thresholds come from a JSON policy file (``example-policy.json`` beside this module
is the default). They are hand-set examples to tune on real traffic, not a trained
model. Rules only ever add evidence from data that is there: a missing modality (no
pointer, as with keyboard-only and screen-reader users; no keys, as with password
managers and autofill) never counts against a session, it only keeps the verdict at
``insufficient-data`` when nothing else fired. There is deliberately no plugin-count
rule: headless browsers report plugins, and real browsers with the PDF viewer off
report none.
"""

from __future__ import annotations

import json
import math
import statistics
from collections.abc import Mapping
from dataclasses import dataclass, field
from importlib import resources
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from velkora.trace_memory import TraceOutcome

# Codes every policy file gives a weight.
REASON_CODES = (
    "automation-flag",
    "pointer-teleport",
    "pointer-constant-speed",
    "curvature-score",
    "keystroke-score",
    "key-dwell-machine-speed",
)
TRACE_REUSED = "trace-reused"
# Codes a policy file may leave out, with the weight they then get. A reused trace is a
# bot on its own: a person does not repeat another session's trace.
DEFAULT_WEIGHTS: dict[str, float] = {TRACE_REUSED: 1.0}


class PolicyError(ValueError):
    pass


@dataclass(frozen=True)
class Policy:
    bot_threshold: float = 0.6
    min_pointer_points: int = 10
    min_keys: int = 6
    weights: dict[str, float] = field(default_factory=lambda: dict.fromkeys(REASON_CODES, 0.5) | DEFAULT_WEIGHTS)
    teleport_min_step_px: float = 80.0
    teleport_max_points: int = 6
    constant_speed_max_cv: float = 0.1
    curvature_score_min: float = 0.9
    keystroke_score_min: float = 0.8
    machine_dwell_max_ms: float = 12.0
    machine_dwell_min_releases: int = 5

    @classmethod
    def from_mapping(cls, data: dict[str, Any]) -> Policy:
        known = {f for f in cls.__dataclass_fields__}
        values: dict[str, Any] = {}
        for name, value in data.items():
            if name.startswith("_"):
                continue
            if name not in known:
                raise PolicyError(f"unknown policy setting {name!r}")
            values[name] = value
        weights = values.get("weights", {})
        if not isinstance(weights, dict) or not set(REASON_CODES) <= set(weights) <= {*REASON_CODES, *DEFAULT_WEIGHTS}:
            raise PolicyError(f"weights must give {', '.join(REASON_CODES)}, and may give {', '.join(DEFAULT_WEIGHTS)}")
        values["weights"] = DEFAULT_WEIGHTS | weights
        for name, value in values.items():
            if name == "weights":
                for code, w in value.items():
                    if isinstance(w, bool) or not isinstance(w, int | float) or not math.isfinite(w) or w < 0:
                        raise PolicyError(f"weight of {code} must be a finite number >= 0")
            elif isinstance(value, bool) or not isinstance(value, int | float) or not math.isfinite(value):
                raise PolicyError(f"{name} must be a finite number")
        return cls(**values)

    @classmethod
    def load(cls, path: str | None = None) -> Policy:
        """The policy in PATH, or the packaged example."""
        if path is None:
            text = resources.files(__package__).joinpath("example-policy.json").read_text("utf-8")
        else:
            with open(path, encoding="utf-8") as f:
                text = f.read()
        data = json.loads(text)
        if not isinstance(data, dict):
            raise PolicyError("a policy file holds a JSON object")
        return cls.from_mapping(data)


@dataclass(frozen=True)
class Verdict:
    verdict: str
    score: float
    reasons: list[tuple[str, float]]
    # Further fields of a reason in the answer, by code (trace-reused: matches, last_seen_sec, modalities).
    details: Mapping[str, Mapping[str, Any]] = field(default_factory=dict)
    # The id of the trained model that judged (None: the rules alone) and the modality it judged.
    model: str | None = None
    modality: str | None = None


def _number(value: object) -> float | None:
    if isinstance(value, bool) or not isinstance(value, int | float):
        return None
    return float(value) if math.isfinite(value) else None


def pointer_steps(telemetry: dict[str, Any]) -> list[float]:
    """Distances between consecutive usable pointer samples, in time order."""
    samples: list[tuple[float, float, float]] = []
    for sample in telemetry.get("mouse_movements") or []:
        if isinstance(sample, dict):
            x, y, t = _number(sample.get("x")), _number(sample.get("y")), _number(sample.get("t"))
            if x is not None and y is not None and t is not None:
                samples.append((t, x, y))
    samples.sort(key=lambda s: s[0])
    return [math.hypot(b[1] - a[1], b[2] - a[2]) for a, b in zip(samples, samples[1:])]


def dwell_times(telemetry: dict[str, Any]) -> list[float]:
    """Release minus press of every key with both (zero included: the native reader
    drops a zero dwell, which is exactly what a script produces)."""
    dwells: list[float] = []
    for entry in (telemetry.get("keystrokes") or [])[:150]:
        if not isinstance(entry, dict):
            continue
        down = next((v for k in ("t", "down", "time") if (v := _number(entry.get(k))) is not None), None)
        if down is None:
            continue
        up = _number(entry.get("up"))
        if up is None and (d := _number(entry.get("duration_ms"))) is not None:
            up = down + d
        if up is not None and 0 <= up - down < 5000:
            dwells.append(up - down)
    return dwells


def decide(policy: Policy, features: dict[str, Any], telemetry: dict[str, Any],
           reuse: TraceOutcome | None = None) -> Verdict:
    """Reasons that fire, their summed score (capped at 1) and the verdict. REUSE is what
    the trace memory said about the session (None: not asked)."""
    fired: list[str] = []
    details: dict[str, Mapping[str, Any]] = {}
    if features.get("webdriver") is True:
        fired.append("automation-flag")
    points = int(features.get("mouse_points", 0))
    clicks = int(features.get("click_count", 0))
    # A pointer that reaches what it clicks in a handful of long jumps never travelled.
    if clicks > 0 and 2 <= points <= policy.teleport_max_points:
        steps = pointer_steps(telemetry)
        if steps and statistics.fmean(steps) >= policy.teleport_min_step_px:
            fired.append("pointer-teleport")
    pointer_enough = points >= policy.min_pointer_points
    if pointer_enough:
        avg = float(features.get("avg_velocity", 0.0))
        var = float(features.get("velocity_var", 0.0))
        if avg > 0 and math.sqrt(max(var, 0.0)) / avg < policy.constant_speed_max_cv:
            fired.append("pointer-constant-speed")
        if float(features.get("curvature_score", 0.0)) >= policy.curvature_score_min:
            fired.append("curvature-score")
    keys = int(features.get("key_count", 0))
    keys_enough = keys >= policy.min_keys
    if keys_enough:
        if float(features.get("keystroke_score", 0.0)) >= policy.keystroke_score_min:
            fired.append("keystroke-score")
        dwells = dwell_times(telemetry)
        if len(dwells) >= policy.machine_dwell_min_releases and statistics.median(dwells) < policy.machine_dwell_max_ms:
            fired.append("key-dwell-machine-speed")
    if reuse is not None and reuse.matches > 0:
        fired.append(TRACE_REUSED)
        details[TRACE_REUSED] = {"matches": reuse.matches, "last_seen_sec": reuse.last_seen_sec,
                                 "modalities": list(reuse.modalities)}
    reasons = [(code, policy.weights.get(code, DEFAULT_WEIGHTS.get(code, 0.0))) for code in fired]
    score = min(1.0, sum(w for _, w in reasons))
    if score >= policy.bot_threshold:
        verdict = "bot"
    elif not (pointer_enough and keys_enough):
        verdict = "insufficient-data"
    else:
        verdict = "human"
    return Verdict(verdict, round(score, 4), reasons, details)
