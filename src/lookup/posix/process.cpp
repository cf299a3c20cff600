// The process runner on POSIX systems: no shell, both output streams through
// close-on-exec pipes read with poll(). A run is three steps: start `where`,
// drain both streams to their end, wait for its exit; it ends on those facts
// alone, as subprocess.run does.

#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "lookup/posix/child.h"
#include "lookup/posix/fd.h"
#include "lookup/posix/fork_guard.h"
#include "lookup/posix/start.h"
#include "lookup/process.h"
#include "lookup/runner.h"

namespace kelvar::lookup {
namespace {

using posix::Child;
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

// Reads both pipes to their end, as subprocess.run does: what `where` and
// anything it started write is read for as long as one of them holds a
// write end. No process of the host's holds one (see ForksHeldBack), so the
// end of file is theirs; no rule guesses from /proc that they have gone,
// since /proc may not show a process that still writes.
class Drain {
 public:
  Drain(posix::Pipe& out, posix::Pipe& err, StopPolicy& stop)
      : streams_{&out.read_end, &err.read_end},
        stop_(stop),
        buffer_(64 * 1024) {}  // on the heap: the caller may be a thread with a small stack

  DrainOutcome run();

 private:
  bool open() const noexcept { return *streams_[0] || *streams_[1]; }
  OsFailure read_ready(const pollfd* watched, const std::size_t* source, nfds_t count);

  UniqueFd* streams_[2];
  Captured captured_;
  StopPolicy& stop_;
  std::vector<char> buffer_;
};

// A read that failed, or no failure.
OsFailure Drain::read_ready(const pollfd* watched, const std::size_t* source, nfds_t count) {
  for (nfds_t k = 0; k < count; ++k) {
    if (watched[k].revents == 0) continue;
    UniqueFd& stream = *streams_[source[k]];
    const ssize_t got = ::read(stream.get(), buffer_.data(), buffer_.size());
    if (got > 0) {
      std::string& sink = source[k] == 0 ? captured_.out : captured_.err;
      sink.append(buffer_.data(), static_cast<std::size_t>(got));
    } else if (got == 0) {
      stream.reset();
    } else if (errno != EINTR && errno != EAGAIN) {
      // A pipe that cannot be read (EIO, say) is a failure of the run like
      // any other: the lookup falls back, and the child is killed and
      // reaped on the way out.
      return OsFailure{"read", static_cast<std::uint32_t>(errno)};
    }
  }
  return OsFailure{};
}

DrainOutcome Drain::run() {
  while (open()) {
    pollfd watched[2];
    std::size_t source[2];
    nfds_t count = 0;
    for (std::size_t i = 0; i < 2; ++i) {
      if (*streams_[i]) watched[count] = pollfd{streams_[i]->get(), POLLIN, 0}, source[count++] = i;
    }
    const int ready = ::poll(watched, count, static_cast<int>(stop_check_interval.count()));
    if (ready < 0 && errno != EINTR) {
      return failed_run({"poll", static_cast<std::uint32_t>(errno)});
    }
    if (ready > 0) {
      if (const OsFailure failure = read_ready(watched, source, count)) return failed_run(failure);
    }
    // A wait that timed out or was interrupted always asks; one that output
    // ended asks once the interval has run out, so a flood cannot starve it.
    if (ready > 0 ? stop_.ask_if_due() : stop_.ask()) return stopped_run();
  }
  return std::move(captured_);
}

// Both streams ended, which as a rule means the child is exiting, though not
// always yet: the pipes close before the exit is complete. Its exit is waited
// for on a pidfd, which wakes the moment it happens (a nap would add its
// whole length to every lookup); without one, with growing naps. One that
// closed its streams and goes on running is waited for all the same, still
// asking whether to stop.
RunResult wait_for_exit(Child& child, StopPolicy& stop, Captured captured) {
  const UniqueFd& exit_watch = child.exit_watch();
  auto pause = Micros(100);
  for (;;) {
    int status = 0;
    const int reaped = child.try_reap(status);
    if (reaped < 0) return failed_run({"waitpid", static_cast<std::uint32_t>(errno)});
    if (reaped > 0) return completed_run(exit_code_of(status), std::move(captured));
    bool interrupted = true;
    if (exit_watch) {
      pollfd exited{exit_watch.get(), POLLIN, 0};
      interrupted =
          ::poll(&exited, 1, static_cast<int>(stop_check_interval.count())) < 0 && errno == EINTR;
    } else {
      nap(pause);
      pause = std::min(pause * 2, Micros(50 * 1000));
    }
    if (interrupted ? stop.ask() : stop.ask_if_due()) return stopped_run();
  }
}

}  // namespace

ChildGroup group_for_this_thread() noexcept {
#if defined(__linux__)
  return ::syscall(SYS_gettid) == ::getpid() ? ChildGroup::own : ChildGroup::callers;
#elif defined(__APPLE__)
  return ::pthread_main_np() != 0 ? ChildGroup::own : ChildGroup::callers;
#else
  return ChildGroup::own;
#endif
}

RunResult run(const PreparedRun& prepared, const StopCheck& should_stop, ChildGroup group) {
  if (prepared.argv.empty()) return failed_run({"preparing the arguments", EINVAL});
  // Built before the hold below, which is kept as short as it can be: a
  // fork on another thread waits for it.
  std::vector<char*> argv = c_strings(prepared.argv);
  std::vector<char*> envp = c_strings(prepared.environment);

  // 1. Start, from the making of the pipes to the close of the parent's
  // write ends while forks through the C library on other threads are held
  // back: a process forked then without exec would hold a write end, and
  // the end of file would wait for it.
  posix::ForksHeldBack forks;
  posix::Pipe out;
  posix::Pipe err;
  for (posix::Pipe* pipe : {&out, &err}) {
    if (const int error = posix::make_pipe(*pipe)) {
      return failed_run({"pipe", static_cast<std::uint32_t>(error)});
    }
  }
  const posix::StartPlan plan{.program = prepared.program.c_str(),
                              .argv = argv.data(),
                              .envp = envp.data(),
                              .out_fd = out.write_end.get(),
                              .err_fd = err.write_end.get(),
                              .own_group = group == ChildGroup::own};
  posix::Started started;
  OsFailure failure = posix::start_with_vfork(plan, started);
  if (posix::vfork_refused(failure)) {
    // A C library that forks to spawn (glibc before 2.24) runs the fork
    // handlers, and ours would wait for this very hold: it is released
    // first there, and a fork on another thread may copy the pipes until
    // they are closed below, the price of such a library in a sandbox that
    // refuses vfork.
    if (posix::spawn_runs_fork_handlers()) forks.release();
    failure = posix::start_with_spawn(plan, started);
  }
  if (failure) return failed_run(failure);
  Child child(started);  // kills and reaps on every way out that does not reap
  // Only `where` and what it starts may hold the write ends now; the hold
  // ends after their close, not before, or a fork could still copy them.
  out.write_end.reset();
  err.write_end.reset();
  forks.release();

  // 2. Drain both streams, 3. wait for the exit.
  StopPolicy stop(should_stop);
  DrainOutcome drained = Drain(out, err, stop).run();
  if (RunResult* ended = std::get_if<RunResult>(&drained)) return std::move(*ended);
  return wait_for_exit(child, stop, std::get<Captured>(std::move(drained)));
}

}  // namespace kelvar::lookup
