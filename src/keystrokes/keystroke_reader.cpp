#include "keystrokes/keystroke_reader.h"

#include <algorithm>
#include <array>
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

    KeystrokeEvent event{rules.read_key_text ? std::string(UNKNOWN_KEY) : std::string(), *down,
                         std::nullopt};
    if (!rules.read_key_text) {
        // The key's name is not wanted: not even looked up.
    } else if (PyRef key = r.dict_item(item, "key"_key)) {
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

// The one-pass road of read_dict_event for a plain event dict (plain_items):
// the same rules applied to values read at once, the event appended to `out`.
// False when the dict is not plain; then nothing was read. Only for lists read
// without key names, tuples or release records (the trace sketch's).
bool read_plain_dict_event(ForgivingReader& r, PyObject* item, const KeystrokeListRules& rules,
                           std::vector<KeystrokeEvent>& out) {
    // Room for three press-time keys; a rule with more takes the usual road.
    const std::size_t times = rules.press_time_keys.size();
    if (times > 3) return false;
    std::array<StaticKey, 5> keys = {"up"_key, "duration_ms"_key, "up"_key, "up"_key, "up"_key};
    std::copy(rules.press_time_keys.begin(), rules.press_time_keys.end(), keys.begin() + 2);
    std::array<PyObject*, 5> values;
    if (!r.plain_items(item, keys, values)) return false;

    std::optional<double> down;
    for (std::size_t k = 0; k < times && !down; ++k) {
        if (values[k + 2] == nullptr) continue;
        std::optional<double> t = r.read_plain_double(values[k + 2]);
        if (t && std::isfinite(*t)) down = t;
    }
    if (!down) return true;  // skipped, as read_dict_event skips it
    std::optional<double> up = values[0] ? r.read_plain_double(values[0]) : std::nullopt;
    if (!up && values[1] != nullptr) {
        if (std::optional<double> duration = r.read_plain_double(values[1])) {
            up = *down + *duration;
        }
    }
    out.push_back(KeystrokeEvent{std::string(), *down, up});
    return true;
}

}  // namespace

void read_keystroke_list(ForgivingReader& r, PyObject* list, const KeystrokeListRules& rules,
                         std::vector<KeystrokeEvent>& out) {
    // The length is read once: entries appended while reading are not visited,
    // whatever Python code run by a conversion does to the list meanwhile.
    const std::size_t length = static_cast<std::size_t>(PyList_GET_SIZE(list));
    const std::size_t scan = std::min(length, rules.scan_limit);
    out.reserve(std::min(scan, SEQUENCE_RESERVE_LIMIT));
    const bool one_pass =
        !rules.read_key_text && !rules.accept_tuples && !rules.skip_release_records;
    for (std::size_t i = 0; i < scan && !r.stopped(); ++i) {
        if (one_pass && static_cast<Py_ssize_t>(i) < PyList_GET_SIZE(list)) {
            // A plain event dict is read in one pass that runs no Python code,
            // so the list cannot change meanwhile and the entry may stay borrowed.
            PyObject* entry = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
            if (PyDict_Check(entry) && read_plain_dict_event(r, entry, rules, out)) continue;
        }
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
