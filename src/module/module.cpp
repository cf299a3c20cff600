// The module definition record, its execution step and the initialiser.
#include <Python.h>

#include "module/convert.h"
#include "module/error.h"
#include "module/failure.h"
#include "module/functions.h"
#include "module/ref.h"

namespace kelvar::py {
namespace {

// The module's __all__ list, created for the first function registered.
Result<Ref> all_list(PyObject* module) {
  Ref all = Ref::steal(into_python([=] { return PyObject_GetAttr(module, interned(Attr::all)); }));
  if (all) {
    if (!PyList_Check(all.get()))
      return type_mismatch(all.get(), reinterpret_cast<PyObject*>(&PyList_Type));
    return all;
  }
  PendingError error = PendingError::fetch();
  if (!error.matches(PyExc_AttributeError)) return error;
  Ref list = Ref::steal(created(into_python([] { return PyList_New(0); })));
  if (into_python([&] { return PyObject_SetAttr(module, interned(Attr::all), list.get()); }) != 0) {
    return PendingError::fetch();
  }
  return list;
}

Result<Unit> register_function(PyObject* module, PyMethodDef* record) {
  // Each call below makes objects, and may start a collection that runs
  // finalisers.
  Ref module_name = Ref::steal(into_python([=] { return PyModule_GetNameObject(module); }));
  if (!module_name) return PendingError::fetch();
  Ref function =
      Ref::steal(into_python([&] { return PyCFunction_NewEx(record, module, module_name.get()); }));
  module_name.reset();
  if (!function) return PendingError::fetch();
  Ref name = Ref::steal(
      into_python([&] { return PyObject_GetAttr(function.get(), interned(Attr::name)); }));
  if (!name) return PendingError::fetch();

  auto all = all_list(module);
  if (!all) return all.take_error();
  if (into_python([&] { return PyList_Append(all.value().get(), name.get()); }) != 0) {
    fail("could not append __name__ to __all__: " + PendingError::fetch().debug());
  }
  // Replacing an attribute may run the old value's finaliser.
  if (into_python([&] { return PyObject_SetAttr(module, name.get(), function.get()); }) != 0) {
    return PendingError::fetch();
  }
  return Unit{};
}

Result<Unit> install_functions(PyObject* module) {
  for (PyMethodDef* record : method_records()) {
    if (auto registered = register_function(module, record); !registered) return registered;
  }
  return Unit{};
}

int exec_module(PyObject* module) {
  return guarded_exec([module] { return install_functions(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_kelvar",
    "Main Kelvar module",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kelvar::py

PyMODINIT_FUNC PyInit__kelvar(void) {
  return PyModuleDef_Init(&kelvar::py::module_def);
}
