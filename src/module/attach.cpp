#include "module/attach.h"

#include <atomic>
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

}  // namespace

void release_reference(PyObject* object) noexcept {
  if (attach_count() > 0) {
    Py_DecRef(object);
    return;
  }
  ReleaseQueue& queue = release_queue();
  std::lock_guard<std::mutex> lock(queue.mutex);
  queue.pending.push_back(object);
  // Under the mutex, so that it cannot be cleared by an emptying that has
  // already taken the list without this entry.
  detail::releases_waiting().store(true, std::memory_order_release);
}

void detail::drain_waiting_releases() {
  ReleaseQueue& queue = release_queue();
  std::vector<PyObject*> taken;
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    taken.swap(queue.pending);
    releases_waiting().store(false, std::memory_order_relaxed);
  }
  // Outside the mutex: a release may run arbitrary finalisers.
  for (PyObject* object : taken) Py_DecRef(object);
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
  PyEval_RestoreThread(std::exchange(state_, nullptr));
  attach_count() = saved_count_;
  drain_release_queue();
}

}  // namespace kelvar::py
