// The velocity spectrum, served from its kept sine/cosine tables or computed on
// the spot, against a plain direct transform written out here as the reference.
// Driven by tests/python/test_features.py; exit status 0 when every check held.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "kinematics/velocity_fourier.h"

#include "check.h"

namespace {

std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// Frequencies k = 1 .. m/2, angle (k * 2pi / m) * j through sincos, each sum in j order.
SpectrumFeatures reference(const std::vector<double>& v, double avg) {
    const std::size_t m = v.size();
    const std::size_t half = m / 2;
    std::vector<double> power;
    for (std::size_t k = 1; k <= half; ++k) {
        const double w = (static_cast<double>(k) * 6.283185307179586) / static_cast<double>(m);
        double re = 0.0, im = 0.0;
        for (std::size_t j = 0; j < m; ++j) {
            double s, c;
            sincos(w * static_cast<double>(j), &s, &c);
            re += (v[j] - avg) * c;
            im -= (v[j] - avg) * s;
        }
        power.push_back(re * re + im * im);
    }
    double total = 0.0;
    for (double p : power) total += p;
    if (total <= 1e-9) return {};
    double strongest = 0.0;
    for (double p : power) strongest = p > strongest ? p : strongest;
    double h = 0.0;
    for (double p : power) {
        const double share = p / total;
        if (share > 1e-12) h -= share * std::log2(share);
    }
    return {strongest / total, h / std::log2(static_cast<double>(half))};
}

// Speeds as a pointer gives them, plus series with zeros, repeats and values
// that overflow or are not numbers, which must travel through every lane alike.
std::vector<double> series(std::mt19937_64& rng, std::size_t m, int shape) {
    std::lognormal_distribution<double> speed(0.0, 1.2);
    std::vector<double> v(m);
    for (double& x : v) x = speed(rng);
    if (shape == 1) {
        for (std::size_t j = 0; j < m; j += 3) v[j] = 0.0;
    } else if (shape == 2) {
        v[rng() % m] = 1e300;
    } else if (shape == 3) {
        v[rng() % m] = std::numeric_limits<double>::quiet_NaN();
    } else if (shape == 4) {
        for (std::size_t j = 0; j < m; ++j) v[j] = j % 2 ? 3.0 : 1.0;
    }
    return v;
}

double mean(const std::vector<double>& v) {
    double sum = 0.0;
    for (double x : v) sum += x;
    return sum / static_cast<double>(v.size());
}

void same(const SpectrumFeatures& got, const SpectrumFeatures& want) {
    CHECK(bits(got.spectral_purity) == bits(want.spectral_purity) ||
          (std::isnan(got.spectral_purity) && std::isnan(want.spectral_purity)));
    CHECK(bits(got.spectral_entropy) == bits(want.spectral_entropy) ||
          (std::isnan(got.spectral_entropy) && std::isnan(want.spectral_entropy)));
}

}  // namespace

int main() {
    // Threads making the same tables at once (the process starts with none)
    // all get the reference result.
    std::vector<std::thread> threads;
    for (unsigned n = 0; n < 4; ++n) {
        threads.emplace_back([n] {
            std::mt19937_64 own(100 + n);
            for (std::size_t m : {60u, 61u, 62u, 63u, 299u}) {
                const std::vector<double> v = series(own, m, 0);
                const double avg = mean(v);
                same(velocity_spectrum(v, avg), reference(v, avg));
            }
        });
    }
    for (std::thread& t : threads) t.join();

    std::mt19937_64 rng(7);
    // Every length, short ones first: the budget is spent before the long ones
    // come, so both the kept tables and the on-the-spot transform are compared. Each
    // length is called twice: the first call may make its table, the second uses it.
    for (std::size_t m = 8; m <= 299; ++m) {
        for (int shape = 0; shape < 5; ++shape) {
            const std::vector<double> v = series(rng, m, shape);
            const double avg = mean(v);
            const SpectrumFeatures want = reference(v, avg);
            same(velocity_spectrum(v, avg), want);
            same(velocity_spectrum(v, avg), want);
        }
        CHECK(spectrum_table_bytes() <= SPECTRUM_TABLE_BUDGET);
    }
    // The longest window's table is kept whatever came before it, and the
    // budget was used up by then, so some lengths were transformed on the spot.
    CHECK(spectrum_table_bytes() >= 727168);
    CHECK(spectrum_table_bytes() + 299 * 149 * 16 > SPECTRUM_TABLE_BUDGET);

    std::puts("ok");
    return 0;
}
