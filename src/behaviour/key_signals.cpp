#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <utility>

#include "behaviour/behaviour.h"
#include "support/statistics.h"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// The name the reader gives a keystroke that reports none.
constexpr std::string_view UNNAMED_KEY = "unknown";

double share(std::size_t part, std::size_t whole) {
    return whole == 0 ? NaN : static_cast<double>(part) / static_cast<double>(whole);
}

bool is_correction(std::string_view key) { return key == "Backspace" || key == "Delete"; }

// A release time that can be used: reported, finite, not before the press.
bool has_release(const KeystrokeEvent& e) {
    return e.up.has_value() && std::isfinite(*e.up) && *e.up >= e.down;
}

struct Spread {
    double p10 = NaN;
    double p25 = NaN;
    double p50 = NaN;
    double p75 = NaN;
    double p90 = NaN;
};

// Quantiles of at least KEY_MIN_TIMES values; all NaN with fewer.
Spread spread_of(std::vector<double> values) {
    Spread s;
    if (values.size() < KEY_MIN_TIMES) return s;
    sort_values(values);
    s.p10 = sorted_quantile(values, 0.1);
    s.p25 = sorted_quantile(values, 0.25);
    s.p50 = sorted_quantile(values, 0.5);
    s.p75 = sorted_quantile(values, 0.75);
    s.p90 = sorted_quantile(values, 0.9);
    return s;
}

// (p75 - p25) / p50, NaN unless the median is positive.
double iqr_ratio(const Spread& s) { return s.p50 > 0.0 ? (s.p75 - s.p25) / s.p50 : NaN; }

}  // namespace

bool is_shift_key(std::string_view key) {
    return key == "Shift" || key == "ShiftLeft" || key == "ShiftRight";
}

bool is_other_modifier_key(std::string_view key) {
    return key == "Control" || key == "Alt" || key == "AltGraph" || key == "Meta" || key == "OS";
}

KeySignals compute_key_signals(std::span<const KeystrokeEvent> keys) {
    // Press order; stable, so presses reported under one time keep input order.
    std::vector<const KeystrokeEvent*> presses;
    presses.reserve(keys.size());
    for (const KeystrokeEvent& e : keys) presses.push_back(&e);
    std::stable_sort(
        presses.begin(), presses.end(),
        [](const KeystrokeEvent* a, const KeystrokeEvent* b) { return a->down < b->down; });

    KeySignals out;
    const std::size_t n = presses.size();
    out.key_press_count = static_cast<double>(n);

    std::size_t shifts = 0;
    std::size_t others = 0;
    std::size_t corrections = 0;
    std::vector<const KeystrokeEvent*> typing;  // presses of keys that are not modifiers
    for (const KeystrokeEvent* e : presses) {
        if (is_shift_key(e->key)) {
            ++shifts;
        } else if (is_other_modifier_key(e->key)) {
            ++others;
        } else {
            typing.push_back(e);
        }
        if (is_correction(e->key)) ++corrections;
    }
    out.key_shift_share = share(shifts, n);
    out.key_modifier_share = share(others, n);
    out.key_correction_share = share(corrections, n);

    // A typing key pressed while a Shift is down (pressed before it, released after).
    std::size_t chorded = 0;
    for (const KeystrokeEvent* e : typing) {
        for (const KeystrokeEvent* s : presses) {
            if (is_shift_key(s->key) && has_release(*s) && s->down < e->down && e->down < *s->up) {
                ++chorded;
                break;
            }
        }
    }
    out.key_shift_chord_share = share(chorded, typing.size());

    // Rollover over all consecutive presses, modifiers included.
    std::size_t released = 0;
    std::size_t rolled = 0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        if (!has_release(*presses[i])) continue;
        ++released;
        if (presses[i + 1]->down < *presses[i]->up) ++rolled;
    }
    out.key_rollover_share = share(rolled, released);

    // Holds and flights of typing keys only: a Shift held over a whole word
    // would otherwise dominate them.
    std::vector<double> holds;
    for (const KeystrokeEvent* e : typing) {
        if (has_release(*e)) holds.push_back(*e->up - e->down);
    }
    const Spread hold = spread_of(holds);
    out.key_hold_p10_ms = hold.p10;
    out.key_hold_p50_ms = hold.p50;
    out.key_hold_p90_ms = hold.p90;
    out.key_hold_iqr_ratio = iqr_ratio(hold);
    out.key_hold_cv = NaN;
    if (holds.size() >= KEY_MIN_TIMES) {
        const double mean = mean_of(holds);
        if (mean > 0.0) out.key_hold_cv = std::sqrt(variance_of(holds, mean)) / mean;
    }

    std::vector<double> press_press;
    std::vector<double> release_press;
    std::size_t negative = 0;
    // Press-to-press times of each ordered pair of named keys, in time order;
    // std::map, so that the pairs are visited in one fixed order.
    std::map<std::pair<std::string_view, std::string_view>, std::vector<double>> digraphs;
    for (std::size_t i = 0; i + 1 < typing.size(); ++i) {
        const KeystrokeEvent& a = *typing[i];
        const KeystrokeEvent& b = *typing[i + 1];
        const double pp = b.down - a.down;
        if (pp > KEY_PAUSE_MS) continue;
        press_press.push_back(pp);
        if (has_release(a)) {
            const double rp = b.down - *a.up;
            release_press.push_back(rp);
            if (rp < 0.0) ++negative;
        }
        if (a.key != UNNAMED_KEY && b.key != UNNAMED_KEY) {
            digraphs[{a.key, b.key}].push_back(pp);
        }
    }
    const Spread pp = spread_of(press_press);
    out.key_flight_pp_p10_ms = pp.p10;
    out.key_flight_pp_p50_ms = pp.p50;
    out.key_flight_pp_p90_ms = pp.p90;
    out.key_flight_pp_iqr_ratio = iqr_ratio(pp);
    const Spread rp = spread_of(release_press);
    out.key_flight_rp_p10_ms = rp.p10;
    out.key_flight_rp_p50_ms = rp.p50;
    out.key_flight_rp_p90_ms = rp.p90;
    out.key_flight_rp_iqr_ms = rp.p75 - rp.p25;
    out.key_negative_flight_share = share(negative, release_press.size());

    std::vector<double> digraph_cv;
    for (const auto& [pair, times] : digraphs) {
        if (times.size() < 2) continue;
        const double mean = mean_of(times);
        if (mean > 0.0) digraph_cv.push_back(std::sqrt(variance_of(times, mean)) / mean);
    }
    sort_values(digraph_cv);
    out.key_digraph_cv_median = sorted_quantile(digraph_cv, 0.5);
    return out;
}
