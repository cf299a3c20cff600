"""find_executable's `where` on Windows and the console it runs in: the code
page its output is read in, the windows it may open, what it may change in
a console it shares, and reads that someone else breaks. Each host here is
an interpreter started for the purpose, with or without a console.
"""

import json
import os
import subprocess
import textwrap

import pytest

from _lookup_helpers import WINDOWS_ONLY
from _where_bodies import wait_for_file_body


def _code_pages():
    import ctypes

    kernel32 = ctypes.WinDLL("kernel32")
    return kernel32.GetOEMCP(), kernel32.GetACP()


@WINDOWS_ONLY
@pytest.mark.parametrize("encoding, name, what", [
    pytest.param("cp437", "café.exe", "file", id="OEM code page"),
    pytest.param("cp1252", "café.exe", "file", id="ANSI code page"),
    pytest.param("cp437", "café.exe", "folder", id="a folder does not confirm"),
    pytest.param("cp437", "café.exe", "nothing", id="no such file"),
    # Ω is in 437, not in 1252: written in the ANSI page it would come back
    # best-fitted to "O", valid UTF-8 that names nothing.
    pytest.param("console", "Ωmega.exe", "file", id="the console's code page, a letter only OEM has"),
])
def test_output_in_a_code_page_is_read_when_it_names_a_file(fake, tmp_path, encoding, name, what):
    if _code_pages() != (437, 1252):
        pytest.skip("the cases are written for OEM code page 437 and ANSI code page 1252")
    # "é" is 0x82 in 437 and 0xE9 in 1252; each byte reads otherwise in the
    # other page, so only the right page gives the name that exists.
    path = tmp_path / name
    if what == "file":
        path.write_bytes(b"")
    elif what == "folder":
        path.mkdir()
    if encoding == "console":
        # A `where` that encodes by GetConsoleOutputCP(), whatever console it got.
        fake.sandbox.write_where(body={"CONSOLE_TEXT": str(path)})
        assert fake.lookup("tool", False) == ("tool", str(path))
        return
    printed = str(path).encode(encoding)
    fake.sandbox.write_where(out=printed + b"\r\n")
    expected = str(path) if what == "file" else printed.decode("utf-8", "replace")
    assert fake.lookup("tool", False) == ("tool", expected)


_PAGE_HOST = """
    import ctypes, json, os, _kelvar
    kernel32 = ctypes.WinDLL("kernel32")
    kernel32.SetConsoleOutputCP({page})  # as chcp does
    os.environ["KELVAR_FAKE_WHERE_CONSOLE_TEXT"] = {path!r}
    print(json.dumps([kernel32.GetConsoleOutputCP(), _kelvar.find_executable("tool", False)[1]]))
"""


@WINDOWS_ONLY
@pytest.mark.parametrize("page, folder, neighbour", [
    pytest.param(850, "Bjørn", None, id="850"),
    pytest.param(866, "Жук", None, id="866"),
    pytest.param(1251, "Жук", None, id="1251"),
    pytest.param(932, "日本語", None, id="932"),
    pytest.param(936, "中文Ω", None, id="936"),
    pytest.param(65001, "Жук中文", None, id="65001"),
    # Written in 1252 these are valid UTF-8 for another name ("café", "ܖX").
    pytest.param(1252, "cafÃ©", "café", id="1252, valid UTF-8 for a folder that is not there"),
    pytest.param(1252, "Ü–X", None, id="1252, valid UTF-8 for another name"),
    # 0xE9 is "é" in 1252 and "Θ" in the OEM page 437, both folders here.
    pytest.param(1252, "é", "Θ", id="1252, the OEM reading names a neighbour"),
])
def test_where_is_read_in_the_code_page_of_the_shared_console(sandbox, tmp_path, page, folder,
                                                              neighbour):
    # `where` shares the console of a host whose user ran chcp, and writes
    # in that page, as a program that follows GetConsoleOutputCP() does.
    path = tmp_path / folder / "tool.exe"
    for name in filter(None, [folder, neighbour]):
        (tmp_path / name).mkdir()
        (tmp_path / name / "tool.exe").write_bytes(b"")
    sandbox.write_where(body={"CONSOLE_TEXT": "set by the host"})
    source = textwrap.dedent(_PAGE_HOST.format(page=page, path=str(path)))
    proc = subprocess.run([str(sandbox.python), "-c", source], capture_output=True,
                          stdin=subprocess.DEVNULL, env=sandbox.env(), creationflags=0x08000000,
                          timeout=60)  # CREATE_NO_WINDOW: a console host, as a terminal gives
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    host_page, answer = json.loads(proc.stdout.decode().splitlines()[-1])
    if host_page != page:
        pytest.skip(f"the console here cannot take code page {page}")
    assert answer == str(path)


_CONSOLE_HOST = """
    import ctypes, json, os, signal, threading, time, _kelvar
    kernel32 = ctypes.WinDLL("kernel32")
    if {page}:
        kernel32.SetConsoleOutputCP({page})  # as chcp does
    report = _kelvar.find_executable("tool", False)[1]
    # Then a Ctrl+C on the host's console, if it has one, while `where`
    # waits for the file that the host's handler (which returns) creates.
    del os.environ["KELVAR_FAKE_WHERE_CONSOLE_REPORT"]
    os.environ.update({wait!r})
    def handler(signum, frame):
        open(os.environ["KELVAR_FAKE_WHERE_WAIT_FILE"], "w").close()
    signal.signal(signal.SIGINT, handler)
    def sender():
        while not os.path.exists(os.environ["KELVAR_FAKE_WHERE_PID_FILE"]):
            time.sleep(0.005)
        if not kernel32.GenerateConsoleCtrlEvent(0, 0):  # CTRL_C_EVENT, the whole console
            handler(None, None)
    threading.Thread(target=sender, daemon=True).start()
    after_ctrl_c = _kelvar.find_executable("tool", False)[1]
    print(json.dumps([kernel32.GetConsoleOutputCP(), report, after_ctrl_c]))
"""


@WINDOWS_ONLY
@pytest.mark.parametrize("flags, page, host_page, where_page", [
    # Shared, so `where` writes in the code page the user set with chcp.
    pytest.param(0x08000000, 850, 850, 850, id="a host with a console"),  # CREATE_NO_WINDOW
    # pythonw or a service: a windowless console, the OEM page, no window.
    pytest.param(0x00000008, 0, 0, "OEM", id="a host with no console"),  # DETACHED_PROCESS
])
def test_where_gets_a_console_that_opens_no_window(sandbox, flags, page, host_page, where_page):
    sandbox.write_where(body={"CONSOLE_REPORT": "1"})
    wait = {"KELVAR_FAKE_WHERE_" + key: value.replace("@STATE@", str(sandbox.state)) for key, value in
            wait_for_file_body("handled", announce="pid", seen="/after-handler").items()}
    source = textwrap.dedent(_CONSOLE_HOST.format(page=page, wait=wait))
    proc = subprocess.run([str(sandbox.python), "-c", source], capture_output=True,
                          stdin=subprocess.DEVNULL, env=sandbox.env(), creationflags=flags, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    oem = _code_pages()[0]
    expected_page = oem if where_page == "OEM" else where_page
    # AllocConsole() is refused: a program's own console would be a window.
    assert json.loads(proc.stdout.decode().splitlines()[-1]) == [
        host_page, f"console {expected_page} refused", "/after-handler"]


_TOGGLING_HOST = """
    import ctypes, json, subprocess, threading, time, _kelvar
    kernel32 = ctypes.WinDLL("kernel32")
    kernel32.CreateEventW.restype = ctypes.c_void_p
    event = kernel32.CreateEventW(None, True, False, "Local\\\\kelvar-toggle-%d" % kernel32.GetCurrentProcessId())
    # A windowless console to come back to: that of a program of the host's.
    holder = subprocess.Popen([{where!r}, "--hold", "Local\\\\kelvar-toggle-%d" % kernel32.GetCurrentProcessId()],
                              creationflags=0x08000000)  # CREATE_NO_WINDOW
    kernel32.FreeConsole()
    while not kernel32.AttachConsole(holder.pid):
        time.sleep(0.01)
    done = threading.Event()
    def toggler():
        while not done.is_set():
            kernel32.FreeConsole()
            kernel32.AttachConsole(holder.pid)
    thread = threading.Thread(target=toggler, daemon=True)
    thread.start()
    reports = [_kelvar.find_executable("tool", False)[1] for _ in range({lookups})]
    done.set()
    thread.join()
    kernel32.SetEvent(ctypes.c_void_p(event))
    holder.wait()
    print(json.dumps(reports))
"""


NEEDS_A_DISPLAY = pytest.mark.skipif("DISPLAY" not in os.environ,
                                     reason="a console window needs a display (Xvfb will do)")


@WINDOWS_ONLY
@NEEDS_A_DISPLAY
def test_a_host_losing_its_console_during_a_start_opens_no_window(sandbox):
    # Another thread of the host gives up its console and takes it back
    # without pause: `where` shares it, gets a windowless one, or, started
    # in the instant the host had none, one whose window stays hidden.
    where = sandbox.write_where(body={"WINDOW_REPORT": "1"})
    source = textwrap.dedent(_TOGGLING_HOST.format(where=str(where), lookups=100))
    proc = subprocess.run([str(sandbox.python), "-c", source], capture_output=True,
                          stdin=subprocess.DEVNULL, env=sandbox.env(), timeout=120)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    reports = json.loads(proc.stdout.decode().splitlines()[-1])
    oem = _code_pages()[0]
    # A start that the console's going made fail is tried again: every
    # lookup is `where`'s answer, never the table's None. Started in the
    # instant the console went, `where` may have no console at all (page 0),
    # which opens nothing either.
    allowed = (f"window {oem} none", f"window {oem} hidden", "window 0 none")
    assert [r for r in reports if r not in allowed] == []


@WINDOWS_ONLY
@NEEDS_A_DISPLAY
@pytest.mark.parametrize("flags", [
    pytest.param(0x08000000, id="a host with a console"),  # CREATE_NO_WINDOW
    pytest.param(0x00000008, id="a host with no console"),  # DETACHED_PROCESS
])
def test_a_console_that_where_allocates_itself_is_hidden(sandbox, flags):
    sandbox.write_where(body={"WINDOW_REPORT": "1", "REALLOC": "1"})
    proc = subprocess.run([str(sandbox.python), "-c", "import _kelvar; print(_kelvar.find_executable('tool', False)[1])"],
                          capture_output=True, stdin=subprocess.DEVNULL, env=sandbox.env(),
                          creationflags=flags, timeout=60)
    assert proc.stdout.decode().split() == ["window", str(_code_pages()[0]), "hidden"]


_CHANGED_CONSOLE_HOST = """
    import ctypes, json, subprocess, _kelvar
    kernel32 = ctypes.WinDLL("kernel32")
    kernel32.CreateFileW.restype = ctypes.c_void_p
    def console(processed=None):
        conin = ctypes.c_void_p(kernel32.CreateFileW("CONIN$", 0xC0000000, 3, None, 3, 0, None))
        mode = ctypes.c_ulong()
        kernel32.GetConsoleMode(conin, ctypes.byref(mode))
        if processed:
            kernel32.SetConsoleMode(conin, mode.value | 1)  # ENABLE_PROCESSED_INPUT
        kernel32.CloseHandle(conin)
        return [kernel32.GetConsoleOutputCP(), bool(mode.value & 1)]
    before = console()
    _kelvar.find_executable("tool", False)
    after_lookup = console(processed=True)
    kernel32.SetConsoleOutputCP(before[0])
    subprocess.run([{where!r}, "tool"], capture_output=True)
    print(json.dumps([before, after_lookup, console()]))
"""


@WINDOWS_ONLY
def test_a_where_that_changes_the_shared_console_leaves_it_changed(sandbox):
    # As subprocess.run leaves it: the host's console is `where`'s too.
    where = sandbox.write_where(body={"CHANGE_CONSOLE": "1"})
    source = textwrap.dedent(_CHANGED_CONSOLE_HOST.format(where=str(where)))
    proc = subprocess.run([str(sandbox.python), "-c", source], capture_output=True,
                          stdin=subprocess.DEVNULL, env=sandbox.env(), creationflags=0x08000000,
                          timeout=60)  # CREATE_NO_WINDOW: a console host
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    oem = _code_pages()[0]
    assert json.loads(proc.stdout.decode().splitlines()[-1]) == [
        [oem, True], [65001, False], [65001, False]]


@WINDOWS_ONLY
def test_reads_cancelled_from_outside_fall_back(sandbox):
    # A host thread cancels the I/O of every handle of the process while
    # `where` takes its time: a broken read is a failed run, never an error.
    sandbox.write_where(out=b"C:\\found\\dir.exe\r\n", body={"SLEEP_MS": "40"})
    answers, cancelled = sandbox.run("""
        import ctypes, json, threading, _kelvar
        kernel32 = ctypes.WinDLL("kernel32")
        kernel32.CancelIoEx.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
        done, cancelled = threading.Event(), []
        def canceller():
            while not done.is_set():
                cancelled.extend(v for v in range(4, 4096, 4) if kernel32.CancelIoEx(v, None))
        thread = threading.Thread(target=canceller, daemon=True)
        thread.start()
        answers = {_kelvar.find_executable("dir", False)[1] for _ in range(10)}
        done.set()
        thread.join()
        print(json.dumps([sorted(answers), bool(cancelled)]))
    """)
    assert cancelled
    assert set(answers) <= {"C:\\found\\dir.exe", "C:\\Windows\\System32\\cmd.exe (built-in)"}
