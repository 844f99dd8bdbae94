"""How rules and the trained model make one verdict.

- **Hard rules** decide on their own: the automation flag, machine-speed key holds and a
  reused trace make a session a bot whatever the model says (score 1.0).
- **Otherwise the model decides** (``velkora.model``), when a model file is loaded: the
  session is judged by the model of the modalities it has enough of (both; else the
  pointer alone; else the keys alone, the other modality's telemetry left out as in
  training), ``score`` is the calibrated probability of bot and ``reasons`` name the inputs
  that pushed it most toward the verdict. A missing modality never counts against a
  session; with neither modality enough, the verdict is ``insufficient-data``.
- **Touch input** has no human data to learn from: such sessions get the rules only, and
  the reason ``touch-rules-only`` says so.
- **Without a model** the example policy's rules decide, as before.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any

import velkora_core_rs as core

from velkora.model import Model, restrict

from .policy import TRACE_REUSED, Policy, Verdict, decide

if TYPE_CHECKING:
    from velkora.trace_memory import TraceOutcome

HARD_RULES = ("automation-flag", "key-dwell-machine-speed", TRACE_REUSED)
TOUCH_RULES_ONLY = "touch-rules-only"
TOUCH_DESCRIPTION = "touch input: the model has no human touch data, so only the rules judged this session"

# velkora._signals.signals: telemetry -> named signals.
SignalsFunction = Callable[[dict[str, Any]], Mapping[str, Any]]


def _touch(features: Mapping[str, Any]) -> bool:
    count = features.get("touch_event_count", 0)
    return isinstance(count, int | float) and count > 0


def judge(policy: Policy, model: Model | None, signals: SignalsFunction | None, features: dict[str, Any],
          telemetry: dict[str, Any], reuse: TraceOutcome | None = None) -> Verdict:
    """The verdict on one session. FEATURES are extract_features_rs of TELEMETRY."""
    rules = decide(policy, features, telemetry, reuse)
    if model is None or signals is None:
        return rules
    hard = [(code, 1.0) for code, _ in rules.reasons if code in HARD_RULES]
    details: dict[str, Mapping[str, Any]] = {c: d for c, d in rules.details.items() if c in dict(hard)}
    if _touch(features):
        reasons = [*rules.reasons, (TOUCH_RULES_ONLY, 0.0)]
        return Verdict(rules.verdict, rules.score, reasons, {**rules.details,
                                                                TOUCH_RULES_ONLY: {"description": TOUCH_DESCRIPTION}},
                       model=model.id)
    modality = model.modality(int(features.get("mouse_points", 0)), int(features.get("key_count", 0)))
    if modality is None:
        if hard:
            return Verdict("bot", 1.0, hard, details, model=model.id)
        return Verdict("insufficient-data", 0.0, [], {}, model=model.id)
    seen = telemetry
    values: dict[str, Any] = dict(features)
    if modality != "both":
        seen = restrict(telemetry, modality)
        values = dict(core.extract_features_rs(seen))  # type: ignore[arg-type]
    values.update(signals(seen))
    judgement = model.judge(modality, values)
    reasons = [*hard, *((r.code, r.contribution) for r in judgement.reasons)]
    for r in judgement.reasons:
        details[r.code] = {"description": r.description}
    if hard:
        return Verdict("bot", 1.0, reasons, details, model=model.id, modality=modality)
    return Verdict("bot" if judgement.bot else "human", judgement.score, reasons, details, model=model.id,
                   modality=modality)
