// Internal failures: broken assumptions of the native code. They abandon the
// body at once and are caught by the call guard alone, which turns them into
// the PanicException of the process.
#pragma once

#include <Python.h>

#include <exception>
#include <string>
#include <string_view>

namespace kelvar::py {

// For the first statement of every catch-all: rethrows what carries no C++
// exception object. That is the forced unwind with which pthread_exit ends a
// thread (the interpreter ends a daemon thread so when it asks for the lock
// after shutdown has begun), or an exception of another language. Kept, it
// would make the C++ runtime end the whole process. Asked through
// current_exception() rather than a handler for abi::__forced_unwind, whose
// reference would be bound to no object.
inline void rethrow_if_not_cxx() {
  if (!std::current_exception()) throw;
}

// Where a failure was raised, filled in at the call site as a default
// argument. SourcePlace needs a compiler builtin that Clang has only
// from version 15 on; the builtins used here are in GCC 11 and Clang 13 too.
class SourcePlace {
 public:
  static constexpr SourcePlace current(const char* file = __builtin_FILE(),
                                       int line = __builtin_LINE()) noexcept {
    return SourcePlace(file, line);
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr unsigned line() const noexcept { return static_cast<unsigned>(line_); }

 private:
  constexpr SourcePlace(const char* file, int line) noexcept : file_(file), line_(line) {}
  const char* file_;
  int line_;
};

// Deliberately not a std::exception: nothing but the call guard may catch it.
class InternalFailure {
 public:
  explicit InternalFailure(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Writes the failure report to the process's standard error and throws.
[[noreturn]] void fail(std::string message, SourcePlace where = SourcePlace::current());

// Continues an internal failure that was already reported (one that came back
// from Python code as a PanicException): throws without a second report.
[[noreturn]] void resume_failure(std::string message);

void write_failure_report(std::string_view message, SourcePlace where);

// What a failure with no message of its own is reported as.
inline constexpr std::string_view unknown_failure_message =
    "the native code failed with an error that carries no message";

// The process's PanicException type (a borrowed reference that is never
// released), created on first use.
PyObject* panic_exception_type();
// The same type, or null while no PanicException can exist yet.
PyObject* panic_exception_type_if_created() noexcept;

// For creating calls that cannot fail in a sound state: the object, or the
// internal failure "PyObject pointer is null" after reporting whatever the
// interpreter had pending.
PyObject* created(PyObject* object, SourcePlace where = SourcePlace::current());

}  // namespace kelvar::py
