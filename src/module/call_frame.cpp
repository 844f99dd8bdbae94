#include "module/call_frame.h"

#include <cstring>

namespace {

// "'int' object cannot be converted to ..." needs the qualified type name as UTF-8.
std::string type_qualname(PyObject* obj) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (name) {
        Py_ssize_t len = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &len)) {
            return std::string(text, static_cast<std::size_t>(len));
        }
    }
    PyErr_Clear();  // a type whose name cannot be had still gets a message
    return "<failed to extract type name>";
}

// str(obj) as UTF-8; characters that UTF-8 cannot hold (lone surrogates) become
// U+FFFD. Empty when str() itself fails, with that error left pending.
std::optional<std::string> lossy_str(PyObject* obj) {
    PyRef text = PyRef::steal(PyObject_Str(obj));
    if (!text) return std::nullopt;
    Py_ssize_t len = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len)) {
        return std::string(utf8, static_cast<std::size_t>(len));
    }
    PyErr_Clear();
    PyRef raw = created(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    PyRef fixed = created(
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
    const char* utf8 = PyUnicode_AsUTF8AndSize(fixed.get(), &len);
    if (utf8 == nullptr) fatal("replacement-decoded text is not UTF-8");
    return std::string(utf8, static_cast<std::size_t>(len));
}

// A ready TypeError whose cause is `cause` (which may be null); setting the
// cause also sets __suppress_context__.
Error new_type_error(const std::string& message, PyRef cause) {
    PyRef text = new_text(message);
    PyRef exc = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    if (!exc) return Error::from_pending();
    PyException_SetCause(exc.get(), cause.release());
    Error e;
    e.raised = std::move(exc);
    return e;
}

std::string display_name(const ParamSpec& signature) {
    return std::string(signature.function) + "()";
}

}  // namespace

PyObject* check_created(PyObject* obj, const std::source_location& where) {
    if (obj == nullptr) {
        if (PyErr_Occurred()) PyErr_Print();
        fatal("Python API call failed", where);
    }
    return obj;
}

PyRef new_text(std::string_view text, const std::source_location& where) {
    return created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())),
                   where);
}

PyObject* call_frame_detail::make_static_key(const char* text) {
    return check_created(PyUnicode_InternFromString(text));
}

bool call_frame_detail::plain_non_float(PyObject* value) {
    return PyLong_CheckExact(value) || PyBool_Check(value) || value == Py_None ||
           PyUnicode_CheckExact(value);
}

Status bind_arguments(const ParamSpec& signature, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, std::span<PyObject*> slots) {
    const std::size_t n = signature.params.size();
    if (slots.size() != n) fatal("argument slots do not match the parameter list");
    std::fill(slots.begin(), slots.end(), nullptr);

    if (static_cast<std::size_t>(nargs) > n) {
        return Error::described(PyExc_TypeError, display_name(signature) + " takes " +
                                                     std::to_string(n) +
                                                     " positional arguments but " +
                                                     std::to_string(nargs) + " were given");
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];

    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t len = 0;
            const char* text = PyUnicode_AsUTF8AndSize(key, &len);
            std::optional<std::size_t> match;
            if (text == nullptr) {
                PyErr_Clear();  // a name that is not UTF-8 names no parameter
            } else {
                std::string_view name(text, static_cast<std::size_t>(len));
                for (std::size_t i = 0; i < n; ++i) {
                    if (signature.params[i] == name) {
                        match = i;
                        break;
                    }
                }
            }
            if (!match) {
                // The key is shown as str() of the keyword object, which need not be UTF-8.
                PyRef message =
                    PyRef::steal(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                                      display_name(signature).c_str(), key));
                if (!message) return Error::from_pending();
                PyRef exc = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
                if (!exc) return Error::from_pending();
                Error e;
                e.raised = std::move(exc);
                return e;
            }
            if (slots[*match] != nullptr) {
                return Error::described(PyExc_TypeError, display_name(signature) +
                                                             " got multiple values for argument '" +
                                                             std::string(signature.params[*match]) +
                                                             "'");
            }
            slots[*match] = args[nargs + k];
        }
    }

    if (static_cast<std::size_t>(nargs) < n) {
        std::vector<std::string_view> missing;
        for (std::size_t i = 0; i < n; ++i) {
            if (slots[i] == nullptr) missing.push_back(signature.params[i]);
        }
        if (!missing.empty()) {
            std::string message = display_name(signature) + " missing " +
                                  std::to_string(missing.size()) + " required positional " +
                                  (missing.size() == 1 ? "argument" : "arguments") + ": ";
            for (std::size_t i = 0; i < missing.size(); ++i) {
                if (i > 0) {
                    if (missing.size() > 2) message += ",";
                    if (i + 1 == missing.size()) message += " and";
                    message += " ";
                }
                message.append("'").append(missing[i]).append("'");
            }
            return Error::described(PyExc_TypeError, std::move(message));
        }
    }
    return Unit{};
}

Error type_mismatch(PyObject* obj, std::string_view target) {
    std::string message = "'";
    message.append(type_qualname(obj)).append("' object cannot be converted to '");
    message.append(target).append("'");
    return Error::described(PyExc_TypeError, std::move(message));
}

Error wrap_argument_error(std::string_view name, Error&& error) {
    const std::string prefix = "argument '" + std::string(name) + "': ";
    if (!error.raised) {
        if (error.type != PyExc_TypeError) return std::move(error);
        return new_type_error(prefix + error.message, PyRef());
    }
    PyObject* exc = error.raised.get();
    if (!Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        return std::move(error);
    }
    std::optional<std::string> message = lossy_str(exc);
    if (!message) {
        PyErr_WriteUnraisable(exc);
        PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(exc)));
        std::optional<std::string> shown = type_name ? lossy_str(type_name.get()) : std::nullopt;
        PyErr_Clear();
        message = shown ? "<unprintable " + *shown + " object>" : "<unprintable object>";
    }
    return new_type_error(prefix + *message, PyRef::steal(PyException_GetCause(exc)));
}

PyObject* raise_error(Error&& error) noexcept {
    if (error.raised) {
        PyErr_SetRaisedException(error.raised.release());
    } else if (error.type == PyExc_MemoryError && error.message.empty()) {
        PyErr_NoMemory();
    } else {
        PyRef message = new_text(error.message);
        PyErr_SetObject(error.type, message.get());
    }
    return nullptr;
}

Result<std::string_view> to_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) return type_mismatch(obj, "PyString");
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
    if (text == nullptr) return Error::from_pending();
    return std::string_view(text, static_cast<std::size_t>(len));
}

Result<std::uint64_t> to_uint64(PyObject* obj) {
    unsigned long long value = 0;
    if (PyLong_Check(obj)) {
        // Fast path for the usual non-negative value below 2**63, which
        // PyLong_AsUnsignedLongLong converts through a generic byte-array
        // routine. Anything else takes that call for its value or its error.
        int overflow = 0;
        const long long small = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0 && small >= 0) return static_cast<std::uint64_t>(small);
        value = PyLong_AsUnsignedLongLong(obj);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(obj));
        if (!index) return Error::from_pending();
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return Error::from_pending();
    }
    return static_cast<std::uint64_t>(value);
}

Result<std::int64_t> to_int64(PyObject* obj) {
    static_assert(sizeof(long) == sizeof(std::int64_t), "PyLong_AsLong must give 64 bits");
    long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) return Error::from_pending();
    return static_cast<std::int64_t>(value);
}

namespace {

// PyFloat_AsDouble, without the temporary float object that an exact int is
// otherwise converted through (int's own float conversion gives the same
// value and the same OverflowError).
double as_double(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    if (PyLong_CheckExact(obj)) return PyLong_AsDouble(obj);
    return PyFloat_AsDouble(obj);
}

}  // namespace

Result<double> to_double(PyObject* obj) {
    double value = as_double(obj);
    if (value == -1.0 && PyErr_Occurred()) return Error::from_pending();
    return value;
}

namespace {

// NumPy's boolean scalar, recognised by its type's module and name alone so that
// NumPy is never imported. Any error on the way only means "not NumPy".
bool is_numpy_bool(PyTypeObject* type) {
    bool result = false;
    PyRef module = PyRef::steal(PyType_GetModuleName(type));
    if (module && PyUnicode_Check(module.get()) &&
        PyUnicode_EqualToUTF8AndSize(module.get(), "numpy", 5)) {
        PyRef name = PyRef::steal(PyType_GetName(type));
        result = name && PyUnicode_Check(name.get()) &&
                 (PyUnicode_EqualToUTF8AndSize(name.get(), "bool_", 5) ||
                  PyUnicode_EqualToUTF8AndSize(name.get(), "bool", 4));
    }
    PyErr_Clear();
    return result;
}

}  // namespace

Result<bool> to_bool(PyObject* obj) {
    if (PyBool_Check(obj)) return obj == Py_True;
    PyTypeObject* type = Py_TYPE(obj);
    if (!is_numpy_bool(type)) return type_mismatch(obj, "PyBool");
    if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) {
        PyRef shown = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(type)));
        if (!shown) return Error::from_pending();
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(shown.get(), &len);
        if (text == nullptr) return Error::from_pending();
        return Error::described(
            PyExc_TypeError, "object of type '" + std::string(text, static_cast<std::size_t>(len)) +
                                 "' does not define a '__bool__' conversion");
    }
    int truth = type->tp_as_number->nb_bool(obj);
    if (truth == 0) return false;
    if (truth == 1) return true;
    return Error::from_pending();
}

Result<PyRef> sequence_iterator(PyObject* obj, std::size_t& room) {
    if (PyUnicode_Check(obj)) {
        return Error::described(PyExc_TypeError, "Can't extract `str` to `Vec`");
    }
    if (!PySequence_Check(obj)) return type_mismatch(obj, "Sequence");
    const Py_ssize_t size = PySequence_Size(obj);
    room = 0;
    if (size < 0) {
        // The length only sizes the array; iteration decides. A failure that
        // is not about the data (Ctrl-C, MemoryError) still ends the call.
        if (!pending_error_is_bad_data()) return Error::from_pending();
        PyErr_Clear();
    } else {
        const bool real_length = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
        room = real_length ? static_cast<std::size_t>(size)
                           : std::min(static_cast<std::size_t>(size), SEQUENCE_RESERVE_LIMIT);
    }
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) return Error::from_pending();
    return iter;
}

// A curvature call reads three of these, item by item, so the loop converts
// each item with as_double and looks at the pending error only when the value
// is -1.0, as to_double does, but returns no Result per item: the call to
// to_double and its Result cost a seventh of a curvature call in the gcc build
// and a sixth in the wheel's, whose library destroys a Result through a table
// of functions.
Result<std::vector<double>> extract_float_sequence(PyObject* obj) {
    std::vector<double> values;
    std::size_t room = 0;
    Result<PyRef> iter = sequence_iterator(obj, room);
    if (!iter) return iter.take_error();
    const PyRef items = std::move(*iter);  // not read through the Result on every item
    values.reserve(room);
    while (PyRef item = PyRef::steal(PyIter_Next(items.get()))) {
        const double value = as_double(item.get());
        if (value == -1.0 && PyErr_Occurred()) return Error::from_pending();
        values.push_back(value);
    }
    if (PyErr_Occurred()) return Error::from_pending();
    return values;
}

bool pending_error_is_bad_data() {
    PyObject* type = PyErr_Occurred();
    return type != nullptr && PyErr_GivenExceptionMatches(type, PyExc_Exception) &&
           !PyErr_GivenExceptionMatches(type, PyExc_MemoryError);
}

void ForgivingReader::give_up() {
    if (pending_error_is_bad_data()) {
        PyErr_Clear();  // forgiving reader: bad data is a missing value
    } else if (!stop_) {
        stop_ = Error::from_pending();
    } else {
        PyErr_Clear();  // unreachable: nothing runs once stopped
    }
}

Status ForgivingReader::finish() && {
    if (stop_) return std::move(*stop_);
    return Unit{};
}

// The value of a strict conversion, or nothing with its failure judged here: a
// captured exception goes through give_up (bad data dropped, anything else
// kept); a described error is the converter's own TypeError about the data.
template <class T>
std::optional<T> ForgivingReader::keep(Result<T>&& converted) {
    if (converted) return std::move(*converted);
    Error error = converted.take_error();
    if (error.raised) {
        PyErr_SetRaisedException(error.raised.release());
        give_up();
    }
    return std::nullopt;  // the default applies
}

// read_double and read_text run once per value of a telemetry or keystroke list,
// so they use the same primitive as their strict conversion (as_double,
// PyUnicode_AsUTF8AndSize) without going through its Result: that round trip
// costs about a tenth of a keystroke call. The rarer reads wrap the strict
// conversion itself.
std::optional<double> ForgivingReader::read_double(PyObject* obj) {
    if (stopped()) return std::nullopt;
    const double value = as_double(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        give_up();  // an unconvertible value is a missing one
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> ForgivingReader::read_int64(PyObject* obj) {
    if (stopped()) return std::nullopt;
    return keep(to_int64(obj));
}

std::optional<bool> ForgivingReader::read_bool(PyObject* obj) {
    if (stopped()) return std::nullopt;
    return keep(to_bool(obj));
}

std::optional<std::string> ForgivingReader::read_text(PyObject* obj) {
    if (stopped() || !PyUnicode_Check(obj)) return std::nullopt;
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
    if (text == nullptr) {
        give_up();  // lone surrogates: not usable as text
        return std::nullopt;
    }
    return std::string(text, static_cast<std::size_t>(len));
}

PyRef ForgivingReader::dict_item(PyObject* dict, StaticKey key) {
    if (stopped()) return PyRef();
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, key.get(), &value) < 0) {
        give_up();  // a lookup that raises counts as a missing key
        return PyRef();
    }
    return PyRef::steal(value);
}

PyRef ForgivingReader::list_item(PyObject* list, Py_ssize_t index) {
    if (stopped()) return PyRef();
    PyRef item = PyRef::steal(PyList_GetItemRef(list, index));
    if (!item) give_up();  // a vanished entry is skipped
    return item;
}

DictBuilder::DictBuilder() : dict_(created(PyDict_New())) {}

void DictBuilder::insert(PyObject* key, PyRef value) {
    if (error_) return;
    if (PyDict_SetItem(dict_.get(), key, value.get()) < 0) {
        error_ = Error::from_pending();
    }
}

void DictBuilder::set_bool_item(StaticKey key, bool value) {
    insert(key.get(), bool_result(value));
}

void DictBuilder::set_float_item(StaticKey key, double value) {
    insert(key.get(), created(PyFloat_FromDouble(value)));
}

void DictBuilder::set_uint_item(StaticKey key, std::uint64_t value) {
    insert(key.get(), created(PyLong_FromUnsignedLongLong(value)));
}

void DictBuilder::set_int_item(StaticKey key, std::int64_t value) {
    insert(key.get(), created(PyLong_FromLong(static_cast<long>(value))));
}

void DictBuilder::set_uint_list_item(StaticKey key, std::span<const std::uint64_t> values) {
    if (error_) return;
    PyRef list = created(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        // The new list owns each item: PyList_SET_ITEM steals the reference.
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        check_created(PyLong_FromUnsignedLongLong(values[i])));
    }
    insert(key.get(), std::move(list));
}

Result<PyRef> DictBuilder::finish() && {
    if (error_) return std::move(*error_);
    return std::move(dict_);
}
