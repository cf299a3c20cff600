#include <array>
#include <string>
#include <string_view>

#include "check.h"
#include "lookup/builtins.h"

using kelvar::lookup::is_builtin_command;

namespace {

// Written out again here, independently of the table in the library, so that
// a name lost or mistyped there shows up.
constexpr std::array<std::string_view, 83> all_names = {
    "assoc",    "attrib",   "break",   "bcdedit",  "cacls",    "call",     "cd",      "chcp",
    "chdir",    "chkdsk",   "chkntfs", "cls",      "cmd",      "color",    "comp",    "compact",
    "convert",  "copy",     "date",    "del",      "dir",      "diskpart", "doskey",  "driverquery",
    "echo",     "endlocal", "erase",   "exit",     "fc",       "find",     "findstr", "for",
    "format",   "fsutil",   "ftype",   "goto",     "gpresult", "help",     "icacls",  "if",
    "label",    "md",       "mkdir",   "mklink",   "mode",     "more",     "move",    "openfiles",
    "path",     "pause",    "popd",    "print",    "prompt",   "pushd",    "rd",      "recover",
    "rem",      "ren",      "rename",  "replace",  "rmdir",    "robocopy", "set",     "setlocal",
    "sc",       "schtasks", "shift",   "shutdown", "sort",     "start",    "subst",   "systeminfo",
    "tasklist", "taskkill", "time",    "title",    "tree",     "type",     "ver",     "verify",
    "vol",      "xcopy",    "wmic",
};

std::string upper(std::string_view s) {
  std::string r(s);
  for (char& c : r) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return r;
}

// Alternating case, starting with upper or lower.
std::string mixed(std::string_view s, bool upper_first) {
  std::string r(s);
  for (std::size_t i = 0; i < r.size(); ++i) {
    if (((i % 2) == 0) == upper_first) r[i] = static_cast<char>(r[i] - 'a' + 'A');
  }
  return r;
}

const std::string kelvin = "\xE2\x84\xAA";  // U+212A KELVIN SIGN

}  // namespace

TEST_CASE(every_builtin_name_in_any_case_is_a_member) {
  for (std::string_view name : all_names) {
    CHECK_EQ(is_builtin_command(name), true);
    CHECK_EQ(is_builtin_command(upper(name)), true);
    CHECK_EQ(is_builtin_command(mixed(name, true)), true);
    CHECK_EQ(is_builtin_command(mixed(name, false)), true);
  }
}

TEST_CASE(no_name_with_one_letter_changed_is_a_member) {
  // Near misses of every entry: each letter replaced by every other letter,
  // unless that happens to give another entry.
  for (std::string_view name : all_names) {
    for (std::size_t i = 0; i < name.size(); ++i) {
      for (char c = 'a'; c <= 'z'; ++c) {
        if (c == name[i]) continue;
        std::string variant(name);
        variant[i] = c;
        bool listed = false;
        for (std::string_view other : all_names) listed = listed || other == variant;
        if (is_builtin_command(variant) != listed) {
          CHECK_EQ(variant, std::string(listed ? "(listed)" : "(not listed)"));
        }
      }
    }
  }
}

TEST_CASE(prefixes_and_extensions_of_names_are_not_members) {
  for (std::string_view name : all_names) {
    for (std::size_t n = 0; n < name.size(); ++n) {
      const std::string_view prefix = name.substr(0, n);
      bool listed = false;
      for (std::string_view other : all_names) listed = listed || other == prefix;
      CHECK_EQ(is_builtin_command(prefix), listed);
    }
    CHECK_EQ(is_builtin_command(std::string(name) + "s"), false);
    CHECK_EQ(is_builtin_command(std::string(name) + std::string(name)), false);
  }
}

TEST_CASE(texts_that_are_not_members) {
  struct Row {
    std::string_view text;
    const char* why;
  };
  const Row rows[] = {
      {"", "empty"},
      {"where", "not a built-in"},
      {"git", "not a built-in"},
      {" dir", "leading blank"},
      {"dir ", "trailing blank"},
      {"dir\n", "trailing line feed"},
      {"\tdir", "leading tab"},
      {"dir.exe", "suffix"},
      {"CMD.EXE", "suffix, upper case"},
      {"C:\\Windows\\System32\\cmd", "directory prefix"},
      {"d ir", "inner blank"},
      {"di", "prefix of dir"},
      {"d", "one letter"},
      {"driverquerys", "twelve letters"},
      {"driverqueryy", "twelve letters"},
      {"systeminfoo", "eleven letters, not an entry"},
      {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "long"},
      {"cd1", "digit"},
      {"c\xC3\xA4", "non-ASCII letter"},
      {"\xEF\xBC\xA4\xEF\xBC\xA9\xEF\xBC\xB2", "fullwidth DIR (U+FF24 U+FF29 U+FF32)"},
      {"\xC4\xB0\x46", "U+0130 then F: lower-cases to three characters"},
      {"\xC4\xB0"
       "f",
       "U+0130 then f"},
      {"\xE2\x84\xAB", "U+212B ANGSTROM SIGN alone"},
      {"\xE2\x84", "truncated KELVIN SIGN"},
      {"tas\xE2\x84", "truncated KELVIN SIGN inside"},
      {"\xE2\x84\xAA", "KELVIN SIGN alone"},
      {"\xFF\xFE", "invalid UTF-8"},
      {std::string_view("dir\0", 4), "trailing NUL"},
      {std::string_view("\0dir", 4), "leading NUL"},
      {"d\xC4\xB1r", "dotless i"},
      {"DIR\xCC\x87", "combining dot above"},
  };
  for (const Row& row : rows) {
    if (is_builtin_command(row.text)) CHECK_EQ(std::string(row.why), std::string("not a member"));
  }
}

TEST_CASE(kelvin_sign_lower_cases_to_k) {
  // 12 bytes, more than the longest entry, yet 8 letters once lower-cased.
  CHECK(is_builtin_command("TAS" + kelvin + kelvin + "ILL"));
  CHECK(is_builtin_command("tas" + kelvin + kelvin + "ill"));
  CHECK(is_builtin_command("tas" + kelvin + "kill"));
  CHECK(is_builtin_command("MKLIN" + kelvin));
  CHECK(is_builtin_command("CH" + kelvin + "DS" + kelvin));
  CHECK(!is_builtin_command("TAS" + kelvin + kelvin + "ILLS"));
  CHECK(!is_builtin_command("TAS" + kelvin));
  CHECK(!is_builtin_command(kelvin + kelvin));
}

TEST_CASE(long_texts_with_a_member_prefix_are_not_members) {
  std::string text = "driverquery";
  for (int i = 0; i < 20; ++i) {
    text += 'a';
    CHECK(!is_builtin_command(text));
  }
  CHECK(is_builtin_command("DRIVERQUERY"));
}
