"""The calls that the reliability tests repeat: every success and error path
of the eight functions, with argument objects made afresh at run time.
"""

import collections.abc
import os
import sys

import _kelvar
from _binding_helpers import Index, numpy_like
from _reliability_helpers import CMD, EXT, PROBE


# ---------------------------------------------------------------------------
# Argument objects. Every object is made afresh at run time, so that its
# reference count belongs to the test alone.


def fresh(text):
    """A str object of its own (not a shared constant or an interned name)."""
    return "".join(list(text))


class Int(int):
    pass


class Text(str):
    pass


class Seq(collections.abc.Sequence):
    def __init__(self, items, length=None):
        self.items = items
        self.length = len(items) if length is None else length

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return self.length


class LenRaises(Seq):
    def __len__(self):
        raise ValueError("no length")


class IterRaises(Seq):
    def __iter__(self):
        raise ValueError("no iteration")


class Huge(Seq):
    """A sequence whose length hint no array can hold: an internal failure."""

    def __init__(self):
        super().__init__([], 2**61)


class IndexTypeError(TypeError):
    pass


class Raising:
    """An object whose __index__ raises a new exception at every call (raising
    one instance again would grow its traceback)."""

    def __init__(self, exc_type, arg):
        self.exc_type = exc_type
        self.arg = arg

    def __index__(self):
        raise self.exc_type(self.arg)


class Unprintable(BaseException):
    pass


class Call:
    """One path: the function, its arguments, and the expected outcome.

    `expect` is a value, or an exception type with the start of its message.
    """

    def __init__(self, function, args=(), kwargs=None, *, returns=None, raises=None, text=""):
        self.function = function
        self.args = tuple(args)
        self.kwargs = dict(kwargs or {})
        self.returns = returns
        self.raises = raises
        self.text = text

    def __call__(self):
        return getattr(_kelvar, self.function)(*self.args, **self.kwargs)

    def tracked(self):
        """The objects whose reference counts the calls must not change."""
        objects = [*self.args, *self.kwargs.values()]
        for obj in list(objects):
            if isinstance(obj, (list, tuple, Seq)):
                objects.extend(getattr(obj, "items", obj))
        objects.extend({type(obj) for obj in objects})
        objects += [str, bool, int, list, tuple, TypeError, OverflowError]
        return objects

    def check(self, panic_type=None):
        """None when one call has the expected outcome, else what went wrong."""
        try:
            result = self()
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:  # noqa: BLE001 - PanicException derives from it
            expected = panic_type if self.raises == "panic" else self.raises
            if expected is not None and type(exc) is expected and str(exc).startswith(self.text):
                return None
            return f"raised {type(exc).__qualname__}: {exc}"
        if self.raises is not None:
            return f"returned {result!r} instead of raising"
        if result != self.returns or type(result) is not type(self.returns):
            return f"returned {result!r}, expected {self.returns!r}"
        # A new result belongs to the caller alone: one reference here, one
        # for getrefcount's argument; the same for the items of a tuple.
        if not _shared(result) and sys.getrefcount(result) != 2:
            return f"result {result!r} has {sys.getrefcount(result) - 1} references"
        for i in range(len(result) if type(result) is tuple else 0):
            if not _shared(result[i]) and sys.getrefcount(result[i]) != 2:
                return f"item {i} of {result!r} has {sys.getrefcount(result[i]) - 1} references"
        return None


def _shared(obj):
    """Objects the interpreter may hand out to many: singletons and caches."""
    if obj is None or type(obj) is bool:
        return True
    if type(obj) is int:
        return -5 <= obj <= 256
    return type(obj) is str and len(obj) <= 1


def _fib_cases(fast, probe):
    """fib: results, wrapping, binding and conversion errors."""
    return [
        ("fib by position", fast, lambda: Call("fib", [Int(15)], returns=610)),
        ("fib by keyword", fast, lambda: Call("fib", kwargs={"n": Int(15)}, returns=610)),
        ("fib of an __index__", fast, lambda: Call("fib", [Index(15)], returns=610)),
        ("fib wrapping", 2_000, lambda: Call("fib", [Int(48)], returns=4807526976 - 2**32)),
        ("fib missing", fast, lambda: Call("fib", raises=TypeError, text="fib() missing 1")),
        ("fib too many", fast, lambda: Call("fib", [Int(1), Int(2)], raises=TypeError,
                                             text="fib() takes 1 positional")),
        ("fib unexpected keyword", fast, lambda: Call("fib", kwargs={"m": Int(1)}, raises=TypeError,
                                                      text="fib() got an unexpected keyword")),
        ("fib multiple values", fast, lambda: Call("fib", [Int(1)], {"n": Int(2)}, raises=TypeError,
                                                   text="fib() got multiple values")),
        ("fib of a str", fast, lambda: Call("fib", [fresh("ab")], raises=TypeError,
                                            text="argument 'n': ")),
        ("fib negative", fast, lambda: Call("fib", [Int(-7)], raises=OverflowError)),
        ("fib above 32 bits", fast, lambda: Call("fib", [2**40 + len(probe)], raises=OverflowError,
                                                 text="out of range integral")),
        ("fib above 64 bits", fast, lambda: Call("fib", [2**70 + len(probe)], raises=OverflowError)),
        ("fib TypeError subclass from __index__", fast,
         lambda: Call("fib", [Raising(IndexTypeError, fresh("sub"))], raises=IndexTypeError,
                      text="sub")),
        ("fib TypeError from __index__", fast,
         lambda: Call("fib", [Raising(TypeError, fresh("plain"))], raises=TypeError,
                      text="argument 'n': plain")),
    ]


def _sum_cases(fast, probe):
    """sum_as_arr: every kind of sequence, and its element errors."""
    return [
        ("sum of a list", fast, lambda: Call("sum_as_arr", [[Int(1000), Int(2000), Int(-3)]],
                                             returns=2997)),
        ("sum of a tuple", fast, lambda: Call("sum_as_arr", [(Int(1000), Index(int(fresh("2000"))))],
                                              returns=3000)),
        ("sum of a Sequence", fast, lambda: Call("sum_as_arr", [Seq([Int(1000), Index(int(fresh("500")))])],
                                                 returns=1500)),
        ("sum of bytes", fast, lambda: Call("sum_as_arr", [bytes([100, 200, 250])], returns=550)),
        ("sum wrapping", fast, lambda: Call("sum_as_arr", [[2**31 - 1, Int(1)]], returns=-(2**31))),
        ("sum whose length raises", fast,
         lambda: Call("sum_as_arr", [LenRaises([Int(700), Int(800)])], returns=1500)),
        ("sum of a str", fast, lambda: Call("sum_as_arr", [fresh("123")], raises=TypeError,
                                            text="argument 'arr': Can't extract")),
        ("sum of no sequence", fast, lambda: Call("sum_as_arr", [Int(5)], raises=TypeError,
                                                  text="argument 'arr': 'Int' object")),
        ("sum of None", fast, lambda: Call("sum_as_arr", [None], raises=TypeError,
                                           text="argument 'arr': 'None'")),
        ("sum of a dict", fast, lambda: Call("sum_as_arr", [{fresh("k"): Int(1000)}],
                                             raises=TypeError)),
        ("sum with a str element", fast, lambda: Call("sum_as_arr", [[Int(1000), fresh("x")]],
                                                      raises=TypeError, text="argument 'arr': ")),
        ("sum with a big element", fast, lambda: Call("sum_as_arr", [[Int(1000), 2**31 + len(probe)]],
                                                      raises=OverflowError)),
        ("sum whose iteration raises", fast, lambda: Call("sum_as_arr", [IterRaises([Int(1000)])],
                                                          raises=ValueError)),
        ("sum missing", fast, lambda: Call("sum_as_arr", kwargs={"array": [Int(1000)]},
                                           raises=TypeError)),
    ]


def _builtin_cases(fast):
    """is_windows_builtin, by both of its paths."""
    return [
        ("builtin yes", fast, lambda: Call("is_windows_builtin", [fresh("TaskKill")], returns=True)),
        ("builtin no", fast, lambda: Call("is_windows_builtin", [fresh("where")], returns=False)),
        ("builtin of a str subclass", fast,
         lambda: Call("is_windows_builtin", kwargs={"command": Text("Dir")}, returns=True)),
        ("builtin of bytes", fast, lambda: Call("is_windows_builtin", [b"dir" * 2], raises=TypeError,
                                                text="argument 'command': 'bytes'")),
        ("builtin of a lone surrogate", fast,
         lambda: Call("is_windows_builtin", [fresh("d\ud800r")], raises=UnicodeEncodeError)),
        ("builtin too many", fast, lambda: Call("is_windows_builtin", [fresh("ab"), fresh("cd")],
                                                raises=TypeError)),
    ]


def _find_cases(fast, spawning, probe):
    """find_executable, with and without a child."""
    numpy_true = numpy_like("bool_", __bool__=lambda self: True)
    numpy_no_bool = numpy_like("bool_")
    return [
        ("find found", spawning, lambda: Call("find_executable", [fresh(PROBE), False],
                                              returns=(PROBE, probe))),
        ("find found fuzzy", spawning, lambda: Call("find_executable", [fresh("reliability"), True],
                                                    returns=("reliability", probe))),
        ("find not found", spawning,
         lambda: Call("find_executable", kwargs={"name": fresh("kelvar-none"), "fuzzy": False},
                      returns=("kelvar-none", None))),
        ("find built-in", spawning, lambda: Call("find_executable", [fresh("DIR"), False],
                                                 returns=("DIR", CMD))),
        ("find with a NumPy-like fuzzy", spawning,
         lambda: Call("find_executable", [fresh("cls"), numpy_true()], returns=("cls", CMD))),
        # Starts no child, so it runs often enough to show a native leak of
        # the query or the argument text in the resident memory.
        ("find with a NUL in the name", fast,
         lambda: Call("find_executable", [fresh("a\0b"), False], returns=("a\0b", None))),
        ("find missing", fast, lambda: Call("find_executable", kwargs={"fuzzy": True},
                                            raises=TypeError, text="find_executable() missing")),
        ("find too many", fast, lambda: Call("find_executable", [fresh("ab"), True, Int(3)],
                                             raises=TypeError)),
        ("find name not a str", fast, lambda: Call("find_executable", [Int(1000), Int(2000)],
                                                   raises=TypeError, text="argument 'name': ")),
        ("find fuzzy an int", fast, lambda: Call("find_executable", [fresh("git"), Int(1)],
                                                 raises=TypeError, text="argument 'fuzzy': ")),
        ("find fuzzy None", fast, lambda: Call("find_executable", [fresh("git"), None],
                                               raises=TypeError, text="argument 'fuzzy': 'None'")),
        ("find NumPy-like without __bool__", fast,
         lambda: Call("find_executable", [fresh("git"), numpy_no_bool()], raises=TypeError,
                      text="argument 'fuzzy': object of type")),
        ("find lone surrogate", fast, lambda: Call("find_executable", [fresh("\udc80x"), False],
                                                   raises=UnicodeEncodeError)),
    ]


def _no_parameter_cases(fast):
    """The functions without parameters."""
    return [
        ("get_version", fast, lambda: Call("get_version", returns="0.1.0")),
        ("get_cmd_exe_path", fast, lambda: Call("get_cmd_exe_path", returns=CMD)),
        ("get_executable_extension", fast, lambda: Call("get_executable_extension", returns=EXT)),
        ("is_windows", fast, lambda: Call("is_windows", returns=_kelvar.is_windows())),
        ("no-argument function given one", fast, lambda: Call("get_version", [Int(1)],
                                                              raises=TypeError)),
    ]


def cases(probe_dir):
    """(id, base number of calls, factory of the Call), for every path."""
    probe = os.path.join(probe_dir, PROBE + EXT)
    fast, spawning = 40_000, 150
    return (_fib_cases(fast, probe) + _sum_cases(fast, probe) + _builtin_cases(fast)
            + _find_cases(fast, spawning, probe) + _no_parameter_cases(fast))


# Internal failures write their report to the process's standard error, so
# these run in a child whose standard error goes to a file.
def panic_cases():
    return [
        ("panic from a huge length", 3_000, lambda: Call("sum_as_arr", [Huge()], raises="panic",
                                                         text="capacity overflow")),
        ("panic raised by __index__ is resumed", 3_000,
         lambda: Call("fib", [Raising(made_panic_type(), fresh("from python"))], raises="panic",
                      text="from python")),
        ("panic with an unprintable message", 3_000,
         lambda: Call("fib", [Raising(made_panic_type(), UnprintableArg())], raises="panic",
                      text="Unwrapped panic from Python code")),
    ]


class UnprintableArg:
    def __str__(self):
        raise Unprintable("no text")


_PANIC = []


def made_panic_type():
    if not _PANIC:
        try:
            _kelvar.sum_as_arr(Huge())
        except BaseException as exc:  # noqa: BLE001
            _PANIC.append(type(exc))
    return _PANIC[0]
