// The TypeError for an object of the wrong type.
#pragma once

#include <Python.h>

#include "module/pending_error.h"

namespace kelvar::py {

// "'<type>' object is not an instance of '<target>'" ("'None' is not an
// instance of ..." for None); the text is built only when it is raised.
PendingError type_mismatch(PyObject* object, PyObject* target);

}  // namespace kelvar::py
