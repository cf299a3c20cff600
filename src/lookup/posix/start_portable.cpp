// Where vfork with steps of our own is not built (every POSIX system but
// Linux), the vfork start fails as a system without vfork would, and the
// run starts the child with the C library's posix_spawn.
#include <cerrno>

#include "lookup/posix/start.h"

namespace kelvar::lookup::posix {

OsFailure start_with_vfork(const StartPlan& /*plan*/, Started& started) noexcept {
  started = Started{};
  return OsFailure{vfork_step, ENOSYS};
}

}  // namespace kelvar::lookup::posix
