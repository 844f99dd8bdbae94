#include "kinematics/touch.h"

#include <vector>

#include "support/statistics.h"

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
    out.avg_touch_radius = mean_of(radii);
    out.touch_radius_var = variance_of(radii, out.avg_touch_radius);
    if (force_count > 0) out.avg_touch_force = force_sum / static_cast<double>(force_count);
    return out;
}
