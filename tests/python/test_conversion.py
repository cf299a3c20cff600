"""Conversion of bound arguments to native values, and the errors it gives."""

import array
import collections.abc
import json
import os
import sys

import pytest

import _kelvar
from _binding_helpers import (
    Index,
    Raising,
    index_error_text,
    make_executable,
    numpy_like,
)

try:
    import numpy
except ImportError:  # optional: the synthetic NumPy-like classes cover the path
    numpy = None


def raises_exactly(exc_type, func, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        func(*args, **kwargs)
    assert type(info.value) is exc_type
    return info.value


# ---------------------------------------------------------------- text


class Text(str):
    """A str subclass whose str() tells a different story than its value."""

    def __str__(self):
        return "not the value"


@pytest.mark.parametrize(
    "value, expected",
    [
        (b"dir", "argument 'command': 'bytes' object is not an instance of 'str'"),
        (bytearray(b"dir"), "argument 'command': 'bytearray' object is not an instance of 'str'"),
        (1, "argument 'command': 'int' object is not an instance of 'str'"),
        (["dir"], "argument 'command': 'list' object is not an instance of 'str'"),
        (None, "argument 'command': 'None' is not an instance of 'str'"),
        (Index(1), "argument 'command': 'Index' object is not an instance of 'str'"),
    ],
)
def test_text_refuses_non_str(value, expected):
    assert str(raises_exactly(TypeError, _kelvar.is_windows_builtin, value)) == expected


def test_text_mismatch_names_the_qualified_type():
    class Inner:
        pass

    exc = raises_exactly(TypeError, _kelvar.is_windows_builtin, Inner())
    assert str(exc) == (
        "argument 'command': 'test_text_mismatch_names_the_qualified_type.<locals>.Inner'"
        " object is not an instance of 'str'"
    )


@pytest.mark.parametrize(
    "name",
    ["dir", Text("dir"), "", "a b", "\u00f1and\u00fa", "\U0001f40d", "x" * 10000, "a\x00b"],
)
def test_text_round_trips_exactly(name):
    # The answer's first item is rebuilt from the converted text: any loss in
    # the conversion (length, encoding, a subclass's __str__) shows here.
    for fuzzy in (False, True):
        result = _kelvar.find_executable(name, fuzzy)
        assert type(result[0]) is str
        assert result[0] == str.__str__(name)


@pytest.mark.parametrize("cased", ["dir", "DIR", "Dir"])
def test_text_subclass_is_accepted_as_text(cased):
    assert _kelvar.is_windows_builtin(Text(cased)) is _kelvar.is_windows_builtin(cased)


@pytest.mark.parametrize("value", ["\ud800", "dir\udfff", "\udc80abc", Text("\ud83d")])
def test_lone_surrogate_is_the_interpreters_encode_error(value):
    for func, args in ((_kelvar.is_windows_builtin, (value,)),
                       (_kelvar.find_executable, (value, False))):
        exc = raises_exactly(UnicodeEncodeError, func, *args)
        assert exc.encoding == "utf-8"
        assert not str(exc).startswith("argument")
        # The encoder's own error, position and reason included.
        with pytest.raises(UnicodeEncodeError) as own:
            str.__str__(value).encode("utf-8")
        assert exc.args == own.value.args


# ---------------------------------------------------------------- boolean


@pytest.fixture
def fuzzy_probe(tmp_path, monkeypatch):
    """Tells which boolean the `fuzzy` argument was converted to.

    Only the fuzzy query "*kelvarprobe*.exe" matches the file made here, so
    the answer has a path exactly when `fuzzy` was converted to true.
    """
    make_executable(tmp_path, "xkelvarprobex.exe")
    monkeypatch.setenv("PATH", str(tmp_path) + os.pathsep + os.environ.get("PATH", ""))

    def seen(value):
        return _kelvar.find_executable("kelvarprobe", value)[1] is not None

    if seen(True) is not True or seen(False) is not False:
        pytest.skip("no `where` that finds files on PATH here")
    return seen


@pytest.mark.parametrize(
    "value, expected",
    [
        (1, "argument 'fuzzy': 'int' object is not an instance of 'bool'"),
        (0, "argument 'fuzzy': 'int' object is not an instance of 'bool'"),
        (None, "argument 'fuzzy': 'None' is not an instance of 'bool'"),
        ("True", "argument 'fuzzy': 'str' object is not an instance of 'bool'"),
        (1.0, "argument 'fuzzy': 'float' object is not an instance of 'bool'"),
        ([], "argument 'fuzzy': 'list' object is not an instance of 'bool'"),
        (Index(1), "argument 'fuzzy': 'Index' object is not an instance of 'bool'"),
    ],
)
def test_boolean_refuses_everything_but_bool(value, expected):
    assert str(raises_exactly(TypeError, _kelvar.find_executable, "dir", value)) == expected


def test_boolean_values(fuzzy_probe):
    assert fuzzy_probe(True) is True
    assert fuzzy_probe(False) is False


@pytest.mark.skipif(numpy is None, reason="numpy is not installed")
def test_numpy_booleans(fuzzy_probe):
    assert fuzzy_probe(numpy.bool_(True)) is True
    assert fuzzy_probe(numpy.bool_(False)) is False
    assert fuzzy_probe(numpy.array([1, 2])[0] == 1) is True


@pytest.mark.skipif(numpy is None, reason="numpy is not installed")
@pytest.mark.parametrize("value", [True, False])
def test_numpy_boolean_is_accepted(value):
    result = _kelvar.find_executable("dir", numpy.bool_(value))
    assert result == _kelvar.find_executable("dir", value)


@pytest.mark.skipif(numpy is None, reason="numpy is not installed")
@pytest.mark.parametrize(
    "make, type_name",
    [
        (lambda: numpy.int64(1), "int64"),
        (lambda: numpy.float64(1.0), "float64"),
        (lambda: numpy.array([True]), "ndarray"),
    ],
)
def test_other_numpy_scalars_are_refused(make, type_name):
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", make())
    assert str(exc) == f"argument 'fuzzy': '{type_name}' object is not an instance of 'bool'"


def _returning(value):
    def __bool__(self):
        return value

    return __bool__


@pytest.mark.parametrize("name", ["bool_", "bool"])
@pytest.mark.parametrize("value", [True, False])
def test_numpy_like_class_converts_through_its_bool(fuzzy_probe, name, value):
    cls = numpy_like(name, __bool__=_returning(value))
    assert fuzzy_probe(cls()) is value


@pytest.mark.parametrize(
    "name, module",
    [
        ("bool8", "numpy"),
        ("Bool", "numpy"),
        ("bool_ ", "numpy"),
        ("bool_", "numpy.core"),
        ("bool_", "NumPy"),
        ("bool_", "numpy\x00"),
        ("bool_", "builtins"),
    ],
)
def test_near_numpy_names_are_refused(name, module):
    cls = numpy_like(name, module, __bool__=_returning(True))
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", cls())
    assert str(exc) == f"argument 'fuzzy': '{name}' object is not an instance of 'bool'"


@pytest.mark.parametrize("reported", ["bool\x00", "bool_\x00", "bool_x", "\x00bool"])
def test_name_reported_by_a_metaclass_is_compared_whole(reported):
    # Type names cannot hold NUL themselves; a metaclass can still report one.
    meta = type("Meta", (type,), {"__name__": property(lambda cls: reported)})
    cls = meta("bool_", (), {"__module__": "numpy", "__bool__": _returning(True)})
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", cls())
    assert str(exc) == "argument 'fuzzy': 'bool_' object is not an instance of 'bool'"


class ModuleText(str):
    pass


def test_module_attribute_may_be_a_str_subclass(fuzzy_probe):
    cls = numpy_like("bool_", ModuleText("numpy"), __bool__=_returning(True))
    assert fuzzy_probe(cls()) is True


@pytest.mark.parametrize("module", [5, None, b"numpy"])
def test_module_attribute_that_is_no_str_is_refused(module):
    cls = numpy_like("bool_", module, __bool__=_returning(True))
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", cls())
    assert str(exc) == "argument 'fuzzy': 'bool_' object is not an instance of 'bool'"


@pytest.mark.parametrize("attribute", ["__module__", "__name__"])
def test_unreadable_type_attribute_is_a_mismatch(attribute):
    def fails(cls):
        raise RuntimeError("attribute read failed")

    # A property of the metaclass takes precedence over type's own attribute.
    Meta = type("Meta", (type,), {attribute: property(fails)})
    cls = Meta("bool_", (), {"__module__": "numpy", "__bool__": _returning(True)})
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", cls())
    # The failed read is dropped, not reported and not chained.
    assert exc.__cause__ is None and exc.__context__ is None
    assert str(exc).endswith("object is not an instance of 'bool'")


@pytest.mark.parametrize("name", ["bool_", "bool"])
def test_numpy_like_class_without_bool(name):
    cls = numpy_like(name)
    instance = cls()
    instance.__bool__ = _returning(True).__get__(instance)  # on the instance only: not looked at
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", instance)
    assert str(exc) == (
        f"argument 'fuzzy': object of type '<class 'numpy.{name}'>'"
        " does not define a '__bool__' conversion"
    )


@pytest.mark.parametrize(
    "returned, type_text",
    [(1, "'int' object"), (0, "'int' object"), (None, "'None'"), ("yes", "'str' object")],
)
def test_numpy_like_bool_returning_non_bool(returned, type_text):
    cls = numpy_like(__bool__=_returning(returned))
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", cls())
    assert str(exc) == f"argument 'fuzzy': {type_text} is not an instance of 'bool'"


def test_numpy_like_bool_returning_numpy_like_is_refused():
    inner = numpy_like("bool", __bool__=_returning(True))
    outer = numpy_like("bool_", __bool__=_returning(inner()))
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", outer())
    assert str(exc) == "argument 'fuzzy': 'bool' object is not an instance of 'bool'"


# "__bool__" is read from the type, where descriptors already act as for a
# class attribute (a staticmethod gives its function, a custom descriptor is
# asked with no instance); what that read gives is then bound to the object
# through its own type's descriptor slot, as a method lookup on the instance
# would bind a plain function.


class Binding:
    """A descriptor that records what it is bound to."""

    def __init__(self, log, result):
        self.log = log
        self.result = result

    def __get__(self, obj, objtype=None):
        self.log.append(("get", obj, objtype))
        return self.result


class CallableObject:
    """Callable, but no descriptor: called as it was found."""

    def __init__(self, log):
        self.log = log

    def __call__(self, *args):
        self.log.append(("call",) + args)
        return True


def _recording(log):
    def __bool__(*args):
        log.append(("call",) + args)
        return True

    return __bool__


@pytest.mark.parametrize(
    "make, expected",
    [
        (_recording, lambda obj, cls: [("call", obj)]),
        (lambda log: staticmethod(_recording(log)), lambda obj, cls: [("call", obj)]),
        (lambda log: classmethod(_recording(log)), lambda obj, cls: [("call", cls)]),
        (CallableObject, lambda obj, cls: [("call",)]),
        (lambda log: Binding(log, _recording(log)),
         lambda obj, cls: [("get", None, cls), ("call", obj)]),
        (lambda log: Binding(log, Binding(log, lambda: True)),
         lambda obj, cls: [("get", None, cls), ("get", obj, cls)]),
    ],
    ids=["function", "staticmethod", "classmethod", "callable", "descriptor",
         "found-descriptor"],
)
def test_bool_is_bound_as_found_on_the_type(fuzzy_probe, make, expected):
    log = []
    cls = numpy_like(__bool__=make(log))
    instance = cls()
    assert fuzzy_probe(instance) is True
    assert log == expected(instance, cls)


class BoolTypeError(TypeError):
    pass


class GetRaising:
    def __init__(self, exc):
        self.exc = exc

    def __get__(self, obj, objtype=None):
        raise self.exc


class RaisingWhenBound:
    """Reads fine from the type, fails when bound to the instance."""

    def __init__(self, exc):
        self.inner = GetRaising(exc)

    def __get__(self, obj, objtype=None):
        return self.inner


@pytest.mark.parametrize(
    "make_bool, exc_type, prefixed",
    [
        (lambda exc: _raising(exc), ValueError, False),
        (lambda exc: _raising(exc), TypeError, True),
        (lambda exc: _raising(exc), BoolTypeError, False),
        (RaisingWhenBound, KeyError, False),
        (RaisingWhenBound, TypeError, True),
    ],
)
def test_errors_of_bool_reach_the_caller(make_bool, exc_type, prefixed):
    original = exc_type("from __bool__")
    cls = numpy_like(__bool__=make_bool(original))
    exc = raises_exactly(exc_type, _kelvar.find_executable, "dir", cls())
    if prefixed:
        assert str(exc) == "argument 'fuzzy': from __bool__"
    else:
        assert exc is original


@pytest.mark.parametrize("exc_type", [KeyError, TypeError, AttributeError])
def test_bool_unreadable_from_the_type_does_not_define_the_conversion(exc_type):
    cls = numpy_like(__bool__=GetRaising(exc_type("read failed")))
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", cls())
    assert str(exc) == (
        "argument 'fuzzy': object of type '<class 'numpy.bool_'>'"
        " does not define a '__bool__' conversion"
    )
    assert exc.__cause__ is None and exc.__context__ is None


def _raising(exc):
    def __bool__(self):
        raise exc

    return __bool__


def test_bool_that_is_not_callable():
    cls = numpy_like(__bool__=None)
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", cls())
    assert str(exc) == "argument 'fuzzy': 'NoneType' object is not callable"


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


@pytest.mark.parametrize("exc_type", [ValueError, ZeroDivisionError, OverflowError, KeyError])
def test_other_errors_of_index_pass_unchanged(exc_type):
    original = exc_type("from __index__")
    assert raises_exactly(exc_type, _kelvar.fib, Raising(original)) is original
    assert raises_exactly(exc_type, _kelvar.sum_as_arr, [Raising(original)]) is original


# ---------------------------------------------------------------- sequences


class CustomSequence(collections.abc.Sequence):
    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return len(self.items)


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


# ------------------------------------------------------- internal failures
#
# These run in a child interpreter: an internal failure reports on the
# process's standard error, which only a separate process can capture whole,
# and the first use of a once-only value needs a process of its own.

FIND_PANIC_TYPE = """
import json, sys, _kelvar

class Huge:
    def __len__(self):
        return 2**61
    def __getitem__(self, i):
        raise IndexError(i)

def panic_type():
    try:
        _kelvar.sum_as_arr(Huge())
    except BaseException as exc:
        return type(exc)
"""


def test_capacity_overflow_is_an_internal_failure(run_child):
    child = run_child(FIND_PANIC_TYPE + """
caught_as_exception = False
failures = []
for _ in range(2):
    try:
        try:
            _kelvar.sum_as_arr(Huge())
        except Exception:
            caught_as_exception = True
    except BaseException as exc:
        failures.append(exc)
first, second = failures
sys.stderr.flush()
print(json.dumps({
    "caught_as_exception": caught_as_exception,
    "args": [list(exc.args) for exc in failures],
    "module": type(first).__module__,
    "name": type(first).__name__,
    "same_type": type(first) is type(second) is panic_type(),
    "base": [base.__name__ for base in type(first).__bases__],
    "still_works": [_kelvar.sum_as_arr([1, 2]), _kelvar.fib(10)],
}))
""")
    result = json.loads(child.stdout)
    assert result == {
        "caught_as_exception": False,
        "args": [["capacity overflow"], ["capacity overflow"]],
        "module": "pyo3_runtime",
        "name": "PanicException",
        "same_type": True,
        "base": ["BaseException"],
        "still_works": [3, 55],
    }
    # one report for each of the three failures
    assert child.stderr.count("capacity overflow") >= 3


MESSAGE = "kelvar-" + "probe-" + "message"

RESUME_CASES = {
    "index of n": """
class Arg:
    def __index__(self):
        raise P(MESSAGE)
call = lambda: _kelvar.fib(Arg())
""",
    "index of an element": """
class Arg:
    def __index__(self):
        raise P(MESSAGE)
call = lambda: _kelvar.sum_as_arr([1, Arg()])
""",
    "iteration": """
class Arg:
    def __len__(self):
        return 1
    def __getitem__(self, i):
        return 1
    def __iter__(self):
        raise P(MESSAGE)
call = lambda: _kelvar.sum_as_arr(Arg())
""",
    "length": """
class Arg:
    def __len__(self):
        raise P(MESSAGE)
    def __getitem__(self, i):
        raise IndexError(i)
call = lambda: _kelvar.sum_as_arr(Arg())
""",
    "bool of a NumPy boolean": """
class Arg:
    __module__ = "numpy"
    def __bool__(self):
        raise P(MESSAGE)
Arg.__name__ = "bool_"
call = lambda: _kelvar.find_executable("dir", Arg())
""",
}

RESUME_REPORT = """
P = panic_type()
MESSAGE = "-".join(["kelvar", "probe", "message"])
sys.stderr.write("=== resuming\\n")
sys.stderr.flush()
{case}
try:
    call()
    outcome = None
except BaseException as exc:
    outcome = {{"is_panic": type(exc) is P, "args": [str(a) for a in exc.args]}}
sys.stderr.flush()
print(json.dumps({{"outcome": outcome, "still_works": _kelvar.fib(10)}}))
"""


@pytest.mark.parametrize("case", sorted(RESUME_CASES))
def test_panic_from_python_code_is_resumed(run_child, case):
    child = run_child(FIND_PANIC_TYPE + RESUME_REPORT.format(case=RESUME_CASES[case]))
    result = json.loads(child.stdout)
    assert result == {"outcome": {"is_panic": True, "args": [MESSAGE]}, "still_works": 55}
    lines = child.stderr.split("=== resuming\n", 1)[1].splitlines()
    banner = next(i for i, line in enumerate(lines) if line.startswith("---"))
    assert lines[banner].endswith("---") and len(lines[banner]) > 6
    assert lines[banner + 1] == "Python stack trace below:"
    traceback = lines[banner + 2:]
    assert traceback[0] == "Traceback (most recent call last):"
    assert traceback[-1] == "pyo3_runtime.PanicException: " + MESSAGE
    # the traceback names the message once; a resumed failure is not reported again
    assert "\n".join(lines).count(MESSAGE) == 1


def test_panic_with_unprintable_message_is_resumed_with_a_fixed_message(run_child):
    child = run_child(FIND_PANIC_TYPE + RESUME_REPORT.format(case="""
class Unprintable:
    def __str__(self):
        raise ValueError("no text")
class Arg:
    def __index__(self):
        raise P(Unprintable())
call = lambda: _kelvar.fib(Arg())
"""))
    result = json.loads(child.stdout)
    assert result["outcome"] == {"is_panic": True, "args": ["Unwrapped panic from Python code"]}
    assert "Python stack trace below:" in child.stderr


def test_subclass_of_panic_exception_is_an_ordinary_error(run_child):
    child = run_child(FIND_PANIC_TYPE + """
P = panic_type()
class Sub(P):
    pass
raised = Sub("ordinary")
class Arg:
    def __index__(self):
        raise raised
sys.stderr.write("=== resuming\\n")
sys.stderr.flush()
try:
    _kelvar.fib(Arg())
except BaseException as exc:
    print(json.dumps({"same": exc is raised}))
sys.stderr.flush()
""")
    assert json.loads(child.stdout) == {"same": True}
    assert "Python stack trace below:" not in child.stderr.split("=== resuming\n", 1)[1]


def test_first_use_of_the_sequence_name_from_many_threads(run_child):
    # The first refusal of a non-sequence looks up collections.abc.Sequence
    # once for the process; threads racing on it must all get the message
    # and none may wait forever for another.
    child = run_child("""
import json, threading, _kelvar
barrier = threading.Barrier(8)
messages = []
def refuse():
    barrier.wait()
    try:
        _kelvar.sum_as_arr(5)
    except TypeError as exc:
        messages.append(str(exc))
threads = [threading.Thread(target=refuse) for _ in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(json.dumps(messages))
""", timeout=120)
    assert json.loads(child.stdout) == [
        "argument 'arr': 'int' object is not an instance of 'Sequence'"
    ] * 8


# ------------------------------------------------------------ references

KEEP = Index(7)
BOOL_RESULT = object()
NUMPY_TRUE = numpy_like(__bool__=_returning(True))()
NUMPY_ODD = numpy_like(__bool__=_returning(BOOL_RESULT))()
FOUND_AS_IS = CallableObject([])
NUMPY_CALLABLE = numpy_like(__bool__=FOUND_AS_IS)()
CAUSE = KeyError("kept")


class CausedTypeError:
    def __index__(self):
        raise TypeError("with cause") from CAUSE


CAUSED = CausedTypeError()
TEXT = "".join(["kelvar", "-text"])


@pytest.mark.parametrize(
    "call, watched",
    [
        (lambda: _kelvar.sum_as_arr([KEEP, 1]), KEEP),
        (lambda: _kelvar.sum_as_arr((KEEP, "x")), KEEP),
        (lambda: _kelvar.sum_as_arr(CustomSequence([KEEP, 1])), KEEP),
        (lambda: _kelvar.fib(KEEP), KEEP),
        (lambda: _kelvar.fib(n=KEEP), KEEP),
        (lambda: _kelvar.fib(CAUSED), CAUSE),
        (lambda: _kelvar.find_executable(TEXT, NUMPY_TRUE), NUMPY_TRUE),
        (lambda: _kelvar.find_executable(TEXT, NUMPY_ODD), BOOL_RESULT),
        (lambda: _kelvar.find_executable(TEXT, NUMPY_ODD), NUMPY_ODD),
        (lambda: _kelvar.find_executable(TEXT, NUMPY_CALLABLE), FOUND_AS_IS),
        (lambda: _kelvar.is_windows_builtin(command=TEXT), TEXT),
        (lambda: _kelvar.sum_as_arr(KEEP), KEEP),
        (lambda: _kelvar.fib(KEEP, m=1), KEEP),
    ],
)
def test_conversion_releases_what_it_takes(call, watched):
    def run():
        try:
            call()
        except (TypeError, OverflowError):
            pass

    run()  # first uses fill the once-only cells
    before = sys.getrefcount(watched)
    for _ in range(50):
        run()
    assert sys.getrefcount(watched) == before
