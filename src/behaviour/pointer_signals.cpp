#include <algorithm>
#include <cmath>
#include <limits>

#include "behaviour/behaviour.h"
#include "support/statistics.h"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

double step_length(const MousePoint& a, const MousePoint& b) {
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    return std::sqrt(dx * dx + dy * dy);
}

double share(std::size_t part, std::size_t whole) {
    return whole == 0 ? NaN : static_cast<double>(part) / static_cast<double>(whole);
}

// Median or other quantile of values in any order; NaN for none.
double quantile_of(std::vector<double> values, double q) {
    sort_values(values);
    return sorted_quantile(values, q);
}

// Local maxima of a speed profile at or above SUBMOVEMENT_PEAK_SHARE of its
// highest value. Runs of equal values count as one value, so a constant speed
// is one sub-movement, not none or one per sample.
std::size_t count_submovements(std::span<const double> speeds, double peak) {
    std::vector<double> runs;
    for (double v : speeds) {
        if (runs.empty() || v != runs.back()) runs.push_back(v);
    }
    const double floor = SUBMOVEMENT_PEAK_SHARE * peak;
    std::size_t count = 0;
    for (std::size_t j = 0; j < runs.size(); ++j) {
        const bool above_left = j == 0 || runs[j] > runs[j - 1];
        const bool above_right = j + 1 == runs.size() || runs[j] > runs[j + 1];
        if (above_left && above_right && runs[j] >= floor) ++count;
    }
    return count;
}

// Measures the movement path[first..last]; false when it is too short to.
bool measure_movement(std::span<const MousePoint> path, std::size_t first, std::size_t last,
                      Movement& m) {
    // The last sample of each group of equal time stamps: a sampler may report
    // several positions under one time, and a speed needs a time step.
    std::vector<std::size_t> group_end;
    for (std::size_t i = first; i <= last; ++i) {
        if (i == last || path[i + 1].t != path[i].t) group_end.push_back(i);
    }
    if (group_end.size() < MOVEMENT_MIN_TIMES) return false;

    const MousePoint& a = path[first];
    const MousePoint& b = path[last];
    const double cx = b.x - a.x;
    const double cy = b.y - a.y;
    const double chord = std::sqrt(cx * cx + cy * cy);
    // Far-out coordinates whose differences overflow measure nothing.
    if (!(chord >= MOVEMENT_MIN_CHORD_PX) || !std::isfinite(chord)) return false;
    if (!std::isfinite(b.t - a.t)) return false;
    const double ux = cx / chord;
    const double uy = cy / chord;

    // One pass over the steps: path length, the part against the chord, the
    // furthest point along it and where the final part begins.
    double path_px = 0.0;
    double backward_px = 0.0;
    double max_along = 0.0;
    double phase_start_px = NaN;  // path length at the first sample past the share
    const double phase_along = ENDPOINT_PHASE_SHARE * chord;
    for (std::size_t i = first + 1; i <= last; ++i) {
        const double dx = path[i].x - path[i - 1].x;
        const double dy = path[i].y - path[i - 1].y;
        const double len = std::sqrt(dx * dx + dy * dy);
        path_px += len;
        if (dx * ux + dy * uy < 0.0) backward_px += len;
        const double along = (path[i].x - a.x) * ux + (path[i].y - a.y) * uy;
        max_along = std::max(max_along, along);
        if (std::isnan(phase_start_px) && along >= phase_along) phase_start_px = path_px;
    }
    // The end sample lies at `chord` along the line only up to rounding:
    // overshoot is measured from where the same formula puts it, so that a
    // path that never passes it has none, and should rounding leave it just
    // short of the share, the final part is empty.
    const double end_along = (b.x - a.x) * ux + (b.y - a.y) * uy;
    if (std::isnan(phase_start_px)) phase_start_px = path_px;

    // Speed over each step between time groups, then smoothed (1-2-1), which
    // keeps the jitter of whole-pixel positions from counting as peaks.
    const std::size_t steps = group_end.size() - 1;
    std::vector<double> speed(steps);
    std::vector<double> mid_ms(steps);
    for (std::size_t k = 0; k < steps; ++k) {
        const std::size_t from = group_end[k];
        const std::size_t to = group_end[k + 1];
        double len = 0.0;
        for (std::size_t i = from + 1; i <= to; ++i) len += step_length(path[i - 1], path[i]);
        const double dt = path[to].t - path[from].t;
        speed[k] = len / dt;
        mid_ms[k] = ((path[from].t - a.t) + (path[to].t - a.t)) / 2.0;
    }
    std::vector<double> smooth(steps);
    for (std::size_t k = 0; k < steps; ++k) {
        const double left = speed[k == 0 ? 0 : k - 1];
        const double right = speed[k + 1 == steps ? k : k + 1];
        smooth[k] = (left + speed[k] + speed[k] + right) / 4.0;
    }
    std::size_t peak = 0;
    for (std::size_t k = 1; k < steps; ++k) {
        if (smooth[k] > smooth[peak]) peak = k;  // the first of equal maxima
    }

    m.first = first;
    m.last = last;
    m.duration_ms = b.t - a.t;
    m.chord_px = chord;
    m.path_px = path_px;
    m.straightness = chord / path_px;
    m.peak_time = mid_ms[peak] / m.duration_ms;
    m.submovements = count_submovements(smooth, smooth[peak]);
    m.backtrack = backward_px / path_px;
    m.endpoint_phase = (path_px - phase_start_px) / path_px;
    m.overshoot = std::max(0.0, max_along - end_along) / chord;
    return true;
}

struct FittsFit {
    double slope = NaN;
    double intercept = NaN;
    double residual = NaN;
};

// Least squares of duration on log2(distance / width + 1).
FittsFit fit_fitts(std::span<const Movement> movements) {
    FittsFit fit;
    if (movements.size() < FITTS_MIN_MOVEMENTS) return fit;
    std::vector<double> id(movements.size());
    std::vector<double> ms(movements.size());
    for (std::size_t i = 0; i < movements.size(); ++i) {
        id[i] = std::log2(movements[i].chord_px / FITTS_WIDTH_PX + 1.0);
        ms[i] = movements[i].duration_ms;
    }
    const double mean_id = mean_of(id);
    const double mean_ms = mean_of(ms);
    double sxx = 0.0;
    double sxy = 0.0;
    for (std::size_t i = 0; i < id.size(); ++i) {
        const double d = id[i] - mean_id;
        sxx += d * d;
        sxy += d * (ms[i] - mean_ms);
    }
    if (!(sxx > 0.0)) return fit;  // every movement equally long: no slope
    fit.slope = sxy / sxx;
    fit.intercept = mean_ms - fit.slope * mean_id;
    double ss = 0.0;
    for (std::size_t i = 0; i < id.size(); ++i) {
        const double r = ms[i] - (fit.intercept + fit.slope * id[i]);
        ss += r * r;
    }
    fit.residual = std::sqrt(ss / static_cast<double>(id.size()));
    return fit;
}

void add_movement_signals(std::span<const MousePoint> path, PointerSignals& out) {
    const std::vector<Movement> movements = split_movements(path);
    out.pointer_movement_count = static_cast<double>(movements.size());
    std::vector<double> duration;
    std::vector<double> straightness;
    std::vector<double> peak_time;
    std::vector<double> submovements;
    std::vector<double> backtrack;
    std::vector<double> phase;
    std::vector<double> overshoot;
    std::size_t multi = 0;
    std::size_t overshooting = 0;
    for (const Movement& m : movements) {
        duration.push_back(m.duration_ms);
        straightness.push_back(m.straightness);
        peak_time.push_back(m.peak_time);
        submovements.push_back(static_cast<double>(m.submovements));
        backtrack.push_back(m.backtrack);
        phase.push_back(m.endpoint_phase);
        overshoot.push_back(m.overshoot);
        if (m.submovements > 1) ++multi;
        if (m.overshoot > OVERSHOOT_MIN_SHARE) ++overshooting;
    }
    const bool none = movements.empty();
    out.pointer_movement_duration_median_ms = quantile_of(duration, 0.5);
    out.pointer_straightness_median = quantile_of(straightness, 0.5);
    out.pointer_straightness_min = quantile_of(straightness, 0.0);
    out.pointer_peak_time_median = quantile_of(peak_time, 0.5);
    out.pointer_peak_time_iqr = quantile_of(peak_time, 0.75) - quantile_of(peak_time, 0.25);
    out.pointer_submovements_mean = none ? NaN : mean_of(submovements);
    out.pointer_submovements_multi_share = share(multi, movements.size());
    out.pointer_backtrack_mean = none ? NaN : mean_of(backtrack);
    out.pointer_endpoint_phase_median = quantile_of(phase, 0.5);
    out.pointer_overshoot_share = share(overshooting, movements.size());
    out.pointer_overshoot_mean = none ? NaN : mean_of(overshoot);
    const FittsFit fit = fit_fitts(movements);
    out.pointer_fitts_slope_ms = fit.slope;
    out.pointer_fitts_intercept_ms = fit.intercept;
    out.pointer_fitts_residual_ms = fit.residual;
}

// Steps between consecutive samples and the turns between consecutive steps
// that move. A pause (MOVEMENT_PAUSE_MS without a sample) ends the chain of
// turns: the jump across it is no turn of the hand.
void add_step_signals(std::span<const MousePoint> path, PointerSignals& out) {
    std::size_t steps = 0;
    std::size_t zero = 0;
    std::size_t unit = 0;
    std::size_t axis = 0;
    std::size_t collinear = 0;
    std::size_t straight = 0;
    std::size_t side_pairs = 0;    // consecutive turns to a side (cross product not zero)
    std::size_t sign_changes = 0;  // of those, the pairs that turn to opposite sides
    int last_side = 0;
    std::vector<double> turn_abs;
    bool have_prev = false;
    double pdx = 0.0;
    double pdy = 0.0;
    for (std::size_t i = 1; i < path.size(); ++i) {
        ++steps;
        const double dx = path[i].x - path[i - 1].x;
        const double dy = path[i].y - path[i - 1].y;
        if (path[i].t - path[i - 1].t >= MOVEMENT_PAUSE_MS) {
            have_prev = false;
            last_side = 0;
        }
        if (dx == 0.0 && dy == 0.0) {
            ++zero;
            continue;
        }
        if (std::max(std::fabs(dx), std::fabs(dy)) == 1.0) ++unit;
        if (dx == 0.0 || dy == 0.0) ++axis;
        if (have_prev) {
            const double cross = pdx * dy - pdy * dx;
            const double dot = pdx * dx + pdy * dy;
            turn_abs.push_back(std::fabs(std::atan2(cross, dot)));
            if (cross == 0.0) {
                ++collinear;
                if (dot > 0.0) ++straight;
            } else {
                const int side = cross > 0.0 ? 1 : -1;
                if (last_side != 0 && side != last_side) ++sign_changes;
                if (last_side != 0) ++side_pairs;
                last_side = side;
            }
        }
        have_prev = true;
        pdx = dx;
        pdy = dy;
    }
    const std::size_t moving = steps - zero;
    out.pointer_zero_step_share = share(zero, steps);
    out.pointer_unit_step_share = share(unit, moving);
    out.pointer_axis_step_share = share(axis, moving);
    out.pointer_collinear_share = share(collinear, turn_abs.size());
    out.pointer_turn_mean_abs = turn_abs.empty() ? NaN : mean_of(turn_abs);
    out.pointer_turn_p90_abs = quantile_of(turn_abs, 0.9);
    out.pointer_turn_zero_share = share(straight, turn_abs.size());
    out.pointer_turn_sign_change_share = share(sign_changes, side_pairs);
}

}  // namespace

void sort_values(std::vector<double>& values) {
    std::sort(values.begin(), values.end(),
              [](double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); });
}

double sorted_quantile(std::span<const double> sorted, double q) {
    if (sorted.empty()) return NaN;
    const double h = static_cast<double>(sorted.size() - 1) * q;
    const double below = std::floor(h);
    const auto lo = static_cast<std::size_t>(below);
    if (lo + 1 >= sorted.size()) return sorted[sorted.size() - 1];
    const double frac = h - below;
    if (frac == 0.0) return sorted[lo];
    return sorted[lo] + frac * (sorted[lo + 1] - sorted[lo]);
}

std::vector<MousePoint> time_sorted_path(std::span<const MousePoint> points) {
    std::vector<MousePoint> path(points.begin(), points.end());
    // Stable: samples under one time stamp keep the order the client sent them in.
    std::stable_sort(path.begin(), path.end(),
                     [](const MousePoint& a, const MousePoint& b) { return a.t < b.t; });
    if (path.size() > SIGNAL_POINT_LIMIT) path.resize(SIGNAL_POINT_LIMIT);
    return path;
}

std::vector<Movement> split_movements(std::span<const MousePoint> path) {
    std::vector<Movement> out;
    bool open = false;
    std::size_t first = 0;
    std::size_t last = 0;  // the last sample reached by a step that moved
    auto close = [&] {
        Movement m;
        if (open && measure_movement(path, first, last, m)) out.push_back(m);
        open = false;
    };
    for (std::size_t i = 1; i < path.size(); ++i) {
        const bool moved = path[i].x != path[i - 1].x || path[i].y != path[i - 1].y;
        if (path[i].t - path[i - 1].t >= MOVEMENT_PAUSE_MS) {
            // A step across a pause belongs to no movement: where the pointer
            // was during it is unknown (a browser reports only motion).
            close();
        } else if (!moved) {
            if (open && path[i].t - path[last].t >= MOVEMENT_PAUSE_MS) close();
        } else {
            if (!open) {
                open = true;
                first = i - 1;
            }
            last = i;
        }
    }
    close();
    return out;
}

PointerSignals compute_pointer_signals(std::span<const MousePoint> points) {
    const std::vector<MousePoint> path = time_sorted_path(points);
    PointerSignals out;
    add_movement_signals(path, out);
    add_step_signals(path, out);
    return out;
}
