"""Random arguments, by position and by keyword, thrown at every function.

Every call must end in a result of the right type or in one of the documented
exceptions: never a crash, a SystemError or an internal failure. The number of
calls is KELVAR_FUZZ_CALLS (small by default), the seed KELVAR_FUZZ_SEED.
"""

import array
import collections.abc
import os
import random

import _kelvar
from _binding_helpers import Index, numpy_like
from _surface import SURFACE

CALLS = int(os.environ.get("KELVAR_FUZZ_CALLS", "3000"))
SEED = int(os.environ.get("KELVAR_FUZZ_SEED", "20261208"))

DOCUMENTED = (TypeError, OverflowError, UnicodeEncodeError)

PARAMETERS = {name: function.parameters for name, function in SURFACE.items()}
RESULT_TYPES = {name: function.result for name, function in SURFACE.items()}


class Seq(collections.abc.Sequence):
    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return self.length


class TypeErrorIndex:
    def __index__(self):
        raise TypeError("refused by __index__")


def random_int(rng):
    bits = rng.choice([1, 7, 8, 16, 31, 32, 33, 63, 64, 65, 100])
    value = rng.getrandbits(bits)
    return -value if rng.random() < 0.3 else value


def random_text(rng):
    alphabet = "abcDIR .*?\\/\x00\u00e9\u4e2d\U0001f40d\ud800\udfff"
    # Mostly short; a lone surrogate only now and then.
    text = "".join(rng.choice(alphabet[:-2]) for _ in range(rng.randrange(8)))
    if rng.random() < 0.1:
        text += rng.choice(alphabet[-2:])
    return text


def random_element(rng):
    return rng.choice([
        lambda: random_int(rng),
        lambda: rng.choice([True, False]),
        lambda: Index(random_int(rng)),
        lambda: rng.random(),
        lambda: random_text(rng),
        lambda: None,
        lambda: TypeErrorIndex(),
    ])()


def random_object(rng, depth=0):
    makers = [
        lambda: random_int(rng),
        lambda: rng.choice([True, False]),
        lambda: Index(random_int(rng)),
        lambda: rng.random() * 1e6,
        lambda: random_text(rng),
        lambda: random_text(rng).encode("utf-8", "surrogatepass"),
        lambda: None,
        lambda: [random_int(rng) % 2**31 for _ in range(rng.randrange(20))],
        lambda: [random_element(rng) for _ in range(rng.randrange(5))],
        lambda: tuple(random_element(rng) for _ in range(rng.randrange(5))),
        lambda: range(rng.randrange(-50, 50)),
        lambda: bytearray(rng.randbytes(rng.randrange(10))),
        lambda: array.array("q", [random_int(rng) % 2**62 for _ in range(rng.randrange(4))]),
        lambda: Seq([random_element(rng) for _ in range(rng.randrange(4))],
                    rng.choice([0, 3, 2**40])),
        lambda: {random_int(rng): 1},
        lambda: {random_int(rng)},
        lambda: iter([1, 2]),
        lambda: object(),
        lambda: TypeErrorIndex(),
        lambda: numpy_like(rng.choice(["bool_", "bool", "int_"]),
                           __bool__=rng.choice([lambda self: True, lambda self: 1]))(),
        lambda: numpy_like("bool_")(),
    ]
    return rng.choice(makers)()


def random_call(rng):
    name = rng.choice(sorted(PARAMETERS))
    parameters = PARAMETERS[name]
    positional = [random_object(rng) for _ in range(rng.choice([0, 0, 1, 1, 2, 2, 3]))]
    keywords = {}
    for _ in range(rng.choice([0, 0, 0, 1, 2])):
        key = rng.choice(list(parameters) + ["x", "N", "", "name\x00", "\ud800"])
        keywords[key] = random_object(rng)
    return name, positional, keywords


def test_random_calls_end_in_results_or_documented_errors():
    rng = random.Random(SEED)
    outcomes = {"result": 0, "error": 0}
    for number in range(CALLS):
        name, positional, keywords = random_call(rng)
        where = f"call {number} (seed {SEED}): {name}(*{positional!r}, **{keywords!r})"
        try:
            result = getattr(_kelvar, name)(*positional, **keywords)
        except DOCUMENTED as exc:
            # A TypeError names the call that was refused or the parameter
            # whose argument was: the caller can tell what to mend.
            if type(exc) is TypeError:
                about = (f"{name}()", f"_kelvar.{name}()",
                         *(f"argument '{p}': " for p in PARAMETERS[name]))
                assert str(exc).startswith(about), where + f": {exc}"
            outcomes["error"] += 1
            continue
        assert type(result) is RESULT_TYPES[name], where
        if name == "find_executable":
            assert len(result) == 2 and type(result[0]) is str, where
        if name == "fib":
            assert 0 <= result < 2**32, where
        if name == "sum_as_arr":
            assert -(2**31) <= result < 2**31, where
        outcomes["result"] += 1
    # Both ways out were taken, or the generator has lost its point.
    assert outcomes["result"] > 0 and outcomes["error"] > 0, outcomes
