"""Conversion of bound arguments to native integers and sequences, and the
errors it gives, those raised by Python code among them."""

import array
import operator
import struct
import sys

import pytest

import _kelvar
from _binding_helpers import CustomSequence, Index, Raising, Text, index_error_text, raises_exactly


# ---------------------------------------------------------------- unsigned n


class Int(int):
    """An int subclass whose __index__ disagrees with its value."""

    def __index__(self):
        return 3


U32_OVERFLOW = "out of range integral type conversion attempted"
# What fib makes of an argument: its answer (`int` for any in range), or an
# error: the module's own overflow past 32 bits, the interpreter's overflow
# past the unsigned 64 bits it reads (neither labelled with the parameter),
# or the interpreter's TypeError of an object that is no integer, labelled.
U32, U64, NO_INTEGER = "past 32 bits", "past unsigned 64 bits", "no integer"
FIB_ARGUMENTS = [
    (0, 0), (10, 55), (True, 1), (False, 0), (Index(5), 5), (Int(10), 55), (2**32 - 1, int),
    *[(value, U32) for value in
      [2**32, 2**32 + 1, 2**63, 2**64 - 1, Index(2**32), Index(2**64 - 1), Int(2**32)]],
    *[(value, U64) for value in [-1, -(2**40), 2**64, 2**100, Index(-1), Index(2**64)]],
    *[(value, NO_INTEGER) for value in [3.0, "5", None, b"5", [5], 1j, Index(3.0), Index("5")]],
]


@pytest.mark.parametrize("value, outcome", FIB_ARGUMENTS)
def test_fib_argument(value, outcome):
    if outcome is int:
        assert 0 <= _kelvar.fib(value) < 2**32
    elif isinstance(outcome, int):
        assert _kelvar.fib(value) == outcome
    elif outcome == NO_INTEGER:
        exc = raises_exactly(TypeError, _kelvar.fib, value)
        assert str(exc) == "argument 'n': " + index_error_text(value)
    else:
        exc = raises_exactly(OverflowError, _kelvar.fib, value)
        assert (str(exc) == U32_OVERFLOW) is (outcome == U32)
        assert not str(exc).startswith("argument")


# ------------------------------------------------- errors raised by Python code


class IndexTypeError(TypeError):
    pass


def test_type_error_subclass_passes_unchanged():
    original = IndexTypeError("kept as it is")
    for func, arg in ((_kelvar.fib, Raising(original)),
                      (_kelvar.sum_as_arr, [1, Raising(original)])):
        assert raises_exactly(IndexTypeError, func, arg) is original


@pytest.mark.parametrize("with_cause", [False, True])
@pytest.mark.parametrize(
    "func, make_arg, param",
    [
        (_kelvar.fib, lambda obj: obj, "n"),
        (_kelvar.sum_as_arr, lambda obj: [1, obj], "arr"),
        (_kelvar.sum_as_arr, lambda obj: (obj,), "arr"),
        (_kelvar.sum_as_arr, lambda obj: iter_sequence([obj]), "arr"),
    ],
)
def test_plain_type_error_is_relabelled_with_its_cause(func, make_arg, param, with_cause):
    cause = KeyError("the cause")

    class Relabel:
        def __index__(self):
            if with_cause:
                raise TypeError("bad index") from cause
            raise TypeError("bad index")

    exc = raises_exactly(TypeError, func, make_arg(Relabel()))
    assert str(exc) == f"argument '{param}': bad index"
    assert exc.__cause__ is (cause if with_cause else None)
    # The replaced error itself is not chained to the new one.
    assert exc.__context__ is None


def test_relabelled_message_uses_the_display_text_of_the_error():
    class Message:
        def __str__(self):
            return "shown \ud800"

    exc = raises_exactly(TypeError, _kelvar.fib, Raising(TypeError(Message())))
    assert str(exc) == "argument 'n': shown " + b"\xed\xa0\x80".decode("utf-8", "replace")


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


def test_an_error_without_text_is_reported_as_unraisable_and_named_by_its_type(monkeypatch):
    # The failure of str() is nobody's error to raise: it goes to the
    # interpreter's unraisable hook, with the object that could not be shown,
    # and the message names the object by its type instead.
    seen = []
    monkeypatch.setattr(sys, "unraisablehook",
                        lambda u: seen.append((u.exc_type, str(u.exc_value), u.object)))
    error = TypeError(Unprintable())
    exc = raises_exactly(TypeError, _kelvar.fib, Raising(error))
    assert str(exc) == "argument 'n': <unprintable TypeError object>"
    assert seen == [(ValueError, "no text", error)]


@pytest.mark.parametrize("exc_type", [ValueError, ZeroDivisionError, OverflowError, KeyError])
def test_other_errors_of_index_pass_unchanged(exc_type):
    original = exc_type("from __index__")
    assert raises_exactly(exc_type, _kelvar.fib, Raising(original)) is original
    assert raises_exactly(exc_type, _kelvar.sum_as_arr, [Raising(original)]) is original


# ---------------------------------------------------------------- sequences


class LegacySequence:
    """Indexable without a length: iterated through __getitem__."""

    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, i):
        return self.items[i]


def iter_sequence(items):
    return CustomSequence(items)


class LyingLength(CustomSequence):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


class IteratingList(list):
    """A list whose iteration, not its storage, gives the elements."""

    def __iter__(self):
        return iter([100, 200])


class IteratingTuple(tuple):
    def __iter__(self):
        return iter([7])


@pytest.mark.parametrize(
    "arr, expected",
    [
        ([], 0),
        ((), 0),
        ([1, 2, 3, 4, 5], 15),
        ((1, 2, 3), 6),
        (range(4), 6),
        (range(-3, 0), -6),
        (b"\x01\x02", 3),
        (b"", 0),
        (bytearray(b"\x05\xff"), 260),
        (memoryview(b"\x01\x02\x03"), 6),
        (array.array("i", [1, -2, 3]), 2),
        (array.array("b", [-1, -1]), -2),
        (CustomSequence([4, 5]), 9),
        (LegacySequence([1, 2, 3]), 6),
        ([True, True, False], 2),
        ([Index(2), Index(3)], 5),
        ([Int(7)], 7),
        ([2**31 - 1], 2**31 - 1),
        ([-(2**31)], -(2**31)),
        (IteratingList([1, 2]), 300),
        (IteratingTuple((1, 2)), 7),
    ],
)
def test_sequences_of_every_kind(arr, expected):
    assert _kelvar.sum_as_arr(arr) == expected


@pytest.mark.parametrize(
    "length",
    [0, 1, 2, 2**40, 2**61 - 1, 2**63, -1, "3", ValueError("no length"), TypeError("x")],
)
def test_length_hint_never_limits_nor_fails_the_conversion(length):
    items = list(range(1, 11))
    assert _kelvar.sum_as_arr(LyingLength(items, length)) == 55


@pytest.mark.parametrize(
    "arr, type_text",
    [
        (5, "'int' object"),
        (None, "'None'"),
        (1.5, "'float' object"),
        ({1: 2}, "'dict' object"),
        ({1, 2}, "'set' object"),
        (frozenset([1]), "'frozenset' object"),
        (iter([1, 2]), "'list_iterator' object"),
        ((i for i in [1]), "'generator' object"),
        ({}.keys(), "'dict_keys' object"),
        (object(), "'object' object"),
    ],
)
def test_non_sequences_are_refused_naming_their_type(arr, type_text):
    exc = raises_exactly(TypeError, _kelvar.sum_as_arr, arr)
    assert str(exc) == f"argument 'arr': {type_text} is not an instance of 'Sequence'"


@pytest.mark.parametrize("arr", ["123", "", Text("1")])
def test_str_is_refused_although_a_sequence(arr):
    exc = raises_exactly(TypeError, _kelvar.sum_as_arr, arr)
    assert str(exc) == "argument 'arr': Can't extract `str` to `Vec`"


def as_array(items):
    return array.array("q", items)  # elements wider than the 32 bits read


ELEMENT_ERRORS = [
    *[(container, element, OverflowError) for container in (list, tuple, CustomSequence)
      for element in [2**31, -(2**31) - 1, 2**32, 2**63, -(2**64), Index(2**31), Int(2**40)]],
    (as_array, 2**31, OverflowError),
    *[(container, element, TypeError) for container in (list, tuple, CustomSequence)
      for element in ["1", 1.0, None, [1], b"1"]],
]


LONG_BITS = 8 * struct.calcsize("l")


@pytest.mark.parametrize("container", [list, tuple, CustomSequence])
@pytest.mark.parametrize("element", [2**31, -(2**31) - 1, 2**63, -(2**64), Index(2**40),
                                     Index(2**70)])
def test_element_overflow_texts(container, element):
    # The texts the README gives: ours within the platform's C long, the
    # interpreter's beyond it.
    value = operator.index(element)
    if LONG_BITS == 64 and -(2**63) <= value < 2**63:
        text = "out of range integral type conversion attempted"
    else:
        text = "Python int too large to convert to C long"
    exc = raises_exactly(OverflowError, _kelvar.sum_as_arr, container([1, element]))
    assert str(exc) == text


@pytest.mark.parametrize("container, element, exc_type", ELEMENT_ERRORS)
def test_element_error(container, element, exc_type):
    # Out of range: the interpreter's overflow, unlabelled; no integer: the
    # interpreter's TypeError, labelled with the parameter.
    exc = raises_exactly(exc_type, _kelvar.sum_as_arr, container([1, element]))
    if exc_type is TypeError:
        assert str(exc) == "argument 'arr': " + index_error_text(element)
    else:
        assert not str(exc).startswith("argument")


class FailingIteration(CustomSequence):
    def __init__(self, items, exception, after):
        super().__init__(items)
        self.exception = exception
        self.after = after

    def __iter__(self):
        if self.after is None:
            raise self.exception
        yield from self.items[: self.after]
        raise self.exception


@pytest.mark.parametrize("after", [None, 0, 2])
def test_errors_of_iteration_reach_the_caller(after):
    original = ValueError("iteration failed")
    arr = FailingIteration([1, 2, 3], original, after)
    assert raises_exactly(ValueError, _kelvar.sum_as_arr, arr) is original
    relabelled = raises_exactly(
        TypeError, _kelvar.sum_as_arr, FailingIteration([1], TypeError("no"), after)
    )
    assert str(relabelled) == "argument 'arr': no"


def test_iter_returning_non_iterator():
    class BadIter(CustomSequence):
        def __iter__(self):
            return 5

    exc = raises_exactly(TypeError, _kelvar.sum_as_arr, BadIter([]))
    assert str(exc).startswith("argument 'arr': ")
    assert "int" in str(exc)


# A list mutated by its own elements while it is converted must give the
# elements a list iterator would give, and never read freed memory.


class Clearing:
    def __init__(self, target, value):
        self.target = target
        self.value = value

    def __index__(self):
        self.target.clear()
        return self.value


class Growing:
    def __init__(self, target, limit):
        self.target = target
        self.limit = limit

    def __index__(self):
        if len(self.target) < self.limit:
            self.target.append(Growing(self.target, self.limit))
        return 1


class Replacing:
    def __init__(self, target):
        self.target = target

    def __index__(self):
        self.target[:] = [Index(10 ** i) for i in range(5)]
        return 0


def reference_sum(items):
    total = 0
    for item in items:
        total += item.__index__() if not isinstance(item, int) else item
    return total


@pytest.mark.parametrize(
    "build",
    [
        lambda lst: [Clearing(lst, 5), 1, 2],
        lambda lst: [1, Clearing(lst, 5), 2],
        lambda lst: [Growing(lst, 50)],
        lambda lst: [1, Replacing(lst), 2, 3],
        lambda lst: [Replacing(lst)],
    ],
)
def test_list_mutated_during_conversion(build):
    converted, reference = [], []
    converted.extend(build(converted))
    reference.extend(build(reference))
    assert _kelvar.sum_as_arr(converted) == reference_sum(reference)


def test_element_dropping_the_last_reference_to_itself():
    lst = []

    class Dropping:
        def __index__(self):
            lst.clear()  # the list held the only other reference
            return 9

    lst.extend([Dropping(), 1])
    assert _kelvar.sum_as_arr(lst) == 9
    assert lst == []
