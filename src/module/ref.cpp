#include "module/ref.h"

#include <iterator>

#include "module/failure.h"

namespace kelvar::py {

PyObject* interned(Attr attr) {
  // In the order of Attr.
  static constexpr std::string_view texts[] = {"__name__", "__all__", "__qualname__", "__module__",
                                               "__bool__"};
  static OnceObject cells[std::size(texts)];
  const auto index = static_cast<std::size_t>(attr);
  return cells[index].get([index] {
    PyObject* name = new_str(texts[index]).release();
    into_python([&] { PyUnicode_InternInPlace(&name); });
    return Ref::steal(name);
  });
}

Ref new_str(std::string_view text) {
  return Ref::steal(created(into_python([=] {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  })));
}

}  // namespace kelvar::py
