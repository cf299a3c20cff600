#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "check.h"
#include "facts/facts.h"
#include "lookup/lookup.h"
#include "lookup/output.h"

using namespace kelvar::lookup;

#define FFFD "\xEF\xBF\xBD"

namespace {

// The UTF-8 form of a code point, computed arithmetically; surrogates are
// encoded too, so that their ill-formed forms can be tried.
std::string encode(std::uint32_t cp) {
  const std::size_t length = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  static const unsigned lead_marks[5] = {0, 0x00, 0xC0, 0xE0, 0xF0};
  std::string s(length, '\0');
  for (std::size_t i = length - 1; i > 0; --i, cp >>= 6)
    s[i] = static_cast<char>(0x80 | (cp & 0x3F));
  s[0] = static_cast<char>(lead_marks[length] | cp);
  return s;
}

RunResult completed(std::uint32_t exit_code, std::string out) {
  RunResult r;
  r.status = RunStatus::completed;
  r.exit_code = exit_code;
  r.out = std::move(out);
  return r;
}

}  // namespace

TEST_CASE(fallback_answers_builtins_with_the_interpreter_path) {
  const std::optional<std::string_view> builtin = "C:\\Windows\\System32\\cmd.exe (built-in)";
  const std::optional<std::string_view> none;
  CHECK_EQ(builtin_fallback("dir"), builtin);
  CHECK_EQ(builtin_fallback("DIR"), builtin);
  CHECK_EQ(builtin_fallback("where"), none);
  CHECK_EQ(builtin_fallback("*dir*"), none);
  CHECK_EQ(builtin_fallback(""), none);
}

TEST_CASE(decoding_replaces_each_maximal_ill_formed_subpart) {
  // Expected values are what Python's bytes.decode('utf-8', 'replace') gives.
  const struct {
    std::string_view raw, decoded;
  } rows[] = {
      {"", ""},
      {"a\xFF"
       "b",
       "a" FFFD "b"},
      {"\xC3", FFFD},  // truncated sequences: one each
      {"\xE2\x82x", FFFD "x"},
      {"\xF0\x9F\x98", FFFD},
      {"\xE1\x80\xE2", FFFD FFFD},
      {"\xC3\xA4\xF0\x9F\x98\x80", "\xC3\xA4\xF0\x9F\x98\x80"},
      {"\xED\xA0\x80", FFFD FFFD FFFD},  // surrogate U+D800
      {"\xED\x9F\xBF", "\xED\x9F\xBF"},  // U+D7FF
      {"\xC0\xAF", FFFD FFFD},           // overlong forms
      {"\xE0\x80\xAF", FFFD FFFD FFFD},
      {"\xF0\x80\x80", FFFD FFFD FFFD},
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},   // U+10FFFF
      {"\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},  // past it
      {"\xF8\x88\x80\x80\x80", FFFD FFFD FFFD FFFD FFFD},
      {"\x80\x80", FFFD FFFD},
      {"a\xF1\x80\x80\xE1\x80\xC2"
       "b\x80"
       "c\x80\xBF"
       "d",
       "a" FFFD FFFD FFFD "b" FFFD "c" FFFD FFFD "d"},
      {std::string_view("\0\xFF", 2), std::string_view("\0" FFFD, 4)},
      {"\xC1\xBF", FFFD FFFD},
      {"\xE0\xA0", FFFD},
      {"\xED\xBF\xBF", FFFD FFFD FFFD},
      {"\xF5\x80", FFFD FFFD},
      {"\xFE\xFF", FFFD FFFD},
      {"\xE2(\xA1", FFFD "(" FFFD},
      {"\xE1\x9A", FFFD},
      {"\xBF\x80", FFFD FFFD},
  };
  for (const auto& row : rows) {
    CHECK_EQ(decode_utf8_lenient(row.raw), std::string(row.decoded));
    CHECK_EQ(is_valid_utf8(row.raw), row.raw == row.decoded);
  }
  int wrong = 0;  // every scalar value passes unchanged, every surrogate does not
  for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    const std::string bytes = encode(cp);
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    if (is_valid_utf8(bytes) == surrogate ||
        decode_utf8_lenient(bytes) != (surrogate ? FFFD FFFD FFFD : bytes)) {
      if (wrong++ < 3) CHECK_EQ(cp, 0u);
    }
  }
}

TEST_CASE(first_path_of_raw_outputs) {
  const std::optional<std::string> none;
  const struct {
    std::string_view raw;
    std::optional<std::string> expected;
  } rows[] = {
      {"C:\\Git\\git.exe\r\n", "C:\\Git\\git.exe"},
      {"C:\\a.exe\r\nC:\\b.exe\r\n", "C:\\a.exe"},  // the first line's CR goes too
      {"/usr/bin/git", "/usr/bin/git"},
      {"/usr/bin/git\n", "/usr/bin/git"},
      {"/a\n/b\n", "/a"},
      {"/a\n/b\n/c\n", "/a"},
      {"\n\n\r\n/a\n/b\n", "/a"},
      {"/a\r/b\n", "/a\r/b"},                      // a lone CR ends no line
      {"/a\xE2\x80\xA8/b\n", "/a\xE2\x80\xA8/b"},  // nor does U+2028
      {"/a\x0B\x0C/b\n", "/a\x0B\x0C/b"},          // white space inside stays
      {"\xFF", FFFD},
      {"/a\xE3\x80", "/a" FFFD},  // truncated U+3000: no white space
      {"/a\xC2", "/a" FFFD},      // truncated U+0085
      {"\r\n\r\n \tC:\\git.exe\r\n", "C:\\git.exe"},
      {"/a\r\r\n/b", "/a\r"},  // one CR is taken off, and nothing else
      {"/a \r\n/b", "/a "},
      {"/a\xC2\xA0\n/b", "/a\xC2\xA0"},
      {"\xC2\xA0/a b\xE3\x80\x80\n", "/a b"},                        // NBSP, U+3000
      {"\xE2\x80\x8B/x\xEF\xBB\xBF", "\xE2\x80\x8B/x\xEF\xBB\xBF"},  // ZWSP, BOM stay
      {"C:\\\xFF.exe\r\n", "C:\\" FFFD ".exe"},
      {"\xED\xA0\x80\n", FFFD FFFD FFFD},
      {"/a\xE2\x82\n", "/a" FFFD},
      {std::string_view("\0/a\n", 4), std::string("\0/a", 3)},
      {"", none},
      {"   \t\r\n \n\n", none},
  };
  for (const auto& row : rows) {
    CHECK_EQ(first_path_in(decode_utf8_lenient(row.raw)), row.expected);
    // Windows reads bytes that are not UTF-8 in its code pages first.
    if (kelvar::facts::is_windows && !is_valid_utf8(row.raw)) continue;
    CHECK_EQ(first_reported_path(completed(0, std::string(row.raw))), row.expected);
  }
}

TEST_CASE(exactly_the_white_space_characters_are_trimmed) {
  const std::uint32_t white_space[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,
                                       0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
                                       0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028,
                                       0x2029, 0x202F, 0x205F, 0x3000};
  // Neighbours, and what other definitions count as white space (U+001C..
  // U+001F for Python, U+180E once, U+200B, U+FEFF).
  const std::uint32_t others[] = {0x00,   0x08,   0x0E,   0x1C,   0x1D,   0x1E,   0x1F,   0x84,
                                  0x86,   0xA1,   0x167F, 0x1681, 0x180E, 0x1FFF, 0x200B, 0x2027,
                                  0x202A, 0x2030, 0x205E, 0x2060, 0x2FFF, 0x3001, 0xFEFF};
  for (std::uint32_t cp : white_space) {
    const std::string ws = encode(cp);
    CHECK_EQ(first_path_in(ws + ws), std::optional<std::string>());
    CHECK_EQ(first_path_in(ws + ws + "p q" + ws + ws), std::optional<std::string>("p q"));
  }
  for (std::uint32_t cp : others) {
    const std::string c = encode(cp);
    CHECK_EQ(first_path_in(" " + c + "p" + c + " "), std::optional<std::string>(c + "p" + c));
  }
}

// What a run of `where` comes to for a name: its first path only after a
// clean exit, the table's answer whenever `where` gave none, and no answer
// at all from a stopped run or a broken pipe.
TEST_CASE(a_run_and_the_table_give_the_answer) {
  using Kind = Answer::Kind;
  constexpr std::string_view cmd = "C:\\Windows\\System32\\cmd.exe (built-in)";
  const struct {
    RunStatus status;
    std::uint32_t exit_code;
    std::string_view out, name;
    Kind kind;
    std::string_view path;
  } rows[] = {
      {RunStatus::completed, 0, "/usr/bin/git\n", "git", Kind::found, "/usr/bin/git"},
      {RunStatus::completed, 0, "/bin/dir\n", "dir", Kind::found, "/bin/dir"},
      {RunStatus::completed, 0, " \r\n", "dir", Kind::found, cmd},
      {RunStatus::completed, 0, "", "git", Kind::not_found, ""},
      {RunStatus::completed, 1, "/usr/bin/git\n", "git", Kind::not_found, ""},
      {RunStatus::completed, 256, "/bin/dir\n", "DIR", Kind::found, cmd},
      {RunStatus::completed, 0xFFFFFFFFu, "/usr/bin/git\n", "git", Kind::not_found, ""},
      {RunStatus::failed, 0, "", "cls", Kind::found, cmd},
      {RunStatus::failed, 0, "/usr/bin/git\n", "git", Kind::not_found, ""},
      {RunStatus::stopped, 0, "/bin/dir\n", "dir", Kind::stopped, ""},
  };
  for (const auto& row : rows) {
    RunResult run = completed(row.exit_code, std::string(row.out));
    run.status = row.status;
    const Answer answer = answer_from(run, row.name);
    CHECK(answer.kind == row.kind);
    CHECK_EQ(answer.path, row.path);
  }
  RunResult quiet = completed(0, "");
  quiet.err = "/usr/bin/git\n";  // standard error is never read as a path
  CHECK_EQ(first_reported_path(quiet), std::optional<std::string>());
}
