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
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "check.h"
#include "lookup/process.h"

namespace fs = std::filesystem;
using namespace kelvar::lookup;

namespace {

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/kelvar-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  std::string operator/(std::string_view name) const { return path + "/" + std::string(name); }
  std::string path;
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
  ~ScopedEnv() { old_ ? (void)::setenv(name_, old_->c_str(), 1) : (void)::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string file_at(const std::string& path, std::string_view text, mode_t mode) {
  std::ofstream(path, std::ios::binary) << text;
  ::chmod(path.c_str(), mode);
  return path;
}

// Fakes are found first on PATH, and find the usual tools behind them.
struct Fakes {
  TempDir dir;
  ScopedEnv path{"PATH", dir.path + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/bin")};
  std::string add(std::string_view name, std::string_view body) const {
    return file_at(dir / name, "#!/bin/sh\n" + std::string(body) + "\n", 0755);
  }
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The pid a fake wrote to `file` as a whole line, or 0 until it has.
pid_t pid_in(const std::string& file) {
  const std::string text = read_file(file);
  return text.empty() || text.back() != '\n' ? 0 : static_cast<pid_t>(std::stol(text));
}

RunResult run_fake(std::string_view name, std::string_view argument,
                   const StopCheck& stop = StopCheck()) {
  const std::optional<PreparedRun> prepared = prepare_run(name, argument);
  return prepared ? run(*prepared, stop) : RunResult{};
}

std::string found(std::string_view name) {
  const std::optional<PreparedRun> prepared = prepare_run(name, "");
  return prepared ? prepared->program : "(nothing)";
}

// No child of ours by that number is left to reap, and no process (not even
// a zombie) has it.
bool reaped(pid_t pid) {
  int status;
  return pid > 0 && ::waitpid(pid, &status, WNOHANG) < 0 && errno == ECHILD && ::kill(pid, 0) < 0 &&
         errno == ESRCH;
}

// posix_spawn may report a program that cannot be executed the way POSIX
// allows, by a child that exits with 127 (as it does under valgrind).
bool could_not_start(const RunResult& r) {
  return r.status == RunStatus::failed
             ? !r.error.empty()
             : r.status == RunStatus::completed && r.exit_code == 127 && r.out.empty();
}

const std::string args_body = "printf '%s' \"$1\"; printf '%s' \"$#\" >&2";
const std::string sleeper_body = "echo $$ > \"$1\"; exec sleep 1000";

}  // namespace

TEST_CASE(prepare_searches_path_for_an_executable_file) {
  Fakes fakes;
  TempDir first, second;
  ScopedEnv path("PATH", "/nonexistent:" + first.path + ":" + second.path + ":" + fakes.dir.path);
  // In `first`: a plain file, a directory, a dangling link, a link to a
  // directory, under names that also exist, executable, further on.
  file_at(first / "kelvar-a", "#!/bin/sh\n", 0644);
  fs::create_directory(first / "kelvar-b");
  fs::create_symlink(first / "nowhere", first / "kelvar-c");
  fs::create_directory_symlink(first.path, first / "kelvar-d");
  for (const char* name : {"kelvar-a", "kelvar-b", "kelvar-c", "kelvar-d"}) {
    const std::string target = fakes.add(name, "exit 0");
    CHECK_EQ(found(name), target);
  }
  // The first hit wins; a link is kept as found, not resolved.
  file_at(second / "kelvar-e", "", 0755);
  fs::create_symlink(second / "kelvar-e", first / "kelvar-e");
  CHECK_EQ(found("kelvar-e"), first / "kelvar-e");
  CHECK_EQ(found("kelvar-missing"), std::string("(nothing)"));
  CHECK_EQ(found(""), std::string("(nothing)"));
}

TEST_CASE(prepare_reads_an_empty_path_entry_as_the_working_directory) {
  Fakes fakes;
  fakes.add("kelvar-here", "exit 0");
  const fs::path before = fs::current_path();
  fs::current_path(fakes.dir.path);
  const std::string here = fs::current_path().string() + "/kelvar-here";  // made absolute
  for (const char* entries : {"/nonexistent:", ":/x", "/x::/y", ""}) {
    ScopedEnv path("PATH", entries);
    CHECK_EQ(found("kelvar-here"), here);
  }
  fs::current_path(before);
}

#ifdef __linux__
TEST_CASE(prepare_looks_beside_the_executable_before_path) {
  const std::string exe_dir = fs::read_symlink("/proc/self/exe").parent_path().string();
  if (::access(exe_dir.c_str(), W_OK) != 0) return SKIP("the test binary's directory is read-only");
  Fakes fakes;
  fakes.add("kelvar-beside", "exit 0");
  const std::string beside = file_at(exe_dir + "/kelvar-beside", "#!/bin/sh\n", 0755);
  const std::string program = found("kelvar-beside");
  ::unlink(beside.c_str());
  CHECK_EQ(fs::path(program).lexically_normal().string(), beside);
}
#endif

TEST_CASE(prepare_refuses_a_nul_and_snapshots_the_environment) {
  Fakes fakes;
  fakes.add("kelvar-env", "printf '%s' \"${KELVAR_MARK-unset}\"");
  CHECK(!prepare_run("kelvar-env", std::string_view("a\0b", 3)).has_value());
  CHECK(!prepare_run(std::string_view("kelvar-env\0", 11), "ab").has_value());
  ScopedEnv mark("KELVAR_MARK", "before");
  const std::optional<PreparedRun> prepared = prepare_run("kelvar-env", "ab");
  CHECK(prepared.has_value());
  if (!prepared) return;
  CHECK_EQ(prepared->argv.size(), std::size_t{2});
  CHECK_EQ(prepared->argv[0], std::string("kelvar-env"));
  ::setenv("KELVAR_MARK", "after", 1);  // the run must not look at the live environment
  CHECK_EQ(run(*prepared, StopCheck()).out, std::string("before"));
}

TEST_CASE(the_child_receives_the_argument_exactly) {
  Fakes fakes;
  fakes.add("kelvar-args", args_body);
  const std::string_view arguments[] = {
      "plain",
      "",
      " ",
      "  two  words  ",
      "\"double\" 'single'",
      "back\\slash\\",
      "\\\"",
      "tab\tnew\nline",
      "$HOME ${PATH} $(id) `id`",
      "* ? [a-z] ~ -n",
      "a;b|c&d>e<f(g)",
      "%PATH% ^ !",
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE6\x97\xA5\xE6\x9C\xAC",
      "\xFF\xFE not UTF-8",
  };
  for (std::string_view argument : arguments) {
    const RunResult result = run_fake("kelvar-args", argument);
    CHECK_EQ(result.status, RunStatus::completed);
    CHECK_EQ(result.out, std::string(argument));
    CHECK_EQ(result.err, std::string("1"));  // one argument, whatever it holds
  }
}

TEST_CASE(exit_codes_and_bytes_are_reported) {
  Fakes fakes;
  fakes.add("kelvar-exit", "printf 'a\\000\\377\\r\\n'; echo err >&2; exit \"$1\"");
  fakes.add("kelvar-signal", "kill -s \"$1\" $$");
  const struct {
    const char* program;
    const char* argument;
    std::uint32_t code;
  } rows[] = {
      {"kelvar-exit", "0", 0},
      {"kelvar-exit", "1", 1},
      {"kelvar-exit", "42", 42},
      {"kelvar-exit", "255", 255},
      {"kelvar-exit", "256", 0},
      {"kelvar-signal", "KILL", 128 + SIGKILL},
      {"kelvar-signal", "TERM", 128 + SIGTERM},
  };
  for (const auto& row : rows) {
    const RunResult result = run_fake(row.program, row.argument);
    CHECK_EQ(result.status, RunStatus::completed);
    CHECK_EQ(result.exit_code, row.code);
    if (std::string_view(row.program) == "kelvar-exit") {
      CHECK_EQ(result.out, std::string("a\0\xFF\r\n", 5));
      CHECK_EQ(result.err, std::string("err\n"));
    }
  }
}

TEST_CASE(much_output_on_both_streams_does_not_deadlock) {
  // Far more than a pipe holds, first on the stream nobody looks at.
  Fakes fakes;
  fakes.add("kelvar-flood",
            "head -c 1048576 /dev/zero | tr '\\000' e >&2\n"
            "head -c 1048576 /dev/zero | tr '\\000' o\nprintf done");
  const RunResult result = run_fake("kelvar-flood", "");
  CHECK_EQ(result.status, RunStatus::completed);
  CHECK(result.err == std::string(1048576, 'e'));
  CHECK(result.out == std::string(1048576, 'o') + "done");
}

TEST_CASE(standard_input_is_the_null_device) {
  Fakes fakes;
  fakes.add("kelvar-stdin", "if read line; then echo \"read:$line\"; else echo eof; fi");
  // Our own standard input has something to read; the child must not see it.
  int ends[2];
  CHECK_EQ(::pipe(ends), 0);
  CHECK_EQ(::write(ends[1], "leaked\n", 7), 7);
  ::close(ends[1]);
  const int saved = ::dup(STDIN_FILENO);
  ::dup2(ends[0], STDIN_FILENO);
  ::close(ends[0]);
  const RunResult result = run_fake("kelvar-stdin", "");
  ::dup2(saved, STDIN_FILENO);
  ::close(saved);
  CHECK_EQ(result.out, std::string("eof\n"));
}

#ifdef __linux__
TEST_CASE(the_child_starts_with_default_signal_state) {
  // An interpreter ignores SIGPIPE; a thread may block signals. The shell
  // would clear its mask itself, so the fake is cat, reporting on itself.
  Fakes fakes;
  fs::create_symlink(fs::exists("/bin/cat") ? "/bin/cat" : "/usr/bin/cat",
                     fakes.dir / "kelvar-status");
  struct sigaction ignore = {}, saved_action = {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &saved_action);
  sigset_t block, saved_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &block, &saved_mask);
  const RunResult result = run_fake("kelvar-status", "/proc/self/status");
  ::pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
  ::sigaction(SIGPIPE, &saved_action, nullptr);

  std::map<std::string, std::uint64_t> masks;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    const std::string field = line.substr(0, 6);
    if (field == "SigIgn" || field == "SigBlk")
      masks[field] = std::stoull(line.substr(7), nullptr, 16);
  }
  CHECK(masks.count("SigIgn") == 1 && masks.count("SigBlk") == 1);
  CHECK_EQ(masks["SigIgn"] & (std::uint64_t{1} << (SIGPIPE - 1)), std::uint64_t{0});
  CHECK_EQ(masks["SigBlk"], std::uint64_t{0});
}

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
  fakes.add("kelvar-fds", "for f in /proc/$$/fd/*; do echo \"${f##*/} $(readlink \"$f\")\"; done");
  fakes.add("kelvar-sleep", sleeper_body);
  fakes.add("kelvar-nap", "sleep 0.25");
  const std::string marker = file_at(fakes.dir / "marker", "", 0644);
  const auto count_fds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
  // 0: with the host's standard input closed, the run's own descriptors
  // may take that number.
  for (const int host_fd : {3, 4, 70, 0}) {
    HostDescriptor host(host_fd, marker);
    const auto before = count_fds();
    const RunResult result = run_fake("kelvar-fds", "");
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
    run_fake("kelvar-nap", "", [&] { return !(checked = new_pipes_close_on_exec(pipes)); });
    CHECK(checked);

    // Every way out closes what it opened: completed, failed, stopped.
    for (int i = 0; i < 5; ++i) CHECK_EQ(run_fake("kelvar-fds", "").status, RunStatus::completed);
    PreparedRun missing{fakes.dir / "missing", {"missing", "x"}, {}};
    for (int i = 0; i < 3; ++i) CHECK(could_not_start(run(missing, StopCheck())));
    const std::string pid_file = fakes.dir / ("pid" + std::to_string(host_fd));
    CHECK_EQ(run_fake("kelvar-sleep", pid_file, [&] { return pid_in(pid_file) != 0; }).status,
             RunStatus::stopped);
    CHECK_EQ(count_fds(), before);
  }
}
#endif

TEST_CASE(a_missing_or_unrunnable_program_fails) {
  TempDir dir;
  file_at(dir / "not-executable", "#!/bin/sh\n", 0644);
  file_at(dir / "no-format",
          "\x7f"
          "ELF garbage",
          0755);
  for (const std::string& program :
       {dir / "missing", dir.path, dir / "not-executable", dir / "no-format"}) {
    CHECK(could_not_start(run(PreparedRun{program, {"x", "y"}, {}}, StopCheck())));
  }
  const RunResult no_arguments = run(PreparedRun{"/bin/sh", {}, {}}, StopCheck());
  CHECK(no_arguments.status == RunStatus::failed && !no_arguments.error.empty());
}

TEST_CASE(should_stop_ends_a_child_that_keeps_running) {
  // One sleeps with its streams open, one after closing them: both phases of
  // the run, reading and waiting, must give way; and one floods its output
  // so that the wait for data never times out.
  Fakes fakes;
  fakes.add("kelvar-open", sleeper_body);
  fakes.add("kelvar-closed", "exec >&- 2>&-; " + sleeper_body);
  for (const char* name : {"kelvar-open", "kelvar-closed"}) {
    const std::string pid_file = fakes.dir / "pid";
    ::unlink(pid_file.c_str());
    const RunResult result = run_fake(name, pid_file, [&] { return pid_in(pid_file) != 0; });
    CHECK_EQ(result.status, RunStatus::stopped);
    CHECK(reaped(pid_in(pid_file)));
  }
  fakes.add("kelvar-chatter", "exec yes");
  int asked = 0;
  CHECK_EQ(run_fake("kelvar-chatter", "", [&] { return ++asked == 3; }).status, RunStatus::stopped);
  CHECK_EQ(asked, 3);
}

TEST_CASE(the_child_and_what_it_started_are_read_to_the_end) {
  // The run ends neither when the streams close nor when the child exits,
  // but when both have happened and no process the child started is left.
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
    const RunResult result = run_fake("kelvar-linger", "");
    CHECK_EQ(result.status, RunStatus::completed);
    CHECK_EQ(result.exit_code, row.code);
    CHECK_EQ(result.out, std::string(row.out));
  }
}

TEST_CASE(an_exception_from_should_stop_still_kills_and_reaps) {
  Fakes fakes;
  fakes.add("kelvar-sleep", sleeper_body);
  const std::string pid_file = fakes.dir / "pid";
  bool thrown = false;
  try {
    run_fake("kelvar-sleep", pid_file, [&]() -> bool {
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
