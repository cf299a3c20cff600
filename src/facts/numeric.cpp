#include "facts/numeric.h"

namespace kelvar::facts {

std::uint32_t fib(std::uint32_t n) noexcept {
  // Fast doubling: F(2k) = F(k) * (2F(k+1) - F(k)), F(2k+1) = F(k)^2 + F(k+1)^2.
  // Unsigned arithmetic wraps modulo 2^32, and reduction commutes with + and *,
  // so these identities give exactly the wrapped recursive values in 32 steps
  // instead of exponential time and n stack frames.
  std::uint32_t a = 0;  // F(k)
  std::uint32_t b = 1;  // F(k+1)
  for (int bit = 31; bit >= 0; --bit) {
    const std::uint32_t c = a * (2u * b - a);
    const std::uint32_t d = a * a + b * b;
    if ((n >> bit) & 1u) {
      a = d;
      b = c + d;
    } else {
      a = c;
      b = d;
    }
  }
  return a;
}

std::int32_t sum_wrapping(const std::int32_t* values, std::size_t count) noexcept {
  // Wrapping addition is associative, so independent lanes are allowed; they
  // break the dependency chain and let the compiler vectorise the loop.
  constexpr std::size_t lanes = 8;
  std::uint32_t acc[lanes] = {};
  std::size_t i = 0;
  for (; i + lanes <= count; i += lanes) {
    for (std::size_t l = 0; l < lanes; ++l) acc[l] += static_cast<std::uint32_t>(values[i + l]);
  }
  std::uint32_t total = 0;
  for (std::size_t l = 0; l < lanes; ++l) total += acc[l];
  for (; i < count; ++i) total += static_cast<std::uint32_t>(values[i]);
  return static_cast<std::int32_t>(total);
}

}  // namespace kelvar::facts
