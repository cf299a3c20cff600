#include "lookup/posix/fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kelvar::lookup::posix {
namespace {

// A pipe end numbered 0, 1 or 2 (possible when the host closed its standard
// streams) would make dup2 onto that number a no-op that keeps the
// close-on-exec flag, and the child would lose the stream.
int lift_above_stdio(UniqueFd& fd) noexcept {
  if (fd.get() > STDERR_FILENO) return 0;
  const int lifted = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (lifted < 0) return errno;
  fd = UniqueFd(lifted);
  return 0;
}

}  // namespace

void UniqueFd::reset() noexcept {
  // close() is not retried on EINTR: the descriptor is gone either way on
  // Linux, and retrying could close one that another thread just opened.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

// Both ends are close-on-exec, so that a program another thread starts
// meanwhile cannot inherit them; an inherited write end would keep the pipe
// open and delay its end of file until that stranger exits. A fork without
// exec would copy them all the same: the caller makes them while forks are
// held back (fork_guard.h), which leaves only another thread's posix_spawn,
// which runs no fork handlers and is kept out by the flag alone.
int make_pipe(Pipe& pipe) noexcept {
  int ends[2];
#if defined(__APPLE__)
  // No pipe2 here, so the flag comes a moment after the pipe: a posix_spawn
  // on another thread between pipe() and fcntl() could still give both ends
  // to its child, a window no library can close. Our own child is kept
  // from them regardless by POSIX_SPAWN_CLOEXEC_DEFAULT.
  if (::pipe(ends) != 0) return errno;
  pipe.read_end = UniqueFd(ends[0]);
  pipe.write_end = UniqueFd(ends[1]);
  if (::fcntl(ends[0], F_SETFD, FD_CLOEXEC) != 0) return errno;
  if (::fcntl(ends[1], F_SETFD, FD_CLOEXEC) != 0) return errno;
#else
  if (::pipe2(ends, O_CLOEXEC) != 0) return errno;
  pipe.read_end = UniqueFd(ends[0]);
  pipe.write_end = UniqueFd(ends[1]);
#endif
  if (const int error = lift_above_stdio(pipe.read_end)) return error;
  return lift_above_stdio(pipe.write_end);
}

}  // namespace kelvar::lookup::posix
