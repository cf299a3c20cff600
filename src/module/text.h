// Texts of objects for messages. None of these fail: a failing str() or
// repr() is reported through the interpreter's unraisable hook instead.
#pragma once

#include <Python.h>

#include <string>

namespace kelvar::py {

// str(object) as UTF-8; lone surrogates become U+FFFD.
std::string display_text(PyObject* object);
// repr(object) as UTF-8, by the same rule.
std::string repr_text(PyObject* object);
// The UTF-8 of a str, lone surrogates replaced; nothing when it fails, with
// the interpreter's error left pending.
bool str_to_utf8_lenient(PyObject* str, std::string& out);

}  // namespace kelvar::py
