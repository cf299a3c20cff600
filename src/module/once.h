// Process-wide values computed once, on first use, and kept for the life of
// the process.
#pragma once

#include <atomic>
#include <mutex>

#include "module/attach.h"

namespace kelvar::py {

template <class T>
class OnceCell {
 public:
  constexpr OnceCell() noexcept = default;
  OnceCell(const OnceCell&) = delete;
  OnceCell& operator=(const OnceCell&) = delete;

  // The value if some thread has stored it already; never waits.
  const T* get_if_ready() const noexcept {
    return ready_.load(std::memory_order_acquire) ? &value_ : nullptr;
  }

  // `init` runs attached, at most once to completion; if it ends in an
  // internal failure the cell stays empty and a later call tries again.
  template <class Init>
  const T& get(Init&& init) {
    if (ready_.load(std::memory_order_acquire)) return value_;
    // The initialiser calls into the interpreter, and may let other threads
    // run while it does. Waiting for the section while holding the
    // interpreter lock could deadlock against such a thread, so the lock is
    // given up before the section is entered and retaken inside it.
    Detached detached;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ready_.load(std::memory_order_relaxed)) {
      detached.reattach();
      value_ = init();
      ready_.store(true, std::memory_order_release);
    }
    return value_;
  }

 private:
  std::atomic<bool> ready_{false};
  std::mutex mutex_;
  T value_{};
};

}  // namespace kelvar::py
