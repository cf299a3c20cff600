"""Uses of the API that a type checker must accept, with the types it must infer."""

from typing_extensions import assert_type

import _kelvar
import kelvar
from _kelvar import find_executable, sum_as_arr

name, path = find_executable("git", False)
assert_type(name, str)
assert_type(path, str | None)
if path is not None:
    assert_type(path.upper(), str)

assert_type(_kelvar.find_executable(name="dir", fuzzy=True), tuple[str, str | None])
assert_type(kelvar.find_executable("cmd", fuzzy=False), tuple[str, str | None])

assert_type(_kelvar.is_windows_builtin("dir"), bool)
assert_type(kelvar.is_windows_builtin(command="CLS"), bool)

assert_type(_kelvar.fib(10), int)
assert_type(kelvar.fib(n=True), int)

# Any sequence of integers: bytes is one, and so is a range.
assert_type(sum_as_arr([1, 2, 3]), int)
assert_type(sum_as_arr((1, 2)), int)
assert_type(sum_as_arr(range(4)), int)
assert_type(sum_as_arr(b"\x01\x02"), int)
assert_type(kelvar.sum_as_arr(arr=[True, False]), int)

assert_type(_kelvar.get_cmd_exe_path(), str)
assert_type(_kelvar.get_version(), str)
assert_type(_kelvar.is_windows(), bool)
assert_type(_kelvar.get_executable_extension(), str)
assert_type(kelvar.get_version(), str)

assert_type(_kelvar.__all__, list[str])
