"""Threads that call everything at once, also as the very first users of the
once-only values in a fresh interpreter, get the right answers, one
PanicException type, and never deadlock.
"""

import json
import os
import subprocess
import sys
import threading

import pytest

import _kelvar
from _binding_helpers import Index
from _reliability_cases import Seq
from _reliability_helpers import (
    CHILD_TIMEOUT,
    CMD,
    EXT,
    JOIN_TIMEOUT,
    LINUX,
    PROBE,
    THREADS,
    calls_for,
    child_pids,
)


# ---------------------------------------------------------------------------
# Threads

def _thread_calls(probe):
    """(call, expected outcome) pairs that threads run over and over."""
    return [
        (lambda: _kelvar.fib(20), 6765),
        (lambda: _kelvar.sum_as_arr([1, 2, 3, 4, 5] * 20), 300),
        (lambda: _kelvar.sum_as_arr(Seq([Index(7)] * 9)), 63),
        (lambda: _kelvar.is_windows_builtin("RoboCopy"), True),
        (lambda: _kelvar.is_windows_builtin("robocopy.exe"), False),
        (lambda: _kelvar.find_executable(PROBE, False), (PROBE, probe)),
        (lambda: _kelvar.find_executable("Cls", True), ("Cls", CMD)),
        (lambda: _kelvar.find_executable("kelvar-none", False), ("kelvar-none", None)),
        (lambda: _kelvar.get_version(), "0.1.0"),
        (lambda: _kelvar.get_cmd_exe_path(), CMD),
        (lambda: _kelvar.get_executable_extension(), EXT),
        (lambda: _kelvar.is_windows(), _kelvar.is_windows()),
        (lambda: _kelvar.sum_as_arr(5), "TypeError: argument 'arr': 'int' object is not an instance of 'Sequence'"),
        (lambda: _kelvar.find_executable("x", 1), "TypeError: argument 'fuzzy': 'int' object is not an instance of 'bool'"),
        (lambda: _kelvar.fib(2**32), "OverflowError: out of range integral type conversion attempted"),
        (lambda: _kelvar.fib(), "TypeError: fib() missing 1 required positional argument: 'n'"),
        (lambda: _kelvar.is_windows_builtin("\ud800"), "UnicodeEncodeError"),
    ]


def _outcome(call):
    try:
        return call()
    except Exception as exc:  # noqa: BLE001
        if isinstance(exc, UnicodeEncodeError):
            return "UnicodeEncodeError"
        return f"{type(exc).__name__}: {exc}"


def _run_threads(work, count):
    barrier = threading.Barrier(count)
    failures = []

    def body(index):
        try:
            barrier.wait(timeout=JOIN_TIMEOUT)
            work(index)
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(f"thread {index}: {type(exc).__name__}: {exc}")

    threads = [threading.Thread(target=body, args=(i,), daemon=True) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=JOIN_TIMEOUT)
    stuck = [t.name for t in threads if t.is_alive()]
    assert not stuck, f"threads still running after {JOIN_TIMEOUT} s (deadlock?): {stuck}"
    return failures


def test_threads_calling_everything_at_once(probe_dir):
    probe = os.path.join(probe_dir, PROBE + EXT)
    table = _thread_calls(probe)
    rounds = max(calls_for(400) // len(table), 3)
    children = child_pids() if LINUX else set()

    def work(index):
        for r in range(rounds):
            for k in range(len(table)):  # each thread in its own order
                call, expected = table[(k + index + r) % len(table)]
                got = _outcome(call)
                assert got == expected, (got, expected)

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        assert _run_threads(work, THREADS) == []
    finally:
        sys.setswitchinterval(previous)
    if LINUX:
        assert child_pids() <= children


FIRST_USE = r"""
import json, os, sys, threading
sys.setswitchinterval(1e-6)
# Nothing here imports collections.abc: the first refused sequence does.
import _kelvar

class Huge:
    def __len__(self): return 2**61
    def __getitem__(self, i): raise IndexError(i)

def panic():
    try:
        _kelvar.sum_as_arr(Huge())
    except BaseException as exc:
        return ["panic", id(type(exc)), type(exc).__module__, type(exc).__name__, str(exc),
                isinstance(exc, Exception), type(exc).__bases__ == (BaseException,)]
    return "no panic"

def refused(call):
    try:
        call()
    except Exception as exc:
        return type(exc).__name__ + ": " + str(exc)
    return "accepted"

STEPS = [
    panic,
    lambda: refused(lambda: _kelvar.sum_as_arr(5)),
    lambda: refused(lambda: _kelvar.find_executable("x", 1)),
    lambda: refused(lambda: _kelvar.is_windows_builtin(None)),
    lambda: _kelvar.is_windows_builtin("SUBST"),
    lambda: _kelvar.find_executable("Vol", False)[1],
    lambda: _kelvar.fib(12),
]
COUNT = THREADS
barrier = threading.Barrier(COUNT)
results = [None] * COUNT

def body(index):
    barrier.wait(timeout=60)
    order = STEPS[index % len(STEPS):] + STEPS[:index % len(STEPS)]
    got = {}
    for step in order:
        got[STEPS.index(step)] = step()
    results[index] = [got[i] for i in range(len(STEPS))]

threads = [threading.Thread(target=body, args=(i,), daemon=True) for i in range(COUNT)]
for t in threads: t.start()
for t in threads: t.join(timeout=JOIN_TIMEOUT)
stuck = sum(t.is_alive() for t in threads)
print(json.dumps({"stuck": stuck, "results": results}), flush=True)
# A deadlocked thread would keep the interpreter from exiting.
os._exit(0)
"""


@pytest.mark.parametrize("run", range(4))
def test_first_use_of_once_only_values_from_many_threads(tmp_path, run):
    env = dict(os.environ, PATH=str(tmp_path))
    source = FIRST_USE.replace("JOIN_TIMEOUT", repr(JOIN_TIMEOUT)).replace("THREADS", str(THREADS + run))
    proc = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                          env=env, timeout=CHILD_TIMEOUT)
    assert proc.returncode == 0, proc.stderr[-4000:]
    out = json.loads(proc.stdout)
    assert out["stuck"] == 0, "deadlock: threads still running"
    results = out["results"]
    assert None not in results
    panic_id = results[0][0][1]
    expected = [
        ["panic", panic_id, "pyo3_runtime", "PanicException", "capacity overflow", False, True],
        "TypeError: argument 'arr': 'int' object is not an instance of 'Sequence'",
        "TypeError: argument 'fuzzy': 'int' object is not an instance of 'bool'",
        "TypeError: argument 'command': 'None' is not an instance of 'str'",
        True,
        CMD,
        144,
    ]
    assert all(r == expected for r in results), results
    # One failure report per internal failure, whichever thread made the type.
    assert proc.stderr.count("\ncapacity overflow\n") == len(results)
