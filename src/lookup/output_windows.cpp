// Reading what a Windows `where` printed. It writes paths in an 8-bit code
// page, as a rule the OEM one and in some setups the ANSI one, not in UTF-8,
// so a non-ASCII path arrives as bytes that UTF-8 cannot read.

#include "lookup/windows_api.h"

#include <climits>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "lookup/output.h"

namespace kelvar::lookup {
namespace {

std::optional<std::wstring> decode_code_page(std::string_view bytes, UINT code_page) {
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

std::optional<std::wstring> to_wide(std::string_view utf8) {
  return decode_code_page(utf8, CP_UTF8);
}

// Whether a decoded path names something on disk: the test that tells the
// right code page from a wrong one, since both decode any byte.
bool names_existing_file(std::string_view utf8_path) {
  // A line end left on the path is not part of the name.
  while (!utf8_path.empty() && (utf8_path.back() == '\r' || utf8_path.back() == '\n')) {
    utf8_path.remove_suffix(1);
  }
  const std::optional<std::wstring> wide = to_wide(utf8_path);
  return wide && GetFileAttributesW(wide->c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

std::optional<std::string> first_path_windows(std::string_view raw) {
  // Plain ASCII, and output of a `where` that does write UTF-8, needs no
  // guess. Bytes of an 8-bit code page almost never form valid UTF-8.
  if (is_valid_utf8(raw)) return first_path_in(raw);

  for (const UINT code_page : {CP_OEMCP, CP_ACP}) {
    const std::optional<std::wstring> wide = decode_code_page(raw, code_page);
    if (!wide) continue;
    const std::optional<std::string> text = to_utf8(*wide);
    if (!text) continue;
    std::optional<std::string> path = first_path_in(*text);
    if (path && names_existing_file(*path)) return path;
  }
  // Neither code page yields a file that exists: keep the bytes visible as
  // UTF-8 with replacement characters rather than guess a name.
  return first_path_in(decode_utf8_lenient(raw));
}

}  // namespace kelvar::lookup
