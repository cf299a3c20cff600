#include "common/utf8.h"

namespace kelvar::common {
namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

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
