// Small pieces of the Windows API that the program search, the runner and
// the reading of `where`'s output share.
#pragma once

#include <string>
#include <utility>

#include "lookup/windows/api.h"

namespace kelvar::lookup {

// Owns one kernel handle. Both "no handle" values of the API (null and
// INVALID_HANDLE_VALUE) are kept as null, so a failed open never reaches
// CloseHandle.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) noexcept : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      h_ = std::exchange(other.h_, nullptr);
    }
    return *this;
  }
  ~Handle() { reset(); }

  HANDLE get() const noexcept { return h_; }
  explicit operator bool() const noexcept { return h_ != nullptr; }
  void reset() noexcept {
    if (h_ != nullptr) CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  HANDLE h_ = nullptr;
};

// Whether `path` names a file: a directory that carries a program's name
// cannot be started, and a folder is never the answer to a lookup.
bool is_existing_file(const std::wstring& path);

}  // namespace kelvar::lookup
