#include "lookup/windows/text.h"

#include <climits>
#include <cstddef>

namespace kelvar::lookup {

std::optional<std::wstring> to_wide(std::string_view bytes, UINT code_page) {
  if (bytes.empty()) return std::wstring();
  // The API counts in int.
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  const int in_len = static_cast<int>(bytes.size());
  const int out_len = MultiByteToWideChar(code_page, 0, bytes.data(), in_len, nullptr, 0);
  if (out_len <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(out_len), L'\0');
  if (MultiByteToWideChar(code_page, 0, bytes.data(), in_len, wide.data(), out_len) != out_len) {
    return std::nullopt;
  }
  return wide;
}

std::optional<std::string> to_utf8(std::wstring_view wide) {
  if (wide.empty()) return std::string();
  if (wide.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  const int in_len = static_cast<int>(wide.size());
  const int out_len =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), in_len, nullptr, 0, nullptr, nullptr);
  if (out_len <= 0) return std::nullopt;
  std::string text(static_cast<std::size_t>(out_len), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, wide.data(), in_len, text.data(), out_len, nullptr,
                          nullptr) != out_len) {
    return std::nullopt;
  }
  return text;
}

}  // namespace kelvar::lookup
