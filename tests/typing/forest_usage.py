"""Checked by mypy --strict, never run: what the Forest stubs let through and refuse
(see usage.py for the convention of the `# type: ignore[code]` lines)."""

from __future__ import annotations

import json
from typing import assert_type

from velkora._signals import Forest
from velkora.forest import ForestData, export_hgb, load_forest

leaf = (-1, 0.0, False, -1, -1, 1.0)
forest = Forest(1, 0.5, [[(0, 1.0, True, 1, 2, 0.0), leaf, leaf]])
assert_type(forest.raw([1.0]), float)
assert_type(forest.raw((1,)), float)
assert_type(forest.explain([1.0]), tuple[float, float, list[float]])
assert_type(forest.feature_count, int)
assert_type(forest.tree_count, int)
assert_type(forest.baseline, float)

forest.raw(["1.0"])  # type: ignore[list-item]
forest.raw(1.0)  # type: ignore[arg-type]
Forest(1, 0.5, [[(0, 1.0, 1, 2, 0.0)]])  # type: ignore[list-item]
Forest(1, 0.5, [[(0, 1.0, "yes", 1, 2, 0.0)]])  # type: ignore[list-item]
forest.feature_count = 2  # type: ignore[misc]


class Sub(Forest):  # type: ignore[misc]
    pass


data: ForestData = export_hgb(object())
assert_type(load_forest(json.loads(json.dumps(data))), Forest)
assert_type(data["trees"][0][0]["missing_left"], bool)
