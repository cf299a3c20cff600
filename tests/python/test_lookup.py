"""find_executable: the query given to `where`, how its answer is read, the
fallback to the built-in table, and the run of `where` as a child process.

Most tests drive a fake `where` (see _fake_where.py) through an interpreter
started from a sandbox: a shell script on POSIX, the test where.exe beside
the interpreter on Windows. The last group uses the real stand-in that the
wheel ships with the module.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

import _kelvar
from _fake_where import (
    CLOSE_THEN_EXIT_LATE,
    ECHO_ARGUMENT,
    ERR_THEN_OUT,
    KILLED_AFTER_PRINTING,
    OUT_THEN_ERR,
    REPLY_TIMEOUT,
    TOOLS,
    WRITE_PID_AND_HANG,
    MODULE_DIR,
    MODULE_FILE,
    ON_WINDOWS,
    REAL_PYTHON,
    WINDOWS_BODIES,
    WINDOWS_WHERE,
    LookupServer,
    Sandbox,
    wait_for_file_body,
    wait_for_path,
)

EXT = _kelvar.get_executable_extension()
BUILTIN_PATH = "C:\\Windows\\System32\\cmd.exe (built-in)"

if ON_WINDOWS:
    FAKE_WHERE_UNUSABLE = (
        not WINDOWS_WHERE.is_file() and f"no test where.exe at {WINDOWS_WHERE} (see .ci/windows)")
else:
    FAKE_WHERE_UNUSABLE = (
        not sys.platform.startswith("linux") or None in TOOLS.values()
    ) and "the fake `where` needs Linux (start path of the process, /proc) and cat, sleep, readlink, mv"

# Skips that name what Windows lacks or does otherwise.
NO_POSIX_SIGNALS = pytest.mark.skipif(ON_WINDOWS, reason="Windows has no POSIX signals")
NO_PROC = pytest.mark.skipif(ON_WINDOWS, reason="Windows has no /proc")
POSIX_START_PATH = pytest.mark.skipif(
    ON_WINDOWS, reason="on Windows `where` is looked for beside the executable, never by the "
    "start path or through links (the native tests check the Windows search order)")
POSIX_FILE_MODES = pytest.mark.skipif(
    ON_WINDOWS, reason="file modes and #! lines are POSIX; Windows has no mode bits to withhold")
WINDOWS_ONLY = pytest.mark.skipif(not ON_WINDOWS, reason="a property of the Windows runner")


def query_for(name, fuzzy):
    return ("*" + name + "*" if fuzzy else name) + EXT


@pytest.fixture(scope="module")
def _server_sandbox(tmp_path_factory):
    if FAKE_WHERE_UNUSABLE:
        pytest.skip(FAKE_WHERE_UNUSABLE)
    sandbox = Sandbox(tmp_path_factory.mktemp("lookup-server"))
    holder = {"server": LookupServer(sandbox)}
    yield sandbox, holder
    holder["server"].close()


@pytest.fixture
def fake(_server_sandbox):
    """A running lookup server and its sandbox, with no `where` beside the
    interpreter and an empty call record."""
    sandbox, holder = _server_sandbox
    if not holder["server"].alive():
        holder["server"].close()
        holder["server"] = LookupServer(sandbox)
    sandbox.remove_where()
    sandbox.reset_calls()
    server = holder["server"]
    server.sandbox = sandbox
    return server


@pytest.fixture
def sandbox(tmp_path):
    if FAKE_WHERE_UNUSABLE:
        pytest.skip(FAKE_WHERE_UNUSABLE)
    return Sandbox(tmp_path)


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


# ---------------------------------------------------------------------------
# The child's streams, environment and working directory

@pytest.mark.parametrize("out, err, body, path", [
    pytest.param(b"/from-stdout\n", b"C:\\from-stderr\r\n", ERR_THEN_OUT, "/from-stdout", id="stderr ignored"),
    pytest.param(b"/after\n", b"e" * (1 << 20), ERR_THEN_OUT, "/after", id="1 MiB stderr, then stdout"),
    pytest.param(b"/first\n" + b"/more\n" * 200_000, b"e" * (1 << 20), OUT_THEN_ERR, "/first",
                 id="1 MiB stdout, then 1 MiB stderr"),
    pytest.param(b"", b"/from-stderr\n", 'exec >&-\n"$CAT" "$ERR" >&2\n', None,
                 id="stdout closed, a path on stderr",
                 marks=pytest.mark.skipif(ON_WINDOWS, reason="a body of the POSIX fake")),
])
def test_both_streams_are_drained(fake, out, err, body, path):
    fake.sandbox.write_where(out=out, err=err, body=body)
    assert fake.lookup("tool", False) == ("tool", path)


@pytest.mark.parametrize("host_stdin", ["", "os.close(0); "], ids=["piped", "closed"])
def test_the_child_reads_the_null_device(sandbox, host_stdin):
    if ON_WINDOWS:
        # The test where.exe reads one byte and reports what it got.
        sandbox.write_where(body={"STDIN": "1"})
    else:
        body = ('"$READLINK" /proc/self/fd/0 > "$S/stdin-target"\n'
                '"$CAT" > "$S/stdin-data"\n'
                "printf '/ok\\n'\n")
        sandbox.write_where(body=body)
    result = sandbox.run(
        f"import json, os, _kelvar; {host_stdin}"
        "print(json.dumps(_kelvar.find_executable('tool', False)))",
        input=b"what the interpreter's stdin holds\n" * 100,
    )
    if ON_WINDOWS:
        assert result == ["tool", "eof"]
        return
    assert result == ["tool", "/ok"]
    assert (sandbox.state / "stdin-data").read_bytes() == b""
    assert (sandbox.state / "stdin-target").read_text().strip() == os.devnull


def test_the_child_inherits_environment_and_working_directory(fake, tmp_path):
    if ON_WINDOWS:
        fake.sandbox.write_where(body={"REPORT_ENV": "KELVAR_PROBE,KELVAR_GONE"})
    else:
        fake.sandbox.write_where(
            body="printf '%s|%s|%s\\n' \"$KELVAR_PROBE\" \"${KELVAR_GONE-unset}\" \"$(pwd -P)\"\n")
    env = {"KELVAR_PROBE": "set in the host", "KELVAR_GONE": None}
    expected = f"set in the host|unset|{tmp_path.resolve()}"
    assert fake.lookup("tool", False, env=env, cwd=str(tmp_path)) == ("tool", expected)


# ---------------------------------------------------------------------------
# Threads, signals and resources

def test_other_threads_run_while_where_runs(sandbox):
    # The fake waits for a file that only a Python thread of the host creates,
    # and only once the fake has started: it can appear only if that thread
    # runs Python code during the lookup.
    sandbox.write_where(body=wait_for_file_body("go", announce="started"))
    state = str(sandbox.state)
    result = sandbox.run(f"""
        import json, os, threading, time, _kelvar
        state = {state!r}
        counter = 0
        def worker():
            global counter
            while not os.path.exists(os.path.join(state, "started")):
                time.sleep(0.005)
            for _ in range(100_000):
                counter += 1
            open(os.path.join(state, "go"), "w").close()
        thread = threading.Thread(target=worker)
        thread.start()
        result = _kelvar.find_executable("tool", False)
        thread.join()
        print(json.dumps([list(result), counter]))
    """)
    assert result == [["tool", "/seen"], 100_000]


# Whether a process exists, without signalling it (on Windows os.kill with
# any number ends the process).
_PROCESS_EXISTS = """
def process_exists(pid):
    if sys.platform == "win32":
        import ctypes
        kernel32 = ctypes.WinDLL("kernel32")
        kernel32.OpenProcess.restype = ctypes.c_void_p
        kernel32.WaitForSingleObject.argtypes = [ctypes.c_void_p, ctypes.c_uint32]
        kernel32.CloseHandle.argtypes = [ctypes.c_void_p]
        SYNCHRONIZE = 0x00100000
        handle = kernel32.OpenProcess(SYNCHRONIZE, False, pid)
        if not handle:
            return False
        try:
            return kernel32.WaitForSingleObject(handle, 0) != 0  # not signalled: running
        finally:
            kernel32.CloseHandle(handle)
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False
"""
exec(_PROCESS_EXISTS)


def end_process(pid):
    """Kills a process that a failing test left behind."""
    if process_exists(pid):
        os.kill(pid, signal.SIGTERM if ON_WINDOWS else signal.SIGKILL)
        return True
    return False


_HANG_SOURCE = """
    import _thread, json, os, signal, sys, threading, time, _kelvar
    state = {state!r}
    how = {how!r}
    {process_exists}

    class FromHandler(Exception):
        pass

    def raising(signum, frame):
        raise FromHandler("raised by the handler")

    if hasattr(signal, "SIGUSR1"):
        signal.signal(signal.SIGUSR1, raising)
    # Started with SIGINT ignored (under nohup, or from a background job of
    # a script), the interpreter installs no handler of its own for it.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    if how == "interrupt_main from a thread":
        # What Ctrl+C amounts to on Windows, where the console handler
        # thread trips the interpreter's signal flag.
        def interrupter():
            while not os.path.exists(os.path.join(state, "pid")):
                time.sleep(0.005)
            _thread.interrupt_main()
        threading.Thread(target=interrupter, daemon=True).start()
    if how == "from a thread of the host":
        def sender():
            while not os.path.exists(os.path.join(state, "pid")):
                time.sleep(0.005)
            os.kill(os.getpid(), signal.SIGINT)
        # Started before the main thread blocks SIGINT (a new thread inherits
        # the mask), so the kernel hands the signal to the sender, and the
        # main thread learns of it only by asking.
        threading.Thread(target=sender, daemon=True).start()
        signal.pthread_sigmask(signal.SIG_BLOCK, {{signal.SIGINT}})

    def descriptors():
        return sorted(os.listdir("/proc/self/fd")) if sys.platform.startswith("linux") else None

    fds_before = descriptors()
    try:
        outcome = ["returned", list(_kelvar.find_executable("hang", False))]
    except BaseException as error:
        outcome = ["raised", type(error).__name__, str(error)]
    if how == "from a thread of the host":
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {{signal.SIGINT}})
    pid = int(open(os.path.join(state, "pid")).read())
    child = "still exists" if process_exists(pid) else "gone"
    fds_after = descriptors()
    print(json.dumps([outcome, child, fds_before == fds_after]))
"""


@pytest.mark.parametrize("how, signum, outcome", [
    pytest.param("from another process", "SIGINT", ["raised", "KeyboardInterrupt", ""],
                 id="SIGINT from another process", marks=NO_POSIX_SIGNALS),
    pytest.param("from another process", "SIGUSR1", ["raised", "FromHandler", "raised by the handler"],
                 id="SIGUSR1 handler raising", marks=NO_POSIX_SIGNALS),
    pytest.param("from a thread of the host", None, ["raised", "KeyboardInterrupt", ""],
                 id="SIGINT received by another thread", marks=NO_POSIX_SIGNALS),
    pytest.param("interrupt_main from a thread", None, ["raised", "KeyboardInterrupt", ""],
                 id="interrupt_main"),
])
def test_a_signal_handler_that_raises_ends_a_hung_lookup(sandbox, how, signum, outcome):
    sandbox.write_where(body=WRITE_PID_AND_HANG)
    source = _HANG_SOURCE.format(state=str(sandbox.state), how=how,
                                 process_exists=textwrap.indent(_PROCESS_EXISTS, " " * 4).strip())
    proc = sandbox.popen(source)
    pid_file = sandbox.state / "pid"
    try:
        wait_for_path(pid_file)
        if signum is not None:
            proc.send_signal(getattr(signal, signum))
        # The fake sleeps 60 s; the answer must come long before that.
        out, err = proc.communicate(timeout=15)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        left_behind = pid_file.exists() and end_process(int(pid_file.read_text()))
    assert proc.returncode == 0, err.decode(errors="replace")
    result = json.loads(out.decode().splitlines()[-1])
    assert result == [outcome, "gone", True]
    assert not left_behind


@NO_POSIX_SIGNALS
def test_a_signal_handler_that_returns_lets_the_lookup_go_on(sandbox):
    # The handler creates the file that the fake waits for: the answer shows
    # that the handler ran while `where` was still running.
    sandbox.write_where(body=wait_for_file_body("handled", announce="pid",
                                                seen="/after-handler", unseen="/handler-never-ran"))
    state = str(sandbox.state)
    proc = sandbox.popen(f"""
        import json, os, signal, _kelvar
        calls = []
        def handler(signum, frame):
            calls.append(signum)
            open(os.path.join({state!r}, "handled"), "w").close()
        signal.signal(signal.SIGUSR2, handler)
        print(json.dumps([list(_kelvar.find_executable("tool", False)), calls]))
    """)
    try:
        wait_for_path(sandbox.state / "pid")
        proc.send_signal(signal.SIGUSR2)
        out, err = proc.communicate(timeout=REPLY_TIMEOUT)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0, err.decode(errors="replace")
    assert json.loads(out.decode().splitlines()[-1]) == [["tool", "/after-handler"], [signal.SIGUSR2]]


def test_concurrent_lookups_each_get_their_own_answer(sandbox):
    if ON_WINDOWS:
        sandbox.write_where(body={**WINDOWS_BODIES[ECHO_ARGUMENT], "SLEEP_MS": "20"})
    else:
        sandbox.write_where(body='"$SLEEP" 0.02\n' + ECHO_ARGUMENT)
    result = sandbox.run("""
        import json, os, threading, _kelvar
        ext = _kelvar.get_executable_extension()
        barrier = threading.Barrier(8)
        wrong = []
        def work(t):
            barrier.wait()
            for j in range(8):
                name = f"thread{t}-call{j}-" + "ä" * t
                fuzzy = bool(j % 2)
                query = ("*" + name + "*" if fuzzy else name) + ext
                got = _kelvar.find_executable(name, fuzzy)
                if got != (name, "/found/" + query):
                    wrong.append([name, list(got)])
        threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print(json.dumps(wrong))
    """)
    assert result == []
    assert len(sandbox.calls()) == 64


@pytest.mark.parametrize("threads", [1, 4], ids=["one lookup", "lookups on four threads"])
def test_no_inheritable_handle_of_the_host_reaches_the_child(sandbox, threads):
    # The host makes a pipe whose write end may be inherited, and closes it
    # as soon as `where` has started: its reader sees the end of the stream
    # only if no child holds a copy. `where` waits for the file that the
    # reader creates then, and says whether it came.
    sandbox.write_where(body=wait_for_file_body("eof", announce="started"))
    state = str(sandbox.state)
    result = sandbox.run(f"""
        import json, os, threading, time, _kelvar
        state = {state!r}
        r, w = os.pipe()
        os.set_inheritable(w, True)
        def closer():
            while not os.path.exists(os.path.join(state, "started")):
                time.sleep(0.005)
            os.close(w)
            os.read(r, 1)
            open(os.path.join(state, "eof"), "w").close()
        threading.Thread(target=closer).start()
        results = []
        workers = [threading.Thread(target=lambda: results.append(
            list(_kelvar.find_executable("tool", False)))) for _ in range({threads})]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        print(json.dumps(results))
    """)
    assert result == [["tool", "/seen"]] * threads


def where_is_gone(pid):
    if ON_WINDOWS:
        return not process_exists(pid)
    # An orphan killed with its parent may stay a zombie when nobody reaps
    # it (a container's first process need not): gone all the same.
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rpartition(")")[2].split()[0] in ("Z", "X")
    except FileNotFoundError:
        return True


@pytest.mark.parametrize("ending", ["pass", "sys.stdout.flush(); os._exit(0)"],
                         ids=["normal exit", "os._exit"])
def test_no_where_outlives_its_interpreter(sandbox, ending):
    # A lookup on a daemon thread is frozen or ended when the interpreter
    # exits; the hung child must end with the process all the same.
    sandbox.write_where(body=WRITE_PID_AND_HANG)
    pid_file = sandbox.state / "pid"
    proc = subprocess.run(
        [str(sandbox.python), "-c", textwrap.dedent(f"""
            import os, sys, threading, time, _kelvar
            threading.Thread(target=_kelvar.find_executable, args=("hang", False), daemon=True).start()
            while not os.path.exists({str(pid_file)!r}):
                time.sleep(0.005)
            {ending}
        """)],
        stdin=subprocess.DEVNULL, capture_output=True, env=sandbox.env(), timeout=REPLY_TIMEOUT,
    )
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    hung = int(pid_file.read_text())
    deadline = time.monotonic() + REPLY_TIMEOUT
    while not where_is_gone(hung) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert where_is_gone(hung) or not end_process(hung), "where ran on after its interpreter had exited"


def _code_pages():
    import ctypes

    kernel32 = ctypes.WinDLL("kernel32")
    return kernel32.GetOEMCP(), kernel32.GetACP()


@WINDOWS_ONLY
@pytest.mark.parametrize("encoding, what", [
    pytest.param("cp437", "file", id="OEM code page"),
    pytest.param("cp1252", "file", id="ANSI code page"),
    pytest.param("cp437", "folder", id="a folder does not confirm"),
    pytest.param("cp437", "nothing", id="no such file"),
])
def test_output_in_a_code_page_is_read_when_it_names_a_file(fake, tmp_path, encoding, what):
    if _code_pages() != (437, 1252):
        pytest.skip("the cases are written for OEM code page 437 and ANSI code page 1252")
    # "é" is 0x82 in 437 and 0xE9 in 1252; each byte reads otherwise in the
    # other page, so only the right page gives the name that exists.
    path = tmp_path / "café.exe"
    if what == "file":
        path.write_bytes(b"")
    elif what == "folder":
        path.mkdir()
    printed = str(path).encode(encoding)
    fake.sandbox.write_where(out=printed + b"\r\n")
    expected = str(path) if what == "file" else printed.decode("utf-8", "replace")
    assert fake.lookup("tool", False) == ("tool", expected)


@NO_PROC
def test_no_descriptor_or_child_is_left_behind(sandbox):
    body = ('case "$1" in\n'
            "  *fail*) printf '/a\\n'; exit 1 ;;\n"
            "  *quiet*) exit 0 ;;\n"
            "  *noisy*) printf 'err\\n' >&2; printf '/noisy\\n' ;;\n"
            "esac\n" + ECHO_ARGUMENT)
    sandbox.write_where(body=body)
    result = sandbox.run("""
        import json, os, _kelvar
        names = ["tool", "fail", "quiet", "noisy", "dir", "a\\0b"]
        def round_():
            return [_kelvar.find_executable(n, f) for n in names for f in (False, True)]
        first = round_()
        before = sorted(os.listdir("/proc/self/fd"))
        for _ in range(20):
            assert round_() == first
        after = sorted(os.listdir("/proc/self/fd"))
        try:
            os.waitpid(-1, os.WNOHANG)
            children = "some"
        except ChildProcessError:
            children = "none"
        print(json.dumps([before == after, children, [list(r) for r in first]]))
    """)
    same_descriptors, children, first = result
    assert same_descriptors
    assert children == "none"
    assert first == [
        ["tool", "/found/tool"], ["tool", "/found/*tool*"],
        ["fail", None], ["fail", None],
        ["quiet", None], ["quiet", None],
        ["noisy", "/noisy"], ["noisy", "/noisy"],
        ["dir", "/found/dir"], ["dir", "/found/*dir*"],
        ["a\0b", None], ["a\0b", None],
    ]


@NO_POSIX_SIGNALS
@pytest.mark.parametrize("host", {
    "SIGCHLD ignored": "signal.signal(signal.SIGCHLD, signal.SIG_IGN)",
    "a thread reaping every child": "threading.Thread(target=reap, daemon=True).start()",
}.values(), ids=["SIGCHLD ignored", "a thread reaping every child"])
def test_a_child_status_taken_by_the_host_still_gives_the_answer(sandbox, host):
    # The kernel, or the host, reaps `where` before the lookup can: its
    # output, read to the end, is the answer all the same.
    sandbox.write_where(body=ECHO_ARGUMENT)
    result = sandbox.run(f"""
        import json, os, signal, threading, time, _kelvar
        def reap():
            while True:
                try:
                    os.waitpid(-1, 0)
                except ChildProcessError:
                    time.sleep(0.0005)
        {host}
        print(json.dumps([_kelvar.find_executable(f"tool{{i}}", False)[1] for i in range(40)]))
    """)
    assert result == [f"/found/{query_for(f'tool{i}', False)}" for i in range(40)]


# ---------------------------------------------------------------------------
# The real stand-in shipped with the module

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
