// The process runner on POSIX systems: no shell, both output streams through
// close-on-exec pipes read with poll(). A run is three steps: start `where`,
// drain both streams, wait for its exit.

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "lookup/child_posix.h"
#include "lookup/fd_posix.h"
#include "lookup/process.h"
#include "lookup/start_posix.h"
#include "lookup/stop_policy.h"

namespace kelvar::lookup {
namespace {

using posix::Child;
using posix::failure;
using posix::GroupState;
using posix::UniqueFd;

using Micros = std::chrono::microseconds;

std::uint32_t exit_code_of(int status) noexcept {
  if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
  // Killed by a signal: reported as a shell would, 128 plus the signal number.
  if (WIFSIGNALED(status)) return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
  return 255u;
}

void nap(Micros length) noexcept {
  timespec request{};
  request.tv_sec = static_cast<std::time_t>(length.count() / 1000000);
  request.tv_nsec = static_cast<long>((length.count() % 1000000) * 1000);
  // An interrupted nap is not resumed: the caller asks whether to stop.
  ::nanosleep(&request, nullptr);
}

std::vector<char*> c_strings(const std::vector<std::string>& strings) {
  // execve takes `char* const[]` for historical reasons and writes nothing.
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// Reads both pipes until they end, or until `where` and everything it
// started have exited: a process the host forked while a pipe was open holds
// a copy of its write end, and its end of file would wait for that stranger.
class Drain {
 public:
  Drain(posix::Pipe& out, posix::Pipe& err, RunResult& result, Child& child, StopPolicy& stop)
      : streams_{&out.read_end, &err.read_end},
        sinks_{&result.out, &result.err},
        child_(child),
        stop_(stop),
        watch_exit_(true),
        buffer_(64 * 1024) {}  // on the heap: the caller may be a thread with a small stack

  // 0 when drained, 1 when asked to stop, or an error result in `broken`.
  int run(RunResult& broken);

 private:
  bool open() const noexcept { return *streams_[0] || *streams_[1]; }
  int read_ready(const pollfd* watched, const std::size_t* source, nfds_t count, RunResult& broken);
  int read_what_is_there(RunResult& broken);
  int after_exit(RunResult& broken, bool& done);

  UniqueFd* streams_[2];
  std::string* sinks_[2];
  Child& child_;
  StopPolicy& stop_;
  bool watch_exit_;             // false once the group cannot be told or the streams have ended
  Micros recheck_ = Micros(0);  // between looks at a group that still has members
  std::vector<char> buffer_;
};

int Drain::read_ready(const pollfd* watched, const std::size_t* source, nfds_t count,
                      RunResult& broken) {
  for (nfds_t k = 0; k < count; ++k) {
    if (watched[k].revents == 0) continue;
    UniqueFd& stream = *streams_[source[k]];
    const ssize_t got = ::read(stream.get(), buffer_.data(), buffer_.size());
    if (got > 0) {
      sinks_[source[k]]->append(buffer_.data(), static_cast<std::size_t>(got));
    } else if (got == 0) {
      stream.reset();
    } else if (errno != EINTR && errno != EAGAIN) {
      broken.status = RunStatus::read_error;
      broken.error = "read: " + posix::describe_errno(errno);
      return -1;
    }
  }
  return 0;
}

// Reads what the pipes hold now, without waiting for more.
int Drain::read_what_is_there(RunResult& broken) {
  while (open()) {
    pollfd watched[2];
    std::size_t source[2];
    nfds_t count = 0;
    for (std::size_t i = 0; i < 2; ++i) {
      if (*streams_[i]) watched[count] = pollfd{streams_[i]->get(), POLLIN, 0}, source[count++] = i;
    }
    const int ready = ::poll(watched, count, 0);
    if (ready == 0) return 0;
    if (ready < 0 && errno != EINTR) {
      broken = failure("poll", errno);
      return -1;
    }
    if (ready > 0 && read_ready(watched, source, count, broken) != 0) return -1;
    if (stop_.ask_if_due()) return 1;
  }
  return 0;
}

// `where` has exited and the pipes are still open: the run is over once no
// process of its group remains, after what they wrote has been read.
int Drain::after_exit(RunResult& broken, bool& done) {
  if (const int outcome = read_what_is_there(broken)) return outcome;
  if (!open()) return 0;
  const GroupState group = child_.group_state();
  if (group == GroupState::unknown) {
    watch_exit_ = false;  // wait for the end of file, as the pipes say
  } else if (group == GroupState::empty) {
    done = true;
    return read_what_is_there(broken);
  } else {
    // Its descendants still run; look again soon, then less often.
    recheck_ = std::clamp(recheck_ * 2, Micros(1000), Micros(50 * 1000));
  }
  return 0;
}

int Drain::run(RunResult& broken) {
  bool done = false;
  while (open() && !done) {
    pollfd watched[3];
    std::size_t source[2];
    nfds_t count = 0;
    for (std::size_t i = 0; i < 2; ++i) {
      if (*streams_[i]) watched[count] = pollfd{streams_[i]->get(), POLLIN, 0}, source[count++] = i;
    }
    const nfds_t streams = count;
    const bool exit_polled = watch_exit_ && recheck_.count() == 0 && child_.exit_watch();
    if (exit_polled) watched[count++] = pollfd{child_.exit_watch().get(), POLLIN, 0};
    const auto wait =
        recheck_.count() > 0
            ? std::chrono::duration_cast<std::chrono::milliseconds>(recheck_ + Micros(999))
            : stop_check_interval;

    const int ready = ::poll(watched, count, static_cast<int>(wait.count()));
    if (ready < 0 && errno != EINTR) {
      broken = failure("poll", errno);
      return -1;
    }
    if (ready > 0 && read_ready(watched, source, streams, broken) != 0) return -1;
    const bool exited = exit_polled ? watched[streams].revents != 0
                                    : watch_exit_ && ready == 0 && child_.has_exited();
    if (exited) {
      if (const int outcome = after_exit(broken, done)) return outcome;
    }
    // A timed-out wait always asks, unless it was only a short one before
    // looking at the group again.
    const bool ask_now = ready < 0 || (ready == 0 && recheck_.count() == 0);
    if (ask_now ? stop_.ask() : stop_.ask_if_due()) return 1;
  }
  return 0;
}

// Both streams ended, which as a rule means the child is exiting, though not
// always yet: the pipes close before the exit is complete. Its exit is waited
// for on a pidfd, which wakes the moment it happens (a nap would add its
// whole length to every lookup); without one, with growing naps. One that
// closed its streams and goes on running is waited for all the same, still
// asking whether to stop.
RunResult wait_for_exit(Child& child, StopPolicy& stop, RunResult result) {
  const UniqueFd& exit_watch = child.exit_watch();
  auto pause = Micros(100);
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
      pause = std::min(pause * 2, Micros(50 * 1000));
    }
    if (interrupted ? stop.ask() : stop.ask_if_due()) return stopped_result();
  }
}

}  // namespace

RunResult run(const PreparedRun& prepared, const StopCheck& should_stop) {
  if (prepared.argv.empty()) return failure("spawn", EINVAL);

  posix::Pipe out;
  posix::Pipe err;
  if (const int error = posix::make_pipe(out)) return failure("pipe", error);
  if (const int error = posix::make_pipe(err)) return failure("pipe", error);

  // 1. Start.
  std::vector<char*> argv = c_strings(prepared.argv);
  std::vector<char*> envp = c_strings(prepared.environment);
  const posix::StartPlan plan{prepared.program.c_str(), argv.data(), envp.data(),
                              out.write_end.get(), err.write_end.get()};
  posix::Started started;
  if (const int error = posix::start_child(plan, started)) return failure("spawn", error);
  Child child(started);  // kills and reaps on every way out that does not reap
  // Only the child may hold the write ends, or end of file never comes.
  out.write_end.reset();
  err.write_end.reset();

  // 2. Drain both streams.
  RunResult result;
  StopPolicy stop(should_stop);
  Drain drain(out, err, result, child, stop);
  RunResult broken;
  if (const int outcome = drain.run(broken)) return outcome > 0 ? stopped_result() : broken;

  // 3. Wait for the exit.
  return wait_for_exit(child, stop, std::move(result));
}

}  // namespace kelvar::lookup
