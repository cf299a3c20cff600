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

// The same answer for the raw bytes that `where` printed, read as the
// platform's `where` writes: UTF-8 on POSIX; on Windows a code page when
// the bytes are not UTF-8 (windows/output.cpp).
std::optional<std::string> first_path_printed(std::string_view raw);

}  // namespace kelvar::lookup
