#include "kinematics/velocity_fourier.h"

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "support/fatal.h"

namespace {

constexpr double TWO_PI = 6.283185307179586;
constexpr double POWER_THRESHOLD = 1e-9;
constexpr double PROBABILITY_THRESHOLD = 1e-12;

// Frequencies summed side by side. Each frequency keeps its own two sums, each
// taken over j in order, so running several at once changes no bit of any
// result; it only lets the processor overlap the additions.
constexpr std::size_t LANES = 8;

std::size_t blocks_for(std::size_t m) { return (m / 2 + LANES - 1) / LANES; }

// A table for length m: for each block of LANES frequencies (k = 1 + LANES * b ..),
// for each j = 0 .. m-1, the LANES cosines and then the LANES sines of w_k * j.
// Lanes past m/2 in the last block hold zeros and their sums are dropped.
std::size_t table_doubles(std::size_t m) { return blocks_for(m) * m * 2 * LANES; }
std::size_t table_bytes(std::size_t m) { return table_doubles(m) * sizeof(double); }

double angle_step(std::size_t k, std::size_t m) {
    // The product first, then the division.
    return (static_cast<double>(k) * TWO_PI) / static_cast<double>(m);
}

const double* build_table(std::size_t m) {
    const std::size_t half = m / 2;
    double* table = new double[table_doubles(m)]();
    for (std::size_t b = 0; b < blocks_for(m); ++b) {
        double* block = table + b * m * 2 * LANES;
        for (std::size_t q = 0; q < LANES; ++q) {
            const std::size_t k = 1 + b * LANES + q;
            if (k > half) break;
            const double w = angle_step(k, m);
            for (std::size_t j = 0; j < m; ++j) {
                double s = 0.0;
                double c = 0.0;
                sincos(w * static_cast<double>(j), &s, &c);
                block[j * 2 * LANES + q] = c;
                block[j * 2 * LANES + LANES + q] = s;
            }
        }
    }
    return table;
}

// One slot per length. Constant-initialised atomics: nothing runs at start-up
// or exit, and a table, once published, is never replaced or freed.
std::atomic<const double*> g_tables[SPECTRUM_ALWAYS_TABLED + 1] = {};
std::atomic<std::size_t> g_table_bytes{0};

// The table for length m, or nullptr when it is not kept (over the budget).
const double* table_for(std::size_t m) {
    if (m > SPECTRUM_ALWAYS_TABLED) return nullptr;
    if (const double* table = g_tables[m].load(std::memory_order_acquire)) return table;

    // Room for the always-kept table is set aside until it exists, so the
    // total never passes the budget whichever lengths come first.
    const bool always = m == SPECTRUM_ALWAYS_TABLED;
    const std::size_t set_aside =
        always || g_tables[SPECTRUM_ALWAYS_TABLED].load(std::memory_order_acquire)
            ? 0
            : table_bytes(SPECTRUM_ALWAYS_TABLED);
    const std::size_t bytes = table_bytes(m);
    const std::size_t before = g_table_bytes.fetch_add(bytes, std::memory_order_relaxed);
    if (!always && before + bytes + set_aside > SPECTRUM_TABLE_BUDGET) {
        g_table_bytes.fetch_sub(bytes, std::memory_order_relaxed);
        return nullptr;
    }
    const double* table = build_table(m);
    const double* expected = nullptr;
    if (!g_tables[m].compare_exchange_strong(expected, table, std::memory_order_acq_rel)) {
        // Another thread published the same table first; keep that one.
        delete[] table;
        g_table_bytes.fetch_sub(bytes, std::memory_order_relaxed);
        return expected;
    }
    return table;
}

// Two doubles operated on lane by lane: each lane's product and sum is the
// plain IEEE operation on that lane, so packing changes no result.
typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
constexpr std::size_t PAIRS = LANES / 2;

Pair load_pair(const double* from) {
    Pair out;
    std::memcpy(&out, from, sizeof out);
    return out;
}

// power[k] = re^2 + im^2 for k = 1 .. m/2, from the kept table.
void power_from_table(const double* table, std::span<const double> centred,
                      std::vector<double>& power) {
    const std::size_t m = centred.size();
    const std::size_t half = m / 2;
    for (std::size_t b = 0; b < blocks_for(m); ++b) {
        const double* block = table + b * m * 2 * LANES;
        Pair re[PAIRS] = {};
        Pair im[PAIRS] = {};
        for (std::size_t j = 0; j < m; ++j) {
            const Pair c = {centred[j], centred[j]};
            const double* cosines = block + j * 2 * LANES;
            const double* sines = cosines + LANES;
            for (std::size_t p = 0; p < PAIRS; ++p) {
                re[p] += c * load_pair(cosines + 2 * p);
                im[p] -= c * load_pair(sines + 2 * p);
            }
        }
        for (std::size_t q = 0; q < LANES; ++q) {
            const std::size_t k = 1 + b * LANES + q;
            if (k > half) break;
            const double r = re[q / 2][q % 2];
            const double i = im[q / 2][q % 2];
            power[k] = r * r + i * i;
        }
    }
}

// The same sums with the sines and cosines computed on the spot.
void power_direct(std::span<const double> centred, std::vector<double>& power) {
    const std::size_t m = centred.size();
    for (std::size_t k = 1; k <= m / 2; ++k) {
        const double w = angle_step(k, m);
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
}

}  // namespace

std::size_t spectrum_table_bytes() { return g_table_bytes.load(std::memory_order_relaxed); }

SpectrumFeatures velocity_spectrum(std::span<const double> v, double avg_velocity) {
    const std::size_t m = v.size();
    if (m < SPECTRUM_MIN_VELOCITIES) fatal("velocity_spectrum needs at least 8 velocities");
    const std::size_t half = m / 2;

    std::vector<double> centred(m);
    for (std::size_t j = 0; j < m; ++j) centred[j] = v[j] - avg_velocity;

    // The transform is direct and every angle is the plain product w * j handed
    // to sincos: a recurrence or a fast transform would change the last bits,
    // and the results are compared bit for bit.
    std::vector<double> power(half + 1, 0.0);  // index 0 unused
    if (const double* table = table_for(m)) {
        power_from_table(table, centred, power);
    } else {
        power_direct(centred, power);
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
