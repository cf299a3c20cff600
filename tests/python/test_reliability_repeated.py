"""Every success and error path of the eight functions, called thousands of
times, leaves the reference counts of its argument objects (and of the types
involved) as they were, keeps the interpreter's allocated blocks and the
process's resident memory flat, and opens no file descriptor and leaves no
child process behind.

Under AddressSanitizer (the runtime is mapped into the process) the memory
bounds are not checked, since the sanitizer's quarantine and PYTHONMALLOC=malloc
make them meaningless there; its leak checker does that job.
"""

import gc
import json
import os
import subprocess
import sys

import pytest

from _reliability_cases import cases, made_panic_type, panic_cases
from _reliability_helpers import CHILD_TIMEOUT, LINUX, SANITIZED, TESTS_DIR, calls_for, child_pids


# ---------------------------------------------------------------------------
# Measurement


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _snapshot(tracked):
    gc.collect()
    state = {"refcounts": [sys.getrefcount(obj) for obj in tracked]}
    state["blocks"] = sys.getallocatedblocks()
    if LINUX:
        state["rss"] = _rss()
        state["fds"] = sorted(os.listdir("/proc/self/fd"))
        state["children"] = sorted(child_pids())
    return state


def _repeat(call, count):
    for _ in range(count):
        try:
            call()
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException:  # noqa: BLE001 - the outcome was checked before
            pass


def _is_singleton(obj):
    return any(obj is s for s in (None, True, False, Ellipsis, NotImplemented))


def measure(case_id, base, make, panic_type=None):
    """Calls one path many times; the list of what did not stay put."""
    call = make()
    tracked = call.tracked()
    if panic_type is not None:
        tracked.append(panic_type)
    problems = []
    outcome = call.check(panic_type)
    if outcome is not None:
        return [f"{case_id}: {outcome}"]
    count = calls_for(base)
    _repeat(call, max(count // 10, 20))  # warm-up: caches, free lists, arenas
    before = _snapshot(tracked)
    _repeat(call, count)
    after = _snapshot(tracked)
    outcome = call.check(panic_type)
    if outcome is not None:
        problems.append(f"after {count} calls: {outcome}")
    # The interpreter's singletons are referenced from everywhere, and before
    # 3.12 their counts move with whatever else the process frees in between;
    # a fault of the module would move them by a multiple of the call count.
    changed = [
        f"{obj!r}: {b} -> {a}"
        for obj, b, a in zip(tracked, before["refcounts"], after["refcounts"])
        if (abs(a - b) >= count // 2 if _is_singleton(obj) else a != b)
    ]
    if changed:
        problems.append(f"reference counts changed over {count} calls: {changed}")
    if not SANITIZED:
        # A leak of one object per call would add `count` blocks; pytest's
        # own bookkeeping and the interpreter's caches add up to a hundred or
        # so, which at the quarter scale used under Wine is 1 in 6 calls. A
        # native leak of one smallest heap chunk per call adds about
        # 32 * count bytes.
        grown = after["blocks"] - before["blocks"]
        if grown > count // 4 + 100:
            problems.append(f"{grown} more allocated blocks after {count} calls")
        if LINUX and base >= 2_000:
            grown = after["rss"] - before["rss"]
            if grown > 16 * count:
                problems.append(f"resident memory grew by {grown} bytes over {count} calls")
    if LINUX and after["fds"] != before["fds"]:
        problems.append(f"open descriptors {before['fds']} -> {after['fds']}")
    if LINUX and set(after["children"]) - set(before["children"]):
        problems.append(f"child processes left behind: {after['children']}")
    return [f"{case_id}: {p}" for p in problems]


CASE_IDS = [case[0] for case in cases("")]


@pytest.mark.parametrize("case_id", CASE_IDS)
def test_repeated_calls_keep_references_memory_and_descriptors(probe_dir, case_id):
    (case,) = [c for c in cases(probe_dir) if c[0] == case_id]
    assert measure(*case) == []


def child_measure_panics():
    """Entry point of the child run of test_repeated_internal_failures."""
    panic_type = made_panic_type()
    problems = []
    total = 0
    for case_id, base, make in panic_cases():
        problems += measure(case_id, base, make, panic_type)
        total += calls_for(base) + max(calls_for(base) // 10, 20) + 2
    print(json.dumps({"problems": problems, "calls": total}))


def test_repeated_internal_failures_keep_references_and_memory(tmp_path):
    errors = tmp_path / "stderr"
    with open(errors, "wb") as stderr:
        proc = subprocess.run(
            [sys.executable, "-c",
             f"import sys; sys.path.insert(0, {TESTS_DIR!r}); "
             "import test_reliability_repeated; test_reliability_repeated.child_measure_panics()"],
            stdout=subprocess.PIPE, stderr=stderr, timeout=CHILD_TIMEOUT, text=True,
        )
    assert proc.returncode == 0, errors.read_text(errors="replace")[-4000:]
    result = json.loads(proc.stdout)
    assert result["problems"] == []
    # One report per failure that starts in native code: the first one made
    # the type, then the huge-length case made the rest of its calls.
    reports = errors.read_text(errors="replace").count("\ncapacity overflow\n")
    huge = calls_for(3_000)
    assert reports == 1 + huge + max(huge // 10, 20) + 2
