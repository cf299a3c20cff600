#include "lookup/builtins.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace kelvar::lookup {
namespace {

constexpr std::array<std::string_view, 83> builtin_commands = {
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

constexpr std::size_t shortest = 2;
constexpr std::size_t longest = 11;

// Guards against a typo in the list: the count of entries of each length is
// known, and every entry is lower-case ASCII within the length bounds.
constexpr bool list_is_sound() {
  constexpr std::array<std::size_t, longest + 1> per_length = {0,  0, 6, 10, 20, 18,
                                                               10, 7, 9, 1,  1,  1};
  std::array<std::size_t, longest + 1> seen{};
  for (std::string_view name : builtin_commands) {
    if (name.size() < shortest || name.size() > longest) return false;
    for (char c : name) {
      if (c < 'a' || c > 'z') return false;
    }
    ++seen[name.size()];
  }
  return seen == per_length;
}
static_assert(list_is_sound());

// A name of at most 11 letters fits in two words, so a probe compares two
// integers instead of strings. Unused bytes stay zero, which keeps names of
// different lengths apart (no letter is a zero byte).
struct Key {
  std::uint64_t low = 0;
  std::uint64_t high = 0;
  friend constexpr bool operator==(const Key&, const Key&) = default;
};

constexpr Key pack(const char* letters, std::size_t count) noexcept {
  Key key;
  for (std::size_t i = 0; i < count; ++i) {
    const auto byte = static_cast<std::uint64_t>(static_cast<unsigned char>(letters[i]));
    if (i < 8) {
      key.low |= byte << (8 * i);
    } else {
      key.high |= byte << (8 * (i - 8));
    }
  }
  return key;
}

// 256 slots for 83 keys: open addressing with linear probing stays short
// enough that a lookup is, as a rule, a single comparison.
constexpr unsigned slot_bits = 8;
constexpr std::size_t slot_count = std::size_t{1} << slot_bits;

constexpr std::size_t home_slot(const Key& key) noexcept {
  const std::uint64_t mixed =
      (key.low ^ (key.high * 0x9e3779b97f4a7c15ULL)) * 0xff51afd7ed558ccdULL;
  return static_cast<std::size_t>(mixed >> (64 - slot_bits));
}

struct Table {
  std::array<Key, slot_count> slots{};  // an all-zero key marks a free slot
  std::size_t max_displacement = 0;     // furthest any key sits from its home slot
  bool has_duplicates = false;
};

constexpr Table build_table() {
  Table table;
  for (std::string_view name : builtin_commands) {
    const Key key = pack(name.data(), name.size());
    std::size_t displacement = 0;
    std::size_t slot = home_slot(key);
    while (table.slots[slot] != Key{}) {
      if (table.slots[slot] == key) table.has_duplicates = true;
      slot = (slot + 1) % slot_count;
      ++displacement;
    }
    table.slots[slot] = key;
    if (displacement > table.max_displacement) table.max_displacement = displacement;
  }
  return table;
}

// Built by the compiler, so the process holds one read-only copy from the
// start: no first-use initialisation, no lock, nothing to tear down.
constexpr Table table = build_table();
static_assert(!table.has_duplicates);
static_assert(table.max_displacement <= 3, "the hash spreads the names badly");

}  // namespace

bool is_builtin_command(std::string_view text) noexcept {
  // Of all Unicode characters only A-Z, a-z and U+212A KELVIN SIGN lower-case
  // (by the full default mapping) into the letters the entries are made of;
  // anything else, lower-cased, leaves a character no entry holds.
  char lowered[longest];
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    char letter;
    if (byte >= 'a' && byte <= 'z') {
      letter = static_cast<char>(byte);
    } else if (byte >= 'A' && byte <= 'Z') {
      letter = static_cast<char>(byte - 'A' + 'a');
    } else if (byte == 0xE2 && text.substr(i + 1, 2) == "\x84\xAA") {
      letter = 'k';
      i += 2;
    } else {
      return false;
    }
    if (count == longest) return false;
    lowered[count++] = letter;
  }
  if (count < shortest) return false;

  const Key key = pack(lowered, count);
  std::size_t slot = home_slot(key);
  for (std::size_t probe = 0; probe <= table.max_displacement; ++probe) {
    if (table.slots[slot] == key) return true;
    slot = (slot + 1) % slot_count;
  }
  return false;
}

}  // namespace kelvar::lookup
