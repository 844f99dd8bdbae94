// evaluate_keystroke_dynamics_rs(keystrokes): reads a list of keystroke events
// forgivingly and returns their timing features as a seven-entry dict.
//
// The reader is forgiving. Each element is either a (key, down, up) tuple or an
// event dict; anything else, and anything that fails to convert, is skipped and
// its error discarded. Only an error that is not about the data (an interrupt,
// SystemExit, MemoryError) stops the read and is raised unchanged. Containers are read from their own storage, so item
// access methods of list, tuple and dict subclasses are never consulted.
#include <Python.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "keystrokes/keystrokes.h"
#include "module/call_frame.h"
#include "module/entry_points.h"

namespace {

constexpr std::string_view PARAMS[] = {"keystrokes"};
constexpr ParamSpec SPEC{"evaluate_keystroke_dynamics_rs", PARAMS};

// The "type" of a release record, and the key text of an event without one.
constexpr std::string_view RELEASE_TYPE = "up";
constexpr std::string_view UNKNOWN_KEY = "unknown";

// (key, down, up): key a str, down a number, up a number or None. Values are
// taken as they are, NaN and infinities included.
std::optional<KeystrokeEvent> read_tuple_event(ForgivingReader& r, PyObject* item) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3) return std::nullopt;
    // Borrowed items: a tuple's storage never changes and the caller holds the tuple.
    std::optional<std::string> key = r.read_text(PyTuple_GET_ITEM(item, 0));
    if (!key) return std::nullopt;
    std::optional<double> down = r.read_double(PyTuple_GET_ITEM(item, 1));
    if (!down) return std::nullopt;
    KeystrokeEvent event{std::move(*key), *down, std::nullopt};
    PyObject* up = PyTuple_GET_ITEM(item, 2);
    if (up != Py_None) {
        std::optional<double> value = r.read_double(up);
        if (!value) return std::nullopt;
        event.up = *value;
    }
    return event;
}

// A client event dict. Release records ("type" == "up") are not keystrokes; the
// press time is the first finite one of "down", "t", "time".
std::optional<KeystrokeEvent> read_dict_event(ForgivingReader& r, PyObject* item) {
    if (!PyDict_Check(item)) return std::nullopt;

    PyRef type = r.dict_item(item, "type"_key);
    if (type && PyUnicode_Check(type.get()) &&
        PyUnicode_EqualToUTF8AndSize(type.get(), RELEASE_TYPE.data(),
                                     static_cast<Py_ssize_t>(RELEASE_TYPE.size()))) {
        return std::nullopt;
    }

    std::optional<double> down;
    for (StaticKey name : {"down"_key, "t"_key, "time"_key}) {
        PyRef value = r.dict_item(item, name);
        if (!value) continue;
        std::optional<double> t = r.read_double(value.get());
        if (t && std::isfinite(*t)) {
            down = t;
            break;
        }
    }
    if (!down) return std::nullopt;

    KeystrokeEvent event{std::string(UNKNOWN_KEY), *down, std::nullopt};
    if (PyRef key = r.dict_item(item, "key"_key)) {
        if (std::optional<std::string> text = r.read_text(key.get())) event.key = std::move(*text);
    }

    std::optional<double> up;
    if (PyRef value = r.dict_item(item, "up"_key)) up = r.read_double(value.get());
    if (up) {
        event.up = *up;
    } else if (PyRef value = r.dict_item(item, "duration_ms"_key)) {
        if (std::optional<double> duration = r.read_double(value.get())) {
            event.up = *down + *duration;
        }
    }
    return event;
}

Result<std::vector<KeystrokeEvent>> read_keystrokes(PyObject* obj) {
    std::vector<KeystrokeEvent> events;
    if (!PyList_Check(obj)) return events;  // any other argument reads as no events

    // The length is read once: elements appended while reading are not visited.
    const Py_ssize_t length = PyList_GET_SIZE(obj);
    events.reserve(std::min(static_cast<std::size_t>(length), SEQUENCE_RESERVE_LIMIT));
    ForgivingReader r;
    for (Py_ssize_t i = 0; i < length && !r.stopped(); ++i) {
        // Strong reference: a __float__ run while reading this element can empty
        // the list and drop the list's reference to it. Empty when the list
        // shrank while it was read: the position is skipped.
        PyRef item = r.list_item(obj, i);
        if (!item) continue;
        std::optional<KeystrokeEvent> event = read_tuple_event(r, item.get());
        if (!event) event = read_dict_event(r, item.get());
        if (event && !r.stopped()) events.push_back(std::move(*event));
    }
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
    result.set_float_item("avg_dwell_time"_key, stats.avg_dwell_time);
    result.set_float_item("dwell_time_var"_key, stats.dwell_time_var);
    result.set_float_item("avg_flight_time"_key, stats.avg_flight_time);
    result.set_float_item("flight_time_var"_key, stats.flight_time_var);
    result.set_float_item("digraph_entropy"_key, stats.digraph_entropy);
    result.set_float_item("keystroke_score"_key, stats.keystroke_score);
    return std::move(result).finish();
}

}  // namespace

PyObject* evaluate_keystroke_dynamics_rs(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    return run_call<1>(SPEC, args, nargs, kwnames, [](std::span<PyObject* const, 1> a) {
        return evaluate_keystroke_dynamics(a[0]);
    });
}
