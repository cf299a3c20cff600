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
// exec: its parent thread waits in vfork until then, holding forks back,
// and a job whose thread never stops never reports stopped to its shell.
//
// The run tries the vfork start first and, where it is not built or a
// sandbox refuses vfork, the posix_spawn start.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cerrno>

#include "lookup/process.h"

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

// The step of the vfork start that vfork itself is.
inline constexpr char vfork_step[] = "vfork";

// No failure and the child in `started`, or the step that failed with its
// errno (no child is left over then): vfork, with steps of our own, so that
// the child can be tied to the life of its parent. Built on Linux; elsewhere
// it starts nothing and fails as a system without vfork would.
OsFailure start_with_vfork(const StartPlan& plan, Started& started) noexcept;

// Whether `failure` is vfork refused outright (a sandbox's ENOSYS or EPERM,
// or no vfork start built): nothing was started, and posix_spawn may be.
inline bool vfork_refused(const OsFailure& failure) noexcept {
  return failure.step == vfork_step && (failure.code == ENOSYS || failure.code == EPERM);
}

// The same with posix_spawn: every system has it, but the C library does
// the steps before exec, so the child cannot be tied to its parent.
OsFailure start_with_spawn(const StartPlan& plan, Started& started) noexcept;

// Whether posix_spawn runs the C library's fork handlers: glibc before 2.24
// spawns with fork().
bool spawn_runs_fork_handlers() noexcept;

// The soft limit on descriptors: the numbers asked one by one where neither
// the kernel nor /proc can say which are open.
rlim_t soft_descriptor_limit() noexcept;

// The descriptor that a /proc/self/fd entry names, or -1 for anything else
// ("." and ".."). Plain arithmetic, so that the vfork child may use it.
inline int descriptor_named(const char* name) noexcept {
  if (*name < '0' || *name > '9') return -1;
  int fd = 0;
  for (; *name >= '0' && *name <= '9'; ++name) fd = fd * 10 + (*name - '0');
  return *name == '\0' ? fd : -1;
}

}  // namespace kelvar::lookup::posix
