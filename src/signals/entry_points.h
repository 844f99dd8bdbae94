// C entry points of velkora._signals, one per function-table line, with their
// ParamSpecs (see module/entry_points.h for the conventions they share).
#pragma once

#include <Python.h>

#include <string_view>

#include "module/call_frame.h"

inline constexpr std::string_view TRACE_SKETCH_PARAMS[] = {"telemetry"};
inline constexpr ParamSpec TRACE_SKETCH_SPEC{"trace_sketch", TRACE_SKETCH_PARAMS};

PyObject* trace_sketch(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);

inline constexpr std::string_view SIGNALS_PARAMS[] = {"telemetry"};
inline constexpr ParamSpec SIGNALS_SPEC{"signals", SIGNALS_PARAMS};

PyObject* signals(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Adds the type velkora._signals.Forest to the module and to its __all__, once.
Status add_forest_type(PyObject* module);
