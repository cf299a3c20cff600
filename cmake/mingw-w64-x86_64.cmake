# Cross-compiling for 64-bit Windows with the Debian mingw-w64 toolchain.
#
# The -posix flavour is used on purpose: its libstdc++ has std::thread and
# std::mutex (on winpthreads), which the win32-threads flavour lacks.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KELVAR_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KELVAR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVAR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KELVAR_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${KELVAR_MINGW_TRIPLE}-dlltool)
set(CMAKE_OBJDUMP ${KELVAR_MINGW_TRIPLE}-objdump)
set(CMAKE_NM ${KELVAR_MINGW_TRIPLE}-nm)

# Libraries and headers come from the cross sysroot only; programs (the
# build's own tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KELVAR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test executables are run through Wine when CTest is used.
find_program(KELVAR_WINE NAMES wine wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KELVAR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVAR_WINE})
endif()
