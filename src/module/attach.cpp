#include "module/attach.h"

#include <exception>
#include <utility>

#include "module/ref.h"

namespace kelvar::py {

void detail::note_unwind_from_interpreter() noexcept {
  if (!std::current_exception()) attach_count() = lock_lost_for_good;
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
    detail::waiting_releases().push_back(object);
    detail::any_waiting_release() = true;
  } catch (...) {
    // No memory left to remember it: the object is leaked, which is all
    // that is left to do without running code here.
  }
}

void detail::release_waiting() {
  std::vector<PyObject*>& waiting = waiting_releases();
  // One at a time from the back: a finaliser may let go of more (added at
  // the back, and released here too), or call the module again on this
  // thread, whose own call then releases the rest. Should a finaliser end
  // the thread, what is left stays with the ending thread.
  while (!waiting.empty()) {
    PyObject* const object = waiting.back();
    waiting.pop_back();
    Py_DecRef(object);
  }
  any_waiting_release() = false;
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

}  // namespace kelvar::py
