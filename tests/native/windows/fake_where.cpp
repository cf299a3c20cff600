// A stand-in for the Windows `where`, driven by environment variables that
// the tests set before each run (the child inherits the environment):
//
//   KELVAR_FAKE_WHERE_ARGV       file to receive the arguments, as UTF-8: the
//                                C runtime's argv and CommandLineToArgvW's,
//                                each as "<count>\n" then NUL-ended items
//   KELVAR_FAKE_WHERE_ERR_BYTES  write this many bytes to standard error first
//   KELVAR_FAKE_WHERE_OUT_HEX    the exact bytes to write to standard output
//   KELVAR_FAKE_WHERE_ECHO       when set: write argv[1] and CR LF instead
//   KELVAR_FAKE_WHERE_STDIN      when set: report on standard output what
//                                standard input gave: "eof" or "data"
//   KELVAR_FAKE_WHERE_EVENT      name of an event that the waits below use
//   KELVAR_FAKE_WHERE_GRANDCHILD when set: start a copy of itself that keeps
//                                both output pipes, waits for the event, then
//                                writes KELVAR_FAKE_WHERE_LATE_HEX and ends
//   KELVAR_FAKE_WHERE_BACKGROUND when set: start a copy of itself that holds
//                                no handle of this one's and waits for the
//                                event (at most 60 s), as a program started
//                                in the background does
//   KELVAR_FAKE_WHERE_WAIT       when set: wait for the event before exiting
//   KELVAR_FAKE_WHERE_MARKER     file written (by rename, so never seen half
//                                done) once all that is set up: "<pid> <grandchild pid>"
//   KELVAR_FAKE_WHERE_EXIT       exit code (default 0)
//
// A step of its own that fails (a write, a standard handle, the start of the
// grandchild) is reported on standard error as "where.exe: <step> failed
// (error <code>)" and ends the program with exit code 97, so that a test
// can tell the fake's own failure from the runner's.
//
// Started as "where.exe --hold <event>", it only waits (at most 60 s) for
// that event: a stand-in for a program that the host starts.
//
// and, for the Python suite, which drives the same program:
//
//   KELVAR_FAKE_WHERE_CALLS      file to append each call's arguments to, as
//                                CommandLineToArgvW reads them (without the
//                                program): the count, then each argument,
//                                all NUL-ended; one more item "<crt differs>"
//                                when the C runtime's argv reads otherwise
//   KELVAR_FAKE_WHERE_PID_FILE   file to write the process id into (by rename)
//   KELVAR_FAKE_WHERE_WAIT_FILE  wait (at most about 10 s) for this file; the
//                                output is OUT_HEX when it appeared and
//                                UNSEEN_HEX when it did not
//   KELVAR_FAKE_WHERE_SLEEP_MS   sleep this long before writing anything
//   KELVAR_FAKE_WHERE_ERR_HEX    the exact bytes to write to standard error
//   KELVAR_FAKE_WHERE_OUT_FILE, KELVAR_FAKE_WHERE_ERR_FILE
//                                files whose bytes to write to standard output
//                                and standard error (after the _HEX bytes)
//   KELVAR_FAKE_WHERE_OUT_FIRST  when set: write standard output first
//   KELVAR_FAKE_WHERE_ECHO_PREFIX  written in front of the echoed argument
//   KELVAR_FAKE_WHERE_CLOSE_MS   after writing: close both output handles,
//                                then sleep this long before exiting
//   KELVAR_FAKE_WHERE_REPORT_ENV names of variables, separated by commas:
//                                write each one's value ("unset" when it is
//                                not set), then the working directory, all
//                                separated by "|", as the output
//   KELVAR_FAKE_WHERE_SEARCH     when set: act as a plain `where` for the
//                                directories of PATH: print each file that
//                                matches the query (wildcards as the system
//                                matches them), one per line, and exit with
//                                0 when there was one and 1 otherwise
//   KELVAR_FAKE_WHERE_CRASH      when set: end abruptly after writing, with
//                                the code of an access violation
//   KELVAR_FAKE_WHERE_CONSOLE_TEXT  text to write, then CR LF, encoded as a
//                                program that follows the console's output
//                                code page encodes it (best fit included)
//   KELVAR_FAKE_WHERE_CONSOLE_REPORT  when set: write "console <output code
//                                page> <allocated|refused>", the second part
//                                telling whether AllocConsole() succeeded
//   KELVAR_FAKE_WHERE_WINDOW_REPORT  when set: write "window <output code
//                                page> <none|hidden|shown>" for its console
//   KELVAR_FAKE_WHERE_REALLOC    with the above: first give up the console
//                                and allocate one of its own
//   KELVAR_FAKE_WHERE_CHANGE_CONSOLE  when set, first: set the console's
//                                output code page to 65001 and clear
//                                ENABLE_PROCESSED_INPUT from its input mode
//
// Output goes through WriteFile, never through the C runtime's text mode,
// so the bytes arrive exactly as asked.

#include "lookup/windows/api.h"
// After windows.h, whose types it needs.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fake_where_io.h"

using namespace kelvar_test::fake_where;

namespace {

void append_list(std::string& record, const std::vector<std::string>& items) {
  record += std::to_string(items.size());
  record += '\n';
  for (const std::string& item : items) {
    record += item;
    record += '\0';
  }
}

void wait_for_event() {
  const std::optional<std::wstring> name = env(L"KELVAR_FAKE_WHERE_EVENT");
  if (!name) return;
  HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, name->c_str());
  if (event == nullptr) return;
  WaitForSingleObject(event, INFINITE);
  CloseHandle(event);
}

int grandchild() {
  wait_for_event();
  if (auto late = env(L"KELVAR_FAKE_WHERE_LATE_HEX")) {
    write_all(GetStdHandle(STD_OUTPUT_HANDLE), from_hex(*late));
  }
  return 0;
}

// Starts a copy of this program that inherits both output handles, so the
// pipes stay open after this process is gone; or, in the background, one
// that holds nothing of this one's and waits for the event.
DWORD start_grandchild(bool background) {
  wchar_t self[MAX_PATH * 4];
  const DWORD len = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  if (len == 0 || len >= MAX_PATH * 4) return 0;
  std::wstring command_line = L"\"" + std::wstring(self, len) + L"\" ";
  command_line +=
      background ? L"--hold " + env(L"KELVAR_FAKE_WHERE_EVENT").value_or(L"") : L"--grandchild";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  // Standard handles named even in the background: left out, they would be
  // copied from this process, pipes included.
  startup.dwFlags = STARTF_USESTDHANDLES;
  if (!background) {
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(self, command_line.data(), nullptr, nullptr, !background,
                      background ? DETACHED_PROCESS : CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &info)) {
    return 0;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return info.dwProcessId;
}

// The arguments from `first` on, as the C runtime split the command line and
// as CommandLineToArgvW splits it; the two must agree for a quoting to be right.
struct Arguments {
  std::vector<std::string> crt;
  std::vector<std::string> shell;
};

Arguments arguments(int argc, wchar_t** argv, int first) {
  Arguments out;
  for (int i = first; i < argc; ++i) out.crt.push_back(utf8(argv[i]));
  int count = 0;
  if (wchar_t** parsed = CommandLineToArgvW(GetCommandLineW(), &count)) {
    for (int i = first; i < count; ++i) out.shell.push_back(utf8(parsed[i]));
    LocalFree(parsed);
  }
  return out;
}

std::string calls_record(int argc, wchar_t** argv) {
  auto [crt, shell] = arguments(argc, argv, 1);
  if (crt != shell) shell.push_back("<crt differs>");
  std::string record = std::to_string(shell.size());
  record += '\0';
  for (const std::string& item : shell) {
    record += item;
    record += '\0';
  }
  return record;
}

int search_path(std::wstring_view query) {
  std::string found;
  const std::wstring path = env(L"PATH").value_or(L"");
  std::wstring_view rest = path;
  std::vector<std::wstring> directories;
  while (!rest.empty()) {
    const std::size_t semicolon = rest.find(L';');
    if (semicolon != 0) directories.emplace_back(rest.substr(0, semicolon));
    if (semicolon == std::wstring_view::npos) break;
    rest.remove_prefix(semicolon + 1);
  }
  for (std::wstring directory : directories) {
    if (directory.back() != L'\\') directory += L'\\';
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW((directory + std::wstring(query)).c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) continue;
    do {
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        found += utf8(directory + data.cFileName) + "\r\n";
      }
    } while (FindNextFileW(search, &data));
    FindClose(search);
  }
  write_all(GetStdHandle(STD_OUTPUT_HANDLE), found);
  return found.empty() ? 1 : 0;
}

// What a program that writes "in the console's code page" writes: with no
// console the page is 0, which the conversion takes for the ANSI page.
std::string in_console_code_page(std::wstring_view text) {
  const UINT code_page = GetConsoleOutputCP();
  const int size = static_cast<int>(text.size());
  const int len =
      WideCharToMultiByte(code_page, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(len > 0 ? len : 0), '\0');
  WideCharToMultiByte(code_page, 0, text.data(), size, out.data(), len, nullptr, nullptr);
  return out + "\r\n";
}

std::string console_report() {
  std::string report = "console " + std::to_string(GetConsoleOutputCP());
  const bool allocated = AllocConsole() != FALSE;
  if (allocated) FreeConsole();
  return report + (allocated ? " allocated\r\n" : " refused\r\n");
}

// "window <output code page> <none|hidden|shown>": the console the program
// has and whether a window of it shows, after it gave up its console and
// allocated one of its own when KELVAR_FAKE_WHERE_REALLOC is set.
std::string window_report() {
  if (env(L"KELVAR_FAKE_WHERE_REALLOC")) {
    FreeConsole();
    AllocConsole();
  }
  const HWND window = GetConsoleWindow();
  const char* state = window == nullptr ? "none" : IsWindowVisible(window) ? "shown" : "hidden";
  return "window " + std::to_string(GetConsoleOutputCP()) + " " + state + "\r\n";
}

// Changes the console it shares, as a careless program may: UTF-8 output,
// and Ctrl+C read as a key rather than sent as a signal.
void change_console() {
  SetConsoleOutputCP(CP_UTF8);
  HANDLE input =
      CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD mode = 0;
  if (GetConsoleMode(input, &mode)) SetConsoleMode(input, mode & ~ENABLE_PROCESSED_INPUT);
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
}

// What goes to standard output, as the variables ask.
std::string output_bytes(int argc, wchar_t** argv, bool seen) {
  std::string out_bytes;
  if (env(L"KELVAR_FAKE_WHERE_STDIN")) {
    char byte = 0;
    DWORD got = 0;
    const BOOL ok = ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr);
    out_bytes += ok && got == 0 ? "eof" : "data";
  }
  if (env(L"KELVAR_FAKE_WHERE_ECHO")) {
    out_bytes += utf8(env(L"KELVAR_FAKE_WHERE_ECHO_PREFIX").value_or(L""));
    out_bytes += (argc > 1 ? utf8(argv[1]) : std::string()) + "\r\n";
  } else if (auto hex =
                 env(seen ? L"KELVAR_FAKE_WHERE_OUT_HEX" : L"KELVAR_FAKE_WHERE_UNSEEN_HEX")) {
    out_bytes += from_hex(*hex);
  }
  if (seen) {
    if (auto path = env(L"KELVAR_FAKE_WHERE_OUT_FILE")) out_bytes += file_bytes(*path);
  }
  if (env(L"KELVAR_FAKE_WHERE_CHANGE_CONSOLE")) change_console();
  if (auto text = env(L"KELVAR_FAKE_WHERE_CONSOLE_TEXT")) out_bytes += in_console_code_page(*text);
  if (env(L"KELVAR_FAKE_WHERE_WINDOW_REPORT")) out_bytes += window_report();
  if (env(L"KELVAR_FAKE_WHERE_CONSOLE_REPORT")) out_bytes += console_report();
  if (auto names = env(L"KELVAR_FAKE_WHERE_REPORT_ENV")) {
    std::wstring_view rest = *names;
    for (;;) {
      const std::size_t comma = rest.find(L',');
      const std::wstring name(rest.substr(0, comma));
      out_bytes += utf8(env(name.c_str()).value_or(L"unset")) + "|";
      if (comma == std::wstring_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
    wchar_t cwd[MAX_PATH * 4];
    const DWORD len = GetCurrentDirectoryW(MAX_PATH * 4, cwd);
    out_bytes += utf8(std::wstring_view(cwd, len < MAX_PATH * 4 ? len : 0)) + "\r\n";
  }
  return out_bytes;
}

std::string error_bytes() {
  std::string err_bytes;
  if (auto count = env(L"KELVAR_FAKE_WHERE_ERR_BYTES")) {
    err_bytes.assign(static_cast<std::size_t>(std::wcstoul(count->c_str(), nullptr, 10)), 'e');
  }
  if (auto hex = env(L"KELVAR_FAKE_WHERE_ERR_HEX")) err_bytes += from_hex(*hex);
  if (auto path = env(L"KELVAR_FAKE_WHERE_ERR_FILE")) err_bytes += file_bytes(*path);
  return err_bytes;
}

int hold(const wchar_t* event_name) {
  HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, event_name);
  if (event == nullptr) fail("opening the event to hold for");
  WaitForSingleObject(event, 60000);
  return 0;
}

void record_arguments(const std::wstring& path, int argc, wchar_t** argv) {
  const auto [crt, shell] = arguments(argc, argv, 0);
  std::string record;
  append_list(record, crt);
  append_list(record, shell);
  if (!write_file(path, record)) fail("writing the argument record");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  if (argc == 2 && std::wstring_view(argv[1]) == L"--grandchild") return grandchild();
  if (argc == 3 && std::wstring_view(argv[1]) == L"--hold") return hold(argv[2]);
  if (auto path = env(L"KELVAR_FAKE_WHERE_ARGV")) record_arguments(*path, argc, argv);

  if (auto path = env(L"KELVAR_FAKE_WHERE_CALLS")) append_file(*path, calls_record(argc, argv));
  if (env(L"KELVAR_FAKE_WHERE_SEARCH")) return search_path(argc > 1 ? argv[1] : L"");
  if (auto path = env(L"KELVAR_FAKE_WHERE_PID_FILE")) {
    write_by_rename(*path, std::to_string(GetCurrentProcessId()));
  }
  bool seen = true;
  if (auto path = env(L"KELVAR_FAKE_WHERE_WAIT_FILE")) seen = wait_for_file(*path);
  if (const DWORD ms = env_number(L"KELVAR_FAKE_WHERE_SLEEP_MS")) Sleep(ms);

  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) fail("finding standard output");
  if (err == nullptr || err == INVALID_HANDLE_VALUE) fail("finding standard error");

  const std::string out_bytes = output_bytes(argc, argv, seen);
  const std::string err_bytes = error_bytes();
  const bool out_first = env(L"KELVAR_FAKE_WHERE_OUT_FIRST").has_value();
  if (out_first && !write_all(out, out_bytes)) fail("writing standard output");
  if (!write_all(err, err_bytes)) fail("writing standard error");
  if (!out_first && !write_all(out, out_bytes)) fail("writing standard output");
  if (env(L"KELVAR_FAKE_WHERE_CRASH")) TerminateProcess(GetCurrentProcess(), 0xC0000005);
  if (auto ms = env(L"KELVAR_FAKE_WHERE_CLOSE_MS")) {
    CloseHandle(out);
    CloseHandle(err);
    Sleep(static_cast<DWORD>(std::wcstoul(ms->c_str(), nullptr, 10)));
  }

  DWORD grandchild_pid = 0;
  const bool background = env(L"KELVAR_FAKE_WHERE_BACKGROUND").has_value();
  if (background || env(L"KELVAR_FAKE_WHERE_GRANDCHILD")) {
    grandchild_pid = start_grandchild(background);
    if (grandchild_pid == 0) fail("starting the grandchild");
  }
  if (auto marker = env(L"KELVAR_FAKE_WHERE_MARKER")) {
    const std::wstring partial = *marker + L".partial";
    if (write_file(partial,
                   std::to_string(GetCurrentProcessId()) + " " + std::to_string(grandchild_pid))) {
      MoveFileExW(partial.c_str(), marker->c_str(), MOVEFILE_REPLACE_EXISTING);
    }
  }
  if (env(L"KELVAR_FAKE_WHERE_WAIT")) wait_for_event();

  if (auto code = env(L"KELVAR_FAKE_WHERE_EXIT")) {
    return static_cast<int>(std::wcstoul(code->c_str(), nullptr, 10));
  }
  return 0;
}
