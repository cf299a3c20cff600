#include "lookup/builtins.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

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
// std::bit_cast is missing from libc++ before 14 (Clang 13's); the builtin
// that it wraps is older.
template <class To, class From>
constexpr To bits_as(const From& from) noexcept {
  static_assert(sizeof(To) == sizeof(From));
  return __builtin_bit_cast(To, from);
}

struct Key {
  std::uint64_t low = 0;
  std::uint64_t high = 0;
  friend constexpr bool operator==(const Key&, const Key&) = default;
};

// The key of up to 16 letters, zero-padded, with the first letter in the
// lowest byte whatever the byte order of the machine, so that the hash below
// spreads the names the same way everywhere.
constexpr Key key_of(const std::array<unsigned char, 16>& letters) noexcept {
  Key key = bits_as<Key>(letters);
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

constexpr std::uint64_t every_byte(unsigned char byte) noexcept {
  return 0x0101010101010101ULL * byte;
}

// 0x80 in each byte of `word` that is an ASCII letter of either case, 0 in
// every other byte: eight bytes tested at once with no branch.
constexpr std::uint64_t letter_bytes(std::uint64_t word) noexcept {
  // Setting bit 5 maps A-Z onto a-z and keeps a-z; of all byte values only
  // those two ranges end up in a-z. With bit 7 cleared no addition carries
  // from one byte into the next; bytes that had it are excluded at the end.
  const std::uint64_t small = (word | every_byte(0x20)) & every_byte(0x7F);
  const std::uint64_t from_a = small + every_byte(0x80 - 'a');
  const std::uint64_t past_z = small + every_byte(0x80 - 'z' - 1);
  return from_a & ~past_z & ~word & every_byte(0x80);
}

// Every byte value, at the lowest and the highest position of a word, beside
// neighbours that are zero or all ones (which would show a carry).
constexpr bool letter_bytes_is_sound() {
  for (unsigned value = 0; value < 256; ++value) {
    const bool letter = (value >= 'a' && value <= 'z') || (value >= 'A' && value <= 'Z');
    for (const std::uint64_t neighbours : {std::uint64_t{0}, ~std::uint64_t{0}}) {
      for (const unsigned shift : {0U, 56U}) {
        const std::uint64_t mask = std::uint64_t{0xFF} << shift;
        const std::uint64_t word = (neighbours & ~mask) | (std::uint64_t{value} << shift);
        if ((letter_bytes(word) & mask) != (letter ? std::uint64_t{0x80} << shift : 0)) {
          return false;
        }
      }
    }
  }
  return true;
}
static_assert(letter_bytes_is_sound());

// The lower-cased key of a text of letters only, given its bytes as a key
// and their letter marks.
constexpr std::uint64_t lowered_word(std::uint64_t word, std::uint64_t letters) noexcept {
  return (word | every_byte(0x20)) & ((letters >> 7) * 0xFF);
}

// Marks expected when the first `count` bytes (at most 8) are all letters.
constexpr std::uint64_t first_bytes(std::size_t count) noexcept {
  return every_byte(0x80) >> (8 * (8 - count));
}

// The N bytes of `text` from `at` on as a number whose lowest place holds the
// first of them, as in a key, whatever the machine's byte order.
template <class Word>
std::uint64_t load(std::string_view text, std::size_t at) noexcept {
  Word word;
  std::memcpy(&word, text.data() + at, sizeof word);  // a fixed size: one load
  if constexpr (std::endian::native == std::endian::big) {
    std::array<unsigned char, sizeof word> bytes = bits_as<decltype(bytes)>(word);
    std::reverse(bytes.begin(), bytes.end());
    word = bits_as<Word>(bytes);
  }
  return word;
}

// The first word of a key for a text of 2 to 8 bytes, zero-padded, read
// without a loop and without touching a byte past the text's end: two loads
// that overlap in the middle, where both hold the same bytes.
std::uint64_t load_short(std::string_view text) noexcept {
  const std::size_t n = text.size();
  if (n == 8) return load<std::uint64_t>(text, 0);
  if (n >= 4)
    return load<std::uint32_t>(text, 0) | load<std::uint32_t>(text, n - 4) << (8 * (n - 4));
  return load<std::uint16_t>(text, 0) | load<std::uint16_t>(text, n - 2) << (8 * (n - 2));
}

bool is_entry(const Key& key) noexcept {
  return table.slots[slot_of(key)] == key;
}

// The general rule, character by character, for texts that hold bytes
// outside ASCII: only the Kelvin sign among those can be part of a member.
bool lowered_is_member(std::string_view text) noexcept {
  std::array<unsigned char, 3 * longest> lowered{};  // one letter per byte at most
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
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
  return is_entry(key_of(letters));
}

}  // namespace

bool is_builtin_command(std::string_view text) noexcept {
  // Of all Unicode characters only A-Z, a-z and U+212A KELVIN SIGN lower-case
  // (by the full default mapping) into the letters the entries are made of;
  // anything else, lower-cased, leaves a character no entry holds. The usual
  // text is short and plain ASCII: tested and lowered a word at a time.
  const std::size_t n = text.size();
  if (n < shortest) return false;
  if (n <= 8) {
    const std::uint64_t word = load_short(text);
    const std::uint64_t letters = letter_bytes(word);
    if (letters == first_bytes(n)) return is_entry({lowered_word(word, letters), 0});
    // Plain ASCII that is not all letters cannot become a member.
    if ((word & every_byte(0x80)) == 0) return false;
  } else if (n <= longest) {
    // Bytes 8 and up: the last eight bytes, shifted down past the first eight.
    const std::uint64_t low = load<std::uint64_t>(text, 0);
    const std::uint64_t high = load<std::uint64_t>(text, n - 8) >> (8 * (16 - n));
    const std::uint64_t low_letters = letter_bytes(low);
    const std::uint64_t high_letters = letter_bytes(high);
    if (low_letters == first_bytes(8) && high_letters == first_bytes(n - 8)) {
      return is_entry({lowered_word(low, low_letters), lowered_word(high, high_letters)});
    }
    if (((low | high) & every_byte(0x80)) == 0) return false;
  } else if (n > 3 * longest) {
    return false;  // more than 11 characters even if all were Kelvin signs
  }
  return lowered_is_member(text);
}

}  // namespace kelvar::lookup
