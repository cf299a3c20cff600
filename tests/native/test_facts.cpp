#include <climits>
#include <cstdint>
#include <vector>

#include "check.h"
#include "facts/numeric.h"

using kelvar::facts::fib;
using kelvar::facts::sum_wrapping;

namespace {

// F(n) mod 2^32 by 2x2 matrix powers of [[1,1],[1,0]]: a method unrelated to
// the one in the library, usable for any n.
std::uint32_t fib_by_matrix(std::uint32_t n) {
  struct M {
    std::uint32_t a, b, c, d;
  };
  const auto mul = [](const M& x, const M& y) {
    return M{x.a * y.a + x.b * y.c, x.a * y.b + x.b * y.d, x.c * y.a + x.d * y.c,
             x.c * y.b + x.d * y.d};
  };
  M result{1, 0, 0, 1};
  M base{1, 1, 1, 0};
  for (std::uint32_t e = n; e != 0; e >>= 1) {
    if (e & 1u) result = mul(result, base);
    base = mul(base, base);
  }
  return result.b;  // [[F(n+1), F(n)], [F(n), F(n-1)]]
}

}  // namespace

TEST_CASE(fib_known_values) {
  CHECK_EQ(fib(0), 0u);
  CHECK_EQ(fib(1), 1u);
  CHECK_EQ(fib(2), 1u);
  CHECK_EQ(fib(10), 55u);
  CHECK_EQ(fib(46), 1836311903u);
  CHECK_EQ(fib(47), 2971215073u);  // the largest that fits
  // F(48) = 4807526976, one wrap past 2^32.
  CHECK_EQ(fib(48), static_cast<std::uint32_t>(4807526976ULL - 4294967296ULL));
  CHECK_EQ(fib(48), 512559680u);
}

TEST_CASE(fib_matches_the_wrapped_recurrence) {
  // The plain recurrence with wrapping additions, walked for every n.
  std::uint32_t previous = 0;  // F(n)
  std::uint32_t current = 1;   // F(n+1)
  int wrong = 0;
  for (std::uint32_t n = 0; n <= 200000 && wrong < 5; ++n) {
    if (fib(n) != previous) {
      CHECK_EQ(n, 0xFFFFFFFFu);
      ++wrong;
    }
    const std::uint32_t next = previous + current;
    previous = current;
    current = next;
  }
}

TEST_CASE(fib_for_large_n_matches_matrix_powers) {
  const std::uint32_t ns[] = {1000000u,    16777216u,   123456789u,  2147483647u,
                              2147483648u, 3000000001u, 4294967294u, 4294967295u};
  for (std::uint32_t n : ns) {
    CHECK_EQ(fib(n), fib_by_matrix(n));
    // The recurrence holds at any n, wrapped.
    CHECK_EQ(static_cast<std::uint32_t>(fib(n - 1) + fib(n - 2)), fib(n));
  }
  // The reference agrees with the plain walk where both can be checked.
  CHECK_EQ(fib_by_matrix(48), 512559680u);
  CHECK_EQ(fib_by_matrix(10), 55u);
  // Every bit pattern of the top bits, with a varied low part.
  for (std::uint32_t high = 0; high < 256; ++high) {
    const std::uint32_t n = (high << 24) | (high * 2654435761u >> 8);
    CHECK_EQ(fib(n), fib_by_matrix(n));
  }
}

TEST_CASE(sum_wrapping_samples) {
  CHECK_EQ(sum_wrapping(nullptr, 0), 0);
  const std::int32_t five[] = {1, 2, 3, 4, 5};
  CHECK_EQ(sum_wrapping(five, 5), 15);
  const std::int32_t over[] = {INT32_MAX, 1};
  CHECK_EQ(sum_wrapping(over, 2), INT32_MIN);
  const std::int32_t under[] = {INT32_MIN, -1};
  CHECK_EQ(sum_wrapping(under, 2), INT32_MAX);
  const std::int32_t mixed[] = {-5, 2};
  CHECK_EQ(sum_wrapping(mixed, 2), -3);
}

TEST_CASE(sum_wrapping_matches_a_wide_sum_for_every_length) {
  // Lengths around the lane width exercise the blocked loop and the tail.
  std::vector<std::int32_t> values;
  std::uint32_t state = 12345u;
  for (std::size_t length = 0; length <= 100; ++length) {
    std::int64_t wide = 0;
    for (std::int32_t v : values) wide += v;
    const auto expected = static_cast<std::int32_t>(static_cast<std::uint32_t>(wide));
    CHECK_EQ(sum_wrapping(values.data(), values.size()), expected);
    // Large values of both signs so that partial sums wrap.
    state = state * 1664525u + 1013904223u;
    values.push_back(static_cast<std::int32_t>(state));
  }
}

TEST_CASE(sum_wrapping_reads_only_count_values) {
  const std::int32_t values[] = {7, 100, 100, 100, 100, 100, 100, 100, 100, 100};
  CHECK_EQ(sum_wrapping(values, 1), 7);
  CHECK_EQ(sum_wrapping(values + 1, 8), 800);
  CHECK_EQ(sum_wrapping(values, 9), 807);
}
