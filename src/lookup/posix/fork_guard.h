// Holding back forks on other threads while a lookup's pipes have their
// write ends in the parent.
#pragma once

#include <signal.h>

namespace kelvar::lookup::posix {

// Forks that other threads start through the C library, held back for as
// long as it is held: from just before a lookup's pipes are made to just
// after the parent has closed its write ends. Such a fork waits in its
// prepare handler until every hold has ended, so the copy it makes holds no
// write end, and the reader's end of file never waits for a process that
// has nothing to do with `where`. The thread that holds it has every signal
// blocked meanwhile: a handler that forked on it would wait for its own
// hold. While it is held, nothing on this thread may fork through a path
// that runs the fork handlers (fork itself, and posix_spawn with glibc
// before 2.24, which forks to spawn; vfork runs none), nor take a lock that
// a forking thread may hold, the interpreter's included. Only the one who
// holds it releases it.
class ForksHeldBack {
 public:
  ForksHeldBack() noexcept;
  ForksHeldBack(const ForksHeldBack&) = delete;
  ForksHeldBack& operator=(const ForksHeldBack&) = delete;
  ~ForksHeldBack() { release(); }

  // Lets them go early; the destructor then does nothing.
  void release() noexcept;

 private:
  bool holds_ = false;
  bool masked_ = false;
  sigset_t previous_{};
};

}  // namespace kelvar::lookup::posix
