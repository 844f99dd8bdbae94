#include "keystrokes/keystrokes.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "support/statistics.h"

namespace {

// Acceptance windows, all exclusive at both ends. Anything outside is a
// measurement artefact (a key held across a pause, a clock jump), not typing.
constexpr double DWELL_MAX_MS = 5000.0;
constexpr double FLIGHT_MIN_MS = -500.0;  // overlapping keystrokes give negative flights
constexpr double FLIGHT_MAX_MS = 5000.0;
constexpr double DIGRAPH_INTERVAL_MAX_MS = 2000.0;

// Flight-time histogram: eight 100 ms bins over [0, 800]; 800 itself joins the last bin.
constexpr double ENTROPY_FLIGHT_MAX_MS = 800.0;
constexpr double ENTROPY_BIN_WIDTH_MS = 100.0;
constexpr std::size_t ENTROPY_BINS = 8;
constexpr double ENTROPY_MAX_BITS = 3.0;  // log2 of the bin count
constexpr std::size_t ENTROPY_MIN_SAMPLES = 4;
constexpr double ENTROPY_TOO_FEW_SAMPLES = 0.5;

// Frequent letter pairs, which practised typists chain faster than rare ones.
constexpr std::array<std::string_view, 39> COMMON_DIGRAPHS = {
    "th", "er", "on", "an", "re", "he", "in", "ed", "nd", "ha", "at", "en", "es",
    "of", "or", "nt", "ea", "ti", "to", "it", "st", "io", "le", "is", "ou", "ar",
    "as", "de", "rt", "ve", "la", "ik", "ak", "el", "al", "ma", "me", "ba", "ka",
};

// The key's lower-case form when that is a single byte. Under full Unicode
// lower-casing only single ASCII characters and U+212A KELVIN SIGN (to 'k')
// end up one byte long; every other key ('Shift', 'é', '') takes no part in
// digraphs.
std::optional<char> digraph_letter(std::string_view key) {
    if (key.size() == 1) {
        const auto c = static_cast<unsigned char>(key[0]);
        if (c >= 0x80) return std::nullopt;
        if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
        return static_cast<char>(c);
    }
    if (key == "\xE2\x84\xAA") return 'k';
    return std::nullopt;
}

bool is_common_digraph(char first, char second) {
    return std::any_of(COMMON_DIGRAPHS.begin(), COMMON_DIGRAPHS.end(),
                       [&](std::string_view d) { return d[0] == first && d[1] == second; });
}

struct DigraphInterval {
    std::uint16_t digraph;  // first letter in the high byte, second in the low byte
    double interval_ms;
};

// Normalised entropy of the histogram of flight times in [0, 800].
double flight_entropy(const std::vector<double>& flights) {
    std::array<std::size_t, ENTROPY_BINS> counts{};
    std::size_t kept = 0;
    for (double v : flights) {
        if (!(v >= 0.0 && v <= ENTROPY_FLIGHT_MAX_MS)) continue;  // NaN is not kept either
        // v / 100 lies in [0, 8] here, so the conversion is in range.
        const auto bin = static_cast<std::size_t>(std::floor(v / ENTROPY_BIN_WIDTH_MS));
        ++counts[std::min(bin, ENTROPY_BINS - 1)];
        ++kept;
    }
    if (kept < ENTROPY_MIN_SAMPLES) return ENTROPY_TOO_FEW_SAMPLES;
    const double total = static_cast<double>(kept);
    // Subtracting each term from 0.0 equals negating the sum bit for bit, but a
    // single full bin gives +0.0 rather than -0.0.
    double bits = 0.0;
    for (std::size_t c : counts) {
        if (c == 0) continue;
        const double p = static_cast<double>(c) / total;
        bits -= p * std::log2(p);
    }
    return bits / ENTROPY_MAX_BITS;
}

// Mean of the per-digraph mean intervals, common digraphs and others apart.
struct DigraphMeans {
    std::optional<double> common;
    std::optional<double> other;
};

DigraphMeans digraph_means(std::vector<DigraphInterval>& intervals) {
    // Stable, so each digraph's intervals keep their order for its sum; the
    // digraphs are then visited in byte order.
    std::stable_sort(
        intervals.begin(), intervals.end(),
        [](const DigraphInterval& a, const DigraphInterval& b) { return a.digraph < b.digraph; });
    double common_sum = 0.0, other_sum = 0.0;
    std::size_t common_count = 0, other_count = 0;
    for (std::size_t i = 0; i < intervals.size();) {
        const std::uint16_t digraph = intervals[i].digraph;
        double sum = 0.0;
        std::size_t count = 0;
        for (; i < intervals.size() && intervals[i].digraph == digraph; ++i) {
            sum += intervals[i].interval_ms;
            ++count;
        }
        const double mean = sum / static_cast<double>(count);
        if (is_common_digraph(static_cast<char>(digraph >> 8), static_cast<char>(digraph & 0xFF))) {
            common_sum += mean;
            ++common_count;
        } else {
            other_sum += mean;
            ++other_count;
        }
    }
    DigraphMeans means;
    if (common_count > 0) means.common = common_sum / static_cast<double>(common_count);
    if (other_count > 0) means.other = other_sum / static_cast<double>(other_count);
    return means;
}

struct ScoreInputs {
    std::size_t event_count;
    std::size_t dwell_count;
    std::size_t flight_count;
    const KeystrokeStats& stats;
    DigraphMeans digraphs;
};

// Fixed increments for machine-like regularity, applied in this order.
double keystroke_score(const ScoreInputs& in) {
    const KeystrokeStats& s = in.stats;
    if (in.event_count <= 2) return 0.0;

    double score = 0.0;
    if (s.flight_time_var < 2.0 && in.flight_count > 2) {
        score = 0.85;
    } else if (s.flight_time_var < 15.0) {
        score = in.flight_count > 3 ? 0.6 : 0.0;
    }

    if (s.avg_flight_time > 0.0 && s.avg_flight_time < 25.0) score += 0.7;

    if (in.dwell_count > 0) {
        if (s.avg_dwell_time < 15.0) {
            score += 0.75;
        } else if (in.dwell_count > 2 && s.dwell_time_var < 2.0) {
            score += 0.8;
        }
    }

    // A human types familiar pairs faster than unfamiliar ones; a script does not.
    if (in.digraphs.common && in.digraphs.other) {
        const double cm = *in.digraphs.common;
        const double om = *in.digraphs.other;
        if (in.event_count >= 8 && cm >= 1.05 * om) {
            score += 0.4;
        } else if (cm < 0.85 * om) {
            score -= 0.25;
            if (score < 0.0) score = 0.0;
        }
    }

    if (s.digraph_entropy < 0.15 && in.flight_count >= 5) {
        score += 0.7;
    } else if (s.digraph_entropy > 0.98 && in.flight_count >= 8) {
        score += 0.5;
    }

    if (score < 0.0) return 0.0;
    if (score > 1.0) return 1.0;
    return score;
}

}  // namespace

KeystrokeStats compute_keystroke_features(std::span<const KeystrokeEvent> events) {
    KeystrokeStats stats;
    const std::size_t n = events.size();
    if (n == 0) return stats;
    stats.key_count = n;

    // Order by press time without touching the input. Stable, because events
    // pressed at the same instant keep their input order. NaN press times go
    // last, in input order: a bare `<` is no strict weak ordering once NaN is
    // present, and sorting with it is undefined behaviour.
    std::vector<const KeystrokeEvent*> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = &events[i];
    std::stable_sort(order.begin(), order.end(),
                     [](const KeystrokeEvent* a, const KeystrokeEvent* b) {
                         const bool a_nan = std::isnan(a->down);
                         const bool b_nan = std::isnan(b->down);
                         if (a_nan || b_nan) return !a_nan && b_nan;
                         return a->down < b->down;
                     });

    std::vector<double> dwells;
    dwells.reserve(n);
    for (const KeystrokeEvent* e : order) {
        if (!e->up) continue;
        const double d = *e->up - e->down;
        if (d > 0.0 && d < DWELL_MAX_MS) dwells.push_back(d);
    }

    std::vector<double> flights;
    std::vector<DigraphInterval> intervals;
    flights.reserve(n - 1);
    for (std::size_t i = 1; i < n; ++i) {
        const KeystrokeEvent& prev = *order[i - 1];
        const KeystrokeEvent& next = *order[i];
        // Flight from the previous release when there was one, else from its press.
        const double f = next.down - (prev.up ? *prev.up : prev.down);
        if (f > FLIGHT_MIN_MS && f < FLIGHT_MAX_MS) flights.push_back(f);

        const std::optional<char> first = digraph_letter(prev.key);
        const std::optional<char> second = digraph_letter(next.key);
        if (!first || !second) continue;
        const double interval = next.down - prev.down;
        if (interval > 0.0 && interval < DIGRAPH_INTERVAL_MAX_MS) {
            const auto digraph = static_cast<std::uint16_t>(
                (static_cast<unsigned>(static_cast<unsigned char>(*first)) << 8) |
                static_cast<unsigned char>(*second));
            intervals.push_back({digraph, interval});
        }
    }

    stats.avg_dwell_time = mean_of(dwells);
    stats.dwell_time_var = variance_of(dwells, stats.avg_dwell_time);
    stats.avg_flight_time = mean_of(flights);
    stats.flight_time_var = variance_of(flights, stats.avg_flight_time);
    stats.digraph_entropy = flight_entropy(flights);
    stats.keystroke_score = keystroke_score({
        .event_count = n,
        .dwell_count = dwells.size(),
        .flight_count = flights.size(),
        .stats = stats,
        .digraphs = digraph_means(intervals),
    });
    return stats;
}
