// The POSIX process runner: descriptors of the host, programs that cannot
// start, children that are stopped or outlive their streams.
#ifndef _WIN32

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "lookup/posix/fork_guard.h"
#include "lookup/process.h"
#include "posix_test_support.h"

namespace fs = std::filesystem;
using namespace kelvar::lookup;
using namespace kelvar_test::posix;

#ifdef __linux__
// Puts an inheritable descriptor of a marker file on `number` (0 closes
// it instead) for the scope of a test, and restores what was there.
class HostDescriptor {
 public:
  HostDescriptor(int number, const std::string& marker) : number_(number) {
    saved_ = ::fcntl(number, F_DUPFD_CLOEXEC, 100);
    if (number == 0) {
      ::close(0);
      return;
    }
    const int fd = ::open(marker.c_str(), O_RDONLY);
    ::dup2(fd, number);
    if (fd != number) ::close(fd);
  }
  HostDescriptor(const HostDescriptor&) = delete;
  HostDescriptor& operator=(const HostDescriptor&) = delete;
  ~HostDescriptor() {
    if (saved_ >= 0) {
      ::dup2(saved_, number_);
      ::close(saved_);
    } else if (number_ != 0) {
      ::close(number_);
    }
  }

 private:
  int number_;
  int saved_;
};

std::set<std::string> pipes_open() {
  std::set<std::string> fds;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    if (fs::read_symlink(entry.path(), ignored).string().rfind("pipe:", 0) == 0)
      fds.insert(entry.path().filename().string());
  }
  return fds;
}

// The run's own pipe ends, seen from inside the run: each must be
// close-on-exec, or a child that another thread starts would hold them.
bool new_pipes_close_on_exec(const std::set<std::string>& before) {
  for (const std::string& fd : pipes_open()) {
    if (before.count(fd) != 0) continue;
    std::istringstream info(read_file("/proc/self/fdinfo/" + fd));
    std::string field, flags;
    while (info >> field >> flags && field != "flags:") {
    }
    if (field != "flags:" || (std::stoul(flags, nullptr, 8) & O_CLOEXEC) == 0) return false;
  }
  return true;
}

TEST_CASE(the_child_inherits_no_descriptor_of_the_host_and_none_leaks) {
  // The pipes of the child's stdout and stderr appear once each, on 1 and 2;
  // an inheritable descriptor of the host's, whatever its number, not at all.
  Fakes fakes;
  fakes.add("kelvar-fds", list_fds_body);
  fakes.add("kelvar-sleep", sleeper_body);
  fakes.add("kelvar-nap", "sleep 0.25");
  const std::string marker = file_at(fakes.dir / "marker", "", 0644);
  const auto count_fds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
  // 0: with the host's standard input closed, the run's own descriptors
  // may take that number.
  for (const int host_fd : {3, 4, 70, 0}) {
    HostDescriptor host(host_fd, marker);
    const auto before = count_fds();
    const RunResult result = fakes.run("kelvar-fds", "");
    std::map<std::string, std::string> target_of;
    std::istringstream lines(result.out);
    for (std::string fd, target; lines >> fd >> target;) target_of[fd] = target;
    CHECK(target_of["1"].rfind("pipe:", 0) == 0 && target_of["2"].rfind("pipe:", 0) == 0);
    CHECK(target_of["1"] != target_of["2"]);
    for (const auto& [fd, target] : target_of) {
      CHECK(target != marker);
      if (fd != "1" && fd != "2") CHECK(target != target_of["1"] && target != target_of["2"]);
    }
    const std::set<std::string> pipes = pipes_open();
    bool checked = false;
    fakes.run("kelvar-nap", "", [&] { return !(checked = new_pipes_close_on_exec(pipes)); });
    CHECK(checked);

    // Every way out closes what it opened: completed, failed, stopped.
    for (int i = 0; i < 5; ++i) CHECK_EQ(fakes.run("kelvar-fds", "").status, RunStatus::completed);
    PreparedRun missing{fakes.dir / "missing", {"missing", "x"}, {}};
    for (int i = 0; i < 3; ++i) CHECK(could_not_start(run(missing, StopCheck())));
    const std::string pid_file = fakes.dir / ("pid" + std::to_string(host_fd));
    CHECK_EQ(fakes.run("kelvar-sleep", pid_file, [&] { return pid_in(pid_file) != 0; }).status,
             RunStatus::stopped);
    CHECK_EQ(count_fds(), before);
  }
}

TEST_CASE(a_run_in_the_callers_group_stays_there_and_a_stop_kills_the_child_alone) {
  // The group of a run off the main thread: the caller's, so that signals
  // to that group (a terminal's Ctrl+C) reach the child; its own group is
  // what lets a stop kill what the child started, and the main thread's
  // runs get one.
  Fakes fakes;
  fakes.add("kelvar-group", "ps_field() { set -- $(cat /proc/$$/stat); echo \"$5\"; }; ps_field");
  CHECK_EQ(fakes.run("kelvar-group", "", StopCheck(), ChildGroup::callers).out,
           std::to_string(::getpgrp()) + "\n");
  const RunResult own = fakes.run("kelvar-group", "", StopCheck(), ChildGroup::own);
  CHECK(own.out != std::to_string(::getpgrp()) + "\n" && !own.out.empty());
  CHECK(group_for_this_thread() == ChildGroup::own);  // the test's main thread
  ChildGroup elsewhere = ChildGroup::own;
  std::thread([&] { elsewhere = group_for_this_thread(); }).join();
  CHECK(elsewhere == ChildGroup::callers);

  fakes.add("kelvar-parent", "sh -c '" + sleeper_body + "' sh \"$1\" & wait");
  const std::string pid_file = fakes.dir / "pid";
  const RunResult stopped = fakes.run(
      "kelvar-parent", pid_file, [&] { return pid_in(pid_file) != 0; }, ChildGroup::callers);
  CHECK_EQ(stopped.status, RunStatus::stopped);
  const pid_t sleeper = pid_in(pid_file);
  ::usleep(100 * 1000);
  CHECK(!ended(sleeper));  // what the child started runs on: the price of no group
  ::kill(sleeper, SIGKILL);
}

TEST_CASE(a_fork_is_not_starved_by_lookups_back_to_back) {
  // Writers first: holds that follow one another on several threads
  // without a gap must not keep a fork waiting for as long as they go on.
  std::atomic<bool> done{false};
  std::vector<std::thread> lookups;
  for (int t = 0; t < 4; ++t) {
    lookups.emplace_back([&] {
      while (!done) {
        kelvar::lookup::posix::ForksHeldBack forks;
        ::usleep(2000);
      }
    });
  }
  // Without writers first, the fork would wait until the holds end: they
  // end after 3 s whatever happens, so that the case fails, not hangs.
  std::thread bound([&] {
    for (int i = 0; i < 300 && !done; ++i) ::usleep(10 * 1000);
    done = true;
  });
  ::usleep(50 * 1000);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  const auto waited = std::chrono::steady_clock::now() - start;
  done = true;
  bound.join();
  for (std::thread& lookup : lookups) lookup.join();
  int status = 0;
  ::waitpid(child, &status, 0);
  // A hold lasts 2 ms; a fork that readers starve waits until `done`.
  CHECK(waited < std::chrono::milliseconds(500));
}
#endif

TEST_CASE(a_missing_or_unrunnable_program_fails) {
  // Each failed start names its step and the system's error, and leaves no
  // child behind: the one whose exec failed has been reaped.
  TempDir dir;
  file_at(dir / "not-executable", "#!/bin/sh\n", 0644);
  file_at(dir / "no-format",
          "\x7f"
          "ELF garbage",
          0755);
  file_at(dir / "bad-interpreter", "#!/nonexistent/interpreter\n", 0755);
  const struct {
    std::string program;
    int code;
  } rows[] = {
      {dir / "missing", ENOENT},         {dir.path, EACCES},
      {dir / "not-executable", EACCES},  {dir / "no-format", ENOEXEC},
      {dir / "bad-interpreter", ENOENT},
  };
  for (const auto& row : rows) {
    const RunResult result = run(PreparedRun{row.program, {"x", "y"}, {}}, StopCheck());
    CHECK(could_not_start(result));
#ifdef __linux__
    // Each of these gets as far as exec, and no further.
    if (result.status == RunStatus::failed) {
      CHECK_EQ(std::string(result.failure.step), std::string("exec"));
      CHECK_EQ(result.failure.code, static_cast<std::uint32_t>(row.code));
    }
#endif
    int status;
    CHECK(::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD);
  }
  const RunResult no_arguments = run(PreparedRun{"/bin/sh", {}, {}}, StopCheck());
  CHECK(no_arguments.status == RunStatus::failed && no_arguments.failure.code == EINVAL);
}

TEST_CASE(should_stop_ends_a_child_that_keeps_running) {
  // One sleeps with its streams open, one after closing them: both phases of
  // the run, reading and waiting, must give way; what one started (the
  // sleeper is its child) goes with it; and one floods its output so that
  // the wait for data never times out.
  Fakes fakes;
  fakes.add("kelvar-open", sleeper_body);
  fakes.add("kelvar-closed", "exec >&- 2>&-; " + sleeper_body);
  fakes.add("kelvar-parent", "sh -c '" + sleeper_body + "' sh \"$1\" & wait");
  for (const char* name : {"kelvar-open", "kelvar-closed", "kelvar-parent"}) {
    const std::string pid_file = fakes.dir / "pid";
    ::unlink(pid_file.c_str());
    const RunResult result = fakes.run(name, pid_file, [&] { return pid_in(pid_file) != 0; });
    CHECK_EQ(result.status, RunStatus::stopped);
    const pid_t sleeper = pid_in(pid_file);
    // SIGKILL takes effect a moment after it is sent; a bound against a
    // sleeper that lives on, not a measure of anything.
    for (int i = 0; i < 500 && !ended(sleeper); ++i) ::usleep(10 * 1000);
    CHECK(ended(sleeper));
    if (!ended(sleeper)) ::kill(sleeper, SIGKILL);
    if (std::string(name) != "kelvar-parent") CHECK(reaped(sleeper));
  }
  fakes.add("kelvar-chatter", "exec yes");
  int asked = 0;
  CHECK_EQ(fakes.run("kelvar-chatter", "", [&] { return ++asked == 3; }).status,
           RunStatus::stopped);
  CHECK_EQ(asked, 3);
}

TEST_CASE(the_child_and_what_it_started_are_read_to_the_end) {
  // The run ends neither when the streams close nor when the child exits,
  // but when both have happened, however long what the child started holds
  // the streams.
  Fakes fakes;
  const struct {
    const char* body;
    std::uint32_t code;
    const char* out;
  } rows[] = {
      {"echo early; exec >&- 2>&-; sleep 0.2; exit 7", 7, "early\n"},
      {"echo early; (sleep 0.2; echo late; sleep 0.1; echo later) & exit 3", 3,
       "early\nlate\nlater\n"},
  };
  for (const auto& row : rows) {
    fakes.add("kelvar-linger", row.body);
    const RunResult result = fakes.run("kelvar-linger", "");
    CHECK_EQ(result.status, RunStatus::completed);
    CHECK_EQ(result.exit_code, row.code);
    CHECK_EQ(result.out, std::string(row.out));
  }
}

TEST_CASE(a_fork_on_another_thread_waits_while_forks_are_held_back) {
  // While a lookup's pipes may have their write ends here, a fork through
  // the C library does not happen; once they are closed it goes on, and in
  // the child a hold and a fork work again (a child whose lock was left
  // as the parent's threads saw it hangs, and is killed).
  std::atomic<bool> forked{false};
  pid_t child = -1;
  kelvar::lookup::posix::ForksHeldBack forks;
  std::thread forker([&] {
    child = ::fork();
    if (child == 0) {
      kelvar::lookup::posix::ForksHeldBack().release();
      const pid_t grandchild = ::fork();
      if (grandchild == 0) ::_exit(0);
      int status = 0;
      ::_exit(grandchild > 0 && ::waitpid(grandchild, &status, 0) == grandchild ? 0 : 1);
    }
    forked = true;
  });
  ::usleep(200 * 1000);
  CHECK(!forked);
  forks.release();
  forker.join();
  CHECK(forked);
  int status = -1;
  for (int i = 0; i < 500 && ::waitpid(child, &status, WNOHANG) == 0; ++i) ::usleep(10 * 1000);
  if (status == -1) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  CHECK_EQ(status, 0);
}

TEST_CASE(an_exception_from_should_stop_still_kills_and_reaps) {
  Fakes fakes;
  fakes.add("kelvar-sleep", sleeper_body);
  const std::string pid_file = fakes.dir / "pid";
  bool thrown = false;
  try {
    fakes.run("kelvar-sleep", pid_file, [&]() -> bool {
      if (pid_in(pid_file) != 0) throw std::runtime_error("interrupted");
      return false;
    });
  } catch (const std::runtime_error&) {
    thrown = true;
  }
  CHECK(thrown);
  CHECK(reaped(pid_in(pid_file)));
}

#endif  // _WIN32
