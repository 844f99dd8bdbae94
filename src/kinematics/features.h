// Every block of the telemetry feature set, computed from a Telemetry record
// that has already been read. Pure: no interpreter calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "curvature/curvature.h"
#include "keystrokes/keystrokes.h"
#include "kinematics/kinematics.h"
#include "kinematics/telemetry.h"
#include "kinematics/touch.h"

// 0.5 is what the keystroke analysis reports when it has too few flight times
// to judge. The feature set shows the same when there are no keystrokes at all,
// where the analysis itself (not called then) would return all zeros.
inline constexpr double NO_KEYSTROKES_DIGRAPH_ENTROPY = 0.5;

struct TelemetryFeatures {
    std::uint64_t mouse_points = 0;  // accepted samples, before the time window
    KinematicFeatures kinematics;
    TouchFeatures touch;
    KeystrokeStats keystrokes;
    CurvatureStats curvature;
};

TelemetryFeatures compute_features(const Telemetry& telemetry);
