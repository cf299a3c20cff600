"""The two numeric samples in wrapping 32-bit arithmetic."""

import array

import pytest
from hypothesis import given, settings, strategies as st

import _kelvar

MASK = 2**32 - 1
I32 = st.integers(min_value=-(2**31), max_value=2**31 - 1)


def wrap_i32(value):
    value &= MASK
    return value - 2**32 if value >= 2**31 else value


def fib_reference(n):
    """F(n) mod 2^32 from the power of [[1, 1], [1, 0]], by repeated squaring."""

    def multiply(x, y):
        return [
            [(x[0][0] * y[0][0] + x[0][1] * y[1][0]) & MASK,
             (x[0][0] * y[0][1] + x[0][1] * y[1][1]) & MASK],
            [(x[1][0] * y[0][0] + x[1][1] * y[1][0]) & MASK,
             (x[1][0] * y[0][1] + x[1][1] * y[1][1]) & MASK],
        ]

    result, base = [[1, 0], [0, 1]], [[1, 1], [1, 0]]
    while n:
        if n & 1:
            result = multiply(result, base)
        base = multiply(base, base)
        n >>= 1
    return result[0][1]


def fib_sequence(count):
    a, b = 0, 1
    for _ in range(count):
        yield a
        a, b = b, (a + b) & MASK


@pytest.mark.parametrize(
    "n, expected",
    [
        (0, 0),
        (1, 1),
        (2, 1),
        (10, 55),
        (47, 2971215073),
        (48, 4807526976 - 2**32),
    ],
)
def test_fib_samples(n, expected):
    assert _kelvar.fib(n) == expected


def test_fib_agrees_with_the_recurrence_from_the_start():
    assert [_kelvar.fib(n) for n in range(2000)] == list(fib_sequence(2000))


@pytest.mark.parametrize("n", [2**31 - 1, 2**31, 2**32 - 2, 2**32 - 1])
def test_fib_answers_for_the_largest_arguments(n):
    assert _kelvar.fib(n) == fib_reference(n)


@given(st.integers(min_value=0, max_value=2**32 - 1))
def test_fib_matches_the_matrix_power(n):
    result = _kelvar.fib(n)
    assert type(result) is int
    assert 0 <= result <= MASK
    assert result == fib_reference(n)


@pytest.mark.parametrize(
    "arr, expected",
    [
        ([], 0),
        ([1, 2, 3, 4, 5], 15),
        ((1, 2, 3, 4, 5), 15),
        ([2**31 - 1, 1], -(2**31)),
        ([-(2**31), -1], 2**31 - 1),
        ([-5, 2], -3),
        ([2**31 - 1] * 4, -4),
        ([-1] * 17, -17),
        (list(range(1000)), 499500),
    ],
)
def test_sum_samples(arr, expected):
    assert _kelvar.sum_as_arr(arr) == expected


@given(st.lists(I32, max_size=300))
def test_sum_matches_wrapped_python_sum(values):
    expected = wrap_i32(sum(values))
    # Every container that holds the same values sums the same.
    for container in (values, tuple(values), array.array("i", values)):
        result = _kelvar.sum_as_arr(container)
        assert type(result) is int
        assert result == expected


@settings(max_examples=20)
@given(st.lists(I32, min_size=1, max_size=5), st.integers(min_value=1000, max_value=20000))
def test_sum_of_long_arrays(pattern, repeat):
    # Long enough that any lane-wise accumulation and the remainder loop both run.
    values = pattern * repeat
    assert _kelvar.sum_as_arr(values) == wrap_i32(sum(values))


def test_sum_of_a_million():
    values = [(i * 2654435761) % 2**32 - 2**31 for i in range(1_000_000)]
    assert _kelvar.sum_as_arr(values) == wrap_i32(sum(values))
