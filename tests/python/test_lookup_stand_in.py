"""find_executable with the real stand-in `where` that the wheel ships with
the module (POSIX only).
"""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

import _kelvar
from _lookup_helpers import BUILTIN_PATH
from _where_sandbox import MODULE_DIR, MODULE_FILE, REAL_PYTHON

STAND_IN = Path(MODULE_DIR) / "kelvar" / "bin" / "where"
stand_in_present = pytest.mark.skipif(
    _kelvar.is_windows() or not os.access(STAND_IN, os.X_OK),
    reason="the stand-in `where` is for POSIX; Windows has its own" if _kelvar.is_windows()
    else "no stand-in `where` shipped with this module",
)


@pytest.fixture
def search_dir(tmp_path, monkeypatch):
    """PATH holding only an empty directory of the test's own."""
    directory = tmp_path / "search"
    directory.mkdir()
    monkeypatch.setenv("PATH", str(directory))
    return directory


def make_program(directory, name, mode=0o755):
    path = directory / name
    path.write_text("#!/bin/sh\n")
    path.chmod(mode)
    return str(path)


@stand_in_present
@pytest.mark.parametrize("name", ["sh", "python3", "ls", "cat", "env"])
def test_stand_in_agrees_with_shutil_which(name):
    expected = shutil.which(name)
    if expected is None:
        pytest.skip(f"{name} is not on PATH")
    assert _kelvar.find_executable(name, False) == (name, expected)


@stand_in_present
@pytest.mark.parametrize("name", ["sh", "python3"])
def test_stand_in_fuzzy_finds_a_program_containing_the_name(name):
    if shutil.which(name) is None:
        pytest.skip(f"{name} is not on PATH")
    found_name, path = _kelvar.find_executable(name, True)
    assert found_name == name
    assert path is not None and name in os.path.basename(path)
    assert os.access(path, os.X_OK)


@stand_in_present
def test_stand_in_on_a_path_of_the_tests_making(search_dir):
    probe = make_program(search_dir, "kelvar-probe")
    make_program(search_dir, "kelvar-plain", mode=0o644)
    infix = make_program(search_dir, "aaa-kelvar-infix-zzz")
    assert _kelvar.find_executable("kelvar-probe", False) == ("kelvar-probe", probe)
    assert _kelvar.find_executable("kelvar-plain", False) == ("kelvar-plain", None)
    assert _kelvar.find_executable("kelvar-infix", False) == ("kelvar-infix", None)
    assert _kelvar.find_executable("kelvar-infix", True) == ("kelvar-infix", infix)
    assert _kelvar.find_executable("dir", False) == ("dir", BUILTIN_PATH)
    assert _kelvar.find_executable("DIR", True) == ("DIR", BUILTIN_PATH)
    assert _kelvar.find_executable("nosuch", False) == ("nosuch", None)


@stand_in_present
def test_stand_in_a_found_builtin_name_gets_its_path(search_dir):
    found = make_program(search_dir, "dir")
    assert _kelvar.find_executable("dir", False) == ("dir", found)
    assert _kelvar.find_executable("DIR", False) == ("DIR", BUILTIN_PATH)


@stand_in_present
@pytest.mark.parametrize("name", ["-", "-h", "--help", "--", "-x", "--version"])
def test_stand_in_a_name_that_looks_like_an_option_is_a_name(search_dir, name):
    program = make_program(search_dir, name)
    assert _kelvar.find_executable(name, False) == (name, program)
    os.unlink(program)
    assert _kelvar.find_executable(name, False) == (name, None)


@stand_in_present
@pytest.mark.parametrize("install, host", [
    ("target", "python"),
    ("user", "python"),
    # An embedding host records no interpreter of its own.
    ("target", "embedding, sys.executable empty"),
    # A virtual environment that is not activated, with only the scripts
    # folder's copy: found beside the interpreter, not by PATH.
    ("venv", "python"),
])
def test_the_shipped_stand_in_is_found_with_no_scripts_folder_on_path(tmp_path, install, host):
    """A target, user or venv install: the scripts folder is on no search
    path, yet the lookup finds a copy shipped with the module; a `where` loose
    beside the module (another distribution's, say) is never run."""
    shipped = Path(MODULE_DIR) / "kelvar" / "bin" / "where"
    assert os.access(shipped, os.X_OK), "the wheel ships no kelvar/bin/where beside the module"
    assert not (Path(MODULE_DIR) / "where").exists(), "the wheel still ships a loose `where`"
    # The interpreter itself, outside any virtual environment (whose `bin`
    # would hold the scripts-folder copy).
    interpreter = Path(REAL_PYTHON)
    if (interpreter.parent / "where").exists():
        pytest.skip("the base interpreter has a `where` of its own beside it")
    search = "/usr/bin:/bin"
    env = {"PATH": search, "PYTHONNOUSERSITE": "", "PYTHONDONTWRITEBYTECODE": "1"}
    scripts = None
    if install == "target":
        site = tmp_path / "target"
        env["PYTHONPATH"] = str(site)
    elif install == "user":
        env["PYTHONUSERBASE"] = str(tmp_path / "userbase")
        site = Path(subprocess.run([str(interpreter), "-c", "import site; print(site.getusersitepackages())"],
                                   env=env, capture_output=True, text=True, check=True).stdout.strip())
        scripts = tmp_path / "userbase" / "bin"
    else:
        subprocess.run([str(interpreter), "-m", "venv", "--without-pip", str(tmp_path / "venv")],
                       check=True, env=env)
        interpreter = tmp_path / "venv" / "bin" / "python"
        site = Path(subprocess.run([str(interpreter), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                                   env=env, capture_output=True, text=True, check=True).stdout.strip())
        scripts = interpreter.parent
    site.mkdir(parents=True, exist_ok=True)
    shutil.copy2(MODULE_FILE, site / Path(MODULE_FILE).name)
    (site / "where").write_text("#!/bin/sh\necho /loose-decoy\n")
    (site / "where").chmod(0o755)
    if install != "venv":
        (site / "kelvar" / "bin").mkdir(parents=True)
        shutil.copy2(shipped, site / "kelvar" / "bin" / "where")
    if scripts is not None:
        scripts.mkdir(parents=True, exist_ok=True)
        shutil.copy2(shipped, scripts / "where")
    env.pop("PYTHONNOUSERSITE")
    before = "import sys; sys.executable = ''; " if host.startswith("embedding") else ""
    proc = subprocess.run(
        [str(interpreter), "-c", before + "import _kelvar; print(_kelvar.__file__); print(_kelvar.find_executable('sh', False)[1])"],
        env=env, capture_output=True, text=True, cwd=tmp_path,
    )
    assert proc.returncode == 0, proc.stderr
    module_file, found = proc.stdout.splitlines()
    assert Path(module_file).parent == site
    assert found == shutil.which("sh", path=search)
