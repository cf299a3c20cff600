"""Internal failures during conversion, seen from a child interpreter, and
the references a conversion takes and releases."""

import importlib.util
import json
import sys

import pytest

import _kelvar
from _binding_helpers import CallableObject, CustomSequence, Index, numpy_like, returning
from _reliability_helpers import SANITIZED


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


@pytest.mark.skipif(not sys.platform.startswith("linux") or SANITIZED,
                    reason="needs /proc and an address-space limit, which the sanitizers' shadow "
                    "memory cannot live with")
def test_exhausted_memory_is_an_internal_failure(run_child):
    # A failure the module's own checks did not raise (the allocator's) is
    # reported where it is seen, and the call ends as any internal failure.
    child = run_child(FIND_PANIC_TYPE + """
import mmap, resource
panic = panic_type()
values = (1,) * 10_000_000  # 40 MB as the module's array, 80 MB here
used = int(open("/proc/self/statm").read().split()[0]) * mmap.PAGESIZE
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (used + 16 * 2**20, hard))
try:
    _kelvar.sum_as_arr(values)
except BaseException as exc:
    outcome = [type(exc) is panic, list(exc.args)]
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(json.dumps(outcome + [_kelvar.sum_as_arr(values)]))
""")
    unknown = "the native code failed with an error that carries no message"
    assert json.loads(child.stdout) == [True, [unknown], 10_000_000]
    assert f"{unknown} (std::bad_alloc)" in child.stderr


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


# The first refusal of a non-sequence imports collections.abc to name the
# expected type. Python code that runs during that import on the same thread
# and makes the same call (an import hook, a signal handler, a finaliser)
# must get its answer too: no once-only section may wait for its own thread.
REENTRY_PRELUDE = """
import json, signal, sys, _kelvar
messages = []
def refused():
    try:
        _kelvar.sum_as_arr(5)
    except TypeError as exc:
        messages.append(str(exc))
inner = []
def inner_once():
    if not inner:
        inner.append(1)
        refused()
sys.modules.pop("collections.abc", None)
"""

REENTRY = {
    "import hook": "def during_import():\n    inner_once()\n",
    "signal handler": (
        "signal.signal(signal.SIGINT, lambda signum, frame: inner_once())\n"
        "def during_import():\n"
        "    signal.raise_signal(signal.SIGINT)\n"
        "    sum(range(10))  # the handler runs here, inside the import\n"),
    "finaliser": (
        "class Dropped:\n"
        "    def __del__(self):\n"
        "        inner_once()\n"
        "def during_import():\n"
        "    Dropped()\n"),
}

REENTRY_MAIN = """
class Hook:
    def find_spec(self, name, path=None, target=None):
        if name == "collections.abc":
            during_import()
        return None
sys.meta_path.insert(0, Hook())
refused()
print(json.dumps([inner, messages]))
"""


def _importable_afresh(name):
    saved = sys.modules.pop(name)
    try:
        return importlib.util.find_spec(name) is not None
    finally:
        sys.modules[name] = saved


@pytest.mark.skipif(not _importable_afresh("collections.abc"),
                    reason="no file of collections.abc to import again (the embeddable CPython 3.13 "
                    "ships only the alias that collections makes)")
@pytest.mark.parametrize("source", REENTRY.values(), ids=REENTRY.keys())
def test_a_once_only_value_reentered_on_its_own_thread_answers_both_calls(run_child, source):
    child = run_child(REENTRY_PRELUDE + source + REENTRY_MAIN, timeout=20)
    assert json.loads(child.stdout) == [
        [1], ["argument 'arr': 'int' object is not an instance of 'Sequence'"] * 2]


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
