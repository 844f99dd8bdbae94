// How rhythmic a pointer's speed profile is: a direct discrete Fourier
// transform of the mean-free segment velocities. Pure: no interpreter calls.
#pragma once

#include <cstddef>
#include <span>

struct SpectrumFeatures {
    double spectral_purity = 0.0;   // share of the strongest frequency in the total power
    double spectral_entropy = 1.0;  // normalised Shannon entropy of the power distribution
};

// The transform needs at least this many velocities; with fewer the spectral
// features keep their defaults.
inline constexpr std::size_t SPECTRUM_MIN_VELOCITIES = 8;

// `v` holds at least SPECTRUM_MIN_VELOCITIES velocities and `avg_velocity` is their mean.
// Frequencies 1 .. floor(m/2) take part; the constant term does not.
SpectrumFeatures velocity_spectrum(std::span<const double> v, double avg_velocity);

// The sines and cosines of a transform depend on its length m alone, so they are
// kept in tables, made on first use by the same sincos calls the direct sum makes
// and never freed (they hold no input data). The table of the longest window
// (m = 299, every session of 300 samples or more; 727,168 bytes) is always kept.
// Tables of other lengths are kept while all tables together, that one included,
// stay within the budget below; a length whose table does not fit is transformed
// with sincos calls on the spot, with the same result.
inline constexpr std::size_t SPECTRUM_ALWAYS_TABLED = 299;
inline constexpr std::size_t SPECTRUM_TABLE_BUDGET = std::size_t{4} << 20;  // bytes

// Bytes held by the tables made so far in this process.
std::size_t spectrum_table_bytes();
