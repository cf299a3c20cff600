// Starting the child with posix_spawn: everywhere but Linux, and on Linux
// when a sandbox refuses vfork. The C library then does the steps before
// exec, so the child cannot be tied to the life of its parent.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include "lookup/posix/start.h"

#include <cerrno>
#include <cstdio>

#if defined(__linux__)
#include <dirent.h>
#include <sys/syscall.h>

#include <cstdlib>
#endif

#if defined(__GLIBC__) && !(__GLIBC__ > 2 || __GLIBC_MINOR__ >= 24)
#include <gnu/libc-version.h>
#endif

#if defined(__linux__) && !(defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34))
// Declared weak: a C library from before 2.34 lacks it, and the address then
// reads as null instead of failing the load.
extern "C" int posix_spawn_file_actions_addclosefrom_np(posix_spawn_file_actions_t*, int)
    __attribute__((weak));
#endif

namespace kelvar::lookup::posix {

rlim_t soft_descriptor_limit() noexcept {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1024;
  return limit.rlim_cur;
}

namespace {

#if defined(__linux__)
// One close for `fd` when it is inheritable. posix_spawn refuses to name a
// descriptor above the soft limit (EBADF); such a one is skipped, and
// reaches the child, rather than fail the start.
int add_close_if_inheritable(posix_spawn_file_actions_t& actions, int fd) noexcept {
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags < 0 || (flags & FD_CLOEXEC) != 0) return 0;
  const int error = ::posix_spawn_file_actions_addclose(&actions, fd);
  return error == EBADF ? 0 : error;
}

// Without a list, every number up to the soft limit is asked, which misses
// a descriptor opened before the limit was lowered.
int add_closes_by_number(posix_spawn_file_actions_t& actions) noexcept {
  const rlim_t limit = soft_descriptor_limit();
  for (rlim_t fd = STDERR_FILENO + 1; fd < limit; ++fd) {
    if (const int error = add_close_if_inheritable(actions, static_cast<int>(fd))) return error;
  }
  return 0;
}

// A close for every descriptor open now without close-on-exec, from the
// list in /proc, else by asking each number up to the soft limit: what is
// left where the C library cannot close a range (glibc before 2.34), or the
// kernel and /proc would both fail it (which can happen with any C
// library). One that another thread makes inheritable after this list is
// taken still reaches the child: the price of closing by list instead of by
// range. A close of a descriptor gone meanwhile is no error to posix_spawn.
int add_inheritable_closes(posix_spawn_file_actions_t& actions) noexcept {
  DIR* open_fds = ::opendir("/proc/self/fd");
  if (open_fds == nullptr) return add_closes_by_number(actions);
  const int own = ::dirfd(open_fds);
  int error = 0;
  while (const dirent* entry = ::readdir(open_fds)) {
    const int fd = descriptor_named(entry->d_name);
    if (fd <= STDERR_FILENO || fd == own) continue;
    error = add_close_if_inheritable(actions, fd);
    if (error != 0) break;
  }
  ::closedir(open_fds);
  return error;
}

// Whether the C library's close of a range (race-free: it closes what is
// open in the child at exec time) will work. glibc closes with close_range,
// else from the list in /proc/self/fd, and fails the whole start when
// neither works; so both are tried here first. A close_range of the empty
// range at the top closes nothing, and is refused as a real one would be.
bool range_close_possible() noexcept {
#if !(defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34))
  // Built against a C library older than the call (as a wheel for old
  // systems is): only where the running one has it.
  if (&::posix_spawn_file_actions_addclosefrom_np == nullptr) return false;
#endif
#if defined(SYS_close_range)
  if (::syscall(SYS_close_range, ~0U, ~0U, 0) == 0) return true;
#endif
  const int list = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (list < 0) return false;
  ::close(list);
  return true;
}
#endif

// Spawn set-up, released whatever happens.
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
  int init(const StartPlan& plan, bool own_group) noexcept {
    if (const int error = ::posix_spawn_file_actions_init(&actions_)) return error;
    have_actions_ = true;
    if (const int error = ::posix_spawnattr_init(&attributes_)) return error;
    have_attributes_ = true;
    if (const int error = add_streams(plan)) return error;

    // The signal state of start.h. The C library itself sets every handled
    // signal back to its default (a handler must not run in a child that
    // shares the parent's memory, and exec would reset it anyway) and
    // leaves ignored ones ignored; SIGPIPE and SIGXFSZ, which an interpreter
    // ignores for itself, are named here.
    //
    // The mask: none of the calling thread's blocked signals, but the three
    // stop signals stay blocked through exec. The C library moves the child
    // into its group with every signal blocked and only then sets this
    // mask, so a SIGTSTP sent to the host's group before the move would
    // otherwise stop the child there, in a group that `fg` does not
    // continue, with this thread waiting for its exec; and in the host's
    // group a stop before exec leaves a job that never reports stopped.
    // Unlike the vfork start, no step of ours runs in the child to let them
    // pass until exec; so `where` runs with them blocked, and cannot be
    // stopped by Ctrl+Z, which costs a lookup nothing.
    sigset_t stops;
    sigset_t restored;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTSTP);
    sigaddset(&stops, SIGTTIN);
    sigaddset(&stops, SIGTTOU);
    sigemptyset(&restored);
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
      if (resets_to_default(signal_number, SIG_IGN)) sigaddset(&restored, signal_number);
    }
    if (const int error = ::posix_spawnattr_setsigmask(&attributes_, &stops)) return error;
    if (const int error = ::posix_spawnattr_setsigdefault(&attributes_, &restored)) return error;
    int flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (own_group) {
      if (const int error = ::posix_spawnattr_setpgroup(&attributes_, 0)) return error;
      flags |= POSIX_SPAWN_SETPGROUP;
    }
#if defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
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
  int add_streams(const StartPlan& plan) noexcept {
    // Standard input reads end of file at once; the two outputs go to the
    // pipes. The originals of the pipe ends are close-on-exec and vanish.
    // The null device is opened read-write, as subprocess opens it: a
    // read-only open of one that a broken container made a FIFO never
    // returns.
    if (const int error =
            ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDWR, 0)) {
      return error;
    }
    if (const int error = ::posix_spawn_file_actions_adddup2(&actions_, plan.out_fd, 1)) {
      return error;
    }
    if (const int error = ::posix_spawn_file_actions_adddup2(&actions_, plan.err_fd, 2)) {
      return error;
    }
    // Only the three standard streams may reach the child: a descriptor that
    // the host made inheritable would otherwise stay open in `where`, and a
    // slow `where` would hold the host's pipe open with it.
#if defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
    return 0;  // a flag, set with the others
#elif defined(__FreeBSD__)
    return ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
#elif defined(__linux__)
    if (range_close_possible()) {
      return ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
    }
    return add_inheritable_closes(actions_);
#else
#error "no way to keep the host's inheritable descriptors from the child on this system"
#endif
  }

  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attributes_{};
  bool have_actions_ = false;
  bool have_attributes_ = false;
};

OsFailure spawn(const StartPlan& plan, bool own_group, pid_t& pid) noexcept {
  SpawnSetup setup;
  if (const int error = setup.init(plan, own_group)) {
    return OsFailure{"setting up posix_spawn", static_cast<std::uint32_t>(error)};
  }
  // The C library reports the child's failure (exec included) as the
  // spawn's, without its step.
  const int error =
      ::posix_spawn(&pid, plan.program, setup.actions(), setup.attributes(), plan.argv, plan.envp);
  if (error != 0) return OsFailure{"posix_spawn", static_cast<std::uint32_t>(error)};
  return OsFailure{};
}

}  // namespace

bool spawn_runs_fork_handlers() noexcept {
#if defined(__GLIBC__) && !(__GLIBC__ > 2 || __GLIBC_MINOR__ >= 24)
  unsigned major = 0;
  unsigned minor = 0;
  std::sscanf(::gnu_get_libc_version(), "%u.%u", &major, &minor);
  return major < 2 || (major == 2 && minor < 24);
#else
  return false;
#endif
}

OsFailure start_with_spawn(const StartPlan& plan, Started& started) noexcept {
  started = Started{};
  pid_t pid = -1;
  const OsFailure failure = spawn(plan, plan.own_group, pid);
  if (!failure) {
    started = Started{pid, plan.own_group};
    return failure;
  }
  if (!plan.own_group) return failure;
  // A sandbox that refuses setpgid fails the whole spawn with its refusal
  // (EPERM or ENOSYS); only then may the group be the cause, and a start
  // without it loses no more than the kill of what `where` started when a
  // lookup is stopped. Any other error is the start's own.
  if (failure.code != EPERM && failure.code != ENOSYS) return failure;
  if (const OsFailure retry = spawn(plan, false, pid)) return retry;
  started = Started{pid, false};
  return OsFailure{};
}

}  // namespace kelvar::lookup::posix
