"""Time per call of evaluate_keystroke_dynamics_rs over typing-like event lists."""

import random

import velkora_core_rs
from run_bench import Case

TEXT = "the quick brown fox jumps over the lazy dog and then types it again "


def typing(count, seed=7):
    """(key, down, up) tuples: ~120 ms between presses, ~80 ms holds, with jitter."""
    rng = random.Random(seed)
    events, t = [], 0.0
    for i in range(count):
        t += rng.uniform(60.0, 200.0)
        events.append((TEXT[i % len(TEXT)], t, t + rng.uniform(50.0, 120.0)))
    return events


def as_dicts(events):
    return [{"type": "down", "key": k, "down": d, "up": u} for k, d, u in events]


def cases():
    f = velkora_core_rs.evaluate_keystroke_dynamics_rs
    group = "keystrokes"
    out = [Case(group, "is_rust_core_active()", velkora_core_rs.is_rust_core_active, floor=True)]
    for n in (10, 50, 150, 1000):
        out.append(Case(group, f"{n} tuple events", f, (typing(n),)))
    for n in (150, 1000):
        out.append(Case(group, f"{n} dict events", f, (as_dicts(typing(n)),)))
    return out
