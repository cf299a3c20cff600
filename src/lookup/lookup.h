// The executable lookup: the query given to `where` and how its answer is read.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "lookup/process.h"

namespace kelvar::lookup {

inline constexpr std::string_view where_program = "where";

// What one lookup comes to.
struct Answer {
  enum class Kind {
    found,      // `path` is what `where` reported, or the built-in path text
    not_found,  // neither `where` nor the built-in table knows the name
    stopped,    // the stop check asked to abandon `where`, which was killed
  };
  Kind kind = Kind::not_found;
  std::string path;
};

// One lookup, in two phases. prepare() reads the process-wide state that
// the host may change under its own lock (the environment, the search for
// `where`), so it is taken with that lock held; answer() only runs `where`
// and reads what it printed, which may take as long as `where` does, so the
// host may let go of its lock for it.
class Lookup {
 public:
  // `interpreter` as for prepare_where().
  static Lookup prepare(std::string_view name, bool fuzzy, std::string_view interpreter);

  // Runs `where`, asking `should_stop` as run() does, in the process group
  // that group_for_this_thread() gives, and falls back to the built-in
  // table when `where` could not be run or reported nothing.
  Answer answer(const StopCheck& should_stop) const;

 private:
  Lookup(std::string name, Preparation run) : name_(std::move(name)), run_(std::move(run)) {}

  std::string name_;
  Preparation run_;  // the run of `where`, or why it cannot be started
};

// The answer that a finished run of `where` gives for `name`: the policy of
// answer(), apart from running anything.
Answer answer_from(const RunResult& run, std::string_view name);

// Finds `where` and prepares its run with `query`. `interpreter` is the path
// the host records for the interpreter as it was started (Python's
// sys.executable), empty when it records none. On POSIX `where` is looked for
// in the folder `kelvar/bin` beside the module, then in the directory of
// `interpreter` (or, without one, of the running executable as the process
// tells it), then on PATH. Windows has an order of its own, which needs no
// help from the host.
Preparation prepare_where(std::string_view query, std::string_view interpreter);

// Whether prepare_where() looks beside `interpreter`: where it does not (on
// Windows), the host need not read its record at all.
bool looks_beside_interpreter() noexcept;

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
