// Finding the program to run on POSIX systems, and taking the snapshot of the
// environment that the run hands it. Runs while the caller holds its own
// lock, since the environment and the working directory are process-wide.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
  std::string path(directory);
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

bool is_executable_file(const std::string& path) noexcept {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  return ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
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

// The directory of the executable by the path it was started with, links
// not resolved: an interpreter started as venv/bin/python finds the tools of
// that environment beside it even when the environment is not activated.
// A relative start path was relative to the working directory of the moment
// the process started; it is used only while it still leads to the running
// executable, since the process may have changed directory since then.
std::optional<std::string> executable_directory() {
  std::string started_as;
#if defined(__linux__)
  const auto address = static_cast<std::uintptr_t>(::getauxval(AT_EXECFN));
  if (address == 0) return std::nullopt;
  started_as = reinterpret_cast<const char*>(address);
#elif defined(__APPLE__)
  std::uint32_t size = 1024;
  std::string buffer(size, '\0');
  if (::_NSGetExecutablePath(buffer.data(), &size) != 0) {
    buffer.assign(size, '\0');
    if (::_NSGetExecutablePath(buffer.data(), &size) != 0) return std::nullopt;
  }
  started_as = buffer.c_str();
#else
  return std::nullopt;
#endif
  if (started_as.empty()) return std::nullopt;
  if (started_as.front() != '/' && !leads_to_running_executable(started_as)) return std::nullopt;
  const std::size_t slash = started_as.rfind('/');
  if (slash == std::string::npos) return absolute_directory(".");
  return absolute_directory(std::string_view(started_as).substr(0, slash == 0 ? 1 : slash));
}

// The directory of the file that holds this code (the extension module, or
// a program linked with the lookup), by the path it was loaded from. The
// module's package ships its own `where` there: a user or target install,
// an embedding host or a virtual environment that is not activated has the
// scripts folder on no search path, but the module always knows where it
// lives itself. Asked of the loader, not of Python, so that it holds for
// any host.
std::optional<std::string> module_directory() {
  Dl_info info{};
  // Any function of ours will do; its address lies in our own image.
  if (::dladdr(reinterpret_cast<void*>(&prepare_run), &info) == 0 || info.dli_fname == nullptr) {
    return std::nullopt;
  }
  const std::string_view file = info.dli_fname;
  const std::size_t slash = file.rfind('/');
  // A bare name was found by the loader's own search; there is no folder to name.
  if (slash == std::string_view::npos) return std::nullopt;
  return absolute_directory(file.substr(0, slash == 0 ? 1 : slash));
}

std::string default_search_path() {
  const std::size_t size = ::confstr(_CS_PATH, nullptr, 0);
  if (size == 0) return "/usr/bin:/bin";
  std::string path(size, '\0');
  ::confstr(_CS_PATH, path.data(), size);
  path.resize(size - 1);
  return path;
}

std::optional<std::string> find_program(std::string_view program) {
  if (program.find('/') != std::string_view::npos) {
    const std::size_t slash = program.rfind('/');
    std::string path = join(absolute_directory(program.substr(0, slash == 0 ? 1 : slash)),
                            program.substr(slash + 1));
    if (is_executable_file(path)) return path;
    return std::nullopt;
  }

  for (const auto& directory : {module_directory(), executable_directory()}) {
    if (!directory) continue;
    std::string path = join(*directory, program);
    if (is_executable_file(path)) return path;
  }

  const char* variable = ::getenv("PATH");
  const std::string search = variable != nullptr ? std::string(variable) : default_search_path();
  std::size_t start = 0;
  for (;;) {
    const std::size_t colon = search.find(':', start);
    const std::string_view entry =
        std::string_view(search).substr(start, colon == std::string::npos ? colon : colon - start);
    // An empty entry stands for the working directory, as for the shell.
    std::string path = join(absolute_directory(entry), program);
    if (is_executable_file(path)) return path;
    if (colon == std::string::npos) return std::nullopt;
    start = colon + 1;
  }
}

}  // namespace

// ---------------------------------------------------------------------------

std::optional<PreparedRun> prepare_run(std::string_view program, std::string_view argument) {
  // A C string ends at its first NUL: such a text cannot reach the child whole.
  if (program.empty() || program.find('\0') != std::string_view::npos ||
      argument.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  std::optional<std::string> path = find_program(program);
  if (!path) return std::nullopt;

  PreparedRun prepared;
  prepared.program = std::move(*path);
  prepared.argv = {std::string(program), std::string(argument)};
  // Copied now, while the caller's lock keeps the environment still; the run
  // itself never looks at it.
  for (char** entry = environment_block(); entry != nullptr && *entry != nullptr; ++entry) {
    prepared.environment.emplace_back(*entry);
  }
  return prepared;
}

}  // namespace kelvar::lookup
