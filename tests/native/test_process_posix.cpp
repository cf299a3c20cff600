// The POSIX process runner, against small shell scripts that the tests write
// into a temporary directory and find through PATH.
#ifndef _WIN32

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "lookup/process.h"

namespace fs = std::filesystem;
using kelvar::lookup::prepare_run;
using kelvar::lookup::PreparedRun;
using kelvar::lookup::run;
using kelvar::lookup::RunResult;
using kelvar::lookup::RunStatus;
using kelvar::lookup::StopCheck;

namespace {

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kelvar-native-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

// Sets an environment variable for the scope of a test and restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string original_path() {
  const char* p = std::getenv("PATH");
  return p != nullptr ? p : "/usr/bin:/bin";
}

// The fakes run with PATH starting at their directory, and find the usual
// tools behind it.
struct Fakes {
  TempDir dir;
  ScopedEnv path{"PATH", dir.path() + ":" + original_path()};

  std::string add(std::string_view name, std::string_view body, mode_t mode = 0755) const {
    const std::string file = dir / name;
    std::ofstream(file, std::ios::binary) << "#!/bin/sh\n" << body << "\n";
    ::chmod(file.c_str(), mode);
    return file;
  }
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The pid a fake wrote to `file` as a complete line, or 0 while it has not.
pid_t pid_in(const std::string& file) {
  const std::string text = read_file(file);
  if (text.empty() || text.back() != '\n') return 0;
  return static_cast<pid_t>(std::stol(text));
}

RunResult run_fake(std::string_view name, std::string_view argument,
                   const StopCheck& stop = StopCheck()) {
  const std::optional<PreparedRun> prepared = prepare_run(name, argument);
  if (!prepared) {
    RunResult nothing;
    nothing.error = "prepare_run found nothing";
    return nothing;
  }
  return run(*prepared, stop);
}

// Whether `pid` is gone for good: no child of ours by that number is left
// to reap, and no process (not even a zombie) has it.
bool reaped(pid_t pid) {
  int status;
  const bool not_our_child = ::waitpid(pid, &status, WNOHANG) < 0 && errno == ECHILD;
  const bool no_process = ::kill(pid, 0) < 0 && errno == ESRCH;
  return not_our_child && no_process;
}

// posix_spawn may also report a program that cannot be executed the way
// POSIX allows, by a child that exits with 127 (so it does under valgrind).
bool could_not_start(const RunResult& result) {
  return result.status == RunStatus::failed ? !result.error.empty()
                                            : result.status == RunStatus::completed &&
                                                  result.exit_code == 127 && result.out.empty();
}

#ifdef __linux__
std::size_t open_descriptors() {
  std::size_t n = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++n;
  }
  return n;
}
#endif

const std::string args_body = "printf '%s' \"$1\"; printf '%s' \"$#\" >&2";

}  // namespace

// ---------------------------------------------------------------------------
// Preparing

TEST_CASE(prepare_finds_the_program_on_path) {
  Fakes fakes;
  const std::string file = fakes.add("kelvar-fake-args", args_body);
  const std::optional<PreparedRun> prepared = prepare_run("kelvar-fake-args", "x y");
  CHECK(prepared.has_value());
  if (!prepared) return;
  CHECK_EQ(prepared->program, file);
  CHECK_EQ(prepared->argv.size(), std::size_t{2});
  if (prepared->argv.size() == 2) {
    CHECK_EQ(prepared->argv[0], std::string("kelvar-fake-args"));
    CHECK_EQ(prepared->argv[1], std::string("x y"));
  }
}

TEST_CASE(prepare_refuses_a_nul_in_the_argument_or_name) {
  Fakes fakes;
  fakes.add("kelvar-fake-args", args_body);
  CHECK(prepare_run("kelvar-fake-args", "ab").has_value());
  CHECK(!prepare_run("kelvar-fake-args", std::string_view("a\0b", 3)).has_value());
  CHECK(!prepare_run("kelvar-fake-args", std::string_view("\0", 1)).has_value());
  CHECK(!prepare_run(std::string_view("kelvar-fake-args\0", 17), "ab").has_value());
}

TEST_CASE(prepare_finds_nothing_for_a_missing_program) {
  Fakes fakes;
  CHECK(!prepare_run("kelvar-fake-that-does-not-exist", "x").has_value());
  CHECK(!prepare_run("", "x").has_value());
}

TEST_CASE(prepare_skips_what_cannot_be_executed) {
  Fakes fakes;
  TempDir first;
  TempDir second;
  ScopedEnv path("PATH", first.path() + ":" + second.path() + ":" + fakes.dir.path());
  // In the first directory: a plain file, a directory, a dangling link, a
  // link to a directory; all share the names of real programs further on.
  std::ofstream(first / "kelvar-fake-a") << "#!/bin/sh\n";
  ::chmod((first / "kelvar-fake-a").c_str(), 0644);
  fs::create_directory(first / "kelvar-fake-b");
  fs::create_symlink(first / "nowhere", first / "kelvar-fake-c");
  fs::create_directory_symlink(first.path(), first / "kelvar-fake-d");
  for (const char* name : {"kelvar-fake-a", "kelvar-fake-b", "kelvar-fake-c", "kelvar-fake-d"}) {
    const std::string target = fakes.add(name, "exit 0");
    const std::optional<PreparedRun> prepared = prepare_run(name, "");
    CHECK_EQ(prepared ? prepared->program : std::string("(nothing)"), target);
  }
}

TEST_CASE(prepare_takes_the_first_directory_in_path_order) {
  Fakes fakes;
  TempDir first;
  TempDir second;
  ScopedEnv path("PATH", "/nonexistent-dir:" + first.path() + ":" + second.path());
  std::ofstream(second / "kelvar-fake-order") << "#!/bin/sh\n";
  ::chmod((second / "kelvar-fake-order").c_str(), 0755);
  std::ofstream(first / "kelvar-fake-order") << "#!/bin/sh\n";
  ::chmod((first / "kelvar-fake-order").c_str(), 0755);
  const std::optional<PreparedRun> prepared = prepare_run("kelvar-fake-order", "");
  CHECK_EQ(prepared ? prepared->program : std::string("(nothing)"), first / "kelvar-fake-order");
}

TEST_CASE(prepare_keeps_a_link_as_found) {
  Fakes fakes;
  TempDir linked;
  ScopedEnv path("PATH", linked.path());
  const std::string target = fakes.add("kelvar-fake-target", "exit 0");
  fs::create_symlink(target, linked / "kelvar-fake-link");
  const std::optional<PreparedRun> prepared = prepare_run("kelvar-fake-link", "");
  CHECK_EQ(prepared ? prepared->program : std::string("(nothing)"), linked / "kelvar-fake-link");
}

TEST_CASE(prepare_reads_an_empty_path_entry_as_the_working_directory) {
  Fakes fakes;
  fakes.add("kelvar-fake-here", "exit 0");
  const fs::path before = fs::current_path();
  fs::current_path(fakes.dir.path());
  for (const std::string& entries : {std::string("/nonexistent-dir:"), std::string(":/x"),
                                     std::string("/x::/y"), std::string("")}) {
    ScopedEnv path("PATH", entries);
    const std::optional<PreparedRun> prepared = prepare_run("kelvar-fake-here", "");
    // Made absolute, so that a later change of directory does not matter.
    CHECK_EQ(prepared ? prepared->program : std::string("(nothing)"),
             fs::current_path().string() + "/kelvar-fake-here");
  }
  fs::current_path(before);
}

#ifdef __linux__
TEST_CASE(prepare_looks_beside_the_executable_before_path) {
  // The directory of the running test binary comes before every PATH entry.
  const std::string exe_dir = fs::read_symlink("/proc/self/exe").parent_path().string();
  const std::string beside = exe_dir + "/kelvar-fake-beside";
  if (::access(exe_dir.c_str(), W_OK) != 0) return SKIP("the test binary's directory is read-only");
  Fakes fakes;
  fakes.add("kelvar-fake-beside", "exit 0");
  std::ofstream(beside) << "#!/bin/sh\nexit 0\n";
  ::chmod(beside.c_str(), 0755);
  const std::optional<PreparedRun> prepared = prepare_run("kelvar-fake-beside", "");
  ::unlink(beside.c_str());
  CHECK(prepared.has_value());
  if (prepared) CHECK_EQ(fs::path(prepared->program).lexically_normal().string(), beside);
}
#endif

TEST_CASE(prepare_snapshots_the_environment) {
  Fakes fakes;
  fakes.add("kelvar-fake-env", "printf '%s' \"${KELVAR_FAKE_MARK-unset}\"");
  ScopedEnv mark("KELVAR_FAKE_MARK", "before");
  const std::optional<PreparedRun> prepared = prepare_run("kelvar-fake-env", "");
  CHECK(prepared.has_value());
  if (!prepared) return;
  ::setenv("KELVAR_FAKE_MARK", "after", 1);
  const RunResult result = run(*prepared, StopCheck());
  CHECK_EQ(result.status, RunStatus::completed);
  CHECK_EQ(result.out, std::string("before"));
}

// ---------------------------------------------------------------------------
// Running

TEST_CASE(the_child_receives_the_argument_exactly) {
  Fakes fakes;
  fakes.add("kelvar-fake-args", args_body);
  const std::string_view arguments[] = {
      "plain",
      "",
      " ",
      "two words",
      "  leading and trailing  ",
      "\"double quoted\"",
      "'single quoted'",
      "back\\slash\\",
      "\\\"",
      "tab\there",
      "new\nline",
      "$HOME ${PATH} $(id) `id`",
      "* ? [a-z] ~",
      "a;b|c&d>e<f(g)",
      "%PATH% ^ !",
      "-n",
      "--help",
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE6\x97\xA5\xE6\x9C\xAC",
      "\xFF\xFE not UTF-8",
      "**.exe",
  };
  for (std::string_view argument : arguments) {
    const RunResult result = run_fake("kelvar-fake-args", argument);
    CHECK_EQ(result.status, RunStatus::completed);
    CHECK_EQ(result.exit_code, 0u);
    CHECK_EQ(result.out, std::string(argument));
    CHECK_EQ(result.err, std::string("1"));  // one argument, whatever it holds
  }
}

TEST_CASE(a_long_argument_arrives_whole) {
  Fakes fakes;
  fakes.add("kelvar-fake-args", args_body);
  std::string argument;
  for (int i = 0; i < 10000; ++i) argument += static_cast<char>('a' + i % 26);
  const RunResult result = run_fake("kelvar-fake-args", argument);
  CHECK_EQ(result.out, argument);
}

TEST_CASE(exit_codes_are_reported) {
  Fakes fakes;
  fakes.add("kelvar-fake-exit", "echo out; echo err >&2; exit \"$1\"");
  fakes.add("kelvar-fake-signal", "kill -s \"$1\" $$");
  struct Row {
    const char* program;
    const char* argument;
    std::uint32_t code;
  };
  const Row rows[] = {
      {"kelvar-fake-exit", "0", 0},
      {"kelvar-fake-exit", "1", 1},
      {"kelvar-fake-exit", "2", 2},
      {"kelvar-fake-exit", "42", 42},
      {"kelvar-fake-exit", "255", 255},
      {"kelvar-fake-exit", "256", 0},  // 8 bits only
      {"kelvar-fake-signal", "KILL", 128 + SIGKILL},
      {"kelvar-fake-signal", "TERM", 128 + SIGTERM},
      {"kelvar-fake-signal", "HUP", 128 + SIGHUP},
      {"kelvar-fake-signal", "USR1", 128 + SIGUSR1},
  };
  for (const Row& row : rows) {
    const RunResult result = run_fake(row.program, row.argument);
    CHECK_EQ(result.status, RunStatus::completed);
    CHECK_EQ(result.exit_code, row.code);
    if (std::string_view(row.program) == "kelvar-fake-exit") {
      CHECK_EQ(result.out, std::string("out\n"));
      CHECK_EQ(result.err, std::string("err\n"));
    }
  }
}

TEST_CASE(bytes_pass_through_unchanged) {
  Fakes fakes;
  fakes.add("kelvar-fake-bytes", "printf 'a\\000b\\377\\r\\n'; printf '\\000' >&2");
  const RunResult result = run_fake("kelvar-fake-bytes", "");
  CHECK_EQ(result.out, std::string("a\0b\xFF\r\n", 6));
  CHECK_EQ(result.err, std::string("\0", 1));
}

TEST_CASE(much_output_on_both_streams_does_not_deadlock) {
  // Far more than a pipe holds, first on the stream nobody looks at.
  Fakes fakes;
  fakes.add("kelvar-fake-flood",
            "head -c 1048576 /dev/zero | tr '\\000' e >&2\n"
            "head -c 1048576 /dev/zero | tr '\\000' o\n"
            "head -c 65537 /dev/zero | tr '\\000' E >&2\n"
            "printf done");
  const RunResult result = run_fake("kelvar-fake-flood", "");
  CHECK_EQ(result.status, RunStatus::completed);
  CHECK_EQ(result.exit_code, 0u);
  CHECK_EQ(result.out.size(), std::size_t{1048576 + 4});
  CHECK_EQ(result.err.size(), std::size_t{1048576 + 65537});
  CHECK_EQ(result.out, std::string(1048576, 'o') + "done");
  CHECK_EQ(result.err, std::string(1048576, 'e') + std::string(65537, 'E'));
}

TEST_CASE(standard_input_is_the_null_device) {
  Fakes fakes;
#ifdef __linux__
  fakes.add("kelvar-fake-stdin",
            "if read line; then echo \"read:$line\"; else echo eof; fi; readlink /proc/$$/fd/0");
  const std::string expected = "eof\n/dev/null\n";
#else
  fakes.add("kelvar-fake-stdin", "if read line; then echo \"read:$line\"; else echo eof; fi");
  const std::string expected = "eof\n";
#endif
  // Our own standard input has something to read; the child must not see it.
  int ends[2];
  CHECK_EQ(::pipe(ends), 0);
  CHECK_EQ(::write(ends[1], "leaked\n", 7), 7);
  ::close(ends[1]);
  const int saved = ::dup(STDIN_FILENO);
  ::dup2(ends[0], STDIN_FILENO);
  ::close(ends[0]);
  const RunResult result = run_fake("kelvar-fake-stdin", "");
  ::dup2(saved, STDIN_FILENO);
  ::close(saved);
  CHECK_EQ(result.status, RunStatus::completed);
  CHECK_EQ(result.out, expected);
}

#ifdef __linux__
namespace {
std::uint64_t status_mask(const std::string& text, const std::string& field) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(field + ":", 0) == 0)
      return std::stoull(line.substr(field.size() + 1), nullptr, 16);
  }
  return ~std::uint64_t{0};
}
std::uint64_t bit(int signal) {
  return std::uint64_t{1} << (signal - 1);
}
}  // namespace

TEST_CASE(the_child_starts_with_default_signal_state) {
  // An interpreter ignores SIGPIPE; a thread may block signals. Neither may
  // reach the child.
  // The shell clears its signal mask when it starts, so the fake is cat
  // itself, under another name, reporting on itself.
  Fakes fakes;
  const std::string cat = fs::exists("/bin/cat") ? "/bin/cat" : "/usr/bin/cat";
  fs::create_symlink(cat, fakes.dir / "kelvar-fake-status");
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction saved_pipe = {};
  struct sigaction saved_usr2 = {};
  ::sigaction(SIGPIPE, &ignore, &saved_pipe);
  ::sigaction(SIGUSR2, &ignore, &saved_usr2);
  sigset_t block;
  sigset_t saved_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  sigaddset(&block, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &block, &saved_mask);

  const RunResult result = run_fake("kelvar-fake-status", "/proc/self/status");

  ::pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
  ::sigaction(SIGUSR2, &saved_usr2, nullptr);
  ::sigaction(SIGPIPE, &saved_pipe, nullptr);

  CHECK_EQ(result.status, RunStatus::completed);
  const std::uint64_t ignored = status_mask(result.out, "SigIgn");
  const std::uint64_t blocked = status_mask(result.out, "SigBlk");
  CHECK_EQ(ignored & (bit(SIGPIPE) | bit(SIGUSR2)), std::uint64_t{0});
  CHECK_EQ(blocked, std::uint64_t{0});
}

TEST_CASE(the_child_inherits_no_pipe_end) {
  // Each of the child's descriptors is listed with what it refers to; the
  // pipes of its stdout and stderr must appear once each, on 1 and 2.
  Fakes fakes;
  fakes.add(
      "kelvar-fake-fds",
      "for f in /proc/$$/fd/*; do printf '%s %s\\n' \"${f##*/}\" \"$(readlink \"$f\")\"; done");
  const RunResult result = run_fake("kelvar-fake-fds", "");
  CHECK_EQ(result.status, RunStatus::completed);
  std::map<std::string, std::string> target_of;
  std::istringstream lines(result.out);
  std::string fd;
  std::string target;
  while (lines >> fd >> target) target_of[fd] = target;
  CHECK(target_of["1"].rfind("pipe:", 0) == 0);
  CHECK(target_of["2"].rfind("pipe:", 0) == 0);
  CHECK(target_of["1"] != target_of["2"]);
  for (const auto& [number, what] : target_of) {
    if (number == "1" || number == "2") continue;
    CHECK(what != target_of["1"]);
    CHECK(what != target_of["2"]);
  }
}
#endif

TEST_CASE(a_missing_or_unrunnable_program_fails) {
  TempDir dir;
  std::ofstream(dir / "not-executable") << "#!/bin/sh\n";
  ::chmod((dir / "not-executable").c_str(), 0644);
  std::ofstream(dir / "no-format") << "\x7f"
                                      "ELF garbage";
  ::chmod((dir / "no-format").c_str(), 0755);
  for (const std::string& program :
       {dir / "missing", dir.path(), dir / "not-executable", dir / "no-format"}) {
    PreparedRun prepared;
    prepared.program = program;
    prepared.argv = {"x", "y"};
    CHECK(could_not_start(run(prepared, StopCheck())));
  }
}

TEST_CASE(should_stop_ends_a_child_that_keeps_running) {
  Fakes fakes;
  // One sleeps with its streams open, one after closing them: both phases of
  // the run, reading and waiting, must give way.
  fakes.add("kelvar-fake-sleep-open", "echo $$ > \"$1\"; exec sleep 1000");
  fakes.add("kelvar-fake-sleep-closed", "exec >&- 2>&-; echo $$ > \"$1\"; exec sleep 1000");
  for (const char* name : {"kelvar-fake-sleep-open", "kelvar-fake-sleep-closed"}) {
    const std::string pid_file = fakes.dir / (std::string(name) + ".pid");
    int asked = 0;
    const RunResult result = run_fake(name, pid_file, [&] {
      ++asked;
      return pid_in(pid_file) != 0;
    });
    CHECK_EQ(result.status, RunStatus::stopped);
    CHECK(asked > 0);
    const pid_t pid = pid_in(pid_file);
    CHECK(pid > 0);
    if (pid > 0) CHECK(reaped(pid));
  }
}

TEST_CASE(a_child_that_closes_its_streams_is_still_waited_for) {
  Fakes fakes;
  fakes.add("kelvar-fake-linger", "echo early; exec >&- 2>&-; sleep 0.2; exit 7");
  const RunResult result = run_fake("kelvar-fake-linger", "");
  CHECK_EQ(result.status, RunStatus::completed);
  CHECK_EQ(result.exit_code, 7u);
  CHECK_EQ(result.out, std::string("early\n"));
}

TEST_CASE(an_exception_from_should_stop_still_kills_and_reaps) {
  Fakes fakes;
  fakes.add("kelvar-fake-sleep", "echo $$ > \"$1\"; exec sleep 1000");
  const std::string pid_file = fakes.dir / "sleep.pid";
  bool thrown = false;
  try {
    run_fake("kelvar-fake-sleep", pid_file, [&]() -> bool {
      if (pid_in(pid_file) != 0) throw std::runtime_error("interrupted");
      return false;
    });
  } catch (const std::runtime_error&) {
    thrown = true;
  }
  CHECK(thrown);
  const pid_t pid = pid_in(pid_file);
  CHECK(pid > 0);
  if (pid > 0) CHECK(reaped(pid));
}

TEST_CASE(a_child_that_never_stops_talking_is_still_asked_about) {
  // A stream that is never silent never lets the wait for data time out.
  Fakes fakes;
  fakes.add("kelvar-fake-chatter", "exec yes");
  int asked = 0;
  const RunResult result = run_fake("kelvar-fake-chatter", "", [&] { return ++asked >= 3; });
  CHECK_EQ(result.status, RunStatus::stopped);
  CHECK_EQ(asked, 3);
}

#ifdef __linux__
TEST_CASE(no_descriptor_is_left_open) {
  Fakes fakes;
  fakes.add("kelvar-fake-args", args_body);
  fakes.add("kelvar-fake-sleep", "echo $$ > \"$1\"; exec sleep 1000");
  const std::size_t before = open_descriptors();
  for (int i = 0; i < 30; ++i) {
    const RunResult result = run_fake("kelvar-fake-args", "x");
    CHECK_EQ(result.status, RunStatus::completed);
  }
  for (int i = 0; i < 10; ++i) {
    PreparedRun missing;
    missing.program = fakes.dir / "missing";
    missing.argv = {"missing", "x"};
    CHECK(could_not_start(run(missing, StopCheck())));
  }
  for (int i = 0; i < 3; ++i) {
    const std::string pid_file = fakes.dir / ("stop" + std::to_string(i));
    const RunResult result =
        run_fake("kelvar-fake-sleep", pid_file, [&] { return pid_in(pid_file) != 0; });
    CHECK_EQ(result.status, RunStatus::stopped);
  }
  CHECK_EQ(open_descriptors(), before);
}
#endif

TEST_CASE(an_empty_stop_check_never_stops) {
  Fakes fakes;
  fakes.add("kelvar-fake-args", args_body);
  const RunResult result = run_fake("kelvar-fake-args", "ok", StopCheck());
  CHECK_EQ(result.status, RunStatus::completed);
  CHECK_EQ(result.out, std::string("ok"));
}

#endif  // _WIN32
