#include "lookup/builtins.h"

#include <algorithm>
#include <array>
#include <bit>
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

// The key of up to 16 letters, zero-padded, with the first letter in the
// lowest byte whatever the byte order of the machine, so that the hash below
// spreads the names the same way everywhere.
constexpr Key key_of(const std::array<unsigned char, 16>& letters) noexcept {
  Key key = std::bit_cast<Key>(letters);
  if constexpr (std::endian::native == std::endian::big) {
    key.low = __builtin_bswap64(key.low);
    key.high = __builtin_bswap64(key.high);
  }
  return key;
}

constexpr Key pack(std::string_view name) noexcept {
  std::array<unsigned char, 16> letters{};
  for (std::size_t i = 0; i < name.size(); ++i) letters[i] = static_cast<unsigned char>(name[i]);
  return key_of(letters);
}

// A perfect hash: each of the 83 names has a slot of its own among 256, so a
// test is one multiplication and at most one comparison. The multiplier was
// found by trying random odd numbers until no two names shared a slot; the
// build below refuses one that lets them share.
constexpr unsigned slot_bits = 8;
constexpr std::size_t slot_count = std::size_t{1} << slot_bits;

constexpr std::size_t slot_of(const Key& key) noexcept {
  const std::uint64_t folded = key.low + key.high * 0x9e3779b97f4a7c15ULL;
  return static_cast<std::size_t>((folded * 0x3be74caf4043e347ULL) >> (64 - slot_bits));
}

struct Table {
  std::array<Key, slot_count> slots{};  // an all-zero key marks a free slot
  bool has_collisions = false;
};

constexpr Table build_table() {
  Table table;
  for (std::string_view name : builtin_commands) {
    Key& slot = table.slots[slot_of(pack(name))];
    if (slot != Key{}) table.has_collisions = true;
    slot = pack(name);
  }
  return table;
}

// Built by the compiler, so the process holds one read-only copy from the
// start: no first-use initialisation, no lock, nothing to tear down.
constexpr Table table = build_table();
static_assert(!table.has_collisions, "two names share a slot: the multiplier needs changing");

}  // namespace

bool is_builtin_command(std::string_view text) noexcept {
  // At most 11 characters, each at most 3 bytes long (the Kelvin sign).
  if (text.size() < shortest || text.size() > 3 * longest) return false;
  // Of all Unicode characters only A-Z, a-z and U+212A KELVIN SIGN lower-case
  // (by the full default mapping) into the letters the entries are made of;
  // anything else, lower-cased, leaves a character no entry holds. Room for
  // one letter per byte, so the loop need not check the count as it goes.
  std::array<unsigned char, 3 * longest> lowered{};
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // Setting bit 5 maps A-Z onto a-z and keeps a-z; of all byte values only
    // those two ranges end up in a-z.
    auto letter = static_cast<unsigned char>(byte | 0x20U);
    if (static_cast<unsigned>(letter - 'a') >= 26U) {
      if (byte != 0xE2 || text.substr(i + 1, 2) != "\x84\xAA") return false;
      letter = 'k';
      i += 2;
    }
    lowered[count++] = letter;
  }
  if (count < shortest || count > longest) return false;
  std::array<unsigned char, 16> letters;
  std::copy_n(lowered.begin(), letters.size(), letters.begin());
  const Key key = key_of(letters);
  return table.slots[slot_of(key)] == key;
}

}  // namespace kelvar::lookup
