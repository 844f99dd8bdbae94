// signals(telemetry): the pointer path and keystrokes of a telemetry dict in, a
// flat dict of behavioural signals (floats, NaN where not measurable) out.
#include <Python.h>

#include <span>
#include <utility>

#include "behaviour/behaviour.h"
#include "kinematics/telemetry_reader.h"
#include "module/call_frame.h"
#include "signals/entry_points.h"

namespace {

// The keys and their order are part of the function's contract: a model is
// trained on the columns in this order. Every value is a float.
Result<PyRef> build_signals_dict(const PointerSignals& p, const KeySignals& k) {
    DictBuilder b;
    b.set_float_item("pointer_movement_count"_key, p.pointer_movement_count);
    b.set_float_item("pointer_movement_duration_median_ms"_key,
                     p.pointer_movement_duration_median_ms);
    b.set_float_item("pointer_straightness_median"_key, p.pointer_straightness_median);
    b.set_float_item("pointer_straightness_min"_key, p.pointer_straightness_min);
    b.set_float_item("pointer_peak_time_median"_key, p.pointer_peak_time_median);
    b.set_float_item("pointer_peak_time_iqr"_key, p.pointer_peak_time_iqr);
    b.set_float_item("pointer_submovements_mean"_key, p.pointer_submovements_mean);
    b.set_float_item("pointer_submovements_multi_share"_key, p.pointer_submovements_multi_share);
    b.set_float_item("pointer_backtrack_mean"_key, p.pointer_backtrack_mean);
    b.set_float_item("pointer_endpoint_phase_median"_key, p.pointer_endpoint_phase_median);
    b.set_float_item("pointer_overshoot_share"_key, p.pointer_overshoot_share);
    b.set_float_item("pointer_overshoot_mean"_key, p.pointer_overshoot_mean);
    b.set_float_item("pointer_fitts_slope_ms"_key, p.pointer_fitts_slope_ms);
    b.set_float_item("pointer_fitts_intercept_ms"_key, p.pointer_fitts_intercept_ms);
    b.set_float_item("pointer_fitts_residual_ms"_key, p.pointer_fitts_residual_ms);
    b.set_float_item("pointer_zero_step_share"_key, p.pointer_zero_step_share);
    b.set_float_item("pointer_unit_step_share"_key, p.pointer_unit_step_share);
    b.set_float_item("pointer_axis_step_share"_key, p.pointer_axis_step_share);
    b.set_float_item("pointer_collinear_share"_key, p.pointer_collinear_share);
    b.set_float_item("pointer_turn_mean_abs"_key, p.pointer_turn_mean_abs);
    b.set_float_item("pointer_turn_p90_abs"_key, p.pointer_turn_p90_abs);
    b.set_float_item("pointer_turn_zero_share"_key, p.pointer_turn_zero_share);
    b.set_float_item("pointer_turn_sign_change_share"_key, p.pointer_turn_sign_change_share);
    b.set_float_item("key_press_count"_key, k.key_press_count);
    b.set_float_item("key_shift_share"_key, k.key_shift_share);
    b.set_float_item("key_modifier_share"_key, k.key_modifier_share);
    b.set_float_item("key_shift_chord_share"_key, k.key_shift_chord_share);
    b.set_float_item("key_rollover_share"_key, k.key_rollover_share);
    b.set_float_item("key_correction_share"_key, k.key_correction_share);
    b.set_float_item("key_hold_p10_ms"_key, k.key_hold_p10_ms);
    b.set_float_item("key_hold_p50_ms"_key, k.key_hold_p50_ms);
    b.set_float_item("key_hold_p90_ms"_key, k.key_hold_p90_ms);
    b.set_float_item("key_hold_iqr_ratio"_key, k.key_hold_iqr_ratio);
    b.set_float_item("key_hold_cv"_key, k.key_hold_cv);
    b.set_float_item("key_flight_rp_p10_ms"_key, k.key_flight_rp_p10_ms);
    b.set_float_item("key_flight_rp_p50_ms"_key, k.key_flight_rp_p50_ms);
    b.set_float_item("key_flight_rp_p90_ms"_key, k.key_flight_rp_p90_ms);
    b.set_float_item("key_flight_rp_iqr_ms"_key, k.key_flight_rp_iqr_ms);
    b.set_float_item("key_flight_pp_p10_ms"_key, k.key_flight_pp_p10_ms);
    b.set_float_item("key_flight_pp_p50_ms"_key, k.key_flight_pp_p50_ms);
    b.set_float_item("key_flight_pp_p90_ms"_key, k.key_flight_pp_p90_ms);
    b.set_float_item("key_flight_pp_iqr_ratio"_key, k.key_flight_pp_iqr_ratio);
    b.set_float_item("key_negative_flight_share"_key, k.key_negative_flight_share);
    b.set_float_item("key_digraph_cv_median"_key, k.key_digraph_cv_median);
    return std::move(b).finish();
}

Result<PyRef> signals_of_telemetry(PyObject* telemetry) {
    // The forgiving rules of extract_features_rs: anything but a dict reads as
    // empty, unusable entries are skipped. Key names are needed here (Shift,
    // corrections, digraphs); touch radius and force are not. After the read
    // no object of the input is touched again.
    Result<TraceTelemetry> read = read_trace_telemetry(telemetry, KeyNames::read);
    if (!read) return read.take_error();
    return build_signals_dict(compute_pointer_signals(read->mouse_movements),
                              compute_key_signals(read->keystrokes));
}

}  // namespace

PyObject* signals(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_call<1>(SIGNALS_SPEC, args, nargs, kwnames,
                       [](std::span<PyObject* const, 1> a) { return signals_of_telemetry(a[0]); });
}
