#include "kinematics/touch.h"

#include <vector>

TouchFeatures touch_features(std::span<const MousePoint> points) {
    std::vector<double> radii;
    double force_sum = 0.0;
    std::uint64_t force_count = 0;
    for (const MousePoint& p : points) {
        if (p.r > 0.0) radii.push_back(p.r);
        if (p.f > 0.0) {
            force_sum += p.f;
            ++force_count;
        }
    }

    TouchFeatures out;
    out.touch_event_count = radii.size();
    if (!radii.empty()) {
        double sum = 0.0;
        for (double r : radii) sum += r;
        const double count = static_cast<double>(radii.size());
        out.avg_touch_radius = sum / count;
        double squares = 0.0;
        for (double r : radii) {
            const double d = r - out.avg_touch_radius;
            squares += d * d;
        }
        out.touch_radius_var = squares / count;
    }
    if (force_count > 0) out.avg_touch_force = force_sum / static_cast<double>(force_count);
    return out;
}
