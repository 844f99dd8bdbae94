// Behavioural signals: measures of how a pointer moves and how keys are typed
// that the 39 features leave out, for a gradient-boosted model downstream.
// Every value is a double; NaN where a signal cannot be measured on the
// session (no movements, too few keys), which that model treats as missing.
// The definitions, units and NaN cases are in docs/signals.md.
//
// Deterministic and the same bits on every run: sums are taken in a fixed
// order, one addition at a time; quantiles interpolate between order
// statistics; the build forbids FMA contraction. Pure: no interpreter calls.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "keystrokes/keystrokes.h"
#include "kinematics/telemetry.h"

// --- pointer ------------------------------------------------------------------------

// At most this many samples, the earliest by time, are looked at.
inline constexpr std::size_t SIGNAL_POINT_LIMIT = 4096;
// A gap between samples, or a stay in one place, of at least this long (ms)
// ends a movement. Long enough for clients that sample only every 100-150 ms.
inline constexpr double MOVEMENT_PAUSE_MS = 300.0;
// A movement is measured only with at least this many samples at distinct
// times and this straight-line distance from start to end (px).
inline constexpr std::size_t MOVEMENT_MIN_TIMES = 4;
inline constexpr double MOVEMENT_MIN_CHORD_PX = 10.0;
// A local maximum of the smoothed speed counts as a sub-movement when it
// reaches this share of the movement's peak speed.
inline constexpr double SUBMOVEMENT_PEAK_SHARE = 0.3;
// Nominal target width (px) of the Fitts'-law index of difficulty
// log2(distance / width + 1); the fit needs this many movements.
inline constexpr double FITTS_WIDTH_PX = 20.0;
inline constexpr std::size_t FITTS_MIN_MOVEMENTS = 3;
// The final part of a movement starts where the path first reaches this share
// of the distance along the start-to-end line.
inline constexpr double ENDPOINT_PHASE_SHARE = 0.9;
// A movement overshoots when it goes past its end point, along the
// start-to-end line, by more than this share of the distance.
inline constexpr double OVERSHOOT_MIN_SHARE = 0.02;

struct PointerSignals {
    double pointer_movement_count = 0.0;
    double pointer_movement_duration_median_ms = 0.0;
    double pointer_straightness_median = 0.0;
    double pointer_straightness_min = 0.0;
    double pointer_peak_time_median = 0.0;
    double pointer_peak_time_iqr = 0.0;
    double pointer_submovements_mean = 0.0;
    double pointer_submovements_multi_share = 0.0;
    double pointer_backtrack_mean = 0.0;
    double pointer_endpoint_phase_median = 0.0;
    double pointer_overshoot_share = 0.0;
    double pointer_overshoot_mean = 0.0;
    double pointer_fitts_slope_ms = 0.0;
    double pointer_fitts_intercept_ms = 0.0;
    double pointer_fitts_residual_ms = 0.0;
    double pointer_zero_step_share = 0.0;
    double pointer_unit_step_share = 0.0;
    double pointer_axis_step_share = 0.0;
    double pointer_collinear_share = 0.0;
    double pointer_turn_mean_abs = 0.0;
    double pointer_turn_p90_abs = 0.0;
    double pointer_turn_zero_share = 0.0;
    double pointer_turn_sign_change_share = 0.0;
};

// One measured movement, for the tests and the session figures above.
struct Movement {
    std::size_t first = 0;  // index of its first and last sample in the time-sorted path
    std::size_t last = 0;
    double duration_ms = 0.0;
    double chord_px = 0.0;         // straight-line distance from start to end
    double path_px = 0.0;          // length of the path travelled
    double straightness = 0.0;     // chord / path
    double peak_time = 0.0;        // time of peak speed as a share of the duration
    std::size_t submovements = 0;  // local speed maxima of at least the peak share
    double backtrack = 0.0;        // share of the path on steps against the chord
    double endpoint_phase = 0.0;   // share of the path in the final part
    double overshoot = 0.0;        // distance past the end point / chord, >= 0
};

// The samples sorted by time (stable: equal times keep input order), at most
// SIGNAL_POINT_LIMIT of them.
std::vector<MousePoint> time_sorted_path(std::span<const MousePoint> points);

// The measurable movements of a time-sorted path, in time order.
std::vector<Movement> split_movements(std::span<const MousePoint> path);

PointerSignals compute_pointer_signals(std::span<const MousePoint> points);

// --- keys ---------------------------------------------------------------------------

// Consecutive presses further apart than this (ms) are a pause, not a flight.
inline constexpr double KEY_PAUSE_MS = 2000.0;
// Quantiles and spreads of hold and flight times need this many values.
inline constexpr std::size_t KEY_MIN_TIMES = 5;

struct KeySignals {
    double key_press_count = 0.0;
    double key_shift_share = 0.0;
    double key_modifier_share = 0.0;
    double key_shift_chord_share = 0.0;
    double key_rollover_share = 0.0;
    double key_correction_share = 0.0;
    double key_hold_p10_ms = 0.0;
    double key_hold_p50_ms = 0.0;
    double key_hold_p90_ms = 0.0;
    double key_hold_iqr_ratio = 0.0;
    double key_hold_cv = 0.0;
    double key_flight_rp_p10_ms = 0.0;
    double key_flight_rp_p50_ms = 0.0;
    double key_flight_rp_p90_ms = 0.0;
    double key_flight_rp_iqr_ms = 0.0;
    double key_flight_pp_p10_ms = 0.0;
    double key_flight_pp_p50_ms = 0.0;
    double key_flight_pp_p90_ms = 0.0;
    double key_flight_pp_iqr_ratio = 0.0;
    double key_negative_flight_share = 0.0;
    double key_digraph_cv_median = 0.0;
};

bool is_shift_key(std::string_view key);
// Control, Alt, AltGraph, Meta, OS (Shift not included).
bool is_other_modifier_key(std::string_view key);

KeySignals compute_key_signals(std::span<const KeystrokeEvent> keys);

// --- helpers shared with the tests --------------------------------------------------

// Sorts ascending with NaN after every number: a total order, so that values
// made NaN by extreme input (differences that overflow) cannot break the sort.
void sort_values(std::vector<double>& values);

// The q-quantile (0 <= q <= 1) of sorted values, interpolating linearly between
// the two order statistics around (n - 1) q. NaN for no values.
double sorted_quantile(std::span<const double> sorted, double q);
