// The started child: watched for its exit, killed and reaped (with what it
// started, where it leads a group) on every way out that does not reap it.
#pragma once

#include <sys/types.h>

#include "lookup/posix/fd.h"
#include "lookup/posix/start.h"

namespace kelvar::lookup::posix {

// Waits for the exit of `pid` (blocking, or not), as waitpid does: its pid
// with the status stored, 0 while it runs, -1 with errno set. A sandbox may
// refuse wait4, which waitpid is made of; waitid is asked then, so that
// the child is reaped all the same (no zombie per lookup) and its status
// kept. Only when both are refused is it left unreaped.
pid_t reap(pid_t pid, int& status, bool block) noexcept;

class Child {
 public:
  explicit Child(const Started& started) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { kill_and_reap(); }

  void kill_and_reap() noexcept;

  // Polls readable once the child has exited (a pidfd); empty where the
  // system has none or refuses it.
  const UniqueFd& exit_watch() const noexcept { return watch_; }

  // 1 when the child was reaped (its status stored), 0 when it still runs
  // or the wait was interrupted, -1 with errno set when waiting failed (the
  // child is then still killed and reaped as far as the system lets us).
  int try_reap(int& status) noexcept;

 private:
  bool still_ours() const noexcept;

  pid_t pid_;
  bool own_group_;
  UniqueFd watch_;
};

}  // namespace kelvar::lookup::posix
