#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "check.h"
#include "facts/facts.h"
#include "lookup/lookup.h"
#include "lookup/output.h"

using kelvar::lookup::build_query;
using kelvar::lookup::builtin_fallback;
using kelvar::lookup::decode_utf8_lenient;
using kelvar::lookup::first_path_in;
using kelvar::lookup::first_reported_path;
using kelvar::lookup::is_valid_utf8;
using kelvar::lookup::RunResult;
using kelvar::lookup::RunStatus;

#define FFFD "\xEF\xBF\xBD"

namespace {

// The UTF-8 form of a code point, computed arithmetically (surrogates
// included, so that their ill-formed encodings can be tried).
std::string encode(std::uint32_t cp, std::size_t length = 0) {
  if (length == 0) length = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  static const unsigned lead_marks[5] = {0, 0x00, 0xC0, 0xE0, 0xF0};
  std::string s(length, '\0');
  for (std::size_t i = length - 1; i > 0; --i) {
    s[i] = static_cast<char>(0x80 | (cp & 0x3F));
    cp >>= 6;
  }
  s[0] = static_cast<char>(lead_marks[length] | cp);
  return s;
}

std::string repeat(std::string_view s, std::size_t n) {
  std::string r;
  for (std::size_t i = 0; i < n; ++i) r += s;
  return r;
}

RunResult completed(std::uint32_t exit_code, std::string out) {
  RunResult r;
  r.status = RunStatus::completed;
  r.exit_code = exit_code;
  r.out = std::move(out);
  return r;
}

const std::uint32_t white_space[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,
                                     0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
                                     0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028,
                                     0x2029, 0x202F, 0x205F, 0x3000};

// Neighbours of the white space characters, and characters that other
// definitions of white space include (C's isspace, Python's str.isspace for
// U+001C..U+001F, zero-width space, the byte order mark).
const std::uint32_t not_white_space[] = {0x00,   0x08,   0x0E,   0x1C,   0x1D,   0x1E,   0x1F,
                                         0x21,   0x84,   0x86,   0x9F,   0xA1,   0x167F, 0x1681,
                                         0x180E, 0x1FFF, 0x200B, 0x200C, 0x2027, 0x202A, 0x202E,
                                         0x2030, 0x205E, 0x2060, 0x2FFF, 0x3001, 0xFEFF, 0xFFFD};

}  // namespace

// ---------------------------------------------------------------------------
// The query

TEST_CASE(query_is_the_name_with_wildcards_and_extension) {
  const std::string ext(kelvar::facts::executable_extension);
  struct Row {
    std::string_view name;
    bool fuzzy;
    std::string expected;
  };
  const Row rows[] = {
      {"git", false, "git" + ext},
      {"git", true, "*git*" + ext},
      {"git.exe", false, "git.exe" + ext},
      {"DIR", false, "DIR" + ext},
      {"", false, ext},
      {"", true, "**" + ext},
      {" a b ", false, " a b " + ext},
      {"say \"hi\"", true, "*say \"hi\"*" + ext},
      {"C:\\tools\\*?", true, "*C:\\tools\\*?*" + ext},
      {"Gr\xC3\xBC\xC3\x9F"
       "e",
       false,
       "Gr\xC3\xBC\xC3\x9F"
       "e" +
           ext},
      {std::string_view("a\0b", 3), false, std::string("a\0b", 3) + ext},
  };
  for (const Row& row : rows) CHECK_EQ(build_query(row.name, row.fuzzy), row.expected);
}

TEST_CASE(extension_matches_the_platform) {
#ifdef _WIN32
  CHECK_EQ(build_query("git", false), std::string("git.exe"));
#else
  CHECK_EQ(build_query("git", false), std::string("git"));
#endif
}

TEST_CASE(fallback_answers_builtins_with_the_interpreter_path) {
  const std::optional<std::string_view> builtin = "C:\\Windows\\System32\\cmd.exe (built-in)";
  CHECK_EQ(builtin_fallback("dir"), builtin);
  CHECK_EQ(builtin_fallback("DIR"), builtin);
  CHECK_EQ(builtin_fallback("Cls"), builtin);
  CHECK_EQ(builtin_fallback("where"), std::optional<std::string_view>());
  CHECK_EQ(builtin_fallback("dir.exe"), std::optional<std::string_view>());
  CHECK_EQ(builtin_fallback("*dir*"), std::optional<std::string_view>());
  CHECK_EQ(builtin_fallback(""), std::optional<std::string_view>());
}

// ---------------------------------------------------------------------------
// Decoding

TEST_CASE(decoding_replaces_each_maximal_ill_formed_subpart) {
  // Expected values are what Python's bytes.decode('utf-8', 'replace') gives.
  struct Row {
    std::string_view raw;
    std::string_view decoded;
  };
  const Row rows[] = {
      {"", ""},
      {"abc", "abc"},
      {"\xFF", FFFD},
      {"a\xFF"
       "b",
       "a" FFFD "b"},
      {"\xC3", FFFD},  // truncated two-byte sequence
      {"\xC3\xA4", "\xC3\xA4"},
      {"\xE2\x82", FFFD},  // truncated three-byte sequence: one
      {"\xE2\x82x", FFFD "x"},
      {"x\xE0\xA0", "x" FFFD},
      {"\xE1\x80\xE2", FFFD FFFD},
      {"\xF0\x9F\x98", FFFD},  // truncated four-byte sequence: one
      {"\xF0\x90\x80", FFFD},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"\xED\xA0\x80", FFFD FFFD FFFD},  // surrogate U+D800
      {"\xED\xBF\xBF", FFFD FFFD FFFD},  // surrogate U+DFFF
      {"\xED\x9F\xBF", "\xED\x9F\xBF"},  // U+D7FF
      {"\xC0\xAF", FFFD FFFD},           // overlong
      {"\xC1\xBF", FFFD FFFD},
      {"\xE0\x80\xAF", FFFD FFFD FFFD},
      {"\xF0\x80\x80", FFFD FFFD FFFD},
      {"\xE0\xA0\x80", "\xE0\xA0\x80"},           // U+0800
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},   // U+10FFFF
      {"\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},  // past U+10FFFF
      {"\xF5\x80", FFFD FFFD},
      {"\xF8\x88\x80\x80\x80", FFFD FFFD FFFD FFFD FFFD},
      {"\x80\x80", FFFD FFFD},  // lone continuation bytes
      {"\xC2", FFFD},
      {FFFD, FFFD},
      {"a\xF1\x80\x80\xE1\x80\xC2"
       "b\x80"
       "c\x80\xBF"
       "d",
       "a" FFFD FFFD FFFD "b" FFFD "c" FFFD FFFD "d"},
      {std::string_view("\0\xFF", 2), std::string_view("\0" FFFD, 4)},
  };
  for (const Row& row : rows) {
    CHECK_EQ(decode_utf8_lenient(row.raw), std::string(row.decoded));
    CHECK_EQ(is_valid_utf8(row.raw), row.raw == row.decoded);
  }
}

TEST_CASE(every_scalar_value_round_trips_and_surrogates_do_not) {
  int wrong = 0;
  for (std::uint32_t cp = 0; cp <= 0x10FFFF && wrong < 5; ++cp) {
    const std::string bytes = encode(cp);
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    const std::string expected = surrogate ? FFFD FFFD FFFD : bytes;
    if (is_valid_utf8(bytes) != !surrogate || decode_utf8_lenient(bytes) != expected) {
      CHECK_EQ(cp, 0u);
      ++wrong;
    }
  }
}

TEST_CASE(overlong_forms_are_replaced_byte_by_byte) {
  // An overlong form is ill-formed from its first or second byte on, so each
  // of its bytes is a maximal subpart of its own.
  int wrong = 0;
  for (std::uint32_t cp = 0; cp < 0x10000 && wrong < 5; ++cp) {
    for (std::size_t length = 2; length <= 4; ++length) {
      if (encode(cp).size() >= length) continue;
      const std::string bytes = encode(cp, length);
      if (is_valid_utf8(bytes) || decode_utf8_lenient(bytes) != repeat(FFFD, length)) {
        CHECK_EQ(cp * 10 + length, 0u);
        ++wrong;
      }
    }
  }
}

TEST_CASE(validity_agrees_with_decoding_for_all_short_texts) {
  // Decoding changes a text exactly when it is not valid.
  int wrong = 0;
  std::string text;
  for (unsigned a = 0; a < 256; ++a) {
    text.assign(1, static_cast<char>(a));
    if (is_valid_utf8(text) != (decode_utf8_lenient(text) == text)) ++wrong;
    for (unsigned b = 0; b < 256; ++b) {
      text.assign({static_cast<char>(a), static_cast<char>(b)});
      if (is_valid_utf8(text) != (decode_utf8_lenient(text) == text)) ++wrong;
      if (a < 0xE0 || a > 0xF4 || b < 0x80 || b > 0xBF) continue;
      for (unsigned c = 0; c < 256; ++c) {
        text.assign({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)});
        const std::string decoded = decode_utf8_lenient(text);
        if (is_valid_utf8(text) != (decoded == text) || !is_valid_utf8(decoded)) ++wrong;
      }
    }
  }
  CHECK_EQ(wrong, 0);
}

// ---------------------------------------------------------------------------
// The first path

TEST_CASE(first_path_of_raw_outputs) {
  struct Row {
    std::string_view raw;
    std::optional<std::string> expected;
  };
  const std::optional<std::string> none;
  const Row rows[] = {
      {"C:\\Git\\git.exe\r\n", "C:\\Git\\git.exe"},
      {"C:\\a.exe\r\nC:\\b.exe\r\n", "C:\\a.exe"},  // the first line's CR goes too
      {"C:\\a.exe\r\nC:\\b.exe\r\nC:\\c.exe\r\n", "C:\\a.exe"},
      {"/usr/bin/git\n", "/usr/bin/git"},
      {"/usr/bin/git", "/usr/bin/git"},
      {"/a\n/b\n", "/a"},
      {"\n\n  /usr/bin/git\n", "/usr/bin/git"},
      {"\r\n\r\n\tC:\\git.exe\r\n", "C:\\git.exe"},
      {"/a\r", "/a"},
      {"/a\r\r\n/b", "/a\r"},  // only one CR is taken off
      {"/a \r\n/b", "/a "},    // nothing but the CR is trimmed from the line
      {"/a\xC2\xA0\n/b", "/a\xC2\xA0"},
      {"/my tools/x\n", "/my tools/x"},
      {"\xC2\xA0/a b\xC2\xA0\n", "/a b"},            // NBSP
      {"\xE3\x80\x80/x\xE3\x80\x80", "/x"},          // U+3000
      {"\xC2\x85/x\xE2\x80\xA8\xE2\x80\xA9", "/x"},  // NEL, LS, PS
      {"\x0B\x0C/x\x0B\x0C", "/x"},
      {"\xE2\x80\x8B/x", "\xE2\x80\x8B/x"},  // zero-width space stays
      {"\xEF\xBB\xBF/x", "\xEF\xBB\xBF/x"},  // so does a byte order mark
      {"\x1C/x\x1F", "\x1C/x\x1F"},
      {"C:\\\xFF.exe\r\n", "C:\\" FFFD ".exe"},
      {"\xFF", FFFD},
      {"\xED\xA0\x80\n", FFFD FFFD FFFD},
      {"/a\xE2\x82\n", "/a" FFFD},
      {"\xC2\n/b", FFFD},
      {std::string_view("\0/a\n", 4), std::string("\0/a", 3)},
      {"", none},
      {"\r\n", none},
      {"   \t\r\n \n\n", none},
      {"\xC2\xA0\xE3\x80\x80\xE2\x80\x80", none},
  };
  for (const Row& row : rows) {
    CHECK_EQ(first_path_in(decode_utf8_lenient(row.raw)), row.expected);
    // Windows reads bytes that are not UTF-8 in its code pages first.
    if (kelvar::facts::is_windows && !is_valid_utf8(row.raw)) continue;
    CHECK_EQ(first_reported_path(completed(0, std::string(row.raw))), row.expected);
  }
}

TEST_CASE(each_white_space_character_is_trimmed_at_both_ends) {
  for (std::uint32_t cp : white_space) {
    const std::string ws = encode(cp);
    CHECK_EQ(first_path_in(ws), std::optional<std::string>());
    CHECK_EQ(first_path_in(ws + ws), std::optional<std::string>());
    CHECK_EQ(first_path_in(ws + "p" + ws), std::optional<std::string>("p"));
    CHECK_EQ(first_path_in(ws + ws + "p q" + ws + ws), std::optional<std::string>("p q"));
  }
}

TEST_CASE(other_characters_are_kept_at_both_ends) {
  for (std::uint32_t cp : not_white_space) {
    const std::string c = encode(cp);
    CHECK_EQ(first_path_in(c), std::optional<std::string>(c));
    CHECK_EQ(first_path_in(" " + c + "p" + c + " "), std::optional<std::string>(c + "p" + c));
  }
}

TEST_CASE(only_a_clean_exit_reports_a_path) {
  struct Row {
    RunStatus status;
    std::uint32_t exit_code;
    bool reports;
  };
  const Row rows[] = {
      {RunStatus::completed, 0, true},    {RunStatus::completed, 1, false},
      {RunStatus::completed, 2, false},   {RunStatus::completed, 255, false},
      {RunStatus::completed, 256, false}, {RunStatus::completed, 0xFFFFFFFFu, false},
      {RunStatus::failed, 0, false},      {RunStatus::stopped, 0, false},
      {RunStatus::read_error, 0, false},
  };
  for (const Row& row : rows) {
    RunResult run = completed(row.exit_code, "/usr/bin/git\n");
    run.status = row.status;
    run.err = "noise\n";
    const std::optional<std::string> expected =
        row.reports ? std::optional<std::string>("/usr/bin/git") : std::nullopt;
    CHECK_EQ(first_reported_path(run), expected);
  }
}

TEST_CASE(standard_error_is_never_read_as_a_path) {
  RunResult run = completed(0, "");
  run.err = "/usr/bin/git\n";
  CHECK_EQ(first_reported_path(run), std::optional<std::string>());
}
