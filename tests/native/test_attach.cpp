// The release queue of the module surface, in an interpreter embedded here:
// a reference dropped outside any attached section must wait, and must then
// be released by the next section or by taking the lock back; a thread that
// the interpreter ends while it takes the lock back must unwind as one that
// does not hold it.
#include <Python.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "check.h"
#include "module/attach.h"
#include "module/ref.h"

using kelvar::py::attach_count;
using kelvar::py::AttachedSection;
using kelvar::py::Detached;
using kelvar::py::Ref;

namespace {

// One interpreter for the whole run; the main thread holds its lock between
// cases, as the interpreter's own threads do between calls of the module.
void start_interpreter() {
  if (!Py_IsInitialized()) Py_InitializeEx(0);
}

enum class Dropped { outside_any_section, while_detached };

}  // namespace

TEST_CASE(a_reference_dropped_outside_a_section_is_released_by_the_next) {
  start_interpreter();
  for (const Dropped where : {Dropped::outside_any_section, Dropped::while_detached}) {
    PyObject* const object = PyList_New(0);  // the test's own reference
    Ref held = Ref::borrow(object);
    if (where == Dropped::while_detached) {
      Detached detached;
      held.reset();
      // Not released without the lock.
      CHECK_EQ(Py_REFCNT(object), Py_ssize_t{2});
    } else {
      held.reset();
      CHECK_EQ(Py_REFCNT(object), Py_ssize_t{2});
      AttachedSection attached;
    }
    // Released by the section's entry, or by taking the lock back.
    CHECK_EQ(Py_REFCNT(object), Py_ssize_t{1});
    Py_DecRef(object);
  }
}

// --- Last: this case ends the interpreter ------------------------------------

namespace {

constexpr int not_unwound = -100;
std::atomic<bool> detached_now{false};
std::atomic<bool> finalizing_now{false};
// The attach count that a reference dropped by the unwind would have seen.
std::atomic<int> count_in_unwind{not_unwound};

bool wait_for(const std::atomic<bool>& flag) {
  for (int i = 0; i < 10000 && !flag.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return flag.load();
}

void* ended_while_taking_the_lock_back(void*) {
  PyGILState_Ensure();  // never released: the thread is ended
  AttachedSection attached;
  struct Probe {
    ~Probe() { count_in_unwind = attach_count(); }
  } probe;
  Detached detached;
  detached_now = true;
  wait_for(finalizing_now);
  detached.reattach();  // ends the thread: the interpreter is finalizing
  return nullptr;
}

// Runs inside Py_FinalizeEx, once the interpreter has gone and before the
// runtime forgets that it is finalizing.
void let_the_thread_take_the_lock_back() {
  finalizing_now = true;
  for (int i = 0; i < 10000 && count_in_unwind.load() == not_unwound; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

TEST_CASE(a_thread_ended_while_taking_the_lock_back_unwinds_detached) {
#if PY_VERSION_HEX >= 0x030E0000
  return SKIP("from 3.14 on the interpreter parks such a thread instead of ending it");
#else
  start_interpreter();
  pthread_t thread;
  CHECK_EQ(pthread_create(&thread, nullptr, ended_while_taking_the_lock_back, nullptr), 0);
  PyThreadState* const main_state = PyEval_SaveThread();
  CHECK(wait_for(detached_now));
  PyEval_RestoreThread(main_state);
  CHECK_EQ(Py_AtExit(let_the_thread_take_the_lock_back), 0);
  CHECK_EQ(Py_FinalizeEx(), 0);
  // Ended inside the lock's taking: nothing dropped on the way out may
  // count as released with the lock held.
  CHECK_EQ(count_in_unwind.load(), 0);
  if (count_in_unwind.load() != not_unwound) pthread_join(thread, nullptr);
#endif
}
