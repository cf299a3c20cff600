"""Main Kelvar module"""

from collections.abc import Sequence

__all__ = [
    "fib",
    "sum_as_arr",
    "find_executable",
    "is_windows_builtin",
    "get_cmd_exe_path",
    "get_version",
    "is_windows",
    "get_executable_extension",
]

def fib(n: int) -> int:
    """The n-th Fibonacci number modulo 2**32, for 0 <= n < 2**32."""

def sum_as_arr(arr: Sequence[int]) -> int:
    """The sum of signed 32-bit integers (a list, tuple, range, bytes, ...), wrapping modulo 2**32."""

def find_executable(name: str, fuzzy: bool) -> tuple[str, str | None]:
    """(name, path): the first path that `where` reports, the command interpreter's
    path text for a built-in command, or None."""

def is_windows_builtin(command: str) -> bool:
    """Whether command, compared without regard to case, is a built-in command."""

def get_cmd_exe_path() -> str:
    """The path text reported for built-in commands."""

def get_version() -> str:
    """The library's version."""

def is_windows() -> bool:
    """Whether the module was built for Windows."""

def get_executable_extension() -> str:
    """The extension of executable files on the build's platform (".exe" on Windows)."""
