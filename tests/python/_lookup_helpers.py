"""Values and skips shared by the lookup tests."""

import os
import signal
import sys

import pytest

import _kelvar
from _where_bodies import ON_WINDOWS, TOOLS, WINDOWS_WHERE

EXT = _kelvar.get_executable_extension()
BUILTIN_PATH = "C:\\Windows\\System32\\cmd.exe (built-in)"

if ON_WINDOWS:
    FAKE_WHERE_UNUSABLE = (
        not WINDOWS_WHERE.is_file() and f"no test where.exe at {WINDOWS_WHERE} (see .ci/windows)")
else:
    FAKE_WHERE_UNUSABLE = (
        not sys.platform.startswith("linux") or None in TOOLS.values()
    ) and "the fake `where` needs Linux (start path of the process, /proc) and cat, sleep, readlink, mv"

# Skips that name what Windows lacks or does otherwise.
NO_POSIX_SIGNALS = pytest.mark.skipif(ON_WINDOWS, reason="Windows has no POSIX signals")
NO_PROC = pytest.mark.skipif(ON_WINDOWS, reason="Windows has no /proc")
POSIX_START_PATH = pytest.mark.skipif(
    ON_WINDOWS, reason="on Windows `where` is looked for beside the executable, never by the "
    "start path or through links (the native tests check the Windows search order)")
POSIX_FILE_MODES = pytest.mark.skipif(
    ON_WINDOWS, reason="file modes and #! lines are POSIX; Windows has no mode bits to withhold")
WINDOWS_ONLY = pytest.mark.skipif(not ON_WINDOWS, reason="a property of the Windows runner")


def query_for(name, fuzzy):
    return ("*" + name + "*" if fuzzy else name) + EXT


# Whether a process exists, without signalling it (on Windows os.kill with
# any number ends the process).
PROCESS_EXISTS = """
def process_exists(pid):
    if sys.platform == "win32":
        import ctypes
        kernel32 = ctypes.WinDLL("kernel32")
        kernel32.OpenProcess.restype = ctypes.c_void_p
        kernel32.WaitForSingleObject.argtypes = [ctypes.c_void_p, ctypes.c_uint32]
        kernel32.CloseHandle.argtypes = [ctypes.c_void_p]
        SYNCHRONIZE = 0x00100000
        handle = kernel32.OpenProcess(SYNCHRONIZE, False, pid)
        if not handle:
            return False
        try:
            return kernel32.WaitForSingleObject(handle, 0) != 0  # not signalled: running
        finally:
            kernel32.CloseHandle(handle)
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False
"""
exec(PROCESS_EXISTS)


def end_process(pid):
    """Kills a process that a failing test left behind."""
    if process_exists(pid):
        os.kill(pid, signal.SIGTERM if ON_WINDOWS else signal.SIGKILL)
        return True
    return False


def where_is_gone(pid):
    if ON_WINDOWS:
        return not process_exists(pid)
    # An orphan killed with its parent may stay a zombie when nobody reaps
    # it (a container's first process need not): gone all the same.
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rpartition(")")[2].split()[0] in ("Z", "X")
    except FileNotFoundError:
        return True
