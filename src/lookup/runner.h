// What the two process runners share: the results a run ends with, what a
// drain of the captured streams comes to, and when the caller is asked
// whether to abandon the child.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "lookup/process.h"

namespace kelvar::lookup {

// The longest a runner sleeps in one wait, and so the longest between checks.
inline constexpr std::chrono::milliseconds stop_check_interval{100};

// A run that ended at `failure`: one that could not be started, set up,
// read or waited for. Every such failure leaves the name to the table.
inline RunResult failed_run(const OsFailure& failure) {
  RunResult result;
  result.status = RunStatus::failed;
  result.failure = failure;
  return result;
}

// A run that the stop check abandoned; its child has been killed and reaped
// by the time the runner returns it.
inline RunResult stopped_run() {
  RunResult result;
  result.status = RunStatus::stopped;
  return result;
}

// Both captured streams, read to their end.
struct Captured {
  std::string out;
  std::string err;
};

// A drain reads both streams to their end, or the run ends within it
// (stopped, or failed at a wait or a read): its outcome is the one or the
// other, in the run's own words.
using DrainOutcome = std::variant<Captured, RunResult>;

// The run of a child that was reaped with `exit_code` after printing
// `captured`.
inline RunResult completed_run(std::uint32_t exit_code, Captured&& captured) {
  RunResult result;
  result.status = RunStatus::completed;
  result.exit_code = exit_code;
  result.out = std::move(captured.out);
  result.err = std::move(captured.err);
  return result;
}

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

}  // namespace kelvar::lookup
