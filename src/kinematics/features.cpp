#include "kinematics/features.h"

TelemetryFeatures compute_features(const Telemetry& telemetry) {
    TelemetryFeatures out;
    out.mouse_points = telemetry.mouse_movements.size();

    // Over all samples in input order, not the 300-point window.
    out.touch = touch_features(telemetry.mouse_movements);

    if (telemetry.keystrokes.empty()) {
        out.keystrokes = KeystrokeStats{};
        out.keystrokes.digraph_entropy = NO_KEYSTROKES_DIGRAPH_ENTROPY;
    } else {
        out.keystrokes = compute_keystroke_features(telemetry.keystrokes);
    }

    KinematicsResult kinematics = compute_kinematics(telemetry.mouse_movements);
    out.kinematics = kinematics.features;
    if (kinematics.window.ts.size() >= CURVATURE_MIN_POINTS) {
        out.curvature =
            analyze_curvature(kinematics.window.xs, kinematics.window.ys, kinematics.window.ts);
    }
    return out;
}
