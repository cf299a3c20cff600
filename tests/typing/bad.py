"""Uses of the API that a type checker must reject.

Each line that must be rejected ends in a comment `# E: CODE`, with CODE the
error code that mypy reports for it; no other line may be reported.
"""

import _kelvar
import kelvar

_kelvar.find_executable("git")  # E: call-arg
_kelvar.find_executable("git", 1)  # E: arg-type
_kelvar.find_executable(b"git", False)  # E: arg-type
_kelvar.find_executable("git", fuzzy=None)  # E: arg-type
_kelvar.find_executable(nam="git", fuzzy=False)  # E: call-arg
_kelvar.find_executable("git", False, True)  # E: call-arg
path: str = _kelvar.find_executable("git", False)[1]  # E: assignment
_kelvar.find_executable("git", False)[2]  # E: misc

_kelvar.is_windows_builtin(b"dir")  # E: arg-type
found: str = _kelvar.is_windows_builtin("dir")  # E: assignment

_kelvar.fib("10")  # E: arg-type
_kelvar.fib(1.5)  # E: arg-type
_kelvar.fib()  # E: call-arg

_kelvar.sum_as_arr("123")  # E: arg-type
_kelvar.sum_as_arr([1.5, 2.5])  # E: list-item
_kelvar.sum_as_arr({1, 2})  # E: arg-type
_kelvar.sum_as_arr(5)  # E: arg-type

_kelvar.get_version(1)  # E: call-arg
_kelvar.is_windows(True)  # E: call-arg
version: int = _kelvar.get_version()  # E: assignment

_kelvar.PanicException  # E: attr-defined
_kelvar.find  # E: attr-defined

kelvar.find_executable("git")  # E: call-arg
kelvar.sum_as_arr("123")  # E: arg-type
