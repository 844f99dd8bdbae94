// Pointer symbols: the path is cut into movements at its pauses, and each pair
// of consecutive movements becomes one symbol from their chords (the straight
// lines from rest position to rest position): the turn from one chord to the
// next, the ratio of their lengths and whether the second movement bends away
// from its chord. Rest positions, chords and their relations do not change when
// the path is moved, turned or scaled, when its tempo changes, or when it is
// sampled at other instants; a movement is many samples long, so a lost or a
// doubled sample rarely moves its ends.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "sketch/symbols.h"

namespace {

// Boundaries of the turn sectors: unit vectors at 15, 45, ..., 345 degrees.
// Sector k holds the directions from boundary k-1 (inclusive) to boundary k.
constexpr double C15 = 0.96592582628906829;  // cos 15 degrees
constexpr double S15 = 0.25881904510252076;  // sin 15 degrees
constexpr double H45 = 0.70710678118654752;  // cos 45 = sin 45 degrees
constexpr std::array<std::array<double, 2>, POINTER_TURN_SECTORS> SECTOR_BOUNDS = {{
    {C15, S15},
    {H45, H45},
    {S15, C15},
    {-S15, C15},
    {-H45, H45},
    {-C15, S15},
    {-C15, -S15},
    {-H45, -H45},
    {-S15, -C15},
    {S15, -C15},
    {H45, -H45},
    {C15, -S15},
}};

// A ratio of lengths is in step k (or above) when its square is at least
// 2 ** (k - 0.5): 2 ** -0.5 times a power of two, which multiplies exactly.
// RATIO_BOUNDS[i] is the bound of step i - POINTER_RATIO_STEPS + 1.
constexpr auto RATIO_BOUNDS = [] {
    std::array<double, 2 * POINTER_RATIO_STEPS> bounds{};
    double bound = 0.70710678118654752;  // 2 ** -0.5, the bound of step 0
    for (int k = 0; k < POINTER_RATIO_STEPS - 1; ++k) bound /= 2.0;
    for (double& b : bounds) {
        b = bound;
        bound *= 2.0;
    }
    return bounds;
}();

// Information per symbol part, in tenths of a bit (a-priori estimates: reversals
// and near-reversals are the common turns of office work; ratios spread widely).
constexpr std::uint16_t TURN_COST_REVERSAL = 23;
constexpr std::uint16_t TURN_COST_NEAR_REVERSAL = 30;
constexpr std::uint16_t TURN_COST_OTHER = 37;
constexpr std::uint16_t RATIO_COST_BASE = 24;
constexpr std::uint16_t RATIO_COST_STEP = 3;
constexpr std::uint16_t BEND_COST = 14;

// The samples in time order: the input itself when it is in time order (the
// usual case), else a stable sort of it (equal time stamps keep their input
// order). Time stamps are finite (the reader drops the others).
std::span<const MousePoint> in_time_order(std::span<const MousePoint> points,
                                          std::vector<MousePoint>& sorted) {
    const auto earlier = [](const MousePoint& a, const MousePoint& b) { return a.t < b.t; };
    if (std::is_sorted(points.begin(), points.end(), earlier)) return points;
    sorted.assign(points.begin(), points.end());
    std::stable_sort(sorted.begin(), sorted.end(), earlier);
    return sorted;
}

// Intervals are counted per distinct value while there are at most this many
// of them, in an open-addressing table of 2 ** COUNT_TABLE_BITS slots.
constexpr std::size_t COUNTED_DISTINCT_MAX = 128;
constexpr int COUNT_TABLE_BITS = 8;
static_assert(2 * COUNTED_DISTINCT_MAX <= std::size_t{1} << COUNT_TABLE_BITS);

// The sum, in increasing order, of the values of `values` (positive, not NaN)
// from rank `lo` up to, not including, rank `hi`, found by counting each
// distinct value instead of sorting; nothing when there are more than
// COUNTED_DISTINCT_MAX distinct values. A sensor's clock gives intervals few
// distinct values, and equal values are the same number, so adding each value
// as often as it occurs, smallest value first, adds up the sorted slice in its
// own order: the same sum to the last bit.
std::optional<double> counted_rank_sum(std::span<const double> values, std::size_t lo,
                                       std::size_t hi) {
    constexpr std::size_t slots = std::size_t{1} << COUNT_TABLE_BITS;
    std::array<double, slots> slot_value;  // read only where slot_count is not 0
    std::array<std::size_t, slots> slot_count{};
    std::array<std::size_t, COUNTED_DISTINCT_MAX> taken;  // the slots in use, first [0, distinct)
    std::size_t distinct = 0;
    for (const double v : values) {
        // Fibonacci hashing of the value's bits; a taken slot passes on to the next.
        std::size_t h = static_cast<std::size_t>(
            (std::bit_cast<std::uint64_t>(v) * 0x9e3779b97f4a7c15ULL) >> (64 - COUNT_TABLE_BITS));
        while (slot_count[h] != 0 && slot_value[h] != v) h = (h + 1) & (slots - 1);
        if (slot_count[h] == 0) {
            if (distinct == COUNTED_DISTINCT_MAX) return std::nullopt;
            taken[distinct++] = h;
            slot_value[h] = v;
        }
        ++slot_count[h];
    }
    std::array<std::pair<double, std::size_t>, COUNTED_DISTINCT_MAX> counted;
    for (std::size_t k = 0; k < distinct; ++k) {
        counted[k] = {slot_value[taken[k]], slot_count[taken[k]]};
    }
    const auto end = counted.begin() + static_cast<std::ptrdiff_t>(distinct);
    std::sort(counted.begin(), end);  // values distinct: ordered by value alone
    double sum = 0.0;
    std::size_t rank = 0;  // of the first occurrence of the current value
    for (auto it = counted.begin(); it != end && rank < hi; ++it) {
        const auto [value, count] = *it;
        const std::size_t last = std::min(rank + count, hi);
        for (std::size_t r = std::max(rank, lo); r < last; ++r) sum += value;
        rank += count;
    }
    return sum;
}

// The mean of the middle half of `values` (reordered; not empty): the values
// from rank n/4 up to, not including, rank n - n/4, summed in increasing order.
// A sensor's clock makes intervals take a few values only, so their median
// jumps by a whole tick when a replay is sampled again; this mean moves by a
// fraction of one.
double interquartile_mean(std::vector<double>& values) {
    const std::size_t n = values.size();
    if (const std::optional<double> sum = counted_rank_sum(values, n / 4, n - n / 4)) {
        return *sum / static_cast<double>(n - n / 4 - n / 4);
    }
    // Many distinct values: the slice by selection, then sorted.
    const auto lo = values.begin() + static_cast<std::ptrdiff_t>(n / 4);
    const auto hi = values.begin() + static_cast<std::ptrdiff_t>(n - n / 4);
    std::nth_element(values.begin(), lo, values.end());
    if (hi != values.end()) std::nth_element(lo, hi, values.end());
    std::sort(lo, hi);  // the summation order must not depend on the library's selection
    double sum = 0.0;
    for (auto it = lo; it != hi; ++it) sum += *it;
    return sum / static_cast<double>(hi - lo);
}

// A NaN (an infinite coordinate difference times zero, or infinity minus
// infinity) orders as +infinity, so that sorting stays a strict weak ordering.
double no_nan(double v) { return std::isnan(v) ? INFINITY : v; }

struct Chord {
    std::size_t from;  // rest sample the movement starts at
    std::size_t to;    // rest sample it ends at
    double dx;
    double dy;
    double length2;  // squared length, NaN replaced by +infinity
};

Chord chord(std::span<const MousePoint> s, std::size_t from, std::size_t to) {
    const double dx = s[to].x - s[from].x;
    const double dy = s[to].y - s[from].y;
    return Chord{from, to, dx, dy, no_nan(dx * dx + dy * dy)};
}

int turn_sector(const Chord& a, const Chord& b) {
    // The direction of chord b in the frame of the reversed chord a: (-dot, -cross).
    const double dot = a.dx * b.dx + a.dy * b.dy;
    const double cross = a.dx * b.dy - a.dy * b.dx;
    const double ux = -dot;
    const double uy = -cross;
    for (int k = 0; k < POINTER_TURN_SECTORS; ++k) {
        const auto& lo = SECTOR_BOUNDS[static_cast<std::size_t>((k + POINTER_TURN_SECTORS - 1) %
                                                                POINTER_TURN_SECTORS)];
        const auto& hi = SECTOR_BOUNDS[static_cast<std::size_t>(k)];
        const bool after_lo = lo[0] * uy - lo[1] * ux >= 0.0;
        const bool before_hi = hi[0] * uy - hi[1] * ux < 0.0;
        if (after_lo && before_hi) return k;
    }
    return 0;  // NaN in the chords: no sector test holds
}

int ratio_step(const Chord& a, const Chord& b) {
    int step = -POINTER_RATIO_STEPS;
    for (std::size_t i = 0; i < RATIO_BOUNDS.size(); ++i) {
        if (b.length2 >= a.length2 * RATIO_BOUNDS[i]) {
            step = static_cast<int>(i) - POINTER_RATIO_STEPS + 1;
        }
    }
    return step;
}

// -1, 0 or +1: the side of the largest sideways excursion from the chord, or 0
// when it stays within POINTER_BEND_FRACTION of the chord's length.
int bend(std::span<const MousePoint> s, const Chord& c) {
    double widest = 0.0;
    for (std::size_t i = c.from + 1; i < c.to; ++i) {
        // The excursion times the chord's length; compared with the squared length below.
        const double side = (s[i].x - s[c.from].x) * c.dy - (s[i].y - s[c.from].y) * c.dx;
        if (std::fabs(side) > std::fabs(widest)) widest = side;
    }
    if (std::fabs(widest) < POINTER_BEND_FRACTION * c.length2) return 0;
    return widest > 0.0 ? 1 : -1;
}

std::uint16_t turn_cost(int sector) {
    if (sector == 0) return TURN_COST_REVERSAL;
    if (sector == 1 || sector == POINTER_TURN_SECTORS - 1) return TURN_COST_NEAR_REVERSAL;
    return TURN_COST_OTHER;
}

Symbol movement_symbol(std::span<const MousePoint> s, const Chord& a, const Chord& b) {
    const int turn = turn_sector(a, b);
    const int ratio = ratio_step(a, b);
    const int side = bend(s, b);
    const int ratio_values = 2 * POINTER_RATIO_STEPS + 1;
    const int code = (turn * ratio_values + (ratio + POINTER_RATIO_STEPS)) * 3 + (side + 1);
    const int cost =
        turn_cost(turn) + RATIO_COST_BASE + RATIO_COST_STEP * std::abs(ratio) + BEND_COST;
    return Symbol{static_cast<std::uint16_t>(code), static_cast<std::uint16_t>(cost)};
}

// Buffers the thresholds share: each cut of the path fills them afresh, so a
// sketch allocates them once rather than once per threshold.
struct CutBuffers {
    std::vector<std::size_t> rests;
    std::vector<double> lengths2;
    std::vector<Chord> movements;
};

// The symbols of the path cut at the intervals of `gaps` (index of the sample
// before the interval, length) longer than `pause`, appended to `symbols`.
void symbols_at(std::span<const MousePoint> s, std::span<const std::pair<std::size_t, double>> gaps,
                double pause, CutBuffers& buffers, std::vector<Symbol>& symbols) {
    const std::size_t n = s.size();

    // Rest positions: the first sample, the last sample before each pause, the last sample.
    std::vector<std::size_t>& rests = buffers.rests;
    rests.assign(1, 0);
    for (const auto& [i, dt] : gaps) {
        if (dt > pause && i != rests.back()) rests.push_back(i);
    }
    if (rests.back() != n - 1) rests.push_back(n - 1);
    if (rests.size() < 3) return;

    // The 90th percentile of the chords' squared lengths: one selection, not a
    // sort (the value at a rank is the same either way; NaN was replaced).
    std::vector<double>& lengths2 = buffers.lengths2;
    lengths2.clear();
    for (std::size_t j = 0; j + 1 < rests.size(); ++j) {
        lengths2.push_back(chord(s, rests[j], rests[j + 1]).length2);
    }
    const auto rank = lengths2.begin() + static_cast<std::ptrdiff_t>((lengths2.size() * 9) / 10);
    std::nth_element(lengths2.begin(), rank, lengths2.end());
    const double long_chord2 = *rank;
    if (!(long_chord2 > 0.0)) return;  // the pointer never moved
    const double min_chord2 = POINTER_MIN_CHORD_FRACTION * POINTER_MIN_CHORD_FRACTION * long_chord2;

    // Movements, a short one joined to the one after it (a trailing short one is dropped).
    std::vector<Chord>& movements = buffers.movements;
    movements.clear();
    std::size_t from = rests[0];
    for (std::size_t j = 1; j < rests.size(); ++j) {
        const Chord c = chord(s, from, rests[j]);
        if (c.length2 < min_chord2) continue;
        movements.push_back(c);
        from = rests[j];
    }
    if (movements.size() < 2) return;
    symbols.reserve(movements.size() - 1);
    for (std::size_t j = 0; j + 1 < movements.size(); ++j) {
        symbols.push_back(movement_symbol(s, movements[j], movements[j + 1]));
    }
}

}  // namespace

std::vector<std::vector<Symbol>> pointer_symbols(std::span<const MousePoint> points) {
    std::vector<std::vector<Symbol>> runs;
    if (points.size() < 3) return runs;
    std::vector<MousePoint> sorted;
    const std::span<const MousePoint> s = in_time_order(points, sorted);
    std::vector<double> intervals;
    intervals.reserve(s.size() - 1);
    for (std::size_t i = 0; i + 1 < s.size(); ++i) {
        const double dt = s[i + 1].t - s[i].t;
        if (dt > 0.0) intervals.push_back(dt);
    }
    if (intervals.empty()) return runs;
    const double typical = interquartile_mean(intervals);
    // The intervals that are a pause at the lowest threshold, for every threshold to pick from.
    const double lowest =
        *std::min_element(POINTER_PAUSE_FACTORS.begin(), POINTER_PAUSE_FACTORS.end());
    const double shortest_pause = lowest * typical * (1.0 + POINTER_PAUSE_SLACK);
    std::vector<std::pair<std::size_t, double>> gaps;
    for (std::size_t i = 0; i + 1 < s.size(); ++i) {
        const double dt = s[i + 1].t - s[i].t;
        if (dt > shortest_pause) gaps.emplace_back(i, dt);
    }
    CutBuffers buffers;
    runs.resize(POINTER_PAUSE_FACTORS.size());
    for (std::size_t k = 0; k < POINTER_PAUSE_FACTORS.size(); ++k) {
        const double pause = POINTER_PAUSE_FACTORS[k] * typical * (1.0 + POINTER_PAUSE_SLACK);
        symbols_at(s, gaps, pause, buffers, runs[k]);
    }
    return runs;
}
