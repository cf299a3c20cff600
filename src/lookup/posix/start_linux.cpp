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
// All of it runs while the caller holds forks back (fork_guard.h): vfork
// runs no fork handlers, so the guard that keeps other threads' forks out
// cannot stop this one, and needs not. Built on Linux only, where the build
// puts it in place of start_portable.cpp.

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

#include "lookup/posix/child.h"
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
OsFailure failed(const char* step) noexcept {
  return OsFailure{step, static_cast<std::uint32_t>(errno)};
}

// Runs in the child, for a stop signal that arrives before exec, which
// resets it to its default: nothing. A stop there would leave the child
// stopped before exec, with its parent thread waiting in vfork (every
// signal blocked, the fork guard held) and unable to stop with its job.
void pass_until_exec(int) noexcept {}

// 1. No handler of the parent may run here, where it would act on the
// parent's memory, and the child gets the signal state that subprocess
// gives its children (see start.h): a handled signal goes back to its
// default, an ignored one stays ignored, since `where` and what it starts
// must ignore what the host ignores (a SIGINT meant for a pool's workers
// would otherwise kill `where` unseen). All of it while every signal is
// still blocked (the parent blocked them all before vfork). The stop
// signals that are to have their default after exec get a handler that
// does nothing instead, which exec itself turns into the default: from the
// first instruction of `where` on, they stop it as they would any program.
// A handler, not the default with the signal kept blocked: the mask cannot
// be cleared in the same step as the exec.
void prepare_signal_dispositions() noexcept {
  struct sigaction to_default {};
  to_default.sa_handler = SIG_DFL;
  sigemptyset(&to_default.sa_mask);
  struct sigaction passing {};
  passing.sa_handler = &pass_until_exec;
  passing.sa_flags = SA_RESTART;  // the steps below need not see EINTR
  sigfillset(&passing.sa_mask);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (signal_number == SIGKILL || signal_number == SIGSTOP) continue;
    struct sigaction current {};
    if (::sigaction(signal_number, nullptr, &current) != 0) continue;  // the C library's own
    const bool to_be_default =
        resets_to_default(signal_number, current.sa_handler) || current.sa_handler == SIG_DFL;
    if (to_be_default &&
        (signal_number == SIGTSTP || signal_number == SIGTTIN || signal_number == SIGTTOU)) {
      ::sigaction(signal_number, &passing, nullptr);
    } else if (resets_to_default(signal_number, current.sa_handler)) {
      ::sigaction(signal_number, &to_default, nullptr);
    }
  }
}

// In a group of its own, the child is no longer the host's group's member:
// what was sent to that group before the move (a Ctrl+C, a kill of the
// job) is the host's to act on, through its own handlers and the stop
// check, and is dropped here. Setting a disposition to "ignore" discards a
// pending instance, blocked or not; the disposition is then put back.
// Nothing of the host's group can arrive after setpgid, so the list of
// what is pending is complete. Without the drop, a SIGINT that the host
// handles would kill the child before exec, and the lookup would fall
// back as if `where` had found nothing.
void drop_signals_sent_before_the_move() noexcept {
  sigset_t pending;
  if (::sigpending(&pending) != 0) return;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (signal_number == SIGKILL || signal_number == SIGSTOP) continue;
    if (sigismember(&pending, signal_number) != 1) continue;
    struct sigaction kept {};
    if (::sigaction(signal_number, &ignore, &kept) == 0) ::sigaction(signal_number, &kept, nullptr);
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
OsFailure connect_streams(const ChildPlan& plan) noexcept {
  // Read-write, as subprocess opens it: a /dev/null that a broken or
  // hostile container made a FIFO would block a read-only open until a
  // writer came, for ever. With the host's descriptor 0 closed, the null
  // device gets that very number, and dup2 onto itself would keep the
  // close-on-exec flag.
  const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return failed("opening /dev/null");
  if (null_fd == STDIN_FILENO) {
    if (::fcntl(null_fd, F_SETFD, 0) != 0) return failed("making /dev/null inheritable");
  } else if (::dup2(null_fd, STDIN_FILENO) < 0) {
    return failed("connecting standard input");
  }
  if (::dup2(plan.start.out_fd, STDOUT_FILENO) < 0) return failed("connecting standard output");
  if (::dup2(plan.start.err_fd, STDERR_FILENO) < 0) return failed("connecting standard error");
  return OsFailure{};
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
  prepare_signal_dispositions();
  tie_to_parent(plan);
  // 5. A group of its own when asked for, so that a stopped lookup kills
  // what `where` started along with it; what the host's group was sent
  // before the move is dropped (see above).
  if (plan.start.own_group) {
    plan.own_group = ::setpgid(0, 0) == 0;
    if (plan.own_group) drop_signals_sent_before_the_move();
  }
  OsFailure failure = connect_streams(plan);
  if (!failure) {
    close_other_descriptors(plan);
    // 6. The child starts with no signal blocked, whatever the calling
    // thread had blocked. A stop signal delivered from here to the exec
    // runs pass_until_exec.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(plan.start.program, plan.start.argv, plan.start.envp);
    failure = failed("exec");
  }
  plan.failed_step = failure.step;
  plan.error = static_cast<int>(failure.code);
  ::_exit(127);
}

}  // namespace

OsFailure start_with_vfork(const StartPlan& start, Started& started) noexcept {
  started = Started{};
  ChildPlan plan{start, ::getpid(), soft_descriptor_limit(), false, nullptr, 0};
  // All signals stay blocked in this thread from before vfork until the
  // child has left the shared memory with exec: a handler that ran in the
  // child, or in this thread while the child borrows its stack, would
  // corrupt the other's state.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  if (const int error = ::pthread_sigmask(SIG_SETMASK, &all, &previous)) {
    return OsFailure{"blocking signals", static_cast<std::uint32_t>(error)};
  }
  const pid_t pid = ::vfork();
  if (pid == 0) run_child(plan);
  const int fork_error = pid < 0 ? errno : 0;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (fork_error != 0) return OsFailure{vfork_step, static_cast<std::uint32_t>(fork_error)};
  if (plan.failed_step != nullptr) {
    // The child has exited already (vfork returns only after its exit or
    // exec); it is reaped here, or by the kernel when SIGCHLD is ignored.
    int status;
    reap(pid, status, true);
    return OsFailure{plan.failed_step, static_cast<std::uint32_t>(plan.error)};
  }
  started = Started{pid, plan.own_group};
  return OsFailure{};
}

}  // namespace kelvar::lookup::posix
