// Bookkeeping of whether the current thread holds the interpreter lock on
// behalf of module code, and the queue of releases that had to wait for it.
#pragma once

#include <Python.h>

#include <atomic>
#include <type_traits>

namespace kelvar::py {

// Per-thread count of the module's attached sections in progress. Defined
// here, not behind a call, since every call of the module raises and lowers
// it: a constant-initialised int needs no guard, so each use is one access to
// thread-local storage.
inline int& attach_count() noexcept {
  thread_local int count = 0;
  return count;
}

namespace detail {
// The attach count of a thread that the interpreter has ended while it
// waited for the lock (see into_python). Far enough below zero that the
// sections the unwind leaves on its way out never bring it back up.
inline constexpr int lock_lost_for_good = -(1 << 30);

// For the catch-all around a call into the interpreter: a C++ exception
// passes unchanged; anything else is the forced unwind that ends the thread.
void note_unwind_from_interpreter() noexcept;

// Whether the release queue may hold references: set with the first push
// after an emptying, cleared by the emptying. Read without the queue's mutex,
// so that an entry into the module with nothing deferred (nearly every entry)
// costs one load. A push that a reader does not see yet is simply released
// by a later entry, as if it had come just after this one's emptying.
inline std::atomic<bool>& releases_waiting() noexcept {
  static std::atomic<bool> waiting{false};
  return waiting;
}
void drain_waiting_releases();
}  // namespace detail

// Releases every reference deferred while no thread was attached. Not
// noexcept: a release may run a finaliser that gives up the lock, and a
// daemon thread that takes it back during shutdown is ended by a forced
// unwind, which must be free to pass.
inline void drain_release_queue() {
  if (detail::releases_waiting().load(std::memory_order_acquire)) {
    detail::drain_waiting_releases();
  }
}

// Runs `call`, a call into the interpreter that may run Python code (or a
// finaliser, or a garbage collection that runs finalisers). Such code may
// give up the lock, and a daemon thread that asks for it back once the
// interpreter has begun to shut down is ended right there by a forced unwind
// (pthread_exit), without the lock. The thread is then marked as never
// holding the lock again: the references that the unwind drops on its way
// out through the module's frames are left to the ending process, as the
// interpreter's own C code leaves those of its frames, instead of being
// released without the lock. The mark must be set here, around the call
// itself: the frames above release their references before any handler of
// theirs could run.
template <class Call>
decltype(auto) into_python(Call&& call) {
  try {
    return call();
  } catch (...) {
    detail::note_unwind_from_interpreter();
    throw;
  }
}

// One attached section: the interpreter is calling the module, so the thread
// holds the lock already; this only records it.
class AttachedSection {
 public:
  AttachedSection() {
    ++attach_count();
    drain_release_queue();
  }
  ~AttachedSection() { --attach_count(); }
  AttachedSection(const AttachedSection&) = delete;
  AttachedSection& operator=(const AttachedSection&) = delete;
};

// Lets go of the interpreter lock for a stretch of work that touches no
// Python object, and takes it back on reattach() or destruction.
//
// Taking the lock back in a daemon thread once the interpreter has begun to
// shut down never returns: the interpreter ends the thread with a forced
// unwind (pthread_exit). Nothing on that path is noexcept, the destructor
// included, or the C++ runtime would terminate the whole process instead.
class Detached {
 public:
  Detached() noexcept;
  ~Detached() noexcept(false) { reattach(); }
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;

  void reattach();
  // Holds the lock again for a moment, e.g. to run signal handlers. The lock
  // is given up again only after `f` returned, never from a destructor: when
  // the thread is ended inside reattach() or `f`, the unwind must not let go
  // of a lock that the thread no longer holds. Should `f` throw, the lock
  // stays taken, which is what the destructor would have done anyway.
  template <class F>
  auto with_lock(F&& f) {
    reattach();
    if constexpr (std::is_void_v<decltype(f())>) {
      f();
      detach();
    } else {
      auto result = f();
      detach();
      return result;
    }
  }

 private:
  void detach() noexcept;
  PyThreadState* state_ = nullptr;
  int saved_count_ = 0;
};

}  // namespace kelvar::py
