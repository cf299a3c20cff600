// UTF-16 as UTF-8, for the test programs on Windows: the one copy that the
// tests and the test where.exe share.
#pragma once

#include <string>
#include <string_view>

#include "lookup/windows/api.h"

inline std::string utf8(std::wstring_view wide) {
  if (wide.empty()) return std::string();
  const int len = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(len), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), len,
                      nullptr, nullptr);
  return out;
}
