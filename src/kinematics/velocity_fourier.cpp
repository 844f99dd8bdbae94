#include "kinematics/velocity_fourier.h"

#include <cmath>
#include <cstddef>
#include <vector>

#include "module/fatal.h"

namespace {

constexpr double TWO_PI = 6.283185307179586;
constexpr double POWER_THRESHOLD = 1e-9;
constexpr double PROBABILITY_THRESHOLD = 1e-12;

}  // namespace

SpectrumFeatures velocity_spectrum(std::span<const double> v, double avg_velocity) {
    const std::size_t m = v.size();
    if (m < 8) fatal("velocity_spectrum needs at least 8 velocities");
    const std::size_t half = m / 2;
    const double m_d = static_cast<double>(m);

    std::vector<double> centred(m);
    for (std::size_t j = 0; j < m; ++j) centred[j] = v[j] - avg_velocity;

    // The transform is direct and every angle is the plain product w * j handed
    // to sincos: a recurrence or a fast transform would change the last bits,
    // and the results are compared bit for bit.
    std::vector<double> power(half + 1, 0.0);  // index 0 unused
    for (std::size_t k = 1; k <= half; ++k) {
        const double w = (static_cast<double>(k) * TWO_PI) / m_d;
        double re = 0.0;
        double im = 0.0;
        for (std::size_t j = 0; j < m; ++j) {
            double s = 0.0;
            double c = 0.0;
            sincos(w * static_cast<double>(j), &s, &c);
            re += centred[j] * c;
            im -= centred[j] * s;
        }
        power[k] = re * re + im * im;
    }

    double total = 0.0;
    for (std::size_t k = 1; k <= half; ++k) total += power[k];
    SpectrumFeatures out;
    if (total <= POWER_THRESHOLD) return out;  // no variation in speed

    double strongest = 0.0;
    for (std::size_t k = 1; k <= half; ++k) {
        if (power[k] > strongest) strongest = power[k];
    }
    out.spectral_purity = strongest / total;

    double entropy = 0.0;
    for (std::size_t k = 1; k <= half; ++k) {
        const double p = power[k] / total;
        if (p > PROBABILITY_THRESHOLD) entropy -= p * std::log2(p);
    }
    out.spectral_entropy = entropy / std::log2(static_cast<double>(half));
    return out;
}
