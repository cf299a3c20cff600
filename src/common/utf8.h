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
// Inline, so that a program needs no more than this header to use it.
inline Utf8Sequence utf8_sequence_at(std::string_view text, std::size_t pos) noexcept {
  const unsigned lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) return {1, true};

  // The allowed range of the second byte depends on the lead byte; that is
  // what excludes overlong forms (E0, F0), surrogates (ED) and values past
  // U+10FFFF (F4). Every later byte is a plain continuation byte.
  std::size_t trailing;
  unsigned low = 0x80;
  unsigned high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trailing = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trailing = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trailing = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {1, false};  // a continuation byte, C0, C1 or F5..FF
  }

  for (std::size_t k = 1; k <= trailing; ++k) {
    if (pos + k >= text.size()) return {k, false};
    const unsigned next = static_cast<unsigned char>(text[pos + k]);
    if (next < low || next > high) return {k, false};
    low = 0x80;
    high = 0xBF;
  }
  return {trailing + 1, true};
}

// Whether `bytes` is well-formed UTF-8 throughout, nothing truncated.
bool is_valid_utf8(std::string_view bytes) noexcept;

// `bytes` read as UTF-8, each maximal ill-formed subpart replaced by one
// U+FFFD (the practice the Unicode Standard recommends, and the one of
// Python's bytes.decode('utf-8', 'replace')). The result is always valid.
std::string decode_utf8_lenient(std::string_view bytes);

}  // namespace kelvar::common
