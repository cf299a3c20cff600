#include "module/text.h"

#include "common/utf8.h"
#include "module/names.h"
#include "module/pending_error.h"
#include "module/ref.h"

namespace kelvar::py {
namespace {

// The text of `render(object)`; a failure is reported as unraisable and the
// object is named by its type instead.
std::string rendered(PyObject* object, PyObject* (*render)(PyObject*)) {
  std::string text;
  Ref rendering = Ref::steal(into_python([=] { return render(object); }));
  if (rendering && str_to_utf8_lenient(rendering.get(), text)) return text;
  PendingError::fetch().write_unraisable(object);

  Ref type_name = Ref::steal(into_python([=] {
    return PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)), names::dunder_name());
  }));
  Ref name_text =
      type_name ? Ref::steal(into_python([&] { return PyObject_Str(type_name.get()); })) : Ref();
  std::string name;
  if (name_text && str_to_utf8_lenient(name_text.get(), name)) {
    return "<unprintable " + name + " object>";
  }
  into_python(PyErr_Clear);
  return "<unprintable object>";
}

}  // namespace

bool str_to_utf8_lenient(PyObject* str, std::string& out) {
  // "surrogatepass" keeps lone surrogates as bytes, which the lenient decoding
  // then shows as replacement characters instead of failing.
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!bytes) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return false;
  out = common::decode_utf8_lenient(std::string_view(data, static_cast<std::size_t>(size)));
  return true;
}

std::string display_text(PyObject* object) {
  return rendered(object, PyObject_Str);
}

std::string repr_text(PyObject* object) {
  return rendered(object, PyObject_Repr);
}

}  // namespace kelvar::py
