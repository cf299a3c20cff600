// Bookkeeping of whether the current thread holds the interpreter lock on
// behalf of module code, and the queue of releases that had to wait for it.
#pragma once

#include <Python.h>

namespace kelvar::py {

// Per-thread count of the module's attached sections in progress.
int& attach_count() noexcept;

// Releases every reference deferred while no thread was attached.
void drain_release_queue() noexcept;

// One attached section: the interpreter is calling the module, so the thread
// holds the lock already; this only records it.
class AttachedSection {
 public:
  AttachedSection() noexcept;
  ~AttachedSection();
  AttachedSection(const AttachedSection&) = delete;
  AttachedSection& operator=(const AttachedSection&) = delete;
};

// Lets go of the interpreter lock for a stretch of work that touches no
// Python object, and takes it back on reattach() or destruction.
class Detached {
 public:
  Detached() noexcept;
  ~Detached() { reattach(); }
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;

  void reattach() noexcept;
  // Holds the lock again for a moment, e.g. to run signal handlers.
  template <class F>
  auto with_lock(F&& f) {
    reattach();
    struct Again {
      Detached& d;
      ~Again() { d.detach(); }
    } again{*this};
    return f();
  }

 private:
  void detach() noexcept;
  PyThreadState* state_ = nullptr;
  int saved_count_ = 0;
};

}  // namespace kelvar::py
