// Starting the child on Linux.
//
// posix_spawn has no way to ask for a signal when the parent goes, and a
// `where` left running after the interpreter has exited (a daemon thread's
// lookup abandoned at shutdown, or a host that ends with os._exit) would be
// an orphan that nobody waits for. So the child is started as glibc's
// posix_spawn starts it, with vfork(), which shares the parent's memory and
// suspends the calling thread until exec, as cheap as posix_spawn, but the
// steps before exec are ours.
//
// A sandbox may refuse any of these calls. Each refusal costs only what the
// call was for: without prctl the child is not tied to its parent, without
// setpgid it has no group of its own (and what it starts survives a stopped
// lookup), without close_range its descriptors are closed from the list in
// /proc, and without vfork it is started with posix_spawn.
//
// All of it runs within the caller's PipeWindow: vfork runs no fork
// handlers, so the guard that keeps other threads' forks out cannot stop
// this one, and needs not. Built on Linux only, where the build puts it in
// place of start_portable.cpp.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "lookup/posix/start.h"

namespace kelvar::lookup::posix {
namespace {

// Shared by the parent and the vfork child; the child writes only the last
// two fields. They are volatile: the compiler sees the child's writes only on
// a path that never returns, and would otherwise let the parent read the
// values they had before vfork.
struct ChildPlan {
  const StartPlan& start;
  pid_t parent;
  rlim_t descriptor_limit;  // for closing one by one when nothing better works
  volatile bool own_group;
  // Written by the child when a step fails: which step, and its errno.
  const char* volatile failed_step;
  volatile int error;
};

// Everything below runs in the vfork child: only system calls, no
// allocation, no locks, and no return (the parent's stack frames are shared
// until exec).

// The step that failed just now, with its errno.
SystemError failed(const char* step) noexcept {
  return SystemError{step, static_cast<std::uint32_t>(errno)};
}

// 1. No handler of the parent may run here, where it would act on the
// parent's memory: every disposition goes back to its default while every
// signal is still blocked (the parent blocked them all before vfork). The
// interpreter ignores SIGPIPE, which exec would otherwise pass on.
void reset_signal_dispositions() noexcept {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (signal_number == SIGKILL || signal_number == SIGSTOP) continue;
    ::sigaction(signal_number, &default_action, nullptr);  // EINVAL for the C library's own
  }
}

// 2. Killed when the thread that started it ends, which it does only when
// the interpreter ends it or the process exits: a `where` never outlives
// the process. The parent may already be gone before the request takes
// effect; the child then sees a new parent and goes at once. A parent
// outside the child's PID namespace reads as 0 (the first child after
// unshare(CLONE_NEWPID)); that window then stays open.
void tie_to_parent(const ChildPlan& plan) noexcept {
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return;  // refused: the tie is lost
  const pid_t parent = ::getppid();
  if (parent != plan.parent && parent != 0) ::_exit(127);
}

// 3. Standard input reads end of file at once; the outputs go to the pipes
// (whose ends are above 2, so dup2 always makes a fresh descriptor without
// the close-on-exec flag).
SystemError connect_streams(const ChildPlan& plan) noexcept {
  // With the host's descriptor 0 closed, the null device gets that very
  // number, and dup2 onto itself would keep the close-on-exec flag.
  const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd < 0) return failed("opening /dev/null");
  if (null_fd == STDIN_FILENO) {
    if (::fcntl(null_fd, F_SETFD, 0) != 0) return failed("making /dev/null inheritable");
  } else if (::dup2(null_fd, STDIN_FILENO) < 0) {
    return failed("connecting standard input");
  }
  if (::dup2(plan.start.out_fd, STDOUT_FILENO) < 0) return failed("connecting standard output");
  if (::dup2(plan.start.err_fd, STDERR_FILENO) < 0) return failed("connecting standard error");
  return SystemError{};
}

// Closes every open descriptor above 2 as /proc lists them, reading the
// directory with getdents64 into a buffer on the stack. False when /proc
// cannot be read.
bool close_listed_descriptors() noexcept {
  const int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  alignas(8) char buffer[512];
  for (;;) {
    const long got = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer);
    if (got <= 0) {
      ::close(dir);
      return got == 0;
    }
    // Each record: inode (8 bytes), offset (8), length (2), type (1), name.
    for (long at = 0; at < got;) {
      std::uint16_t length;
      std::memcpy(&length, buffer + at + 16, sizeof length);
      const int fd = descriptor_named(buffer + at + 19);
      if (fd > STDERR_FILENO && fd != dir) ::close(fd);
      at += length;
    }
  }
}

// 4. Nothing but the three standard streams reaches `where`: a descriptor
// that the host made inheritable would stay open in it, and a slow `where`
// would hold the host's pipe open. Closing what is open, not every possible
// number, keeps the cost of a lookup apart from the descriptor limit.
void close_other_descriptors(const ChildPlan& plan) noexcept {
#if defined(SYS_close_range)
  if (::syscall(SYS_close_range, STDERR_FILENO + 1, ~0U, 0) == 0) return;
#endif
  if (close_listed_descriptors()) return;
  // Neither close_range nor /proc: one by one up to the soft limit, which
  // misses a descriptor opened before the limit was lowered.
  for (rlim_t fd = STDERR_FILENO + 1; fd < plan.descriptor_limit; ++fd) {
    ::close(static_cast<int>(fd));
  }
}

[[noreturn]] void run_child(ChildPlan& plan) noexcept {
  reset_signal_dispositions();
  tie_to_parent(plan);
  // 5. A group of its own, so that a stopped lookup kills what `where`
  // started along with it.
  plan.own_group = ::setpgid(0, 0) == 0;
  SystemError error = connect_streams(plan);
  if (!error) {
    close_other_descriptors(plan);
    // 6. The child starts with no signal blocked, whatever the calling
    // thread had blocked.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(plan.start.program, plan.start.argv, plan.start.envp);
    error = failed("exec");
  }
  plan.failed_step = error.step;
  plan.error = static_cast<int>(error.code);
  ::_exit(127);
}

// No error, or the step that failed (the child has then been reaped
// already); `refused` when vfork itself was refused.
SystemError start_with_vfork(ChildPlan& plan, pid_t& pid, bool& refused) noexcept {
  // All signals stay blocked in this thread from before vfork until the
  // child has left the shared memory with exec: a handler that ran in the
  // child, or in this thread while the child borrows its stack, would
  // corrupt the other's state.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  if (const int error = ::pthread_sigmask(SIG_SETMASK, &all, &previous)) {
    return SystemError{"blocking signals", static_cast<std::uint32_t>(error)};
  }
  pid = ::vfork();
  if (pid == 0) run_child(plan);
  const int fork_error = pid < 0 ? errno : 0;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  refused = fork_error == ENOSYS || fork_error == EPERM;
  if (fork_error != 0) return SystemError{"vfork", static_cast<std::uint32_t>(fork_error)};
  if (plan.failed_step != nullptr) {
    // The child has exited already (vfork returns only after its exit or
    // exec); it is reaped here, or by the kernel when SIGCHLD is ignored.
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
    return SystemError{plan.failed_step, static_cast<std::uint32_t>(plan.error)};
  }
  return SystemError{};
}

}  // namespace

SystemError start_child(const StartPlan& start, Started& started) noexcept {
  started = Started{};
  ChildPlan plan{start, ::getpid(), soft_descriptor_limit(), false, nullptr, 0};
  pid_t pid = -1;
  bool refused = false;
  const SystemError error = start_with_vfork(plan, pid, refused);
  if (refused) return start_with_spawn(start, started);  // a sandbox refused vfork
  if (!error) started = Started{pid, plan.own_group};
  return error;
}

}  // namespace kelvar::lookup::posix
