// Running one child program with one argument and capturing what it prints.
//
// The interface is split in two so that callers embedded in an interpreter can
// do the parts that read process-wide state (the environment, the program
// search) while they hold their own lock, and the parts that only wait
// (spawning, reading, reaping) without it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvar::lookup {

// Everything a run needs, resolved up front; holds no OS resources.
struct PreparedRun {
#ifdef _WIN32
  std::wstring program;       // full path of the program to start
  std::wstring command_line;  // quoted for the child's C runtime
#else
  std::string program;                   // full path of the program to start
  std::vector<std::string> argv;         // argv[0] and the one argument
  std::vector<std::string> environment;  // snapshot, "NAME=value" entries
#endif
};

// Why a run could not be prepared; no child is started then.
enum class NotPrepared {
  nul_in_text,            // the name or the argument holds U+0000
  unconvertible_text,     // it is not text the system can take (Windows)
  no_program,             // the program was found nowhere in the search order
  command_line_too_long,  // more than a command line holds (Windows)
};

// A prepared run, or why there is none. Read like std::optional<PreparedRun>.
class Preparation {
 public:
  Preparation(PreparedRun run) : run_(std::move(run)) {}
  Preparation(NotPrepared reason) : reason_(reason) {}

  bool has_value() const noexcept { return run_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }
  const PreparedRun& operator*() const { return *run_; }
  const PreparedRun* operator->() const { return &*run_; }
  PreparedRun* operator->() { return &*run_; }
  // Meaningful only without a run.
  NotPrepared reason() const noexcept { return reason_; }

 private:
  std::optional<PreparedRun> run_;
  NotPrepared reason_ = NotPrepared::no_program;
};

// Finds `program` (a bare name such as "where") by the platform's search
// order and prepares it to be run with `argument` (UTF-8) as its only
// argument.
Preparation prepare_run(std::string_view program, std::string_view argument);

enum class RunStatus {
  completed,  // the child ran and was reaped; exit_code and streams are valid
  failed,     // it could not be started, set up or waited for
  stopped,    // should_stop() asked to abandon it; the child was killed and reaped
};

struct RunResult {
  RunStatus status = RunStatus::failed;
  // On POSIX a child ended by a signal reports 128 plus the signal number,
  // as a shell does, so it never reads as success. A child whose status was
  // taken by someone else (the kernel, when the host ignores SIGCHLD, or a
  // host thread that reaps every child) reports 0, as Python's subprocess
  // module takes it.
  std::uint32_t exit_code = 0;
  std::string out;  // standard output, raw bytes
  // Standard error, raw bytes. No answer reads it; it is captured all the
  // same, so that `where` can never write into the host's own standard
  // error, nor block on a pipe that nobody drains.
  std::string err;
  std::string error;  // description for failed: the step and the system error
};

// Asked at least every 100 ms (and after every interrupted wait) while the
// child runs; returning true abandons the run.
using StopCheck = std::function<bool()>;

// Where the child stands for job control on POSIX systems (the Windows
// runner has a rule of its own and ignores it).
enum class ChildGroup {
  // A process group of its own: a stopped run kills what the child started
  // along with it, and signals to the caller's group (a terminal's Ctrl+C
  // or Ctrl+Z) do not reach it. For a caller whose stop check acts on them.
  own,
  // The caller's group, where subprocess leaves its children: a terminal's
  // Ctrl+C reaches the child and its descendants as it reaches the caller;
  // a stopped run kills the child alone.
  callers,
};

// The group for a run on the calling thread: its own on the process's main
// thread, where an interpreter runs its signal handlers (CPython runs them
// there alone), so that a stop check can end the run at a Ctrl+C and kill
// `where`'s whole family; the caller's on any other thread, where nothing
// can stop the run and the terminal's Ctrl+C must reach `where` itself, as
// it reaches subprocess.run's child.
ChildGroup group_for_this_thread() noexcept;

// Starts the prepared program with standard input from the null device,
// both output streams captured and no other descriptor of the caller's, reads
// both to their end, and waits for it. On Linux the child is killed when the
// calling thread ends before it has been waited for.
// Touches no state of the caller's: safe to run without the caller's lock.
RunResult run(const PreparedRun& prepared, const StopCheck& should_stop,
              ChildGroup group = ChildGroup::own);

}  // namespace kelvar::lookup
