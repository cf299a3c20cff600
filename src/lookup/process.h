// Running one child program with one argument and capturing what it prints.
//
// The interface is split in two so that callers embedded in an interpreter can
// do the parts that read process-wide state (the environment, the program
// search) while they hold their own lock, and the parts that only wait
// (spawning, reading, reaping) without it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
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

// A prepared run, or why there is none: one or the other, never both.
using Preparation = std::variant<PreparedRun, NotPrepared>;

// A step of a run that failed: what it was for, and the system's own error
// code for it (errno on POSIX, GetLastError() on Windows), kept as values
// the way CPython's and libuv's child starts keep theirs. A lookup drops a
// failed run without reporting it, so no text is ever made of it. A plain
// value, so that a step may record it where nothing may allocate (a vfork
// child).
struct OsFailure {
  const char* step = nullptr;  // a literal; null for no failure
  std::uint32_t code = 0;

  explicit operator bool() const noexcept { return step != nullptr; }
};

// How a run ended: the runner's one vocabulary.
enum class RunStatus {
  completed,  // the child ran and was reaped; exit_code and streams are valid
  failed,     // it could not be started, set up, read or waited for
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
  OsFailure failure;  // for failed: the step and the system's code
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
// both to their end, and waits for it. On Linux a child started with vfork
// (every start but one in a sandbox that refuses vfork) is killed when the
// calling thread ends before it has been waited for.
// Reads nothing that the caller's lock guards (the environment, the search),
// so it may run without that lock. On POSIX it blocks the calling thread's
// signals for the moment its pipes are open in the parent, and holds forks
// on other threads back for that moment (posix/fork_guard.h).
RunResult run(const PreparedRun& prepared, const StopCheck& should_stop,
              ChildGroup group = ChildGroup::own);

}  // namespace kelvar::lookup
