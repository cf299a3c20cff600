// Non-ASCII paths in the output of a Windows `where`, which prints in an
// 8-bit code page. Real files are made so that the existence test, which
// tells the right code page from a wrong one, can succeed.

#include <optional>
#include <string>
#include <string_view>

#include "check.h"
#include "lookup/lookup.h"
#include "lookup/output.h"
#include "windows_test_support.h"

using kelvar::lookup::first_path_printed;
using kelvar::lookup::first_reported_path;
using kelvar::lookup::is_valid_utf8;
using namespace kelvar_test::win;

namespace {

// A letter whose bytes differ between the OEM and the ANSI code page, each
// a single byte that is not valid UTF-8 on its own.
std::optional<wchar_t> letter_differing_between_code_pages() {
  for (const wchar_t c : {L'\u00f6', L'\u00e9', L'\u00fc', L'\u00e4', L'\u00f1'}) {
    const auto oem = encode(std::wstring(1, c), CP_OEMCP);
    const auto ansi = encode(std::wstring(1, c), CP_ACP);
    if (oem && ansi && oem->size() == 1 && ansi->size() == 1 && *oem != *ansi &&
        static_cast<unsigned char>((*oem)[0]) >= 0x80 &&
        static_cast<unsigned char>((*ansi)[0]) >= 0x80) {
      return c;
    }
  }
  return std::nullopt;
}

std::optional<std::string> reported_by_fake(std::string_view printed) {
  const auto result = run_printing(printed);
  if (!result) return std::nullopt;
  return first_reported_path(*result);
}

}  // namespace

TEST_CASE(windows_code_pages_here_differ) {
  // The tests below need an OEM and an ANSI code page that disagree, as
  // they do on a Western setup (437 or 850 against 1252).
  CHECK(GetOEMCP() != GetACP());
  CHECK(letter_differing_between_code_pages().has_value());
}

TEST_CASE(windows_non_ascii_path_in_each_encoding) {
  const std::optional<wchar_t> letter = letter_differing_between_code_pages();
  CHECK(letter.has_value());
  if (!letter) return;
  ScratchDir dir(L"cp");
  CHECK(dir.ok());
  const std::wstring file = dir / (L"t" + std::wstring(1, *letter) + L"ol.exe");
  CHECK(touch(file));
  const std::string expected = utf8(file);

  const std::optional<std::string> in_oem = encode(file, CP_OEMCP);
  const std::optional<std::string> in_ansi = encode(file, CP_ACP);
  CHECK(in_oem.has_value() && in_ansi.has_value());
  if (!in_oem || !in_ansi) return;
  // Otherwise the UTF-8 reading would take them and prove nothing.
  CHECK(!is_valid_utf8(*in_oem));
  CHECK(!is_valid_utf8(*in_ansi));

  struct Row {
    const char* what;
    std::string printed;
  };
  const Row rows[] = {
      {"utf-8", expected + "\r\n"},
      {"oem", *in_oem + "\r\n"},
      {"ansi", *in_ansi + "\r\n"},
      {"oem, then a second path", *in_oem + "\r\nC:\\other\\tool.exe\r\n"},
  };
  for (const Row& row : rows) {
    const std::optional<std::string> path = reported_by_fake(row.printed);
    CHECK(path.has_value());
    if (!path) continue;
    // The second row keeps the line's carriage return when there are more
    // lines; compare the name itself.
    std::string name = *path;
    if (!name.empty() && name.back() == '\r') name.pop_back();
    if (name != expected) {
      CHECK_EQ(std::string(row.what) + ": " + name, std::string(row.what) + ": " + expected);
    }
  }
}

TEST_CASE(windows_oem_reading_wins_when_both_name_files) {
  const std::optional<wchar_t> letter = letter_differing_between_code_pages();
  CHECK(letter.has_value());
  if (!letter) return;
  ScratchDir dir(L"both");
  const std::optional<std::string> bytes = encode(dir / (L"t" + std::wstring(1, *letter)), CP_ACP);
  CHECK(bytes.has_value());
  if (!bytes) return;
  // The same bytes read in each code page: two names, both made real.
  const std::wstring as_oem = decode(*bytes, CP_OEMCP);
  const std::wstring as_ansi = dir / (L"t" + std::wstring(1, *letter));
  CHECK(as_oem != as_ansi);
  CHECK(touch(as_oem));
  CHECK(touch(as_ansi));
  const std::optional<std::string> path = first_path_printed(*bytes + "\r\n");
  CHECK(path == std::optional<std::string>(utf8(as_oem)));
}

TEST_CASE(windows_undecodable_bytes_naming_no_file_become_replacements) {
  struct Row {
    std::string_view printed;
    std::string_view path;
  };
  const Row rows[] = {
      {"C:\\nowhere\\\xff\xfe.exe\r\n", "C:\\nowhere\\\xef\xbf\xbd\xef\xbf\xbd.exe"},
      {"C:\\nowhere\\t\x94ol.exe", "C:\\nowhere\\t\xef\xbf\xbdol.exe"},
      {"\r\n  C:\\nowhere\\\xc3(.exe\r\n", "C:\\nowhere\\\xef\xbf\xbd(.exe"},
  };
  for (const Row& row : rows) {
    CHECK(first_path_printed(row.printed) == std::optional<std::string>(std::string(row.path)));
    CHECK(reported_by_fake(row.printed) == std::optional<std::string>(std::string(row.path)));
  }
}

TEST_CASE(windows_valid_utf8_is_taken_as_it_stands) {
  // No file of that name exists; valid UTF-8 needs no existence test.
  const std::string printed =
      "C:\\nowhere\\gr\xc3\xbc\xc3\x9f"
      "e.exe\r\n";
  CHECK(first_path_printed(printed) == std::optional<std::string>("C:\\nowhere\\gr\xc3\xbc\xc3\x9f"
                                                                  "e.exe"));
  CHECK(!first_path_printed(" \r\n\t").has_value());
  CHECK(!first_path_printed("").has_value());
}

TEST_CASE(windows_valid_utf8_counts_only_when_a_file_confirms_it) {
  // The bytes of "é" in UTF-8 are two letters of the page `where` was given
  // (├⌐ in 437): either reading may be the name of the file. The page wins
  // when both name one; with neither, the UTF-8 reading stands.
  const UINT page = GetConsoleOutputCP() != 0 ? GetConsoleOutputCP() : GetOEMCP();
  struct Row {
    const char* what;
    bool utf8_file;
    bool page_file;
    bool expect_page;
  };
  const Row rows[] = {
      {"neither", false, false, false},
      {"the page's", false, true, true},
      {"utf-8's", true, false, false},
      {"both", true, true, true},
  };
  for (const Row& row : rows) {
    ScratchDir dir(L"confirm");
    const std::wstring as_utf8 = dir / L"t\u00e9ol.exe";
    const std::string printed = utf8(as_utf8);
    const std::wstring as_page = decode(printed, page);
    CHECK(as_page != as_utf8);
    if (row.utf8_file) CHECK(touch(as_utf8));
    if (row.page_file) CHECK(touch(as_page));
    const std::string expected = utf8(row.expect_page ? as_page : as_utf8);
    const std::optional<std::string> path = reported_by_fake(printed + "\r\n");
    CHECK_EQ(std::string(row.what) + ": " + path.value_or("none"),
             std::string(row.what) + ": " + expected);
  }
}
