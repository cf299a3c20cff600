// The POSIX search for programs, shared by the lookup (which finds `where`)
// and the stand-in `where` (which finds what it is asked for): one reading
// of PATH, one default path, one rule for what counts as a program. Nothing
// here throws or uses the C++ library's containers, so that the small
// stand-in carries none of that runtime.
#pragma once

#include <cstddef>
#include <string_view>

namespace kelvar::lookup::posix {

// The directories to search, as one text: the value of PATH, or when PATH is
// unset the system's default path, which is then allocated with malloc and
// also stored in `*owned` for the caller to free (null otherwise). Null only
// when that allocation failed.
const char* search_path_value(char** owned) noexcept;

// Takes the next entry off the front of `rest`, a search path's text, into
// `entry`; false when none is left. Begin with `rest` viewing the whole text.
// Every entry counts, empty ones included (leading, trailing or "::"), since
// they stand for the working directory, as for the shell; an empty text is
// one empty entry.
inline bool next_search_entry(std::string_view& rest, std::string_view& entry) noexcept {
  if (rest.data() == nullptr) return false;
  const std::size_t colon = rest.find(':');
  if (colon == std::string_view::npos) {
    entry = rest;
    rest = std::string_view();  // no data: the walk is over
    return true;
  }
  entry = std::string_view(rest.data(), colon);
  rest = std::string_view(rest.data() + colon + 1, rest.size() - colon - 1);
  return true;
}

// Appends the path of `name` in `directory` to `path` (any text that takes
// `+=` of a string_view): one "/" between them, none added after a
// directory that ends in one, as os.path.join does, so that what is printed
// for a plain name is the text that Python's shutil.which gives.
template <class Text>
void append_joined(Text& path, std::string_view directory, std::string_view name) {
  path += directory;
  if (directory.empty() || directory.back() != '/') path += std::string_view("/");
  path += name;
}

// Whether `path` names a program that exec would start: a regular file
// (symbolic links followed) that the effective user and groups may execute,
// which is what exec checks (a setuid host asking by its real ids would
// choose a different file than the one it can run).
bool is_program_file(const char* path) noexcept;

}  // namespace kelvar::lookup::posix
