# Toolchain for the Linux wheels that a package index accepts: zig's clang
# against the headers and symbol versions of glibc 2.17 (manylinux2014), with
# its libc++ linked in, so the module loads on any Linux of that processor
# with glibc 2.17 or later and needs no C++ runtime there. The stand-in
# `where` is linked statically against musl instead: it then asks nothing of
# the system's C library and still starts without the dynamic loader.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/zig-manylinux.cmake -DKELVAR_ZIG=/path/to/zig ...
#
# KELVAR_ZIG defaults to the zig of the `ziglang` package of the Python that
# runs the build, else `zig` on PATH. KELVAR_ARCH (x86_64 or aarch64, default
# x86_64) is the processor. For another processor than the build machine's,
# KELVAR_SYSROOT names a folder holding that processor's libgcc_s.so.1
# (Debian's libgcc-s1:arm64 unpacked, say) and KELVAR_EMULATOR the program
# that runs the build's run checks (qemu-aarch64-static); both may come from
# the environment too.

# Checks that CMake compiles in projects of their own read this file again,
# without the cache: the environment carries the choices to them.
foreach(variable KELVAR_ZIG KELVAR_ARCH KELVAR_SYSROOT KELVAR_EMULATOR KELVAR_WHERE_MUSL)
  if(NOT ${variable} AND DEFINED ENV{${variable}})
    set(${variable} "$ENV{${variable}}")
  endif()
endforeach()
if(NOT KELVAR_ZIG)
  find_program(KELVAR_ZIG zig)
endif()
if(NOT KELVAR_ZIG)
  message(FATAL_ERROR "zig not found: pip install ziglang, then pass -DKELVAR_ZIG=<its zig>")
endif()
if(NOT KELVAR_ARCH)
  set(KELVAR_ARCH x86_64)
endif()
if(NOT KELVAR_ARCH MATCHES "^(x86_64|aarch64)$")
  message(FATAL_ERROR "KELVAR_ARCH is x86_64 or aarch64, not ${KELVAR_ARCH}")
endif()
foreach(variable KELVAR_ZIG KELVAR_ARCH KELVAR_SYSROOT KELVAR_EMULATOR KELVAR_WHERE_MUSL)
  if(${variable})
    set(ENV{${variable}} "${${variable}}")
  endif()
endforeach()

cmake_host_system_information(RESULT kelvar_host_arch QUERY OS_PLATFORM)
if(NOT kelvar_host_arch STREQUAL KELVAR_ARCH)
  # A cross build in CMake's eyes, so that the run checks of tools/where go
  # through the emulator: run on the build machine they would fail, and the
  # stand-in would come out linked another way than the checks chose.
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${KELVAR_ARCH})
  if(NOT KELVAR_EMULATOR)
    message(FATAL_ERROR "a ${KELVAR_ARCH} build on ${kelvar_host_arch} needs KELVAR_EMULATOR")
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR "${KELVAR_EMULATOR}")
endif()

# zig compiles code without -O with UBSan on, and builds a runtime for it,
# and links an executable without -fPIC against copies of its runtimes built
# for that: CMake's own checks (the compiler's identity, Threads, the
# stand-in's link checks) would make zig build copies that the wheel never
# uses, minutes on two cores when zig's cache is empty. The compiler's
# identity is taken with the compiler's own arguments only.
set(CMAKE_CXX_FLAGS_INIT "-O2 -fPIC")

set(KELVAR_GLIBC_TARGET ${KELVAR_ARCH}-linux-gnu.2.17)
set(CMAKE_CXX_COMPILER "${KELVAR_ZIG}" c++ -target ${KELVAR_GLIBC_TARGET} -fno-sanitize=undefined)
set(KELVAR_WHERE_FLAGS -target ${KELVAR_ARCH}-linux-musl CACHE STRING
  "Compiler and linker flags of the stand-in where only")
# The stand-in uses the C++ headers only (string_view, placement new, no
# exceptions): linked without libc++, zig builds no libc++, libc++abi and
# libunwind for musl, a minute of both cores for each processor when its
# cache is empty. A use of the library would fail the link, not pass.
set(KELVAR_WHERE_LINK_FLAGS -nostdlib++ CACHE STRING "Linker flags of the stand-in where only")

# zig builds musl itself for the stand-in, most of a minute of both cores for
# each processor when its cache is empty, unless it is given a musl that is
# installed. KELVAR_WHERE_MUSL names the root of one laid out as Debian's
# musl-dev lays it out (/ for the build machine's processor, or a folder
# holding musl-dev:arm64 unpacked), with GCC's crtbeginS.o beside it
# (libgcc-12-dev), which zig links into a program of a libc that it did not
# build.
if(KELVAR_WHERE_MUSL)
  set(kelvar_musl_lib "${KELVAR_WHERE_MUSL}/usr/lib/${KELVAR_ARCH}-linux-musl")
  set(kelvar_musl_include "${KELVAR_WHERE_MUSL}/usr/include/${KELVAR_ARCH}-linux-musl")
  file(GLOB kelvar_crtbegin "${KELVAR_WHERE_MUSL}/usr/lib/gcc/${KELVAR_ARCH}-linux-gnu/*/crtbeginS.o")
  if(NOT EXISTS "${kelvar_musl_lib}/rcrt1.o" OR NOT EXISTS "${kelvar_musl_include}/stdio.h" OR NOT kelvar_crtbegin)
    message(FATAL_ERROR "KELVAR_WHERE_MUSL=${KELVAR_WHERE_MUSL}: no ${KELVAR_ARCH} musl (musl-dev) "
      "or no crtbeginS.o of GCC (libgcc-12-dev) there")
  endif()
  list(GET kelvar_crtbegin 0 kelvar_crtbegin)
  get_filename_component(kelvar_gcc_dir "${kelvar_crtbegin}" DIRECTORY)
  # zig's description of a C library that is installed.
  set(kelvar_musl_paths "${CMAKE_BINARY_DIR}/where-musl-${KELVAR_ARCH}.txt")
  file(WRITE "${kelvar_musl_paths}" "include_dir=${kelvar_musl_include}\nsys_include_dir=${kelvar_musl_include}\n"
    "crt_dir=${kelvar_musl_lib}\nmsvc_lib_dir=\nkernel32_lib_dir=\ngcc_dir=${kelvar_gcc_dir}\ndarwin_sdk_dir=\n")
  set(KELVAR_WHERE_ENV "ZIG_LIBC=${kelvar_musl_paths}" CACHE STRING
    "VAR=value pairs in the environment of the stand-in's compiler and linker only")
endif()

# The module unwinds with the system's libgcc_s, the unwinder that glibc's
# pthread_exit uses to end a thread, rather than with a copy of zig's own:
# two unwinders cannot walk one stack. manylinux allows libgcc_s.so.1.
if(KELVAR_SYSROOT)
  set(kelvar_libgcc_dirs "${KELVAR_SYSROOT}/lib/${KELVAR_ARCH}-linux-gnu"
    "${KELVAR_SYSROOT}/usr/lib/${KELVAR_ARCH}-linux-gnu" "${KELVAR_SYSROOT}/lib64" "${KELVAR_SYSROOT}/usr/lib64")
else()
  set(kelvar_libgcc_dirs /lib/${KELVAR_ARCH}-linux-gnu /usr/lib/${KELVAR_ARCH}-linux-gnu /lib64 /usr/lib64)
endif()
find_file(KELVAR_LIBGCC_S libgcc_s.so.1 PATHS ${kelvar_libgcc_dirs} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT KELVAR_LIBGCC_S)
  message(FATAL_ERROR "no ${KELVAR_ARCH} libgcc_s.so.1 in ${kelvar_libgcc_dirs} "
    "(Debian: libgcc-s1, or libgcc-s1:arm64 unpacked into KELVAR_SYSROOT)")
endif()
# libc++abi's private header, for cmake/zig/forced_unwind.cpp.
get_filename_component(KELVAR_LIBCXXABI_SOURCES "${KELVAR_ZIG}/../lib/libcxxabi/src" ABSOLUTE)
