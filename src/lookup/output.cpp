#include "lookup/output.h"

#include <cstddef>

namespace kelvar::lookup {
namespace {

unsigned byte_at(std::string_view text, std::size_t pos) noexcept {
  return static_cast<unsigned char>(text[pos]);
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
