#include "kinematics/kinematics.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "kinematics/velocity_fourier.h"
#include "support/statistics.h"

namespace {

constexpr double MIN_SEGMENT_DT = 0.1;
constexpr double DISTANCE_THRESHOLD = 1e-4;
constexpr double VELOCITY_THRESHOLD = 1e-5;
constexpr double PEAK_FACTOR = 0.15;

// Orders time stamps. NaN cannot come from the reader, but placing it after
// every number keeps this a strict weak ordering for any caller, so the sort
// never runs into undefined behaviour.
bool earlier(double a, double b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}

struct Stamp {
    double t;
    std::size_t position;  // in the input
};

// Time first, then input position: a total order that puts equal time stamps
// in input order, as a stable sort by time would.
bool stamp_before(const Stamp& a, const Stamp& b) {
    if (earlier(a.t, b.t)) return true;
    if (earlier(b.t, a.t)) return false;
    return a.position < b.position;
}

}  // namespace

KinematicsResult compute_kinematics(std::span<const MousePoint> points) {
    KinematicsResult result;
    if (points.size() <= 2) return result;

    // The window is the 300 earliest points of a stable sort by time (equal
    // time stamps keep their input order). Samples usually arrive in time
    // order, and then the window is simply the first 300. Otherwise ties are
    // broken by input position, which makes the order total, so selecting the
    // 300 earliest (linear on average, whatever the input order) and sorting
    // only those gives exactly that window. The caller's list is left in input
    // order for the touch features.
    const std::size_t n = std::min(points.size(), KINEMATIC_POINT_LIMIT);
    const std::size_t m = n - 1;  // segments, at least 2
    std::vector<Stamp> stamps(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) stamps[i] = Stamp{points[i].t, i};
    const auto before = [](const Stamp& a, const Stamp& b) { return stamp_before(a, b); };
    if (!std::is_sorted(stamps.begin(), stamps.end(), before)) {
        const auto cut = stamps.begin() + static_cast<std::ptrdiff_t>(n);
        std::nth_element(stamps.begin(), cut, stamps.end(), before);
        std::sort(stamps.begin(), cut, before);
    }

    KinematicWindow& window = result.window;
    window.xs.resize(n);
    window.ys.resize(n);
    window.ts.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const MousePoint& p = points[stamps[i].position];
        window.xs[i] = p.x;
        window.ys[i] = p.y;
        window.ts[i] = p.t;
    }
    const std::vector<double>& x = window.xs;
    const std::vector<double>& y = window.ys;
    const std::vector<double>& t = window.ts;

    const double dx_total = x[n - 1] - x[0];
    const double dy_total = y[n - 1] - y[0];
    const double displacement = std::sqrt(dx_total * dx_total + dy_total * dy_total);

    std::vector<double> dist(m);
    std::vector<double> dt(m);
    std::vector<double> v(m);
    for (std::size_t i = 0; i < m; ++i) {
        const double dx = x[i + 1] - x[i];
        const double dy = y[i + 1] - y[i];
        dist[i] = std::sqrt(dx * dx + dy * dy);
        const double step = t[i + 1] - t[i];
        dt[i] = step > MIN_SEGMENT_DT ? step : MIN_SEGMENT_DT;
        v[i] = dist[i] / dt[i];
    }

    KinematicFeatures& f = result.features;
    double total = 0.0;
    for (double d : dist) total += d;
    f.total_distance = total;
    if (total <= DISTANCE_THRESHOLD) {
        f.straightness = 1.0;
    } else {
        // Rounding can make the displacement exceed the path length by an ulp.
        f.straightness = std::min(displacement / total, 1.0);
    }

    f.avg_velocity = mean_of(v);
    f.max_velocity = 0.0;
    for (double value : v) {
        if (value > f.max_velocity) f.max_velocity = value;
    }
    f.velocity_var = variance_of(v, f.avg_velocity);
    f.dt_var = variance_of(dt, mean_of(dt));

    const std::size_t tail_count = std::max<std::size_t>(m / 4, 1);
    const double tail = mean_of(std::span<const double>(v).subspan(m - tail_count));
    const bool moving = f.max_velocity > VELOCITY_THRESHOLD;
    double peak_floor = 0.0;
    if (moving) {
        f.terminal_decel_ratio = tail / f.max_velocity;
        peak_floor = PEAK_FACTOR * f.max_velocity;
    } else {
        f.terminal_decel_ratio = 1.0;
    }

    std::uint64_t peaks = 0;
    for (std::size_t i = 1; i + 1 < m; ++i) {
        if (v[i] > v[i - 1] && v[i] > v[i + 1] && v[i] >= peak_floor) ++peaks;
    }
    // A pointer that moved made at least one submovement, even without a
    // clear interior peak.
    f.submovement_count = moving ? std::max<std::uint64_t>(peaks, 1) : 0;

    if (m >= SPECTRUM_MIN_VELOCITIES) {
        const SpectrumFeatures spectrum = velocity_spectrum(v, f.avg_velocity);
        f.spectral_purity = spectrum.spectral_purity;
        f.spectral_entropy = spectrum.spectral_entropy;
    }

    // Each difference is divided by the time step of the later segment.
    std::vector<double> accel(m - 1);
    for (std::size_t i = 0; i + 1 < m; ++i) accel[i] = (v[i + 1] - v[i]) / dt[i + 1];
    f.avg_acceleration = mean_of(accel);
    f.acceleration_var = variance_of(accel, f.avg_acceleration);

    if (accel.size() >= 2) {
        double sum = 0.0;
        for (std::size_t i = 0; i + 1 < accel.size(); ++i) {
            sum += std::fabs((accel[i + 1] - accel[i]) / dt[i + 2]);
        }
        f.avg_jerk = sum / static_cast<double>(accel.size() - 1);
    }
    return result;
}
