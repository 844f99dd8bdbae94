// Errors as values. Code below an entry point never sets the interpreter's
// error indicator: it returns an Error, and the call frame raises it in one
// place (raise_error in call_frame.cpp).
#pragma once

#include <Python.h>

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "module/py_ref.h"

struct Error {
    // Lazily described: a static exception type plus its message, instantiated
    // only when raised.
    PyObject* type = nullptr;
    std::string message;
    // Or: an exception object the interpreter raised, carried as it is.
    PyRef raised;

    [[nodiscard]] static Error described(PyObject* type, std::string message) {
        Error e;
        e.type = type;
        e.message = std::move(message);
        return e;
    }

    // A native allocation failed. Raised as the interpreter's own MemoryError
    // (PyErr_NoMemory), which needs no allocation of its own.
    [[nodiscard]] static Error out_of_memory() { return described(PyExc_MemoryError, {}); }

    // Takes the interpreter's pending exception. When an API call reported a
    // failure without setting one, the error is a SystemError instead.
    [[nodiscard]] static Error from_pending() {
        if (PyObject* exc = PyErr_GetRaisedException()) {
            Error e;
            e.raised = PyRef::steal(exc);
            return e;
        }
        return described(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
};

struct Unit {};

// A value or an Error.
template <class T>
class [[nodiscard]] Result {
    static_assert(!std::is_same_v<T, Error>);

public:
    using value_type = T;

    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& operator*() & { return std::get<0>(v_); }
    T&& operator*() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &std::get<0>(v_); }
    [[nodiscard]] Error take_error() { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, Error> v_;
};

using Status = Result<Unit>;
