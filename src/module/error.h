// Ordinary failures: Python exceptions that the module has not raised yet,
// the outcome of a body (its value or such an error), and the texts of
// objects that messages are built from.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "module/ref.h"

namespace kelvar::py {

class PendingError {
 public:
  // Builds the exception type and the argument for PyErr_SetObject when the
  // error is first materialised, so that errors that are dropped or replaced
  // cost no Python objects.
  struct Producer {
    virtual ~Producer() = default;
    virtual std::pair<Ref, Ref> produce() = 0;  // type, argument
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
  PendingError& operator=(PendingError&&) noexcept = default;

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

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(PendingError error) : state_(std::in_place_index<1>, std::move(error)) {}
  Result(Result&&) = default;
  Result& operator=(Result&&) = default;

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() { return std::get<0>(state_); }
  T take_value() { return std::move(std::get<0>(state_)); }
  PendingError take_error() { return std::move(std::get<1>(state_)); }

 private:
  std::variant<T, PendingError> state_;
};

// "'<type>' object is not an instance of '<target>'" ("'None' is not an
// instance of ..." for None); the text is built only when it is raised.
PendingError type_mismatch(PyObject* object, PyObject* target);

// Texts of objects for messages. The first two do not fail: a failing str()
// or repr() is reported through the interpreter's unraisable hook instead,
// and the object is named by its type.
// str(object) as UTF-8; lone surrogates become U+FFFD.
std::string display_text(PyObject* object);
// repr(object) as UTF-8, by the same rule.
std::string repr_text(PyObject* object);
// The UTF-8 of a str, lone surrogates replaced; nothing when it fails, with
// the interpreter's error left pending.
bool str_to_utf8_lenient(PyObject* str, std::string& out);

}  // namespace kelvar::py
