"""find_executable's answers: the query given to `where`, how its answer is
read, the fallback to the built-in table, and where `where` is looked for.

The tests drive a fake `where` (see _where_sandbox.py) through an interpreter
started from a sandbox: a shell script on POSIX, the test where.exe beside
the interpreter on Windows.
"""

import os
import textwrap
from pathlib import Path

import pytest

from _lookup_helpers import BUILTIN_PATH, EXT, POSIX_FILE_MODES, POSIX_START_PATH, query_for
from _where_bodies import CLOSE_THEN_EXIT_LATE, KILLED_AFTER_PRINTING, ON_WINDOWS, WINDOWS_WHERE
from _where_sandbox import REAL_PYTHON


# ---------------------------------------------------------------------------
# The argument `where` receives

ARGUMENT_NAMES = {
    "plain": "git",
    "empty": "",
    "inner blank": "a b",
    "leading blank": " lead",
    "trailing blanks": "trail  ",
    "tab": "\t",
    "double quotes": 'say "hi"',
    "lone double quote": '"',
    "single quote": "it's",
    "backslashes": "C:\\Program Files\\x",
    "trailing backslash": "end\\",
    "backslash quote": '\\"',
    "command substitution": "$(touch pwned)",
    "backticks": "`id`",
    "variable": "$HOME",
    "semicolon": "a;b",
    "pipe": "a|b",
    "ampersand": "a&b",
    "redirection": "a>b",
    "star": "*",
    "question mark": "?",
    "tilde": "~",
    "option-like": "-h",
    "double dash": "--",
    "line feed": "a\nb",
    "carriage return": "a\rb",
    "control character": "\x01\x7f",
    "latin-1": "grüß",
    "CJK": "日本語",
    "astral": "\U0001F600",
    "extension already": "git.exe",
    "long": "x" * 5000,
}


@pytest.mark.parametrize("fuzzy", [False, True], ids=["plain", "fuzzy"])
@pytest.mark.parametrize("name", ARGUMENT_NAMES.values(), ids=ARGUMENT_NAMES.keys())
def test_where_receives_the_query_as_its_only_argument(fake, name, fuzzy):
    fake.sandbox.write_where(code=1)
    fake.lookup(name, fuzzy)
    assert fake.sandbox.calls() == [[query_for(name, fuzzy).encode("utf-8")]]


def test_every_call_runs_where_afresh(fake):
    fake.sandbox.write_where(out=b"/first\n")
    assert fake.lookup("tool", False) == ("tool", "/first")
    fake.sandbox.write_where(out=b"/second\n")
    assert fake.lookup("tool", False) == ("tool", "/second")
    assert fake.lookup("tool", False) == ("tool", "/second")
    assert len(fake.sandbox.calls()) == 3


# ---------------------------------------------------------------------------
# Reading the answer of a `where` that exits with 0

ALL_WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)

# The whole road from the bytes a real child prints to the str returned: the
# rules for reading them (each white space character, each ill-formed
# sequence, each line end) are the native output tests' table.
FOUND_OUTPUTS = {
    "one path, LF": (b"/usr/bin/git\n", "/usr/bin/git"),
    "two paths, CR LF": (b"C:\\a.exe\r\nC:\\b.exe\r\n", "C:\\a.exe"),
    "Unicode white space and blank lines trimmed": (
        (ALL_WHITE_SPACE + "\n\r\n/a b\n/b" + ALL_WHITE_SPACE).encode(), "/a b"),
    "non-ASCII UTF-8": ("/home/jürgen/日本/\U0001F600\n".encode(), "/home/jürgen/日本/\U0001F600"),
    "ill-formed UTF-8, one U+FFFD per maximal subpart": (
        b"/x\xe0\x80\xafy\xf0\x9f\x98\n", "/x\ufffd\ufffd\ufffdy\ufffd"),
    "NUL inside the path": (b"/a\x00b\n", "/a\x00b"),
    "long path": (b"/" + b"a" * 100_000 + b"\n/b\n", "/" + "a" * 100_000),
    # Not UTF-8, so on Windows a code page is tried: in 437 the byte 0xFF is
    # U+00A0, which the trim takes off, and what remains names a folder.
    "0xFF after a folder's name": (b"C:\\windows\xff\r\n", "C:\\windows\ufffd"),
    # The system reads a name only up to U+0000: what follows must not count.
    "NUL, then 0xFF": (b"C:\\windows\x00\xff\\nothere.exe", "C:\\windows\x00\ufffd\\nothere.exe"),
}


@pytest.mark.parametrize("out, path", FOUND_OUTPUTS.values(), ids=FOUND_OUTPUTS.keys())
def test_the_first_reported_path_is_the_answer(fake, out, path):
    # A name in the built-in table: a path that `where` reports beats the table.
    fake.sandbox.write_where(out=out)
    assert fake.lookup("cmd", False) == ("cmd", path)


# ---------------------------------------------------------------------------
# When `where` reports nothing: the fallback

NOTHING_REPORTED = {
    "exit 0, empty output": dict(out=b""),
    "exit 0, one line feed": dict(out=b"\n"),
    "exit 0, blank lines": dict(out=b"\r\n\r\n"),
    "exit 0, ASCII white space": dict(out=b" \t\x0b\x0c\r\n\n"),
    "exit 0, Unicode white space": dict(out=ALL_WHITE_SPACE.encode()),
    "exit 0, path on stderr only": dict(err=b"/from/stderr\n"),
    "exit 1 with a path": dict(out=b"/a\n", code=1),
    "exit 2 with a path": dict(out=b"/a\n", code=2),
    "exit 127 with a path": dict(out=b"/a\n", code=127),
    "exit 255 with a path": dict(out=b"/a\n", code=255),
    "exit 1, nothing": dict(code=1),
    "killed after printing a path": dict(out=b"/a\n", body=KILLED_AFTER_PRINTING),
    "closes its streams, exits 3 later": dict(out=b"/a\n", code=3, body=CLOSE_THEN_EXIT_LATE),
}


@pytest.mark.parametrize("name, path", [
    pytest.param("cmd", BUILTIN_PATH, id="builtin"),
    pytest.param("not-a-builtin", None, id="other"),
])
@pytest.mark.parametrize("fake_where", NOTHING_REPORTED.values(), ids=NOTHING_REPORTED.keys())
def test_nothing_reported_falls_back_to_the_table(fake, fake_where, name, path):
    fake.sandbox.write_where(**fake_where)
    assert fake.lookup(name, False) == (name, path)


def test_a_where_that_closes_its_streams_early_is_waited_for(fake):
    fake.sandbox.write_where(out=b"/a\n", code=0, body=CLOSE_THEN_EXIT_LATE)
    assert fake.lookup("tool", False) == ("tool", "/a")


FALLBACK_NAMES = {
    "dir": ("dir", BUILTIN_PATH),
    "DIR keeps its case": ("DIR", BUILTIN_PATH),
    "Dir": ("Dir", BUILTIN_PATH),
    "cmd": ("cmd", BUILTIN_PATH),
    "Kelvin sign": ("TAS\u212a\u212aILL", BUILTIN_PATH),
    "git.exe": ("git.exe", None),
    "dir.exe": ("dir.exe", None),
    "trailing blank": ("dir ", None),
    "where": ("where", None),
    "empty": ("", None),
    "dotted capital I": ("\u0130f", None),
}


@pytest.mark.parametrize("fuzzy", [False, True], ids=["plain", "fuzzy"])
@pytest.mark.parametrize("name, path", FALLBACK_NAMES.values(), ids=FALLBACK_NAMES.keys())
def test_the_fallback_tests_the_name_not_the_query(fake, name, fuzzy, path):
    fake.sandbox.write_where(code=1)
    assert fake.lookup(name, fuzzy) == (name, path)
    assert fake.sandbox.calls() == [[query_for(name, fuzzy).encode()]]


@pytest.mark.parametrize("fuzzy", [False, True], ids=["plain", "fuzzy"])
@pytest.mark.parametrize("name, path", [
    pytest.param("dir", BUILTIN_PATH, id="dir"),
    pytest.param("DIR", BUILTIN_PATH, id="DIR"),
    pytest.param("nosuch", None, id="other"),
])
@pytest.mark.parametrize("how", ["absent", "not executable", "bad interpreter line"])
@POSIX_FILE_MODES
def test_a_where_that_cannot_be_started_falls_back(fake, tmp_path, how, name, fuzzy, path):
    if how == "not executable":
        fake.sandbox.write_where(out=b"/must-not-run\n", mode=0o644)
    elif how == "bad interpreter line":
        script = fake.sandbox.write_where(out=b"/must-not-run\n")
        script.write_text("#!/nonexistent/interpreter\n" + script.read_text())
    assert fake.lookup(name, fuzzy, env={"PATH": str(tmp_path)}) == (name, path)
    assert fake.sandbox.calls() == []


NUL_NAMES = {"inside": "a\0b", "alone": "\0", "after a builtin": "dir\0", "before a builtin": "\0dir"}


@pytest.mark.parametrize("fuzzy", [False, True], ids=["plain", "fuzzy"])
@pytest.mark.parametrize("name", NUL_NAMES.values(), ids=NUL_NAMES.keys())
def test_a_name_with_nul_starts_no_child_and_is_no_builtin(fake, name, fuzzy):
    fake.sandbox.write_where(out=b"/must-not-run\n")
    assert fake.lookup(name, fuzzy) == (name, None)
    assert fake.sandbox.calls() == []


# The longest name whose query fits a Windows command line (32,767
# characters with the terminator): the quoted program path, a blank, the
# quoted query.
LONGEST_WINDOWS_NAME = 32766 - (len(str(WINDOWS_WHERE)) + 2) - 1 - 2 - len(EXT)


@pytest.mark.parametrize("fuzzy", [False, True], ids=["plain", "fuzzy"])
@pytest.mark.parametrize("length", [
    pytest.param(LONGEST_WINDOWS_NAME, id="longest that fits"),
    pytest.param(LONGEST_WINDOWS_NAME + 1, id="one too long"),
    pytest.param(40_000, id="far too long"),
])
def test_a_query_too_long_for_a_windows_command_line_starts_nothing(fake, length, fuzzy):
    # Windows cuts such a command line short (or refuses it); the child would
    # look up a query nobody asked for. POSIX passes it whole.
    name = "x" * (length - (2 if fuzzy else 0))
    fake.sandbox.write_where(out=b"/found\n")
    fits = not ON_WINDOWS or length <= LONGEST_WINDOWS_NAME
    assert fake.lookup(name, fuzzy) == (name, "/found" if fits else None)
    assert fake.sandbox.calls() == ([[query_for(name, fuzzy).encode()]] if fits else [])


@pytest.mark.parametrize("out, path", [
    pytest.param(b"/found\n", "/found", id="found"),
    pytest.param(b"", BUILTIN_PATH, id="builtin"),
])
def test_a_str_subclass_name_gives_a_plain_str(fake, out, path):
    fake.sandbox.write_where(out=out)
    # lookup() checks that item 0 is exactly str and equal to the name.
    assert fake.lookup("dir", False, subclass=True) == ("dir", path)


# ---------------------------------------------------------------------------
# Finding `where`

@POSIX_START_PATH
@pytest.mark.parametrize("places, answer", [
    (("module", "interpreter", "path"), "/beside-module"),
    (("interpreter", "path"), "/beside-interpreter"),
    (("module", "path"), "/beside-module"),
    (("path",), "/from-path"),
    # Loose in site-packages, a file of that name may be another
    # distribution's: only the project's own folder counts.
    (("loose beside the module", "path"), "/from-path"),
])
def test_where_is_looked_for_beside_the_module_then_the_interpreter_then_on_path(
        fake, tmp_path, places, answer):
    on_path = tmp_path / "on-path"
    on_path.mkdir()
    directories = {"module": fake.sandbox.tools, "interpreter": fake.sandbox.bin, "path": on_path,
                   "loose beside the module": fake.sandbox.lib}
    texts = {"module": b"/beside-module\n", "interpreter": b"/beside-interpreter\n",
             "path": b"/from-path\n", "loose beside the module": b"/loose\n"}
    for place in places:
        fake.sandbox.write_where(directories[place], out=texts[place])
    assert fake.lookup("tool", False, env={"PATH": str(on_path)}) == ("tool", answer)


@POSIX_START_PATH
def test_path_is_searched_in_order(fake, tmp_path):
    dirs = [tmp_path / d for d in ("missing", "without", "first", "second")]
    for d in dirs[1:]:
        d.mkdir()
    fake.sandbox.write_where(dirs[2], out=b"/first\n")
    fake.sandbox.write_where(dirs[3], out=b"/second\n")
    path = os.pathsep.join(map(str, dirs))
    assert fake.lookup("tool", False, env={"PATH": path}) == ("tool", "/first")
    (dirs[2] / "where").unlink()
    assert fake.lookup("tool", False, env={"PATH": path}) == ("tool", "/second")


# How the interpreter was started, and what it records in sys.executable:
# (how it is started, the code run before the lookup, the answer).
INTERPRETER_STARTS = {
    "by a relative path": ("bin/python", "", "/beside-interpreter"),
    "by ./ and a relative path": ("./bin/python", "", "/beside-interpreter"),
    # The start path no longer leads anywhere after a change of directory; the
    # interpreter's record still does, and the impostor in the new working
    # directory is not run.
    "by ./, then chdir": ("./python", "os.chdir(ELSEWHERE)", "/beside-interpreter"),
    # The process was started as the script, and a decoy `where` sits beside it.
    "by a #! line": ("script", "", "/beside-interpreter"),
    # A host that records another interpreter: its record counts, read at the call.
    "recording another interpreter": ("bin/python", "sys.executable = OTHER", "/other-interpreter"),
    # An embedding host without a record: what the process tells, never the script.
    "with sys.executable empty": ("bin/python", "sys.executable = ''", "/beside-interpreter"),
    "with no sys.executable": ("bin/python", "del sys.executable", "/beside-interpreter"),
    # A record that the file system cannot name is no record; nothing of the
    # failure to encode it is left pending.
    "recording an unencodable path": ("bin/python", "sys.executable = '\\ud800' + OTHER",
                                      "/beside-interpreter"),
    "by a #! line, with no sys.executable": ("script", "del sys.executable", None),
}


@POSIX_START_PATH
@pytest.mark.parametrize("start, before, answer", INTERPRETER_STARTS.values(),
                         ids=INTERPRETER_STARTS.keys())
def test_where_beside_the_interpreter_as_it_was_started(sandbox, start, before, answer):
    if answer is None and (Path(REAL_PYTHON).parent / "where").exists():
        pytest.skip("the real interpreter has a `where` of its own beside it")
    sandbox.write_where(out=b"/beside-interpreter\n")
    elsewhere, scripts, other = (sandbox.root / d for d in ("elsewhere", "scripts", "other"))
    for directory, text in ((elsewhere, b"/impostor\n"), (scripts, b"/decoy\n"),
                            (other, b"/other-interpreter\n")):
        directory.mkdir()
        sandbox.write_where(directory, out=text)
    source = textwrap.dedent(f"""
        import json, os, sys, _kelvar
        ELSEWHERE, OTHER = {str(elsewhere)!r}, {str(other / "python")!r}
        {before}
        print(json.dumps(_kelvar.find_executable('tool', False)))
    """)
    command, cwd = None, sandbox.root
    if start == "script":
        script = scripts / "tool-script"
        script.write_text(f"#!{sandbox.python}\n" + source)
        script.chmod(0o755)
        command = [str(script)]
    elif start == "./python":
        cwd = sandbox.bin
    assert sandbox.run(source, argv0=start, cwd=cwd, command=command) == ["tool", answer]


# On Windows the search starts beside the running executable, which is the
# interpreter there: what the host records for it moves nothing.
RECORDS = {case: before for case, (start, before, _) in INTERPRETER_STARTS.items()
           if start == "bin/python" and before}


@pytest.mark.skipif(not ON_WINDOWS, reason="the POSIX search looks beside the record (above)")
@pytest.mark.parametrize("before", RECORDS.values(), ids=RECORDS.keys())
def test_the_windows_search_ignores_the_interpreters_record(sandbox, before):
    sandbox.write_where(out=b"C:\\beside\\tool.exe\r\n")
    assert sandbox.run(f"""
        import json, os, sys, _kelvar
        OTHER = {str(sandbox.root / "other" / "python.exe")!r}
        {before}
        print(json.dumps(_kelvar.find_executable('tool', False)))
    """) == ["tool", "C:\\beside\\tool.exe"]
