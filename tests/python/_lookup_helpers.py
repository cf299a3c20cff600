"""Values and skips shared by the lookup tests."""

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
