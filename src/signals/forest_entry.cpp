// velkora._signals.Forest: a tree ensemble checked and flattened once, then
// evaluated per row natively (trees/forest.h). An immutable heap type that
// cannot be subclassed; instances hold only native data, so they take no part
// in garbage collection and may be used from any thread.
#include <Python.h>

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "module/call_frame.h"
#include "signals/entry_points.h"
#include "trees/forest.h"

namespace {

constexpr std::string_view FOREST_PARAMS[] = {"feature_count", "baseline", "trees"};
constexpr ParamSpec FOREST_SPEC{"Forest", FOREST_PARAMS};
constexpr std::string_view ROW_PARAMS[] = {"row"};
constexpr ParamSpec RAW_SPEC{"Forest.raw", ROW_PARAMS};
constexpr ParamSpec EXPLAIN_SPEC{"Forest.explain", ROW_PARAMS};

constexpr char FOREST_DOC[] =
    "Forest(feature_count, baseline, trees)\n--\n\n"
    "A gradient-boosted tree ensemble, checked once and evaluated natively.";
constexpr char RAW_DOC[] = "raw($self, row)\n--\n\nThe raw score of one row.";
constexpr char EXPLAIN_DOC[] = "explain($self, row)\n--\n\n(raw, bias, contributions) of one row.";

struct ForestObject {
    PyObject_HEAD TreeEnsemble* ensemble;  // owned; set before the object is handed out
};

const TreeEnsemble& ensemble_of(PyObject* self) {
    return *reinterpret_cast<ForestObject*>(self)->ensemble;
}

// A described error of our own gets the place it happened in front of its
// message; an exception raised by Python code (an __index__ that failed) is
// passed on as it is.
Error located(const std::string& where, Error&& error) {
    if (!error.raised) error.message = where + error.message;
    return std::move(error);
}

std::string type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

// An int, or an object with __index__; not a bool and not a float.
Result<std::int64_t> to_index(PyObject* obj, std::string_view what) {
    if (PyBool_Check(obj) || !PyIndex_Check(obj)) {
        return Error::described(
            PyExc_TypeError, std::string(what) + " must be an int, not '" + type_name(obj) + "'");
    }
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return Error::from_pending();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (overflow != 0) {
        return Error::described(PyExc_ValueError, std::string(what) + " is out of range");
    }
    if (value == -1 && PyErr_Occurred()) return Error::from_pending();
    return static_cast<std::int64_t>(value);
}

// A float, or an int (converted exactly as float() converts it), or an object
// with __float__ or __index__; not a bool.
Result<double> to_real(PyObject* obj, std::string_view what) {
    if (PyBool_Check(obj)) {
        return Error::described(PyExc_TypeError,
                                std::string(what) + " must be a float, not 'bool'");
    }
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    Result<double> value = to_double(obj);
    if (value) return value;
    Error error = value.take_error();
    if (error.raised &&
        Py_IS_TYPE(error.raised.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        return Error::described(
            PyExc_TypeError, std::string(what) + " must be a float, not '" + type_name(obj) + "'");
    }
    return error;
}

// (feature, threshold, missing_left, left, right, value)
Result<TreeNode> to_node(PyObject* obj) {
    if (!PyTuple_Check(obj)) {
        return Error::described(PyExc_TypeError,
                                "a node is a tuple (feature, threshold, missing_left, left, "
                                "right, value), not '" +
                                    type_name(obj) + "'");
    }
    if (PyTuple_GET_SIZE(obj) != 6) {
        return Error::described(PyExc_ValueError, "a node is a tuple of 6 items, not " +
                                                      std::to_string(PyTuple_GET_SIZE(obj)));
    }
    // The tuple is immutable and held by the caller: its items outlive any
    // Python code the conversions run.
    TreeNode node;
    Result<std::int64_t> feature = to_index(PyTuple_GET_ITEM(obj, 0), "feature");
    if (!feature) return feature.take_error();
    node.feature = *feature;
    Result<double> threshold = to_real(PyTuple_GET_ITEM(obj, 1), "threshold");
    if (!threshold) return threshold.take_error();
    node.threshold = *threshold;
    PyObject* missing_left = PyTuple_GET_ITEM(obj, 2);
    if (!PyBool_Check(missing_left)) {
        return Error::described(
            PyExc_TypeError, "missing_left must be a bool, not '" + type_name(missing_left) + "'");
    }
    node.missing_left = missing_left == Py_True;
    Result<std::int64_t> left = to_index(PyTuple_GET_ITEM(obj, 3), "left");
    if (!left) return left.take_error();
    node.left = *left;
    Result<std::int64_t> right = to_index(PyTuple_GET_ITEM(obj, 4), "right");
    if (!right) return right.take_error();
    node.right = *right;
    Result<double> value = to_real(PyTuple_GET_ITEM(obj, 5), "value");
    if (!value) return value.take_error();
    node.value = *value;
    return node;
}

Result<std::vector<std::vector<TreeNode>>> to_trees(PyObject* obj) {
    std::vector<std::vector<TreeNode>> trees;
    bool in_tree = false;  // an error inside a tree says which tree already
    Status walked = for_each_item(
        obj, [&](std::size_t room) { trees.reserve(room); },
        [&](PyObject* tree_obj) -> Status {
            const std::string where = "tree " + std::to_string(trees.size());
            std::vector<TreeNode>& nodes = trees.emplace_back();
            Status read = for_each_item(
                tree_obj, [&](std::size_t room) { nodes.reserve(room); },
                [&](PyObject* node_obj) -> Status {
                    Result<TreeNode> node = to_node(node_obj);
                    if (!node) {
                        return located(where + ", node " + std::to_string(nodes.size()) + ": ",
                                       node.take_error());
                    }
                    nodes.push_back(*node);
                    return Unit{};
                });
            if (!read) {
                in_tree = true;
                return located(where + ": ", read.take_error());
            }
            return Unit{};
        });
    if (!walked) return in_tree ? walked.take_error() : located("trees: ", walked.take_error());
    return trees;
}

// The ensemble that the arguments of Forest(...) describe.
Result<std::unique_ptr<TreeEnsemble>> compile_forest(std::span<PyObject* const, 3> a) {
    Result<std::int64_t> feature_count = to_index(a[0], "feature_count");
    if (!feature_count) return feature_count.take_error();
    Result<double> baseline = to_real(a[1], "baseline");
    if (!baseline) return baseline.take_error();
    Result<std::vector<std::vector<TreeNode>>> trees = to_trees(a[2]);
    if (!trees) return trees.take_error();
    std::variant<TreeEnsemble, std::string> built =
        TreeEnsemble::build(*feature_count, *baseline, *trees);
    if (std::string* problem = std::get_if<std::string>(&built)) {
        return Error::described(PyExc_ValueError, std::move(*problem));
    }
    return std::make_unique<TreeEnsemble>(std::get<TreeEnsemble>(std::move(built)));
}

Result<PyRef> make_forest(PyTypeObject* type, std::span<PyObject* const, 3> a) {
    Result<std::unique_ptr<TreeEnsemble>> ensemble = compile_forest(a);
    if (!ensemble) return ensemble.take_error();
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return Error::from_pending();
    reinterpret_cast<ForestObject*>(self.get())->ensemble = (*ensemble).release();
    return self;
}

// tp_new receives a tuple and a dict; the binding frame takes the vector-call
// form, which this lays out: the positional arguments, then the keyword values
// with their names in a tuple. The keyword values are held by references of
// our own: the conversions run Python code, and nothing else keeps them alive
// should that code reach the dict.
PyObject* forest_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_call([&]() -> PyObject* {
        const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        std::vector<PyObject*> flat;
        flat.reserve(static_cast<std::size_t>(nargs) + 3);
        for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
        PyRef kwnames;
        std::vector<PyRef> held;
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
            held.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(kwargs)));
            kwnames = created(PyTuple_New(PyDict_GET_SIZE(kwargs)));
            Py_ssize_t pos = 0;
            Py_ssize_t k = 0;
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
                held.push_back(PyRef::new_ref(value));
                flat.push_back(value);
            }
        }
        return run_call<3>(FOREST_SPEC, flat.data(), nargs, kwnames.get(),
                           [&](std::span<PyObject* const, 3> a) { return make_forest(type, a); });
    });
}

void forest_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<ForestObject*>(self)->ensemble;
    type->tp_free(self);
    Py_DECREF(type);  // an instance of a heap type holds a reference to it
}

// The values of `row`, which must hold exactly `count`. An exact list or tuple
// is read in place; an exact float in it runs no Python code, anything else is
// held by a reference of our own while it converts (its __float__ may shrink
// the list). Any other sequence goes through the frame's float reader.
Status read_row(PyObject* row, std::size_t count, std::vector<double>& values) {
    auto wrong_length = [count](std::size_t got) {
        return Error::described(PyExc_ValueError, "row has " + std::to_string(got) +
                                                      " values, the forest " +
                                                      std::to_string(count) + " features");
    };
    if (PyList_CheckExact(row) || PyTuple_CheckExact(row)) {
        const bool list = PyList_CheckExact(row);
        auto size = [&] {
            return static_cast<std::size_t>(list ? PyList_GET_SIZE(row) : PyTuple_GET_SIZE(row));
        };
        if (size() != count) return wrong_length(size());
        values.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            if (i >= size()) return wrong_length(size());
            const auto at = static_cast<Py_ssize_t>(i);
            PyObject* item = list ? PyList_GET_ITEM(row, at) : PyTuple_GET_ITEM(row, at);
            if (PyFloat_CheckExact(item)) {
                values[i] = PyFloat_AS_DOUBLE(item);
                continue;
            }
            const PyRef held = PyRef::new_ref(item);
            Result<double> value = to_double(held.get());
            if (!value) return wrap_argument_error("row", value.take_error());
            values[i] = *value;
        }
        if (size() != count) return wrong_length(size());
        return Unit{};
    }
    Result<std::vector<double>> read = extract_float_sequence(row);
    if (!read) return wrap_argument_error("row", read.take_error());
    if (read->size() != count) return wrong_length(read->size());
    values = std::move(*read);
    return Unit{};
}

Result<PyRef> forest_raw_impl(PyObject* self, PyObject* row) {
    const TreeEnsemble& ensemble = ensemble_of(self);
    std::vector<double> values;
    Status read = read_row(row, ensemble.feature_count(), values);
    if (!read) return read.take_error();
    return created(PyFloat_FromDouble(ensemble.raw(values)));
}

Result<PyRef> forest_explain_impl(PyObject* self, PyObject* row) {
    const TreeEnsemble& ensemble = ensemble_of(self);
    std::vector<double> values;
    Status read = read_row(row, ensemble.feature_count(), values);
    if (!read) return read.take_error();
    std::vector<double> contributions(ensemble.feature_count());
    const ForestExplanation explained = ensemble.explain(values, contributions);
    PyRef list = created(PyList_New(static_cast<Py_ssize_t>(contributions.size())));
    for (std::size_t i = 0; i < contributions.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        created(PyFloat_FromDouble(contributions[i])).release());
    }
    PyRef raw = created(PyFloat_FromDouble(explained.raw));
    PyRef bias = created(PyFloat_FromDouble(explained.bias));
    return created(PyTuple_Pack(3, raw.get(), bias.get(), list.get()));
}

PyObject* forest_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_call<1>(RAW_SPEC, args, nargs, kwnames, [self](std::span<PyObject* const, 1> a) {
        return forest_raw_impl(self, a[0]);
    });
}

PyObject* forest_explain(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return run_call<1>(EXPLAIN_SPEC, args, nargs, kwnames, [self](std::span<PyObject* const, 1> a) {
        return forest_explain_impl(self, a[0]);
    });
}

PyObject* forest_feature_count(PyObject* self, void*) {
    return created(PyLong_FromSize_t(ensemble_of(self).feature_count())).release();
}

PyObject* forest_tree_count(PyObject* self, void*) {
    return created(PyLong_FromSize_t(ensemble_of(self).tree_count())).release();
}

PyObject* forest_baseline(PyObject* self, void*) {
    return created(PyFloat_FromDouble(ensemble_of(self).baseline())).release();
}

PyObject* forest_repr(PyObject* self) {
    const TreeEnsemble& e = ensemble_of(self);
    const std::string text = "<velkora._signals.Forest: " + std::to_string(e.tree_count()) +
                             " trees, " + std::to_string(e.feature_count()) + " features>";
    return new_text(text).release();
}

PyCFunction as_method(FastCallFunction function) {
    // Called back through the generic pointer type according to the flags.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef FOREST_METHODS[] = {
    {"raw", as_method(forest_raw), METH_FASTCALL | METH_KEYWORDS, RAW_DOC},
    {"explain", as_method(forest_explain), METH_FASTCALL | METH_KEYWORDS, EXPLAIN_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef FOREST_GETSET[] = {
    {"feature_count", forest_feature_count, nullptr, "Length of a row.", nullptr},
    {"tree_count", forest_tree_count, nullptr, "Number of trees.", nullptr},
    {"baseline", forest_baseline, nullptr, "Raw score before the first tree.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot FOREST_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(forest_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(forest_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(forest_repr)},
    {Py_tp_methods, FOREST_METHODS},
    {Py_tp_getset, FOREST_GETSET},
    {Py_tp_doc, const_cast<char*>(FOREST_DOC)},
    {0, nullptr},
};

// Immutable and final: no attribute of the type can be replaced, and no
// subclass can add a __dict__ or a finalizer that would see a half-made object.
PyType_Spec FOREST_TYPE_SPEC = {
    "velkora._signals.Forest",
    sizeof(ForestObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    FOREST_SLOTS,
};

// The type, made once with the module and kept for the life of the process.
PyObject* forest_type = nullptr;

}  // namespace

Status add_forest_type(PyObject* module) {
    // A re-import hands back the module made the first time, which holds it already.
    if (forest_type != nullptr) return Unit{};
    PyRef type = PyRef::steal(PyType_FromSpec(&FOREST_TYPE_SPEC));
    if (!type) return Error::from_pending();
    PyRef name = new_text("Forest");
    if (PyObject_SetAttr(module, name.get(), type.get()) < 0) return Error::from_pending();
    // After the functions in __all__, which initialise_module has filled.
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) return Error::from_pending();
    if (!PyList_Check(all.get())) return type_mismatch(all.get(), "PyList");
    if (PyList_Append(all.get(), name.get()) < 0) return Error::from_pending();
    forest_type = type.release();
    return Unit{};
}
