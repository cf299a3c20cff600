// Bookkeeping of whether the current thread holds the interpreter lock on
// behalf of module code, the one gate through which module code runs Python
// code, and the releases that wait for that gate.
//
// The rule that keeps a thread's end from ending the process: Python code
// runs only inside into_python(), and no frame between into_python() and the
// module's entry may be noexcept. Python code may give up the lock, and a
// daemon thread that asks for it back once the interpreter has begun to shut
// down is ended right there by a forced unwind (pthread_exit), which ends the
// whole process when it meets a noexcept frame. A release of a reference can
// run Python code (the finalisers of what it frees), so a release never
// frees anything in place: it only decrements a count that cannot reach zero,
// or leaves the reference to this thread's next call into the interpreter.
// That is what lets every owner of references be noexcept, the standard ones
// (std::unique_ptr::reset, std::optional, std::variant, std::vector) included.
// tests/python/test_unwind_rules.py checks the rule against the sources.
#pragma once

#include <Python.h>

#include <exception>
#include <type_traits>
#include <vector>

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

// The references this thread has let go of whose release may free an object
// (see release_reference). Only this thread touches them, so
// they are released by a call of the module on the interpreter of the call
// that dropped them, never by another.
inline std::vector<PyObject*>& waiting_releases() noexcept {
  thread_local std::vector<PyObject*> waiting;
  return waiting;
}
// Whether that list may be non-empty: a constant-initialised flag, so that
// the check on every entry and every call into the interpreter is one access
// to thread-local storage, without the guard of the list's initialisation.
inline bool& any_waiting_release() noexcept {
  thread_local bool any = false;
  return any;
}

// Releases them all, running whatever finalisers that takes. Only inside
// into_python(), attached.
void release_waiting();
}  // namespace detail

// Whether this thread holds the lock for the module and has references
// waiting for a release.
inline bool releases_waiting() noexcept {
  return detail::any_waiting_release() && attach_count() > 0;
}

// Runs `call`, a call into the interpreter that may run Python code (or a
// finaliser, or a garbage collection that runs finalisers); first it releases
// whatever this thread let go of since its last call. The thread may be ended
// inside (see above): it is then marked as never holding the lock again, so
// that the references that the unwind drops on its way out through the
// module's frames are left to the ending process, as the interpreter's own C
// code leaves those of its frames, instead of being released without the
// lock. The mark must be set here, around the call itself: the frames above
// drop their references before any handler of theirs could run.
template <class Call>
decltype(auto) into_python(Call&& call) {
  try {
    if (releases_waiting()) detail::release_waiting();
    return call();
  } catch (...) {
    detail::note_unwind_from_interpreter();
    throw;
  }
}

// Releases what this thread let go of, keeping the interpreter's current
// exception, if any, aside meanwhile: the last step of every call of the
// module, so that what a call took is released before it returns.
inline void release_before_return() {
  if (!releases_waiting()) return;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  into_python([&] { PyErr_Restore(type, value, traceback); });
}

// One attached section: the interpreter is calling the module, so the thread
// holds the lock already; this only records it. Whatever an earlier call on
// this thread could not release (it was ended, or the reference was dropped
// outside any section) is released on entry.
class AttachedSection {
 public:
  AttachedSection() {
    ++attach_count();
    if (releases_waiting()) into_python([] {});
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
// included. Nor may a C++ exception leave the detached stretch with the
// lock still let go: its destructor would then take the lock back during
// that unwind, where an end of the thread ends the process. Use it through
// without_lock(), which takes the lock back before any such unwind.
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

// Runs `work(detached)` without the interpreter lock and takes the lock back
// after it, also when it throws, before the exception goes on: never in the
// destructor during that unwind, where the thread's end would end the
// process. The thread's own end (the forced unwind, which carries no C++
// exception) passes unchanged, with the lock not taken back.
template <class Work>
void without_lock(Work&& work) {
  std::exception_ptr failure;
  {
    Detached detached;
    try {
      work(detached);
    } catch (...) {
      if (!std::current_exception()) throw;
      failure = std::current_exception();
    }
    detached.reattach();
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace kelvar::py
