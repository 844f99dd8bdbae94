#include "curvature/curvature.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "support/statistics.h"

namespace {

// Repeated, reordered or missing (NaN) time stamps would otherwise divide by
// zero or by a negative step; every time step is at least this long.
constexpr double MIN_TIME_STEP = 0.1;
constexpr double MEAN_STEP_FACTOR = 0.5;
// Keeps the curvature finite at zero speed: a resting pointer has curvature 0.
constexpr double SPEED_REGULARISER = 1e-6;

constexpr double STRAIGHT_MEAN_LIMIT = 1e-6;
constexpr double STRAIGHT_VAR_LIMIT = 1e-7;
constexpr double SMOOTH_VAR_LIMIT = 1e-4;
constexpr double SMOOTH_RATE_VAR_LIMIT = 1e-8;
constexpr double ERRATIC_VAR_LIMIT = 10.0;
constexpr double ERRATIC_RATE_VAR_LIMIT = 5.0;
constexpr double JERKY_RATE_VAR_LIMIT = 2.0;
constexpr double HIGH_CURVATURE_LEVEL = 0.1;

constexpr double SCORE_STRAIGHT = 0.95;
constexpr double SCORE_SMOOTH = 0.9;
constexpr double SCORE_ERRATIC = 0.85;
constexpr double SCORE_JERKY = 0.75;
constexpr double SCORE_OTHER = 0.1;

// max(value, floor) in which a NaN value yields the floor. std::fmax has that
// rule; std::max(NaN, floor) would return the NaN.
double at_least(double value, double floor) { return std::fmax(value, floor); }

// The first rule that holds decides. Every comparison is strict, and a NaN
// statistic fails all of them, so a path with a NaN coordinate ends as "other".
double score(const CurvatureStats& s, std::size_t high_count, std::size_t curvature_count) {
    if (s.mean_curvature < STRAIGHT_MEAN_LIMIT && s.curvature_var < STRAIGHT_VAR_LIMIT) {
        return SCORE_STRAIGHT;
    }
    if (s.curvature_var < SMOOTH_VAR_LIMIT && s.curvature_rate_var < SMOOTH_RATE_VAR_LIMIT) {
        return SCORE_SMOOTH;
    }
    if (s.curvature_var > ERRATIC_VAR_LIMIT || s.curvature_rate_var > ERRATIC_RATE_VAR_LIMIT) {
        return SCORE_ERRATIC;
    }
    // "Mostly high": more than half of the curvature values, with the half
    // rounded down, so 2 of 4 is not enough but 3 of 5 is.
    if (s.curvature_rate_var > JERKY_RATE_VAR_LIMIT && high_count > curvature_count / 2) {
        return SCORE_JERKY;
    }
    return SCORE_OTHER;
}

// One segment between consecutive samples: its time step and its velocity.
struct Segment {
    double dt;
    double vx;
    double vy;
};

Segment segment(std::span<const double> x, std::span<const double> y, std::span<const double> t,
                std::size_t i) {
    const double dt = at_least(t[i + 1] - t[i], MIN_TIME_STEP);
    return {dt, (x[i + 1] - x[i]) / dt, (y[i + 1] - y[i]) / dt};
}

}  // namespace

CurvatureStats analyze_curvature(std::span<const double> x, std::span<const double> y,
                                 std::span<const double> t) {
    const std::size_t n = std::min({x.size(), y.size(), t.size()});
    if (n < CURVATURE_MIN_POINTS) return CurvatureStats{};

    // One pass over the interior points. Each segment, mean step and
    // acceleration is needed only by its neighbours, so only the curvature
    // values and their rates are kept, both of which are summed twice (mean,
    // then variance around it). Keeping every stage in its own array gave the
    // same numbers but made a 10,000-point call spend most of its time faulting
    // in fresh pages.
    std::vector<double> kappa;
    std::vector<double> rho;
    kappa.reserve(n - 2);
    rho.reserve(n - 3);
    std::size_t high_count = 0;
    Segment before = segment(x, y, t, 0);
    for (std::size_t k = 0; k + 2 < n; ++k) {
        const Segment after = segment(x, y, t, k + 1);
        const double h = (after.dt + before.dt) * MEAN_STEP_FACTOR;
        const double ax = (after.vx - before.vx) / h;
        const double ay = (after.vy - before.vy) / h;
        // The curvature at an interior point uses the velocity of the segment after it.
        const double u = after.vx;
        const double w = after.vy;
        const double s = (u * u + w * w) + SPEED_REGULARISER;
        kappa.push_back(std::fabs(u * ay - w * ax) / (s * std::sqrt(s)));
        if (kappa[k] > HIGH_CURVATURE_LEVEL) ++high_count;
        if (k > 0) rho.push_back((kappa[k] - kappa[k - 1]) / at_least(h, MIN_TIME_STEP));
        before = after;
    }

    CurvatureStats stats;
    stats.mean_curvature = mean_of(kappa);
    stats.curvature_var = variance_of(kappa, stats.mean_curvature);
    stats.curvature_rate_var = variance_of(rho, mean_of(rho));
    stats.curvature_score = score(stats, high_count, kappa.size());
    return stats;
}
