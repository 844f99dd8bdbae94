"""Time per call of the two curvature functions over pointer-like paths."""

import math
import random

import velkora_core_rs
from run_bench import Case


def path(count, seed=11):
    """A wandering pointer path: smooth heading changes, ~16 ms between samples."""
    rng = random.Random(seed)
    x, y, t = [0.0], [0.0], [0.0]
    heading = 0.0
    for _ in range(count - 1):
        heading += rng.gauss(0.0, 0.2)
        step = rng.uniform(1.0, 6.0)
        x.append(x[-1] + step * math.cos(heading))
        y.append(y[-1] + step * math.sin(heading))
        t.append(t[-1] + rng.uniform(8.0, 24.0))
    return x, y, t


def cases():
    group = "curvature"
    out = [Case(group, "is_rust_core_active()", velkora_core_rs.is_rust_core_active, floor=True)]
    for name, f in [("naturalness", velkora_core_rs.evaluate_curvature_naturalness_rs),
                    ("zerocopy", velkora_core_rs.evaluate_curvature_zerocopy_rs)]:
        for n in (4, 300, 10_000):
            out.append(Case(group, f"{name}, {n} points (lists)", f, path(n)))
    x, y, t = path(300)
    out.append(Case(group, "naturalness, 300 points (tuples)",
                    velkora_core_rs.evaluate_curvature_naturalness_rs, (tuple(x), tuple(y), tuple(t))))
    return out
