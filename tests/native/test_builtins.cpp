#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>

#include "check.h"
#include "lookup/builtins.h"

using kelvar::lookup::is_builtin_command;

namespace {

constexpr std::string_view all_names[] = {
#include "../builtin_commands.inc"
};

// Upper case at the positions where (i % 2 == odd) holds; -1 for all.
std::string recased(std::string_view s, int odd) {
  std::string r(s);
  for (std::size_t i = 0; i < r.size(); ++i) {
    if (odd < 0 || static_cast<int>(i % 2) == odd) r[i] = static_cast<char>(r[i] - 'a' + 'A');
  }
  return r;
}

const std::string kelvin = "\xE2\x84\xAA";  // U+212A KELVIN SIGN, lower case 'k'

}  // namespace

TEST_CASE(every_builtin_name_in_any_case_is_a_member) {
  static_assert(std::size(all_names) == 83);
  for (std::string_view name : all_names) {
    CHECK_EQ(is_builtin_command(name), true);
    for (int odd : {-1, 0, 1}) CHECK_EQ(is_builtin_command(recased(name, odd)), true);
    CHECK_EQ(is_builtin_command(std::string(name) + "s"), false);
    CHECK_EQ(is_builtin_command(name.substr(0, name.size() - 1)), false);  // none is an entry
  }
}

TEST_CASE(every_byte_in_every_position_of_every_name) {
  // Each byte value put in place of each letter of each name: the answer is
  // whether the text, with A-Z lowered, is a name. At every position, since
  // the test reads words of 8 bytes; every byte, for A-Z's neighbours, NUL
  // and the bytes above 0x7F.
  const auto is_name = [](std::string text) {
    for (char& c : text) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return std::find(std::begin(all_names), std::end(all_names), text) != std::end(all_names);
  };
  for (std::string_view name : all_names) {
    for (std::size_t i = 0; i < name.size(); ++i) {
      for (unsigned value = 0; value < 256; ++value) {
        std::string text(name);
        text[i] = static_cast<char>(value);
        if (is_builtin_command(text) != is_name(text)) {
          CHECK_EQ(text, std::string("(other answer)"));
        }
      }
    }
  }
}

TEST_CASE(texts_that_are_not_members) {
  const std::string_view rows[] = {
      "",
      "where",
      "git",
      " dir",
      "dir ",
      "dir\n",
      "\tdir",
      "d ir",
      "dir.exe",
      "CMD.EXE",
      "C:\\Windows\\System32\\cmd",
      "d",
      "driverquerys",
      "systeminfoo",
      "cd1",
      std::string_view("dir\0", 4),
      std::string_view("\0dir", 4),
      "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
      "\xEF\xBC\xA4\xEF\xBC\xA9\xEF\xBC\xB2",  // fullwidth DIR: no normalisation
      "\xC4\xB0"
      "F",             // U+0130 lower-cases to two characters
      "d\xC4\xB1r",    // dotless i
      "DIR\xCC\x87",   // combining dot above
      "\xE2\x84\xAB",  // ANGSTROM SIGN
      "tas\xE2\x84",   // a truncated KELVIN SIGN
      "\xFF\xFE",
  };
  for (std::string_view text : rows) {
    if (is_builtin_command(text)) CHECK_EQ(text, std::string_view("(not a member)"));
  }
}

TEST_CASE(kelvin_sign_lower_cases_to_k) {
  // 12 bytes, more than the longest entry, yet 8 letters once lower-cased.
  CHECK(is_builtin_command("TAS" + kelvin + kelvin + "ILL"));
  CHECK(is_builtin_command("tas" + kelvin + "kill"));
  CHECK(is_builtin_command("CH" + kelvin + "DS" + kelvin));
  CHECK(!is_builtin_command("TAS" + kelvin + kelvin + "ILLS"));
  CHECK(!is_builtin_command(kelvin + kelvin));
}
