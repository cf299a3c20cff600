#include "module/mismatch.h"

#include <string>

#include "module/failure.h"
#include "module/names.h"
#include "module/ref.h"
#include "module/text.h"

namespace kelvar::py {
namespace {

std::string qualified_name(PyObject* type) {
  Ref name =
      Ref::steal(into_python([=] { return PyObject_GetAttr(type, names::dunder_qualname()); }));
  if (name && (PyType_GetFlags(Py_TYPE(name.get())) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0) {
    return display_text(name.get());
  }
  into_python(PyErr_Clear);
  return "<failed to extract type name>";
}

bool is_type_object(PyObject* object) {
  return (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_TYPE_SUBCLASS) != 0;
}

std::string target_text(PyObject* target) {
  if (is_type_object(target)) {
    if (target == reinterpret_cast<PyObject*>(Py_TYPE(Py_None))) return "None";
    return qualified_name(target);
  }
  if (PyTuple_Check(target)) {
    std::string text;
    const Py_ssize_t count = PyTuple_Size(target);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (i > 0) text += " | ";
      text += target_text(PyTuple_GetItem(target, i));
    }
    return text;
  }
  return display_text(target);
}

class TypeMismatch final : public PendingError::Producer {
 public:
  TypeMismatch(PyObject* object, PyObject* target)
      : object_(Ref::borrow(object)), target_(Ref::borrow(target)) {}

  std::pair<Ref, Ref> produce() override {
    std::string text;
    if (object_.get() == Py_None) {
      text = "'None' is not an instance of '";
    } else {
      text = "'";
      text += qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(object_.get())));
      text += "' object is not an instance of '";
    }
    text += target_text(target_.get());
    text += "'";
    Ref message = Ref::steal(
        created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
    return {Ref::borrow(PyExc_TypeError), std::move(message)};
  }

 private:
  Ref object_;
  Ref target_;
};

}  // namespace

PendingError type_mismatch(PyObject* object, PyObject* target) {
  return PendingError::lazy(std::make_unique<TypeMismatch>(object, target));
}

}  // namespace kelvar::py
