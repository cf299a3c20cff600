// The call guard: every way the interpreter enters the module runs through it.
#pragma once

#include <Python.h>

#include <optional>

#include "module/attach.h"
#include "module/error.h"
#include "module/failure.h"

namespace kelvar::py {

namespace detail {
// Ends the process: an internal failure escaped while the outcome of a call
// was being handed to the interpreter, so it cannot be reported to anyone.
[[noreturn]] void uncaught_at_boundary() noexcept;
// The error for whatever a body threw.
PendingError error_from_current_exception();
}  // namespace detail

// The outcome of `body` (returning Result<T>): its value given to
// `on_success`, or its error raised and `failure`.
template <class Ret, class Body, class OnSuccess>
Ret outcome_of(Ret failure, Body& body, OnSuccess& on_success) {
  std::optional<PendingError> error;
  try {
    auto result = body();
    if (result) return on_success(result.take_value());
    error.emplace(result.take_error());
  } catch (...) {
    rethrow_if_not_cxx();
    error.emplace(detail::error_from_current_exception());
  }
  std::move(*error).restore();
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
