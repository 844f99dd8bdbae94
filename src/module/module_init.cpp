#include "module/module_init.h"

#include <string>

namespace {

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

Status register_exit_marker(PyMethodDef* marker_def) {
    PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return Error::from_pending();
    PyRef marker = PyRef::steal(PyCFunction_New(marker_def, nullptr));
    if (!marker) return Error::from_pending();
    PyRef registered =
        PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", marker.get()));
    if (!registered) return Error::from_pending();
    return Unit{};
}

}  // namespace

// Called by the interpreter's atexit callbacks, which run before it starts
// ending daemon threads: from here on a PyRef checks that its thread still
// has an interpreter state before it releases anything (see py_ref.h).
PyObject* mark_py_ref_exiting(PyObject*, PyObject*) {
    py_ref_exiting.store(true, std::memory_order_relaxed);
    return Py_NewRef(Py_None);
}

Result<PyRef> initialise_module(ModuleRecord& record) {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return Error::from_pending();

    std::int64_t expected = -1;
    if (!record.owner_interpreter.compare_exchange_strong(expected, id,
                                                          std::memory_order_seq_cst) &&
        expected != id) {
        return Error::described(PyExc_ImportError,
                                std::string(record.definition->m_name) +
                                    " does not support subinterpreters: it is already "
                                    "initialised in another interpreter of this process");
    }
    if (record.module_slot != nullptr) return PyRef::new_ref(record.module_slot);

    // The C API version of the headers built against, as PyModule_Create passes it.
    PyRef module = PyRef::steal(PyModule_Create2(record.definition, PYTHON_API_VERSION));
    if (!module) return Error::from_pending();
    for (PyMethodDef& def : record.functions) {
        Status attached = attach_function(module.get(), &def);
        if (!attached) return attached.take_error();  // releases the half-built module
    }
    Status marked = register_exit_marker(record.exit_marker);
    if (!marked) return marked.take_error();
    if (record.module_slot == nullptr) record.module_slot = module.release();
    return PyRef::new_ref(record.module_slot);
}
