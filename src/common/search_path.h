// The POSIX search for programs, shared by the lookup (which finds `where`)
// and the stand-in `where` (which finds what it is asked for): one reading
// of PATH, one default path, one rule for what counts as a program.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelvar::common {

// The system's default search path, used when PATH is unset.
std::string default_search_path();

// The directories to search, in order: the entries of PATH as written, or of
// the default path when PATH is unset. Empty entries (leading, trailing or
// "::") are kept, since they stand for the working directory, as for the
// shell. The views point into `storage`, which receives a copy of the value,
// so that a later change of the environment leaves them valid.
std::vector<std::string_view> search_path_entries(std::string& storage);

// Whether `path` names a program that exec would start: a regular file
// (symbolic links followed) that the effective user and groups may execute,
// which is what exec checks (a setuid host asking by its real ids would
// choose a different file than the one it can run).
bool is_program_file(const char* path);

}  // namespace kelvar::common
