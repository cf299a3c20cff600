// Helpers of the POSIX runner tests: scratch folders, scoped variables, and
// small shell scripts that the lookup finds as its `where`.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

#include "lookup/lookup.h"
#include "lookup/process.h"

namespace kelvar_test::posix {

using namespace kelvar::lookup;

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
    std::filesystem::remove_all(path, ignored);
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

inline std::string file_at(const std::string& path, std::string_view text, mode_t mode) {
  std::ofstream(path, std::ios::binary) << text;
  ::chmod(path.c_str(), mode);
  return path;
}

// Fakes of `where`, each in a folder of its own, which the lookup searches
// ahead of PATH as the folder of the interpreter it is told of (a `python`
// there, which need not exist).
struct Fakes {
  TempDir dir;
  std::string add(std::string_view name, std::string_view body) const {
    ::mkdir((dir / name).c_str(), 0755);
    return file_at(dir / name + "/where", "#!/bin/sh\n" + std::string(body) + "\n", 0755);
  }
  Preparation prepare(std::string_view name, std::string_view argument) const {
    return prepare_where(argument, dir / name + "/python");
  }
  RunResult run(std::string_view name, std::string_view argument,
                const StopCheck& stop = StopCheck(), ChildGroup group = ChildGroup::own) const {
    const Preparation prepared = prepare(name, argument);
    const PreparedRun* const found = std::get_if<PreparedRun>(&prepared);
    return found != nullptr ? kelvar::lookup::run(*found, stop, group) : RunResult{};
  }
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The pid a fake wrote to `file` as a whole line, or 0 until it has.
inline pid_t pid_in(const std::string& file) {
  const std::string text = read_file(file);
  return text.empty() || text.back() != '\n' ? 0 : static_cast<pid_t>(std::stol(text));
}

// No child of ours by that number is left to reap, and no process (not even
// a zombie) has it.
inline bool reaped(pid_t pid) {
  int status;
  return pid > 0 && ::waitpid(pid, &status, WNOHANG) < 0 && errno == ECHILD && ::kill(pid, 0) < 0 &&
         errno == ESRCH;
}

// The process has ended: gone, or a zombie that its new parent has not
// reaped yet (an orphan's status is nobody's to take here).
inline bool ended(pid_t pid) {
  if (pid <= 0) return false;
  if (::kill(pid, 0) < 0) return errno == ESRCH;
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t end_of_command = stat.rfind(')');
  return end_of_command != std::string::npos && stat.size() > end_of_command + 2 &&
         (stat[end_of_command + 2] == 'Z' || stat[end_of_command + 2] == 'X');
}

// posix_spawn may report a program that cannot be executed the way POSIX
// allows, by a child that exits with 127 (as it does under valgrind).
inline bool could_not_start(const RunResult& r) {
  return r.status == RunStatus::failed
             ? static_cast<bool>(r.failure)
             : r.status == RunStatus::completed && r.exit_code == 127 && r.out.empty();
}

inline const std::string args_body = "printf '%s' \"$1\"; printf '%s' \"$#\" >&2";
// Each open descriptor of the script's shell as "<number> <target>".
inline const std::string list_fds_body =
    "for f in /proc/$$/fd/*; do echo \"${f##*/} $(readlink \"$f\")\"; done";
inline const std::string sleeper_body = "echo $$ > \"$1\"; exec sleep 1000";

}  // namespace kelvar_test::posix
