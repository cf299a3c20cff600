# The _kelvar extension module, built against the stable ABI of CPython 3.10.

set(KELVAR_MODULE_SOURCES
  src/module/module.cpp
  src/module/failure.cpp
  src/module/error.cpp
  src/module/ref.cpp
  src/module/binding.cpp
  src/module/convert.cpp
)

if(CMAKE_CROSSCOMPILING AND WIN32)
  # No interpreter for the target here: headers and an import library for
  # python3.dll are staged by the toolchain support.
  include(KelvarWindowsPython)
  add_library(_kelvar MODULE ${KELVAR_MODULE_SOURCES})
  set_target_properties(_kelvar PROPERTIES PREFIX "" SUFFIX ".pyd")
  target_link_libraries(_kelvar PRIVATE kelvar_windows_python)
  target_compile_definitions(_kelvar PRIVATE Py_LIMITED_API=0x030A0000)
else()
  find_package(Python 3.10 REQUIRED COMPONENTS Interpreter Development.SABIModule)
  Python_add_library(_kelvar MODULE USE_SABI 3.10 WITH_SOABI ${KELVAR_MODULE_SOURCES})
endif()

target_link_libraries(_kelvar PRIVATE kelvar_core)
kelvar_warnings(_kelvar)

# Export the initialiser and nothing else, not even the weak template
# instantiations that the C++ runtime's headers mark as visible.
if(APPLE)
  target_link_options(_kelvar PRIVATE "LINKER:-exported_symbol,_PyInit__kelvar")
elseif(WIN32)
  if(NOT MSVC)
    # The C++ runtime is linked in; its debug information would make most of
    # the wheel.
    target_link_options(_kelvar PRIVATE -static-libgcc -static-libstdc++ -static
      $<$<CONFIG:Release,MinSizeRel>:-s>)
  endif()
else()
  # The attach counter is read on every reference release; the default TLS
  # model of a shared object makes each read a call into the loader. Four bytes
  # fit easily in the static TLS reserve that glibc keeps for loaded modules.
  target_compile_options(_kelvar PRIVATE -ftls-model=initial-exec)
  target_link_options(_kelvar PRIVATE
    "LINKER:--version-script=${CMAKE_CURRENT_SOURCE_DIR}/cmake/exports.map")
  set_property(TARGET _kelvar APPEND PROPERTY LINK_DEPENDS
    "${CMAKE_CURRENT_SOURCE_DIR}/cmake/exports.map")
endif()

# Built with zig's libc++ (cmake/zig-manylinux.cmake): a thread's forced
# unwind must pass the module's catch-alls that rethrow, as it does with
# libstdc++.
if(KELVAR_LIBCXXABI_SOURCES)
  set(shim "${CMAKE_CURRENT_SOURCE_DIR}/cmake/zig/forced_unwind.cpp")
  target_sources(_kelvar PRIVATE "${shim}")
  set_source_files_properties("${shim}" PROPERTIES
    COMPILE_OPTIONS "-isystem;${KELVAR_LIBCXXABI_SOURCES}"
    COMPILE_DEFINITIONS _LIBCPP_ENABLE_CXX17_REMOVED_UNEXPECTED_FUNCTIONS)
  target_link_options(_kelvar PRIVATE "LINKER:--wrap=__cxa_rethrow" "${KELVAR_LIBGCC_S}")
endif()

if(DEFINED SKBUILD_PLATLIB_DIR)
  install(TARGETS _kelvar LIBRARY DESTINATION .)
endif()
