// Reading what a Windows `where` printed. It writes paths in an 8-bit code
// page, as a rule the OEM one and in some setups the ANSI one, not in UTF-8,
// so a non-ASCII path arrives as bytes that UTF-8 cannot read.

#include "lookup/windows/api.h"

#include <climits>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "lookup/output.h"
#include "lookup/windows/system.h"
#include "lookup/windows/text.h"

namespace kelvar::lookup {
namespace {

// Whether a decoded path, exactly as it would be returned, names a file:
// the test that tells the right code page from a wrong one, since both
// decode any byte. Nothing is taken off first (a wrong page can turn a byte
// into white space that the trim removes, leaving the name of something
// else), a folder does not count (C:\windows exists, and so would a wrong
// guess that decodes down to it), and a name holding U+0000 never does: the
// system reads it only up to that character, so the test would be about a
// shorter name than the one returned.
bool names_existing_file(std::string_view utf8_path) {
  if (utf8_path.find('\0') != std::string_view::npos) return false;
  const std::optional<std::wstring> wide = to_wide(utf8_path, CP_UTF8);
  return wide && is_existing_file(*wide);
}

}  // namespace

std::optional<std::string> first_path_printed(std::string_view raw) {
  // Plain ASCII, and output of a `where` that does write UTF-8, needs no
  // guess. Bytes of an 8-bit code page almost never form valid UTF-8.
  if (is_valid_utf8(raw)) return first_path_in(raw);

  for (const UINT code_page : {CP_OEMCP, CP_ACP}) {
    const std::optional<std::wstring> wide = to_wide(raw, code_page);
    if (!wide) continue;
    const std::optional<std::string> text = to_utf8(*wide);
    if (!text) continue;
    std::optional<std::string> path = first_path_in(*text);
    if (path && names_existing_file(*path)) return path;
  }
  // Neither code page yields a file that exists: keep the bytes visible as
  // UTF-8 with replacement characters rather than guess a name.
  return first_path_in(decode_utf8_lenient(raw));
}

}  // namespace kelvar::lookup
