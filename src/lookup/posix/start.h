// Starting `where`: its standard input from the null device, its outputs to
// the given pipe ends, no other descriptor of the host's, the signal state
// that subprocess gives its children, and (when asked and the system allows)
// a process group of its own, so that a stopped lookup can kill what `where`
// started along with it.
//
// The signal state, on both start paths: a signal the host handles goes
// back to its default, and so do SIGPIPE and SIGXFSZ (which the interpreter
// ignores for itself; subprocess's restore_signals does the same); a signal
// the host ignores stays ignored (a pool worker ignores SIGINT, a daemon
// SIGTSTP); no signal is blocked, except that the posix_spawn start keeps
// the three stop signals blocked (see start_spawn.cpp). Nothing that a
// signal to the host's group does may leave the child stopped before its
// exec: its parent thread waits in vfork until then, holding the fork guard,
// and a job whose thread never stops never reports stopped to its shell.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/types.h>

#include "lookup/posix/fork_guard.h"
#include "lookup/runner.h"

namespace kelvar::lookup::posix {

struct StartPlan {
  const char* program;
  char* const* argv;
  char* const* envp;
  int out_fd;  // write ends, above 2, close-on-exec
  int err_fd;
  // Whether the child is to lead a process group of its own (see
  // ChildGroup in lookup/process.h).
  bool own_group;
  // The span the start runs in; a start that must fork through the C
  // library (see start_with_spawn) ends it first, or its own fork handler
  // would wait for it.
  PipeWindow* window;
};

struct Started {
  pid_t pid = -1;
  // The child leads a process group numbered by its pid: false when none
  // was asked for, or the system refused to make one.
  bool own_group = false;
};

// Whether a start sets `signal_number` back to its default in the child,
// given the host's handler for it: what subprocess does (see above).
inline bool resets_to_default(int signal_number, void (*handler)(int)) noexcept {
  if (signal_number == SIGPIPE || signal_number == SIGXFSZ) return true;
  return handler != SIG_DFL && handler != SIG_IGN;
}

// No error and the child in `started`, or the step that failed with its
// errno (no child is left over then). On Linux with vfork and steps of our own,
// falling back to posix_spawn when vfork is refused; elsewhere posix_spawn.
SystemError start_child(const StartPlan& plan, Started& started) noexcept;

// The posix_spawn variant, for systems other than Linux and for a Linux
// sandbox that refuses vfork.
SystemError start_with_spawn(const StartPlan& plan, Started& started) noexcept;

// The soft limit on descriptors: the numbers asked one by one where neither
// the kernel nor /proc can say which are open.
rlim_t soft_descriptor_limit() noexcept;

#if defined(__linux__)
// Adds a close for each descriptor that is open and inheritable now, from
// the list in /proc, else by asking each number up to the soft limit: what
// is left where the C library cannot close a range (glibc before 2.34), or
// the kernel and /proc would both fail it. Built on every Linux, so that a
// test on a newer library covers it too. 0, or the error number of the
// step that failed.
int add_inheritable_closes(posix_spawn_file_actions_t& actions) noexcept;
#endif

// The descriptor that a /proc/self/fd entry names, or -1 for anything else
// ("." and ".."). Plain arithmetic, so that the vfork child may use it.
inline int descriptor_named(const char* name) noexcept {
  if (*name < '0' || *name > '9') return -1;
  int fd = 0;
  for (; *name >= '0' && *name <= '9'; ++name) fd = fd * 10 + (*name - '0');
  return *name == '\0' ? fd : -1;
}

}  // namespace kelvar::lookup::posix
