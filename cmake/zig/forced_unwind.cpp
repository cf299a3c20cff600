// glibc ends a thread (pthread_exit, which CPython calls for a daemon thread
// that asks for the interpreter lock at shutdown) by a forced unwind, driven
// by libgcc_s. With libstdc++ a `catch (...)` that rethrows passes it on; with
// libc++abi, `throw;` starts any foreign exception afresh as a new throw,
// which finds no handler and ends the process. Linked with
// --wrap=__cxa_rethrow (see zig-manylinux.cmake), `throw;` of a foreign
// exception continues its unwind where it stopped instead, as libstdc++ does;
// a C++ exception is rethrown as before.
#include <cxa_exception.h>  // libc++abi's own, from the sources that zig ships
#include <unwind.h>

#include <exception>

extern "C" [[noreturn]] void __real___cxa_rethrow();

extern "C" [[noreturn]] void __wrap___cxa_rethrow() {
  __cxxabiv1::__cxa_eh_globals* globals = __cxxabiv1::__cxa_get_globals();
  __cxxabiv1::__cxa_exception* header = globals->caughtExceptions;
  if (header != nullptr && !std::current_exception()) {
    // What libc++abi's rethrow does for a foreign exception, but resumed: no
    // longer caught here, so the handler's end does not touch it.
    globals->caughtExceptions = nullptr;
    _Unwind_Resume_or_Rethrow(&header->unwindHeader);
  }
  __real___cxa_rethrow();
}
