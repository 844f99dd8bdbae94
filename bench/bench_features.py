"""Time per call of extract_features_rs on real and synthetic sessions.

The floor of the group is the bare sine/cosine work of one full velocity
spectrum over the 300-point window (299 velocities, 149 frequencies: 149 x 299
sincos calls), run as a C loop compiled here with the system compiler and
entered through ctypes: it measures that loop plus one ctypes call (well under
a microsecond), and nothing of the interpreter-facing work. Without a C
compiler the floor case is left out and reports() says so.

The reading groups time extract_features_rs on 100,000 pointer samples and
nothing else, against pulling three values out of each of the same sample dicts
with itemgetter; derived() turns them into a cost per sample.

The real sessions are read from ../shared/data/sessions-sample.jsonl beside the
repository when that file is present; it is never copied into the repository.
"""

from __future__ import annotations

import ctypes
import hashlib
import json
import math
import operator
import os
import pathlib
import random
import shutil
import subprocess
import tempfile

import velkora_core_rs
from run_bench import Case

REPO = pathlib.Path(__file__).resolve().parent.parent
SAMPLE = REPO.parent / "shared" / "data" / "sessions-sample.jsonl"
BUILD_DIR = REPO / "bench" / "results"

FLOOR_SOURCE = r"""
#include <math.h>

/* One full transform's worth of sincos calls: frequencies 1..m/2, angles w*j
   for j = 0..m-1, w = (k * 2pi) / m. The sums only keep the calls alive. */
double sincos_floor(int m) {
    const double two_pi = 6.283185307179586;
    double sink = 0.0;
    for (int k = 1; k <= m / 2; ++k) {
        const double w = ((double)k * two_pi) / (double)m;
        for (int j = 0; j < m; ++j) {
            double s, c;
            sincos(w * (double)j, &s, &c);
            sink += s + c;
        }
    }
    return sink;
}
"""

_notes: list[str] = []


def _build_floor():
    """The compiled floor function, or None when no C compiler is at hand."""
    compiler = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")
    if compiler is None:
        _notes.append("features floor: no C compiler found; the sincos floor case is left out")
        return None
    digest = hashlib.sha256((compiler + FLOOR_SOURCE).encode()).hexdigest()[:16]
    library = BUILD_DIR / f"sincos_floor-{digest}.so"
    if not library.exists():
        BUILD_DIR.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryDirectory(dir=BUILD_DIR) as tmp:
            source = pathlib.Path(tmp) / "floor.c"
            source.write_text(FLOOR_SOURCE)
            built = pathlib.Path(tmp) / "floor.so"
            # -D_GNU_SOURCE for sincos; no fast-math, no contraction, as in the module.
            result = subprocess.run(
                [compiler, "-O2", "-D_GNU_SOURCE", "-ffp-contract=off", "-shared", "-fPIC",
                 "-o", str(built), str(source), "-lm"],
                capture_output=True, text=True)
            if result.returncode != 0:
                _notes.append(f"features floor: {compiler} failed: {result.stderr.strip()}")
                return None
            os.replace(built, library)
    fn = ctypes.CDLL(str(library)).sincos_floor
    fn.argtypes = [ctypes.c_int]
    fn.restype = ctypes.c_double
    return fn


def synthetic_session(points, keys, seed=5):
    """A wandering pointer at ~60 Hz and a typing run of `keys` keystrokes."""
    rng = random.Random(seed)
    moves, x, y, t, heading = [], 500.0, 400.0, 0.0, 0.0
    for _ in range(points):
        moves.append({"x": round(x, 1), "y": round(y, 1), "t": round(t, 1)})
        heading += rng.gauss(0.0, 0.3)
        step = rng.uniform(0.5, 12.0)
        x += step * math.cos(heading)
        y += step * math.sin(heading)
        t += rng.choice([16.7, 16.6, 8.3, 33.3])
    strokes, t = [], 0.0
    for i in range(keys):
        dwell = rng.uniform(60, 130)
        strokes.append({"key": "etaoin shrdlu"[i % 13], "down": t, "up": t + dwell})
        t += dwell + rng.uniform(40, 250)
    return {
        "browser": {"webdriver": False, "screen_width": 1920, "screen_height": 1080,
                    "touch_supported": False, "max_touch_points": 0, "plugins_length": 5},
        "mouse_movements": moves,
        "clicks": [{"t": 0}] * 3,
        "scrolls": [],
        "keystrokes": strokes,
    }


def real_sessions():
    if not SAMPLE.exists():
        _notes.append(f"features: {SAMPLE} not found; real-session cases left out")
        return []
    with open(SAMPLE, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def _all(sessions):
    for s in sessions:
        velkora_core_rs.extract_features_rs(s)


READ_SAMPLES = 100_000
GROUP = "extract_features_rs"
ORDERED = f"pointer samples, {READ_SAMPLES:,} in time order"
SHUFFLED = f"pointer samples, {READ_SAMPLES:,} shuffled"
REVERSED = f"pointer samples, {READ_SAMPLES:,} in reverse time order"
ITEMGETTER = 'list(map(itemgetter("x", "y", "t"), samples))'
ONLY_300 = 'extract_features_rs, the first 300 samples only'
ALL_SAMPLES = 'extract_features_rs({"mouse_movements": samples})'


def _itemgetter_floor(samples):
    list(map(GET_XYT, samples))


GET_XYT = operator.itemgetter("x", "y", "t")


def cases():
    out = []
    floor = _build_floor()
    if floor is not None:
        out.append(Case(GROUP, "bare sincos loop, 149 x 299 angles (C via ctypes)", floor, (299,),
                        floor=True))
    extract = velkora_core_rs.extract_features_rs
    for points, keys in ((10, 60), (120, 60), (300, 0), (300, 60), (300, 150), (1_000, 60),
                         (100_000, 60)):
        out.append(Case(GROUP, f"synthetic, {points} points, {keys} keys", extract,
                        (synthetic_session(points, keys),)))
    sessions = real_sessions()
    if sessions:
        by_id = {s["_id"]: s for s in sessions}
        out.append(Case(GROUP, f"real: all {len(sessions)} sessions, one call each", _all,
                        (sessions,)))
        for sid in ("sample-005", "sample-012", "sample-016", "sample-022", "sample-030"):
            if sid in by_id:
                s = by_id[sid]
                label = (f"real: {sid} ({len(s.get('mouse_movements', []))} points, "
                         f"{len(s.get('keystrokes', []))} keys)")
                out.append(Case(GROUP, label, extract, (s,)))

    # Reading: the same sample dicts in time order, shuffled and reversed (the
    # window must then be selected), against pulling three values out of each
    # dict in Python.
    samples = synthetic_session(READ_SAMPLES, 0)["mouse_movements"]
    shuffled = list(samples)
    random.Random(11).shuffle(shuffled)
    for group, rows in ((ORDERED, samples), (SHUFFLED, shuffled), (REVERSED, samples[::-1])):
        out.append(Case(group, ITEMGETTER, _itemgetter_floor, (rows,), floor=True))
        out.append(Case(group, ALL_SAMPLES, extract, ({"mouse_movements": rows},)))
    out.append(Case(ORDERED, ONLY_300, extract, ({"mouse_movements": samples[:300]},)))
    return out


def derived(times):
    """Per-sample reading cost: the 100,000-sample call less the call on its first
    300 samples (the window's fixed work), per sample beyond the window."""
    try:
        floor = times[f"{ORDERED}: {ITEMGETTER}"] / READ_SAMPLES
        per_sample = ((times[f"{ORDERED}: {ALL_SAMPLES}"] - times[f"{ORDERED}: {ONLY_300}"])
                      / (READ_SAMPLES - 300))
    except KeyError:
        return []
    return [f"reading one pointer sample: {per_sample * 1e9:.1f} ns against {floor * 1e9:.1f} ns "
            f"for itemgetter ({per_sample / floor:.2f} x)"]


def reports():
    return list(_notes)
