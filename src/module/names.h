// Attribute names interned once per process and kept for its life.
#pragma once

#include <Python.h>

namespace kelvar::py::names {

PyObject* dunder_name();      // "__name__"
PyObject* dunder_all();       // "__all__"
PyObject* dunder_qualname();  // "__qualname__"
PyObject* dunder_module();    // "__module__"
PyObject* dunder_bool();      // "__bool__"

}  // namespace kelvar::py::names
