#include "lookup/posix/fd.h"

#include "lookup/runner.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kelvar::lookup::posix {
namespace {

// strerror_r comes in two flavours (XSI returns int, GNU returns char*);
// overloading on the return type picks the right reading for either.
[[maybe_unused]] std::string strerror_text(int result, const char* buffer) {
  return result == 0 ? std::string(buffer) : std::string("unknown error");
}
[[maybe_unused]] std::string strerror_text(const char* message, const char*) {
  return message != nullptr ? std::string(message) : std::string("unknown error");
}

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

// Both ends are close-on-exec from birth, so no other child that the process
// starts at the same time can inherit them; an inherited write end would keep
// the pipe open and delay its end of file until that stranger exits.
int make_pipe(Pipe& pipe) noexcept {
  int ends[2];
#if defined(__APPLE__)
  // No pipe2 here. Between pipe() and fcntl() another thread's fork could
  // still copy both ends without the flag; there is no way to close that
  // window from a library. Our own child is protected regardless by
  // POSIX_SPAWN_CLOEXEC_DEFAULT.
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

namespace kelvar::lookup {

std::string describe(const SystemError& error) {
  char buffer[256] = {};
  const int code = static_cast<int>(error.code);
  return std::string(error.step) + ": " +
         posix::strerror_text(::strerror_r(code, buffer, sizeof buffer), buffer) + " (os error " +
         std::to_string(code) + ")";
}

}  // namespace kelvar::lookup
