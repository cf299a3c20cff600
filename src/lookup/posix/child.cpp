#include "lookup/posix/child.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#if defined(__linux__)
#include <sys/syscall.h>
#endif

namespace kelvar::lookup::posix {
namespace {

UniqueFd watch_exit(pid_t pid) noexcept {
#if defined(__linux__) && defined(SYS_pidfd_open)
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) return UniqueFd(static_cast<int>(fd));
#else
  (void)pid;
#endif
  return UniqueFd();
}

}  // namespace

pid_t reap(pid_t pid, int& status, bool block) noexcept {
  for (;;) {
    const pid_t reaped = ::waitpid(pid, &status, block ? 0 : WNOHANG);
    if (reaped >= 0) return reaped;
    if (errno == EINTR) {
      if (block) continue;
      return 0;
    }
    if (errno == ECHILD) return -1;
    break;  // refused (a sandbox's EPERM or ENOSYS): waitid instead
  }
  for (;;) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | (block ? 0 : WNOHANG)) != 0) {
      if (errno == EINTR && block) continue;
      if (errno == EINTR) return 0;
      return -1;
    }
    if (info.si_pid == 0) return 0;  // still running
    // The status as waitpid would have stored it.
    const int value = info.si_status & 0xff;
    status =
        info.si_code == CLD_EXITED ? value << 8 : value | (info.si_code == CLD_DUMPED ? 0x80 : 0);
    return pid;
  }
}

Child::Child(const Started& started) noexcept
    : pid_(started.pid), own_group_(started.own_group), watch_(watch_exit(started.pid)) {}

// Still our child to wait for, running or a zombie: its pid cannot have been
// given to another process.
bool Child::still_ours() const noexcept {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

void Child::kill_and_reap() noexcept {
  if (pid_ <= 0) return;
  // What `where` started goes with it; only while `where` is unreaped does
  // the group's number surely name its group.
  if (own_group_ && still_ours()) ::kill(-pid_, SIGKILL);
  // Through the pidfd where there is one: when the host reaps every child
  // itself, or ignores SIGCHLD, ours may be gone already and its pid given
  // to a stranger, who must not get the signal. A sandbox may refuse the
  // pidfd call; the pid is then used while the child is surely still ours.
  bool sent = false;
#if defined(__linux__) && defined(SYS_pidfd_send_signal)
  if (watch_) {
    sent =
        ::syscall(SYS_pidfd_send_signal, watch_.get(), SIGKILL, nullptr, 0) == 0 || errno == ESRCH;
  }
#endif
  if (!sent && still_ours()) ::kill(pid_, SIGKILL);
  int status;
  reap(pid_, status, true);
  pid_ = -1;
}

int Child::try_reap(int& status) noexcept {
  const pid_t reaped = reap(pid_, status, false);
  if (reaped == pid_) {
    pid_ = -1;
    return 1;
  }
  if (reaped == 0) return 0;
  // A child that is not ours to wait for any more (ECHILD) has been reaped
  // by someone else: by the kernel when the host ignores SIGCHLD, or by a
  // host thread that waits for every child. Its status is lost; it counts
  // as exit status 0, as the subprocess module takes it, since its output
  // was read to the end all the same. Its pid may be someone else's by now,
  // so it is never signalled again.
  if (errno == ECHILD) {
    pid_ = -1;
    status = 0;
    return 1;
  }
  // Any other failure (both waits refused) leaves it ours: the destructor
  // still kills it, through the pidfd or while it is surely ours.
  return -1;
}

}  // namespace kelvar::lookup::posix
