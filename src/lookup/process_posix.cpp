// The process runner on POSIX systems: no shell, both output streams through
// close-on-exec pipes read with poll(). On Linux the child is started with
// vfork() and a few system calls of our own before exec, so that it can be
// tied to the life of its parent; elsewhere with posix_spawn.

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lookup/process.h"
#include "lookup/stop_policy.h"

#if defined(__linux__)
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#endif

namespace kelvar::lookup {
namespace {

// ---------------------------------------------------------------------------
// Errors

// strerror_r comes in two flavours (XSI returns int, GNU returns char*);
// overloading on the return type picks the right reading for either.
[[maybe_unused]] std::string strerror_text(int result, const char* buffer) {
  return result == 0 ? std::string(buffer) : std::string("unknown error");
}
[[maybe_unused]] std::string strerror_text(const char* message, const char*) {
  return message != nullptr ? std::string(message) : std::string("unknown error");
}

std::string describe_errno(int error) {
  char buffer[256] = {};
  return strerror_text(::strerror_r(error, buffer, sizeof buffer), buffer) + " (os error " +
         std::to_string(error) + ")";
}

RunResult failure(const char* step, int error) {
  RunResult result;
  result.status = RunStatus::failed;
  result.error = std::string(step) + ": " + describe_errno(error);
  return result;
}

// ---------------------------------------------------------------------------
// Descriptors

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

  void reset() noexcept {
    // close() is not retried on EINTR: the descriptor is gone either way on
    // Linux, and retrying could close one that another thread just opened.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

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

#if defined(__linux__)
// ---------------------------------------------------------------------------
// Starting the child on Linux
//
// posix_spawn has no way to ask for a signal when the parent goes, and a
// `where` left running after the interpreter has exited (a daemon thread's
// lookup abandoned at shutdown, or a host that ends with os._exit) would be
// an orphan that nobody waits for. So the child is started as glibc's
// posix_spawn starts it, with vfork(), which shares the parent's memory and
// suspends the calling thread until exec, as cheap as posix_spawn, but the
// steps before exec are ours.

struct ChildPlan {
  const char* program;
  char* const* argv;
  char* const* envp;
  int out_fd;
  int err_fd;
  pid_t parent;
  rlim_t descriptor_limit;  // for closing one by one where close_range is missing
  int error;                // written by the child when a step fails
};

// Runs in the vfork child: only system calls, no allocation, no locks, and
// no return (the parent's stack frames are shared until exec).
[[noreturn]] void start_child(ChildPlan& plan) noexcept {
  // 1. No handler of the parent may run here, where it would act on the
  // parent's memory: every disposition goes back to its default while every
  // signal is still blocked (the parent blocked them all before vfork). The
  // interpreter ignores SIGPIPE, which exec would otherwise pass on.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (signal_number == SIGKILL || signal_number == SIGSTOP) continue;
    ::sigaction(signal_number, &default_action, nullptr);  // EINVAL for the C library's own
  }

  // 2. Killed when the thread that started it ends, which it does only when
  // the interpreter ends it or the process exits: a `where` never outlives
  // the process. The parent may already be gone before the request takes
  // effect; the child then sees a new parent and goes at once.
  int error = 0;
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
    error = errno;
  } else if (::getppid() != plan.parent) {
    ::_exit(127);
  }

  // 3. Standard input reads end of file at once; the outputs go to the
  // pipes (whose ends are above 2, so dup2 always makes a fresh descriptor
  // without the close-on-exec flag).
  if (error == 0) {
    // With the host's descriptor 0 closed, the null device gets that very
    // number, and dup2 onto itself would keep the close-on-exec flag.
    const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_fd < 0) {
      error = errno;
    } else if (null_fd == STDIN_FILENO) {
      if (::fcntl(null_fd, F_SETFD, 0) != 0) error = errno;
    } else if (::dup2(null_fd, STDIN_FILENO) < 0) {
      error = errno;
    }
  }
  if (error == 0 && ::dup2(plan.out_fd, STDOUT_FILENO) < 0) error = errno;
  if (error == 0 && ::dup2(plan.err_fd, STDERR_FILENO) < 0) error = errno;

  // 4. Nothing but the three standard streams reaches `where`: a descriptor
  // that the host made inheritable would stay open in it, and a slow `where`
  // would hold the host's pipe open.
  if (error == 0) {
#if defined(SYS_close_range)
    if (::syscall(SYS_close_range, STDERR_FILENO + 1, ~0U, 0) != 0)
#endif
    {
      for (rlim_t fd = STDERR_FILENO + 1; fd < plan.descriptor_limit; ++fd) {
        ::close(static_cast<int>(fd));
      }
    }
  }

  // 5. The child starts with no signal blocked, whatever the calling thread
  // had blocked.
  if (error == 0) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(plan.program, plan.argv, plan.envp);
    error = errno;
  }
  plan.error = error;
  ::_exit(127);
}

// 0 and the child's pid, or the error number of the step that failed (the
// child has then been reaped already).
int start(ChildPlan& plan, pid_t& pid) noexcept {
  // All signals stay blocked in this thread from before vfork until the
  // child has left the shared memory with exec: a handler that ran in the
  // child, or in this thread while the child borrows its stack, would
  // corrupt the other's state.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  if (const int error = ::pthread_sigmask(SIG_SETMASK, &all, &previous)) return error;
  plan.error = 0;
  pid = ::vfork();
  if (pid == 0) start_child(plan);
  const int fork_error = pid < 0 ? errno : 0;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (fork_error != 0) return fork_error;
  if (plan.error != 0) {
    // The child has exited already (vfork returns only after its exit or
    // exec); it is reaped here, or by the kernel when SIGCHLD is ignored.
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
    return plan.error;
  }
  return 0;
}

rlim_t descriptor_limit() noexcept {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1024;
  return limit.rlim_cur;
}

#else
// ---------------------------------------------------------------------------
// Spawn set-up, released whatever happens

class SpawnSetup {
 public:
  SpawnSetup() = default;
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    if (have_actions_) ::posix_spawn_file_actions_destroy(&actions_);
    if (have_attributes_) ::posix_spawnattr_destroy(&attributes_);
  }

  // Returns 0 or the error number of the step that failed.
  int init(int out_fd, int err_fd) noexcept {
    if (const int error = ::posix_spawn_file_actions_init(&actions_)) return error;
    have_actions_ = true;
    if (const int error = ::posix_spawnattr_init(&attributes_)) return error;
    have_attributes_ = true;

    // Standard input reads end of file at once; the two outputs go to the
    // pipes. The originals of the pipe ends are close-on-exec and vanish.
    if (const int error =
            ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0)) {
      return error;
    }
    if (const int error = ::posix_spawn_file_actions_adddup2(&actions_, out_fd, STDOUT_FILENO)) {
      return error;
    }
    if (const int error = ::posix_spawn_file_actions_adddup2(&actions_, err_fd, STDERR_FILENO)) {
      return error;
    }

    // An interpreter ignores SIGPIPE and may block signals in its threads;
    // both would be inherited through exec, so the child starts clean.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    if (const int error = ::posix_spawnattr_setsigmask(&attributes_, &none)) return error;
    if (const int error = ::posix_spawnattr_setsigdefault(&attributes_, &all)) return error;
    int flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    // Only the three standard streams may reach the child: a descriptor that
    // the host made inheritable would otherwise stay open in `where`, and a
    // slow `where` would hold the host's pipe open with it.
#if defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#elif defined(__FreeBSD__) || (defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34))
    if (const int error =
            ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1)) {
      return error;
    }
#else
#error "no way to keep the host's inheritable descriptors from the child on this system"
#endif
    return ::posix_spawnattr_setflags(&attributes_, static_cast<short>(flags));
  }

  const posix_spawn_file_actions_t* actions() const noexcept {
    return &actions_;
  }
  const posix_spawnattr_t* attributes() const noexcept {
    return &attributes_;
  }

 private:
  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attributes_{};
  bool have_actions_ = false;
  bool have_attributes_ = false;
};
#endif

// A descriptor that polls readable once the child has exited (a pidfd), or
// none where the system has no such thing; then the wait falls back to naps.
UniqueFd watch_exit(pid_t pid) noexcept {
#if defined(__linux__) && defined(SYS_pidfd_open)
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) return UniqueFd(static_cast<int>(fd));
#else
  (void)pid;
#endif
  return UniqueFd();
}

// ---------------------------------------------------------------------------
// The child, killed and reaped on every way out that does not reap it

class Child {
 public:
  explicit Child(pid_t pid) noexcept : pid_(pid), watch_(watch_exit(pid)) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { kill_and_reap(); }

  void kill_and_reap() noexcept {
    if (pid_ <= 0) return;
      // Through the pidfd where there is one: when the host reaps every child
      // itself, or ignores SIGCHLD, ours may be gone already and its pid given
      // to a stranger, who must not get the signal.
#if defined(__linux__) && defined(SYS_pidfd_send_signal)
    if (!watch_ || ::syscall(SYS_pidfd_send_signal, watch_.get(), SIGKILL, nullptr, 0) != 0) {
      if (!watch_ || errno == ENOSYS) ::kill(pid_, SIGKILL);
    }
#else
    ::kill(pid_, SIGKILL);
#endif
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

  pid_t pid() const noexcept {
    return pid_;
  }
  // Polls readable once the child has exited; empty where there is none.
  const UniqueFd& exit_watch() const noexcept {
    return watch_;
  }

  // 1 when the child was reaped (its status stored), 0 when it still runs
  // or the wait was interrupted, -1 with errno set when waiting failed.
  //
  // A child that is not ours to wait for any more (ECHILD) has been reaped
  // by someone else: by the kernel when the host ignores SIGCHLD, or by a
  // host thread that waits for every child. Its status is lost; it counts
  // as exit status 0, as the subprocess module takes it, since its output
  // was read to the end all the same.
  int try_reap(int& status) noexcept {
    const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
    if (reaped == pid_) {
      pid_ = -1;
      return 1;
    }
    if (reaped == 0 || errno == EINTR) return 0;
    // After a failure the pid is no longer ours (it may already be someone
    // else's), so it is never signalled again.
    pid_ = -1;
    if (errno == ECHILD) {
      status = 0;
      return 1;
    }
    return -1;
  }

 private:
  pid_t pid_;
  UniqueFd watch_;
};

std::uint32_t exit_code_of(int status) noexcept {
  if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
  // Killed by a signal: reported as a shell would, 128 plus the signal number.
  if (WIFSIGNALED(status)) return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
  return 255u;
}

void nap(std::chrono::microseconds length) noexcept {
  timespec request{};
  request.tv_sec = static_cast<std::time_t>(length.count() / 1000000);
  request.tv_nsec = static_cast<long>((length.count() % 1000000) * 1000);
  // An interrupted nap is not resumed: the caller asks whether to stop.
  ::nanosleep(&request, nullptr);
}

std::vector<char*> c_strings(const std::vector<std::string>& strings) {
  // posix_spawn takes `char* const[]` for historical reasons and writes nothing.
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

// ---------------------------------------------------------------------------

RunResult run(const PreparedRun& prepared, const StopCheck& should_stop) {
  if (prepared.argv.empty()) return failure("posix_spawn", EINVAL);

  Pipe out;
  Pipe err;
  if (const int error = make_pipe(out)) return failure("pipe", error);
  if (const int error = make_pipe(err)) return failure("pipe", error);

  std::vector<char*> argv = c_strings(prepared.argv);
  std::vector<char*> envp = c_strings(prepared.environment);
  pid_t pid = -1;
#if defined(__linux__)
  ChildPlan plan{prepared.program.c_str(), argv.data(), envp.data(),        out.write_end.get(),
                 err.write_end.get(),      ::getpid(),  descriptor_limit(), 0};
  if (const int error = start(plan, pid)) return failure("spawn", error);
#else
  SpawnSetup setup;
  if (const int error = setup.init(out.write_end.get(), err.write_end.get())) {
    return failure("posix_spawn setup", error);
  }
  if (const int error = ::posix_spawn(&pid, prepared.program.c_str(), setup.actions(),
                                      setup.attributes(), argv.data(), envp.data())) {
    return failure("posix_spawn", error);
  }
#endif
  Child child(pid);
  // Only the child may hold the write ends, or end of file never comes.
  out.write_end.reset();
  err.write_end.reset();

  RunResult result;
  StopPolicy stop(should_stop);
  UniqueFd* const streams[2] = {&out.read_end, &err.read_end};
  std::string* const sinks[2] = {&result.out, &result.err};
  // On the heap: the caller may be a thread with a small stack.
  std::vector<char> buffer(64 * 1024);

  while (*streams[0] || *streams[1]) {
    pollfd watched[2];
    std::size_t source[2];
    nfds_t count = 0;
    for (std::size_t i = 0; i < 2; ++i) {
      if (!*streams[i]) continue;
      watched[count] = pollfd{streams[i]->get(), POLLIN, 0};
      source[count] = i;
      ++count;
    }

    const int ready = ::poll(watched, count, static_cast<int>(stop_check_interval.count()));
    if (ready < 0 && errno != EINTR) return failure("poll", errno);
    if (ready <= 0) {
      if (stop.ask()) return stopped_result();  // `child` kills and reaps on the way out
      continue;
    }

    for (nfds_t k = 0; k < count; ++k) {
      if (watched[k].revents == 0) continue;
      UniqueFd& stream = *streams[source[k]];
      const ssize_t got = ::read(stream.get(), buffer.data(), buffer.size());
      if (got > 0) {
        sinks[source[k]]->append(buffer.data(), static_cast<std::size_t>(got));
      } else if (got == 0) {
        stream.reset();
      } else if (errno != EINTR && errno != EAGAIN) {
        RunResult broken;
        broken.status = RunStatus::read_error;
        broken.error = describe_errno(errno);
        return broken;
      }
    }
    if (stop.ask_if_due()) return stopped_result();
  }

  // Both streams ended, which as a rule means the child is exiting, though
  // not always yet: the pipes close before the exit is complete. Its exit is
  // waited for on a pidfd, which wakes the moment it happens (a nap would add
  // its whole length to every lookup); without one, with growing naps. One
  // that closed its streams and goes on running is waited for all the same,
  // still asking whether to stop.
  const UniqueFd& exit_watch = child.exit_watch();
  auto pause = std::chrono::microseconds(100);
  for (;;) {
    int status = 0;
    const int reaped = child.try_reap(status);
    if (reaped < 0) return failure("waitpid", errno);
    if (reaped > 0) {
      result.status = RunStatus::completed;
      result.exit_code = exit_code_of(status);
      return result;
    }
    bool interrupted = true;
    if (exit_watch) {
      pollfd exited{exit_watch.get(), POLLIN, 0};
      interrupted =
          ::poll(&exited, 1, static_cast<int>(stop_check_interval.count())) < 0 && errno == EINTR;
    } else {
      nap(pause);
      pause = std::min(pause * 2, std::chrono::microseconds(50 * 1000));
    }
    if (interrupted ? stop.ask() : stop.ask_if_due()) return stopped_result();
  }
}

}  // namespace kelvar::lookup
