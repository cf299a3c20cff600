#include "module/ref.h"

#include <cstdlib>
#include <exception>
#include <iterator>
#include <string>
#include <utility>

#include "module/error.h"
#include "module/failure.h"

namespace kelvar::py {

// --- The lock, and the gate into the interpreter -----------------------------

void detail::note_unwind_from_interpreter() noexcept {
  if (std::current_exception()) return;
  attach_count() = lock_lost_for_good;
  // What the ending thread had yet to release stays with it (nothing may be
  // released without the lock), but the list is freed here: no destructor
  // of a thread-local frees it at the thread's end (see waiting_releases).
  delete std::exchange(waiting_releases(), nullptr);
}

void release_reference(PyObject* object) noexcept {
  const int count = attach_count();
  if (count < 0) return;  // the thread is being ended without the lock
  // With the lock held, a count above one only goes down: nothing is freed
  // and no code runs. The lock keeps every other thread off the count.
  if (count > 0 && Py_REFCNT(object) > 1) {
    Py_DecRef(object);
    return;
  }
  try {
    detail::ReleaseList*& waiting = detail::waiting_releases();
    if (waiting == nullptr) waiting = new detail::ReleaseList();
    waiting->push_back(object);
  } catch (...) {
    // No memory left to remember it: the object is leaked, which is all
    // that is left to do without running code here.
  }
}

void detail::release_waiting() {
  // One at a time from the back: a finaliser may let go of more (added at
  // the back, and released here too), or call the module again on this
  // thread, whose own call then releases the rest and frees the list: it is
  // looked up afresh after every release. Should a finaliser end the thread,
  // what is left stays with the ending thread, list and all.
  while (ReleaseList* const waiting = waiting_releases()) {
    if (waiting->empty()) {
      waiting_releases() = nullptr;
      delete waiting;
      break;
    }
    PyObject* const object = waiting->back();
    waiting->pop_back();
    Py_DecRef(object);
  }
}

Detached::Detached() noexcept {
  detach();
}

void Detached::detach() noexcept {
  saved_count_ = std::exchange(attach_count(), 0);
  state_ = PyEval_SaveThread();
}

void Detached::reattach() {
  if (state_ == nullptr) return;
  // The state is forgotten before the lock is asked for: should the thread be
  // ended inside, the destructor must not ask again. The attach count is
  // restored only once the lock is held, so that references dropped by the
  // unwind wait instead of being released without it.
  PyThreadState* const state = std::exchange(state_, nullptr);
  into_python([state] { PyEval_RestoreThread(state); });
  attach_count() = saved_count_;
}

// --- Owned references ---------------------------------------------------------

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

// --- The call guard ----------------------------------------------------------

namespace {

// The error for what a body threw.
PendingError error_from(std::exception_ptr thrown) {
  try {
    std::rethrow_exception(std::move(thrown));
  } catch (const InternalFailure& failure) {
    return PendingError::panic(failure.message());
  } catch (const std::exception& error) {
    // Not raised by the module's own checks (an exhausted allocator, say):
    // its report is written here, where it is first seen.
    write_failure_report(std::string(unknown_failure_message) + " (" + error.what() + ")",
                         SourcePlace::current());
  } catch (...) {
    rethrow_if_not_cxx();
    write_failure_report(unknown_failure_message, SourcePlace::current());
  }
  return PendingError::panic(std::string(unknown_failure_message));
}

}  // namespace

void detail::uncaught_at_boundary() noexcept {
  write_failure_report("uncaught panic at ffi boundary", SourcePlace::current());
  std::abort();
}

void detail::raise_thrown(std::exception_ptr thrown) {
  // Raised once the handler is left: the exception object is freed first.
  error_from(std::move(thrown)).restore();
}

}  // namespace kelvar::py
