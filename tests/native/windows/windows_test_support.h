// Helpers shared by the Windows tests: text conversion, scratch folders,
// scoped environment variables, and runs of the fake `where` beside the test
// executable.
#pragma once

#include "lookup/windows/api.h"
#include "utf8.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "lookup/lookup.h"
#include "lookup/process.h"
#include "lookup/windows/search.h"

namespace kelvar_test::win {

inline std::wstring wide(std::string_view utf8) {
  if (utf8.empty()) return std::wstring();
  const int len =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(len), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), len);
  return out;
}

// `text` in `code_page`, or nothing when some character has no exact form
// there (the API would silently put a default character in its place).
inline std::optional<std::string> encode(std::wstring_view text, UINT code_page) {
  BOOL lossy = FALSE;
  const int len = WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, &lossy);
  if (len <= 0 || lossy) return std::nullopt;
  std::string out(static_cast<std::size_t>(len), '\0');
  WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), out.data(), len,
                      nullptr, &lossy);
  if (lossy) return std::nullopt;
  return out;
}

// `bytes` read in `code_page`.
inline std::wstring decode(std::string_view bytes, UINT code_page) {
  if (bytes.empty()) return std::wstring();
  const int len =
      MultiByteToWideChar(code_page, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(len), L'\0');
  MultiByteToWideChar(code_page, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), len);
  return out;
}

inline std::string hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

inline std::wstring executable_directory() {
  std::wstring buffer(32768, L'\0');
  const DWORD len = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(len);
  return buffer.substr(0, buffer.find_last_of(L"\\/"));
}

inline bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline bool touch(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

inline std::optional<std::string> read_file(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string data;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(h, buffer, sizeof(buffer), &got, nullptr) && got > 0) data.append(buffer, got);
  CloseHandle(h);
  return data;
}

// A fresh folder under the temporary directory, removed with everything in
// it (one level deep) when the test ends.
class ScratchDir {
 public:
  explicit ScratchDir(std::wstring_view tag) {
    wchar_t temp[MAX_PATH + 1];
    const DWORD len = GetTempPathW(MAX_PATH + 1, temp);
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    path_ = std::wstring(temp, len) + L"kelvar-" + std::wstring(tag) + L"-" +
            std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(static_cast<unsigned long long>(now.QuadPart));
    ok_ = CreateDirectoryW(path_.c_str(), nullptr) != FALSE;
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((path_ + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring full = path_ + L"\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveDirectoryW(full.c_str());
        } else {
          DeleteFileW(full.c_str());
        }
      } while (FindNextFileW(find, &entry));
      FindClose(find);
    }
    RemoveDirectoryW(path_.c_str());
  }

  bool ok() const { return ok_; }
  const std::wstring& path() const { return path_; }
  std::wstring operator/(std::wstring_view name) const {
    return path_ + L"\\" + std::wstring(name);
  }

 private:
  std::wstring path_;
  bool ok_ = false;
};

// Sets (or, with nothing, removes) an environment variable for the life of
// the object, then puts back what was there.
class ScopedEnv {
 public:
  ScopedEnv(const wchar_t* name, std::optional<std::wstring> value) : name_(name) {
    const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    if (needed != 0) {
      std::wstring old(needed, L'\0');
      old.resize(GetEnvironmentVariableW(name, old.data(), needed));
      old_ = std::move(old);
    }
    SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
  }
  ScopedEnv(const wchar_t* name, std::string_view utf8_value)
      : ScopedEnv(name, std::optional<std::wstring>(wide(utf8_value))) {}
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() { SetEnvironmentVariableW(name_.c_str(), old_ ? old_->c_str() : nullptr); }

 private:
  std::wstring name_;
  std::optional<std::wstring> old_;
};

// What the fake received: the C runtime's argv and CommandLineToArgvW's.
struct ReceivedArguments {
  std::vector<std::string> crt;
  std::vector<std::string> shell;
};

inline std::optional<ReceivedArguments> parse_received(std::string_view record) {
  auto take_list = [&record](std::vector<std::string>& items) {
    const std::size_t line_end = record.find('\n');
    if (line_end == std::string_view::npos) return false;
    const unsigned long count = std::stoul(std::string(record.substr(0, line_end)));
    record.remove_prefix(line_end + 1);
    for (unsigned long i = 0; i < count; ++i) {
      const std::size_t end = record.find('\0');
      if (end == std::string_view::npos) return false;
      items.emplace_back(record.substr(0, end));
      record.remove_prefix(end + 1);
    }
    return true;
  };
  ReceivedArguments received;
  if (!take_list(received.crt) || !take_list(received.shell) || !record.empty()) {
    return std::nullopt;
  }
  return received;
}

// The step a failed run names, for a test's own report.
inline std::string step_of(const kelvar::lookup::OsFailure& failure) {
  return failure ? failure.step : "no failure";
}

// Runs `where` (the fake, when it sits beside the executable) with one
// argument; nothing when it cannot be prepared.
inline std::optional<kelvar::lookup::RunResult> run_where(
    std::string_view argument, const kelvar::lookup::StopCheck& stop = [] { return false; }) {
  const kelvar::lookup::Preparation prepared =
      kelvar::lookup::prepare_run(kelvar::lookup::where_program, argument);
  const auto* const run = std::get_if<kelvar::lookup::PreparedRun>(&prepared);
  if (run == nullptr) return std::nullopt;
  return kelvar::lookup::run(*run, stop);
}

// Runs the fake with `argument` and returns the arguments it received.
inline std::optional<ReceivedArguments> arguments_received(std::string_view argument) {
  ScratchDir dir(L"argv");
  if (!dir.ok()) return std::nullopt;
  const std::wstring record = dir / L"argv.bin";
  ScopedEnv argv_file(L"KELVAR_FAKE_WHERE_ARGV", std::optional<std::wstring>(record));
  const auto result = run_where(argument);
  if (!result || result->status != kelvar::lookup::RunStatus::completed) return std::nullopt;
  const std::optional<std::string> bytes = read_file(record);
  if (!bytes) return std::nullopt;
  return parse_received(*bytes);
}

// A run of the fake whose standard output is exactly `out`, ending with
// `exit_code`.
inline std::optional<kelvar::lookup::RunResult> run_printing(std::string_view out,
                                                             unsigned exit_code = 0) {
  ScopedEnv bytes(L"KELVAR_FAKE_WHERE_OUT_HEX", hex(out));
  ScopedEnv code(L"KELVAR_FAKE_WHERE_EXIT", std::to_string(exit_code));
  return run_where("anything.exe");
}

}  // namespace kelvar_test::win
