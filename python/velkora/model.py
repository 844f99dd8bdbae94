"""The trained verdict: a model file written by ``velkora train``, read and applied without
the training libraries.

A model file is one JSON object (format ``velkora-model/1``)::

    {"format": "velkora-model/1", "id": "vm1-…", "created": "…", "velkora": "…",
     "target_fpr": 0.01,
     "minimums": {"pointer_points": 10, "keys": 6, "evidence": {…}},
     "modalities": {"both": M, "pointer": M, "keys": M},
     "reasons": {"<input name>": {"code": "…", "description": "…"}, …},
     "learner": {…}, "provenance": {…}, "heldout": {…}}

and each modality model M is ``{"inputs": [names…], "forest": {baseline, feature_count,
trees}, "calibration": {"method": "platt", "a": …, "b": …}, "threshold": …}``. ``inputs``
are names of the native features (``extract_features_rs``) and signals
(``velkora._signals.signals``), in the order the trees index them. A session is judged by the
model of the modalities it has enough of: both, else pointer alone, else keys alone (the
telemetry of the missing modality is left out, as in training); with neither,
``insufficient-data``. The score is the calibrated probability of bot, ``1 / (1 + exp(-(a ·
raw + b)))`` of the trees' raw sum; above ``threshold`` the session is a bot. The id is
a digest of everything that decides a verdict, so two files with the same id judge alike.

Nothing here reads a file but ``load_model``; everything else is pure.
"""

from __future__ import annotations

import hashlib
import json
import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Protocol

FORMAT = "velkora-model/1"
MODALITIES = ("both", "pointer", "keys")
ID_PREFIX = "vm1-"

# Native features the model never reads. Browser properties are what a script sets at will
# and what differs between capture set-ups (a model would learn the recorder); the
# automation flag is a hard rule of its own; touch has no human data to learn from yet.
EXCLUDED_FEATURES = frozenset({
    "webdriver", "screen_valid", "plugins_length", "touch_supported", "screen_width", "max_touch_points",
    "avg_touch_radius", "touch_radius_var", "avg_touch_force", "touch_event_count",
})
# The telemetry fields of each modality: the other's are removed before a one-modality model
# judges a session, as they were when it was trained.
POINTER_FIELDS = ("mouse_movements", "clicks", "scrolls")
KEY_FIELDS = ("keystrokes",)
# Reasons a verdict names: the inputs that pushed the score most, at most this many.
MAX_MODEL_REASONS = 3

# Short descriptions of the native features a model may read; signals describe themselves
# through velkora.signal_catalogue.
FEATURE_DESCRIPTIONS: dict[str, str] = {
    "mouse_points": "number of pointer samples",
    "total_distance": "pointer path length",
    "straightness": "straightness of the whole pointer path",
    "avg_velocity": "mean pointer speed",
    "max_velocity": "peak pointer speed",
    "velocity_var": "variance of pointer speed",
    "avg_acceleration": "mean pointer acceleration",
    "acceleration_var": "variance of pointer acceleration",
    "avg_jerk": "mean pointer jerk",
    "dt_var": "variance of the pointer sampling interval",
    "click_count": "number of clicks",
    "key_count": "number of keystrokes",
    "key_interval_avg": "mean interval between key presses",
    "key_interval_var": "variance of the interval between key presses",
    "scroll_count": "number of scroll events",
    "terminal_decel_ratio": "how the pointer slows down before it stops",
    "spectral_purity": "how periodic the pointer speed is",
    "spectral_entropy": "spread of the pointer speed's spectrum",
    "submovement_count": "number of pointer sub-movements",
    "curvature_score": "curvature regularity score",
    "mean_curvature": "mean curvature of the pointer path",
    "curvature_var": "variance of the pointer path's curvature",
    "curvature_rate_var": "variance of the rate of curvature change",
    "avg_dwell_time": "mean key hold time",
    "dwell_time_var": "variance of key hold times",
    "avg_flight_time": "mean time between keys",
    "flight_time_var": "variance of the time between keys",
    "digraph_entropy": "entropy of key-pair timings",
    "keystroke_score": "keystroke regularity score",
}


class ModelError(ValueError):
    """A model file that cannot be used; the message says why."""


class Forest(Protocol):
    def explain(self, row: Sequence[float], /) -> tuple[float, float, list[float]]: ...


ForestLoader = Callable[[Mapping[str, Any]], Forest]


def reason_code(name: str) -> str:
    """The stable reason code of a model input: ``model-`` and the name in kebab case."""
    return "model-" + name.replace("_", "-")


def model_inputs(feature_names: Sequence[str], signal_names: Sequence[str]) -> list[str]:
    """What a model reads, in order: the native features it may read, then every signal."""
    return [n for n in feature_names if n not in EXCLUDED_FEATURES] + list(signal_names)


def modality_of(mouse_points: int, key_count: int, minimums: Mapping[str, int]) -> str | None:
    """The modality model that judges a session, or None when neither modality has enough."""
    pointer = mouse_points >= minimums["pointer_points"]
    keys = key_count >= minimums["keys"]
    if pointer and keys:
        return "both"
    return "pointer" if pointer else "keys" if keys else None


def restrict(telemetry: Mapping[str, Any], modality: str) -> dict[str, Any]:
    """The telemetry a one-modality model sees: the other modality's fields removed."""
    dropped = KEY_FIELDS if modality == "pointer" else POINTER_FIELDS if modality == "keys" else ()
    return {k: v for k, v in telemetry.items() if k not in dropped}


def calibrate(raw: float, a: float, b: float) -> float:
    """The Platt-scaled probability of bot for the trees' raw sum."""
    z = a * raw + b
    if z >= 0:
        return 1.0 / (1.0 + math.exp(-z))
    e = math.exp(z)
    return e / (1.0 + e)


def model_id(document: Mapping[str, Any]) -> str:
    """The digest of what decides a verdict: minimums, modality models and reason codes."""
    decisive = {"format": FORMAT, "minimums": {k: document["minimums"][k] for k in ("pointer_points", "keys")},
                "modalities": document["modalities"], "reasons": document["reasons"]}
    text = json.dumps(decisive, sort_keys=True, separators=(",", ":"), allow_nan=False)
    return ID_PREFIX + hashlib.sha256(text.encode("utf-8")).hexdigest()[:16]


@dataclass(frozen=True)
class Reason:
    code: str
    description: str
    contribution: float  # on the raw (log-odds) scale; positive pushes toward bot


@dataclass(frozen=True)
class Judgement:
    modality: str
    score: float  # calibrated probability of bot
    bot: bool
    reasons: tuple[Reason, ...]


@dataclass(frozen=True)
class ModalityModel:
    inputs: tuple[str, ...]
    forest: Forest
    a: float
    b: float
    threshold: float


@dataclass(frozen=True)
class Model:
    id: str
    minimums: Mapping[str, int]
    modalities: Mapping[str, ModalityModel]
    reasons: Mapping[str, tuple[str, str]]  # input name -> (code, description)
    document: Mapping[str, Any]

    def modality(self, mouse_points: int, key_count: int) -> str | None:
        return modality_of(mouse_points, key_count, self.minimums)

    def judge(self, modality: str, values: Mapping[str, Any]) -> Judgement:
        """The judgement of the MODALITY model on VALUES (features and signals by name;
        booleans count 0/1, anything missing or not a number is missing to the trees)."""
        model = self.modalities[modality]
        row = [_number(values.get(name)) for name in model.inputs]
        raw, _bias, contributions = model.forest.explain(row)
        score = calibrate(raw, model.a, model.b)
        bot = score > model.threshold
        # The inputs that pushed toward the verdict given, strongest first.
        sign = 1.0 if bot else -1.0
        ranked = sorted(range(len(contributions)), key=lambda i: (-sign * contributions[i], i))
        reasons = tuple(
            Reason(*self.reasons[model.inputs[i]], contribution=round(contributions[i], 4))
            for i in ranked[:MAX_MODEL_REASONS] if sign * contributions[i] > 0
        )
        return Judgement(modality, score, bot, reasons)


def _number(value: object) -> float:
    if isinstance(value, bool):
        return 1.0 if value else 0.0
    if isinstance(value, int | float):
        number = float(value)
        return number if math.isfinite(number) else math.nan
    return math.nan


def _require(condition: bool, message: str) -> None:
    if not condition:
        raise ModelError(message)


def _finite(value: object, what: str) -> float:
    _require(not isinstance(value, bool) and isinstance(value, int | float) and math.isfinite(value),
             f"{what} must be a finite number")
    return float(value)  # type: ignore[arg-type]


def parse_model(document: object, loader: ForestLoader, available: set[str]) -> Model:
    """A Model from a decoded model file. LOADER compiles a forest (velkora.forest.load_forest);
    AVAILABLE are the input names this build computes. Raises ModelError."""
    _require(isinstance(document, dict), "a model file holds a JSON object")
    assert isinstance(document, dict)
    _require(document.get("format") == FORMAT, f"not a {FORMAT} file (format {document.get('format')!r})")
    minimums = document.get("minimums")
    _require(isinstance(minimums, dict), "minimums must be an object")
    assert isinstance(minimums, dict)
    for key in ("pointer_points", "keys"):
        value = minimums.get(key)
        _require(type(value) is int and value >= 1, f"minimums.{key} must be a whole number >= 1")
    reasons_doc = document.get("reasons")
    _require(isinstance(reasons_doc, dict), "reasons must be an object")
    assert isinstance(reasons_doc, dict)
    reasons: dict[str, tuple[str, str]] = {}
    for name, entry in reasons_doc.items():
        _require(isinstance(entry, dict) and isinstance(entry.get("code"), str)
                 and isinstance(entry.get("description"), str), f"reasons.{name} needs a code and a description")
        reasons[name] = (entry["code"], entry["description"])
    modalities_doc = document.get("modalities")
    _require(isinstance(modalities_doc, dict) and set(modalities_doc) == set(MODALITIES),
             f"modalities must hold exactly {', '.join(MODALITIES)}")
    assert isinstance(modalities_doc, dict)
    modalities: dict[str, ModalityModel] = {}
    for name in MODALITIES:
        entry = modalities_doc[name]
        where = f"modalities.{name}"
        _require(isinstance(entry, dict), f"{where} must be an object")
        inputs = entry.get("inputs")
        _require(isinstance(inputs, list) and all(isinstance(i, str) for i in inputs)
                 and len(set(inputs)) == len(inputs),
                 f"{where}.inputs must be a list of distinct names")
        missing = [i for i in inputs if i not in available]
        _require(not missing, f"{where} reads inputs this build does not compute: {', '.join(missing[:5])}")
        unexplained = [i for i in inputs if i not in reasons]
        _require(not unexplained, f"{where} reads inputs without a reason code: {', '.join(unexplained[:5])}")
        calibration = entry.get("calibration")
        _require(isinstance(calibration, dict) and calibration.get("method") == "platt",
                 f"{where}.calibration must be a platt calibration")
        forest_doc = entry.get("forest")
        _require(isinstance(forest_doc, dict) and forest_doc.get("feature_count") == len(inputs),
                 f"{where}.forest must be a forest over its {len(inputs)} inputs")
        try:
            forest = loader(forest_doc)
        except (TypeError, ValueError) as error:
            raise ModelError(f"{where}.forest: {error}") from None
        threshold = _finite(entry.get("threshold"), f"{where}.threshold")
        _require(0.0 <= threshold <= 1.0, f"{where}.threshold must lie in [0, 1]")
        a = _finite(calibration.get("a"), f"{where}.calibration.a")
        _require(a > 0, f"{where}.calibration.a must be positive (a higher raw score is more likely a bot)")
        b = _finite(calibration.get("b"), f"{where}.calibration.b")
        modalities[name] = ModalityModel(tuple(inputs), forest, a, b, threshold)
    identity = model_id(document)
    _require(document.get("id") == identity, f"the id {document.get('id')!r} does not match the content ({identity}):"
             " the file was edited after training")
    return Model(identity, {k: minimums[k] for k in ("pointer_points", "keys")}, modalities, reasons, document)


def load_model(path: str, available: set[str]) -> Model:
    """The model in PATH (ModelError, naming the file, for anything wrong with it)."""
    from velkora.forest import load_forest

    try:
        with open(path, encoding="utf-8") as f:
            document = json.load(f)
    except OSError as error:
        raise ModelError(f"cannot read the model file {path}: {error.strerror}") from None
    except ValueError as error:
        raise ModelError(f"the model file {path} is not JSON: {error}") from None
    try:
        return parse_model(document, load_forest, available)
    except ModelError as error:
        raise ModelError(f"the model file {path}: {error}") from None
