"""Conversion of bound arguments to native text and booleans, and the errors it gives."""

import os

import pytest

import _kelvar
from _binding_helpers import (
    CallableObject,
    Index,
    Text,
    make_executable,
    numpy_like,
    raises_exactly,
    returning,
)

try:
    import numpy
except ImportError:  # optional: the synthetic NumPy-like classes cover the path
    numpy = None


# ---------------------------------------------------------------- text


@pytest.mark.parametrize(
    "value, expected",
    [
        (b"dir", "argument 'command': 'bytes' object is not an instance of 'str'"),
        (bytearray(b"dir"), "argument 'command': 'bytearray' object is not an instance of 'str'"),
        (1, "argument 'command': 'int' object is not an instance of 'str'"),
        (["dir"], "argument 'command': 'list' object is not an instance of 'str'"),
        (None, "argument 'command': 'None' is not an instance of 'str'"),
        (Index(1), "argument 'command': 'Index' object is not an instance of 'str'"),
    ],
)
def test_text_refuses_non_str(value, expected):
    assert str(raises_exactly(TypeError, _kelvar.is_windows_builtin, value)) == expected


def test_text_mismatch_names_the_qualified_type():
    class Inner:
        pass

    exc = raises_exactly(TypeError, _kelvar.is_windows_builtin, Inner())
    assert str(exc) == (
        "argument 'command': 'test_text_mismatch_names_the_qualified_type.<locals>.Inner'"
        " object is not an instance of 'str'"
    )


@pytest.mark.parametrize(
    "name",
    ["dir", Text("dir"), "", "a b", "\u00f1and\u00fa", "\U0001f40d", "x" * 10000, "a\x00b"],
)
def test_text_round_trips_exactly(name):
    # The answer's first item is rebuilt from the converted text: any loss in
    # the conversion (length, encoding, a subclass's __str__) shows here.
    for fuzzy in (False, True):
        result = _kelvar.find_executable(name, fuzzy)
        assert type(result[0]) is str
        assert result[0] == str.__str__(name)


@pytest.mark.parametrize("cased", ["dir", "DIR", "Dir"])
def test_text_subclass_is_accepted_as_text(cased):
    assert _kelvar.is_windows_builtin(Text(cased)) is _kelvar.is_windows_builtin(cased)


@pytest.mark.parametrize("value", ["\ud800", "dir\udfff", "\udc80abc", Text("\ud83d")])
def test_lone_surrogate_is_the_interpreters_encode_error(value):
    for func, args in ((_kelvar.is_windows_builtin, (value,)),
                       (_kelvar.find_executable, (value, False))):
        exc = raises_exactly(UnicodeEncodeError, func, *args)
        assert exc.encoding == "utf-8"
        assert not str(exc).startswith("argument")
        # The encoder's own error, position and reason included.
        with pytest.raises(UnicodeEncodeError) as own:
            str.__str__(value).encode("utf-8")
        assert exc.args == own.value.args


# ---------------------------------------------------------------- boolean


@pytest.fixture
def fuzzy_probe(tmp_path, monkeypatch):
    """Tells which boolean the `fuzzy` argument was converted to.

    Only the fuzzy query "*kelvarprobe*.exe" matches the file made here, so
    the answer has a path exactly when `fuzzy` was converted to true.
    """
    make_executable(tmp_path, "xkelvarprobex.exe")
    monkeypatch.setenv("PATH", str(tmp_path) + os.pathsep + os.environ.get("PATH", ""))

    def seen(value):
        return _kelvar.find_executable("kelvarprobe", value)[1] is not None

    if seen(True) is not True or seen(False) is not False:
        pytest.skip("no `where` that finds files on PATH here")
    return seen


@pytest.mark.parametrize(
    "value, expected",
    [
        (1, "argument 'fuzzy': 'int' object is not an instance of 'bool'"),
        (0, "argument 'fuzzy': 'int' object is not an instance of 'bool'"),
        (None, "argument 'fuzzy': 'None' is not an instance of 'bool'"),
        ("True", "argument 'fuzzy': 'str' object is not an instance of 'bool'"),
        (1.0, "argument 'fuzzy': 'float' object is not an instance of 'bool'"),
        ([], "argument 'fuzzy': 'list' object is not an instance of 'bool'"),
        (Index(1), "argument 'fuzzy': 'Index' object is not an instance of 'bool'"),
    ],
)
def test_boolean_refuses_everything_but_bool(value, expected):
    assert str(raises_exactly(TypeError, _kelvar.find_executable, "dir", value)) == expected


def test_boolean_values(fuzzy_probe):
    assert fuzzy_probe(True) is True
    assert fuzzy_probe(False) is False


@pytest.mark.skipif(numpy is None, reason="numpy is not installed")
def test_numpy_booleans(fuzzy_probe):
    assert fuzzy_probe(numpy.bool_(True)) is True
    assert fuzzy_probe(numpy.bool_(False)) is False
    assert fuzzy_probe(numpy.array([1, 2])[0] == 1) is True


@pytest.mark.skipif(numpy is None, reason="numpy is not installed")
@pytest.mark.parametrize("value", [True, False])
def test_numpy_boolean_is_accepted(value):
    result = _kelvar.find_executable("dir", numpy.bool_(value))
    assert result == _kelvar.find_executable("dir", value)


@pytest.mark.skipif(numpy is None, reason="numpy is not installed")
@pytest.mark.parametrize(
    "make, type_name",
    [
        (lambda: numpy.int64(1), "int64"),
        (lambda: numpy.float64(1.0), "float64"),
        (lambda: numpy.array([True]), "ndarray"),
    ],
)
def test_other_numpy_scalars_are_refused(make, type_name):
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", make())
    assert str(exc) == f"argument 'fuzzy': '{type_name}' object is not an instance of 'bool'"


@pytest.mark.parametrize("name", ["bool_", "bool"])
@pytest.mark.parametrize("value", [True, False])
def test_numpy_like_class_converts_through_its_bool(fuzzy_probe, name, value):
    cls = numpy_like(name, __bool__=returning(value))
    assert fuzzy_probe(cls()) is value


@pytest.mark.parametrize(
    "name, module",
    [
        ("bool8", "numpy"),
        ("Bool", "numpy"),
        ("bool_ ", "numpy"),
        ("bool_", "numpy.core"),
        ("bool_", "NumPy"),
        ("bool_", "numpy\x00"),
        ("bool_", "builtins"),
    ],
)
def test_near_numpy_names_are_refused(name, module):
    cls = numpy_like(name, module, __bool__=returning(True))
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", cls())
    assert str(exc) == f"argument 'fuzzy': '{name}' object is not an instance of 'bool'"


@pytest.mark.parametrize("reported", ["bool\x00", "bool_\x00", "bool_x", "\x00bool"])
def test_name_reported_by_a_metaclass_is_compared_whole(reported):
    # Type names cannot hold NUL themselves; a metaclass can still report one.
    meta = type("Meta", (type,), {"__name__": property(lambda cls: reported)})
    cls = meta("bool_", (), {"__module__": "numpy", "__bool__": returning(True)})
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", cls())
    assert str(exc) == "argument 'fuzzy': 'bool_' object is not an instance of 'bool'"


class ModuleText(str):
    pass


def test_module_attribute_may_be_a_str_subclass(fuzzy_probe):
    cls = numpy_like("bool_", ModuleText("numpy"), __bool__=returning(True))
    assert fuzzy_probe(cls()) is True


@pytest.mark.parametrize("module", [5, None, b"numpy"])
def test_module_attribute_that_is_no_str_is_refused(module):
    cls = numpy_like("bool_", module, __bool__=returning(True))
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", cls())
    assert str(exc) == "argument 'fuzzy': 'bool_' object is not an instance of 'bool'"


@pytest.mark.parametrize("attribute", ["__module__", "__name__"])
def test_unreadable_type_attribute_is_a_mismatch(attribute):
    def fails(cls):
        raise RuntimeError("attribute read failed")

    # A property of the metaclass takes precedence over type's own attribute.
    Meta = type("Meta", (type,), {attribute: property(fails)})
    cls = Meta("bool_", (), {"__module__": "numpy", "__bool__": returning(True)})
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", cls())
    # The failed read is dropped, not reported and not chained.
    assert exc.__cause__ is None and exc.__context__ is None
    assert str(exc).endswith("object is not an instance of 'bool'")


@pytest.mark.parametrize("name", ["bool_", "bool"])
def test_numpy_like_class_without_bool(name):
    cls = numpy_like(name)
    instance = cls()
    instance.__bool__ = returning(True).__get__(instance)  # on the instance only: not looked at
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", instance)
    assert str(exc) == (
        f"argument 'fuzzy': object of type '<class 'numpy.{name}'>'"
        " does not define a '__bool__' conversion"
    )


@pytest.mark.parametrize(
    "returned, type_text",
    [(1, "'int' object"), (0, "'int' object"), (None, "'None'"), ("yes", "'str' object")],
)
def test_numpy_like_bool_returning_non_bool(returned, type_text):
    cls = numpy_like(__bool__=returning(returned))
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", cls())
    assert str(exc) == f"argument 'fuzzy': {type_text} is not an instance of 'bool'"


def test_numpy_like_bool_returning_numpy_like_is_refused():
    inner = numpy_like("bool", __bool__=returning(True))
    outer = numpy_like("bool_", __bool__=returning(inner()))
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", outer())
    assert str(exc) == "argument 'fuzzy': 'bool' object is not an instance of 'bool'"


# "__bool__" is read from the type, where descriptors already act as for a
# class attribute (a staticmethod gives its function, a custom descriptor is
# asked with no instance); what that read gives is then bound to the object
# through its own type's descriptor slot, as a method lookup on the instance
# would bind a plain function.


class Binding:
    """A descriptor that records what it is bound to."""

    def __init__(self, log, result):
        self.log = log
        self.result = result

    def __get__(self, obj, objtype=None):
        self.log.append(("get", obj, objtype))
        return self.result


def _recording(log):
    def __bool__(*args):
        log.append(("call",) + args)
        return True

    return __bool__


@pytest.mark.parametrize(
    "make, expected",
    [
        (_recording, lambda obj, cls: [("call", obj)]),
        (lambda log: staticmethod(_recording(log)), lambda obj, cls: [("call", obj)]),
        (lambda log: classmethod(_recording(log)), lambda obj, cls: [("call", cls)]),
        (CallableObject, lambda obj, cls: [("call",)]),
        (lambda log: Binding(log, _recording(log)),
         lambda obj, cls: [("get", None, cls), ("call", obj)]),
        (lambda log: Binding(log, Binding(log, lambda: True)),
         lambda obj, cls: [("get", None, cls), ("get", obj, cls)]),
    ],
    ids=["function", "staticmethod", "classmethod", "callable", "descriptor",
         "found-descriptor"],
)
def test_bool_is_bound_as_found_on_the_type(fuzzy_probe, make, expected):
    log = []
    cls = numpy_like(__bool__=make(log))
    instance = cls()
    assert fuzzy_probe(instance) is True
    assert log == expected(instance, cls)


class BoolTypeError(TypeError):
    pass


class GetRaising:
    def __init__(self, exc):
        self.exc = exc

    def __get__(self, obj, objtype=None):
        raise self.exc


class RaisingWhenBound:
    """Reads fine from the type, fails when bound to the instance."""

    def __init__(self, exc):
        self.inner = GetRaising(exc)

    def __get__(self, obj, objtype=None):
        return self.inner


@pytest.mark.parametrize(
    "make_bool, exc_type, prefixed",
    [
        (lambda exc: _raising(exc), ValueError, False),
        (lambda exc: _raising(exc), TypeError, True),
        (lambda exc: _raising(exc), BoolTypeError, False),
        (RaisingWhenBound, KeyError, False),
        (RaisingWhenBound, TypeError, True),
    ],
)
def test_errors_of_bool_reach_the_caller(make_bool, exc_type, prefixed):
    original = exc_type("from __bool__")
    cls = numpy_like(__bool__=make_bool(original))
    exc = raises_exactly(exc_type, _kelvar.find_executable, "dir", cls())
    if prefixed:
        assert str(exc) == "argument 'fuzzy': from __bool__"
    else:
        assert exc is original


@pytest.mark.parametrize("exc_type", [KeyError, TypeError, AttributeError])
def test_bool_unreadable_from_the_type_does_not_define_the_conversion(exc_type):
    cls = numpy_like(__bool__=GetRaising(exc_type("read failed")))
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", cls())
    assert str(exc) == (
        "argument 'fuzzy': object of type '<class 'numpy.bool_'>'"
        " does not define a '__bool__' conversion"
    )
    assert exc.__cause__ is None and exc.__context__ is None


def _raising(exc):
    def __bool__(self):
        raise exc

    return __bool__


def test_bool_that_is_not_callable():
    cls = numpy_like(__bool__=None)
    exc = raises_exactly(TypeError, _kelvar.find_executable, "dir", cls())
    assert str(exc) == "argument 'fuzzy': 'NoneType' object is not callable"
