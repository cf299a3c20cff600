// The file, environment and output steps of the test where.exe, each of
// which reports its own failure the same way.
#pragma once

#include "lookup/windows/api.h"
#include "utf8.h"

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace kelvar_test::fake_where {

inline std::optional<std::wstring> env(const wchar_t* name) {
  const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
  if (needed == 0) return std::nullopt;
  std::wstring value(needed, L'\0');
  const DWORD len = GetEnvironmentVariableW(name, value.data(), needed);
  value.resize(len);
  return value;
}

inline std::string from_hex(std::wstring_view hex) {
  std::string bytes;
  auto digit = [](wchar_t c) -> int {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return 0;
  };
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(digit(hex[i]) * 16 + digit(hex[i + 1])));
  }
  return bytes;
}

inline bool write_all(HANDLE h, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(bytes.size() < 65536 ? bytes.size() : 65536);
    if (!WriteFile(h, bytes.data(), chunk, &written, nullptr)) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

inline constexpr int own_failure = 97;

[[noreturn]] inline void fail(const char* step) {
  const DWORD code = GetLastError();
  const std::string text =
      std::string("where.exe: ") + step + " failed (error " + std::to_string(code) + ")\r\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
  ExitProcess(own_failure);
}

inline bool write_file(const std::wstring& path, std::string_view bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = write_all(h, bytes);
  CloseHandle(h);
  return ok;
}

// One write with FILE_APPEND_DATA, by one writer at a time: Wine finds the
// end of the file and writes there in two steps, so the records of two
// concurrent calls could land at the same offset, one lost. No write
// sharing makes a second writer wait for the first.
inline void append_file(const std::wstring& path, std::string_view bytes) {
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 10000; ++attempt) {
    h = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) break;
    Sleep(1);
  }
  if (h == INVALID_HANDLE_VALUE) fail("opening the record of calls");
  DWORD written = 0;
  if (!WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
    fail("appending to the record of calls");
  }
  CloseHandle(h);
}

inline void write_by_rename(const std::wstring& path, std::string_view bytes) {
  const std::wstring partial = path + L".partial";
  if (write_file(partial, bytes)) {
    MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
  }
}

inline bool wait_for_file(const std::wstring& path) {
  for (int i = 0; i < 1000; ++i) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    Sleep(10);
  }
  return false;
}

inline std::string file_bytes(const std::wstring& path) {
  std::string bytes;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) fail("opening a file of bytes to write");
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(h);
  return bytes;
}

inline DWORD env_number(const wchar_t* name) {
  const std::optional<std::wstring> value = env(name);
  return value ? static_cast<DWORD>(std::wcstoul(value->c_str(), nullptr, 10)) : 0;
}

}  // namespace kelvar_test::fake_where
