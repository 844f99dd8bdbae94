// Touch statistics over every accepted pointer sample. Pure: no interpreter calls.
#pragma once

#include <cstdint>
#include <span>

#include "kinematics/telemetry.h"

struct TouchFeatures {
    double avg_touch_radius = 0.0;
    double touch_radius_var = 0.0;
    double avg_touch_force = 0.0;
    std::uint64_t touch_event_count = 0;  // samples with a positive radius
};

// Only positive radii and forces count (NaN and non-positive values are left
// out), each collected on its own: a sample may give a force without a radius.
TouchFeatures touch_features(std::span<const MousePoint> points);
