// Curvature of a sampled pointer path and a graded curvature score. Pure: no
// interpreter calls.
#pragma once

#include <span>

struct CurvatureStats {
    double mean_curvature = 0.0;
    double curvature_var = 0.0;
    double curvature_rate_var = 0.0;
    double curvature_score = 0.0;
};

// Uses the first n = min(|x|, |y|, |t|) samples; fewer than four give all zeros.
CurvatureStats analyze_curvature(std::span<const double> x, std::span<const double> y,
                                 std::span<const double> t);
