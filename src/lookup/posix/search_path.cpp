#include "lookup/posix/search_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kelvar::lookup::posix {
namespace {

// Fallback when the system does not name its default path.
constexpr char fallback_default_path[] = "/usr/bin:/bin";

bool in_group(gid_t group) noexcept {
  if (group == ::getegid()) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  auto* groups = static_cast<gid_t*>(std::malloc(sizeof(gid_t) * static_cast<std::size_t>(count)));
  if (groups == nullptr) return false;
  const int filled = ::getgroups(count, groups);
  bool found = false;
  for (int i = 0; i < filled && !found; ++i) found = groups[i] == group;
  std::free(groups);
  return found;
}

// The decision of the mode bits alone, taken as the kernel takes it for the
// effective ids: the owner's bits for the owner, the group's for a member,
// the others' for the rest, and any execute bit for root.
bool mode_allows_execution(const struct stat& info) noexcept {
  const uid_t user = ::geteuid();
  if (user == 0) return (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
  if (info.st_uid == user) return (info.st_mode & S_IXUSR) != 0;
  if (in_group(info.st_gid)) return (info.st_mode & S_IXGRP) != 0;
  return (info.st_mode & S_IXOTH) != 0;
}

}  // namespace

const char* search_path_value(char** owned) noexcept {
  *owned = nullptr;
  if (const char* value = std::getenv("PATH")) return value;
  // Asked for the length first: confstr truncates into a short buffer.
  const std::size_t size = ::confstr(_CS_PATH, nullptr, 0);
  const std::size_t room = size > 1 ? size : sizeof fallback_default_path;
  *owned = static_cast<char*>(std::malloc(room));
  if (*owned == nullptr) return nullptr;
  if (size > 1) {
    ::confstr(_CS_PATH, *owned, size);
  } else {
    std::memcpy(*owned, fallback_default_path, sizeof fallback_default_path);
  }
  return *owned;
}

bool is_program_file(const char* path) noexcept {
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

}  // namespace kelvar::lookup::posix
