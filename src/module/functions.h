// The module's eight functions, as method records in registration order.
#pragma once

#include <Python.h>

#include <span>

namespace kelvar::py {

// Static records: every function object created from one keeps pointing at it.
std::span<PyMethodDef* const> method_records() noexcept;

}  // namespace kelvar::py
