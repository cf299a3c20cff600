# Compiler settings shared by every target of the project.

# Warnings that the project keeps clean, in the dialect of each compiler.
function(kelvar_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /permissive- /utf-8)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                             -Wno-sign-conversion -Wold-style-cast)
  endif()
endfunction()

# Everything is hidden unless marked otherwise: the extension must export
# nothing but its initialiser.
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
