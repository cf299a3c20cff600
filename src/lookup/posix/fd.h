// Owned descriptors and the output pipes of the POSIX runner.
#pragma once

#include <utility>

namespace kelvar::lookup::posix {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  void reset() noexcept;

 private:
  int fd_ = -1;
};

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

// 0, or the error number of the step that failed. Both ends are
// close-on-exec and numbered above 2.
int make_pipe(Pipe& pipe) noexcept;

}  // namespace kelvar::lookup::posix
