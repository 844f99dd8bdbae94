"""How well velkora._signals.trace_sketch tells a replayed trace from a new one, measured on
the recorded human sessions in ../shared/data (read from there, never copied).

    .venv/bin/python tools/sketch_analysis.py [--data DIR] [--seeds N]

Prints, per stream (pointer path, key timing):

1. replays: each session put through each transform of tests/python/replay.py (and all of
   them at once), N seeds each: how often the replay still shares a band with the original,
   and its similarity (the estimated Jaccard, the share of equal signature values);
2. windows that overlap (sessions that share source rows): true reuse of part of a trace;
3. distinct pairs (sessions that share no source rows): how many share a shingle or a band,
   and their strongest similarity; the margin between the weakest replays and that;
4. the chance that a new person matches anything in a memory of 100,000 sessions,
   extrapolated (method and assumptions printed with it).

The module makes every sketch; the model of the sketch in tests/python/sketch_model.py
(held to the module bit for bit by the tests) gives the shingle sets themselves and the same
design at lower information thresholds, for the extrapolation.
"""

from __future__ import annotations

import argparse
import collections
import dataclasses
import itertools
import json
import math
import os
import pathlib
import random
import statistics
import sys
from collections.abc import Callable, Sequence
from typing import Any

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))
import replay  # noqa: E402
import sketch_model as model  # noqa: E402
from velkora import _signals  # noqa: E402

MEMORY = 100_000
THRESHOLDS = (0.05, 0.1, 0.2, 0.3, 0.5)
SLOW_DECAY = 1.8  # per bit, for the sensitivity of the extrapolation
MIN_SHINGLES = 8  # a memory may leave out streams with fewer shingles
STREAMS = {
    # name: (source key in _source, sketch key prefix, model stream, transforms)
    "pointer": ("pointer", "pointer", model.POINTER, replay.POINTER_TRANSFORMS),
    "keys": ("keystrokes", "key", model.KEYS, replay.KEY_TRANSFORMS),
}


@dataclasses.dataclass
class Session:
    sid: str
    source: dict[str, Any]
    points: list[model.Point]
    keys: list[model.Key]


def load(data: pathlib.Path) -> list[Session]:
    sessions = []
    for name in ("sessions-train.jsonl", "sessions-sample.jsonl"):
        with open(data / name, encoding="utf-8") as f:
            for line in f:
                if line.strip():
                    s = json.loads(line)
                    sessions.append(Session(s["_id"], s["_source"], model.accepted_points(s),
                                            model.accepted_keys(s)))
    return sessions


def telemetry(points: Sequence[model.Point], keys: Sequence[model.Key]) -> dict[str, Any]:
    return {"mouse_movements": [{"x": x, "y": y, "t": t} for x, y, t in points],
            "keystrokes": [{"t": d} if u is None else {"t": d, "up": u} for d, u in keys]}


def overlapping(sessions: Sequence[Session], kind: str) -> set[tuple[int, int]]:
    """Pairs of sessions whose `kind` windows share source rows."""
    by_file: dict[str, list[tuple[int, list[int]]]] = collections.defaultdict(list)
    for i, s in enumerate(sessions):
        if kind in s.source:
            by_file[s.source[kind]["file"]].append((i, s.source[kind]["rows"]))
    pairs = set()
    for windows in by_file.values():
        for (a, ra), (b, rb) in itertools.combinations(windows, 2):
            if max(ra[0], rb[0]) < min(ra[1], rb[1]):
                pairs.add((min(a, b), max(a, b)))
    return pairs


def share_band(a: dict[str, Any], b: dict[str, Any], prefix: str) -> bool:
    return bool(set(a[f"{prefix}_bands"]) & set(b[f"{prefix}_bands"]))


def similarity(a: dict[str, Any], b: dict[str, Any], prefix: str) -> float:
    return model.estimated_jaccard(a[f"{prefix}_signature"], b[f"{prefix}_signature"])


def quantile(values: Sequence[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else math.nan


def stream_input(s: Session, name: str) -> Any:
    return s.points if name == "pointer" else s.keys


def sketch_of(name: str, trace: Any) -> dict[str, Any]:
    return _signals.trace_sketch(telemetry(trace, []) if name == "pointer" else telemetry([], trace))


def replays(name: str, sessions: Sequence[Session], sketches: Sequence[dict[str, Any]], seeds: int
            ) -> dict[str, list[tuple[bool, float, int]]]:
    _, prefix, _, transforms = STREAMS[name]
    out: dict[str, list[tuple[bool, float, int]]] = {}
    for label, transform in transforms.items():
        rows = []
        for i, s in enumerate(sessions):
            if not sketches[i][f"{prefix}_shingles"]:
                continue
            for seed in range(seeds):
                rng = random.Random(f"{name}/{label}/{s.sid}/{seed}")
                again = sketch_of(name, transform(stream_input(s, name), rng))
                rows.append((share_band(sketches[i], again, prefix), similarity(sketches[i], again, prefix),
                             sketches[i][f"{prefix}_shingles"]))
        out[label] = rows
    return out


def shingle_sets(name: str, sessions: Sequence[Session], params: model.Params) -> list[set[int]]:
    fn: Callable[[Any, model.Params], list[int]] = (
        model.pointer_shingles if name == "pointer" else model.key_shingles)
    return [set(fn(stream_input(s, name), params)) for s in sessions]


def shared_counts(sets: Sequence[set[int]], exclude: set[tuple[int, int]]) -> tuple[int, float]:
    """Shingles shared between sessions of distinct pairs, and the number of shingle pairs
    compared (sum over distinct pairs of |A| |B|)."""
    owners: dict[int, list[int]] = collections.defaultdict(list)
    for i, s in enumerate(sets):
        for h in s:
            owners[h].append(i)
    shared = sum(1 for holders in owners.values() for a, b in itertools.combinations(holders, 2)
                 if (a, b) not in exclude)
    sizes = [len(s) for s in sets]
    compared = (sum(sizes) ** 2 - sum(n * n for n in sizes)) / 2
    compared -= sum(len(sets[a]) * len(sets[b]) for a, b in exclude)
    return shared, compared


def visibility(sets: Sequence[set[int]], pairs: Sequence[tuple[int, int]], stream: int, rng: random.Random,
               threshold: float) -> tuple[float, float]:
    """For distinct pairs that had one shingle in common: the chance that it makes them share
    a band, and that it gives them an estimated similarity of at least `threshold` (one hash
    injected into both sets, averaged over the pairs)."""
    bands = above = 0
    for a, b in pairs:
        common = rng.getrandbits(64)
        sa = model.signature(sorted(sets[a] | {common}))
        sb = model.signature(sorted(sets[b] | {common}))
        if set(model.bands(stream, sa)) & set(model.bands(stream, sb)):
            bands += 1
        if model.estimated_jaccard(sa, sb) >= threshold:
            above += 1
    return bands / len(pairs), above / len(pairs)


def poisson_fit(curve: Sequence[tuple[int, int, float]]) -> tuple[float, float]:
    """(a, b) of shared ~ Poisson(compared * exp(a + b * cost)), by maximum likelihood
    (Newton's method on the centred cost)."""
    mid = statistics.fmean(c for c, _, _ in curve)
    total_s, total_n = sum(s for _, s, _ in curve), sum(n for _, _, n in curve)
    a, b = math.log(max(total_s, 0.5) / total_n), -0.05
    for _ in range(100):
        g_a = g_b = h_aa = h_ab = h_bb = 0.0
        for c, s, n in curve:
            x = c - mid
            mu = n * math.exp(a + b * x)
            g_a += mu - s
            g_b += x * (mu - s)
            h_aa += mu
            h_ab += x * mu
            h_bb += x * x * mu
        det = h_aa * h_bb - h_ab * h_ab
        step_a = (h_bb * g_a - h_ab * g_b) / det
        step_b = (h_aa * g_b - h_ab * g_a) / det
        a, b = a - step_a, b - step_b
        if abs(step_a) + abs(step_b) < 1e-12:
            break
    return a - b * mid, b


def analyse(name: str, sessions: Sequence[Session], seeds: int, match_threshold: float) -> None:
    kind, prefix, stream, _ = STREAMS[name]
    sketches = [sketch_of(name, stream_input(s, name)) for s in sessions]
    have = [i for i, s in enumerate(sketches) if s[f"{prefix}_shingles"]]
    with_data = [i for i, s in enumerate(sessions) if kind in s.source]
    counts = [sketches[i][f"{prefix}_shingles"] for i in have]
    print(f"\n=== {name}: {len(with_data)} sessions with {name} data, {len(have)} with shingles "
          f"(median {statistics.median(counts):.0f}, range {min(counts)}-{max(counts)})")

    print(f"\n1. Replays ({seeds} seeds per session and transform): shares a band / estimated "
          "similarity p1, p10, median / share at or above each threshold")
    print(f"   (band >={MIN_SHINGLES}: the same over the sessions with at least {MIN_SHINGLES} shingles)")
    print(f"   {'transform':<22} {'replays':>7} {'band':>6} {f'>={MIN_SHINGLES}':>6} {'p1':>6} {'p10':>6} "
          f"{'med':>6}   " + " ".join(f">={t:<4}" for t in THRESHOLDS))
    results = replays(name, sessions, sketches, seeds)
    for label, rows in results.items():
        sims = [j for _, j, _ in rows]
        band = sum(b for b, _, _ in rows) / len(rows)
        large = [b for b, _, n in rows if n >= MIN_SHINGLES]
        shares = " ".join(f"{sum(j >= t for j in sims) / len(sims):5.3f}" for t in THRESHOLDS)
        print(f"   {label:<22} {len(rows):7d} {band:6.3f} {sum(large) / max(len(large), 1):6.3f} "
              f"{quantile(sims, 0.01):6.3f} {quantile(sims, 0.10):6.3f} {statistics.median(sims):6.3f}   {shares}")

    reuse = sorted(overlapping(sessions, kind))
    reuse_have = [(a, b) for a, b in reuse if a in have and b in have]
    reuse_band = [p for p in reuse_have if share_band(sketches[p[0]], sketches[p[1]], prefix)]
    reuse_sims = [similarity(sketches[a], sketches[b], prefix) for a, b in reuse_have]
    print(f"\n2. Overlapping windows (true reuse of part of a trace): {len(reuse)} pairs, "
          f"{len(reuse_have)} with shingles on both sides; {len(reuse_band)} share a band; "
          f"similarity median {statistics.median(reuse_sims) if reuse_sims else math.nan:.3f}")

    exclude = set(reuse)
    distinct = [(a, b) for a, b in itertools.combinations(have, 2) if (a, b) not in exclude]
    band_pairs = [p for p in distinct if share_band(sketches[p[0]], sketches[p[1]], prefix)]
    strongest = max((similarity(sketches[a], sketches[b], prefix) for a, b in distinct), default=0.0)
    sets = shingle_sets(name, sessions, model.Params())
    sharing = [p for p in distinct if sets[p[0]] & sets[p[1]]]
    print(f"\n3. Distinct pairs (no shared source rows), both with shingles: {len(distinct)}; "
          f"{len(sharing)} share a shingle, {len(band_pairs)} share a band "
          f"{[(sessions[a].sid, sessions[b].sid) for a, b in band_pairs][:5]}; strongest similarity "
          f"{strongest:.3f}")
    combined = [j for _, j, _ in results["combined"]]
    single = [j for label, rows in results.items() if label != "combined" for _, j, _ in rows]
    for label, sims in (("any single transform", single), ("all transforms combined", combined)):
        print(f"   margin, {label}: weakest replay similarity {min(sims):.3f} (p1 "
              f"{quantile(sims, 0.01):.3f}, p5 {quantile(sims, 0.05):.3f}) - strongest distinct pair "
              f"{strongest:.3f} = {min(sims) - strongest:+.3f} (p1 {quantile(sims, 0.01) - strongest:+.3f}, "
              f"p5 {quantile(sims, 0.05) - strongest:+.3f}); replays above the strongest distinct pair: "
              f"{sum(j > strongest for j in sims) / len(sims):.3f}")

    print("\n4. False matches in a memory of 100,000 sessions")
    cost_field = "pointer_cost" if name == "pointer" else "key_cost"
    module_cost = getattr(model.Params(), cost_field)
    curve = []
    for cost in range(module_cost - 200, module_cost + 1, 20):
        params = dataclasses.replace(model.Params(), **{cost_field: cost})
        shared, compared = shared_counts(shingle_sets(name, sessions, params), exclude)
        curve.append((cost, shared, compared))
    a, b = poisson_fit(curve)
    q = math.exp(a + b * module_cost)
    print("   shingles of at least ... bits: shared among distinct pairs / pairs of shingles compared")
    print("   " + "; ".join(f"{c / 10:g}: {s}/{n:.3g}" for c, s, n in curve))
    print(f"   Poisson log-linear fit of the shared counts over all thresholds (zeros included): q falls by "
          f"a factor of {math.exp(-b * 10):.2f} per bit; at the module's {module_cost / 10:g} bits q = {q:.3g} "
          f"per pair of shingles")
    sizes = [len(sets[i]) for i in have]
    expected_shared = statistics.fmean(len(sets[a]) * len(sets[b]) for a, b in distinct) * q
    sample = random.Random(7).sample(distinct, min(len(distinct), 3000))
    p_band, p_match = visibility(sets, sample, stream, random.Random(11), match_threshold)
    per_pair_band = expected_shared * p_band
    per_pair_match = expected_shared * p_match
    print(f"   mean shingles {statistics.fmean(sizes):.1f}; expected shingles shared by a distinct pair "
          f"{expected_shared:.3g}; one shared shingle makes them share a band with probability "
          f"{p_band:.3f}, reach similarity {match_threshold} with {p_match:.3f} (simulated on "
          f"{len(sample)} pairs)")
    for label, p in (("share a band", per_pair_band), (f"band and similarity >= {match_threshold}", per_pair_match)):
        chance = 1 - (1 - p) ** MEMORY
        print(f"   {label}: per pair {p:.3g}, new person vs {MEMORY:,} sessions: {chance:.2%}")
    # Sensitivity: the extrapolation spans the thresholds where nothing was shared any more.
    last_cost, last_shared, last_compared = max((c, s, n) for c, s, n in curve if s)
    slow_q = last_shared / last_compared / SLOW_DECAY ** ((module_cost - last_cost) / 10)
    slow = expected_shared / q * slow_q * p_band
    print(f"   if q fell by only {SLOW_DECAY} per bit beyond {last_cost / 10:g} bits (the last threshold "
          f"with a shared shingle): q = {slow_q:.3g}, share a band per pair {slow:.3g}, new person vs "
          f"{MEMORY:,} sessions: {1 - (1 - slow) ** MEMORY:.2%}")


def main() -> None:
    default = os.environ.get("VELKORA_SHARED_DATA", str(ROOT.parent / "shared" / "data"))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=pathlib.Path, default=pathlib.Path(default))
    parser.add_argument("--seeds", type=int, default=3, help="replays per session and transform")
    parser.add_argument("--match-threshold", type=float, default=0.5,
                        help="similarity at which a memory calls a candidate a match")
    parser.add_argument("--stream", choices=sorted(STREAMS), action="append")
    args = parser.parse_args()
    sessions = load(args.data)
    p = model.Params()
    print(f"{len(sessions)} sessions from {args.data}")
    print(f"sketch: {p.signature_size} MinHash values, {p.signature_size // p.band_rows} bands of "
          f"{p.band_rows} row(s); shingles of at least {p.pointer_cost / 10} bits (pointer, pauses at "
          f"{', '.join(f'{f:g}' for f in p.pause_factors)} typical intervals) and {p.key_cost / 10} bits (keys)")
    print("replay transforms: translation (integer px), rotation +-15 deg and scaling 0.8-1.25 (whole px), "
          f"jitter {replay.JITTER_PX} px, time stretch 0.8-1.25, {replay.POINTER_DROP:.0%} of samples dropped, "
          f"{replay.POINTER_DUPLICATE:.0%} duplicated, re-captured at other instants; keys: stretch, "
          f"re-captured up to {replay.KEY_LATENCY_MS:g} ms late on a 1 ms clock, {replay.KEY_DROP:.0%} dropped, "
          f"{replay.KEY_DUPLICATE:.0%} duplicated")
    for name in args.stream or list(STREAMS):
        analyse(name, sessions, args.seeds, args.match_threshold)
    print("\nAssumptions of part 4: shared shingles between different people arise independently, at the "
          "rate q per pair of shingles measured on these sessions (distinct pairs include windows of the "
          "same person, which makes q larger, not smaller); q keeps falling log-linearly with the "
          "information threshold beyond the costs where shared shingles are still observed; a new person "
          "and the sessions in memory resemble these (office mouse work, transcription typing) in size; "
          "the memory keeps every session. A pair's chance is the expected number of shared shingles times "
          "the chance that one shared shingle shows in a band (or reaches the similarity); the chance over "
          "the memory is 1 - (1 - per pair) ** 100,000. The two streams are separate: a session that has "
          "both can falsely match through either, so the two chances add up.")


if __name__ == "__main__":
    main()
