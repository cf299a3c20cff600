// The release queue of the module surface, in an interpreter embedded here:
// a reference dropped outside any attached section must wait, and must then
// be released by the next section or by taking the lock back; a thread that
// the interpreter ends while it takes the lock back must unwind as one that
// does not hold it.
#include <Python.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <iterator>
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
std::atomic<int> waiting{0};
std::atomic<bool> finalizing_now{false};

bool wait_for(const std::atomic<bool>& flag) {
  for (int i = 0; i < 10000 && !flag.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return flag.load();
}

// How a daemon thread meets the interpreter's end: in the module's own wait
// for the lock, or in Python code that the module called.
enum class EndedIn { taking_the_lock_back, python_code };

struct Ended {
  EndedIn where;
  // The attach count that a reference dropped by the unwind would have seen.
  std::atomic<int> count_in_unwind{not_unwound};
};

Ended ended_cases[] = {{EndedIn::taking_the_lock_back}, {EndedIn::python_code}};

void* ended_at_shutdown(void* argument) {
  Ended& ended = *static_cast<Ended*>(argument);
  PyGILState_Ensure();  // never released: the thread is ended
  AttachedSection attached;
  struct Probe {
    std::atomic<int>& slot;
    ~Probe() { slot = attach_count(); }
  } probe{ended.count_in_unwind};
  if (ended.where == EndedIn::taking_the_lock_back) {
    Detached detached;
    ++waiting;
    wait_for(finalizing_now);
    detached.reattach();  // ends the thread: the interpreter is finalizing
  } else {
    Ref time = Ref::steal(PyImport_ImportModule("time"));
    ++waiting;
    // Gives up the lock until the interpreter finalizes, then asks for it back.
    while (true) {
      Ref slept = Ref::steal(kelvar::py::into_python(
          [&] { return PyObject_CallMethod(time.get(), "sleep", "d", 0.001); }));
    }
  }
  return nullptr;
}

// Runs inside Py_FinalizeEx, once the interpreter has gone and before the
// runtime forgets that it is finalizing.
void let_the_threads_take_the_lock_back() {
  finalizing_now = true;
  for (int i = 0; i < 10000; ++i) {
    bool all = true;
    for (const Ended& ended : ended_cases) all &= ended.count_in_unwind.load() != not_unwound;
    if (all) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

TEST_CASE(a_thread_ended_at_shutdown_unwinds_as_one_that_never_holds_the_lock_again) {
#if PY_VERSION_HEX >= 0x030E0000
  return SKIP("from 3.14 on the interpreter parks such a thread instead of ending it");
#else
  start_interpreter();
  pthread_t threads[std::size(ended_cases)];
  PyThreadState* const main_state = PyEval_SaveThread();
  for (std::size_t i = 0; i < std::size(ended_cases); ++i) {
    CHECK_EQ(pthread_create(&threads[i], nullptr, ended_at_shutdown, &ended_cases[i]), 0);
  }
  for (int i = 0; i < 10000 && waiting.load() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  PyEval_RestoreThread(main_state);
  CHECK_EQ(waiting.load(), 2);
  CHECK_EQ(Py_AtExit(let_the_threads_take_the_lock_back), 0);
  CHECK_EQ(Py_FinalizeEx(), 0);
  // Nothing dropped on the way out may be released, nor queued for a
  // thread that holds the lock later.
  for (std::size_t i = 0; i < std::size(ended_cases); ++i) {
    CHECK_EQ(ended_cases[i].count_in_unwind.load(), kelvar::py::detail::lock_lost_for_good);
    if (ended_cases[i].count_in_unwind.load() != not_unwound) pthread_join(threads[i], nullptr);
  }
#endif
}
