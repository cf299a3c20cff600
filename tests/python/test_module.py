"""The module record: what an import creates and how it behaves on re-import."""

import importlib
import importlib.metadata
import importlib.util
import inspect
import os
import re
import shutil
import sys
import sysconfig

import pytest

import _kelvar

from _surface import NAMES, SURFACE, WITHOUT_ARGUMENTS



def test_all_lists_the_functions_in_registration_order():
    assert _kelvar.__all__ == NAMES
    assert type(_kelvar.__all__) is list


def test_module_docstring():
    assert _kelvar.__doc__ == "Main Kelvar module"


@pytest.mark.parametrize("name", NAMES)
def test_function_record(name):
    function = getattr(_kelvar, name)
    text_signature, parameters = SURFACE[name].text_signature, list(SURFACE[name].parameters)
    assert function.__name__ == name
    assert function.__text_signature__ == text_signature
    assert list(inspect.signature(function).parameters) == parameters
    assert all(
        p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is inspect.Parameter.empty
        for p in inspect.signature(function).parameters.values()
    )
    assert function.__self__ is None
    assert function.__module__ == "_kelvar"
    assert function.__doc__ == SURFACE[name].doc


def test_internal_failure_type_is_not_exported():
    assert not hasattr(_kelvar, "PanicException")


@pytest.mark.parametrize("name", WITHOUT_ARGUMENTS)
@pytest.mark.parametrize(
    "args, kwargs", [((1,), {}), ((), {"x": 1}), ((None, None), {})], ids=["positional", "keyword", "two"]
)
def test_no_argument_functions_refuse_arguments(name, args, kwargs):
    with pytest.raises(TypeError, match=rf"^_kelvar\.{name}\(\) takes no (keyword )?arguments"):
        getattr(_kelvar, name)(*args, **kwargs)


def test_reimport_builds_new_functions():
    old = sys.modules.pop("_kelvar")
    try:
        new = importlib.import_module("_kelvar")
        assert new is not old
        assert new.__all__ == NAMES and new.__all__ is not old.__all__
        for name in NAMES:
            assert getattr(new, name) is not getattr(old, name)
            assert getattr(new, name).__doc__ == getattr(old, name).__doc__
        assert new.fib(10) == 55
        assert new.get_version() == old.get_version()
    finally:
        sys.modules["_kelvar"] = old


def test_reload_keeps_functions_and_all():
    before = {name: getattr(_kelvar, name) for name in NAMES}
    reloaded = importlib.reload(_kelvar)
    assert reloaded is _kelvar
    assert _kelvar.__all__ == NAMES
    for name in NAMES:
        assert getattr(_kelvar, name) is before[name]


def _unexecuted_module():
    module_spec = importlib.util.find_spec("_kelvar")
    module = importlib.util.module_from_spec(module_spec)
    return module_spec, module


@pytest.mark.parametrize(
    "value, type_name",
    [(("x",), "tuple"), ("abc", "str"), (3, "int"), ({"a": 1}, "dict")],
)
def test_exec_refuses_an_all_that_is_not_a_list(value, type_name):
    module_spec, module = _unexecuted_module()
    module.__all__ = value
    with pytest.raises(TypeError) as info:
        module_spec.loader.exec_module(module)
    assert str(info.value) == f"'{type_name}' object is not an instance of 'list'"
    assert type(info.value) is TypeError
    assert not hasattr(module, "fib")


def test_exec_refuses_none_as_all():
    module_spec, module = _unexecuted_module()
    module.__all__ = None
    with pytest.raises(TypeError, match=r"^'None' is not an instance of 'list'$"):
        module_spec.loader.exec_module(module)


def test_exec_appends_to_an_existing_list():
    class Names(list):
        pass

    for initial in (["existing"], Names(["existing"])):
        module_spec, module = _unexecuted_module()
        module.__all__ = initial
        module_spec.loader.exec_module(module)
        assert module.__all__ is initial
        assert initial == ["existing", *NAMES]
        assert module.fib(10) == 55


def test_functions_name_the_package_module(tmp_path):
    # Imported as a submodule, the functions report the dotted module name.
    package = tmp_path / "pkg"
    package.mkdir()
    (package / "__init__.py").write_text("")
    shutil.copy(_kelvar.__file__, package / os.path.basename(_kelvar.__file__))
    sys.path.insert(0, str(tmp_path))
    try:
        sub = importlib.import_module("pkg._kelvar")
        assert sub.fib.__module__ == "pkg._kelvar"
        assert sub.find_executable.__module__ == "pkg._kelvar"
        assert sub.__all__ == NAMES
    finally:
        sys.path.remove(str(tmp_path))
        sys.modules.pop("pkg._kelvar", None)
        sys.modules.pop("pkg", None)


# What a user reads from the facts, each against what the running interpreter
# and the installed distribution say rather than against the module's own
# constants: a build for the wrong platform or a stale version shows here.
FACTS = {
    "cmd.exe path": (_kelvar.get_cmd_exe_path, lambda: "C:\\Windows\\System32\\cmd.exe (built-in)"),
    "version": (_kelvar.get_version, lambda: importlib.metadata.version("kelvar")),
    "platform": (_kelvar.is_windows, lambda: os.name == "nt"),
    "executable extension": (_kelvar.get_executable_extension, lambda: sysconfig.get_config_var("EXE") or ""),
}


@pytest.mark.parametrize("fact, expected", FACTS.values(), ids=FACTS.keys())
def test_facts_agree_with_the_running_interpreter(fact, expected):
    assert fact() == expected()
    assert type(fact()) is type(expected())


@pytest.mark.parametrize("moved", [False, True], ids=["inherited", "descriptor 2 moved to a file"])
def test_failure_report_on_standard_error(run_child, tmp_path, moved):
    # Each internal failure writes a report to the process's standard error
    # (not sys.stderr); only the first one carries the hint on backtraces.
    # Where the process moves its descriptor 2 (as a log redirection or
    # pytest's capfd does), the report follows it.
    log = tmp_path / "stderr.log"
    child = run_child(
        f"""
        import os, _kelvar

        if {moved!r}:
            fd = os.open({str(log)!r}, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
            os.dup2(fd, 2)
            os.close(fd)

        class Huge:
            def __len__(self):
                return 2**61
            def __getitem__(self, i):
                raise IndexError(i)

        for _ in range(3):
            try:
                _kelvar.sum_as_arr(Huge())
            except BaseException as exc:
                assert type(exc).__name__ == "PanicException", exc
        """
    )
    stderr = log.read_text(errors="replace") if moved else child.stderr
    if moved:
        assert "internal failure" not in child.stderr
    reports = [line for line in stderr.splitlines() if line.startswith("kelvar: internal failure")]
    assert len(reports) == 3
    assert all(" in thread '" in line and "src/module/" in line for line in reports)
    assert stderr.replace("\r\n", "\n").count("\ncapacity overflow\n") == 3
    hints = [line for line in stderr.splitlines() if "backtrace" in line]
    assert len(hints) == 1
    # The module reads no environment variable, so the hint names none.
    assert re.search(r"\b[A-Z][A-Z0-9]*_[A-Z0-9_]+\b|\$[A-Za-z_]|%[A-Za-z_]+%", hints[0]) is None
    # It names only tools of the platform it runs on.
    foreign = ["gdb", "__cxa_throw"] if sys.platform == "win32" else ["WinDbg", "first-chance"]
    assert not [word for word in foreign if word in hints[0]]
