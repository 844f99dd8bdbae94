#include "kinematics/telemetry_reader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <span>
#include <utility>

#include "keystrokes/keystroke_reader.h"
#include "module/call_frame.h"

namespace {

// Room reserved up front for pointer samples. The list's length is real, but a
// list of one object repeated many times would otherwise make us reserve far
// more native memory than the samples we end up accepting.
constexpr std::size_t MOUSE_RESERVE_LIMIT = 1u << 16;

// dict[key] converted to a double, or nothing when missing or unconvertible.
std::optional<double> dict_double(ForgivingReader& r, PyObject* dict, StaticKey key) {
    PyRef value = r.dict_item(dict, key);
    return value ? r.read_double(value.get()) : std::nullopt;
}

// The length of a list under `key`, 0 for anything that is not a list. The
// entries themselves are not looked at.
std::uint64_t list_length(ForgivingReader& r, PyObject* dict, StaticKey key) {
    PyRef value = r.dict_item(dict, key);
    if (!value || !PyList_Check(value.get())) return 0;
    return static_cast<std::uint64_t>(PyList_GET_SIZE(value.get()));
}

void read_browser(ForgivingReader& r, PyObject* browser, Telemetry& out) {
    if (PyRef value = r.dict_item(browser, "webdriver"_key)) {
        if (std::optional<bool> flag = r.read_bool(value.get())) out.webdriver = *flag;
    }
    // Once a browser dict is there, a screen size it does not report is 0 by 0,
    // which marks the screen invalid, rather than the non-dict default.
    out.screen_width = dict_double(r, browser, "screen_width"_key).value_or(0.0);
    out.screen_height = dict_double(r, browser, "screen_height"_key).value_or(0.0);
    out.screen_valid = out.screen_width > 0.0 && out.screen_height > 0.0;  // NaN: invalid
    if (PyRef value = r.dict_item(browser, "touch_supported"_key)) {
        if (std::optional<bool> flag = r.read_bool(value.get())) out.touch_supported = *flag;
    }
    if (PyRef value = r.dict_item(browser, "max_touch_points"_key)) {
        if (std::optional<std::int64_t> n = r.read_int64(value.get())) out.max_touch_points = *n;
    }
    if (PyRef value = r.dict_item(browser, "plugins_length"_key)) {
        if (std::optional<std::int64_t> n = r.read_int64(value.get())) out.plugins_length = *n;
    }
}

// A value plain_items found (nullptr: missing) as a number: an exact float, the
// usual case, read in place (what read_double reads first), any other converted
// by read_double. False when missing or unconvertible. read_plain_double does the
// same, but its optional, taken here three times a sample, was measured to cost
// about 25 instructions a sample more than this flag and out-parameter.
bool plain_number(ForgivingReader& r, PyObject* value, double& number) {
    if (value == nullptr) return false;
    if (PyFloat_CheckExact(value)) {
        number = PyFloat_AS_DOUBLE(value);
        return true;
    }
    const std::optional<double> converted = r.read_double(value);
    if (!converted) return false;
    number = *converted;
    return true;
}

// With Touch, the touch radius and force too; without, they stay 0.0 and are
// not even looked up. A template so that each road is compiled on its own: the
// one-pass road of the samples without touch fields leaves the code of the
// features' road as it was (and kept out of its caller, where it was measured
// to cost more).
template <bool Touch>
[[gnu::noinline]] void read_mouse_movements(ForgivingReader& r, PyObject* list,
                                            std::vector<MousePoint>& out) {
    // Length read once; every index up to it is visited and re-fetched.
    const Py_ssize_t len = PyList_GET_SIZE(list);
    out.reserve(std::min(static_cast<std::size_t>(len), MOUSE_RESERVE_LIMIT));
    const std::array<StaticKey, 5> keys = {"x"_key, "y"_key, "t"_key, "r"_key, "f"_key};
    const std::array<StaticKey, 3> position_keys = {keys[0], keys[1], keys[2]};
    constexpr std::size_t wanted = Touch ? keys.size() : 3;
    for (Py_ssize_t i = 0; i < len && !r.stopped(); ++i) {
        if (!Touch && i < PyList_GET_SIZE(list)) {
            // Without the touch fields (a trace sketch, whose budget is a
            // fraction of the features call) a plain entry is read in one pass
            // (plain_items) and converted on the spot; nothing it holds runs
            // Python code, so the list cannot change meanwhile and the entry
            // may stay borrowed. The features keep their key-by-key road
            // below, whose instruction counts are a published baseline.
            PyObject* entry = PyList_GET_ITEM(list, i);
            std::array<PyObject*, 3> plain;
            if (PyDict_Check(entry) && r.plain_items(entry, position_keys, plain)) {
                double x = 0.0;
                double y = 0.0;
                double t = 0.0;
                if (plain_number(r, plain[0], x) && plain_number(r, plain[1], y) &&
                    plain_number(r, plain[2], t) && std::isfinite(x) && std::isfinite(y) &&
                    std::isfinite(t)) {
                    out.push_back(MousePoint{x, y, t, 0.0, 0.0});
                }
                continue;
            }
        }
        PyRef entry = r.list_item(list, i);
        if (!entry || !PyDict_Check(entry.get())) continue;
        // All values are looked up before any is converted, so a __float__
        // that empties this dict cannot hide the keys that follow it.
        std::array<PyRef, 5> values;
        for (std::size_t k = 0; k < wanted; ++k) {
            values[k] = r.dict_item(entry.get(), keys[k]);
        }
        std::array<std::optional<double>, 5> numbers;
        for (std::size_t k = 0; k < wanted; ++k) {
            if (values[k]) numbers[k] = r.read_double(values[k].get());
        }
        const auto& [x, y, t, r, f] = numbers;
        if (!x || !y || !t) continue;
        if (!std::isfinite(*x) || !std::isfinite(*y) || !std::isfinite(*t)) continue;
        out.push_back(MousePoint{*x, *y, *t, r.value_or(0.0), f.value_or(0.0)});
    }
}

// Event dicts only, the first KEYSTROKE_SCAN_LIMIT entries, release records
// included; "t" before "down" and "time".
void read_telemetry_keystrokes(ForgivingReader& r, PyObject* telemetry, bool key_text,
                               std::vector<KeystrokeEvent>& out) {
    if (PyRef keystrokes = r.dict_item(telemetry, "keystrokes"_key)) {
        if (PyList_Check(keystrokes.get())) {
            const std::array<StaticKey, 3> press_time_keys = {"t"_key, "down"_key, "time"_key};
            const KeystrokeListRules rules{press_time_keys, KEYSTROKE_SCAN_LIMIT, false, false,
                                           key_text};
            read_keystroke_list(r, keystrokes.get(), rules, out);
        }
    }
}

}  // namespace

Result<TraceTelemetry> read_trace_telemetry(PyObject* telemetry, KeyNames names) {
    TraceTelemetry out;
    if (!PyDict_Check(telemetry)) return out;
    ForgivingReader r;
    read_telemetry_keystrokes(r, telemetry, names == KeyNames::read, out.keystrokes);
    if (PyRef mouse = r.dict_item(telemetry, "mouse_movements"_key)) {
        if (PyList_Check(mouse.get())) {
            read_mouse_movements<false>(r, mouse.get(), out.mouse_movements);
        }
    }
    Status read = std::move(r).finish();
    if (!read) return read.take_error();
    return out;
}

Result<Telemetry> read_telemetry(PyObject* telemetry) {
    Telemetry out;
    if (!PyDict_Check(telemetry)) return out;

    ForgivingReader r;
    if (PyRef browser = r.dict_item(telemetry, "browser"_key)) {
        if (PyDict_Check(browser.get())) read_browser(r, browser.get(), out);
    }
    out.click_count = list_length(r, telemetry, "clicks"_key);
    out.scroll_count = list_length(r, telemetry, "scrolls"_key);
    read_telemetry_keystrokes(r, telemetry, true, out.keystrokes);
    if (PyRef mouse = r.dict_item(telemetry, "mouse_movements"_key)) {
        if (PyList_Check(mouse.get()))
            read_mouse_movements<true>(r, mouse.get(), out.mouse_movements);
    }
    Status read = std::move(r).finish();
    if (!read) return read.take_error();
    return out;
}
