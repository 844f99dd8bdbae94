// Pointer kinematics over the time-ordered window of accepted samples: path
// length and straightness, velocity, acceleration and jerk statistics,
// terminal deceleration, submovements and the velocity spectrum. Pure: no
// interpreter calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kinematics/telemetry.h"

// The kinematics and the curvature block see at most this many points: the
// earliest ones by time stamp.
inline constexpr std::size_t KINEMATIC_POINT_LIMIT = 300;

struct KinematicFeatures {
    double total_distance = 0.0;
    double straightness = 1.0;
    double avg_velocity = 0.0;
    double max_velocity = 0.0;
    double velocity_var = 0.0;
    double dt_var = 0.0;
    double terminal_decel_ratio = 1.0;
    std::uint64_t submovement_count = 0;
    double avg_acceleration = 0.0;
    double acceleration_var = 0.0;
    double avg_jerk = 0.0;
    double spectral_purity = 0.0;
    double spectral_entropy = 1.0;
};

// The points the kinematics used, in ascending time order, as three parallel
// lists for the curvature block. Empty when there were two points or fewer.
struct KinematicWindow {
    std::vector<double> xs;
    std::vector<double> ys;
    std::vector<double> ts;
};

struct KinematicsResult {
    KinematicFeatures features;
    KinematicWindow window;
};

// `points` in input order, left as they are. The reader only delivers finite
// x, y and t.
KinematicsResult compute_kinematics(std::span<const MousePoint> points);
