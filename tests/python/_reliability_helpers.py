"""Values shared by the reliability tests, and the scale of their runs.

KELVAR_RELIABILITY_SCALE multiplies the number of calls (default 1) for a
longer run. Under AddressSanitizer (the runtime is mapped into the process)
the call counts are cut down to keep the run short.
"""

import os
import sys

import pytest

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


def runs_for(base):
    """The number of runs of a row that starts an interpreter for each run,
    whose plain run makes `base` of them: an interpreter under the
    sanitizers costs several times its plain start, and more under Wine or
    emulation (the scale)."""
    runs = base * SCALE
    if SANITIZED:
        runs /= 2
    return max(2, round(runs))


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


# Source that defines refuse(error, *numbers): a seccomp filter under which
# the given system calls fail with `error`, for the calling process and all
# it starts from then on.
REFUSE_CALL = r"""
import ctypes, errno, struct
_ARCH = [(0x20, 0, 0, 4), (0x15, 1, 0, 0xC000003E), (0x06, 0, 0, 0x7FFF0000), (0x20, 0, 0, 0)]
_ALLOW = (0x06, 0, 0, 0x7FFF0000)
def _install(code):
    # Classic BPF, x86_64 only (anything else is let through).
    program = ctypes.create_string_buffer(b"".join(struct.pack("HBBI", *c) for c in code))
    class Program(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]
    libc = ctypes.CDLL(None, use_errno=True)
    assert libc.prctl(38, 1, 0, 0, 0) == 0  # PR_SET_NO_NEW_PRIVS
    seccomp = Program(len(code), ctypes.addressof(program))
    assert libc.prctl(22, 2, ctypes.byref(seccomp), 0, 0) == 0, ctypes.get_errno()
def refuse(error, *numbers):
    # The calls `numbers` fail with `error`.
    code = list(_ARCH)
    for number in numbers:
        code += [(0x15, 0, 1, number), (0x06, 0, 0, 0x00050000 | error)]
    _install(code + [_ALLOW])
def refuse_when(error, number, argument, value):
    # The call `number` fails with `error` when the low 32 bits of its
    # argument `argument` (counted from 0) are `value`.
    _install(_ARCH + [(0x15, 0, 3, number), (0x20, 0, 0, 16 + 8 * argument),
                      (0x15, 0, 1, value), (0x06, 0, 0, 0x00050000 | error), _ALLOW])
"""

X86_64 = LINUX and os.uname().machine == "x86_64"
NEEDS_X86_64 = pytest.mark.skipif(not X86_64, reason="the filter uses x86_64 call numbers")
