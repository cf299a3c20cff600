# Toolchain for the Linux wheel that a package index accepts: zig's clang
# against the headers and symbol versions of glibc 2.17 (manylinux2014), with
# its libc++ linked in, so the module loads on any x86-64 Linux with glibc
# 2.17 or later and needs no C++ runtime there. The stand-in `where` is
# linked statically against musl instead: it then asks nothing of the
# system's C library and still starts without the dynamic loader.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/zig-manylinux.cmake -DKELVAR_ZIG=/path/to/zig ...
#
# KELVAR_ZIG defaults to the zig of the `ziglang` package of the Python that
# runs the build, else `zig` on PATH.

if(NOT KELVAR_ZIG AND DEFINED ENV{KELVAR_ZIG})
  set(KELVAR_ZIG "$ENV{KELVAR_ZIG}")
endif()
if(NOT KELVAR_ZIG)
  find_program(KELVAR_ZIG zig)
endif()
if(NOT KELVAR_ZIG)
  message(FATAL_ERROR "zig not found: pip install ziglang, then pass -DKELVAR_ZIG=<its zig>")
endif()
# Checks that CMake compiles in projects of their own read this file again.
set(ENV{KELVAR_ZIG} "${KELVAR_ZIG}")

set(KELVAR_GLIBC_TARGET x86_64-linux-gnu.2.17)
set(CMAKE_CXX_COMPILER "${KELVAR_ZIG}" c++ -target ${KELVAR_GLIBC_TARGET})
set(KELVAR_WHERE_FLAGS -target x86_64-linux-musl CACHE STRING
  "Compiler and linker flags of the stand-in where only")


# The module unwinds with the system's libgcc_s, the unwinder that glibc's
# pthread_exit uses to end a thread, rather than with a copy of zig's own:
# two unwinders cannot walk one stack. manylinux allows libgcc_s.so.1.
find_file(KELVAR_LIBGCC_S libgcc_s.so.1
  PATHS /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu /lib64 /usr/lib64 NO_DEFAULT_PATH)
if(NOT KELVAR_LIBGCC_S)
  message(FATAL_ERROR "libgcc_s.so.1 not found (Debian: apt-get install libgcc-s1)")
endif()
# libc++abi's private header, for cmake/zig/forced_unwind.cpp.
get_filename_component(KELVAR_LIBCXXABI_SOURCES "${KELVAR_ZIG}/../lib/libcxxabi/src" ABSOLUTE)
