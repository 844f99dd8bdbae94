// Reads whatever object the service hands to the feature extraction into a
// native Telemetry record. Runs with the interpreter lock held.
#pragma once

#include <Python.h>

#include "kinematics/telemetry.h"

// Never fails and leaves no error pending: a missing key, a value of the wrong
// type or an unconvertible value becomes its default, and a malformed list
// entry is skipped. Conversions may run Python code (__float__, __index__)
// that mutates the containers being read; every item is therefore fetched as
// a strong reference and fetched again by index, never kept borrowed.
Telemetry read_telemetry(PyObject* telemetry);
