#include "common/utf8.h"

namespace kelvar::common {
namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";  // U+FFFD

unsigned byte_at(std::string_view text, std::size_t pos) noexcept {
  return static_cast<unsigned char>(text[pos]);
}

}  // namespace

Utf8Sequence utf8_sequence_at(std::string_view text, std::size_t pos) noexcept {
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

bool is_valid_utf8(std::string_view bytes) noexcept {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const Utf8Sequence seq = utf8_sequence_at(bytes, pos);
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
    const Utf8Sequence seq = utf8_sequence_at(bytes, pos);
    if (seq.valid) {
      text.append(bytes.substr(pos, seq.length));
    } else {
      text.append(replacement_character);
    }
    pos += seq.length;
  }
  return text;
}

}  // namespace kelvar::common
