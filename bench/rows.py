"""The benchmarks' rows: each times A against B in alternating batches."""

from __future__ import annotations

import gc
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass

import _kelvar
from contenders import (
    BUILTIN_NAMES,
    BUILTINS,
    FOUND_NAME,
    HAVE_SPAWN,
    ON_WINDOWS,
    WHERE,
    WHICH,
    answer_from,
    find_with_spawn,
    find_with_subprocess,
    query_for,
    spawn_silent,
)
from floors import Floors


# --- Timing ----------------------------------------------------------------


def batch(operation: Callable[[], object], number: int) -> Callable[[], float]:
    """A timer of `number` runs of `operation`, giving seconds per run."""

    def run() -> float:
        start = time.perf_counter()
        for _ in range(number):
            operation()
        return (time.perf_counter() - start) / number

    return run


def statements(code: str, namespace: dict[str, object], number: int, per_batch: int) -> Callable[[], float]:
    """A timer of `code` (holding `per_batch` operations) compiled into its own
    loop, as timeit does, giving seconds per operation."""
    source = f"def _loop(_n):\n    for _ in range(_n):\n        {code}\n"
    scope = dict(namespace)
    exec(compile(source, "<bench>", "exec"), scope)
    loop = scope["_loop"]

    def run() -> float:
        start = time.perf_counter()
        loop(number)  # type: ignore[operator]
        return (time.perf_counter() - start) / (number * per_batch)

    return run


def alternate(a: Callable[[], float], b: Callable[[], float], rounds: int) -> tuple[float, float]:
    """Median seconds per operation of A and of B, timed A, B, A, B, ...
    after one untimed pair."""
    a()
    b()
    times_a, times_b = [], []
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(rounds):
            times_a.append(a())
            times_b.append(b())
    finally:
        if enabled:
            gc.enable()
    return statistics.median(times_a), statistics.median(times_b)


@dataclass
class Row:
    label: str
    a: str
    b: str
    goal: float | None  # None: a reference row, printed to explain another
    time_a: float | None = None
    time_b: float | None = None
    note: str = ""


def check_same(row: str, a: object, b: object) -> None:
    if a != b:
        sys.exit(f"bench: the two sides of '{row}' disagree: {a!r} != {b!r}")


# --- The rows ---------------------------------------------------------------


@dataclass
class Setting:
    """What every row is timed with."""

    rounds: int
    scale: float
    floors: Floors

    def n(self, full: int) -> int:
        return max(1, int(full * self.scale))

    def alternate(self, a: Callable[[], object], b: Callable[[], object], full: int) -> tuple[float, float]:
        """A and B, each in batches of `full` runs at the scale, alternated."""
        return alternate(batch(a, self.n(full)), batch(b, self.n(full)), self.rounds)

    @property
    def empty_missing(self) -> str | None:
        """Why the rows that start the static empty program cannot run, if they cannot."""
        if not HAVE_SPAWN:
            return "no os.posix_spawn here"
        return self.floors.empty_note if self.floors.empty_program is None else None


def builtin_rows(setting: Setting) -> list[Row]:
    names = {f"n{i}": name for i, name in enumerate(BUILTIN_NAMES)}
    namespace = {"f": _kelvar.is_windows_builtin, "B": BUILTINS, "noop": setting.floors.noop, **names}

    def calls(template: str) -> Callable[[], float]:
        code = "; ".join(template.format(v) for v in names)
        return statements(code, namespace, setting.n(20_000), len(names))

    row = Row("is_windows_builtin vs set test", "is_windows_builtin(name)", "name.lower() in BUILTINS", 1.0)
    for name in BUILTIN_NAMES:
        check_same(row.label, _kelvar.is_windows_builtin(name), name.lower() in BUILTINS)
    row.time_a, row.time_b = alternate(calls("f({})"), calls("{}.lower() in B"), setting.rounds)

    floor = Row(
        "is_windows_builtin vs no-op C function",
        "is_windows_builtin(name)",
        "noop(name): same flags, reads the str's UTF-8",
        1.15,
    )
    if setting.floors.noop is not None:
        floor.time_a, floor.time_b = alternate(calls("f({})"), calls("noop({})"), setting.rounds)
    else:
        floor.note = setting.floors.noop_note
    return [row, floor]


def where_vs_empty_row(setting: Setting) -> Row:
    row = Row("where vs static empty program", f"where {FOUND_NAME}", "empty program, linked -static", 1.15)
    if setting.empty_missing:
        row.note = setting.empty_missing
        return row
    empty = [setting.floors.empty_program]
    check_same(row.label, spawn_silent([WHERE, FOUND_NAME]), spawn_silent(empty))
    row.time_a, row.time_b = setting.alternate(
        lambda: spawn_silent([WHERE, FOUND_NAME]), lambda: spawn_silent(empty), 20
    )
    return row


def lookup() -> object:
    return _kelvar.find_executable(FOUND_NAME, False)


def lookup_answer() -> tuple[str, str]:
    """The lookup's answer for the name the rows look up, which must be found."""
    found = lookup()
    if found[1] is None:
        sys.exit(f"bench: `where` does not find {FOUND_NAME!r}; the lookup rows need a name it finds")
    # The module keeps the carriage return of a first line that ends in CR LF;
    # the references drop it, which matters only to Windows' where.
    return found[0], found[1].rstrip("\r")


def lookup_rows(setting: Setting) -> list[Row]:
    def with_subprocess() -> object:
        return find_with_subprocess(FOUND_NAME, False)

    row = Row(
        "find_executable vs subprocess.run",
        f"find_executable({FOUND_NAME!r}, False)",
        "subprocess.run([where, query], capture_output=True)",
        0.7,
    )
    check_same(row.label, lookup_answer(), with_subprocess())
    check_same(row.label, _kelvar.find_executable("dir", False), find_with_subprocess("dir", False))
    row.time_a, row.time_b = setting.alternate(lookup, with_subprocess, 20)

    # What the row above can show at best: a bare process start, against the
    # same subprocess.run, timed in the same alternation.
    start = Row(
        "process start vs subprocess.run",
        "posix_spawn(empty program) + os.waitpid",
        "subprocess.run([where, query], capture_output=True)",
        None,
    )
    if setting.empty_missing:
        start.note = setting.empty_missing
    else:
        empty = [setting.floors.empty_program]
        start.time_a, start.time_b = setting.alternate(lambda: spawn_silent(empty), with_subprocess, 20)

    floor = Row(
        "find_executable vs the floor",
        f"find_executable({FOUND_NAME!r}, False)",
        "posix_spawn(where) + os.read + os.waitpid",
        1.1,
    )
    if HAVE_SPAWN:
        check_same(floor.label, lookup_answer(), find_with_spawn(FOUND_NAME, False))
        floor.time_a, floor.time_b = setting.alternate(lookup, lambda: find_with_spawn(FOUND_NAME, False), 20)
    else:
        floor.note = "no os.posix_spawn here"
    return [row, start, floor]


def sum_row(setting: Setting) -> Row:
    row = Row("sum_as_arr vs sum()", "sum_as_arr(list of 10**6 ints)", "sum(list of 10**6 ints)", 1.1)
    numbers = list(range(-500_000, 500_000))
    check_same(row.label, _kelvar.sum_as_arr(numbers), sum(numbers))
    row.time_a, row.time_b = setting.alternate(lambda: _kelvar.sum_as_arr(numbers), lambda: sum(numbers), 10)
    return row


def which_row(setting: Setting) -> Row:
    row = Row("where vs which", f"where {FOUND_NAME}", f"which -a {FOUND_NAME}", 0.5)
    if not (HAVE_SPAWN and WHICH):
        row.note = "no which here" if HAVE_SPAWN else "no os.posix_spawn here"
        return row
    check_same(row.label, spawn_silent([WHERE, FOUND_NAME]), spawn_silent([WHICH, "-a", FOUND_NAME]))
    row.time_a, row.time_b = setting.alternate(
        lambda: spawn_silent([WHERE, FOUND_NAME]), lambda: spawn_silent([WHICH, "-a", FOUND_NAME]), 20
    )
    return row


def run_rows(rounds: int, scale: float, floors: Floors) -> list[Row]:
    setting = Setting(rounds, scale, floors)
    rows = builtin_rows(setting) + [where_vs_empty_row(setting)] + lookup_rows(setting)
    if ON_WINDOWS:
        rows += windows_rows(setting)
    return rows + [sum_row(setting), which_row(setting)]


def windows_rows(setting: Setting) -> list[Row]:
    """The lookup against what a Windows user would write instead, and
    against the least a process start costs, timed in the same alternation."""

    def run_where() -> tuple[str, str | None]:
        run = subprocess.run([WHERE, query_for(FOUND_NAME, False)], capture_output=True,
                             stdin=subprocess.DEVNULL)
        return answer_from(FOUND_NAME, run.returncode, run.stdout)

    rows = []
    row = Row(
        "find_executable vs subprocess.run (Windows)",
        f"find_executable({FOUND_NAME!r}, False)",
        "subprocess.run([where.exe, query], capture_output=True, stdin=DEVNULL)",
        1.0,
    )
    check_same(row.label, lookup_answer(), run_where())
    row.time_a, row.time_b = setting.alternate(lookup, run_where, 20)
    rows.append(row)

    row = Row(
        "find_executable vs empty program (Windows)",
        f"find_executable({FOUND_NAME!r}, False)",
        "subprocess.run([empty program]), nothing captured",
        None,
    )
    empty = setting.floors.empty_program
    if empty is None:
        row.note = setting.floors.empty_note
    else:
        row.time_a, row.time_b = setting.alternate(lookup, lambda: subprocess.run([empty]), 20)
    rows.append(row)
    return rows


def time_fib(rounds: int, scale: float) -> float:
    n = 2**32 - 1
    expected = _kelvar.fib(n)
    # The wrapped value of F(2**32 - 1) modulo 2**32, by fast doubling.
    a, b = 0, 1
    for bit in bin(n)[2:]:
        a, b = a * (2 * b - a) % 2**32, (a * a + b * b) % 2**32
        if bit == "1":
            a, b = b, (a + b) % 2**32
    check_same("fib", expected, a)
    timer = batch(lambda: _kelvar.fib(n), max(1, int(200 * scale)))
    timer()
    return statistics.median(timer() for _ in range(rounds))
