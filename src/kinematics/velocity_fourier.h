// How rhythmic a pointer's speed profile is: a direct discrete Fourier
// transform of the mean-free segment velocities. Pure: no interpreter calls.
#pragma once

#include <span>

struct SpectrumFeatures {
    double spectral_purity = 0.0;   // share of the strongest frequency in the total power
    double spectral_entropy = 1.0;  // normalised Shannon entropy of the power distribution
};

// `v` holds at least 8 velocities and `avg_velocity` is their mean. Frequencies
// 1 .. floor(m/2) take part; the constant term does not.
SpectrumFeatures velocity_spectrum(std::span<const double> v, double avg_velocity);
