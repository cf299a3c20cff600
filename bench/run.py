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
import os
import platform
import sys

import _kelvar

# The rows are modules beside this script; an embedded interpreter (whose
# ._pth file fixes sys.path) does not put the script's folder there itself.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from contenders import WHERE  # noqa: E402
from floors import build_floors  # noqa: E402
from load_rows import load_rows  # noqa: E402
from rows import Row, Setting, run_rows, time_fib  # noqa: E402


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


def duration(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


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


def run_in_a_console(argv: list[str]) -> int | None:
    """On Windows the rows measure a host as a user has one, in a console,
    which `where` shares as subprocess.run's child does. Under Wine an
    interpreter started from a pipe (as CI starts it) has a console that
    answers nothing: `where` would get a console host of its own per lookup
    there, and subprocess.run's child that mute console. The script then runs
    itself again in a console of its own, without a window, and says so."""
    if sys.platform != "win32" or os.environ.get("KELVAR_BENCH_IN_CONSOLE"):
        return None
    import ctypes
    import subprocess

    if ctypes.windll.kernel32.GetConsoleOutputCP() != 0:
        return None
    print("(no console answers this interpreter: measuring in a windowless console of its own)",
          flush=True)
    run = subprocess.run([sys.executable, os.path.abspath(__file__), *argv],
                         env=dict(os.environ, KELVAR_BENCH_IN_CONSOLE="1"), stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, creationflags=subprocess.CREATE_NO_WINDOW)
    sys.stdout.write(run.stdout.decode("utf-8", "replace"))
    return run.returncode


def main(argv: list[str] | None = None) -> int:
    relaunched = run_in_a_console(sys.argv[1:] if argv is None else argv)
    if relaunched is not None:
        return relaunched
    parser = argparse.ArgumentParser(prog="bench/run.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="few rounds and small batches (for CI)")
    args = parser.parse_args(argv)
    # Many short rounds rather than a few long ones: a median over many
    # alternations shrugs off the bursts of a shared machine.
    rounds, scale = (5, 0.25) if args.quick else (21, 1.0)
    floors = build_floors()
    rows = run_rows(rounds, scale, floors) + load_rows(Setting(rounds, scale, floors))
    fib_time = time_fib(rounds, scale)
    report(rows, fib_time, rounds, args.quick)
    return 0


if __name__ == "__main__":
    sys.exit(main())
