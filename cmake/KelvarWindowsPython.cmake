# CPython for the Windows cross-build: headers and an import library for the
# stable-ABI python3.dll, without a Windows interpreter on the build machine.
#
# Provides the INTERFACE target kelvar_windows_python.
#
# The C API headers are the same on every platform except pyconfig.h, so the
# headers of any CPython 3.10 or newer serve, with the project's Windows
# pyconfig.h put in place of the build machine's. Python.h includes
# "pyconfig.h" with quotes, so the copy in Python.h's own directory wins over
# every -I path: the headers are staged into the build tree rather than used
# where they lie.
#
# The import library is made with dlltool from cmake/windows/python3.def,
# which lists exactly the C API names the module uses (.ci/windows checks
# that). Linking against python3.dll, never python3XY.dll, keeps one build
# loadable by every interpreter that offers the stable ABI.

set(KELVAR_PYTHON_INCLUDE_DIR "" CACHE PATH
    "CPython include directory (the one holding Python.h) whose headers the Windows cross-build stages")

set(_kelvar_python_include "${KELVAR_PYTHON_INCLUDE_DIR}")
if(NOT _kelvar_python_include)
  # The newest pyenv interpreter that has its headers installed.
  set(_kelvar_pyenv_root "$ENV{PYENV_ROOT}")
  if(NOT _kelvar_pyenv_root)
    find_program(_kelvar_pyenv pyenv NO_CMAKE_FIND_ROOT_PATH)
    if(_kelvar_pyenv)
      execute_process(COMMAND "${_kelvar_pyenv}" root
                      OUTPUT_VARIABLE _kelvar_pyenv_root OUTPUT_STRIP_TRAILING_WHITESPACE
                      ERROR_QUIET)
    endif()
  endif()
  if(NOT _kelvar_pyenv_root)
    set(_kelvar_pyenv_root "$ENV{HOME}/.pyenv")
  endif()
  file(GLOB _kelvar_headers LIST_DIRECTORIES false
       "${_kelvar_pyenv_root}/versions/3.*/include/python3.*/Python.h")
  set(_kelvar_best_version "")
  foreach(_kelvar_header IN LISTS _kelvar_headers)
    get_filename_component(_kelvar_dir "${_kelvar_header}" DIRECTORY)
    get_filename_component(_kelvar_name "${_kelvar_dir}" NAME)
    # python3.12, not python3.12t (free-threaded: no stable ABI there).
    if(NOT _kelvar_name MATCHES "^python(3\\.[0-9]+)$")
      continue()
    endif()
    set(_kelvar_version "${CMAKE_MATCH_1}")
    if(_kelvar_version VERSION_LESS 3.10)
      continue()
    endif()
    if(NOT _kelvar_best_version OR _kelvar_version VERSION_GREATER _kelvar_best_version)
      set(_kelvar_best_version "${_kelvar_version}")
      set(_kelvar_best_dir "${_kelvar_dir}")
    endif()
  endforeach()
  if(NOT _kelvar_best_version)
    message(FATAL_ERROR
      "No CPython 3.10+ headers found under ${_kelvar_pyenv_root}/versions; "
      "pass -DKELVAR_PYTHON_INCLUDE_DIR=<directory holding Python.h>")
  endif()
  set(_kelvar_python_include "${_kelvar_best_dir}")
endif()

if(NOT EXISTS "${_kelvar_python_include}/Python.h")
  message(FATAL_ERROR "KELVAR_PYTHON_INCLUDE_DIR=${_kelvar_python_include} holds no Python.h")
endif()
message(STATUS "Staging CPython headers from ${_kelvar_python_include}")

set(_kelvar_stage "${CMAKE_BINARY_DIR}/kelvar-windows-python")
set(_kelvar_stage_include "${_kelvar_stage}/include")
# A fresh copy each configure: headers of an earlier choice must not linger.
file(REMOVE_RECURSE "${_kelvar_stage_include}")
file(COPY "${_kelvar_python_include}/" DESTINATION "${_kelvar_stage_include}"
     PATTERN "pyconfig.h" EXCLUDE)
# configure_file, so that an edit of the Windows pyconfig.h re-runs this.
configure_file("${CMAKE_CURRENT_LIST_DIR}/windows/pyconfig.h"
               "${_kelvar_stage_include}/pyconfig.h" COPYONLY)

if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL NAMES x86_64-w64-mingw32-dlltool dlltool REQUIRED)
endif()

set(_kelvar_def "${CMAKE_CURRENT_LIST_DIR}/windows/python3.def")
set(_kelvar_implib "${_kelvar_stage}/libpython3.dll.a")
add_custom_command(
  OUTPUT "${_kelvar_implib}"
  COMMAND "${CMAKE_DLLTOOL}" --machine i386:x86-64 --dllname python3.dll
          --input-def "${_kelvar_def}" --output-lib "${_kelvar_implib}"
  DEPENDS "${_kelvar_def}"
  COMMENT "Import library for python3.dll"
  VERBATIM)
add_custom_target(kelvar_python3_import_library DEPENDS "${_kelvar_implib}")

add_library(kelvar_windows_python INTERFACE)
target_include_directories(kelvar_windows_python SYSTEM INTERFACE "${_kelvar_stage_include}")
target_link_libraries(kelvar_windows_python INTERFACE "${_kelvar_implib}")
add_dependencies(kelvar_windows_python kelvar_python3_import_library)
