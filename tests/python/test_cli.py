"""The command line, `kelvar [--fuzzy] NAME...`, run as `python -m kelvar` and
as the installed `kelvar` script.

Every run gets a PATH that holds only a scratch directory with one program in
it, so what is found does not depend on the machine; `where` itself is found
beside the interpreter (on Windows the test where.exe, told to search PATH).
"""

import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

import _kelvar

CMD = "C:\\Windows\\System32\\cmd.exe (built-in)"
PROBE = "kelvar-probe"
MISSING = "kelvar-no-such-command"


@pytest.fixture(params=["module", "script", "script by a relative path"])
def launcher(request, tmp_path):
    if request.param == "module":
        return [sys.executable, "-m", "kelvar"]
    script = shutil.which("kelvar", path=sysconfig.get_path("scripts"))
    assert script is not None, "the kelvar script is not installed"
    if request.param == "script":
        return [script]
    # As from a virtual environment that is not activated: the start path is
    # the script's, not the interpreter's.
    if os.path.splitdrive(script)[0].lower() != os.path.splitdrive(str(tmp_path))[0].lower():
        pytest.skip("the script and the test's folder are on different drives")
    return [RelativeScript(script)]


class RelativeScript(str):
    """A script that each run starts by its path relative to the run's
    working directory."""


def in_directory(launcher, cwd):
    return [os.path.relpath(part, cwd) if isinstance(part, RelativeScript) else part
            for part in launcher]


def make_program(directory, name):
    """An executable file that `where` reports; it is never run."""
    directory.mkdir(parents=True, exist_ok=True)
    path = directory / (name + _kelvar.get_executable_extension())
    path.write_bytes(b"#!/bin/sh\nexit 0\n")
    path.chmod(0o755)
    return str(path)


def cli_env(search_dir, **extra):
    env = dict(os.environ, PATH=str(search_dir), **extra)
    if sys.platform == "win32":
        # The test where.exe beside the interpreter acts as a plain `where`.
        env["KELVAR_FAKE_WHERE_SEARCH"] = "1"
    return env


def run(launcher, args, *, search_dir, encoding="utf-8"):
    env = cli_env(search_dir, PYTHONIOENCODING=encoding)
    env.pop("PYTHONUTF8", None)
    return subprocess.run(
        [*in_directory(launcher, search_dir), *args],
        cwd=search_dir,
        env=env,
        capture_output=True,
        timeout=60,
    )


# (arguments, expected lines with {probe} standing for the probe's path, exit status)
LOOKUPS = [
    pytest.param([PROBE], [f"{PROBE}\t{{probe}}"], 0, id="found"),
    pytest.param(["dir"], [f"dir\t{CMD}"], 0, id="built-in"),
    pytest.param(["DIR"], [f"DIR\t{CMD}"], 0, id="built-in keeps the caller's case"),
    pytest.param([MISSING], [f"{MISSING}\tnot found"], 1, id="missing"),
    pytest.param(
        [PROBE, MISSING, "cls"],
        [f"{PROBE}\t{{probe}}", f"{MISSING}\tnot found", f"cls\t{CMD}"],
        1,
        id="several, one missing, in the order given",
    ),
    pytest.param([PROBE, "cls"], [f"{PROBE}\t{{probe}}", f"cls\t{CMD}"], 0, id="several, all found"),
    pytest.param([PROBE, PROBE], [f"{PROBE}\t{{probe}}"] * 2, 0, id="a name given twice"),
    pytest.param(["--fuzzy", "probe"], ["probe\t{probe}"], 0, id="fuzzy finds a part of a name"),
    pytest.param(["probe", "--fuzzy"], ["probe\t{probe}"], 0, id="fuzzy after the names"),
    pytest.param(["probe"], ["probe\tnot found"], 1, id="a part of a name without fuzzy"),
    pytest.param(["--fuzzy", "dir"], [f"dir\t{CMD}"], 0, id="fuzzy built-in"),
    pytest.param(["--", "-x"], ["-x\tnot found"], 1, id="a name after --"),
    pytest.param(["a\tb", "c\nd", "e\r\x1b", "f\x7f"], ["a\\tb\tnot found", "c\\nd\tnot found",
                                                      "e\\r\\x1b\tnot found", "f\\x7f\tnot found"], 1,
                 id="control characters in names are escaped"),
]


@pytest.mark.parametrize(("args", "lines", "status"), LOOKUPS)
def test_lookup(launcher, tmp_path, args, lines, status):
    probe = make_program(tmp_path, PROBE)
    proc = run(launcher, args, search_dir=tmp_path)
    # Text output: each line ends as the platform ends lines.
    expected = "".join(line.format(probe=probe) + os.linesep for line in lines)
    assert (proc.stdout.decode("utf-8"), proc.returncode) == (expected, status), proc.stderr
    assert proc.stderr == b""


@pytest.mark.parametrize(
    ("args", "message"),
    [
        pytest.param([], b"the following arguments are required: NAME", id="no names"),
        pytest.param(["--fuzzy"], b"the following arguments are required: NAME", id="fuzzy alone"),
        pytest.param(["--bogus", "git"], b"unrecognized arguments: --bogus", id="unknown option"),
    ],
)
def test_usage_error(launcher, tmp_path, args, message):
    proc = run(launcher, args, search_dir=tmp_path)
    assert proc.returncode == 2
    assert proc.stdout == b""
    assert proc.stderr.startswith(b"usage: kelvar ")
    assert message in proc.stderr


@pytest.mark.parametrize(
    ("args", "first_line"),
    [
        pytest.param(["--version"], b"kelvar 0.1.0", id="version"),
        pytest.param(["--version", "git"], b"kelvar 0.1.0", id="version before a name"),
        pytest.param(["--help"], b"usage: kelvar [-h] [--fuzzy] [--version] NAME [NAME ...]", id="help"),
    ],
)
def test_information_options(launcher, tmp_path, args, first_line):
    proc = run(launcher, args, search_dir=tmp_path)
    assert (proc.returncode, proc.stdout.splitlines()[0]) == (0, first_line)
    assert proc.stderr == b""
    if "--version" in args:
        import kelvar

        assert first_line == f"kelvar {kelvar.__version__}".encode()
    if "--help" in args:
        text = b" ".join(proc.stdout.split())
        assert b"the first match in PATH order wins, not the closest name" in text
        for status in (b"3 when the results could not be written",
                       b"1 when any was not, or when the reader of the output went away",
                       b"130 when interrupted"):
            assert status in text


# The path holds characters outside ASCII; the output is written in the
# stream's encoding, and what that cannot hold comes out escaped, not as a crash.
@pytest.mark.parametrize(
    ("encoding", "errors"),
    [
        pytest.param("utf-8", "strict", id="utf-8"),
        pytest.param("latin-1", "backslashreplace", id="latin-1"),
        pytest.param("ascii", "backslashreplace", id="ascii"),
    ],
)
def test_path_with_odd_characters(launcher, tmp_path, encoding, errors):
    # Windows file names cannot hold control characters such as the tab.
    search_dir = tmp_path / ("d\u00efr \u00df \u4e2d" + ("\t" if os.name == "posix" else "") + "\u00e9")
    probe = make_program(search_dir, PROBE)
    proc = run(launcher, [PROBE], search_dir=search_dir, encoding=encoding)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == f"{PROBE}\t{probe}{os.linesep}".encode(encoding, errors)


# A name that the system passes as bytes that are not UTF-8 cannot be looked
# up; it is reported as not found, and its line shows the bytes as given
# where the output's encoding is the file system's.
@pytest.mark.skipif(os.name != "posix", reason="command lines are bytes only on POSIX")
@pytest.mark.skipif(sys.getfilesystemencoding() != "utf-8", reason="needs a UTF-8 file system encoding")
@pytest.mark.parametrize(
    ("encoding", "line"),
    [
        pytest.param("utf-8", b"git\xff\tnot found\n", id="utf-8 output"),
        pytest.param("ascii", b"git\\udcff\tnot found\n", id="ascii output"),
    ],
)
def test_name_that_is_not_utf8(launcher, tmp_path, encoding, line):
    make_program(tmp_path, "git")
    proc = run(launcher, [b"git\xff", PROBE], search_dir=tmp_path, encoding=encoding)
    assert proc.returncode == 1
    assert proc.stdout == line + f"{PROBE}\tnot found\n".encode()
    assert b"cannot be looked up" in proc.stderr


def test_closed_output_ends_quietly(launcher, tmp_path):
    # The reader goes away before anything is written: no traceback.
    env = cli_env(tmp_path)
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        proc = subprocess.run(
            [*in_directory(launcher, tmp_path), "cls"],
            cwd=tmp_path,
            env=env,
            stdout=write_end,
            stderr=subprocess.PIPE,
            timeout=60,
        )
    finally:
        os.close(write_end)
    assert proc.returncode == 1
    assert proc.stderr == b""


@pytest.mark.skipif(os.name != "posix", reason="closes descriptors with a POSIX shell; /dev/full")
@pytest.mark.parametrize(
    ("redirect", "problem"),
    [
        pytest.param(">&-", b"standard output is closed", id="closed"),
        pytest.param(">/dev/full", b"No space left on device", id="full"),
    ],
)
def test_output_that_cannot_be_written(launcher, tmp_path, redirect, problem):
    if redirect == ">/dev/full" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    env = dict(os.environ, PATH=str(tmp_path))
    proc = subprocess.run(
        ["/bin/sh", "-c", f'exec "$@" {redirect}', "sh", *in_directory(launcher, tmp_path), "cls"],
        cwd=tmp_path,
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        timeout=60,
    )
    # One line naming the problem, no traceback, and a status of its own.
    assert (proc.returncode, proc.stderr) == (3, b"kelvar: cannot write the results: " + problem + b"\n")


@pytest.mark.parametrize(("raised", "status"), [(KeyboardInterrupt, 130), (BrokenPipeError, 1)])
def test_interrupted_or_abandoned_run_has_its_status(monkeypatch, capsys, raised, status):
    # The status comes from the outcome, not from what was found: "cls" is found.
    from kelvar import cli

    def lookup(name, fuzzy):
        raise raised()

    monkeypatch.setattr(cli, "lookup", lookup)
    monkeypatch.setattr(cli, "_silence_stdout", lambda out: None)
    assert cli.main(["cls"]) == status
    assert capsys.readouterr().err == ""
