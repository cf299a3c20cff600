"""The module imports and answers in legacy sub-interpreters, also when a
sub-interpreter is the first user of the once-only values; daemon threads
inside a call at shutdown let the process end, and arguments freed by their
caller during the call are never read.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import _kelvar
from _reliability_helpers import CHILD_TIMEOUT, CMD, EXT, runs_for


# ---------------------------------------------------------------------------
# Sub-interpreters

SUBINTERP_CODE = r"""
import json, _kelvar
class Huge:
    def __len__(self): return 2**61
    def __getitem__(self, i): raise IndexError(i)
out = {}
try:
    _kelvar.sum_as_arr(Huge())
except BaseException as exc:
    out["panic"] = [type(exc).__module__, type(exc).__name__, str(exc), id(type(exc))]
for name, call in [
    ("sequence", lambda: _kelvar.sum_as_arr(5)),
    ("fuzzy", lambda: _kelvar.find_executable("x", 1)),
    ("missing", lambda: _kelvar.fib()),
]:
    try:
        call()
    except TypeError as exc:
        out[name] = str(exc)
out["answers"] = [
    _kelvar.fib(20), _kelvar.sum_as_arr((1, 2, 3)), _kelvar.is_windows_builtin("Dir"),
    list(_kelvar.find_executable("dir", False)), list(_kelvar.find_executable("kelvar-none", True)),
    _kelvar.get_version(), _kelvar.get_cmd_exe_path(), _kelvar.get_executable_extension(),
    _kelvar.is_windows(), _kelvar.__all__, _kelvar.__doc__,
]
with open(OUT, "w") as f:
    json.dump(out, f)
"""

SUBINTERP_MAIN = r"""
import json, sys
import _testcapi
code = SUBINTERP_CODE
def sub(path):
    rc = _testcapi.run_in_subinterp(code.replace("OUT", repr(path)))
    with open(path) as f:
        return [rc, json.load(f)]
runs = []
if FIRST:
    # The sub-interpreter is the first user of every once-only value; the
    # main interpreter uses them only after it has gone.
    runs.append(sub(DIR + "/first.json"))
import _kelvar
exec(code.replace("OUT", repr(DIR + "/main.json")))
with open(DIR + "/main.json") as f:
    runs.append([0, json.load(f)])
for i in range(2):
    runs.append(sub(DIR + f"/again{i}.json"))
print(json.dumps(runs))
"""


@pytest.mark.parametrize("first", [False, True], ids=["after the main interpreter", "first user"])
def test_sub_interpreters(tmp_path, first):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("_testcapi.run_in_subinterp is not available")
    source = (SUBINTERP_MAIN.replace("SUBINTERP_CODE", repr(SUBINTERP_CODE))
              .replace("FIRST", repr(first)).replace("DIR", repr(str(tmp_path))))
    env = dict(os.environ, PATH=str(tmp_path))
    proc = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                          env=env, timeout=CHILD_TIMEOUT)
    assert proc.returncode == 0, proc.stderr[-4000:]
    runs = json.loads(proc.stdout)
    assert len(runs) == (4 if first else 3)
    panic_id = runs[0][1]["panic"][3]
    expected = {
        "panic": ["pyo3_runtime", "PanicException", "capacity overflow", panic_id],
        "sequence": "argument 'arr': 'int' object is not an instance of 'Sequence'",
        "fuzzy": "argument 'fuzzy': 'int' object is not an instance of 'bool'",
        "missing": "fib() missing 1 required positional argument: 'n'",
        "answers": [
            6765, 6, True, ["dir", CMD], ["kelvar-none", None], "0.1.0", CMD, EXT,
            _kelvar.is_windows(), list(_kelvar.__all__), "Main Kelvar module",
        ],
    }
    # The same answers everywhere, and one PanicException type per process.
    assert runs == [[0, expected]] * len(runs)


# ---------------------------------------------------------------------------
# Hostile hosts: threads ended at shutdown, arguments freed during the call

SHUTDOWN_SOURCE = r"""
import _thread, random, threading, time, _kelvar
def nap():
    time.sleep(0.0005)  # gives up the lock and asks for it back
class Sleepy:
    def __index__(self):
        nap()
        return 1
class Slow:  # a sequence of its own, read through its iterator
    def __len__(self):
        return 50
    def __getitem__(self, i):
        if i >= 50:
            raise IndexError(i)
        nap()
        return 1
class Dying:  # whose last reference the module holds
    def __index__(self):
        return 1
    def __del__(self):
        nap()
class Fresh(Slow):
    def __iter__(self):
        return (Dying() for _ in range(50))
class Held:  # made for the module alone: its last reference is the module's
    def __del__(self):
        nap()
# Taken for a NumPy boolean by its type's name and module; its __bool__
# answers an object that is no bool, so the module refuses it and drops the
# error that holds it.
bool_ = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: (nap(), Held())[1]})
class Refused:  # whose __index__ raises an error holding an object of its own
    def __index__(self):
        nap()
        raise TypeError(Held())
class Sole:  # fib's argument; the caller's keyword dictionary is emptied
    def __init__(self, kwargs):
        self.kwargs = kwargs
    def __index__(self):
        self.kwargs.clear()  # now the module's reference is the last one
        del self.kwargs
        progress[0] += 1
        nap()
        return 1
    def __del__(self):  # long, so that the exit finds threads in here
        for _ in range(20):
            nap()
started = [0]
spawning = [True]
def sole():
    if not spawning[0]:
        return time.sleep(0.002)
    kwargs = {}
    kwargs["n"] = Sole(kwargs)
    # The thread's bootstrap passes this very dictionary to the function.
    started[0] += 1
    _thread.start_new_thread(_kelvar.fib, (), kwargs)
    time.sleep(0.002)
def stop_spawning():
    # CPython before 3.12 can crash in its own start of a thread that the
    # exit overtakes (in _PyThreadState_Init, before the thread runs any
    # code), whatever the thread was to call. So the exit comes once every
    # thread started is inside fib, where the last of them still are.
    spawning[0] = False
    time.sleep(0.01)  # a spawn under way when the flag fell has begun
    while progress[0] < started[0] and time.monotonic() < deadline:
        time.sleep(0.0002)
CALLS = {
    "lookups": lambda: _kelvar.find_executable("sh", False),
    "index": lambda arr=[Sleepy() for _ in range(50)]: _kelvar.sum_as_arr(arr),
    "sequence": lambda: _kelvar.sum_as_arr(Slow()),
    "finaliser": lambda: _kelvar.sum_as_arr(Fresh()),
    "fib": lambda n=Sleepy(): _kelvar.fib(n),
    "flag": lambda flag=bool_(): _kelvar.find_executable("cls", flag),
    "error": lambda: _kelvar.fib(Refused()),
    "sole": sole,
}
progress = [0]
calls = [0] * THREADS
def loop(i, call=CALLS[TARGET]):
    while True:
        try:
            call()
        except TypeError:
            pass
        calls[i] += 1
for i in range(THREADS):
    threading.Thread(target=loop, args=(i,), daemon=True).start()
# Every thread is past its first call, and so inside the module or about to
# enter it again, before the exit comes at a random moment.
deadline = time.monotonic() + 60
while min(calls) == 0 and time.monotonic() < deadline:
    time.sleep(0.001)
time.sleep(random.uniform(0.02, 0.15))
if TARGET == "sole":
    stop_spawning()
print("calls made on every thread:", min(calls) > 0, "reached the module:",
      TARGET != "sole" or progress[0] > 0)
"""


@pytest.mark.parametrize("target, threads", [
    pytest.param("lookups", 1, id="one thread in lookups"),
    pytest.param("lookups", 4, id="four threads in lookups"),
    pytest.param("index", 16, id="elements whose __index__ runs Python code"),
    pytest.param("sequence", 16, id="a sequence whose __getitem__ runs Python code"),
    pytest.param("finaliser", 16, id="elements whose finaliser runs Python code"),
    pytest.param("fib", 16, id="fib of an object whose __index__ runs Python code"),
    pytest.param("flag", 16, id="a NumPy-like flag whose __bool__ answers a non-bool object"),
    pytest.param("error", 16, id="an error of __index__ holding an object of its own"),
    pytest.param("sole", 16, id="fib of an argument whose last reference the module holds"),
])
def test_daemon_threads_inside_a_call_at_shutdown_let_the_process_end(target, threads):
    # The interpreter ends such a thread when it asks for the lock back, be it
    # the module's own wait or Python code that the module called; the
    # process must still end as the script says, every time, with nothing
    # written to its standard error. Each object made for the module alone
    # has a finaliser that gives up the lock: a release without the lock
    # would run it without the lock, and a release inside a frame that may
    # not unwind would end the process. Fewer exits where an interpreter
    # start costs several times its native time; Windows ends such a thread
    # without unwinding it, so two say enough there.
    source = SHUTDOWN_SOURCE.replace("THREADS", str(threads)).replace("TARGET", repr(target))
    for _ in range(runs_for(8)):
        with subprocess.Popen([sys.executable, "-c", source], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) as proc:
            stdout, stderr = proc.communicate(timeout=CHILD_TIMEOUT)
        # No `where` of an abandoned lookup is left behind, not even one
        # whose start the interpreter's exit interrupted.
        left = children_left_by(proc.pid)
        assert (proc.returncode, stderr, left) == (0, "", [])
        assert stdout == "calls made on every thread: True reached the module: True\n"


def children_left_by(pid):
    """The `where` processes that the ended process `pid` started and that
    still exist, killed so that they do not hold the test run's pipes. Other
    children are the system's own (Wine starts its desktop process from
    whichever program comes first). On POSIX the kernel hands an orphan to
    another parent; the lookup tests check there that `where` does not
    outlive its interpreter."""
    if sys.platform != "win32":
        return []
    import ctypes
    from ctypes import wintypes

    class PROCESSENTRY32W(ctypes.Structure):
        _fields_ = [("dwSize", wintypes.DWORD), ("cntUsage", wintypes.DWORD),
                    ("th32ProcessID", wintypes.DWORD), ("th32DefaultHeapID", ctypes.c_size_t),
                    ("th32ModuleID", wintypes.DWORD), ("cntThreads", wintypes.DWORD),
                    ("th32ParentProcessID", wintypes.DWORD), ("pcPriClassBase", wintypes.LONG),
                    ("dwFlags", wintypes.DWORD), ("szExeFile", wintypes.WCHAR * 260)]

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.CreateToolhelp32Snapshot.restype = wintypes.HANDLE
    kernel32.OpenProcess.restype = wintypes.HANDLE
    snapshot = kernel32.CreateToolhelp32Snapshot(0x2, 0)  # TH32CS_SNAPPROCESS
    entry = PROCESSENTRY32W()
    entry.dwSize = ctypes.sizeof(entry)
    left = []
    try:
        more = kernel32.Process32FirstW(wintypes.HANDLE(snapshot), ctypes.byref(entry))
        while more:
            if entry.th32ParentProcessID == pid and entry.szExeFile.lower() == "where.exe":
                left.append(entry.szExeFile)
                handle = kernel32.OpenProcess(0x1, False, entry.th32ProcessID)  # PROCESS_TERMINATE
                if handle:
                    kernel32.TerminateProcess(wintypes.HANDLE(handle), 1)
                    kernel32.CloseHandle(wintypes.HANDLE(handle))
            more = kernel32.Process32NextW(wintypes.HANDLE(snapshot), ctypes.byref(entry))
    finally:
        kernel32.CloseHandle(wintypes.HANDLE(snapshot))
    return left


# Each calls a function from C with a keyword dictionary that the caller
# keeps, and empties it from Python code run during the call. The debug
# allocator fills freed memory, so that a read of it cannot pass unnoticed.
FREED_ARGUMENTS = {
    "an element's __index__": r"""
        d = {}
        class Evil:
            def __index__(self):
                d.clear()
                emptied.append(1)
                return 1
        d["arr"] = [Evil()] + [int(s) for s in ["1"] * 1000]
        call(_kelvar.sum_as_arr, d)
    """,
    "the NumPy-bool check": r"""
        d = {}
        class Meta(type):
            @property
            def __module__(cls):
                d.clear()
                emptied.append(1)
                return "numpy"
        class bool_(metaclass=Meta):
            def __bool__(self):
                return True
        d["name"] = "".join(["kelvar-", "probe"])
        d["fuzzy"] = bool_()
        call(_kelvar.find_executable, d)
    """,
}

FREED_MAIN = r"""
import _thread, time, _kelvar
emptied = []
def call(function, kwargs):
    # The thread's bootstrap passes this very dictionary to the function.
    before = _thread._count()
    _thread.start_new_thread(function, (), kwargs)
    del kwargs
    deadline = time.monotonic() + 60
    # The hook that empties the dictionary runs inside the call, so the thread
    # is counted then; the call is over once it is counted no more.
    while not (emptied and _thread._count() == before) and time.monotonic() < deadline:
        time.sleep(0.001)
"""


@pytest.mark.parametrize("case", FREED_ARGUMENTS.values(), ids=FREED_ARGUMENTS.keys())
def test_keyword_arguments_freed_by_their_caller_during_the_call(tmp_path, case):
    from _where_bodies import ECHO_ARGUMENT
    from _where_sandbox import Sandbox

    sandbox = Sandbox(tmp_path)
    sandbox.write_where(body=ECHO_ARGUMENT)
    source = FREED_MAIN + textwrap.dedent(case) + "print('[]')\n"
    for _ in range(3):
        sandbox.run(source, env=sandbox.env(PYTHONMALLOC="debug"))
    # The lookup's text was read from the name the module held, not freed memory.
    assert sandbox.calls() == [[b"*kelvar-probe*" + EXT.encode()]] * 3 * ("fuzzy" in case)
