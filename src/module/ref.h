// Owned references to Python objects, and the process-wide values computed
// once and kept for the life of the process.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <string_view>
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

// An owning reference to a Python object: released exactly once, by its
// destructor, unless release() hands it on.
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

// A value computed once, on first use, and kept for the life of the process.
template <class T>
class OnceCell {
 public:
  constexpr OnceCell() noexcept = default;
  OnceCell(const OnceCell&) = delete;
  OnceCell& operator=(const OnceCell&) = delete;

  // The value if some thread has stored it already; never waits.
  const T* get_if_ready() const noexcept {
    return ready_.load(std::memory_order_acquire) ? &value_ : nullptr;
  }

  // `init` runs attached, at most once to completion; if it ends in an
  // internal failure the cell stays empty and a later call tries again.
  template <class Init>
  const T& get(Init&& init) {
    if (ready_.load(std::memory_order_acquire)) return value_;
    // The initialiser calls into the interpreter, and may let other threads
    // run while it does. Waiting for the section while holding the
    // interpreter lock could deadlock against such a thread, so the lock is
    // given up before the section is entered and retaken inside it.
    Detached detached;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ready_.load(std::memory_order_relaxed)) {
      detached.reattach();
      value_ = init();
      ready_.store(true, std::memory_order_release);
    }
    return value_;
  }

 private:
  std::atomic<bool> ready_{false};
  std::mutex mutex_;
  T value_{};
};

// Attribute names, each interned once per process and kept for its life.
enum class Attr { name, all, qualname, module, bool_ };
PyObject* interned(Attr attr);

// A new str of the UTF-8 `text`, with its exact length; a failure to create
// it is an internal failure.
Ref new_str(std::string_view text);

}  // namespace kelvar::py
