#include "lookup/child_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

#if defined(__linux__)
// The process group named in a /proc/<pid>/stat line ("pid (comm) state
// ppid pgrp ..."; the command may itself hold parentheses and blanks), or
// -1 when it cannot be read or the process has exited: an orphan stays a
// zombie in its group until its new parent reaps it, which may take a while,
// but holds no descriptor any more.
long group_in_stat(const char* name) noexcept {
  char path[64] = "/proc/";
  std::strncat(path, name, sizeof path - 16);
  std::strcat(path, "/stat");
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[512];
  const ssize_t got = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (got <= 0) return -1;
  text[got] = '\0';
  const char* end_of_command = std::strrchr(text, ')');
  if (end_of_command == nullptr) return -1;
  char state;
  long parent;
  long group;
  if (std::sscanf(end_of_command + 1, " %c %ld %ld", &state, &parent, &group) != 3) return -1;
  return state == 'Z' || state == 'X' ? -1 : group;
}
#endif

}  // namespace

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
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

bool Child::has_exited() const noexcept {
  if (pid_ <= 0) return true;
  if (watch_) {
    pollfd exited{watch_.get(), POLLIN, 0};
    return ::poll(&exited, 1, 0) > 0;
  }
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return errno != EINTR;  // ECHILD: reaped by someone else
  }
  return info.si_pid == pid_;
}

GroupState Child::group_state() const noexcept {
#if defined(__linux__)
  if (!own_group_ || pid_ <= 0) return GroupState::unknown;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return GroupState::unknown;
  GroupState state = GroupState::empty;
  while (const dirent* entry = ::readdir(proc)) {
    const char* name = entry->d_name;
    if (*name < '1' || *name > '9') continue;
    const long pid = std::strtol(name, nullptr, 10);
    if (pid != pid_ && group_in_stat(name) == pid_) {
      state = GroupState::others;
      break;
    }
  }
  ::closedir(proc);
  return state;
#else
  return GroupState::unknown;
#endif
}

int Child::try_reap(int& status) noexcept {
  const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
  if (reaped == pid_) {
    pid_ = -1;
    return 1;
  }
  if (reaped == 0 || errno == EINTR) return 0;
  // After a failure the pid is no longer ours (it may already be someone
  // else's), so it is never signalled again.
  pid_ = -1;
  // A child that is not ours to wait for any more (ECHILD) has been reaped
  // by someone else: by the kernel when the host ignores SIGCHLD, or by a
  // host thread that waits for every child. Its status is lost; it counts
  // as exit status 0, as the subprocess module takes it, since its output
  // was read to the end all the same.
  if (errno == ECHILD) {
    status = 0;
    return 1;
  }
  return -1;
}

}  // namespace kelvar::lookup::posix
