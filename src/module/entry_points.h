// C entry points of the module's functions, one per function-table line. The
// no-argument functions use METH_NOARGS; the others the fast-call convention
// with keywords and bind their arguments through the call frame.
#pragma once

#include <Python.h>

PyObject* is_rust_core_active(PyObject* module, PyObject* unused);
PyObject* get_core_version(PyObject* module, PyObject* unused);

// telemetry features
// curvature
// keystrokes
// state engine
