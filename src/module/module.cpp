// Module initialisation and the function table of velkora_core_rs.
//
// The import itself (single-phase initialisation, one owning interpreter, the
// exit marker) is shared with the project's other module: see module_init.h.
#include <Python.h>

#include "module/call_frame.h"
#include "module/entry_points.h"
#include "module/module_init.h"

namespace {

constexpr const char* CORE_VERSION = "0.9.4-native-rust";

// The public order: creation order, attribute order and the order of __all__.
// Each documentation string is only a text-signature block.
PyMethodDef FUNCTION_TABLE[] = {
    no_arguments<IS_RUST_CORE_ACTIVE_SPEC>(is_rust_core_active),
    no_arguments<GET_CORE_VERSION_SPEC>(get_core_version),
    fast_call<EXTRACT_FEATURES_SPEC>(extract_features_rs),
    fast_call<NATURALNESS_SPEC>(evaluate_curvature_naturalness_rs),
    fast_call<ZEROCOPY_SPEC>(evaluate_curvature_zerocopy_rs),
    fast_call<KEYSTROKES_SPEC>(evaluate_keystroke_dynamics_rs),
    fast_call<CONSUME_NONCE_SPEC>(consume_nonce_rs),
    fast_call<IS_IP_BANNED_SPEC>(is_ip_banned_rs),
    fast_call<BAN_IP_SPEC>(ban_ip_rs),
    fast_call<UNBAN_IP_SPEC>(unban_ip_rs),
    fast_call<HYDRATE_BANS_SPEC>(hydrate_bans_rs),
    no_arguments<CLEAR_STATE_ENGINE_SPEC>(clear_state_engine_rs),
    no_arguments<GET_STATE_ENGINE_STATS_SPEC>(get_state_engine_stats_rs),
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "velkora_core_rs",  // m_name
    "",                 // m_doc: __doc__ is "" rather than None
    0,                  // m_size: no per-module state
    nullptr,            // m_methods: attached by initialise_module
    nullptr,            // m_slots: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

PyMethodDef EXIT_MARKER = {"_velkora_core_rs_exit", mark_py_ref_exiting, METH_NOARGS, nullptr};

ModuleRecord MODULE_RECORD{&MODULE_DEF, FUNCTION_TABLE, &EXIT_MARKER};

}  // namespace

PyObject* is_rust_core_active(PyObject*, PyObject*) { return Py_NewRef(Py_True); }

PyObject* get_core_version(PyObject*, PyObject*) { return new_text(CORE_VERSION).release(); }

// The process-wide std::terminate handler is left alone: a failure of another
// library is not this module's to report. The module's own stray exceptions
// stop at its entry points (guard_call), which report them through fatal().
PyMODINIT_FUNC PyInit_velkora_core_rs() {
    return guard_call([] { return finish_call(initialise_module(MODULE_RECORD)); });
}
