// evaluate_keystroke_dynamics_rs(keystrokes): reads a list of keystroke events
// forgivingly and returns their timing features as a seven-entry dict.
//
// The reader (keystroke_reader.h) is forgiving. Each element is either a (key,
// down, up) tuple or an event dict; anything else, and anything that fails to
// convert, is skipped and its error discarded. Only an error that is not about
// the data (an interrupt, SystemExit, MemoryError) stops the read and is raised
// unchanged. Containers are read from their own storage, so item access methods
// of list, tuple and dict subclasses are never consulted.
#include <Python.h>

#include <array>
#include <cstddef>
#include <limits>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "keystrokes/keystroke_reader.h"
#include "keystrokes/keystrokes.h"
#include "keystrokes/keystrokes_entry.h"
#include "module/call_frame.h"
#include "module/entry_points.h"

namespace {

Result<std::vector<KeystrokeEvent>> read_keystrokes(PyObject* obj) {
    std::vector<KeystrokeEvent> events;
    if (!PyList_Check(obj)) return events;  // any other argument reads as no events
    // Every entry; tuples too; release records skipped; "down" before "t" and "time".
    const std::array<StaticKey, 3> press_time_keys = {"down"_key, "t"_key, "time"_key};
    const KeystrokeListRules rules{press_time_keys, std::numeric_limits<std::size_t>::max(), true,
                                   true};
    ForgivingReader r;
    read_keystroke_list(r, obj, rules, events);
    Status read = std::move(r).finish();
    if (!read) return read.take_error();
    return events;
}

Result<PyRef> evaluate_keystroke_dynamics(PyObject* keystrokes) {
    Result<std::vector<KeystrokeEvent>> events = read_keystrokes(keystrokes);
    if (!events) return events.take_error();
    const KeystrokeStats stats = compute_keystroke_features(*events);

    DictBuilder result;
    result.set_uint_item("key_count"_key, stats.key_count);
    add_keystroke_timing_items(result, stats);
    return std::move(result).finish();
}

}  // namespace

void add_keystroke_timing_items(DictBuilder& b, const KeystrokeStats& stats) {
    b.set_float_item("avg_dwell_time"_key, stats.avg_dwell_time);
    b.set_float_item("dwell_time_var"_key, stats.dwell_time_var);
    b.set_float_item("avg_flight_time"_key, stats.avg_flight_time);
    b.set_float_item("flight_time_var"_key, stats.flight_time_var);
    b.set_float_item("digraph_entropy"_key, stats.digraph_entropy);
    b.set_float_item("keystroke_score"_key, stats.keystroke_score);
}

PyObject* evaluate_keystroke_dynamics_rs(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    return run_call<1>(KEYSTROKES_SPEC, args, nargs, kwnames, [](std::span<PyObject* const, 1> a) {
        return evaluate_keystroke_dynamics(a[0]);
    });
}
