// What the two process runners share: how a failed step is kept, how a
// drain of the captured streams ends, and when the caller is asked whether
// to abandon the child.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "lookup/process.h"

namespace kelvar::lookup {

// The longest a runner sleeps in one wait, and so the longest between checks.
inline constexpr std::chrono::milliseconds stop_check_interval{100};

// A step of the runner that failed: what it was for, and the system's own
// error code for it (errno on POSIX, GetLastError() on Windows), as
// CPython's and libuv's child starts keep theirs. A plain value, so that a
// step may record it where nothing may allocate (a vfork child).
struct SystemError {
  const char* step = nullptr;  // a literal; null for no error
  std::uint32_t code = 0;

  explicit operator bool() const noexcept { return step != nullptr; }
};

// "step: the system's message (os error N)", in the platform's words
// (posix/fd.cpp, windows/system.cpp).
std::string describe(const SystemError& error);

// A run that ended at `error`: one that could not be started, set up,
// read or waited for. Every such failure leaves the name to the table.
inline RunResult failed_run(const SystemError& error) {
  RunResult result;
  result.status = RunStatus::failed;
  result.error = describe(error);
  return result;
}

// How draining both captured streams ended.
enum class Drained {
  ended,    // both streams reached their end
  stopped,  // the stop check asked to abandon the child
  broken,   // a wait or a read failed; the run's error says which
};

// When a runner asks its caller whether to abandon a child: on every wake-up
// that the wait itself did not cause by output, and otherwise at least once
// per interval, so that a child that writes without pause cannot starve the
// check.
class StopPolicy {
 public:
  explicit StopPolicy(const StopCheck& check) : check_(check), last_(Clock::now()) {}

  // After a wait that timed out or was interrupted: always ask.
  bool ask() {
    last_ = Clock::now();
    return check_ && check_();
  }

  // After a wait that output ended: ask only when the interval has run out.
  bool ask_if_due() {
    if (Clock::now() - last_ < stop_check_interval) return false;
    return ask();
  }

 private:
  using Clock = std::chrono::steady_clock;
  const StopCheck& check_;
  Clock::time_point last_;
};

inline RunResult stopped_result() {
  RunResult result;
  result.status = RunStatus::stopped;
  return result;
}

}  // namespace kelvar::lookup
