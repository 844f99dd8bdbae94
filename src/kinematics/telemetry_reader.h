// Reads whatever object the service hands to the feature extraction into a
// native Telemetry record. Runs with the interpreter lock held.
#pragma once

#include <Python.h>

#include "kinematics/telemetry.h"
#include "module/error.h"

// Forgiving: a missing key, a value of the wrong type or an unconvertible value
// becomes its default, and a malformed list entry is skipped, its error
// discarded. Fails only with an error that is not about the data (an interrupt,
// SystemExit, MemoryError; see ForgivingReader), which stops the read. Conversions may run Python
// code (__float__, __index__) that mutates the containers being read; every item is therefore
// fetched as a strong reference and fetched again by index, never kept borrowed.
Result<Telemetry> read_telemetry(PyObject* telemetry);

// What a trace sketch needs of the same telemetry: the pointer samples and the
// keystrokes, read by the same rules as read_telemetry, but without the
// browser fields, the click and scroll counts, the touch radius and force of a
// sample (left at 0.0) or the key names (left empty), none of which are looked
// up. Fails only as read_telemetry does. With KeyNames::read the key names are
// read as well (the behavioural signals count Shift presses and corrections).
struct TraceTelemetry {
    std::vector<MousePoint> mouse_movements;  // input order
    std::vector<KeystrokeEvent> keystrokes;   // input order
};
enum class KeyNames : bool { skip, read };
Result<TraceTelemetry> read_trace_telemetry(PyObject* telemetry, KeyNames names = KeyNames::skip);
