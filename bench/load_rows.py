"""Rows that time one lookup under load: many idle processes on the host,
and lookups on several threads at once."""

from __future__ import annotations

import os
import shutil
import signal
import statistics
import subprocess
import threading
import time
from collections.abc import Callable

from contenders import ON_WINDOWS
from rows import Row, Setting, lookup

THREADS = 8


def per_lookup(clock: Callable[[], float], number: int) -> float:
    start = clock()
    for _ in range(number):
        lookup()
    return (clock() - start) / number


class IdleProcesses:
    """`count` sleeping processes in a session of their own, ended on
    leaving, whatever happens meanwhile. A shell starts them, so that they
    are processes of the host and not children of this interpreter: the
    kernel's wait for one child walks the whole list of its caller's
    children, which a host's other processes are not on."""

    def __init__(self, count: int) -> None:
        self.count = count
        self.starter: subprocess.Popen[bytes] | None = None

    def __enter__(self) -> IdleProcesses:
        sleep = shutil.which("sleep") or "/bin/sleep"
        script = 'i=0; while [ "$i" -lt "$1" ]; do "$2" 600 & i=$((i+1)); done; echo ready; wait'
        self.starter = subprocess.Popen(["/bin/sh", "-c", script, "sh", str(self.count), sleep],
                                        stdout=subprocess.PIPE, start_new_session=True)
        try:
            if self.starter.stdout is None or self.starter.stdout.readline() != b"ready\n":
                raise RuntimeError("the idle processes did not start")
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *_: object) -> None:
        if self.starter is None:
            return
        os.killpg(self.starter.pid, signal.SIGKILL)  # the shell and every sleep it started
        self.starter.wait()
        if self.starter.stdout is not None:
            self.starter.stdout.close()
        self.starter = None


def idle_process_rows(setting: Setting) -> list[Row]:
    """Wall and CPU time of one lookup with many idle processes on the host,
    against the same lookup with none of them. Not alternated: the
    processes cannot come and go between batches; the lookups without them
    are timed before and after, and their median taken."""
    count = 5000 if setting.scale >= 1 else 500
    rows = [
        Row(f"lookup wall time, {count} idle processes", "with them", "without them", 1.0),
        Row(f"lookup CPU time, {count} idle processes", "with them", "without them", 1.0),
    ]
    if ON_WINDOWS:
        for row in rows:
            row.note = "POSIX only"
        return rows
    n = setting.n(20)
    clocks = (time.perf_counter, time.process_time)
    half = max(1, setting.rounds // 2)
    lookup()
    without = [[per_lookup(clock, n) for clock in clocks] for _ in range(half)]
    with IdleProcesses(count):
        lookup()
        loaded = [[per_lookup(clock, n) for clock in clocks] for _ in range(setting.rounds)]
    without += [[per_lookup(clock, n) for clock in clocks] for _ in range(half)]
    for i, row in enumerate(rows):
        row.time_a = statistics.median(times[i] for times in loaded)
        row.time_b = statistics.median(times[i] for times in without)
    return rows


def threads_row(setting: Setting) -> Row:
    """The time per lookup when 8 threads look up at once, against one
    thread alone: how far lookups overlap (each holds the fork guard for
    reading only while it starts `where`)."""
    row = Row(
        f"lookups on {THREADS} threads vs 1",
        f"{THREADS} threads at once, per lookup",
        "1 thread, per lookup",
        None,
    )
    n = setting.n(20)

    def on_threads() -> float:
        threads = [threading.Thread(target=per_lookup, args=(time.perf_counter, n)) for _ in range(THREADS)]
        start = time.perf_counter()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return (time.perf_counter() - start) / (n * THREADS)

    on_threads()
    times = [(on_threads(), per_lookup(time.perf_counter, n)) for _ in range(setting.rounds)]
    row.time_a = statistics.median(a for a, _ in times)
    row.time_b = statistics.median(b for _, b in times)
    return row


def load_rows(setting: Setting) -> list[Row]:
    return [threads_row(setting)] + idle_process_rows(setting)
