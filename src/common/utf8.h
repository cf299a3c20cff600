// The UTF-8 rules shared by the lookup, the module surface and the stand-in
// `where`: one reading of what a well-formed sequence is, so that a name's
// characters and a decoded path never depend on which side looked at them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvar::common {

// How the bytes at `pos` (inside `text`) read: `length` bytes that form one
// character when `valid`, otherwise the `length` bytes of a maximal
// ill-formed subpart (the longest prefix that could have begun a character).
// Strict: no overlong forms, no surrogates, nothing above U+10FFFF.
struct Utf8Sequence {
  std::size_t length;
  bool valid;
};
Utf8Sequence utf8_sequence_at(std::string_view text, std::size_t pos) noexcept;

// Whether `bytes` is well-formed UTF-8 throughout, nothing truncated.
bool is_valid_utf8(std::string_view bytes) noexcept;

// `bytes` read as UTF-8, each maximal ill-formed subpart replaced by one
// U+FFFD (the practice the Unicode Standard recommends, and the one of
// Python's bytes.decode('utf-8', 'replace')). The result is always valid.
std::string decode_utf8_lenient(std::string_view bytes);

}  // namespace kelvar::common
