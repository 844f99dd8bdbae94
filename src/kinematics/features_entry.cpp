// extract_features_rs(telemetry): the whole telemetry dict in, 39 features out.
#include <Python.h>

#include <span>
#include <string_view>

#include "curvature/curvature_entry.h"
#include "keystrokes/keystrokes_entry.h"
#include "kinematics/features.h"
#include "kinematics/telemetry_reader.h"
#include "module/call_frame.h"
#include "module/entry_points.h"

namespace {

// The keys and their order are part of the function's contract: callers
// index the result by name and also read it in iteration order.
Result<PyRef> build_feature_dict(const Telemetry& telemetry, const TelemetryFeatures& f) {
    const KinematicFeatures& k = f.kinematics;
    const KeystrokeStats& keys = f.keystrokes;
    DictBuilder b;
    b.set_uint_item("mouse_points"_key, f.mouse_points);
    b.set_float_item("total_distance"_key, k.total_distance);
    b.set_float_item("straightness"_key, k.straightness);
    b.set_float_item("avg_velocity"_key, k.avg_velocity);
    b.set_float_item("max_velocity"_key, k.max_velocity);
    b.set_float_item("velocity_var"_key, k.velocity_var);
    b.set_float_item("avg_acceleration"_key, k.avg_acceleration);
    b.set_float_item("acceleration_var"_key, k.acceleration_var);
    b.set_float_item("avg_jerk"_key, k.avg_jerk);
    b.set_float_item("dt_var"_key, k.dt_var);
    b.set_uint_item("click_count"_key, telemetry.click_count);
    b.set_uint_item("key_count"_key, keys.key_count);
    // Older names of the flight-time statistics, kept beside the new ones.
    b.set_float_item("key_interval_avg"_key, keys.avg_flight_time);
    b.set_float_item("key_interval_var"_key, keys.flight_time_var);
    b.set_bool_item("webdriver"_key, telemetry.webdriver);
    b.set_bool_item("screen_valid"_key, telemetry.screen_valid);
    b.set_uint_item("scroll_count"_key, telemetry.scroll_count);
    b.set_float_item("terminal_decel_ratio"_key, k.terminal_decel_ratio);
    b.set_int_item("plugins_length"_key, telemetry.plugins_length);
    b.set_bool_item("touch_supported"_key, telemetry.touch_supported);
    b.set_float_item("screen_width"_key, telemetry.screen_width);
    b.set_float_item("spectral_purity"_key, k.spectral_purity);
    b.set_float_item("spectral_entropy"_key, k.spectral_entropy);
    b.set_uint_item("submovement_count"_key, k.submovement_count);
    b.set_int_item("max_touch_points"_key, telemetry.max_touch_points);
    b.set_float_item("avg_touch_radius"_key, f.touch.avg_touch_radius);
    b.set_float_item("touch_radius_var"_key, f.touch.touch_radius_var);
    b.set_float_item("avg_touch_force"_key, f.touch.avg_touch_force);
    b.set_uint_item("touch_event_count"_key, f.touch.touch_event_count);
    add_curvature_items(b, f.curvature);
    add_keystroke_timing_items(b, keys);
    return std::move(b).finish();
}

Result<PyRef> extract_features(PyObject* telemetry) {
    // After this read no object of the input is touched again.
    Result<Telemetry> read = read_telemetry(telemetry);
    if (!read) return read.take_error();
    const Telemetry& record = *read;
    const TelemetryFeatures features = compute_features(record);
    return build_feature_dict(record, features);
}

}  // namespace

PyObject* extract_features_rs(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return run_call<1>(EXTRACT_FEATURES_SPEC, args, nargs, kwnames,
                       [](std::span<PyObject* const, 1> a) { return extract_features(a[0]); });
}
