#include "lookup/output.h"

namespace kelvar::lookup {

// The stand-in, and any `where` a POSIX user would put first, writes UTF-8.
std::optional<std::string> first_path_printed(std::string_view raw) {
  return first_path_in(decode_utf8_lenient(raw));
}

}  // namespace kelvar::lookup
