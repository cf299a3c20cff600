"""Benchmarks of _kelvar against plain-Python ways of doing the same work.

    python bench/run.py [--quick]

Each row times two contenders, A (the module) and B (the reference), in
alternating batches within one run (A, B, A, B, ...), takes the median time
per operation of each over the rounds, and prints A/B with the row's goal:
below 1.0 means A is faster. Where A and B compute the same thing they are
first checked to give the same answers, so that the row compares the same
work. --quick is for CI: few rounds and small batches; the figures are
printed but no goal is enforced, in either mode.

Two references are floors built by this script at start, with the system's C
compiler (CC, else cc, gcc or clang), in a temporary directory:

- a no-op C function with the calling convention of is_windows_builtin
  (METH_VARARGS | METH_KEYWORDS | METH_STATIC, built against the same stable
  ABI) that only reads its one str argument's UTF-8: the least any function
  of that convention costs;
- an empty program, statically linked: the least any process start costs.

Without a compiler (or a static C library) the rows that need them say so.
A row marked "(reference)" has no goal: it shows what bounds another row,
here what a bare process start costs against subprocess.run.

On Windows the `where` is the one the lookup runs first, beside the
interpreter, and rows of their own compare the lookup with subprocess.run of
that same where.exe and with a bare start of an empty program. No compiler
is expected there: KELVAR_BENCH_EMPTY_EXE names a prebuilt empty program.
"""

from __future__ import annotations

import argparse
import atexit
import gc
import importlib.machinery
import importlib.util
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import _kelvar

# The 83 command names built into the command interpreter, from the list that
# the tests check the module against.
_BUILTIN_LIST = Path(__file__).resolve().parents[1] / "tests" / "builtin_commands.inc"
BUILTINS = frozenset(re.findall(r'"([a-z]+)"', _BUILTIN_LIST.read_text()))
assert len(BUILTINS) == 83

CMD = _kelvar.get_cmd_exe_path()
EXT = _kelvar.get_executable_extension()

# A program that `where` finds on every machine the benchmarks run on.
FOUND_NAME = "sh"
# Names for the membership test: members in several cases, and non-members.
BUILTIN_NAMES = ["dir", "DIR", "Robocopy", "git", "python3", "xcopy", "notacommand", "CD"]


ON_WINDOWS = sys.platform == "win32"


def find_where() -> str:
    """The `where` that the lookup runs: the stand-in installed beside the
    interpreter, or the system's own where there is no stand-in (Windows)."""
    beside = os.path.join(os.path.dirname(sys.executable), "where.exe")
    if ON_WINDOWS and os.path.isfile(beside):
        return beside  # the first place the lookup looks on Windows
    path = shutil.which("where", path=sysconfig.get_path("scripts")) or shutil.which("where")
    if path is None:
        sys.exit(f"bench: no `where` in {sysconfig.get_path('scripts')} nor on PATH")
    return path


WHERE = find_where()


def link_kind(path: str) -> str:
    """How an ELF program is linked, from its program headers: a program with
    no interpreter (dynamic loader) is static; a static one of type DYN is
    static-pie."""
    try:
        with open(path, "rb") as file:
            header = file.read(64)
            if header[:4] != b"\x7fELF" or header[4] != 2:  # 64-bit only
                return "not a 64-bit ELF program"
            order = "little" if header[5] == 1 else "big"
            kind = int.from_bytes(header[16:18], order)
            offset = int.from_bytes(header[32:40], order)
            size = int.from_bytes(header[54:56], order)
            count = int.from_bytes(header[56:58], order)
            file.seek(offset)
            table = file.read(size * count)
    except OSError as error:
        return f"unreadable: {error.strerror}"
    PT_INTERP, ET_DYN = 3, 3
    if any(int.from_bytes(table[i * size : i * size + 4], order) == PT_INTERP for i in range(count)):
        return "dynamic"
    return "static-pie" if kind == ET_DYN else "static"
WHICH = shutil.which("which")
HAVE_SPAWN = hasattr(os, "posix_spawn")


# --- The contenders --------------------------------------------------------


def query_for(name: str, fuzzy: bool) -> str:
    return ("*" + name + "*" if fuzzy else name) + EXT


def answer_from(name: str, exit_code: int | None, out: bytes) -> tuple[str, str | None]:
    """The module's output rules: first line of a successful run, else the
    built-in table, else None."""
    if exit_code == 0:
        first = out.decode("utf-8", "replace").strip().split("\n", 1)[0].rstrip("\r")
        if first:
            return name, first
    return name, CMD if name.lower() in BUILTINS else None


def find_with_subprocess(name: str, fuzzy: bool) -> tuple[str, str | None]:
    try:
        run = subprocess.run([WHERE, query_for(name, fuzzy)], capture_output=True)
    except OSError:
        return answer_from(name, None, b"")
    return answer_from(name, run.returncode, run.stdout)


def read_to_end(fd: int) -> bytes:
    chunks = []
    while chunk := os.read(fd, 65536):
        chunks.append(chunk)
    return b"".join(chunks)


def spawn_captured(argv: list[str]) -> tuple[int, bytes]:
    """The least that Python can do to run a program and capture its output:
    posix_spawn with a pipe for each of stdout and stderr, os.read, os.waitpid.
    The pipes are read one after the other, which is safe for the few bytes
    that `where` writes (far below a pipe's capacity)."""
    out_r, out_w = os.pipe()
    err_r, err_w = os.pipe()
    try:
        pid = os.posix_spawn(
            argv[0],
            argv,
            os.environ,
            file_actions=[
                (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
                (os.POSIX_SPAWN_DUP2, out_w, 1),
                (os.POSIX_SPAWN_DUP2, err_w, 2),
            ],
        )
        os.close(out_w)
        os.close(err_w)
        out_w = err_w = -1
        out = read_to_end(out_r)
        read_to_end(err_r)
        _, status = os.waitpid(pid, 0)
        return os.waitstatus_to_exitcode(status), out
    finally:
        for fd in (out_r, out_w, err_r, err_w):
            if fd >= 0:
                os.close(fd)


def find_with_spawn(name: str, fuzzy: bool) -> tuple[str, str | None]:
    try:
        code, out = spawn_captured([WHERE, query_for(name, fuzzy)])
    except OSError:
        return answer_from(name, None, b"")
    return answer_from(name, code, out)


def spawn_silent(argv: list[str]) -> int:
    """Runs a program with its output thrown away and returns its exit code."""
    pid = os.posix_spawn(
        argv[0],
        argv,
        os.environ,
        file_actions=[
            (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
            (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
            (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0),
        ],
    )
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)


# --- The floors, built here -------------------------------------------------

NOOP_SOURCE = r"""
#define PY_SSIZE_T_CLEAN
#define Py_LIMITED_API 0x030A0000
#include <Python.h>

/* Reads the one argument's UTF-8 and answers False: the work of a call with
   this convention minus everything a real body does. */
static PyObject* noop(PyObject* self, PyObject* args, PyObject* kwargs) {
  Py_ssize_t size;
  (void)self;
  (void)kwargs;
  if (PyUnicode_AsUTF8AndSize(PyTuple_GetItem(args, 0), &size) == NULL) return NULL;
  Py_IncRef(Py_False);
  return Py_False;
}

static PyMethodDef noop_def = {"noop", (PyCFunction)(void (*)(void))noop,
                               METH_VARARGS | METH_KEYWORDS | METH_STATIC, NULL};

static struct PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "_kelvar_floor", NULL, -1, NULL};

PyMODINIT_FUNC PyInit__kelvar_floor(void) {
  PyObject* module = PyModule_Create(&floor_module);
  if (module == NULL) return NULL;
  /* As the module under test does: a module's method table refuses
     METH_STATIC, so the function object is made directly. */
  PyObject* function = PyCFunction_NewEx(&noop_def, module, NULL);
  if (function == NULL || PyModule_AddObject(module, "noop", function) < 0) {
    Py_XDECREF(function);
    Py_DECREF(module);
    return NULL;
  }
  return module;
}
"""

EMPTY_SOURCE = "int main(void) { return 0; }\n"


@dataclass
class Floors:
    noop: Callable[..., object] | None = None
    noop_note: str = ""
    empty_program: str | None = None
    empty_note: str = ""


def c_compiler() -> list[str] | None:
    if os.environ.get("CC"):
        return os.environ["CC"].split()
    for name in ("cc", "gcc", "clang"):
        if path := shutil.which(name):
            return [path]
    return None


def compile_c(compiler: list[str], arguments: list[str]) -> str | None:
    """Runs the compiler; gives its complaint, or None when it succeeded. A
    compiler that cannot be started (CC names no program) is a complaint too."""
    try:
        run = subprocess.run(compiler + arguments, capture_output=True, text=True)
    except OSError as error:
        return f"{compiler[0]}: {error.strerror or error}"
    if run.returncode == 0:
        return None
    lines = (run.stderr or run.stdout).strip().splitlines()
    return lines[-1] if lines else f"exit status {run.returncode}"


def build_floors() -> Floors:
    floors = Floors()
    if ON_WINDOWS:
        floors.empty_program = os.environ.get("KELVAR_BENCH_EMPTY_EXE") or None
        floors.empty_note = "KELVAR_BENCH_EMPTY_EXE names no empty program"
        floors.noop_note = "not built on Windows"
        return floors
    compiler = c_compiler()
    if compiler is None:
        floors.noop_note = floors.empty_note = "no C compiler"
        return floors
    work = tempfile.mkdtemp(prefix="kelvar-bench-")
    atexit.register(shutil.rmtree, work, True)

    source = os.path.join(work, "noop.c")
    with open(source, "w", encoding="utf-8") as file:
        file.write(NOOP_SOURCE)
    # The abi3 suffix where the interpreter knows one, like the module's own.
    suffix = next((s for s in importlib.machinery.EXTENSION_SUFFIXES if "abi3" in s),
                  importlib.machinery.EXTENSION_SUFFIXES[0])
    library = os.path.join(work, "_kelvar_floor" + suffix)
    flags = ["-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"]]
    if error := compile_c(compiler, [*flags, "-o", library, source]):
        floors.noop_note = f"no-op not built: {error}"
    else:
        spec = importlib.util.spec_from_file_location("_kelvar_floor", library)
        assert spec is not None and spec.loader is not None
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        floors.noop = module.noop

    source = os.path.join(work, "empty.c")
    with open(source, "w", encoding="utf-8") as file:
        file.write(EMPTY_SOURCE)
    program = os.path.join(work, "empty")
    if error := compile_c(compiler, ["-O2", "-static", "-o", program, source]):
        floors.empty_note = f"static empty program not built: {error}"
    else:
        floors.empty_program = program
    return floors


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


def duration(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def check_same(row: str, a: object, b: object) -> None:
    if a != b:
        sys.exit(f"bench: the two sides of '{row}' disagree: {a!r} != {b!r}")


# --- The rows ---------------------------------------------------------------


def run_rows(rounds: int, scale: float, floors: Floors) -> list[Row]:
    def n(full: int) -> int:
        return max(1, int(full * scale))

    rows = []

    names = {f"n{i}": name for i, name in enumerate(BUILTIN_NAMES)}
    namespace = {"f": _kelvar.is_windows_builtin, "B": BUILTINS, "noop": floors.noop, **names}

    # Why the rows that start the static empty program cannot run, if they cannot.
    empty_missing = (
        "no os.posix_spawn here" if not HAVE_SPAWN
        else floors.empty_note if floors.empty_program is None
        else None
    )

    def calls(template: str) -> Callable[[], float]:
        code = "; ".join(template.format(v) for v in names)
        return statements(code, namespace, n(20_000), len(names))

    row = Row("is_windows_builtin vs set test", "is_windows_builtin(name)", "name.lower() in BUILTINS", 1.0)
    for name in BUILTIN_NAMES:
        check_same(row.label, _kelvar.is_windows_builtin(name), name.lower() in BUILTINS)
    row.time_a, row.time_b = alternate(calls("f({})"), calls("{}.lower() in B"), rounds)
    rows.append(row)

    row = Row(
        "is_windows_builtin vs no-op C function",
        "is_windows_builtin(name)",
        "noop(name): same flags, reads the str's UTF-8",
        1.15,
    )
    if floors.noop is not None:
        row.time_a, row.time_b = alternate(calls("f({})"), calls("noop({})"), rounds)
    else:
        row.note = floors.noop_note
    rows.append(row)

    row = Row("where vs static empty program", f"where {FOUND_NAME}", "empty program, linked -static", 1.15)
    if empty_missing:
        row.note = empty_missing
    else:
        empty = [floors.empty_program]
        check_same(row.label, spawn_silent([WHERE, FOUND_NAME]), spawn_silent(empty))
        row.time_a, row.time_b = alternate(
            batch(lambda: spawn_silent([WHERE, FOUND_NAME]), n(20)),
            batch(lambda: spawn_silent(empty), n(20)),
            rounds,
        )
    rows.append(row)

    row = Row(
        "find_executable vs subprocess.run",
        f"find_executable({FOUND_NAME!r}, False)",
        "subprocess.run([where, query], capture_output=True)",
        0.7,
    )
    found = _kelvar.find_executable(FOUND_NAME, False)
    if found[1] is None:
        sys.exit(f"bench: `where` does not find {FOUND_NAME!r}; the lookup rows need a name it finds")
    # The module keeps the carriage return of a first line that ends in CR LF;
    # the reference drops it, which matters only to Windows' where.
    check_same(row.label, (found[0], found[1].rstrip("\r")), find_with_subprocess(FOUND_NAME, False))
    check_same(row.label, _kelvar.find_executable("dir", False), find_with_subprocess("dir", False))
    row.time_a, row.time_b = alternate(
        batch(lambda: _kelvar.find_executable(FOUND_NAME, False), n(20)),
        batch(lambda: find_with_subprocess(FOUND_NAME, False), n(20)),
        rounds,
    )
    rows.append(row)

    # What the row above can show at best: a bare process start, against the
    # same subprocess.run, timed in the same alternation.
    row = Row(
        "process start vs subprocess.run",
        "posix_spawn(empty program) + os.waitpid",
        "subprocess.run([where, query], capture_output=True)",
        None,
    )
    if empty_missing:
        row.note = empty_missing
    else:
        empty = [floors.empty_program]
        row.time_a, row.time_b = alternate(
            batch(lambda: spawn_silent(empty), n(20)),
            batch(lambda: find_with_subprocess(FOUND_NAME, False), n(20)),
            rounds,
        )
    rows.append(row)

    row = Row(
        "find_executable vs the floor",
        f"find_executable({FOUND_NAME!r}, False)",
        "posix_spawn(where) + os.read + os.waitpid",
        1.1,
    )
    if HAVE_SPAWN:
        check_same(row.label, (found[0], found[1].rstrip("\r")), find_with_spawn(FOUND_NAME, False))
        row.time_a, row.time_b = alternate(
            batch(lambda: _kelvar.find_executable(FOUND_NAME, False), n(20)),
            batch(lambda: find_with_spawn(FOUND_NAME, False), n(20)),
            rounds,
        )
    else:
        row.note = "no os.posix_spawn here"
    rows.append(row)

    if ON_WINDOWS:
        rows += windows_rows(n, rounds, floors, found)

    row = Row("sum_as_arr vs sum()", "sum_as_arr(list of 10**6 ints)", "sum(list of 10**6 ints)", 1.1)
    numbers = list(range(-500_000, 500_000))
    check_same(row.label, _kelvar.sum_as_arr(numbers), sum(numbers))
    row.time_a, row.time_b = alternate(
        batch(lambda: _kelvar.sum_as_arr(numbers), n(10)),
        batch(lambda: sum(numbers), n(10)),
        rounds,
    )
    rows.append(row)

    row = Row("where vs which", f"where {FOUND_NAME}", f"which -a {FOUND_NAME}", 0.5)
    if HAVE_SPAWN and WHICH:
        check_same(row.label, spawn_silent([WHERE, FOUND_NAME]), spawn_silent([WHICH, "-a", FOUND_NAME]))
        row.time_a, row.time_b = alternate(
            batch(lambda: spawn_silent([WHERE, FOUND_NAME]), n(20)),
            batch(lambda: spawn_silent([WHICH, "-a", FOUND_NAME]), n(20)),
            rounds,
        )
    else:
        row.note = "no which here" if HAVE_SPAWN else "no os.posix_spawn here"
    rows.append(row)
    return rows


def windows_rows(n: Callable[[int], int], rounds: int, floors: Floors, found: tuple) -> list[Row]:
    """The lookup against what a Windows user would write instead, and
    against the least a process start costs, timed in the same alternation."""

    def run_where() -> tuple[str, str | None]:
        run = subprocess.run([WHERE, query_for(FOUND_NAME, False)], capture_output=True,
                             stdin=subprocess.DEVNULL)
        return answer_from(FOUND_NAME, run.returncode, run.stdout)

    def lookup() -> object:
        return _kelvar.find_executable(FOUND_NAME, False)

    rows = []
    row = Row(
        "find_executable vs subprocess.run (Windows)",
        f"find_executable({FOUND_NAME!r}, False)",
        "subprocess.run([where.exe, query], capture_output=True, stdin=DEVNULL)",
        1.0,
    )
    check_same(row.label, (found[0], found[1].rstrip("\r")), run_where())
    row.time_a, row.time_b = alternate(batch(lookup, n(20)), batch(run_where, n(20)), rounds)
    rows.append(row)

    row = Row(
        "find_executable vs empty program (Windows)",
        f"find_executable({FOUND_NAME!r}, False)",
        "subprocess.run([empty program]), nothing captured",
        None,
    )
    empty = floors.empty_program
    if empty is None:
        row.note = floors.empty_note
    else:
        row.time_a, row.time_b = alternate(
            batch(lookup, n(20)), batch(lambda: subprocess.run([empty]), n(20)), rounds
        )
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


# --- Report -----------------------------------------------------------------


def processor() -> str:
    name = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo", encoding="utf-8", errors="replace") as info:
            for line in info:
                if line.startswith("model name"):
                    return f"{line.split(':', 1)[1].strip()} ({name})"
    except OSError:
        pass
    return name


def goal_text(row: Row) -> str:
    return "(reference)" if row.goal is None else f"<= {row.goal:.2f}x"


def report(rows: list[Row], fib_time: float, rounds: int, quick: bool) -> None:
    print(f"machine: {processor()}, {os.cpu_count()} cores, {platform.system()} {platform.release()}")
    print(f"python:  {platform.python_implementation()} {platform.python_version()} ({sys.executable})")
    print(f"module:  {_kelvar.__file__}")
    print(f"where:   {WHERE} ({link_kind(WHERE)})")
    print(f"rounds:  {rounds}, A and B alternating, medians{' (quick)' if quick else ''}")
    print()
    header = ("row", "A", "B", "A per op", "B per op", "A/B", "goal", "faster")
    table = [header]
    for row in rows:
        if row.time_a is None or row.time_b is None:
            table.append((row.label, row.a, row.b, "-", "-", "-", goal_text(row), row.note))
            continue
        ratio = row.time_a / row.time_b
        faster = f"A by {1 / ratio:.2f}x" if ratio < 1 else f"B by {ratio:.2f}x"
        verdict = "" if row.goal is None else " met" if ratio <= row.goal else " missed"
        table.append(
            (
                row.label,
                row.a,
                row.b,
                duration(row.time_a),
                duration(row.time_b),
                f"{ratio:.2f}x",
                goal_text(row) + verdict,
                faster,
            )
        )
    widths = [max(len(line[i]) for line in table) for i in range(len(header))]
    for i, line in enumerate(table):
        print("  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip())
        if i == 0:
            print("  ".join("-" * width for width in widths))
    print()
    print(f"fib(2**32 - 1): {fib_time * 1e6:.2f} us per call")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="bench/run.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="few rounds and small batches (for CI)")
    args = parser.parse_args(argv)
    # Many short rounds rather than a few long ones: a median over many
    # alternations shrugs off the bursts of a shared machine.
    rounds, scale = (5, 0.25) if args.quick else (21, 1.0)
    floors = build_floors()
    rows = run_rows(rounds, scale, floors)
    fib_time = time_fib(rounds, scale)
    report(rows, fib_time, rounds, args.quick)
    return 0


if __name__ == "__main__":
    sys.exit(main())
