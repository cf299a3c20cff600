// The executable lookup: the query given to `where` and how its answer is read.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "lookup/process.h"

namespace kelvar::lookup {

inline constexpr std::string_view where_program = "where";

// Finds `where` and prepares its run with `query`. `interpreter` is the path
// the host records for the interpreter as it was started (Python's
// sys.executable), empty when it records none. On POSIX `where` is looked for
// in the folder `kelvar/bin` beside the module, then in the directory of
// `interpreter` (or, without one, of the running executable as the process
// tells it), then on PATH. Windows has an order of its own, which needs no
// help from the host.
std::optional<PreparedRun> prepare_where(std::string_view query, std::string_view interpreter);

// The argument given to `where`: the name (wrapped in "*" wildcards when
// fuzzy), then the platform's executable extension.
std::string build_query(std::string_view name, bool fuzzy);

// The first path a completed run of `where` reported, as UTF-8; nothing when
// it exited non-zero or printed nothing but white space.
std::optional<std::string> first_reported_path(const RunResult& run);

// The answer when `where` reported nothing: the command interpreter's path
// text for a built-in command, nothing otherwise.
std::optional<std::string_view> builtin_fallback(std::string_view name) noexcept;

}  // namespace kelvar::lookup
