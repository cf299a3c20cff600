#include "common/search_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace kelvar::common {
namespace {

// Fallback when the system does not name its default path.
constexpr std::string_view fallback_default_path = "/usr/bin:/bin";

bool in_group(gid_t group) {
  if (group == ::getegid()) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int filled = ::getgroups(count, groups.data());
  for (int i = 0; i < filled; ++i) {
    if (groups[static_cast<std::size_t>(i)] == group) return true;
  }
  return false;
}

// The decision of the mode bits alone, taken as the kernel takes it for the
// effective ids: the owner's bits for the owner, the group's for a member,
// the others' for the rest, and any execute bit for root.
bool mode_allows_execution(const struct stat& info) {
  const uid_t user = ::geteuid();
  if (user == 0) return (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
  if (info.st_uid == user) return (info.st_mode & S_IXUSR) != 0;
  if (in_group(info.st_gid)) return (info.st_mode & S_IXGRP) != 0;
  return (info.st_mode & S_IXOTH) != 0;
}

}  // namespace

std::string default_search_path() {
  // Asked for the length first: confstr truncates into a short buffer.
  const std::size_t size = ::confstr(_CS_PATH, nullptr, 0);
  if (size <= 1) return std::string(fallback_default_path);
  std::string path(size, '\0');
  ::confstr(_CS_PATH, path.data(), size);
  path.resize(size - 1);  // the terminating NUL
  return path;
}

std::vector<std::string_view> search_path_entries(std::string& storage) {
  const char* value = std::getenv("PATH");
  storage = value != nullptr ? std::string(value) : default_search_path();
  std::vector<std::string_view> entries;
  std::string_view rest = storage;
  for (;;) {
    const std::size_t colon = rest.find(':');
    entries.push_back(rest.substr(0, colon));
    if (colon == std::string_view::npos) return entries;
    rest.remove_prefix(colon + 1);
  }
}

bool is_program_file(const char* path) {
  // The stat comes first because most probes hit nothing and end there with
  // one system call; the access check then decides, since it knows what the
  // mode bits do not tell: ACLs, and file systems mounted without execute
  // permission.
  struct stat info;
  if (::stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (::faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) == 0) return true;
  // A sandbox that refuses the call (older container profiles answer the
  // newer faccessat2 with EPERM) costs the finer points, not the answer.
  if (errno != ENOSYS && errno != EPERM) return false;
  return mode_allows_execution(info);
}

}  // namespace kelvar::common
