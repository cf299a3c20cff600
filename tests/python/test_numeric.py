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


# The values themselves are the native tests' business (they hold the
# oracle); here, that the top of the unsigned range binds whole and comes back
# zero-extended.
@pytest.mark.parametrize("n, expected", [
    (2**31 - 1, 3224697117), (2**31, 2140540357), (2**32 - 2, 1084156761), (2**32 - 1, 1070270178),
])
def test_fib_answers_for_the_largest_arguments(n, expected):
    assert _kelvar.fib(n) == expected


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
