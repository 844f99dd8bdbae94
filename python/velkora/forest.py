"""Gradient-boosted trees trained offline, scored natively at request time.

A binary ``HistGradientBoostingClassifier`` is exported once, where scikit-learn is
installed, into a plain dict that ``json`` writes and reads back exactly::

    {"baseline": float, "feature_count": int,
     "trees": [[{"feature": int, "threshold": float, "missing_left": bool,
                 "left": int, "right": int, "value": float}, ...], ...]}

Each tree is its list of nodes, the root first; ``left`` and ``right`` are positions in
that list and always greater than the node's own, and a leaf has ``left == right == -1``
(its ``feature``, ``threshold`` and ``missing_left`` are not read; the export writes -1,
0.0 and false). A row goes left at a split when ``row[feature] <= threshold``, and a NaN
goes left exactly when ``missing_left`` is true. A threshold may be ``inf``: that is how a
split that sends the missing values one way and every other value the other is written,
and Python's ``json`` writes it as ``Infinity`` (a strict JSON reader elsewhere would need
to be told to accept it). ``value`` is the leaf's score; at a split it is the mean of the
leaves below weighted by their training counts, used only by ``Forest.explain``.

The service loads the dict with :func:`load_forest` and needs no scikit-learn: only
:func:`export_hgb` imports it, and only when called.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, TypedDict

from velkora._signals import Forest

__all__ = ["Forest", "ForestData", "ForestNodeData", "export_hgb", "load_forest"]

NODE_KEYS = ("feature", "threshold", "missing_left", "left", "right", "value")
FOREST_KEYS = ("baseline", "feature_count", "trees")


class ForestNodeData(TypedDict):
    feature: int
    threshold: float
    missing_left: bool
    left: int
    right: int
    value: float


class ForestData(TypedDict):
    baseline: float
    feature_count: int
    trees: list[list[ForestNodeData]]


def export_hgb(estimator: Any) -> ForestData:
    """The trees of a fitted binary ``HistGradientBoostingClassifier`` on numeric features.

    Leaf values are the model's own, so ``load_forest(export_hgb(m)).raw(row)`` equals
    ``m.decision_function([row])[0]``; a row lists the features in the order the model was
    fitted on (the columns of ``m.feature_names_in_`` for a DataFrame, which are not kept).
    The value of a split is recomputed from its children, weighted by their training
    counts: the model's own split values are not on the scale of its leaves. Raises
    TypeError for anything but that estimator and ValueError for a model this format
    cannot hold (not fitted, more than two classes, categorical features).
    """
    from sklearn.ensemble import HistGradientBoostingClassifier

    if not isinstance(estimator, HistGradientBoostingClassifier):
        raise TypeError(f"export_hgb needs a HistGradientBoostingClassifier, not {type(estimator).__name__}")
    predictors = getattr(estimator, "_predictors", None)
    if predictors is None:
        raise ValueError("export_hgb needs a fitted model: call fit() first")
    if len(estimator.classes_) != 2 or estimator.n_trees_per_iteration_ != 1:
        raise ValueError(f"export_hgb handles binary classification only, not {len(estimator.classes_)} classes")
    categorical = getattr(estimator, "is_categorical_", None)
    if categorical is not None and bool(categorical.any()):
        raise ValueError("export_hgb handles numeric features only; this model has categorical ones")
    baseline = [float(b) for b in estimator._baseline_prediction.ravel()]
    if len(baseline) != 1:
        raise ValueError(f"export_hgb expects one baseline score, not {len(baseline)}")
    trees: list[list[ForestNodeData]] = []
    for number, iteration in enumerate(predictors):
        if len(iteration) != 1:
            raise ValueError(f"iteration {number} has {len(iteration)} trees; a binary model has one")
        trees.append(_export_tree(number, iteration[0].nodes))
    return {"baseline": baseline[0], "feature_count": int(estimator.n_features_in_), "trees": trees}


def _export_tree(number: int, nodes: Any) -> list[ForestNodeData]:
    size = len(nodes)
    is_leaf = [bool(v) for v in nodes["is_leaf"]]
    if any(bool(v) for v in nodes["is_categorical"]):
        raise ValueError(f"tree {number} splits on a categorical feature")
    left = [int(v) for v in nodes["left"]]
    right = [int(v) for v in nodes["right"]]
    counts = [int(v) for v in nodes["count"]]
    values = [float(v) for v in nodes["value"]]
    # Children come after their parent in the predictor's layout, so one pass from the
    # end sees both children of a split before the split itself.
    for i in range(size - 1, -1, -1):
        if is_leaf[i]:
            continue
        if not (i < left[i] < size and i < right[i] < size):
            raise ValueError(f"tree {number}, node {i}: children {left[i]}, {right[i]} are not after it")
        total = counts[left[i]] + counts[right[i]]
        if total <= 0:
            raise ValueError(f"tree {number}, node {i}: its children saw no training samples")
        values[i] = (counts[left[i]] * values[left[i]] + counts[right[i]] * values[right[i]]) / total
    out: list[ForestNodeData] = []
    for i in range(size):
        if is_leaf[i]:
            out.append({"feature": -1, "threshold": 0.0, "missing_left": False, "left": -1, "right": -1,
                        "value": values[i]})
        else:
            out.append({"feature": int(nodes["feature_idx"][i]), "threshold": float(nodes["num_threshold"][i]),
                        "missing_left": bool(nodes["missing_go_to_left"][i]), "left": left[i],
                        "right": right[i], "value": values[i]})
    return out


def load_forest(data: Mapping[str, Any]) -> Forest:
    """The native forest that ``data`` (as :func:`export_hgb` makes it, or as ``json``
    reads it back) describes.

    The shape is checked here (TypeError for a missing or unknown key or a value of the
    wrong type, naming where), the trees themselves by ``Forest`` (ValueError for a child
    out of range or not after its parent, a node reachable twice or not at all, a split
    feature out of range, a NaN threshold, a non-finite value).
    """
    if not isinstance(data, Mapping):
        raise TypeError(f"forest data must be a mapping, not {type(data).__name__}")
    _check_keys("forest data", data, FOREST_KEYS)
    feature_count = _integer("feature_count", data["feature_count"])
    baseline = _number("baseline", data["baseline"])
    trees = _sequence("trees", data["trees"])
    native: list[list[tuple[int, float, bool, int, int, float]]] = []
    for t, tree in enumerate(trees):
        nodes = _sequence(f"trees[{t}]", tree)
        converted = []
        for n, node in enumerate(nodes):
            where = f"trees[{t}][{n}]"
            if not isinstance(node, Mapping):
                raise TypeError(f"{where} must be a mapping, not {type(node).__name__}")
            _check_keys(where, node, NODE_KEYS)
            missing_left = node["missing_left"]
            if not isinstance(missing_left, bool):
                raise TypeError(f"{where}['missing_left'] must be a bool, not {type(missing_left).__name__}")
            converted.append((_integer(f"{where}['feature']", node["feature"]),
                              _number(f"{where}['threshold']", node["threshold"]), missing_left,
                              _integer(f"{where}['left']", node["left"]),
                              _integer(f"{where}['right']", node["right"]),
                              _number(f"{where}['value']", node["value"])))
        native.append(converted)
    return Forest(feature_count, baseline, native)


def _check_keys(where: str, mapping: Mapping[str, Any], keys: Sequence[str]) -> None:
    missing = [repr(k) for k in keys if k not in mapping]
    unknown = sorted(repr(k) for k in mapping if k not in keys)
    if missing or unknown:
        problems = [f"{label} keys [{', '.join(names)}]" for label, names in (("missing", missing),
                                                                              ("unknown", unknown)) if names]
        raise TypeError(f"{where}: {', '.join(problems)}")


def _integer(where: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{where} must be an int, not {type(value).__name__}")
    return value


def _number(where: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, int | float):
        raise TypeError(f"{where} must be a float, not {type(value).__name__}")
    return float(value)


def _sequence(where: str, value: object) -> Sequence[Any]:
    if isinstance(value, str | bytes) or not isinstance(value, Sequence):
        raise TypeError(f"{where} must be a list, not {type(value).__name__}")
    return value
