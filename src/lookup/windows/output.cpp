// Reading what a Windows `where` printed. It writes paths in the output code
// page of its console, which is the host's own when it shares it (the OEM
// page unless a user's chcp set another, 65001 for UTF-8 included), so a
// non-ASCII path arrives in a page that only the console can tell.

#include "lookup/windows/api.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <iterator>
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

// The page `where` was given: that of the console it shares with the host;
// or, for a host with none, that of the windowless console the runner gives
// it, which starts in the OEM page.
UINT console_code_page() {
  const UINT shared = GetConsoleOutputCP();
  return shared != 0 ? shared : GetOEMCP();
}

bool is_ascii(std::string_view bytes) {
  for (const char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// The first path of `raw` read in `code_page`, when it names a file.
std::optional<std::string> confirmed_reading(std::string_view raw, UINT code_page) {
  // Any byte string reads as something in an 8-bit page, but not in UTF-8:
  // its replacement characters would name nothing anyway.
  if (code_page == CP_UTF8 && !is_valid_utf8(raw)) return std::nullopt;
  const std::optional<std::wstring> wide = to_wide(raw, code_page);
  if (!wide) return std::nullopt;
  const std::optional<std::string> text = to_utf8(*wide);
  if (!text) return std::nullopt;
  std::optional<std::string> path = first_path_in(*text);
  if (path && names_existing_file(*path)) return path;
  return std::nullopt;
}

}  // namespace

std::optional<std::string> first_path_printed(std::string_view raw) {
  // ASCII reads alike in every page a console takes, so there is nothing
  // to choose between.
  if (is_ascii(raw)) return first_path_in(raw);

  // The page `where` was given first; the others a `where` may write in
  // after it (one that sets its own page, or writes UTF-8 or the ANSI page
  // whatever the console says). A reading counts only when its path names a
  // file: valid UTF-8 is no proof, as bytes of a code page can form it.
  const UINT pages[] = {console_code_page(), CP_UTF8, GetOEMCP(), GetACP()};
  for (std::size_t i = 0; i < std::size(pages); ++i) {
    if (std::find(pages, pages + i, pages[i]) != pages + i) continue;
    if (std::optional<std::string> path = confirmed_reading(raw, pages[i])) return path;
  }
  // No reading yields a file that exists: keep the bytes visible as UTF-8,
  // with replacement characters, rather than guess a name.
  return first_path_in(decode_utf8_lenient(raw));
}

}  // namespace kelvar::lookup
