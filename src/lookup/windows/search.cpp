// The Windows program search and the command line of a run: where a bare
// name such as "where" is found, and how its one argument is quoted.

#include "lookup/windows/search.h"

#include "lookup/windows/api.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lookup/lookup.h"
#include "lookup/process.h"
#include "lookup/windows/system.h"
#include "lookup/windows/text.h"

namespace kelvar::lookup {
namespace {

constexpr std::size_t max_command_line = 32767;  // characters, the terminator included

// The directory part of `path`, without its final separator; empty when the
// path has none.
std::wstring parent_directory(const std::wstring& path) {
  const std::size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

std::optional<std::wstring> host_directory() {
  // The API truncates silently (returning the buffer size) when the path is
  // longer than the buffer, so grow until the answer is shorter than it.
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD len = GetModuleFileNameW(nullptr, buffer.data(), size);
    if (len == 0) return std::nullopt;
    if (len < size) {
      buffer.resize(len);
      return parent_directory(buffer);
    }
    if (buffer.size() >= 32768 * 2) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
}

// Both directory queries answer the needed size, including the terminator,
// when the buffer is too small.
template <UINT(WINAPI* Query)(LPWSTR, UINT)>
std::optional<std::wstring> system_path() {
  std::wstring buffer;
  UINT needed = Query(nullptr, 0);
  for (int attempt = 0; attempt < 4 && needed != 0; ++attempt) {
    buffer.assign(needed, L'\0');
    const UINT len = Query(buffer.data(), needed);
    if (len == 0) return std::nullopt;
    if (len < needed) {
      buffer.resize(len);
      return buffer;
    }
    needed = len;
  }
  return std::nullopt;
}

std::optional<std::wstring> environment_variable(const wchar_t* name) {
  // Another thread may change the variable between the size query and the
  // read; the read then reports the new size, and the loop tries again.
  std::wstring buffer;
  DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (needed == 0) return std::nullopt;
    buffer.assign(needed, L'\0');
    const DWORD len = GetEnvironmentVariableW(name, buffer.data(), needed);
    if (len == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::wstring();
    }
    if (len < needed) {
      buffer.resize(len);
      return buffer;
    }
    needed = len;
  }
  return std::nullopt;
}

// Splits a PATH value the way the command interpreter reads it: ';'
// separates entries except inside double quotes, which are removed; empty
// entries name nothing.
std::vector<std::wstring> split_search_path(std::wstring_view value) {
  std::vector<std::wstring> entries;
  std::wstring current;
  bool quoted = false;
  for (const wchar_t c : value) {
    if (c == L'"') {
      quoted = !quoted;
    } else if (c == L';' && !quoted) {
      if (!current.empty()) entries.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) entries.push_back(std::move(current));
  return entries;
}

std::wstring join_path(const std::wstring& directory, const std::wstring& file) {
  if (directory.empty()) return file;
  const wchar_t last = directory.back();
  if (last == L'\\' || last == L'/') return directory + file;
  return directory + L'\\' + file;
}

std::optional<std::wstring> find_program(const std::wstring& file_name) {
  std::vector<std::wstring> directories;
  if (auto dir = host_directory()) directories.push_back(std::move(*dir));
  if (auto dir = system_path<GetSystemDirectoryW>()) directories.push_back(std::move(*dir));
  if (auto dir = system_path<GetWindowsDirectoryW>()) directories.push_back(std::move(*dir));
  if (auto path = environment_variable(L"PATH")) {
    for (std::wstring& entry : split_search_path(*path)) directories.push_back(std::move(entry));
  }
  for (const std::wstring& directory : directories) {
    std::wstring candidate = join_path(directory, file_name);
    if (is_existing_file(candidate)) return candidate;
  }
  return std::nullopt;
}

// Appends `argument` quoted for the C runtime's parser: backslashes are
// literal except in front of a quotation mark, where 2n backslashes stand
// for n and 2n+1 for n followed by a literal quotation mark. The argument is
// always quoted, so that an empty one or one holding blanks stays a single
// argument; the backslashes in front of the closing quotation mark are
// doubled so that it is not read as a literal one.
void append_quoted(std::wstring& command_line, std::wstring_view argument) {
  command_line.push_back(L'"');
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      command_line.append(backslashes * 2 + 1, L'\\');
    } else {
      command_line.append(backslashes, L'\\');
    }
    backslashes = 0;
    command_line.push_back(c);
  }
  command_line.append(backslashes * 2, L'\\');
  command_line.push_back(L'"');
}

}  // namespace

Preparation prepare_run(std::string_view program, std::string_view argument) {
  if (argument.find('\0') != std::string_view::npos) return NotPrepared::nul_in_text;
  if (program.find('\0') != std::string_view::npos) return NotPrepared::nul_in_text;
  const std::optional<std::wstring> wide_program = to_wide(program, CP_UTF8);
  const std::optional<std::wstring> wide_argument = to_wide(argument, CP_UTF8);
  if (!wide_program || wide_program->empty() || !wide_argument) {
    return NotPrepared::unconvertible_text;
  }

  std::optional<std::wstring> path = find_program(*wide_program + L".exe");
  if (!path) return NotPrepared::no_program;

  PreparedRun prepared;
  // The program's own name is read by the C runtime with simpler rules:
  // everything up to the next quotation mark, backslashes literal. A
  // Windows path cannot hold a quotation mark, so quoting it is enough.
  prepared.command_line = L"\"" + *path + L"\" ";
  append_quoted(prepared.command_line, *wide_argument);
  // A command line holds at most 32,767 characters with its terminator.
  // Past that, some systems refuse the start and others (Wine) cut the
  // line short, and the child would look up a query nobody asked for, with
  // its closing quotation mark lost: such a query cannot be passed.
  if (prepared.command_line.size() >= max_command_line) return NotPrepared::command_line_too_long;
  prepared.program = std::move(*path);
  return prepared;
}

// The host's own record of its interpreter is not needed: the first place
// searched is the folder of the running executable, which is the
// interpreter.
bool looks_beside_interpreter() noexcept {
  return false;
}

Preparation prepare_where(std::string_view query, std::string_view /*interpreter*/) {
  return prepare_run(where_program, query);
}

}  // namespace kelvar::lookup
