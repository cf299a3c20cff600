// Who may touch a reference to a Python object, and when: the bookkeeping of
// whether the current thread holds the interpreter lock on behalf of module
// code, the one gate through which module code runs Python code, the owned
// references and the releases that wait for that gate, and the call guard
// through which every entry of the interpreter into the module runs.
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

#include <atomic>
#include <exception>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "module/failure.h"

namespace kelvar::py {

// --- The lock, and the gate into the interpreter -----------------------------

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
// that dropped them, never by another. The list is on the heap, made when
// first needed and freed once emptied, and the thread-local is a bare
// pointer: every thread-local here is trivially destructible, since
// mingw-w64's emulated thread-local storage can free a thread's block before
// the destructors of its thread-locals run, and a list destroyed there would
// free whatever the freed block then held (a corrupt heap, then a hung exit).
// A pointer is also constant-initialised: the check on every entry and every
// call into the interpreter is one access to thread-local storage, and a list
// exists only while releases may be waiting.
using ReleaseList = std::vector<PyObject*>;
inline ReleaseList*& waiting_releases() noexcept {
  thread_local ReleaseList* waiting = nullptr;
  static_assert(std::is_trivially_destructible_v<decltype(waiting)>);
  return waiting;
}

// Releases them all, running whatever finalisers that takes. Only inside
// into_python(), attached.
void release_waiting();
}  // namespace detail

// Whether this thread holds the lock for the module and has references
// waiting for a release.
inline bool releases_waiting() noexcept {
  return detail::waiting_releases() != nullptr && attach_count() > 0;
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

// --- Owned references ---------------------------------------------------------

// Lets go of a reference without running any code: with the lock held and
// other references left, the count goes down at once; otherwise the reference
// waits for the thread's next call into the interpreter (see above), and
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

// What the rule above rests on: dropping a reference runs no code, so
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

// --- The call guard ----------------------------------------------------------

namespace detail {
// Ends the process: an internal failure escaped while the outcome of a call
// was being handed to the interpreter, so it cannot be reported to anyone.
[[noreturn]] void uncaught_at_boundary() noexcept;
// Raises what a body threw: an internal failure as the PanicException,
// anything else reported first as a failure without a message of its own.
void raise_thrown(std::exception_ptr thrown);
}  // namespace detail

// The value of a body that has nothing to give back.
struct Unit {};

// The outcome of `body` (returning Result<T>, error.h): its value given to
// `on_success`, or its error raised and `failure`. The errors are declared
// after this header, which they rest on: the error's type is the body's, and
// what the body threw leaves the handler as it is, to be made an error in
// ref.cpp and raised there.
template <class Ret, class Body, class OnSuccess>
Ret outcome_of(Ret failure, Body& body, OnSuccess& on_success) {
  std::optional<decltype(body().take_error())> error;
  std::exception_ptr thrown;
  try {
    auto result = body();
    if (result) return on_success(result.take_value());
    error.emplace(result.take_error());
  } catch (...) {
    rethrow_if_not_cxx();
    thrown = std::current_exception();
  }
  if (thrown) {
    detail::raise_thrown(std::move(thrown));
  } else {
    std::move(*error).restore();
  }
  return failure;
}

// Runs `body` and hands its outcome to the interpreter; before that, every
// reference the call took and let go of is released, whichever way the body
// ended. Not noexcept, and neither are its wrappers: a thread that the
// interpreter ends while it waits for the lock unwinds through here and on
// through the interpreter's own frames.
template <class Ret, class Body, class OnSuccess>
Ret guarded(Ret failure, Body&& body, OnSuccess&& on_success) {
  try {
    AttachedSection attached;
    Ret outcome = outcome_of(failure, body, on_success);
    release_before_return();
    return outcome;
  } catch (...) {
    rethrow_if_not_cxx();
    detail::uncaught_at_boundary();
  }
}

// For the entry points: a new reference, or null with an exception set.
template <class Body>
PyObject* guarded_call(Body&& body) {
  return guarded<PyObject*>(nullptr, body, [](Ref r) { return r.release(); });
}

// For the module's execution step: 0, or -1 with an exception set.
template <class Body>
int guarded_exec(Body&& body) {
  return guarded<int>(-1, body, [](Unit) { return 0; });
}

}  // namespace kelvar::py
