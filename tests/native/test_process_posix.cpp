// The POSIX process runner, against small shell scripts that the tests write
// into a temporary directory and find through PATH: finding the program, what
// the child receives, and what it reports back.
#ifndef _WIN32

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>

#include "check.h"
#include "lookup/posix/start.h"
#include "lookup/process.h"
#include "posix_test_support.h"

namespace fs = std::filesystem;
using namespace kelvar::lookup;
using namespace kelvar_test::posix;

namespace {

// The `where` that the lookup would start with PATH set to `path_value`, and
// nothing beside the interpreter it is told of.
std::string found_on(const std::string& path_value) {
  TempDir interpreter;
  ScopedEnv path("PATH", path_value);
  const Preparation prepared = prepare_where("", interpreter / "python");
  const PreparedRun* const run = std::get_if<PreparedRun>(&prepared);
  return run != nullptr ? run->program : "(nothing)";
}

}  // namespace

TEST_CASE(the_search_takes_the_first_file_it_can_run) {
  // In front of a `where` that can run: a plain file, a folder, a dangling
  // link and a link to a folder of that name, all passed over; a link to
  // the program is kept as found, not resolved.
  TempDir plain, folder, dangling, folder_link, runnable, link;
  file_at(plain / "where", "#!/bin/sh\n", 0644);
  fs::create_directory(folder / "where");
  fs::create_symlink(dangling / "gone", dangling / "where");
  fs::create_directory_symlink(folder.path, folder_link / "where");
  const std::string program = file_at(runnable / "where", "#!/bin/sh\n", 0755);
  fs::create_symlink(program, link / "where");
  const std::string passed_over = "/nonexistent:" + plain.path + ":" + folder.path + ":" +
                                  dangling.path + ":" + folder_link.path;
  CHECK_EQ(found_on(passed_over + ":" + runnable.path), program);
  CHECK_EQ(found_on(passed_over + ":" + link.path + ":" + runnable.path), link / "where");
  CHECK_EQ(found_on(passed_over), std::string("(nothing)"));
}

TEST_CASE(the_search_reads_an_empty_path_entry_as_the_working_directory) {
  TempDir here_dir;
  file_at(here_dir / "where", "#!/bin/sh\n", 0755);
  const fs::path before = fs::current_path();
  fs::current_path(here_dir.path);
  const std::string here = fs::current_path().string() + "/where";  // made absolute
  for (const char* entries : {"/nonexistent:", ":/x", "/x::/y", ""})
    CHECK_EQ(found_on(entries), here);
  fs::current_path(before);
}

TEST_CASE(the_search_looks_beside_the_interpreter_before_path) {
  // Told of an interpreter, the lookup looks in its folder (made absolute
  // now); told of none, beside the running executable.
  Fakes fakes;
  const std::string beside = fakes.add("beside", "exit 0");
  TempDir on_path;
  file_at(on_path / "where", "#!/bin/sh\n", 0755);
  ScopedEnv path("PATH", on_path.path);
  const auto program = [](const Preparation& prepared) {
    const PreparedRun* const run = std::get_if<PreparedRun>(&prepared);
    return run != nullptr ? fs::path(run->program).lexically_normal().string() : "(nothing)";
  };
  CHECK_EQ(program(fakes.prepare("beside", "")), beside);
  const fs::path before = fs::current_path();
  fs::current_path(fakes.dir.path);
  const Preparation relative = prepare_where("", "./beside/python");
  fs::current_path(before);
  CHECK_EQ(program(relative), beside);
#ifdef __linux__
  const std::string exe_dir = fs::read_symlink("/proc/self/exe").parent_path().string();
  if (::access(exe_dir.c_str(), W_OK) != 0) return SKIP("the test binary's directory is read-only");
  CHECK_EQ(program(prepare_where("", "")), on_path / "where");
  const std::string planted = file_at(exe_dir + "/where", "#!/bin/sh\n", 0755);
  const std::string started = program(prepare_where("", ""));
  ::unlink(planted.c_str());
  CHECK_EQ(started, planted);
#endif
}

TEST_CASE(prepare_refuses_a_nul_and_snapshots_the_environment) {
  Fakes fakes;
  fakes.add("kelvar-env", "printf '%s' \"${KELVAR_MARK-unset}\"");
  // Each refusal says why.
  const auto why = [](const Preparation& prepared) {
    const NotPrepared* const reason = std::get_if<NotPrepared>(&prepared);
    return reason != nullptr ? std::optional<NotPrepared>(*reason) : std::nullopt;
  };
  CHECK(why(fakes.prepare("kelvar-env", std::string_view("a\0b", 3))) == NotPrepared::nul_in_text);
  TempDir nowhere;
  {
    ScopedEnv path("PATH", nowhere.path);
    CHECK(why(prepare_where("ab", nowhere / "python")) == NotPrepared::no_program);
  }
  ScopedEnv mark("KELVAR_MARK", "before");
  const Preparation prepared = fakes.prepare("kelvar-env", "ab");
  const PreparedRun* const run_of = std::get_if<PreparedRun>(&prepared);
  CHECK(run_of != nullptr);
  if (run_of == nullptr) return;
  CHECK_EQ(run_of->argv.size(), std::size_t{2});
  CHECK_EQ(run_of->argv[0], std::string("where"));
  ::setenv("KELVAR_MARK", "after", 1);  // the run must not look at the live environment
  CHECK_EQ(run(*run_of, StopCheck()).out, std::string("before"));
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
    const RunResult result = fakes.run("kelvar-args", argument);
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
    const RunResult result = fakes.run(row.program, row.argument);
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
  const RunResult result = fakes.run("kelvar-flood", "");
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
  const RunResult result = fakes.run("kelvar-stdin", "");
  ::dup2(saved, STDIN_FILENO);
  ::close(saved);
  CHECK_EQ(result.out, std::string("eof\n"));
}

#ifdef __linux__
namespace {

std::map<std::string, std::uint64_t> signal_masks(const std::string& status) {
  std::map<std::string, std::uint64_t> masks;
  std::istringstream lines(status);
  for (std::string line; std::getline(lines, line);) {
    const std::string field = line.substr(0, 6);
    if (field == "SigIgn" || field == "SigBlk" || field == "SigCgt")
      masks[field] = std::stoull(line.substr(7), nullptr, 16);
  }
  return masks;
}

constexpr std::uint64_t bit(int signal_number) {
  return std::uint64_t{1} << (signal_number - 1);
}

void nothing(int) {}

// Runs `program` with `argument` by the posix_spawn start alone, as a
// sandbox that refuses vfork gets it; its standard output.
std::string spawned_output(const std::string& program, const char* argument) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return "(no pipe)";
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(argument), nullptr};
  const kelvar::lookup::posix::StartPlan plan{program.c_str(), argv, environ, out[1], err[1], true};
  kelvar::lookup::posix::Started started;
  const OsFailure error = kelvar::lookup::posix::start_with_spawn(plan, started);
  ::close(out[1]);
  ::close(err[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t got; !error && (got = ::read(out[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(got));
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  if (!error) ::waitpid(started.pid, &status, 0);
  return error ? "(no start)" : text;
}

}  // namespace

TEST_CASE(the_child_starts_with_the_signal_state_of_subprocess_children) {
  // On both starts: what the host handles goes back to its default, what it
  // ignores stays ignored (as subprocess's children keep it), SIGPIPE and
  // SIGXFSZ (ignored by an interpreter for itself) go back to the default;
  // no signal of the thread's mask is blocked, but the posix_spawn start
  // keeps the three stop signals blocked. The shell would change its state
  // itself, so the fake is cat, reporting on itself.
  Fakes fakes;
  const std::string cat = fakes.add("kelvar-status", "");
  fs::remove(cat);
  fs::create_symlink(fs::exists("/bin/cat") ? "/bin/cat" : "/usr/bin/cat", cat);
  struct sigaction ignore = {}, handle = {}, saved[4] = {};
  ignore.sa_handler = SIG_IGN;
  handle.sa_handler = &nothing;
  const int ignored[] = {SIGPIPE, SIGXFSZ, SIGUSR2};
  for (int i = 0; i < 3; ++i) ::sigaction(ignored[i], &ignore, &saved[i]);
  ::sigaction(SIGTERM, &handle, &saved[3]);
  sigset_t block, saved_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &block, &saved_mask);
  const RunResult vforked = fakes.run("kelvar-status", "/proc/self/status");
  const std::string spawned = spawned_output(cat, "/proc/self/status");
  sigset_t after;  // the run's own blocking of every signal has ended with it
  ::pthread_sigmask(SIG_BLOCK, nullptr, &after);
  CHECK(sigismember(&after, SIGUSR1) == 1 && sigismember(&after, SIGTERM) == 0);
  ::pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
  for (int i = 0; i < 3; ++i) ::sigaction(ignored[i], &saved[i], nullptr);
  ::sigaction(SIGTERM, &saved[3], nullptr);

  const std::uint64_t stops = bit(SIGTSTP) | bit(SIGTTIN) | bit(SIGTTOU);
  for (const bool by_spawn : {false, true}) {
    std::map<std::string, std::uint64_t> masks = signal_masks(by_spawn ? spawned : vforked.out);
    CHECK(masks.count("SigIgn") == 1 && masks.count("SigBlk") == 1);
    CHECK_EQ(masks["SigIgn"] & (bit(SIGPIPE) | bit(SIGXFSZ) | bit(SIGTERM)), std::uint64_t{0});
    CHECK_EQ(masks["SigIgn"] & bit(SIGUSR2), bit(SIGUSR2));
    CHECK_EQ(masks["SigCgt"], std::uint64_t{0});  // exec reset what had a handler
    CHECK_EQ(masks["SigBlk"], by_spawn ? stops : std::uint64_t{0});
  }
}
#endif  // __linux__

#endif  // _WIN32
