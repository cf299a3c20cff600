/* The interpreter's configuration as a 64-bit Windows build of CPython has it,
 * for compiling the extension with mingw-w64 against staged CPython headers.
 * It stands in for the pyconfig.h of the build machine's interpreter, whose
 * values (a 64-bit long, a 32-bit wchar_t, POSIX headers) would give the
 * extension the wrong layout. Only what the public headers of the limited
 * API consult is set. */
#ifndef Py_PYCONFIG_H
#define Py_PYCONFIG_H

#if !defined(_WIN64)
#error "this configuration is for 64-bit Windows only"
#endif

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#ifndef NT_THREADS
#define NT_THREADS
#endif
#define WITH_THREAD

/* PyAPI_FUNC and PyAPI_DATA become __declspec(dllimport), so every use goes
 * through the import address table of python3.dll. */
#define HAVE_DECLSPEC_DLL
#define Py_ENABLE_SHARED 1

/* The LLP64 model: long stays 32 bits, pointers and size_t are 64. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_PID_T SIZEOF_INT
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_HKEY 8

/* Py_ssize_t as CPython's own Windows build defines it; MSVC has no
 * ssize_t. */
#include <limits.h>
typedef long long Py_ssize_t;
#define HAVE_PY_SSIZE_T 1
#define PY_SSIZE_T_MAX LLONG_MAX
#define HAVE_SSIZE_T 1

#define HAVE_LONG_LONG 1
#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX

#define HAVE_WCHAR_H 1
#define HAVE_USABLE_WCHAR_T 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_LARGEFILE_SUPPORT
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1

/* Deliberately absent: HAVE_UNISTD_H's POSIX friends such as
 * HAVE_SYS_SELECT_H (mingw has no sys/select.h), HAVE_FORK, HAVE_PTHREAD_H,
 * and Py_GIL_DISABLED (the stable ABI needs the GIL build). */

#endif /* Py_PYCONFIG_H */
