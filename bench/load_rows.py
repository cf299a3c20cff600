"""Rows that time one lookup under load: many idle processes on the host,
and lookups on several threads at once."""

from __future__ import annotations

import os
import shutil
import signal
import statistics
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
    """`count` sleeping processes in one process group of their own, ended
    and reaped on leaving, whatever happens meanwhile."""

    def __init__(self, count: int) -> None:
        self.count = count
        self.pids: list[int] = []

    def __enter__(self) -> IdleProcesses:
        sleep = shutil.which("sleep") or "/bin/sleep"
        try:
            for _ in range(self.count):
                group = self.pids[0] if self.pids else 0
                self.pids.append(os.posix_spawn(sleep, ["sleep", "600"], os.environ, setpgroup=group))
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *_: object) -> None:
        if self.pids:
            os.killpg(self.pids[0], signal.SIGKILL)
        for pid in self.pids:
            os.waitpid(pid, 0)
        self.pids = []


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
    if ON_WINDOWS or not hasattr(os, "posix_spawn"):
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
