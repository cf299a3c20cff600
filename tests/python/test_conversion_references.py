"""The references a conversion takes and releases: a failed call lets go of
what only it held before it returns, and every conversion gives back what
it took."""

import json
import sys

import pytest

import _kelvar
from _binding_helpers import CallableObject, CustomSequence, Index, numpy_like, returning


RELEASED_BEFORE_RETURN = {
    # An internal failure (a __len__ of 2**61) ends each call.
    "the argument of an internal failure": """
class Huge(Made):
    def __len__(self):
        return 2**61
    def __getitem__(self, i):
        raise IndexError(i)
def call():
    _kelvar.sum_as_arr(Huge())
""",
    # The refused answer of __bool__ is held by the error until it is raised.
    "what a refused __bool__ answered": """
flag = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: Made()})()
def call():
    _kelvar.find_executable("kelvar-none", flag)
""",
    "an element refused by its __index__": """
class Refused(Made):
    def __index__(self):
        raise OverflowError("refused")
def call():
    _kelvar.sum_as_arr(iter([Refused()]))
""",
}


@pytest.mark.parametrize("source", RELEASED_BEFORE_RETURN.values(),
                         ids=RELEASED_BEFORE_RETURN.keys())
def test_a_failed_call_releases_what_only_it_held_before_it_returns(run_child, source):
    # What only the call held must be gone when the call has returned, not
    # when some later call of the module runs.
    child = run_child("""
import json, _kelvar
alive = []
class Made:
    def __init__(self):
        alive.append(1)
    def __del__(self):
        alive.pop()
""" + source + """
left = []
for _ in range(3):
    try:
        call()
    except BaseException:
        pass
    left.append(len(alive))
print(json.dumps(left))
""")
    assert json.loads(child.stdout) == [0, 0, 0]


def test_an_argument_whose_last_reference_the_call_held_is_released_by_it(run_child):
    # The caller's keyword dictionary is emptied during the call, so the
    # call's own reference to the argument is the last one. The call runs on
    # a thread that makes no other call of the module, so only this call can
    # release it, before it returns.
    child = run_child("""
import _thread, json, time, _kelvar
finalised = []
class Sole:
    def __init__(self, kwargs):
        self.kwargs = kwargs
    def __index__(self):
        self.kwargs.clear()
        del self.kwargs
        emptied.append(1)
        return 10
    def __del__(self):
        finalised.append(1)
for _ in range(3):
    emptied = []
    before = _thread._count()
    kwargs = {}
    kwargs["n"] = Sole(kwargs)
    # The thread's bootstrap passes this very dictionary to the function.
    _thread.start_new_thread(_kelvar.fib, (), kwargs)
    del kwargs
    # __index__ runs inside the call, so the thread is counted then; the call
    # is over once it is counted no more.
    deadline = time.monotonic() + 60
    while not (emptied and _thread._count() == before) and time.monotonic() < deadline:
        time.sleep(0.001)
print(json.dumps(finalised))
""")
    assert json.loads(child.stdout) == [1, 1, 1]


def test_elements_are_released_as_the_conversion_goes():
    # A long iteration keeps no more than a few of the elements it has
    # converted alive, however many it reads.
    alive = []
    most = []

    class Element:
        def __init__(self):
            alive.append(1)

        def __index__(self):
            most.append(len(alive))
            return 1

        def __del__(self):
            alive.pop()

    class Many:  # a sequence of its own, read through its iterator
        def __len__(self):
            return 1000

        def __getitem__(self, i):
            if i >= 1000:
                raise IndexError(i)
            return Element()

    assert _kelvar.sum_as_arr(Many()) == 1000
    assert max(most) <= 3 and alive == []


# ------------------------------------------------------------ references

KEEP = Index(7)
BOOL_RESULT = object()
NUMPY_TRUE = numpy_like(__bool__=returning(True))()
NUMPY_ODD = numpy_like(__bool__=returning(BOOL_RESULT))()
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
