"""Objects and child-interpreter runs shared by the binding and conversion tests."""

import collections.abc
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


def raises_exactly(exc_type, func, *args, **kwargs):
    import pytest  # not at the top: the fuzzer's child processes import this module

    with pytest.raises(exc_type) as info:
        func(*args, **kwargs)
    assert type(info.value) is exc_type
    return info.value


class Text(str):
    """A str subclass whose str() tells a different story than its value."""

    def __str__(self):
        return "not the value"


def returning(value):
    """A __bool__ that answers `value`, whatever that is."""
    def __bool__(self):
        return value

    return __bool__


class CallableObject:
    """Callable, but no descriptor: called as it was found."""

    def __init__(self, log):
        self.log = log

    def __call__(self, *args):
        self.log.append(("call",) + args)
        return True


class CustomSequence(collections.abc.Sequence):
    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return len(self.items)
