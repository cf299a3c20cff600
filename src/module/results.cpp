#include "module/convert.h"
#include "module/failure.h"

namespace kelvar::py {

Ref new_str(std::string_view text) {
  return Ref::steal(
      created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
}

Ref new_bool(bool value) {
  return Ref::borrow(value ? Py_True : Py_False);
}

Ref new_u32(std::uint32_t value) {
  return Ref::steal(created(PyLong_FromUnsignedLongLong(value)));
}

Ref new_i32(std::int32_t value) {
  return Ref::steal(created(PyLong_FromLong(value)));
}

Ref new_lookup_result(std::string_view name, std::optional<std::string_view> path) {
  Ref first = new_str(name);
  Ref second = path ? new_str(*path) : Ref::borrow(Py_None);
  Ref pair = Ref::steal(created(into_python([] { return PyTuple_New(2); })));
  PyTuple_SetItem(pair.get(), 0, first.release());
  PyTuple_SetItem(pair.get(), 1, second.release());
  return pair;
}

}  // namespace kelvar::py
