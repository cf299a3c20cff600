// An owning reference to a Python object: released exactly once, by its
// destructor, unless release() hands it on.
#pragma once

#include <Python.h>

#include <utility>

#include "module/attach.h"

namespace kelvar::py {

// Releases now when the thread is attached, or defers the release to the next
// attached section otherwise (see attach.h). Not noexcept: the release may
// run a finaliser, and the interpreter may end the thread inside it (see
// into_python); that unwind must pass, or the C++ runtime would end the
// whole process. For the same reason nothing that holds a Ref has a noexcept
// destructor.
void release_reference(PyObject* object);

class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) {
    Ref old(std::move(*this));
    object_ = std::exchange(other.object_, nullptr);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() noexcept(false) { reset(); }

  // Takes over a new reference (which may be null).
  static Ref steal(PyObject* object) noexcept {
    Ref r;
    r.object_ = object;
    return r;
  }
  // Adds a reference to a borrowed, non-null object.
  static Ref borrow(PyObject* object) noexcept {
    Py_IncRef(object);
    return steal(object);
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() {
    if (object_) release_reference(std::exchange(object_, nullptr));
  }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace kelvar::py
