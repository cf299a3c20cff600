// When a runner asks its caller whether to abandon a child: on every wake-up
// that the wait itself did not cause by output, and otherwise at least once
// per interval, so that a child that writes without pause cannot starve the
// check.
#pragma once

#include <chrono>

#include "lookup/process.h"

namespace kelvar::lookup {

// The longest a runner sleeps in one wait, and so the longest between checks.
inline constexpr std::chrono::milliseconds stop_check_interval{100};

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
