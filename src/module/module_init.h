// What every extension module of this project does when it is imported:
// velkora_core_rs and velkora._signals are two modules over one binding frame,
// and each keeps its own record below.
//
// Single-phase initialisation: a module object is made once per process and
// kept for the life of the process, so a re-import returns the very same
// object. The first interpreter to initialise a module owns it; any other
// interpreter of the process is refused, because the function objects and the
// interned keys of "name"_key are process-wide and must not be shared across
// interpreters.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "module/call_frame.h"

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

// Sets py_ref_exiting. Each module registers it with atexit under a name of
// its own (ModuleRecord::exit_marker): each shared object has its own copy of
// the flag, and every one of them must be set before the interpreter starts
// ending daemon threads (see py_ref.h).
PyObject* mark_py_ref_exiting(PyObject* unused_module, PyObject* unused_arg);

// One module's process-wide record. Never released: no static destructor may
// run at exit while other threads could still call in.
struct ModuleRecord {
    PyModuleDef* definition;           // m_name is the name reported in errors
    std::span<PyMethodDef> functions;  // the public order: creation, attributes, __all__
    PyMethodDef* exit_marker;          // calls mark_py_ref_exiting
    std::atomic<std::int64_t> owner_interpreter{-1};
    PyObject* module_slot = nullptr;  // owns one reference; touched only under the GIL
};

// The body of a PyInit_ function: the module of `record`, made on the first
// call and returned again on every later one in the owning interpreter.
Result<PyRef> initialise_module(ModuleRecord& record);
