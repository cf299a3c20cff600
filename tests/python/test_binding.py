"""Binding of positional and keyword arguments to the parameters."""

import ctypes
import gc
import sys

import pytest

import _kelvar
from _surface import WITH_ARGUMENTS

FUNCTIONS = {name: getattr(_kelvar, name) for name in WITH_ARGUMENTS}


class KeyStr(str):
    """A str subclass whose methods lie, comparing unequal to everything, itself
    included, and lower-casing to nonsense: binding must compare the bytes of
    the text and is_windows_builtin must test them, not ask the object."""

    def __eq__(self, other):
        return False

    def __ne__(self, other):
        return True

    def lower(self):
        return "zzz"

    casefold = lower
    __hash__ = str.__hash__


def call(name, args=(), kwargs=None):
    # No keyword dictionary at all when there are no keywords (`f(*args)`, not
    # `f(*args, **{})`), as most calls reach the module.
    if kwargs:
        return FUNCTIONS[name](*args, **kwargs)
    return FUNCTIONS[name](*args)


@pytest.mark.parametrize(
    "name, args, kwargs, expected",
    [
        ("fib", (10,), {}, 55),
        ("fib", (), {"n": 10}, 55),
        ("fib", (), {KeyStr("n"): 10}, 55),
        ("sum_as_arr", ([1, 2, 3],), {}, 6),
        ("sum_as_arr", (), {"arr": (4, 5)}, 9),
        ("sum_as_arr", (), {KeyStr("arr"): [7]}, 7),
    ],
)
def test_binds_by_position_and_keyword(name, args, kwargs, expected):
    assert call(name, args, kwargs) == expected


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("dir", False), {}),
        (("dir",), {"fuzzy": False}),
        ((), {"name": "dir", "fuzzy": False}),
        ((), {"fuzzy": False, "name": "dir"}),
    ],
)
def test_find_executable_binds_every_way_alike(args, kwargs):
    # Every way of passing the same two values must reach the body as the
    # same two values; the first item of the answer is the name as bound.
    assert _kelvar.find_executable(*args, **kwargs) == _kelvar.find_executable("dir", False)
    assert _kelvar.find_executable(*args, **kwargs)[0] == "dir"


class ArgTuple(tuple):
    pass


def call_object(func, args, kwargs):
    """PyObject_Call with exactly these objects, as C code may call: a tuple
    subclass, an empty keyword dictionary or none at all reach the function
    as they are (a call from Python would have made them a plain tuple and
    no dictionary)."""
    api = ctypes.pythonapi.PyObject_Call
    api.restype = ctypes.py_object
    api.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_void_p]
    return api(func, args, None if kwargs is None else id(kwargs))


CALL_WAYS = {
    "Python call": lambda f, arg: f(arg),
    "tuple, no dictionary": lambda f, arg: call_object(f, (arg,), None),
    "tuple, empty dictionary": lambda f, arg: call_object(f, (arg,), {}),
    "tuple subclass": lambda f, arg: call_object(f, ArgTuple((arg,)), None),
    "keyword": lambda f, arg: call_object(f, (), {"command": arg}),
    "keyword from Python": lambda f, arg: f(command=arg),
    "keyword of a str subclass": lambda f, arg: f(**{KeyStr("command"): arg}),
}


@pytest.mark.parametrize("way", CALL_WAYS.values(), ids=CALL_WAYS.keys())
@pytest.mark.parametrize("arg", ["dir", "DIR", "cls", "git", "", KeyStr("Cd"), KeyStr("git"),
                                 KeyStr(""), "x" * 40])
def test_is_windows_builtin_answers_alike_however_called(way, arg):
    expected = str(arg).lower() in {"dir", "cls", "cd"}
    # The collector may free other holders of True or False meanwhile.
    gc.disable()
    try:
        count = sys.getrefcount(expected)
        answers = [way(_kelvar.is_windows_builtin, arg) for _ in range(100)]
        held = sys.getrefcount(expected) - count
    finally:
        gc.enable()
    assert all(answer is expected for answer in answers)
    # Each answer is a reference of its own, where True and False are not
    # immortal (before 3.12): one handed out without its count frees them,
    # one counted twice leaks; what else the interpreter did meanwhile moves
    # the count by a few at most.
    if sys.version_info < (3, 12):
        assert 90 <= held <= 110


@pytest.mark.parametrize("way", CALL_WAYS.values(), ids=CALL_WAYS.keys())
@pytest.mark.parametrize("arg", [b"dir", None, 7, "dir\udfff", KeyStr("\ud800")])
def test_is_windows_builtin_fails_alike_however_called(way, arg):
    with pytest.raises(Exception) as expected:
        _kelvar.is_windows_builtin(command=arg)
    with pytest.raises(Exception) as info:
        way(_kelvar.is_windows_builtin, arg)
    assert type(info.value) is type(expected.value)
    assert info.value.args == expected.value.args


BINDING_ERRORS = [
    # too many positional arguments, before any keyword is looked at
    ("fib", (1, 2), {}, "fib() takes 1 positional arguments but 2 were given"),
    ("fib", (1, 2, 3), {"m": 1}, "fib() takes 1 positional arguments but 3 were given"),
    ("fib", ("x", "y"), {"n": 1}, "fib() takes 1 positional arguments but 2 were given"),
    ("sum_as_arr", ([], []), {}, "sum_as_arr() takes 1 positional arguments but 2 were given"),
    ("is_windows_builtin", ("a", "b"), {},
     "is_windows_builtin() takes 1 positional arguments but 2 were given"),
    ("is_windows_builtin", ("cls", "dir", "cd"), {},
     "is_windows_builtin() takes 1 positional arguments but 3 were given"),
    ("find_executable", ("a", True, 3), {"x": 1},
     "find_executable() takes 2 positional arguments but 3 were given"),
    ("find_executable", ("a", True, 3, 4), {},
     "find_executable() takes 2 positional arguments but 4 were given"),
    # unexpected keywords: compared exactly, no folding, no prefixes
    ("fib", (), {"m": 1}, "fib() got an unexpected keyword argument 'm'"),
    ("fib", (), {"N": 1}, "fib() got an unexpected keyword argument 'N'"),
    ("fib", (), {"nn": 1}, "fib() got an unexpected keyword argument 'nn'"),
    ("fib", (), {"": 1}, "fib() got an unexpected keyword argument ''"),
    ("fib", (), {"n\x00": 1}, "fib() got an unexpected keyword argument 'n\x00'"),
    ("fib", (), {"\u00f1": 1}, "fib() got an unexpected keyword argument '\u00f1'"),
    ("fib", (), {"n\u0301": 1}, "fib() got an unexpected keyword argument 'n\u0301'"),
    ("fib", (5,), {"m": 1}, "fib() got an unexpected keyword argument 'm'"),
    ("fib", (), {KeyStr("x"): 1}, "fib() got an unexpected keyword argument 'x'"),
    ("sum_as_arr", (), {"array": []}, "sum_as_arr() got an unexpected keyword argument 'array'"),
    ("find_executable", (), {"x": 1}, "find_executable() got an unexpected keyword argument 'x'"),
    ("find_executable", ("a", True), {"fuzz": 1},
     "find_executable() got an unexpected keyword argument 'fuzz'"),
    # a key without UTF-8 form is unexpected, shown by its display text
    ("fib", (), {"\ud800": 1},
     "fib() got an unexpected keyword argument '%s'" % b"\xed\xa0\x80".decode("utf-8", "replace")),
    # multiple values
    ("fib", (1,), {"n": 2}, "fib() got multiple values for argument 'n'"),
    ("is_windows_builtin", ("cls",), {"command": "cls"},
     "is_windows_builtin() got multiple values for argument 'command'"),
    ("fib", (1,), {KeyStr("n"): 2}, "fib() got multiple values for argument 'n'"),
    ("sum_as_arr", ([],), {"arr": []}, "sum_as_arr() got multiple values for argument 'arr'"),
    ("find_executable", ("a",), {"name": "b"},
     "find_executable() got multiple values for argument 'name'"),
    ("find_executable", ("a", True), {"fuzzy": True},
     "find_executable() got multiple values for argument 'fuzzy'"),
    # keywords are walked in call order: the first bad one decides
    ("find_executable", ("a",), {"name": "b", "x": 1},
     "find_executable() got multiple values for argument 'name'"),
    ("find_executable", ("a",), {"x": 1, "name": "b"},
     "find_executable() got an unexpected keyword argument 'x'"),
    ("find_executable", (), {"y": 1, "x": 1},
     "find_executable() got an unexpected keyword argument 'y'"),
    # missing arguments, after every keyword was accepted
    ("fib", (), {}, "fib() missing 1 required positional argument: 'n'"),
    ("sum_as_arr", (), {}, "sum_as_arr() missing 1 required positional argument: 'arr'"),
    ("is_windows_builtin", (), {},
     "is_windows_builtin() missing 1 required positional argument: 'command'"),
    ("find_executable", (), {},
     "find_executable() missing 2 required positional arguments: 'name' and 'fuzzy'"),
    ("find_executable", (), {"fuzzy": True},
     "find_executable() missing 1 required positional argument: 'name'"),
    ("find_executable", ("a",), {},
     "find_executable() missing 1 required positional argument: 'fuzzy'"),
    ("find_executable", (), {"name": "a"},
     "find_executable() missing 1 required positional argument: 'fuzzy'"),
    # binding fails before any argument is converted
    ("find_executable", (1,), {"name": 2},
     "find_executable() got multiple values for argument 'name'"),
    ("find_executable", (None,), {}, "find_executable() missing 1 required positional argument: 'fuzzy'"),
    ("fib", (), {"n": 2.5, "m": 1}, "fib() got an unexpected keyword argument 'm'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_ERRORS)
def test_binding_error(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(name, args, kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    # Binding errors are never re-labelled with a parameter name.
    assert info.value.__cause__ is None


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_binding_error_leaves_the_function_usable(name):
    with pytest.raises(TypeError):
        call(name, (), {"no_such_parameter": 1})
    samples = {"fib": ((7,), 13), "sum_as_arr": (([1, 2],), 3),
               "find_executable": (("dir", False), _kelvar.find_executable("dir", False)),
               "is_windows_builtin": (("dir",), _kelvar.is_windows_builtin("dir"))}
    args, expected = samples[name]
    assert call(name, args) == expected


def test_arguments_are_converted_in_declaration_order():
    # Conversion follows the parameter list, not the order of the keywords.
    with pytest.raises(TypeError) as info:
        _kelvar.find_executable(fuzzy=1, name=2)
    assert str(info.value) == "argument 'name': 'int' object is not an instance of 'str'"


def test_keyword_dictionary_is_not_altered():
    kwargs = {"name": "dir", "fuzzy": False}
    _kelvar.find_executable(**kwargs)
    assert kwargs == {"name": "dir", "fuzzy": False}
    with pytest.raises(TypeError):
        _kelvar.fib(**{"n": 1, "m": 2})


class NamelessMeta(type):
    @property
    def __name__(cls):
        raise LookupError("no name")


class UnprintableKey(str):
    # Named by __name__, not by its qualified name.
    __qualname__ = "Outer.UnprintableKey"

    def __str__(self):
        raise ValueError("no text")


class NamelessKey(UnprintableKey, metaclass=NamelessMeta):
    pass


@pytest.mark.parametrize("key, shown", [
    (UnprintableKey("m"), "<unprintable UnprintableKey object>"),
    (NamelessKey("m"), "<unprintable object>"),
], ids=["named by its type", "type without a name"])
def test_unprintable_keyword_is_reported_as_unraisable_and_shown_by_a_fallback(
        monkeypatch, key, shown):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook",
                        lambda u: seen.append((u.exc_type, str(u.exc_value), u.object)))
    with pytest.raises(TypeError) as info:
        _kelvar.fib(**{key: 1})
    assert str(info.value) == f"fib() got an unexpected keyword argument '{shown}'"
    # Only the failure of str() is reported; one of the type's name is not.
    assert seen == [(ValueError, "no text", key)]
