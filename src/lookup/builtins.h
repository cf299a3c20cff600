// The fixed table of commands that live inside the Windows command interpreter.
#pragma once

#include <string_view>

namespace kelvar::lookup {

// Whether `text` (UTF-8), lower-cased by the Unicode default mapping, is one
// of the 83 built-in command names. Never fails, allocates nothing.
bool is_builtin_command(std::string_view text) noexcept;

}  // namespace kelvar::lookup
