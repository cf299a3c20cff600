#include "module/names.h"

#include <string_view>

#include "module/failure.h"
#include "module/once.h"

namespace kelvar::py::names {
namespace {

PyObject* interned(OnceCell<PyObject*>& cell, std::string_view text) {
  return cell.get([text] {
    PyObject* name =
        created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    PyUnicode_InternInPlace(&name);
    return name;
  });
}

}  // namespace

PyObject* dunder_name() {
  static OnceCell<PyObject*> cell;
  return interned(cell, "__name__");
}

PyObject* dunder_all() {
  static OnceCell<PyObject*> cell;
  return interned(cell, "__all__");
}

PyObject* dunder_qualname() {
  static OnceCell<PyObject*> cell;
  return interned(cell, "__qualname__");
}

PyObject* dunder_module() {
  static OnceCell<PyObject*> cell;
  return interned(cell, "__module__");
}

PyObject* dunder_bool() {
  static OnceCell<PyObject*> cell;
  return interned(cell, "__bool__");
}

}  // namespace kelvar::py::names
