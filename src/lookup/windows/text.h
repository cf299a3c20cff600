// Conversions between the byte encodings the lookup meets and the UTF-16 of
// the Windows API.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "lookup/windows/api.h"

namespace kelvar::lookup {

// `bytes` in `code_page` (CP_UTF8, CP_OEMCP, ...) as UTF-16; nothing when
// they cannot be converted.
std::optional<std::wstring> to_wide(std::string_view bytes, UINT code_page);
// UTF-16 as UTF-8; nothing when it cannot be converted.
std::optional<std::string> to_utf8(std::wstring_view wide);

}  // namespace kelvar::lookup
