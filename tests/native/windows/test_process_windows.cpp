// The Windows process runner, driven through the fake `where` that the build
// puts beside the test executable: finding the program, what the child
// receives, and what it reports back.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "check.h"
#include "lookup/lookup.h"
#include "lookup/output.h"
#include "lookup/process.h"
#include "lookup/windows/search.h"
#include "windows_test_support.h"

using kelvar::lookup::build_query;
using kelvar::lookup::first_reported_path;
using kelvar::lookup::NotPrepared;
using kelvar::lookup::Preparation;
using kelvar::lookup::prepare_run;
using kelvar::lookup::PreparedRun;
using kelvar::lookup::RunResult;
using kelvar::lookup::RunStatus;
using kelvar::lookup::where_program;
using namespace kelvar_test::win;

namespace {

bool ends_with_insensitive(std::wstring_view text, std::wstring_view tail) {
  if (text.size() < tail.size()) return false;
  const std::wstring_view end = text.substr(text.size() - tail.size());
  return CompareStringOrdinal(end.data(), static_cast<int>(end.size()), tail.data(),
                              static_cast<int>(tail.size()), TRUE) == CSTR_EQUAL;
}

bool same_path(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && ends_with_insensitive(a, b);
}

std::wstring system_directory() {
  wchar_t buffer[MAX_PATH];
  return std::wstring(buffer, GetSystemDirectoryW(buffer, MAX_PATH));
}

std::wstring windows_directory() {
  wchar_t buffer[MAX_PATH];
  return std::wstring(buffer, GetWindowsDirectoryW(buffer, MAX_PATH));
}

}  // namespace

TEST_CASE(windows_prepare_finds_where_beside_the_executable_first) {
  const Preparation prepared = prepare_run(where_program, "x.exe");
  const PreparedRun* const run = std::get_if<PreparedRun>(&prepared);
  CHECK(run != nullptr);
  if (run == nullptr) return;
  // Wine's own where.exe is in the system directory, which comes later.
  CHECK(same_path(run->program, executable_directory() + L"\\where.exe"));
}

TEST_CASE(windows_program_search_order) {
  ScratchDir a(L"path-a");
  ScratchDir b(L"path-b");
  CHECK(a.ok() && b.ok());
  const std::wstring probe = L"kelvar-probe-" + std::to_wstring(GetCurrentProcessId());
  CHECK(touch(a / (probe + L".exe")));
  CHECK(touch(b / (probe + L".exe")));
  // Only in b as a file; a has a directory of that name, which cannot run.
  const std::wstring dir_probe = probe + L"-dir";
  CHECK(CreateDirectoryW((a / (dir_probe + L".exe")).c_str(), nullptr));
  CHECK(touch(b / (dir_probe + L".exe")));
  // Programs of the system, also planted on PATH: the system copy wins.
  CHECK(touch(a / L"cmd.exe"));
  CHECK(touch(a / L"regedit.exe"));
  const bool regedit_only_in_windows_dir = exists(windows_directory() + L"\\regedit.exe") &&
                                           !exists(system_directory() + L"\\regedit.exe");
  CHECK(regedit_only_in_windows_dir);

  struct Row {
    std::wstring program;
    std::wstring path_value;
    std::optional<std::wstring> expected;
  };
  const std::vector<Row> rows = {
      {probe, a.path() + L";" + b.path(), a / (probe + L".exe")},
      {probe, b.path() + L";" + a.path(), b / (probe + L".exe")},
      {probe, L";;" + b.path() + L";", b / (probe + L".exe")},
      {probe, L"\"" + b.path() + L"\";" + a.path(), b / (probe + L".exe")},
      {probe, a.path() + L"\\;" + b.path(), a / (probe + L".exe")},
      {dir_probe, a.path() + L";" + b.path(), b / (dir_probe + L".exe")},
      {L"cmd", a.path(), system_directory() + L"\\cmd.exe"},
      {L"regedit", a.path(), windows_directory() + L"\\regedit.exe"},
      {probe + L"-missing", a.path() + L";" + b.path(), std::nullopt},
      {probe, L"", std::nullopt},
  };
  for (const Row& row : rows) {
    ScopedEnv path(L"PATH", std::optional<std::wstring>(row.path_value));
    const Preparation prepared = prepare_run(utf8(row.program), "arg");
    const PreparedRun* const run = std::get_if<PreparedRun>(&prepared);
    CHECK_EQ(run != nullptr, row.expected.has_value());
    if (run != nullptr && row.expected) {
      // A doubled separator would still open, but is not what was asked.
      const std::wstring expected = *row.expected;
      if (!same_path(run->program, expected)) {
        CHECK_EQ(utf8(run->program), utf8(expected));
      }
    }
  }
}

TEST_CASE(windows_argument_that_cannot_be_passed_is_not_prepared) {
  const auto reason = [](std::string_view program, std::string_view argument) {
    const Preparation prepared = prepare_run(program, argument);
    const NotPrepared* const why = std::get_if<NotPrepared>(&prepared);
    return why != nullptr ? std::optional<NotPrepared>(*why) : std::nullopt;
  };
  CHECK(reason(where_program, std::string("git\0.exe", 8)) == NotPrepared::nul_in_text);
  CHECK(reason(where_program, build_query(std::string("\0", 1), false)) ==
        NotPrepared::nul_in_text);
  CHECK(reason("kelvar-no-such-program", "x") == NotPrepared::no_program);
  CHECK(!run_where(std::string("a\0", 2)).has_value());
  // A command line holds at most 32,767 characters with its terminator.
  const Preparation fits = prepare_run(where_program, "x");
  const PreparedRun* const run = std::get_if<PreparedRun>(&fits);
  CHECK(run != nullptr);
  if (run != nullptr) {
    const std::size_t room = 32766 - run->command_line.size();
    const Preparation longest = prepare_run(where_program, std::string(1 + room, 'x'));
    const PreparedRun* const longest_run = std::get_if<PreparedRun>(&longest);
    CHECK(longest_run != nullptr && longest_run->command_line.size() == 32766);
    CHECK(reason(where_program, std::string(2 + room, 'x')) == NotPrepared::command_line_too_long);
    CHECK(reason(where_program, std::string(40000, 'x')) == NotPrepared::command_line_too_long);
  }
}

TEST_CASE(windows_child_receives_the_query_as_one_argument) {
  struct Row {
    std::string_view name;
    bool fuzzy;
    std::string_view expected;
  };
  const Row rows[] = {
      {"git", false, "git.exe"},
      {"git", true, "*git*.exe"},
      {"git.exe", false, "git.exe.exe"},
      {"DIR", true, "*DIR*.exe"},
      {"", false, ".exe"},
      {"", true, "**.exe"},
      {"my tool", false, "my tool.exe"},
      {" lead and trail ", true, "* lead and trail *.exe"},
      {"tab\there", false, "tab\there.exe"},
      {"say \"hi\"", false, "say \"hi\".exe"},
      {"\"", true, "*\"*.exe"},
      {"dir\\", false, "dir\\.exe"},
      {"dir\\\\", true, "*dir\\\\*.exe"},
      {"a\\\"b", false, "a\\\"b.exe"},
      {"gr\xc3\xbc\xc3\x9f"
       "e",
       false,
       "gr\xc3\xbc\xc3\x9f"
       "e.exe"},
      {"\xe6\x97\xa5\xe6\x9c\xac", true, "*\xe6\x97\xa5\xe6\x9c\xac*.exe"},
      {"\xf0\x9f\x98\x80 x", false, "\xf0\x9f\x98\x80 x.exe"},
      {"C:\\Program Files\\", false, "C:\\Program Files\\.exe"},
  };
  for (const Row& row : rows) {
    const std::string query = build_query(row.name, row.fuzzy);
    CHECK_EQ(query, row.expected);
    const auto received = arguments_received(query);
    CHECK(received.has_value());
    if (!received) continue;
    CHECK_EQ(received->crt.size(), std::size_t{2});
    CHECK_EQ(received->shell.size(), std::size_t{2});
    if (received->crt.size() == 2) {
      CHECK_EQ(received->crt[1], row.expected);
      CHECK(ends_with_insensitive(wide(received->crt[0]), L"\\where.exe"));
    }
    if (received->shell.size() == 2) CHECK_EQ(received->shell[1], row.expected);
  }
}

TEST_CASE(windows_raw_arguments_survive_quoting) {
  // Arguments that a query never takes (it always ends in ".exe"), but that
  // the quoting must carry as well: trailing backslashes in front of the
  // closing quotation mark, lone quotation marks, nothing at all.
  const std::string_view rows[] = {
      "",       " ",     "\t",        "\"",         "\"\"",          "\\",
      "\\\\",   "a\\",   "a\\\\\\",   "a b\\",      "\\\"",          "\\\\\"",
      "x\"\"y", "\" \"", "a\"b c\"d", "\xc3\xbc\\", "\xc3\xbc \"\\", "end with space ",
  };
  for (const std::string_view argument : rows) {
    const auto received = arguments_received(argument);
    CHECK(received.has_value());
    if (!received) continue;
    CHECK_EQ(received->crt.size(), std::size_t{2});
    if (received->crt.size() == 2) CHECK_EQ(received->crt[1], argument);
    CHECK_EQ(received->shell.size(), std::size_t{2});
    if (received->shell.size() == 2) CHECK_EQ(received->shell[1], argument);
  }
}

TEST_CASE(windows_exit_code_and_output_are_reported) {
  struct Row {
    unsigned exit_code;
    std::optional<std::string> path;
    const char* close_ms;  // the child closes its output this long before it exits
  };
  const Row rows[] = {
      {0, "C:\\Tools\\git.exe", nullptr}, {1, std::nullopt, nullptr}, {2, std::nullopt, nullptr},
      {0, "C:\\Tools\\git.exe", "300"},   {3, std::nullopt, "300"},
  };
  for (const Row& row : rows) {
    ScopedEnv close(L"KELVAR_FAKE_WHERE_CLOSE_MS",
                    row.close_ms ? std::optional<std::wstring>(wide(row.close_ms)) : std::nullopt);
    const auto result = run_printing("C:\\Tools\\git.exe\r\n", row.exit_code);
    CHECK(result.has_value());
    if (!result) continue;
    CHECK(result->status == RunStatus::completed);
    CHECK_EQ(result->exit_code, std::uint32_t{row.exit_code});
    CHECK_EQ(result->out, std::string("C:\\Tools\\git.exe\r\n"));
    CHECK_EQ(result->err, std::string());
    CHECK(first_reported_path(*result) == row.path);
  }
}

TEST_CASE(windows_failures_say_what_failed) {
  // A run that fails names its step and the system's error; the test
  // where.exe names its own failures, and they are told apart by its exit code.
  ScratchDir dir(L"fail");
  CHECK(touch(dir / L"not-a-program.exe"));
  struct Row {
    std::wstring program;  // empty: the test where.exe, made to fail itself
    RunStatus status;
    std::string_view step;
    DWORD code;
  };
  const Row rows[] = {
      {dir / L"missing.exe", RunStatus::failed, "starting the program", ERROR_FILE_NOT_FOUND},
      {dir / L"not-a-program.exe", RunStatus::failed, "starting the program", ERROR_BAD_EXE_FORMAT},
      {L"", RunStatus::completed, "no failure", 0},
  };
  ScopedEnv missing(L"KELVAR_FAKE_WHERE_OUT_FILE", std::optional<std::wstring>(dir / L"none"));
  for (const Row& row : rows) {
    Preparation prepared = prepare_run(where_program, "x.exe");
    PreparedRun* const run = std::get_if<PreparedRun>(&prepared);
    CHECK(run != nullptr);
    if (run == nullptr) continue;
    if (!row.program.empty()) run->program = row.program;
    const RunResult result = kelvar::lookup::run(*run, [] { return false; });
    CHECK(result.status == row.status);
    CHECK_EQ(step_of(result.failure), std::string(row.step));
    CHECK_EQ(result.failure.code, std::uint32_t{row.code});
    if (row.program.empty()) {
      CHECK_EQ(result.exit_code, std::uint32_t{97});
      CHECK(result.err.find("where.exe: opening a file of bytes to write failed (error 2)") == 0);
    }
  }
}

TEST_CASE(windows_crlf_output_gives_the_first_path) {
  // What happens to the carriage return that ends the first of several
  // lines is the portable reader's rule, tested with it; here the Windows
  // reading must agree with it and find the right line.
  struct Row {
    std::string_view printed;
    std::optional<std::string> first_line;
  };
  const Row rows[] = {
      {"C:\\Windows\\System32\\where.exe\r\n", "C:\\Windows\\System32\\where.exe"},
      {"C:\\a\\one.exe\r\nC:\\b\\two.exe\r\n", "C:\\a\\one.exe"},
      {"\r\n\r\n  C:\\a\\one.exe\r\n", "C:\\a\\one.exe"},
      {"\r\n \t\r\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const Row& row : rows) {
    const auto result = run_printing(row.printed);
    CHECK(result.has_value());
    if (!result) continue;
    CHECK_EQ(result->out, row.printed);
    const std::optional<std::string> path = first_reported_path(*result);
    CHECK(path == kelvar::lookup::first_path_in(row.printed));
    CHECK_EQ(path.has_value(), row.first_line.has_value());
    if (!path || !row.first_line) continue;
    std::string line = *path;
    if (row.printed.find("\r\nC:") != std::string_view::npos && !line.empty() &&
        line.back() == '\r') {
      line.pop_back();
    }
    CHECK_EQ(line, *row.first_line);
  }
}

TEST_CASE(windows_standard_input_reads_end_of_file_at_once) {
  ScopedEnv stdin_probe(L"KELVAR_FAKE_WHERE_STDIN", "1");
  const auto result = run_where("x.exe");
  CHECK(result.has_value());
  if (result) CHECK_EQ(result->out, std::string("eof"));
}

TEST_CASE(windows_megabyte_on_standard_error_before_output_does_not_block) {
  // A child that fills the error pipe before it writes its answer blocks
  // for good unless both pipes are drained at the same time.
  constexpr std::size_t noise_bytes = 1024 * 1024;
  ScopedEnv noise(L"KELVAR_FAKE_WHERE_ERR_BYTES", std::to_string(noise_bytes));
  const auto result = run_printing("C:\\x\\found.exe\r\n");
  CHECK(result.has_value());
  if (!result) return;
  CHECK(result->status == RunStatus::completed);
  CHECK_EQ(result->err.size(), noise_bytes);
  CHECK(result->err.find_first_not_of('e') == std::string::npos);
  CHECK(first_reported_path(*result) == std::optional<std::string>("C:\\x\\found.exe"));
}

TEST_CASE(windows_without_the_fake_the_system_where_answers_well_formed) {
  const std::wstring fake = executable_directory() + L"\\where.exe";
  const std::wstring parked = fake + L".parked";
  CHECK(MoveFileExW(fake.c_str(), parked.c_str(), MOVEFILE_REPLACE_EXISTING));
  struct Restore {
    const std::wstring& from;
    const std::wstring& to;
    ~Restore() { MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING); }
  } restore{parked, fake};

  const Preparation prepared = prepare_run(where_program, build_query("cmd", false));
  const PreparedRun* const run = std::get_if<PreparedRun>(&prepared);
  CHECK(run != nullptr);
  if (run == nullptr) return;
  CHECK(!same_path(run->program, fake));
  CHECK(ends_with_insensitive(run->program, L"\\where.exe"));
  const RunResult result = kelvar::lookup::run(*run, [] { return false; });
  CHECK(result.status == RunStatus::completed);
  if (const auto path = first_reported_path(result)) {
    CHECK(!path->empty());
    CHECK(path->find('\n') == std::string::npos);
    CHECK(path->find_first_of(" \t\r") != 0);
    CHECK(kelvar::lookup::is_valid_utf8(*path));
  }
}
