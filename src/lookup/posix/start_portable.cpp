// Starting the child where vfork with steps of our own is not built (every
// POSIX system but Linux): the C library's posix_spawn does the steps.
#include "lookup/posix/start.h"

namespace kelvar::lookup::posix {

SystemError start_child(const StartPlan& plan, Started& started) noexcept {
  return start_with_spawn(plan, started);
}

}  // namespace kelvar::lookup::posix
