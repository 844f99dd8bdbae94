// Module initialisation and the function table.
//
// Single-phase initialisation: the module object is made once per process and
// kept for the life of the process, so a re-import returns the very same object.
// The first interpreter to initialise the module owns it; any other interpreter
// of the process is refused, because the state engine and the function objects
// are process-wide and must not be shared across interpreters.
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "module/call_frame.h"
#include "module/entry_points.h"

namespace {

constexpr const char* CORE_VERSION = "0.9.4-native-rust";

// "name(a, b)\n--\n\n": the documentation string that gives a builtin its
// __text_signature__, spelled from the function's ParamSpec at compile time.
template <const ParamSpec& Spec>
constexpr auto text_signature() {
    constexpr std::size_t length = [] {
        std::size_t n = Spec.function.size() + std::string_view("()\n--\n\n").size();
        for (std::size_t i = 0; i < Spec.params.size(); ++i) {
            n += Spec.params[i].size() + (i > 0 ? 2 : 0);
        }
        return n;
    }();
    std::array<char, length + 1> text{};
    std::size_t at = 0;
    auto put = [&](std::string_view part) {
        for (char c : part) text[at++] = c;
    };
    put(Spec.function);
    put("(");
    for (std::size_t i = 0; i < Spec.params.size(); ++i) {
        if (i > 0) put(", ");
        put(Spec.params[i]);
    }
    put(")\n--\n\n");
    return text;  // NUL-terminated: the array is one longer than the text
}

template <const ParamSpec& Spec>
inline constexpr auto TEXT_SIGNATURE = text_signature<Spec>();

// The table line of a function: the name is the ParamSpec's literal, which is
// NUL-terminated; the documentation string is only its text signature.
template <const ParamSpec& Spec>
PyMethodDef method_def(PyCFunction function, int flags) {
    return {Spec.function.data(), function, flags, TEXT_SIGNATURE<Spec>.data()};
}

template <const ParamSpec& Spec>
PyMethodDef no_arguments(PyCFunction function) {
    static_assert(Spec.params.empty());
    return method_def<Spec>(function, METH_NOARGS);
}

template <const ParamSpec& Spec>
PyMethodDef fast_call(FastCallFunction function) {
    // The interpreter calls through the generic pointer type and casts it back
    // according to the flags; the detour through void(*)() keeps the compiler
    // from warning about the cast between function types.
    return method_def<Spec>(reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
                            METH_FASTCALL | METH_KEYWORDS);
}

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

    PyRef name =
        PyRef::steal(PyObject_GetAttr(function.get(), interned(name_name_slot, "__name__")));
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

PyMethodDef EXIT_MARKER = {"_velkora_core_rs_exit", mark_exiting, METH_NOARGS, nullptr};

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

    // The C API version of the headers built against, as PyModule_Create passes it.
    PyRef module = PyRef::steal(PyModule_Create2(&MODULE_DEF, PYTHON_API_VERSION));
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
