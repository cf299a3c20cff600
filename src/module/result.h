// A body's outcome: its value or a pending error, never both.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

#include "module/pending_error.h"

namespace kelvar::py {

struct Unit {};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(PendingError error) : state_(std::in_place_index<1>, std::move(error)) {}
  Result(Result&&) = default;
  Result& operator=(Result&&) = default;
  // The variant's own destructor is noexcept: what it holds is moved out and
  // released here, where a finaliser that ends the thread may unwind.
  ~Result() noexcept(false) {
    if (ok()) {
      [[maybe_unused]] T dropped = std::move(std::get<0>(state_));
    } else {
      [[maybe_unused]] PendingError dropped = std::move(std::get<1>(state_));
    }
  }

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() { return std::get<0>(state_); }
  T take_value() { return std::move(std::get<0>(state_)); }
  PendingError take_error() { return std::move(std::get<1>(state_)); }

 private:
  std::variant<T, PendingError> state_;
};

}  // namespace kelvar::py
