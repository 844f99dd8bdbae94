// Module initialisation and the function table of velkora._signals, the
// behavioural signals that are not features: a second extension module in the
// same wheel, on the same binding frame as velkora_core_rs (module_init.h).
#include <Python.h>

#include <utility>

#include "module/call_frame.h"
#include "module/module_init.h"
#include "signals/entry_points.h"

namespace {

// The public order: creation order, attribute order and the order of __all__.
PyMethodDef FUNCTION_TABLE[] = {
    fast_call<TRACE_SKETCH_SPEC>(trace_sketch),
    fast_call<SIGNALS_SPEC>(signals),
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "velkora._signals",  // m_name: the full name, so that __name__ and __module__ carry it
    "",                  // m_doc: __doc__ is "" rather than None
    0,                   // m_size: no per-module state
    nullptr,             // m_methods: attached by initialise_module
    nullptr,             // m_slots: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

PyMethodDef EXIT_MARKER = {"_velkora_signals_exit", mark_py_ref_exiting, METH_NOARGS, nullptr};

ModuleRecord MODULE_RECORD{&MODULE_DEF, FUNCTION_TABLE, &EXIT_MARKER};

}  // namespace

PyMODINIT_FUNC PyInit__signals() {
    return guard_call([] {
        Result<PyRef> module = initialise_module(MODULE_RECORD);
        if (!module) return finish_call(std::move(module));
        Status added = add_forest_type(module->get());  // the module's one type
        if (!added) return raise_error(added.take_error());
        return finish_call(std::move(module));
    });
}
