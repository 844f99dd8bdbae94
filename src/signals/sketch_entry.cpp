// trace_sketch(telemetry): the pointer path and key timing of a telemetry dict
// in, a flat dict of band hashes, MinHash signatures and shingle counts out.
#include <Python.h>

#include <span>
#include <utility>

#include "kinematics/telemetry_reader.h"
#include "module/call_frame.h"
#include "signals/entry_points.h"
#include "sketch/sketch.h"

namespace {

// The keys and their order are part of the function's contract: a memory of
// sketches stores them by name.
Result<PyRef> build_sketch_dict(const TraceSketch& sketch) {
    DictBuilder b;
    b.set_int_item("version"_key, SKETCH_VERSION);
    b.set_uint_list_item("pointer_bands"_key, sketch.pointer.bands);
    b.set_uint_list_item("pointer_signature"_key, sketch.pointer.signature);
    b.set_uint_item("pointer_shingles"_key, sketch.pointer.shingles);
    b.set_uint_list_item("key_bands"_key, sketch.keys.bands);
    b.set_uint_list_item("key_signature"_key, sketch.keys.signature);
    b.set_uint_item("key_shingles"_key, sketch.keys.shingles);
    return std::move(b).finish();
}

Result<PyRef> sketch_telemetry(PyObject* telemetry) {
    // The same forgiving rules as extract_features_rs: bad entries are skipped,
    // wrong types defaulted; only the fields the sketch uses are read. After it
    // no object of the input is touched again.
    Result<TraceTelemetry> read = read_trace_telemetry(telemetry);
    if (!read) return read.take_error();
    return build_sketch_dict(compute_trace_sketch(read->mouse_movements, read->keystrokes));
}

}  // namespace

PyObject* trace_sketch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_call<1>(TRACE_SKETCH_SPEC, args, nargs, kwnames,
                       [](std::span<PyObject* const, 1> a) { return sketch_telemetry(a[0]); });
}
