#include "lookup/posix/fork_guard.h"

#include <pthread.h>

namespace kelvar::lookup::posix {
namespace {

// A lock that forks take for writing and lookups for reading. Writers come
// first where the C library lets us say so (glibc): without that, lookups
// that follow one another on several threads would keep a fork waiting
// for as long as they go on.
bool make_lock(pthread_rwlock_t& lock) noexcept {
  pthread_rwlockattr_t attributes;
  if (::pthread_rwlockattr_init(&attributes) != 0) return false;
#if defined(__GLIBC__)
  ::pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
#endif
  const bool made = ::pthread_rwlock_init(&lock, &attributes) == 0;
  ::pthread_rwlockattr_destroy(&attributes);
  return made;
}

// The one process-wide value of the runner. Made on the first lookup, and
// registered with the C library's fork before any lookup takes it: a fork
// handler registered later than a lookup's read would let that fork
// through.
class ForkGuard {
 public:
  static ForkGuard& instance() noexcept {
    static ForkGuard guard;
    return guard;
  }

  // False when the guard could not be set up: the lookup then runs
  // unguarded, losing only the promise about forks on other threads.
  bool enter() noexcept { return active_ && ::pthread_rwlock_rdlock(&lock_) == 0; }
  void leave() noexcept { ::pthread_rwlock_unlock(&lock_); }

 private:
  ForkGuard() noexcept {
    active_ = make_lock(lock_) &&
              ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child) == 0;
  }

  // Runs in the forking thread before the C library takes its own locks,
  // so a lookup that holds forks back never waits for this one (it needs none
  // of those locks, and not the interpreter's lock either). It cannot wait
  // for itself: the forking thread holds no read lock, since a hold
  // blocks every signal and so no handler on its thread forks within it,
  // and the one start that forks to spawn is made after its release.
  static void before_fork() noexcept { ::pthread_rwlock_wrlock(&instance().lock_); }
  static void after_fork_in_parent() noexcept { ::pthread_rwlock_unlock(&instance().lock_); }
  // The threads that waited for the lock in the parent do not exist here,
  // yet the lock still counts them as waiting readers, and the next fork in
  // this process would wait for them forever: a fresh lock is the only sound
  // state.
  static void after_fork_in_child() noexcept { make_lock(instance().lock_); }

  pthread_rwlock_t lock_{};
  bool active_ = false;
};

}  // namespace

ForksHeldBack::ForksHeldBack() noexcept {
  ForkGuard& guard = ForkGuard::instance();
  // A signal handler that forked on this thread while it holds the read
  // lock would wait for itself forever in the fork's prepare handler.
  sigset_t all;
  sigfillset(&all);
  masked_ = ::pthread_sigmask(SIG_SETMASK, &all, &previous_) == 0;
  holds_ = guard.enter();
}

void ForksHeldBack::release() noexcept {
  if (holds_) ForkGuard::instance().leave();
  holds_ = false;
  if (masked_) ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  masked_ = false;
}

}  // namespace kelvar::lookup::posix
