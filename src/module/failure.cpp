#include "module/failure.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#ifdef _WIN32
// Without the min and max macros, which clash with standard C++ (the mingw
// C++ runtime's own headers already say so).
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <pthread.h>
#endif

#include "module/error.h"
#include "module/ref.h"

namespace kelvar::py {
namespace {

constexpr char panic_doc[] =
    "\n"
    "The exception raised when native code called by Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// The source path as it reads from the project's root, not the build machine's.
std::string_view short_path(std::string_view path) {
  const std::size_t at = path.rfind("src/");
  return at == std::string_view::npos ? path : path.substr(at);
}

std::string current_thread_name() {
#if defined(_WIN32)
  return "<unnamed> (id " + std::to_string(GetCurrentThreadId()) + ")";
#elif defined(__linux__) || defined(__APPLE__)
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0') return name;
  return "<unnamed>";
#else
  return "<unnamed>";
#endif
}

#if defined(_WIN32)
// How to stop where a failure starts. The mingw build's C++ throw is the
// structured exception 0x20474343 that its unwinder raises, so a Windows
// debugger stops there when told to break on first-chance exceptions.
constexpr char backtrace_hint[] =
    "note: for a backtrace, run the program under a debugger (for example WinDbg) that breaks "
    "on the first-chance exception 0x20474343\n";

// The report goes to the standard error handle as the process has it now.
// The module's C runtime (msvcrt) keeps its own descriptor 2, which does not
// follow when the interpreter's runtime (the Universal C runtime) or a test
// harness moves descriptor 2 elsewhere; the runtime does update the
// standard handle when it does so.
void write_to_standard_error(std::string_view text) noexcept {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  while (!text.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(text.size() < 65536 ? text.size() : 65536);
    if (!WriteFile(handle, text.data(), chunk, &written, nullptr) || written == 0) return;
    text.remove_prefix(written);
  }
}
#else
constexpr char backtrace_hint[] =
    "note: for a backtrace, run the program under a debugger (for example gdb) with a "
    "breakpoint on __cxa_throw\n";

void write_to_standard_error(std::string_view text) noexcept {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}
#endif

OnceObject& panic_type_cell() noexcept {
  static OnceObject cell;
  return cell;
}

}  // namespace

void write_failure_report(std::string_view message, SourcePlace where) {
  static std::atomic<bool> hint_given{false};
  try {
    std::string report = "kelvar: internal failure in thread '" + current_thread_name() + "' at " +
                         std::string(short_path(where.file_name())) + ":" +
                         std::to_string(where.line()) + ":\n" + std::string(message) + "\n";
    if (!hint_given.exchange(true)) report += backtrace_hint;
    write_to_standard_error(report);
  } catch (...) {
    rethrow_if_not_cxx();
    write_to_standard_error("kelvar: internal failure (no memory left to describe it)\n");
  }
}

void fail(std::string message, SourcePlace where) {
  write_failure_report(message, where);
  throw InternalFailure(std::move(message));
}

void resume_failure(std::string message) {
  throw InternalFailure(std::move(message));
}

PyObject* panic_exception_type_if_created() noexcept {
  return panic_type_cell().get_if_ready();
}

PyObject* panic_exception_type() {
  return panic_type_cell().get([] {
    PyObject* type = into_python([] {
      return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                       PyExc_BaseException, nullptr);
    });
    if (type == nullptr) {
      fail("Failed to initialize new exception type.: " + PendingError::fetch().debug());
    }
    return Ref::steal(type);
  });
}

PyObject* created(PyObject* object, SourcePlace where) {
  if (object != nullptr) return object;
  if (std::optional<PendingError> pending = PendingError::take()) {
    std::move(*pending).write_unraisable(nullptr);
  }
  fail("PyObject pointer is null", where);
}

}  // namespace kelvar::py
