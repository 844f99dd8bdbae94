// C entry points of the module's functions, one per function-table line. The
// no-argument functions use METH_NOARGS; the others the fast-call convention
// with keywords and bind their arguments through the call frame. None is
// noexcept, on purpose: see guard_call in call_frame.h.
//
// Each function's name and parameter names are written once, in its ParamSpec
// below: the binder binds by them, argument errors quote them, and the function
// table derives the text signature (__text_signature__) from them.
#pragma once

#include <Python.h>

#include <string_view>

#include "module/call_frame.h"

inline constexpr ParamSpec IS_RUST_CORE_ACTIVE_SPEC{"is_rust_core_active", {}};
inline constexpr ParamSpec GET_CORE_VERSION_SPEC{"get_core_version", {}};

inline constexpr std::string_view EXTRACT_FEATURES_PARAMS[] = {"telemetry"};
inline constexpr ParamSpec EXTRACT_FEATURES_SPEC{"extract_features_rs", EXTRACT_FEATURES_PARAMS};

inline constexpr std::string_view NATURALNESS_PARAMS[] = {"x", "y", "t"};
inline constexpr ParamSpec NATURALNESS_SPEC{"evaluate_curvature_naturalness_rs",
                                            NATURALNESS_PARAMS};
inline constexpr std::string_view ZEROCOPY_PARAMS[] = {"x_obj", "y_obj", "t_obj"};
inline constexpr ParamSpec ZEROCOPY_SPEC{"evaluate_curvature_zerocopy_rs", ZEROCOPY_PARAMS};

inline constexpr std::string_view KEYSTROKES_PARAMS[] = {"keystrokes"};
inline constexpr ParamSpec KEYSTROKES_SPEC{"evaluate_keystroke_dynamics_rs", KEYSTROKES_PARAMS};

inline constexpr std::string_view NONCE_PARAMS[] = {"nonce"};
inline constexpr std::string_view IP_PARAMS[] = {"ip"};
inline constexpr std::string_view BAN_PARAMS[] = {"ip", "duration_sec"};
inline constexpr std::string_view HYDRATE_PARAMS[] = {"bans"};
inline constexpr ParamSpec CONSUME_NONCE_SPEC{"consume_nonce_rs", NONCE_PARAMS};
inline constexpr ParamSpec IS_IP_BANNED_SPEC{"is_ip_banned_rs", IP_PARAMS};
inline constexpr ParamSpec BAN_IP_SPEC{"ban_ip_rs", BAN_PARAMS};
inline constexpr ParamSpec UNBAN_IP_SPEC{"unban_ip_rs", IP_PARAMS};
inline constexpr ParamSpec HYDRATE_BANS_SPEC{"hydrate_bans_rs", HYDRATE_PARAMS};
inline constexpr ParamSpec CLEAR_STATE_ENGINE_SPEC{"clear_state_engine_rs", {}};
inline constexpr ParamSpec GET_STATE_ENGINE_STATS_SPEC{"get_state_engine_stats_rs", {}};

PyObject* is_rust_core_active(PyObject* module, PyObject* unused);
PyObject* get_core_version(PyObject* module, PyObject* unused);

PyObject* extract_features_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
PyObject* evaluate_curvature_naturalness_rs(PyObject* module, PyObject* const* args,
                                            Py_ssize_t nargs, PyObject* kwnames);
PyObject* evaluate_curvature_zerocopy_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);
PyObject* evaluate_keystroke_dynamics_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);
PyObject* consume_nonce_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* is_ip_banned_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* ban_ip_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* unban_ip_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hydrate_bans_rs(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* clear_state_engine_rs(PyObject* module, PyObject* unused);
PyObject* get_state_engine_stats_rs(PyObject* module, PyObject* unused);
