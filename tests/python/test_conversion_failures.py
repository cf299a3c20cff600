"""Internal failures during conversion, seen from a child interpreter, and
the once-only values they use."""

import importlib.util
import json
import sys

import pytest

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
