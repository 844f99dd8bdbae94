// Means and population variances as every feature of the module defines them:
// the sum is taken in index order, one addition at a time, then divided by the
// count (never count - 1). No list is reordered or split for speed, because the
// last bit of each result is part of the contract. Python-free, for the pure
// cores.
#pragma once

#include <span>

// 0.0 for no values.
inline double mean_of(std::span<const double> values) {
    if (values.empty()) return 0.0;
    double sum = 0.0;
    for (double v : values) sum += v;
    return sum / static_cast<double>(values.size());
}

// Population variance around `mean`; 0.0 for no values.
inline double variance_of(std::span<const double> values, double mean) {
    if (values.empty()) return 0.0;
    double sum = 0.0;
    for (double v : values) {
        const double d = v - mean;
        sum += d * d;
    }
    return sum / static_cast<double>(values.size());
}
