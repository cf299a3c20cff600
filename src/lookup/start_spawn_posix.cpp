// Starting the child with posix_spawn: everywhere but Linux, and on Linux
// when a sandbox refuses vfork. The C library then does the steps before
// exec, so the child cannot be tied to the life of its parent.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include "lookup/start_posix.h"

#if defined(__linux__)
#include <dirent.h>

#include <cstdlib>
#endif

#if defined(__linux__) && !(defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34))
// Declared weak: a C library from before 2.34 lacks it, and the address then
// reads as null instead of failing the load.
extern "C" int posix_spawn_file_actions_addclosefrom_np(posix_spawn_file_actions_t*, int)
    __attribute__((weak));
#endif

namespace kelvar::lookup::posix {

#if defined(__linux__)
// A close for every descriptor open now without close-on-exec. One that
// another thread makes inheritable after this list is taken still reaches
// the child: the price of a C library that cannot close a range itself.
// A close of a descriptor gone meanwhile is no error to posix_spawn.
int add_inheritable_closes(posix_spawn_file_actions_t& actions) noexcept {
  DIR* open_fds = ::opendir("/proc/self/fd");
  if (open_fds == nullptr) return 0;
  const int own = ::dirfd(open_fds);
  int error = 0;
  while (const dirent* entry = ::readdir(open_fds)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd <= STDERR_FILENO || fd == own) continue;
    const int flags = ::fcntl(static_cast<int>(fd), F_GETFD);
    if (flags < 0 || (flags & FD_CLOEXEC) != 0) continue;
    error = ::posix_spawn_file_actions_addclose(&actions, static_cast<int>(fd));
    if (error != 0) break;
  }
  ::closedir(open_fds);
  return error;
}
#endif

namespace {

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

    // An interpreter ignores SIGPIPE and may block signals in its threads;
    // both would be inherited through exec, so the child starts clean.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    if (const int error = ::posix_spawnattr_setsigmask(&attributes_, &none)) return error;
    if (const int error = ::posix_spawnattr_setsigdefault(&attributes_, &all)) return error;
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
    if (const int error =
            ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0)) {
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
#elif defined(__FreeBSD__) || (defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34))
    return ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
#elif defined(__linux__)
    // Built against a C library older than the call (as a wheel for old
    // systems is): use it where the running one has it.
    if (&::posix_spawn_file_actions_addclosefrom_np != nullptr) {
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

int spawn(const StartPlan& plan, bool own_group, pid_t& pid) noexcept {
  SpawnSetup setup;
  if (const int error = setup.init(plan, own_group)) return error;
  return ::posix_spawn(&pid, plan.program, setup.actions(), setup.attributes(), plan.argv,
                       plan.envp);
}

}  // namespace

int start_with_spawn(const StartPlan& plan, Started& started) noexcept {
  started = Started{};
  pid_t pid = -1;
  // A sandbox may refuse setpgid, which fails the whole spawn; without the
  // group only the early end of a lookup whose pipe a stranger holds is lost.
  if (spawn(plan, true, pid) == 0) {
    started = Started{pid, true};
    return 0;
  }
  if (const int error = spawn(plan, false, pid)) return error;
  started = Started{pid, false};
  return 0;
}

#if !defined(__linux__)
int start_child(const StartPlan& plan, Started& started) noexcept {
  return start_with_spawn(plan, started);
}
#endif

}  // namespace kelvar::lookup::posix
