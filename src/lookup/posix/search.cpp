// Finding `where` on POSIX systems, and taking the snapshot of the
// environment that its run hands it. Runs while the caller holds its own
// lock, since the environment and the working directory are process-wide.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lookup/lookup.h"
#include "lookup/posix/search_path.h"
#include "lookup/process.h"

#if defined(__linux__)
#include <sys/auxv.h>
#endif
#include <dlfcn.h>
#if defined(__APPLE__)
#include <crt_externs.h>
#include <mach-o/dyld.h>
#endif

#if !defined(__APPLE__)
extern "C" char** environ;
#endif

namespace kelvar::lookup {
namespace {

char** environment_block() noexcept {
#if defined(__APPLE__)
  return *_NSGetEnviron();  // `environ` is not reachable from a bundle
#else
  return environ;
#endif
}

std::string current_directory() {
  std::string buffer(256, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(std::strlen(buffer.c_str()));
      return buffer;
    }
    if (errno != ERANGE) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

// The directory made absolute now, so that the path stays right if the
// working directory changes before the run.
std::string absolute_directory(std::string_view directory) {
  if (!directory.empty() && directory.front() == '/') return std::string(directory);
  // "./bin" (as a program started as ./bin/python records itself) is "bin".
  while (directory.size() >= 2 && directory.substr(0, 2) == "./") {
    directory.remove_prefix(2);
    while (!directory.empty() && directory.front() == '/') directory.remove_prefix(1);
  }
  std::string cwd = current_directory();
  if (cwd.empty()) return directory.empty() ? std::string(".") : std::string(directory);
  if (directory.empty() || directory == ".") return cwd;
  if (cwd.back() != '/') cwd += '/';
  cwd += directory;
  return cwd;
}

std::string join(std::string_view directory, std::string_view name) {
  std::string path;
  posix::append_joined(path, directory, name);
  return path;
}

// Whether `path` names the file of the running program (after links).
bool leads_to_running_executable(const std::string& path) noexcept {
#if defined(__linux__)
  struct stat started, running;
  return ::stat(path.c_str(), &started) == 0 && ::stat("/proc/self/exe", &running) == 0 &&
         started.st_dev == running.st_dev && started.st_ino == running.st_ino;
#else
  (void)path;
  return false;  // nothing to compare with: better no answer than a wrong one
#endif
}

// The directory part of `path` made absolute; the working directory for a
// bare name.
std::string directory_of(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return absolute_directory(".");
  return absolute_directory(path.substr(0, slash == 0 ? 1 : slash));
}

// The directory of the running executable as the process itself tells it,
// for a host that records no interpreter path. The start path comes first,
// links not resolved, but only while it leads to the running executable: for
// a program started by its #! line it is the script, and a relative one may
// have been left behind by a change of directory. Otherwise the executable's
// own file, as the kernel names it.
std::optional<std::string> process_executable_directory() {
#if defined(__linux__)
  const auto address = static_cast<std::uintptr_t>(::getauxval(AT_EXECFN));
  if (address != 0) {
    const std::string started_as = reinterpret_cast<const char*>(address);
    if (!started_as.empty() && leads_to_running_executable(started_as)) {
      return directory_of(started_as);
    }
  }
  std::string target(4096, '\0');
  const ssize_t size = ::readlink("/proc/self/exe", target.data(), target.size());
  if (size <= 0 || static_cast<std::size_t>(size) >= target.size() || target.front() != '/') {
    return std::nullopt;
  }
  target.resize(static_cast<std::size_t>(size));
  return directory_of(target);
#elif defined(__APPLE__)
  std::uint32_t size = 1024;
  std::string buffer(size, '\0');
  if (::_NSGetExecutablePath(buffer.data(), &size) != 0) {
    buffer.assign(size, '\0');
    if (::_NSGetExecutablePath(buffer.data(), &size) != 0) return std::nullopt;
  }
  const std::string started_as = buffer.c_str();
  if (started_as.empty()) return std::nullopt;
  return directory_of(started_as);
#else
  return std::nullopt;
#endif
}

// The directory of the interpreter as it was started: by the host's own
// record (`interpreter`, links not resolved, so that an interpreter started
// as venv/bin/python finds the tools of that environment even when it is not
// activated), or, when the host keeps none, by what the process can tell.
std::optional<std::string> interpreter_directory(std::string_view interpreter) {
  if (interpreter.empty() || interpreter.find('\0') != std::string_view::npos) {
    return process_executable_directory();
  }
  return directory_of(interpreter);
}

// The folder of the tools shipped with the file that holds this code (the
// extension module, or a program linked with the lookup): `kelvar/bin` beside
// that file, by the path it was loaded from. A user or target install, an
// embedding host or a virtual environment that is not activated has the
// scripts folder on no search path, but the module always knows where it
// lives itself. Asked of the loader, not of Python, so that it holds for any
// host. A folder named after the project, so that no other distribution's
// `where` in site-packages is taken for ours.
std::optional<std::string> module_tools_directory() {
  Dl_info info{};
  // Any function of ours will do; its address lies in our own image.
  if (::dladdr(reinterpret_cast<void*>(&prepare_where), &info) == 0 || info.dli_fname == nullptr) {
    return std::nullopt;
  }
  const std::string_view file = info.dli_fname;
  const std::size_t slash = file.rfind('/');
  // A bare name was found by the loader's own search; there is no folder to name.
  if (slash == std::string_view::npos) return std::nullopt;
  return join(absolute_directory(file.substr(0, slash == 0 ? 1 : slash)), "kelvar/bin");
}

bool is_program(const std::string& path) {
  return posix::is_program_file(path.c_str());
}

std::optional<std::string> find_where(std::string_view interpreter) {
  for (const auto& directory : {module_tools_directory(), interpreter_directory(interpreter)}) {
    if (!directory) continue;
    std::string path = join(*directory, where_program);
    if (is_program(path)) return path;
  }

  char* owned = nullptr;
  const char* value = posix::search_path_value(&owned);
  const std::unique_ptr<char, void (*)(void*)> release(owned, std::free);
  if (value == nullptr) throw std::bad_alloc();
  const std::string search = value;
  std::string_view rest = search;
  std::string_view entry;
  while (posix::next_search_entry(rest, entry)) {
    // An empty entry stands for the working directory, as for the shell.
    std::string path = join(absolute_directory(entry), where_program);
    if (is_program(path)) return path;
  }
  return std::nullopt;
}

}  // namespace

bool looks_beside_interpreter() noexcept {
  return true;
}

Preparation prepare_where(std::string_view query, std::string_view interpreter) {
  // A C string ends at its first NUL: such a query cannot reach `where` whole.
  if (query.find('\0') != std::string_view::npos) return NotPrepared::nul_in_text;
  std::optional<std::string> path = find_where(interpreter);
  if (!path) return NotPrepared::no_program;

  PreparedRun prepared;
  prepared.program = std::move(*path);
  prepared.argv = {std::string(where_program), std::string(query)};
  // Copied now, while the caller's lock keeps the environment still; the run
  // itself never looks at it.
  for (char** entry = environment_block(); entry != nullptr && *entry != nullptr; ++entry) {
    prepared.environment.emplace_back(*entry);
  }
  return prepared;
}

}  // namespace kelvar::lookup
