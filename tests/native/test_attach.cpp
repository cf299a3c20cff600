// Who may touch a reference, and when, in an interpreter embedded here: a
// release runs no Python code where it happens (so any frame may make one,
// noexcept ones included); what a call lets go of is released before the
// call returns; and a thread that the interpreter ends at shutdown releases
// nothing on its way out, since it no longer holds the lock.
#include <Python.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "check.h"
#include "module/error.h"
#include "module/ref.h"

using kelvar::py::AttachedSection;
using kelvar::py::Detached;
using kelvar::py::into_python;
using kelvar::py::PendingError;
using kelvar::py::Ref;
using kelvar::py::Result;

namespace {

// One interpreter for the whole run; the main thread holds its lock between
// cases, as the interpreter's own threads do between calls of the module.
void start_interpreter() {
  if (!Py_IsInitialized()) Py_InitializeEx(0);
}

// The namespace in which `source` ran.
Ref run_python(const char* source) {
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  Ref globals = Ref::steal(PyDict_New());
  Ref done = Ref::steal(PyObject_CallMethod(builtins.get(), "exec", "sO", source, globals.get()));
  if (!done) PyErr_Print();
  CHECK(done);
  return globals;
}

// Objects whose finaliser counts its runs in `finalised`, a list of the
// namespace.
struct Watched {
  Ref space = run_python(
      "finalised = []\n"
      "class Watched:\n"
      "    def __del__(self):\n"
      "        finalised.append(1)\n");

  // A new object that only the caller holds.
  Ref make() {
    PyObject* const type = PyDict_GetItemString(space.get(), "Watched");
    return Ref::steal(PyObject_CallObject(type, nullptr));
  }
  Py_ssize_t finalised() { return PyList_Size(PyDict_GetItemString(space.get(), "finalised")); }
};

void drop_in_a_noexcept_frame(Ref& ref) noexcept {
  ref.reset();
}

}  // namespace

TEST_CASE(a_release_runs_no_python_code_where_it_happens) {
  start_interpreter();
  AttachedSection attached;
  Watched watched;
  // The last reference: the finaliser waits for the next call into the
  // interpreter, outside the frame that let go of it.
  Ref last = watched.make();
  drop_in_a_noexcept_frame(last);
  CHECK_EQ(watched.finalised(), Py_ssize_t{0});
  into_python([] {});
  CHECK_EQ(watched.finalised(), Py_ssize_t{1});
  // Not the last: the count goes down at once.
  Ref object = watched.make();
  Ref second = Ref::borrow(object.get());
  drop_in_a_noexcept_frame(second);
  CHECK_EQ(Py_REFCNT(object.get()), Py_ssize_t{1});
  CHECK_EQ(watched.finalised(), Py_ssize_t{1});
  object.reset();
  into_python([] {});
  CHECK_EQ(watched.finalised(), Py_ssize_t{2});
}

TEST_CASE(a_reference_dropped_without_the_lock_waits_for_it) {
  start_interpreter();
  Watched watched;
  for (const bool in_a_section : {false, true}) {
    PyObject* const object = PyList_New(0);  // the test's own reference
    Ref held = Ref::borrow(object);
    if (in_a_section) {
      AttachedSection attached;
      Detached detached;
      held.reset();
      // Not released without the lock, nor when the lock is back.
      CHECK_EQ(Py_REFCNT(object), Py_ssize_t{2});
      detached.reattach();
      CHECK_EQ(Py_REFCNT(object), Py_ssize_t{2});
      // By the next call into the interpreter.
      into_python([] {});
    } else {
      held.reset();  // outside any section
      CHECK_EQ(Py_REFCNT(object), Py_ssize_t{2});
      AttachedSection attached;  // by the next section's entry
    }
    CHECK_EQ(Py_REFCNT(object), Py_ssize_t{1});
    Py_DecRef(object);
  }
}

TEST_CASE(what_a_call_lets_go_of_is_released_before_it_returns) {
  start_interpreter();
  Watched watched;
  Ref kept = watched.make();
  // A failing call: its error stays set, and no finaliser sees it.
  PyObject* const failed = kelvar::py::guarded_call([&]() -> Result<Ref> {
    Ref last = watched.make();
    Ref argument = Ref::borrow(kept.get());
    return PendingError::with_message(PyExc_ValueError, "refused");
  });
  CHECK(failed == nullptr);
  CHECK_EQ(watched.finalised(), Py_ssize_t{1});
  CHECK(PyErr_ExceptionMatches(PyExc_ValueError));
  PyErr_Clear();
  CHECK_EQ(Py_REFCNT(kept.get()), Py_ssize_t{1});
  // A call that succeeds.
  PyObject* const answered =
      kelvar::py::guarded_call([&]() -> Result<Ref> { return watched.make(); });
  CHECK(answered != nullptr);
  CHECK_EQ(watched.finalised(), Py_ssize_t{1});
  Py_DecRef(answered);
  CHECK_EQ(watched.finalised(), Py_ssize_t{2});
}

// --- Last: this case ends the interpreter ------------------------------------

namespace {

std::atomic<int> waiting{0};
std::atomic<bool> finalizing_now{false};
PyObject* shared = nullptr;  // each ended thread holds references to it

bool wait_for(const std::atomic<bool>& flag) {
  for (int i = 0; i < 10000 && !flag.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return flag.load();
}

// How a daemon thread meets the interpreter's end: in the module's own wait
// for the lock, in Python code that the module called, or taking the lock
// back after a C++ exception left a stretch without it (as a failure inside
// the lookup would).
enum class EndedIn { taking_the_lock_back, python_code, after_an_exception };

struct Ended {
  EndedIn where;
  std::atomic<bool> unwound{false};
};

Ended ended_cases[] = {
    {EndedIn::taking_the_lock_back}, {EndedIn::python_code}, {EndedIn::after_an_exception}};

void* ended_at_shutdown(void* argument) {
  Ended& ended = *static_cast<Ended*>(argument);
  PyGILState_Ensure();  // never released: the thread is ended
  AttachedSection attached;
  struct Probe {
    std::atomic<bool>& unwound;
    ~Probe() { unwound = true; }
  } probe{ended.unwound};
  Ref outer = Ref::borrow(shared);
  if (ended.where == EndedIn::taking_the_lock_back) {
    Ref inner = Ref::borrow(shared);
    Detached detached;
    ++waiting;
    wait_for(finalizing_now);
    detached.reattach();  // ends the thread: the interpreter is finalizing
  } else if (ended.where == EndedIn::after_an_exception) {
    Ref inner = Ref::borrow(shared);
    try {
      kelvar::py::without_lock([](Detached&) {
        ++waiting;
        wait_for(finalizing_now);
        throw std::runtime_error("a failure without the lock");
      });
    } catch (const std::runtime_error&) {
    }
    CHECK(false);  // the thread is ended before the exception reaches here
  } else {
    Ref inner = Ref::borrow(shared);
    Ref time = Ref::steal(PyImport_ImportModule("time"));
    ++waiting;
    // Gives up the lock until the interpreter finalizes, then asks for it back.
    while (true) {
      Ref slept = Ref::steal(
          into_python([&] { return PyObject_CallMethod(time.get(), "sleep", "d", 0.001); }));
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
    for (const Ended& ended : ended_cases) all &= ended.unwound.load();
    if (all) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

TEST_CASE(a_thread_ended_at_shutdown_releases_nothing_on_its_way_out) {
#if PY_VERSION_HEX >= 0x030E0000
  return SKIP("from 3.14 on the interpreter parks such a thread instead of ending it");
#else
  start_interpreter();
  shared = PyList_New(0);  // the test's own reference, never given up
  pthread_t threads[std::size(ended_cases)];
  PyThreadState* const main_state = PyEval_SaveThread();
  for (std::size_t i = 0; i < std::size(ended_cases); ++i) {
    CHECK_EQ(pthread_create(&threads[i], nullptr, ended_at_shutdown, &ended_cases[i]), 0);
  }
  const int started = static_cast<int>(std::size(ended_cases));
  for (int i = 0; i < 10000 && waiting.load() < started; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  PyEval_RestoreThread(main_state);
  CHECK_EQ(waiting.load(), started);
  // Ours, and two for each thread.
  const Py_ssize_t held = Py_REFCNT(shared);
  CHECK_EQ(held, Py_ssize_t{1 + 2 * std::size(ended_cases)});
  CHECK_EQ(Py_AtExit(let_the_threads_take_the_lock_back), 0);
  CHECK_EQ(Py_FinalizeEx(), 0);
  // Both threads were ended and unwound, and every reference they dropped
  // on the way is still counted: none was released without the lock, nor
  // left for a thread that holds the lock later.
  for (std::size_t i = 0; i < std::size(ended_cases); ++i) {
    CHECK(ended_cases[i].unwound.load());
    if (ended_cases[i].unwound.load()) pthread_join(threads[i], nullptr);
  }
  CHECK_EQ(Py_REFCNT(shared), held);
#endif
}
