// Reading the answer of `where`: turning the bytes it printed into the first
// path it reports.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/utf8.h"

namespace kelvar::lookup {

using common::decode_utf8_lenient;
using common::is_valid_utf8;

// The first path in the printed text `utf8_text` (which must be valid UTF-8):
// the text with Unicode White_Space trimmed from both of its ends, up to its
// first line feed, less one carriage return that ends that line. Nothing when
// that leaves nothing.
std::optional<std::string> first_path_in(std::string_view utf8_text);

#ifdef _WIN32
// The same answer for the raw bytes a Windows `where` printed.
std::optional<std::string> first_path_windows(std::string_view raw);
#endif

}  // namespace kelvar::lookup
