"""The benchmarks' contenders: the `where` the lookup runs, the built-in
names, and plain-Python ways of doing the module's work."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import sysconfig
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
