// Ownership rules of PyRef and the error capture, checked against a live
// interpreter by reference counts. Prints "ok" and exits 0 when all hold.
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "module/error.h"
#include "module/py_ref.h"

#include "check.h"

int main() {
    Py_Initialize();
    {
        // Objects made at run time: immortal ones would hide a wrong count.
        PyObject* a = PyList_New(0);
        PyObject* b = PyList_New(0);
        CHECK(Py_REFCNT(a) == 1 && Py_REFCNT(b) == 1);

        PyRef ra = PyRef::new_ref(a);
        PyRef rb = PyRef::new_ref(b);
        CHECK(Py_REFCNT(a) == 2 && Py_REFCNT(b) == 2);

        // Move-assignment releases the object held before.
        ra = std::move(rb);
        CHECK(Py_REFCNT(a) == 1);
        CHECK(Py_REFCNT(b) == 2);
        CHECK(ra.get() == b && !rb);

        // Moving onto itself changes nothing.
        PyRef& alias = ra;
        ra = std::move(alias);
        CHECK(ra.get() == b && Py_REFCNT(b) == 2);

        // Move construction transfers without touching the count.
        PyRef rc(std::move(ra));
        CHECK(rc.get() == b && !ra && Py_REFCNT(b) == 2);

        // release() hands the reference out; the empty owner's destructor is a no-op.
        PyObject* out = rc.release();
        CHECK(out == b && !rc && Py_REFCNT(b) == 2);
        Py_DECREF(out);

        {
            PyRef stolen = PyRef::steal(a);  // takes over our last reference
            CHECK(Py_REFCNT(a) == 1);
            Py_INCREF(a);
        }
        CHECK(Py_REFCNT(a) == 1);
        {
            PyRef empty;
            PyRef also_empty = PyRef::steal(nullptr);
        }
        Py_DECREF(a);
        Py_DECREF(b);

        // A failure reported without a pending exception becomes a SystemError.
        CHECK(!PyErr_Occurred());
        Error none = Error::from_pending();
        CHECK(none.type == PyExc_SystemError && !none.raised);
        CHECK(none.message == "attempted to fetch exception but none was set");

        // A pending exception is taken as it is and the indicator is cleared.
        PyErr_SetString(PyExc_KeyError, "k");
        Error taken = Error::from_pending();
        CHECK(!PyErr_Occurred() && taken.raised &&
              Py_IS_TYPE(taken.raised.get(), reinterpret_cast<PyTypeObject*>(PyExc_KeyError)));
    }
    CHECK(Py_FinalizeEx() == 0);
    std::puts("ok");
    return 0;
}
