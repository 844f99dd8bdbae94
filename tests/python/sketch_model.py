"""A model of velkora._signals.trace_sketch in Python, written from the description of the
sketch (docs/module.md, "Trace sketch"): symbols, shingles, one-permutation MinHash with
densification, bands. The tests hold the module to it bit for bit; tools/sketch_analysis.py
uses it to look inside a sketch (the shingle sets themselves, and the same design under other
constants), which the module does not expose.

Input is what the telemetry reader accepts: pointer samples (x, y, t) and keystrokes
(down, up or None), in input order. `Params()` holds the module's constants."""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Iterable, Sequence

from test_nonce_cache_native import siphash13

MASK = (1 << 64) - 1
VERSION = 3
POINTER, KEYS = ord("P"), ord("K")
SHINGLE_KEYS = {ord("P"): (0x2061726F6B6C6576, 0x317265746E696F70),  # "velkora pointer1"
                ord("K"): (0x2061726F6B6C6576, 0x312020207379656B)}  # "velkora keys   1"
BAND_SALT = 0x31202073646E6162  # "bands  1"
DENSIFY_DRAWS = 32
CORNER_BOUND_SLACK = 1.0 + 1e-9

# Unit vectors at 15, 45, ..., 345 degrees: the bounds of the 12 turn sectors.
C15, S15, H45 = 0.96592582628906829, 0.25881904510252076, 0.70710678118654752
SECTOR_BOUNDS = [(C15, S15), (H45, H45), (S15, C15), (-S15, C15), (-H45, H45), (-C15, S15),
                 (-C15, -S15), (-H45, -H45), (-S15, -C15), (S15, -C15), (H45, -H45), (C15, -S15)]
# 2 ** (0.6 k - 0.3), k = -2 ... 4, and 2 ** (0.5 k - 0.25), k = -1 ... 2.
FLIGHT_BOUNDS = [0.35355339059327376, 0.53588673126814658, 0.81225239635623552,
                 1.2311444133449163, 1.8660659830736148, 2.8284271247461901, 4.2870938501451727]
HOLD_BOUNDS = [0.59460355750136053, 0.84089641525371454, 1.1892071150027211,
               1.6817928305074291]


@dataclasses.dataclass(frozen=True)
class Params:
    pause_factors: tuple[float, ...] = (3.0, 4.5, 6.75, 10.0, 15.0)
    pause_slack: float = 1e-5
    min_chord_fraction: float = 0.1
    bend_fraction: float = 0.12
    pointer_cost: int = 360
    pointer_max_symbols: int = 16
    key_cost: int = 360
    key_max_symbols: int = 32
    key_reference: int = 12
    signature_size: int = 32
    band_rows: int = 1
    # The shingles of the flight-only symbols too (what a press-only collector sends).
    key_flight_only: bool = True
    # Cuts at corners besides the pauses (0: pauses only, as the module cuts). An analysis
    # option: measured (see docs/module.md, "Trace sketch"), not in the module, whose cost
    # limit it exceeds.
    corner_tolerance: float = 0.0
    corner_max_span: int = 256


Point = tuple[float, float, float]
Key = tuple[float, "float | None"]


def lower_median(values: Iterable[float]) -> float:
    ordered = sorted(values)
    return ordered[(len(ordered) - 1) // 2]


def interquartile_mean(values: Iterable[float]) -> float:
    ordered = sorted(values)
    n = len(ordered)
    total = 0.0
    for v in ordered[n // 4:n - n // 4]:
        total += v
    return total / (n - 2 * (n // 4))


def no_nan(v: float) -> float:
    return math.inf if math.isnan(v) else v


# --- pointer ---------------------------------------------------------------------------

def ratio_bounds() -> list[float]:
    bound = 0.70710678118654752
    for _ in range(3):
        bound /= 2.0
    out = []
    for _ in range(8):
        out.append(bound)
        bound *= 2.0
    return out


RATIO_BOUNDS = ratio_bounds()


def turn_sector(a: tuple[float, float], b: tuple[float, float]) -> int:
    dot = a[0] * b[0] + a[1] * b[1]
    cross = a[0] * b[1] - a[1] * b[0]
    ux, uy = -dot, -cross
    for k in range(12):
        lo, hi = SECTOR_BOUNDS[(k + 11) % 12], SECTOR_BOUNDS[k]
        if lo[0] * uy - lo[1] * ux >= 0.0 and hi[0] * uy - hi[1] * ux < 0.0:
            return k
    return 0


def pointer_symbols(points: Sequence[Point], p: Params = Params()) -> list[list[tuple[int, int]]]:
    """Per pause factor, (code, cost) per pair of consecutive movements."""
    if len(points) < 3:
        return []
    s = sorted(points, key=lambda q: q[2])
    n = len(s)
    intervals = [s[i + 1][2] - s[i][2] for i in range(n - 1) if s[i + 1][2] - s[i][2] > 0.0]
    if not intervals:
        return []
    typical = interquartile_mean(intervals)
    runs = [symbols_at(s, factor * typical * (1.0 + p.pause_slack), p) for factor in p.pause_factors]
    if p.corner_tolerance > 0.0:
        runs.append(symbols_from_rests(s, corners(s, p), p))
    return runs


def corners(s: Sequence[Point], p: Params) -> list[int]:
    """Rest positions by geometry alone: from an anchor, the chord grows sample by sample
    until a sample between lies farther from it than corner_tolerance times its length;
    the farthest such sample is the next anchor. The full scan of the samples between is
    skipped while a bound (each excursion moves by at most |ux| |sy| + |uy| |sx| when the
    chord's end moves by (sx, sy)) shows that none can exceed the tolerance."""
    n = len(s)
    rests = [0]
    a, j = 0, 1
    bound = reach_x = reach_y = 0.0
    while j < n:
        dx, dy = s[j][0] - s[a][0], s[j][1] - s[a][1]
        length2 = dx * dx + dy * dy
        if j - 1 > a:
            sx, sy = abs(s[j][0] - s[j - 1][0]), abs(s[j][1] - s[j - 1][1])
            moved = bound + (reach_x * sy + reach_y * sx)
            ux, uy = s[j - 1][0] - s[a][0], s[j - 1][1] - s[a][1]
            newest = abs(ux * dy - uy * dx)
            bound = (newest if newest > moved else moved) * CORNER_BOUND_SLACK
            reach_x = abs(ux) if abs(ux) > reach_x else reach_x
            reach_y = abs(uy) if abs(uy) > reach_y else reach_y
        limit = p.corner_tolerance * length2
        cut = 0
        if length2 > 0.0 and not bound <= limit:
            widest, at = 0.0, 0
            for i in range(a + 1, j):
                side = abs((s[i][0] - s[a][0]) * dy - (s[i][1] - s[a][1]) * dx)
                if side > widest:
                    widest, at = side, i
            if widest > limit:
                cut = at
            bound = widest
        if cut == 0 and j - a >= p.corner_max_span:
            cut = j
        if cut:
            rests.append(cut)
            a, j = cut, cut + 1
            bound = reach_x = reach_y = 0.0
        else:
            j += 1
    if rests[-1] != n - 1:
        rests.append(n - 1)
    return rests


def symbols_at(s: Sequence[Point], pause: float, p: Params) -> list[tuple[int, int]]:
    n = len(s)
    rests = [0]
    for i in range(n - 1):
        if s[i + 1][2] - s[i][2] > pause and i != rests[-1]:
            rests.append(i)
    if rests[-1] != n - 1:
        rests.append(n - 1)
    return symbols_from_rests(s, rests, p)


def symbols_from_rests(s: Sequence[Point], rests: list[int], p: Params) -> list[tuple[int, int]]:
    if len(rests) < 3:
        return []

    def chord(a: int, b: int) -> tuple[int, int, float, float, float]:
        dx, dy = s[b][0] - s[a][0], s[b][1] - s[a][1]
        return a, b, dx, dy, no_nan(dx * dx + dy * dy)

    lengths2 = sorted(chord(rests[j], rests[j + 1])[4] for j in range(len(rests) - 1))
    long2 = lengths2[len(lengths2) * 9 // 10]
    if not long2 > 0.0:
        return []
    min2 = p.min_chord_fraction * p.min_chord_fraction * long2
    moves = []
    start = rests[0]
    for j in range(1, len(rests)):
        c = chord(start, rests[j])
        if c[4] < min2:
            continue
        moves.append(c)
        start = rests[j]
    symbols = []
    for a, b in zip(moves, moves[1:]):
        turn = turn_sector((a[2], a[3]), (b[2], b[3]))
        ratio = -4
        for i, bound in enumerate(RATIO_BOUNDS):
            if b[4] >= a[4] * bound:
                ratio = i - 3
        widest = 0.0
        for i in range(b[0] + 1, b[1]):
            side = (s[i][0] - s[b[0]][0]) * b[3] - (s[i][1] - s[b[0]][1]) * b[2]
            if abs(side) > abs(widest):
                widest = side
        bend = 0 if abs(widest) < p.bend_fraction * b[4] else (1 if widest > 0.0 else -1)
        code = (turn * 9 + ratio + 4) * 3 + bend + 1
        turn_cost = 23 if turn == 0 else 30 if turn in (1, 11) else 37
        symbols.append((code, turn_cost + 24 + 3 * abs(ratio) + 14))
    return symbols


# --- keys ------------------------------------------------------------------------------

def hold_of(down: float, up: float | None) -> float | None:
    if up is None:
        return None
    hold = up - down
    return hold if math.isfinite(hold) and hold > 0.0 else None


def same_stroke(a: Key, b: Key) -> bool:
    if a[0] != b[0] or (a[1] is None) != (b[1] is None):
        return False
    if a[1] is None or b[1] is None:
        return True
    return a[1] == b[1] or (math.isnan(a[1]) and math.isnan(b[1]))


def key_symbols(keys: Sequence[Key], reference: int = 12) -> list[tuple[int, int]]:
    unique: list[Key] = []
    group = 0
    for k in sorted(keys, key=lambda k: k[0]):
        if not unique or unique[-1][0] != k[0]:
            group = len(unique)
        if not any(same_stroke(u, k) for u in unique[group:]):
            unique.append(k)
    if len(unique) < 2:
        return []
    flights = [unique[i][0] - unique[i - 1][0] for i in range(1, len(unique))]
    holds = [hold_of(*k) for k in unique]
    symbols = []
    for i in range(1, len(unique)):
        start = max(0, i - reference)
        # The strokes start ... i - 1 before this one: their flights and holds.
        before = [f for f in flights[start:i - 1] if f > 0.0]
        flight = flights[i - 1]
        f = -3
        if flight > 0.0 and before:
            median_flight = lower_median(before)
            for j, bound in enumerate(FLIGHT_BOUNDS):
                if flight >= median_flight * bound:
                    f = j - 2
        cost = 15 + 7 * abs(f)
        h = 5
        earlier = [x for x in holds[start:i] if x is not None]
        hold = holds[i]
        if hold is not None and earlier:
            median_hold = lower_median(earlier)
            step = -2
            for j, bound in enumerate(HOLD_BOUNDS):
                if hold >= median_hold * bound:
                    step = j - 1
            h = step + 2
            cost += 11 + 13 * abs(step)
        symbols.append((f + 3 + 8 * h, cost))
    return symbols


# --- shingles, MinHash, bands ----------------------------------------------------------

def shingle_hashes(stream: int, symbols: Sequence[tuple[int, int]], min_cost: int,
                   max_symbols: int) -> set[int]:
    out = set()
    n = len(symbols)
    for start in range(n):
        cost, end = 0, start
        while end < n and end - start < max_symbols and cost < min_cost:
            cost += symbols[end][1]
            end += 1
        if cost < min_cost:
            if end == n:
                break
            continue
        width = 1 if stream == KEYS else 2
        message = b"".join(c.to_bytes(width, "little") for c, _ in symbols[start:end])
        out.add(siphash13(*SHINGLE_KEYS[stream], message))
    return out


def mix(z: int) -> int:
    z = (z + 0x9E3779B97F4A7C15) & MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


def signature(shingles: Sequence[int], size: int = 32) -> list[int]:
    if not shingles:
        return []
    shift = 64 - (size.bit_length() - 1)
    own: dict[int, int] = {}
    for h in shingles:
        own[h >> shift] = min(h, own.get(h >> shift, h))
    out = []
    for i in range(size):
        if i in own:
            out.append(own[i])
            continue
        donor = next((j for j in (mix((i << 32) | d) >> shift for d in range(1, DENSIFY_DRAWS + 1))
                      if j in own), None)
        if donor is None:
            donor = next((i + k) % size for k in range(1, size + 1) if (i + k) % size in own)
        out.append(own[donor])
    return out


def bands(stream: int, sig: Sequence[int], rows: int = 1) -> list[int]:
    out = []
    for band in range(len(sig) // rows):
        h = mix(BAND_SALT ^ (stream << 48) ^ (VERSION << 40) ^ band)
        for v in sig[band * rows:(band + 1) * rows]:
            h = mix(h ^ v)
        out.append(h)
    return out


def pointer_shingles(points: Sequence[Point], p: Params = Params()) -> list[int]:
    out: set[int] = set()
    for run in pointer_symbols(points, p):
        out |= shingle_hashes(POINTER, run, p.pointer_cost, p.pointer_max_symbols)
    return sorted(out)


def flight_only(symbols: Sequence[tuple[int, int]]) -> list[tuple[int, int]]:
    """The symbols as a session without releases has them: the hold part dropped."""
    out = []
    for code, _ in symbols:
        f = code % 8 - 3
        out.append((f + 3 + 8 * 5, 15 + 7 * abs(f)))
    return out


def key_shingles(keys: Sequence[Key], p: Params = Params()) -> list[int]:
    symbols = key_symbols(keys, p.key_reference)
    out = shingle_hashes(KEYS, symbols, p.key_cost, p.key_max_symbols)
    if p.key_flight_only:
        out |= shingle_hashes(KEYS, flight_only(symbols), p.key_cost, p.key_max_symbols)
    return sorted(out)


def trace_sketch(points: Sequence[Point], keys: Sequence[Key], p: Params = Params()) -> dict[str, object]:
    result: dict[str, object] = {"version": VERSION}
    for name, stream, shingles in (("pointer", POINTER, pointer_shingles(points, p)),
                                   ("key", KEYS, key_shingles(keys, p))):
        sig = signature(shingles, p.signature_size)
        result[f"{name}_bands"] = bands(stream, sig, p.band_rows)
        result[f"{name}_signature"] = sig
        result[f"{name}_shingles"] = len(shingles)
    return result


def estimated_jaccard(a: Sequence[int], b: Sequence[int]) -> float:
    """The share of equal signature values: 0.0 when either signature is empty."""
    if not a or not b:
        return 0.0
    return sum(x == y for x, y in zip(a, b)) / len(a)


# --- the reader's rules, for well-formed sessions ----------------------------------------

def accepted_points(telemetry: dict) -> list[Point]:
    """The samples the telemetry reader accepts from plain JSON data."""
    out = []
    for entry in telemetry.get("mouse_movements") or []:
        if not isinstance(entry, dict):
            continue
        try:
            x, y, t = (float(entry[k]) for k in ("x", "y", "t"))
        except (KeyError, TypeError, ValueError):
            continue
        if math.isfinite(x) and math.isfinite(y) and math.isfinite(t):
            out.append((x, y, t))
    return out


def accepted_keys(telemetry: dict) -> list[Key]:
    """The keystrokes the telemetry reader accepts from plain JSON data (first 150 entries)."""
    out: list[Key] = []
    entries = telemetry.get("keystrokes")
    for entry in (entries if isinstance(entries, list) else [])[:150]:
        if not isinstance(entry, dict):
            continue
        down = None
        for name in ("t", "down", "time"):
            value = entry.get(name)
            if isinstance(value, (int, float)) and math.isfinite(float(value)):
                down = float(value)
                break
        if down is None:
            continue
        up = entry.get("up")
        if isinstance(up, (int, float)):
            out.append((down, float(up)))
        elif isinstance(entry.get("duration_ms"), (int, float)):
            out.append((down, down + float(entry["duration_ms"])))
        else:
            out.append((down, None))
    return out
