"""Time per call of velkora._signals.Forest.raw and .explain against extract_features_rs
in the same run: scoring a session with a model of 200 trees of 15 leaves on 60 features
is meant to cost at most 0.2 of extracting the features of the benchmark's synthetic
session of 300 points and 60 keys (the group's floor).

The model is built here from a seeded generator, not trained: scikit-learn is no bench
dependency, and the cost of a call depends only on the shape of the trees (one path per
tree, from a list of 60 floats in, one float or a tuple with 60 contributions out).
"""

from __future__ import annotations

import math
import random

import velkora_core_rs
from bench_features import synthetic_session
from run_bench import Case
from velkora import _signals

GROUP = "Forest (200 trees x 15 leaves, 60 features) vs extract_features_rs"
TREES, LEAVES, FEATURES = 200, 15, 60


def random_tree(rng: random.Random, leaves: int) -> list[tuple[int, float, bool, int, int, float]]:
    """A binary tree of `leaves` leaves in pre-order (children after their parent), each
    split splitting off a random share of the leaves below it, as a grown tree does."""
    nodes: list[tuple[int, float, bool, int, int, float]] = []

    def grow(count: int) -> int:
        at = len(nodes)
        if count == 1:
            nodes.append((-1, 0.0, False, -1, -1, rng.gauss(0.0, 0.1)))
            return at
        nodes.append((0, 0.0, False, -1, -1, 0.0))  # filled in once the children are placed
        left_count = rng.randint(1, count - 1)
        left = grow(left_count)
        right = grow(count - left_count)
        nodes[at] = (rng.randrange(FEATURES), rng.gauss(0.0, 1.0), rng.random() < 0.5, left, right,
                     rng.gauss(0.0, 0.1))
        return at

    grow(leaves)
    return nodes


def model() -> _signals.Forest:
    rng = random.Random(20261209)
    return _signals.Forest(FEATURES, -0.3, [random_tree(rng, LEAVES) for _ in range(TREES)])


def row() -> list[float]:
    rng = random.Random(7)
    return [math.nan if rng.random() < 0.1 else rng.gauss(0.0, 1.0) for _ in range(FEATURES)]


def cases():
    forest, values = model(), row()
    session = synthetic_session(300, 60)
    return [
        Case(GROUP, "extract_features_rs, synthetic, 300 points, 60 keys", velkora_core_rs.extract_features_rs,
             (session,), floor=True),
        Case(GROUP, "Forest.raw, one row", forest.raw, (values,)),
        Case(GROUP, "Forest.explain, one row", forest.explain, (values,)),
    ]
