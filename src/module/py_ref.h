// Owning reference to an interpreter object.
//
// Rules of use:
//  * PyRef is the only type that owns a reference. A raw PyObject* is always
//    borrowed: valid for as long as whoever handed it to you keeps it alive.
//  * Construction says where the reference came from: PyRef::steal() for a new
//    reference returned by the C API, PyRef::new_ref() to take a reference of
//    one's own to a borrowed object. There is no constructor from PyObject*.
//  * release() hands ownership out; only entry points do that, to return a
//    result to the interpreter.
//  * Never let a PyRef be destroyed while the state engine's lock is held:
//    dropping the last reference can run a finalizer, i.e. arbitrary Python.
//  * The destructor leaves the object alone on a thread with no interpreter
//    state attached. The only way our code gets there is CPython 3.13 ending a
//    daemon thread at exit: the thread asks for the interpreter lock back,
//    finds the interpreter finalizing and calls pthread_exit, whose forced
//    unwind runs the destructors of every frame between there and the thread's
//    start. Releasing the object then would race with the finalizing main
//    thread (reference counts are not atomic; a finalizer would run without the
//    lock). The process is ending, so the reference is simply kept. Only an
//    exiting interpreter ends threads like this, and it runs its atexit
//    callbacks first: one of them, registered when the module is made, sets
//    py_ref_exiting, so that every other release pays a single load for the
//    check instead of two calls into libpython.
#pragma once

#include <Python.h>

#include <atomic>
#include <utility>

// Set once the interpreter has begun to exit (see the rules of use above).
inline std::atomic<bool> py_ref_exiting{false};

class PyRef {
public:
    PyRef() noexcept = default;

    [[nodiscard]] static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
    [[nodiscard]] static PyRef new_ref(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return PyRef(obj);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}

    // Releases the object held before; moving a PyRef onto itself changes nothing.
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }

    [[gnu::always_inline]] ~PyRef() {
        if (obj_ == nullptr) return;
        if (py_ref_exiting.load(std::memory_order_relaxed) &&
            PyThreadState_GetUnchecked() == nullptr) {
            return;
        }
        Py_DECREF(obj_);
    }

    [[nodiscard]] PyObject* get() const noexcept { return obj_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}

    PyObject* obj_ = nullptr;
};
