#include "keystrokes/keystroke_reader.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace {

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

bool is_release_record(ForgivingReader& r, PyObject* item) {
    PyRef type = r.dict_item(item, "type"_key);
    return type && PyUnicode_Check(type.get()) &&
           PyUnicode_EqualToUTF8AndSize(type.get(), RELEASE_TYPE.data(),
                                        static_cast<Py_ssize_t>(RELEASE_TYPE.size()));
}

// An event dict: the press time from the rules' keys, the key text (UNKNOWN_KEY
// when missing or not text), the release time from "up", else down + "duration_ms".
// No finiteness or ordering test on the release time: the keystroke analysis
// rejects implausible dwell times itself.
std::optional<KeystrokeEvent> read_dict_event(ForgivingReader& r, PyObject* item,
                                              const KeystrokeListRules& rules) {
    if (!PyDict_Check(item)) return std::nullopt;
    if (rules.skip_release_records && is_release_record(r, item)) return std::nullopt;

    std::optional<double> down;
    for (StaticKey name : rules.press_time_keys) {
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

}  // namespace

void read_keystroke_list(ForgivingReader& r, PyObject* list, const KeystrokeListRules& rules,
                         std::vector<KeystrokeEvent>& out) {
    // The length is read once: entries appended while reading are not visited,
    // whatever Python code run by a conversion does to the list meanwhile.
    const std::size_t length = static_cast<std::size_t>(PyList_GET_SIZE(list));
    const std::size_t scan = std::min(length, rules.scan_limit);
    out.reserve(std::min(scan, SEQUENCE_RESERVE_LIMIT));
    for (std::size_t i = 0; i < scan && !r.stopped(); ++i) {
        // Strong reference: a __float__ run while reading this entry can empty
        // the list and drop the list's reference to it. Empty when the list
        // shrank while it was read: the position is skipped.
        PyRef item = r.list_item(list, static_cast<Py_ssize_t>(i));
        if (!item) continue;
        // Initialised, not assigned: the event is built in place, its key not moved again.
        std::optional<KeystrokeEvent> event =
            rules.accept_tuples ? read_tuple_event(r, item.get()) : std::optional<KeystrokeEvent>();
        if (!event) event = read_dict_event(r, item.get(), rules);
        // A read stopped part-way may have left the event half read.
        if (event && !r.stopped()) out.push_back(std::move(*event));
    }
}
