// Module initialisation and the function table.
//
// Single-phase initialisation: the module object is made once per process and
// kept for the life of the process, so a re-import returns the very same object.
// The first interpreter to initialise the module owns it; any other interpreter
// of the process is refused, because the state engine and the function objects
// are process-wide and must not be shared across interpreters.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "module/call_frame.h"
#include "module/entry_points.h"

namespace {

constexpr const char* CORE_VERSION = "0.9.4-native-rust";

PyMethodDef no_arguments(const char* name, PyCFunction function, const char* doc) {
    return {name, function, METH_NOARGS, doc};
}

PyMethodDef fast_call(const char* name, FastCallFunction function, const char* doc) {
    // The interpreter calls through the generic pointer type and casts it back
    // according to the flags; the detour through void(*)() keeps the compiler
    // from warning about the cast between function types.
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// The public order: creation order, attribute order and the order of __all__.
// Each documentation string is only a text-signature block.
PyMethodDef FUNCTION_TABLE[] = {
    no_arguments("is_rust_core_active", is_rust_core_active, "is_rust_core_active()\n--\n\n"),
    no_arguments("get_core_version", get_core_version, "get_core_version()\n--\n\n"),
    fast_call("extract_features_rs", extract_features_rs, "extract_features_rs(telemetry)\n--\n\n"),
    fast_call("evaluate_curvature_naturalness_rs", evaluate_curvature_naturalness_rs,
              "evaluate_curvature_naturalness_rs(x, y, t)\n--\n\n"),
    fast_call("evaluate_curvature_zerocopy_rs", evaluate_curvature_zerocopy_rs,
              "evaluate_curvature_zerocopy_rs(x_obj, y_obj, t_obj)\n--\n\n"),
    fast_call("evaluate_keystroke_dynamics_rs", evaluate_keystroke_dynamics_rs,
              "evaluate_keystroke_dynamics_rs(keystrokes)\n--\n\n"),
    fast_call("consume_nonce_rs", consume_nonce_rs, "consume_nonce_rs(nonce)\n--\n\n"),
    fast_call("is_ip_banned_rs", is_ip_banned_rs, "is_ip_banned_rs(ip)\n--\n\n"),
    fast_call("ban_ip_rs", ban_ip_rs, "ban_ip_rs(ip, duration_sec)\n--\n\n"),
    fast_call("unban_ip_rs", unban_ip_rs, "unban_ip_rs(ip)\n--\n\n"),
    fast_call("hydrate_bans_rs", hydrate_bans_rs, "hydrate_bans_rs(bans)\n--\n\n"),
    no_arguments("clear_state_engine_rs", clear_state_engine_rs, "clear_state_engine_rs()\n--\n\n"),
    no_arguments("get_state_engine_stats_rs", get_state_engine_stats_rs,
                 "get_state_engine_stats_rs()\n--\n\n"),
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "velkora_core_rs",  // m_name
    "",                 // m_doc: __doc__ is "" rather than None
    0,                  // m_size: no per-module state
    nullptr,            // m_methods: attached by the initialiser below
    nullptr,            // m_slots: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

// Process-wide, never released: no static destructor may run at exit while
// other threads could still call in.
std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* module_slot = nullptr;  // owns one reference; touched only under the GIL

// Interned attribute names, created on first use and kept for the process.
PyObject* interned(PyObject*& slot, const char* text) {
    if (slot == nullptr) slot = check_created(PyUnicode_InternFromString(text));
    return slot;
}
PyObject* all_name_slot = nullptr;
PyObject* name_name_slot = nullptr;

// Renders the pending error for a fatal report, which never returns.
std::string pending_error_text() {
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    if (!exc) return "no error was set";
    PyRef text = PyRef::steal(PyObject_Repr(exc.get()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    std::string shown = utf8 ? utf8 : "<unprintable error>";
    PyErr_Clear();
    return shown;
}

Status attach_function(PyObject* module, PyMethodDef* def) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return Error::from_pending();
    PyRef function = PyRef::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
    module_name = PyRef();
    if (!function) return Error::from_pending();

    PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), interned(name_name_slot, "__name__")));
    if (!name) return Error::from_pending();
    if (!PyUnicode_Check(name.get())) return type_mismatch(name.get(), "PyString");

    PyObject* all_name = interned(all_name_slot, "__all__");
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Error::from_pending();
        PyErr_Clear();
        all = created(PyList_New(0));
        if (PyObject_SetAttr(module, all_name, all.get()) < 0) return Error::from_pending();
    }
    if (!PyList_Check(all.get())) return type_mismatch(all.get(), "PyList");
    if (PyList_Append(all.get(), name.get()) < 0) {
        fatal("could not append __name__ to __all__: " + pending_error_text());
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return Error::from_pending();
    return Unit{};
}

// Called by the interpreter's atexit callbacks, which run before it starts
// ending daemon threads: from here on a PyRef checks that its thread still
// has an interpreter state before it releases anything (see py_ref.h).
PyObject* mark_exiting(PyObject*, PyObject*) {
    py_ref_exiting.store(true, std::memory_order_relaxed);
    return Py_NewRef(Py_None);
}

PyMethodDef EXIT_MARKER = no_arguments("_velkora_core_rs_exit", mark_exiting, nullptr);

Status register_exit_marker() {
    PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return Error::from_pending();
    PyRef marker = PyRef::steal(PyCFunction_New(&EXIT_MARKER, nullptr));
    if (!marker) return Error::from_pending();
    PyRef registered =
        PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", marker.get()));
    if (!registered) return Error::from_pending();
    return Unit{};
}

Result<PyRef> initialise() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return Error::from_pending();

    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id, std::memory_order_seq_cst) &&
        expected != id) {
        return Error::described(
            PyExc_ImportError,
            "velkora_core_rs does not support subinterpreters: it is already initialised in "
            "another interpreter of this process");
    }
    if (module_slot != nullptr) return PyRef::new_ref(module_slot);

    PyRef module = PyRef::steal(PyModule_Create2(&MODULE_DEF, 1013));
    if (!module) return Error::from_pending();
    for (PyMethodDef& def : FUNCTION_TABLE) {
        Status attached = attach_function(module.get(), &def);
        if (!attached) return attached.take_error();  // releases the half-built module
    }
    Status marked = register_exit_marker();
    if (!marked) return marked.take_error();
    if (module_slot == nullptr) module_slot = module.release();
    return PyRef::new_ref(module_slot);
}

}  // namespace

PyObject* is_rust_core_active(PyObject*, PyObject*) { return Py_NewRef(Py_True); }

PyObject* get_core_version(PyObject*, PyObject*) { return new_text(CORE_VERSION).release(); }

// The process-wide std::terminate handler is left alone: a failure of another
// library is not this module's to report. The module's own stray exceptions
// stop at its entry points (guard_call), which report them through fatal().
PyMODINIT_FUNC PyInit_velkora_core_rs() {
    return guard_call([] { return finish_call(initialise()); });
}
