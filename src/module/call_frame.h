// The call frame: argument binding, conversions of interpreter values into
// native ones, result builders and the single place where errors are raised.
// Every function here runs with the interpreter lock held.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <source_location>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "module/error.h"
#include "module/py_ref.h"
#include "support/fatal.h"

// ---------------------------------------------------------------------------
// Objects the module cannot do without.

// Returns `obj`, a new reference just returned by an object-creating API call.
// NULL means the interpreter could not create it: print its pending error and
// end the process.
PyObject* check_created(PyObject* obj,
                        const std::source_location& where = std::source_location::current());

inline PyRef created(PyObject* obj,
                     const std::source_location& where = std::source_location::current()) {
    return PyRef::steal(check_created(obj, where));
}

// A new str from UTF-8 text; fatal when it cannot be created.
PyRef new_text(std::string_view text,
               const std::source_location& where = std::source_location::current());

// ---------------------------------------------------------------------------
// Dict keys kept for the life of the process.

// A str made on first use and never released: a key the module looks up in its
// input or stores in its results, so that no call creates it again. Written
// "name"_key. It is interned, so a key spelled the same way in Python code is
// the very same object and a dict lookup matches it by identity.
class StaticKey {
public:
    explicit StaticKey(PyObject* obj) : obj_(obj) {}
    PyObject* get() const { return obj_; }  // borrowed

private:
    PyObject* obj_;
};

namespace call_frame_detail {

template <std::size_t N>
struct KeyText {
    char text[N];
    consteval KeyText(const char (&literal)[N]) { std::copy_n(literal, N, text); }
};

// The interned str for NUL-terminated UTF-8 text; fatal when it cannot be made.
PyObject* make_static_key(const char* text);

}  // namespace call_frame_detail

template <call_frame_detail::KeyText Text>
StaticKey operator""_key() {
    // Made once, under the interpreter lock; a plain pointer, so nothing runs at exit.
    static PyObject* const obj = call_frame_detail::make_static_key(Text.text);
    return StaticKey(obj);
}

// ---------------------------------------------------------------------------
// Argument binding.

struct ParamSpec {
    std::string_view function;                 // "ban_ip_rs"; shown as "ban_ip_rs()"
    std::span<const std::string_view> params;  // all positional-or-keyword, all required
};

// Binds the vector-call arguments (args[0..nargs) positional, then one value per
// entry of `kwnames`) into `slots`, one borrowed reference per parameter.
Status bind_arguments(const ParamSpec& signature, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, std::span<PyObject*> slots);

// ---------------------------------------------------------------------------
// Errors.

// TypeError "'{type}' object cannot be converted to '{target}'".
Error type_mismatch(PyObject* obj, std::string_view target);

// A TypeError (exactly) becomes "argument '{name}': {message}"; any other error
// is returned unchanged.
Error wrap_argument_error(std::string_view name, Error&& error);

// Makes `error` the pending exception; returns NULL for the entry point to return.
PyObject* raise_error(Error&& error) noexcept;

// True when the pending error is one a forgiving read may drop: an Exception
// other than MemoryError, i.e. something wrong with the data. Anything else
// (KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError) is about the
// process, not the input, and must reach the caller unchanged.
bool pending_error_is_bad_data();

// ---------------------------------------------------------------------------
// Strict conversions: a value, or the error that stopped them.

// The UTF-8 text of a str (or subclass), read in place: valid while `obj` lives.
Result<std::string_view> to_text(PyObject* obj);
Result<std::uint64_t> to_uint64(PyObject* obj);
Result<std::int64_t> to_int64(PyObject* obj);
Result<double> to_double(PyObject* obj);
Result<bool> to_bool(PyObject* obj);

// How many elements a sequence conversion reserves up front at most. The
// reported length is only a hint: a hostile __len__ may claim 10**18 items.
// An exact list or tuple is exempt: its length is items it really holds.
inline constexpr std::size_t SEQUENCE_RESERVE_LIMIT = 4096;

template <class Convert>
using ConvertedValue = typename std::invoke_result_t<Convert&, PyObject*>::value_type;

// The start of a walk over a sequence (not a str): its iterator, and in `room`
// how many items to set aside room for (the reported length, capped unless the
// object is an exact list or tuple; 0 when the length is unknown).
Result<PyRef> sequence_iterator(PyObject* obj, std::size_t& room);

// Walks a sequence (not a str) in iteration order: reserve(room) once, then
// visit(item) for each item, a borrowed reference for the duration of the call.
// The first failure of `visit` ends the walk and is the result.
template <class Reserve, class Visit>
Status for_each_item(PyObject* obj, Reserve&& reserve, Visit&& visit) {
    std::size_t room = 0;
    Result<PyRef> iter = sequence_iterator(obj, room);
    if (!iter) return iter.take_error();
    const PyRef items = std::move(*iter);  // not read through the Result on every item
    reserve(room);
    while (PyRef item = PyRef::steal(PyIter_Next(items.get()))) {
        Status visited = visit(item.get());
        if (!visited) return visited.take_error();
    }
    if (PyErr_Occurred()) return Error::from_pending();
    return Unit{};
}

// A tuple (or subclass) of exactly two items, converted by `first` and `second`.
template <class First, class Second>
Result<std::pair<ConvertedValue<First>, ConvertedValue<Second>>> extract_pair(PyObject* obj,
                                                                              First&& first,
                                                                              Second&& second) {
    if (!PyTuple_Check(obj)) return type_mismatch(obj, "PyTuple");
    Py_ssize_t len = PyTuple_GET_SIZE(obj);
    if (len != 2) {
        return Error::described(
            PyExc_ValueError,
            "expected tuple of length 2, but got tuple of length " + std::to_string(len));
    }
    // Tuple storage is immutable and the tuple is kept alive by the caller, so
    // borrowed items stay valid while the conversions run Python code.
    auto a = first(PyTuple_GET_ITEM(obj, 0));
    if (!a) return a.take_error();
    auto b = second(PyTuple_GET_ITEM(obj, 1));
    if (!b) return b.take_error();
    return std::pair{std::move(*a), std::move(*b)};
}

// Every item of a sequence (not a str), in iteration order, converted as
// to_double converts it; the first failure is the result.
Result<std::vector<double>> extract_float_sequence(PyObject* obj);

// ---------------------------------------------------------------------------
// Forgiving reads for structured input (telemetry, keystroke lists): a value or
// nothing. Bad data is no error: each read discards the pending error where it
// gives up and the caller skips the entry or keeps a default. An error that is
// not about the data (see pending_error_is_bad_data) stops the whole read
// instead: it is kept, every later read returns nothing without running any
// Python code, and finish() hands it to the caller to raise.
class ForgivingReader {
public:
    std::optional<double> read_double(PyObject* obj);
    // read_double for a value that plain_items found: an exact float, the usual
    // case, is read in place (what read_double reads first), without a call.
    std::optional<double> read_plain_double(PyObject* obj) {
        if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
        return read_double(obj);
    }
    std::optional<std::int64_t> read_int64(PyObject* obj);
    std::optional<bool> read_bool(PyObject* obj);
    std::optional<std::string> read_text(PyObject* obj);

    // The value stored under `key` in a dict (or subclass), read from the
    // dict's own storage (a subclass's __getitem__ and __missing__ are not
    // consulted); empty when missing or when the lookup raised.
    PyRef dict_item(PyObject* dict, StaticKey key);
    // The fast path of a reader for plain data, such as parsed JSON. True when
    // `dict` is small, every key in it is an exact str and every value stored
    // under one of `keys` (at most PLAIN_ITEMS_MAX) is of a built-in type whose
    // conversion runs no Python code (exact float, int, bool, str, or None):
    // then `values` holds those values, borrowed, nullptr for a missing key,
    // exactly what dict_item would find, and reading them in any order cannot
    // change the dict. False otherwise (nothing in `values` is to be used): the
    // caller reads the entry key by key, as its rules say.
    template <std::size_t N>
    bool plain_items(PyObject* dict, const std::array<StaticKey, N>& keys,
                     std::array<PyObject*, N>& values) const;
    // A strong reference to list[index] from the list's own storage; empty
    // when the index is gone because Python code run by an earlier conversion
    // shrank the list.
    PyRef list_item(PyObject* list, Py_ssize_t index);

    // True once an error that stops the read was kept: loops end here.
    [[nodiscard]] bool stopped() const noexcept { return stop_.has_value(); }
    // The error that stopped the read, if any.
    [[nodiscard]] Status finish() &&;

private:
    // Called with an error pending: drops bad data, keeps anything else.
    void give_up();
    // The value of a strict conversion, or nothing with its failure judged by give_up.
    template <class T>
    std::optional<T> keep(Result<T>&& converted);

    std::optional<Error> stop_;
};

namespace call_frame_detail {

// Dicts up to this size are read in one pass by plain_items.
inline constexpr Py_ssize_t PLAIN_DICT_SIZE = 8;

// Equal text of two exact str objects: the comparison a dict lookup makes for
// them (length, kind, then the code units), which runs no Python code.
inline bool same_text(PyObject* a, PyObject* b) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(a);
    const unsigned kind = PyUnicode_KIND(a);
    if (len != PyUnicode_GET_LENGTH(b) || kind != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<std::size_t>(len) * kind) == 0;
}

// plain_value for anything but an exact float. Out of line on purpose: the
// compiler merges cheap type tests written in one expression into a branch-free
// sequence that makes every value pay for all five, while the values read in
// bulk (pointer samples, key times) are floats nearly always.
bool plain_non_float(PyObject* value);

// A value whose conversion to a number runs no Python code (it succeeds or
// fails inside the interpreter's own C code).
inline bool plain_value(PyObject* value) {
    return PyFloat_CheckExact(value) || plain_non_float(value);
}

}  // namespace call_frame_detail

// Defined here, in the header, so that the caller's loop over list entries
// holds it with its key count known: it runs once per pointer sample. Inlined
// there, too: saving and restoring the registers of a call cost a tenth of it.
template <std::size_t N>
[[gnu::always_inline]] inline bool ForgivingReader::plain_items(
    PyObject* dict, const std::array<StaticKey, N>& keys, std::array<PyObject*, N>& values) const {
    using call_frame_detail::plain_value;
    using call_frame_detail::same_text;
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    if (stopped() || size > call_frame_detail::PLAIN_DICT_SIZE) return false;
    values.fill(nullptr);
    // A lookup of a str key in a dict whose keys are all exact str objects
    // finds the entry with the same text and runs no Python code, so one pass
    // over the entries that compares texts finds the very same values. A key
    // of any other type (a str subclass, an object with its own __eq__) could
    // answer a lookup differently, and a value of another type could run
    // Python code when converted: the caller then takes its usual road.
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // PyDict_Next yields `size` entries: the call that would report the end is not made.
    for (Py_ssize_t seen = 0; seen < size && PyDict_Next(dict, &pos, &key, &value); ++seen) {
        if (!PyUnicode_CheckExact(key)) return false;
        // Keys written in Python code are the interned StaticKey objects
        // themselves; parsed ones (JSON) are equal texts.
        std::size_t match = N;
        for (std::size_t i = 0; i < N; ++i) {
            if (key == keys[i].get()) {  // the first of equal keys wins
                match = i;
                break;
            }
        }
        for (std::size_t i = 0; i < N && match == N; ++i) {
            if (same_text(key, keys[i].get())) match = i;
        }
        if (match == N) continue;
        if (!plain_value(value)) return false;
        values[match] = value;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Result dicts.

// Builds a dict by inserting entries in call order. After a failed insertion
// the remaining entries are skipped and finish() returns the error; the partly
// filled dict is released.
class DictBuilder {
public:
    DictBuilder();

    void set_bool_item(StaticKey key, bool value);
    void set_float_item(StaticKey key, double value);
    void set_uint_item(StaticKey key, std::uint64_t value);
    void set_int_item(StaticKey key, std::int64_t value);
    // A new list of ints, one per value, in order.
    void set_uint_list_item(StaticKey key, std::span<const std::uint64_t> values);

    Result<PyRef> finish() &&;

private:
    void insert(PyObject* key, PyRef value);

    PyRef dict_;
    std::optional<Error> error_;
};

// ---------------------------------------------------------------------------
// Entry points.

using FastCallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Runs the body of an entry point, which returns a new reference or NULL with
// an error raised. A native allocation failure (std::bad_alloc, or a size the
// library refuses with std::length_error) becomes MemoryError; every
// allocation below an entry point is made so that a failed one leaves no
// partial change behind. Any other exception is a fault of this module and
// ends the process through fatal().
//
// Neither this nor the entry points are noexcept, and there is no catch (...):
// at interpreter exit CPython 3.13 ends a daemon thread that asks for the
// interpreter lock back with pthread_exit, and the forced unwind of that must
// pass through these frames on its way to the thread's start. A noexcept frame
// would turn it into std::terminate.
template <class Body>
PyObject* guard_call(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return raise_error(Error::out_of_memory());
    } catch (const std::length_error&) {
        return raise_error(Error::out_of_memory());
    } catch (const std::exception& e) {
        fatal(std::string("uncaught exception at an entry point: ") + e.what());
    }
}

// Finishes an entry point: the result as a new reference, or NULL with its error raised.
inline PyObject* finish_call(Result<PyRef>&& result) {
    if (!result) return raise_error(result.take_error());
    return (*result).release();
}

// Binds the arguments, runs `impl` on the bound slots and returns its result as
// a new reference, or raises its error and returns NULL.
template <std::size_t N, class Impl>
PyObject* run_call(const ParamSpec& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, Impl&& impl) {
    return guard_call([&]() -> PyObject* {
        std::array<PyObject*, N> slots{};
        Status bound = bind_arguments(signature, args, nargs, kwnames, slots);
        if (!bound) return raise_error(bound.take_error());
        return finish_call(impl(std::span<PyObject* const, N>(slots)));
    });
}

inline PyRef bool_result(bool value) { return PyRef::new_ref(value ? Py_True : Py_False); }
inline PyRef none_result() { return PyRef::new_ref(Py_None); }
