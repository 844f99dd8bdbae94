// Curvature of a sampled pointer path and a graded curvature score. Pure: no
// interpreter calls.
#pragma once

#include <cstddef>
#include <span>

struct CurvatureStats {
    double mean_curvature = 0.0;
    double curvature_var = 0.0;
    double curvature_rate_var = 0.0;
    double curvature_score = 0.0;
};

// Fewer points than this have no curvature rate: every value, the score too, is 0.0.
inline constexpr std::size_t CURVATURE_MIN_POINTS = 4;

// Uses the first n = min(|x|, |y|, |t|) samples; fewer than CURVATURE_MIN_POINTS
// give all zeros.
CurvatureStats analyze_curvature(std::span<const double> x, std::span<const double> y,
                                 std::span<const double> t);
