"""Objects and child-interpreter runs shared by the binding and conversion tests."""

import operator
import stat


class Index:
    """An object that converts to an integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class Raising:
    """An object whose __index__ raises the given exception."""

    def __init__(self, exception):
        self.exception = exception

    def __index__(self):
        raise self.exception


def index_error_text(obj):
    """The interpreter's wording differs between versions: the text of the interpreter's own failure of operator.index(obj)."""
    try:
        operator.index(obj)
    except TypeError as exc:
        return str(exc)
    raise AssertionError(f"{obj!r} converts to an integer")


def numpy_like(name="bool_", module="numpy", **namespace):
    """A class whose type reports the given __module__ and __name__."""
    namespace.setdefault("__module__", module)
    return type(name, (), namespace)


def make_executable(directory, name):
    path = directory / name
    path.write_text("#!/bin/sh\nexit 0\n")
    path.chmod(path.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    return path
