#include "module/attach.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <vector>

#include "module/ref.h"

namespace kelvar::py {
namespace {

// References released by module code while its thread was not attached; they
// are released by the next thread that enters an attached section.
struct ReleaseQueue {
  std::mutex mutex;  // a leaf lock: held only to push one entry or to swap the list
  std::vector<PyObject*> pending;
};

ReleaseQueue& release_queue() {
  // Never destroyed: a release may be deferred during interpreter shutdown.
  static ReleaseQueue* const queue = new ReleaseQueue;
  return *queue;
}

void defer_release(PyObject* object) {
  ReleaseQueue& queue = release_queue();
  std::lock_guard<std::mutex> lock(queue.mutex);
  queue.pending.push_back(object);
  // Under the mutex, so that it cannot be cleared by an emptying that has
  // already taken the list without this entry.
  detail::releases_waiting().store(true, std::memory_order_release);
}

}  // namespace

void detail::note_unwind_from_interpreter() noexcept {
  if (!std::current_exception()) attach_count() = lock_lost_for_good;
}

void release_reference(PyObject* object) {
  const int count = attach_count();
  if (count < 0) return;  // the thread is being ended without the lock
  // While an exception unwinds, a finaliser that ended the thread would
  // throw from a destructor during the unwind, which ends the process; the
  // release waits for the next section instead.
  if (count == 0 || std::uncaught_exceptions() > 0) {
    defer_release(object);
    return;
  }
  into_python([object] { Py_DecRef(object); });
}

void detail::drain_waiting_releases() {
  ReleaseQueue& queue = release_queue();
  std::vector<PyObject*> taken;
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    taken.swap(queue.pending);
    releases_waiting().store(false, std::memory_order_relaxed);
  }
  // Outside the mutex: a release may run arbitrary finalisers. Should one of
  // them end the thread, the rest are left to the ending process.
  for (PyObject* object : taken) into_python([object] { Py_DecRef(object); });
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
  // unwind go to the release queue instead of being released without it.
  PyThreadState* const state = std::exchange(state_, nullptr);
  into_python([state] { PyEval_RestoreThread(state); });
  attach_count() = saved_count_;
  drain_release_queue();
}

}  // namespace kelvar::py
