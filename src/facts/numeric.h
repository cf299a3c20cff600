// The two numeric samples, in wrapping 32-bit arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvar::facts {

// The n-th Fibonacci number modulo 2^32: the value the plain recursion
// fib(n) = fib(n-1) + fib(n-2) gives with wrapping additions.
std::uint32_t fib(std::uint32_t n) noexcept;

// Sum of the values with two's-complement wrap-around.
std::int32_t sum_wrapping(const std::int32_t* values, std::size_t count) noexcept;

}  // namespace kelvar::facts
