// Constant answers of the build: what the target platform is, not what the
// running machine looks like.
#pragma once

#include <string_view>

namespace kelvar::facts {

// The release, as pyproject.toml names it; the build passes it in.
#ifndef KELVAR_VERSION
#error "KELVAR_VERSION is defined by the build, from pyproject.toml"
#endif
inline constexpr std::string_view version = KELVAR_VERSION;

// The text reported for commands that live inside the command interpreter.
// It is one literal, never a path joined at run time.
inline constexpr std::string_view cmd_exe_path = "C:\\Windows\\System32\\cmd.exe (built-in)";

#ifdef _WIN32
inline constexpr bool is_windows = true;
inline constexpr std::string_view executable_extension = ".exe";
#else
inline constexpr bool is_windows = false;
inline constexpr std::string_view executable_extension = "";
#endif

}  // namespace kelvar::facts
