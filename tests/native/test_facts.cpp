#include <cstdint>
#include <vector>

#include "check.h"
#include "facts/numeric.h"

using kelvar::facts::fib;
using kelvar::facts::sum_wrapping;

namespace {

// F(n) mod 2^32 by powers of [[1,1],[1,0]]: a method unrelated to the
// library's, for any n.
std::uint32_t fib_by_matrix(std::uint32_t n) {
  std::uint32_t r[4] = {1, 0, 0, 1};
  std::uint32_t b[4] = {1, 1, 1, 0};
  const auto mul = [](std::uint32_t* x, const std::uint32_t* y) {
    const std::uint32_t t[4] = {x[0] * y[0] + x[1] * y[2], x[0] * y[1] + x[1] * y[3],
                                x[2] * y[0] + x[3] * y[2], x[2] * y[1] + x[3] * y[3]};
    for (int i = 0; i < 4; ++i) x[i] = t[i];
  };
  for (; n != 0; n >>= 1) {
    if (n & 1u) mul(r, b);
    mul(b, b);
  }
  return r[1];
}

}  // namespace

TEST_CASE(fib_matches_the_wrapped_recurrence) {
  CHECK_EQ(fib(0), 0u);
  CHECK_EQ(fib(1), 1u);
  CHECK_EQ(fib(2), 1u);
  CHECK_EQ(fib(10), 55u);
  CHECK_EQ(fib(47), 2971215073u);  // the largest that fits
  CHECK_EQ(fib(48), static_cast<std::uint32_t>(4807526976ull - (1ull << 32)));  // wrapped once
  std::uint32_t f = 0, next = 1;  // F(n), F(n+1), by plain wrapping additions
  int wrong = 0;
  for (std::uint32_t n = 0; n <= 100000; ++n, next += f, f = next - f) {
    if (fib(n) != f && wrong++ < 3) CHECK_EQ(n, 0u);
  }
}

TEST_CASE(fib_for_large_n_matches_matrix_powers) {
  CHECK_EQ(fib_by_matrix(48), 512559680u);
  for (std::uint32_t n : {1000000u, 123456789u, 2147483648u, 4294967294u, 4294967295u}) {
    CHECK_EQ(fib(n), fib_by_matrix(n));
  }
  for (std::uint32_t high = 0; high < 256; ++high) {  // every pattern of the top bits
    const std::uint32_t n = (high << 24) | ((high * 2654435761u) >> 8);
    CHECK_EQ(fib(n), fib_by_matrix(n));
  }
}

TEST_CASE(sum_wrapping_matches_a_wide_sum_for_every_length) {
  CHECK_EQ(sum_wrapping(nullptr, 0), 0);
  const std::int32_t samples[] = {INT32_MAX, 1, -5, 2};
  CHECK_EQ(sum_wrapping(samples, 2), INT32_MIN);
  CHECK_EQ(sum_wrapping(samples + 2, 2), -3);
  // Lengths around the lane width reach the blocked loop and the tail; large
  // values of both signs make the partial sums wrap.
  std::vector<std::int32_t> values;
  std::uint32_t state = 12345u;
  for (std::size_t length = 0; length <= 40; ++length) {
    std::int64_t wide = 0;
    for (std::int32_t v : values) wide += v;
    CHECK_EQ(sum_wrapping(values.data(), values.size()),
             static_cast<std::int32_t>(static_cast<std::uint32_t>(wide)));
    state = state * 1664525u + 1013904223u;
    values.push_back(static_cast<std::int32_t>(state));
  }
}
