"""The call fuzzer's random calls, for the fuzz tests and for the child
processes of the shutdown fuzzer (so nothing here imports the test runner).

Every call must end in a result of the right type or in one of the
documented exceptions: never a crash, a SystemError or an internal failure.

With `finalising`, every object made for a call has a finaliser that gives
up the interpreter lock: the arguments, what __bool__, __index__, __len__,
__getitem__ and __next__ answer, the keys, the elements and the arguments of
the errors raised. Many of them are made for the module alone, so the
module's release of them runs that finaliser; a daemon thread that runs it
while the interpreter exits is ended there.
"""

import array
import collections.abc
import time

import _kelvar
from _binding_helpers import Index, numpy_like
from _surface import SURFACE

DOCUMENTED = (TypeError, OverflowError, UnicodeEncodeError)

PARAMETERS = {name: function.parameters for name, function in SURFACE.items()}
RESULT_TYPES = {name: function.result for name, function in SURFACE.items()}
TAKING_ARGUMENTS = sorted(name for name, parameters in PARAMETERS.items() if parameters)


class Seq(collections.abc.Sequence):
    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return self.length


class TypeErrorIndex:
    def __init__(self, argument="refused by __index__"):
        self.argument = argument

    def __index__(self):
        raise TypeError(self.argument)


class Iterator:
    def __init__(self, items):
        self.items = list(items)

    def __iter__(self):
        return self

    def __next__(self):
        if not self.items:
            raise StopIteration
        return self.items.pop(0)


# How long a finaliser sleeps. The shutdown fuzzer naps rather than sleeping
# for 0 s: the longer a thread is without the lock inside the module's calls,
# the likelier the exit comes just then.
NAP = 0.0


def _gives_up_the_lock(self):
    time.sleep(NAP)


def _finalising(base):
    return type("Finalising" + base.__name__, (base,), {"__del__": _gives_up_the_lock})


class _Plain:
    """The object kinds of a plain run: the built-in types themselves."""

    int, float, str, bytes, bytearray, list, tuple, dict, set = (
        int, float, str, bytes, bytearray, list, tuple, dict, set)
    Index, Seq, TypeErrorIndex, Iterator = Index, Seq, TypeErrorIndex, Iterator

    @staticmethod
    def array(items):
        return array.array("q", items)

    @staticmethod
    def held(value):
        return value


class _Finalising:
    """The same kinds, each with a finaliser that gives up the lock."""

    int, float, str, bytes, bytearray, list, tuple, dict, set = map(_finalising, (
        int, float, str, bytes, bytearray, list, tuple, dict, set))
    Index, Seq, TypeErrorIndex, Iterator = map(_finalising, (
        Index, Seq, TypeErrorIndex, Iterator))
    Object = _finalising(object)
    _array = _finalising(array.array)

    @classmethod
    def array(cls, items):
        return cls._array("q", items)

    @classmethod
    def held(cls, value):
        """`value` as a fresh object with a finaliser, where its type allows."""
        if type(value) is bool or value is None:
            return value
        for kind in (int, float, str, bytes):
            if type(value) is kind:
                return getattr(cls, kind.__name__)(value)
        return value


class Calls:
    """Random calls, drawn from `rng`."""

    def __init__(self, rng, finalising=False):
        self.rng = rng
        self.finalising = finalising
        self.kinds = _Finalising if finalising else _Plain

    def int(self):
        bits = self.rng.choice([1, 7, 8, 16, 31, 32, 33, 63, 64, 65, 100])
        value = self.rng.getrandbits(bits)
        return self.kinds.held(-value if self.rng.random() < 0.3 else value)

    def text(self):
        rng = self.rng
        alphabet = "abcDIR .*?\\/\x00\u00e9\u4e2d\U0001f40d\ud800\udfff"
        # Mostly short; a lone surrogate only now and then.
        text = "".join(rng.choice(alphabet[:-2]) for _ in range(rng.randrange(8)))
        if rng.random() < 0.1:
            text += rng.choice(alphabet[-2:])
        return self.kinds.held(text)

    def index_error(self):
        # The error's argument is an object of its own when finalising.
        if self.finalising and self.rng.random() < 0.5:
            return self.kinds.TypeErrorIndex(self.kinds.Object())
        return self.kinds.TypeErrorIndex()

    def bool_result(self):
        rng = self.rng
        if self.finalising and rng.random() < 0.5:
            # What only the module holds once __bool__ has answered.
            made = rng.choice([self.kinds.Object, self.int, lambda: self.kinds.held(rng.random())])
        else:
            made = rng.choice([lambda: True, lambda: False, lambda: 1, lambda: None,
                               lambda: self.kinds.held(rng.random())])
        return lambda flag: made()

    def element(self):
        rng = self.rng
        return rng.choice([
            lambda: self.int(),
            lambda: rng.choice([True, False]),
            lambda: self.kinds.Index(self.int()),
            lambda: self.kinds.held(rng.random()),
            lambda: self.text(),
            lambda: None,
            lambda: self.index_error(),
        ])()

    def container(self, items):
        """A list or tuple of `items`: an exact one (read item by item) or,
        when finalising, now and then a subclass (read through its iterator)."""
        rng = self.rng
        exact = rng.choice([list, tuple])
        if self.finalising and rng.random() < 0.3:
            return getattr(self.kinds, exact.__name__)(items)
        return exact(items)

    def object(self):
        rng = self.rng
        kinds = self.kinds
        makers = [
            lambda: self.int(),
            lambda: rng.choice([True, False]),
            lambda: kinds.Index(self.int()),
            lambda: kinds.held(rng.random() * 1e6),
            lambda: self.text(),
            lambda: kinds.bytes(str(self.text()).encode("utf-8", "surrogatepass")),
            lambda: None,
            lambda: self.container([kinds.held(int(self.int()) % 2**31)
                                    for _ in range(rng.randrange(20))]),
            lambda: self.container([self.element() for _ in range(rng.randrange(5))]),
            lambda: range(rng.randrange(-50, 50)),
            lambda: kinds.bytearray(rng.randbytes(rng.randrange(10))),
            lambda: kinds.array([int(self.int()) % 2**62 for _ in range(rng.randrange(4))]),
            lambda: kinds.Seq([self.element() for _ in range(rng.randrange(4))],
                              kinds.held(rng.choice([0, 3, 2**40]))),
            lambda: kinds.dict({self.int(): 1}),
            lambda: kinds.set({self.int()}),
            lambda: kinds.Iterator([self.element() for _ in range(rng.randrange(3))]),
            lambda: kinds.Object() if self.finalising else object(),
            lambda: self.index_error(),
            lambda: numpy_like(rng.choice(["bool_", "bool", "int_"]),
                               __bool__=self.bool_result(),
                               **({"__del__": _gives_up_the_lock} if self.finalising else {}))(),
            lambda: numpy_like("bool_")(),
        ]
        return rng.choice(makers)()

    def fitting(self, parameter):
        """An object of the kind `parameter` takes, mostly, so that more calls
        get past the binding and deep into a conversion."""
        rng = self.rng
        kinds = self.kinds
        makers = {
            "n": [lambda: kinds.Index(self.int()), self.int, self.index_error],
            "arr": [lambda: self.container([self.element() for _ in range(rng.randrange(6))]),
                    lambda: kinds.Iterator([self.element() for _ in range(rng.randrange(6))]),
                    lambda: kinds.Seq([self.element() for _ in range(rng.randrange(4))],
                                      kinds.held(rng.choice([0, 3, 2**40])))],
            "fuzzy": [lambda: rng.choice([True, False]),
                      lambda: numpy_like(rng.choice(["bool_", "bool"]), __bool__=self.bool_result(),
                                         **({"__del__": _gives_up_the_lock}
                                            if self.finalising else {}))()],
        }.get(parameter, [self.text])
        return rng.choice(makers)()

    def argument(self, parameter):
        return self.fitting(parameter) if self.rng.random() < 0.5 else self.object()

    def call(self):
        """A random call: the function's name, positional arguments, keywords."""
        rng = self.rng
        # Mostly a function that takes arguments: the others convert nothing.
        name = rng.choice(sorted(PARAMETERS) if rng.random() < 0.2 else TAKING_ARGUMENTS)
        parameters = PARAMETERS[name]
        count = rng.choice([0, 0, 1, 1, 2, 2, 3])
        positional = [self.argument(parameters[i] if i < len(parameters) else None)
                      for i in range(count)]
        keywords = {}
        for _ in range(rng.choice([0, 0, 0, 1, 2])):
            key = rng.choice(list(parameters) + ["x", "N", "", "name\x00", "\ud800"])
            keywords[self.kinds.held(key)] = self.argument(key)
        return name, positional, keywords


def checked_outcome(name, call):
    """Makes the call; "result" or "error", or an AssertionError saying what
    no call may end in."""
    try:
        result = call()
    except DOCUMENTED as exc:
        # A TypeError names the call that was refused or the parameter
        # whose argument was: the caller can tell what to mend.
        if type(exc) is TypeError:
            about = (f"{name}()", f"_kelvar.{name}()",
                     *(f"argument '{p}': " for p in PARAMETERS[name]))
            assert str(exc).startswith(about), f"{exc}"
        return "error"
    assert type(result) is RESULT_TYPES[name], repr(result)
    if name == "find_executable":
        assert len(result) == 2 and type(result[0]) is str, repr(result)
    if name == "fib":
        assert 0 <= result < 2**32, repr(result)
    if name == "sum_as_arr":
        assert -(2**31) <= result < 2**31, repr(result)
    return "result"


def call_at_random(calls, number=None, seed=None, call=None):
    """Makes one random call of `calls` (or `call`, one it made before) and
    checks its outcome."""
    name, positional, keywords = call or calls.call()
    try:
        return checked_outcome(name, lambda: getattr(_kelvar, name)(*positional, **keywords))
    except AssertionError as error:
        raise AssertionError(
            f"call {number} (seed {seed}): {name}(*{positional!r}, **{keywords!r}): {error}"
        ) from None
