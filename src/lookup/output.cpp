#include "lookup/output.h"

#include <cstddef>

namespace kelvar::lookup {
namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";  // U+FFFD

unsigned byte_at(std::string_view text, std::size_t pos) noexcept {
  return static_cast<unsigned char>(text[pos]);
}

// How the sequence starting at `pos` reads: `length` bytes that form one
// character, or, when `valid` is false, the `length` bytes of a maximal
// ill-formed subpart (the longest prefix that could have begun a character).
struct Sequence {
  std::size_t length;
  bool valid;
};

Sequence sequence_at(std::string_view text, std::size_t pos) noexcept {
  const unsigned lead = byte_at(text, pos);
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
    const unsigned next = byte_at(text, pos + k);
    if (next < low || next > high) return {k, false};
    low = 0x80;
    high = 0xBF;
  }
  return {trailing + 1, true};
}

// Whether the `count` bytes at `pos` encode a White_Space character. Every
// such character outside ASCII is U+0085, U+00A0 or lies in U+1680..U+3000,
// so one to three bytes cover them all.
bool is_white_space(std::string_view text, std::size_t pos, std::size_t count) noexcept {
  if (pos + count > text.size()) return false;
  const unsigned a = byte_at(text, pos);
  if (count == 1) return (a >= 0x09 && a <= 0x0D) || a == 0x20;
  const unsigned b = byte_at(text, pos + 1);
  if (count == 2) return a == 0xC2 && (b == 0x85 || b == 0xA0);
  const unsigned c = byte_at(text, pos + 2);
  switch (a) {
    case 0xE1:  // U+1680
      return b == 0x9A && c == 0x80;
    case 0xE2:  // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
      return (b == 0x80 && (c <= 0x8A || c == 0xA8 || c == 0xA9 || c == 0xAF)) ||
             (b == 0x81 && c == 0x9F);
    case 0xE3:  // U+3000
      return b == 0x80 && c == 0x80;
    default:
      return false;
  }
}

// In valid UTF-8 a lead byte is never a continuation byte, so a white space
// encoding found at the very end is a whole character, not the tail of one.
std::size_t white_space_at_end(std::string_view text) noexcept {
  for (std::size_t count = 1; count <= 3; ++count) {
    if (text.size() >= count && is_white_space(text, text.size() - count, count)) return count;
  }
  return 0;
}

std::size_t white_space_at_start(std::string_view text) noexcept {
  for (std::size_t count = 1; count <= 3; ++count) {
    if (is_white_space(text, 0, count)) return count;
  }
  return 0;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const Sequence seq = sequence_at(bytes, pos);
    if (!seq.valid) return false;
    pos += seq.length;
  }
  return true;
}

std::string decode_utf8_lenient(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string text;
  text.reserve(bytes.size() + 8);
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const Sequence seq = sequence_at(bytes, pos);
    if (seq.valid) {
      text.append(bytes.substr(pos, seq.length));
    } else {
      text.append(replacement_character);
    }
    pos += seq.length;
  }
  return text;
}

std::optional<std::string> first_path_in(std::string_view utf8_text) {
  std::string_view text = utf8_text;
  while (const std::size_t n = white_space_at_start(text)) text.remove_prefix(n);
  while (const std::size_t n = white_space_at_end(text)) text.remove_suffix(n);

  std::string_view line = text.substr(0, text.find('\n'));
  // `where` on Windows ends its lines with CR LF; when it prints more than
  // one path the trim above leaves the first line's CR in place.
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) return std::nullopt;
  return std::string(line);
}

}  // namespace kelvar::lookup
