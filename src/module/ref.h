// Owned references to Python objects, and the process-wide values computed
// once and kept for the life of the process.
#pragma once

#include <Python.h>

#include <atomic>
#include <string_view>
#include <type_traits>
#include <utility>

#include "module/attach.h"

namespace kelvar::py {

// Lets go of a reference without running any code: with the lock held and
// other references left, the count goes down at once; otherwise the reference
// waits for the thread's next call into the interpreter (see attach.h), and
// every call of the module makes one before it returns. So a release may
// happen in any frame, noexcept ones included.
void release_reference(PyObject* object) noexcept;

// An owning reference to a Python object: released exactly once, by its
// destructor, unless release() hands it on.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref old(std::move(*this));
    object_ = std::exchange(other.object_, nullptr);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { reset(); }

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
  void reset() noexcept {
    if (object_) release_reference(std::exchange(object_, nullptr));
  }

 private:
  PyObject* object_ = nullptr;
};

// What the rule of attach.h rests on: dropping a reference runs no code, so
// any owner may hold one and drop it in a noexcept frame.
static_assert(std::is_nothrow_destructible_v<Ref> &&
              std::is_nothrow_move_assignable_v<Ref>&& noexcept(release_reference(nullptr)));

// A Python object made once, on first use, and kept for the life of the
// process. Nothing ever waits for it: the first caller to find it missing
// makes it under the interpreter lock, and making it may run Python code
// that lets other threads in, or that calls the module again on this very
// thread (a signal handler, an import hook, a finaliser). Each such caller
// makes one of its own; the first one stored is kept and every caller gets
// that one, and the others are dropped.
class OnceObject {
 public:
  constexpr OnceObject() noexcept = default;
  OnceObject(const OnceObject&) = delete;
  OnceObject& operator=(const OnceObject&) = delete;

  // The object if some caller has stored it already.
  PyObject* get_if_ready() const noexcept { return value_.load(std::memory_order_acquire); }

  // `make` (returning a Ref) runs attached; if it ends in an internal failure
  // the cell stays empty and a later call tries again.
  template <class Make>
  PyObject* get(Make&& make) {
    if (PyObject* const ready = get_if_ready()) return ready;
    Ref made = make();
    PyObject* stored = nullptr;
    if (value_.compare_exchange_strong(stored, made.get(), std::memory_order_acq_rel)) {
      return made.release();
    }
    return stored;
  }

 private:
  std::atomic<PyObject*> value_{nullptr};
};

// Attribute names, each interned once per process and kept for its life.
enum class Attr { name, all, qualname, module, bool_ };
PyObject* interned(Attr attr);

// A new str of the UTF-8 `text`, with its exact length; a failure to create
// it is an internal failure.
Ref new_str(std::string_view text);

}  // namespace kelvar::py
