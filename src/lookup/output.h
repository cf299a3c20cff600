// Reading the answer of `where`: turning the bytes it printed into the first
// path it reports.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvar::lookup {

// `bytes` read as UTF-8, each maximal ill-formed subpart replaced by one
// U+FFFD (the practice the Unicode Standard recommends, and the one of
// Python's bytes.decode('utf-8', 'replace')). The result is always valid.
std::string decode_utf8_lenient(std::string_view bytes);

// Whether `bytes` is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated sequence.
bool is_valid_utf8(std::string_view bytes) noexcept;

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
