"""Values shared by the reliability tests, and the scale of their runs.

KELVAR_RELIABILITY_SCALE multiplies the number of calls (default 1) for a
longer run. Under AddressSanitizer (the runtime is mapped into the process)
the call counts are cut down to keep the run short.
"""

import os
import sys

import _kelvar

LINUX = sys.platform.startswith("linux")
TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
CMD = "C:\\Windows\\System32\\cmd.exe (built-in)"
EXT = _kelvar.get_executable_extension()
PROBE = "kelvar-reliability-probe"
# Bounds against a hang, never a measure of speed.
JOIN_TIMEOUT = 120.0
CHILD_TIMEOUT = 300.0


def _sanitized():
    if not LINUX:
        return False
    with open("/proc/self/maps") as maps:
        return any(
            os.path.basename(line.split()[-1]).startswith(("libasan", "libclang_rt.asan"))
            for line in maps
            if "/" in line
        )


SANITIZED = _sanitized()
SCALE = float(os.environ.get("KELVAR_RELIABILITY_SCALE", "1"))


def calls_for(base):
    """The number of calls of a path whose plain run makes `base` of them."""
    count = base * SCALE
    if SANITIZED:
        count /= 50
    return max(int(count), 50)


THREADS = 12


def child_pids():
    """Pids of this process's child processes that still exist, zombies included."""
    pids = set()
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/children") as f:
                pids.update(int(p) for p in f.read().split())
        except OSError:
            pass
    return pids
