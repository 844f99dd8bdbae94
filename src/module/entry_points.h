// C entry points of the module's functions, one per function-table line. The
// no-argument functions use METH_NOARGS; the others the fast-call convention
// with keywords and bind their arguments through the call frame. None is
// noexcept, on purpose: see guard_call in call_frame.h.
#pragma once

#include <Python.h>

PyObject* is_rust_core_active(PyObject* module, PyObject* unused);
PyObject* get_core_version(PyObject* module, PyObject* unused);

PyObject* extract_features_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
PyObject* evaluate_curvature_naturalness_rs(PyObject* module, PyObject* const* args,
                                            Py_ssize_t nargs, PyObject* kwnames);
PyObject* evaluate_curvature_zerocopy_rs(PyObject* module, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames);
PyObject* evaluate_keystroke_dynamics_rs(PyObject* module, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames);
PyObject* consume_nonce_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* is_ip_banned_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* ban_ip_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);
PyObject* unban_ip_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
PyObject* hydrate_bans_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* clear_state_engine_rs(PyObject* module, PyObject* unused);
PyObject* get_state_engine_stats_rs(PyObject* module, PyObject* unused);
