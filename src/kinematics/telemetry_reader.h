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
