"""Locate commands the way a user of the Windows command prompt thinks of them.

The functions are those of the native module ``_kelvar``, re-exported here so
that ``import kelvar`` offers the same API under the distribution's own name.
"""

from _kelvar import (
    fib,
    find_executable,
    get_cmd_exe_path,
    get_executable_extension,
    get_version,
    is_windows,
    is_windows_builtin,
    sum_as_arr,
)

# The distribution's version, which the module reports as well.
__version__: str = get_version()

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
