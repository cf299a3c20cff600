// The Windows program search, by which prepare_where() finds `where`.
#pragma once

#include <string_view>

#include "lookup/process.h"

namespace kelvar::lookup {

// Finds `program` (a bare name such as "where") by the order of the Windows
// search: the folder of the running executable, the system folder, the
// Windows folder, then each entry of PATH; and prepares it to be run with
// `argument` (UTF-8) as its only argument.
Preparation prepare_run(std::string_view program, std::string_view argument);

}  // namespace kelvar::lookup
