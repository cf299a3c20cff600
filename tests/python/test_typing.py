"""The installed type information: the stub-only package `_kelvar-stubs` and
the typed package `kelvar`, checked with mypy against the installed module.

The mypy checks are skipped when mypy is not installed (`pip install '.[typing]'`).
"""

import importlib.metadata
import re
import subprocess
import sys
from pathlib import Path

import pytest

SAMPLES = Path(__file__).resolve().parent.parent / "typing"
OK = SAMPLES / "ok.py"
BAD = SAMPLES / "bad.py"

# `call(...)  # E: code` in bad.py: that line must be reported with that code.
MARKER = re.compile(r"#\s*E:\s*([a-z-]+)\s*$")
# mypy's line format: `path:line: error: message  [code]`.
DIAGNOSTIC = re.compile(r"^(?P<path>.+?):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$")


def expected_rejections():
    table = []
    for number, text in enumerate(BAD.read_text(encoding="utf-8").splitlines(), start=1):
        match = MARKER.search(text)
        if match:
            source = text[: match.start()].strip()
            table.append(pytest.param(number, match.group(1), id=f"{number}:{source}"))
    return table


def run_mypy_tool(args, cwd):
    """Runs a mypy tool under this interpreter, away from the project's own
    configuration, and returns the completed process."""
    pytest.importorskip("mypy")
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=300,
    )


@pytest.fixture(scope="module")
def diagnostics(tmp_path_factory):
    """mypy's errors for both samples, from one run: {(file name, line): {codes}}."""
    work = tmp_path_factory.mktemp("mypy")
    proc = run_mypy_tool(
        [
            "mypy",
            "--config-file=",
            f"--cache-dir={work / 'cache'}",
            "--show-error-codes",
            "--hide-error-context",
            "--no-error-summary",
            "--no-pretty",
            str(OK),
            str(BAD),
        ],
        cwd=work,
    )
    # 0: no errors, 1: errors found; anything else is mypy failing to run.
    assert proc.returncode in (0, 1), proc.stdout + proc.stderr
    found = {}
    for line in proc.stdout.splitlines():
        match = DIAGNOSTIC.match(line)
        if match:
            key = (Path(match["path"]).name, int(match["line"]))
            found.setdefault(key, set()).add(match["code"])
        elif ": error:" in line:
            pytest.fail(f"unparsed mypy error: {line}")
    return found


def test_stubs_match_the_runtime_module(tmp_path):
    proc = run_mypy_tool(["mypy.stubtest", "--concise", "_kelvar"], cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_sample_uses_are_accepted(diagnostics):
    assert {key: codes for key, codes in diagnostics.items() if key[0] == OK.name} == {}


@pytest.mark.parametrize(("line", "code"), expected_rejections())
def test_wrong_use_is_rejected(diagnostics, line, code):
    assert diagnostics.get((BAD.name, line)) == {code}


def test_nothing_else_in_the_wrong_sample_is_rejected(diagnostics):
    marked = {param.values[0] for param in expected_rejections()}
    reported = {line for name, line in diagnostics if name == BAD.name}
    assert reported - marked == set()


@pytest.mark.parametrize(
    "member",
    [
        # A stub-only package, found by checkers beside the module it describes.
        "_kelvar-stubs/__init__.pyi",
        # The marker that lets checkers read the inline types of `kelvar`.
        "kelvar/py.typed",
    ],
)
def test_distribution_installs_type_information(member):
    files = importlib.metadata.files("kelvar") or []
    installed = {path.as_posix() for path in files}
    assert member in installed
    path = next(p for p in files if p.as_posix() == member)
    assert Path(path.locate()).is_file()
