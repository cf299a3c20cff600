// A Python exception that the module has not raised yet.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "module/ref.h"

namespace kelvar::py {

class PendingError {
 public:
  // Builds the exception type and the argument for PyErr_SetObject when the
  // error is first materialised, so that errors that are dropped or replaced
  // cost no Python objects.
  struct Producer {
    virtual ~Producer() noexcept(false) = default;  // may hold references
    virtual std::pair<Ref, Ref> produce() = 0;      // type, argument
  };

  static PendingError lazy(std::unique_ptr<Producer> producer) noexcept;
  // `type` is one of the interpreter's static exception types (PyExc_...).
  static PendingError with_message(PyObject* type, std::string message);
  static PendingError panic(std::string message);
  static PendingError from_value(Ref value);

  // Takes over the exception pending in the interpreter, if any. A
  // PanicException coming back from Python code continues as an internal
  // failure instead.
  static std::optional<PendingError> take();
  // As take(), for use right after a call reported failure.
  static PendingError fetch();
  // Takes over the exception pending in the interpreter, if any, and drops
  // it: what the caller has no use for.
  static void discard();

  PendingError(PendingError&&) noexcept = default;
  PendingError& operator=(PendingError&&) = default;
  // unique_ptr's destructor is noexcept: the producer is deleted here, where
  // a finaliser run by the release of what it holds may unwind.
  ~PendingError() noexcept(false) { delete producer_.release(); }

  // Sets it as the interpreter's current exception, instance created.
  void restore() &&;
  PyObject* type();
  PyObject* value();
  PyObject* traceback();  // null when there is none
  Ref into_value() &&;
  bool matches(PyObject* exception_type) {
    return PyErr_GivenExceptionMatches(type(), exception_type) != 0;
  }
  // Raises it and reports it through the interpreter's unraisable hook.
  void write_unraisable(PyObject* context) &&;
  // PyErr { type: ..., value: ..., traceback: ... }, for failure messages.
  std::string debug();

 private:
  PendingError() = default;
  void normalize();

  std::unique_ptr<Producer> producer_;  // set while lazy
  Ref type_;
  Ref value_;
  Ref traceback_;
};

}  // namespace kelvar::py
