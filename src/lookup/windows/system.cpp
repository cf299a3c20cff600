#include "lookup/windows/system.h"

#include <string_view>

#include "lookup/runner.h"
#include "lookup/windows/text.h"

namespace kelvar::lookup {

std::string describe(const SystemError& error) {
  const DWORD code = error.code;
  wchar_t* message = nullptr;
  const DWORD len = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::wstring_view text(message != nullptr ? message : L"", len);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
    text.remove_suffix(1);
  }
  std::string out = std::string(error.step) + ": " + to_utf8(text).value_or(std::string());
  if (message != nullptr) LocalFree(message);
  if (out.back() != ' ') out += ' ';
  out += "(os error " + std::to_string(code) + ")";
  return out;
}

bool is_existing_file(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace kelvar::lookup
