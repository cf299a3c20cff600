"""find_executable while `where` runs: other threads, signal handlers,
concurrent lookups, and the end of the interpreter, through the fake `where`
of a sandbox (see _where_sandbox.py).
"""

import json
import os
import signal
import subprocess
import sys  # for process_exists, defined below by exec
import textwrap
import time

import pytest

from _lookup_helpers import NO_POSIX_SIGNALS
from _where_bodies import ECHO_ARGUMENT, ON_WINDOWS, WINDOWS_BODIES, WRITE_PID_AND_HANG, wait_for_file_body
from _where_sandbox import REPLY_TIMEOUT, wait_for_path


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


# ---------------------------------------------------------------------------
# Job control and the host's signal dispositions, against subprocess.run of
# the same `where` in the same host. The host is a job of its own, as a
# shell starts it: a process group of its own in the test's session, which
# the test signals as a terminal signals its foreground job.

def _as_a_job():
    if sys.version_info >= (3, 11):
        return {"process_group": 0}
    return {"preexec_fn": os.setpgrp}


# Lookups and subprocess.run of the same `where` (or lookups alone), in
# turn, for DURATION seconds, on the main thread or a worker. Before each
# call the host notes which it makes, so that a hang names the one that hung.
_JOB_SOURCE = """
import json, os, signal, subprocess, sys, threading, time, _kelvar
PRELUDE
where, progress, duration, thread, runs = WHERE, PROGRESS, DURATION, THREAD, RUNS
out = {"lookups": 0, "runs": 0, "wrong": [], "runs_wrong": []}
def note(kind):
    with open(progress, "a") as notes:
        notes.write(kind + "\\n")
def work():
    deadline = time.monotonic() + duration
    while time.monotonic() < deadline:
        note("lookup")
        got = _kelvar.find_executable("tool", False)
        out["lookups"] += 1
        if got != ("tool", "/found/tool"):
            out["wrong"].append(list(got))
        if not runs:
            continue
        note("run")
        ran = subprocess.run([where, "tool"], stdin=subprocess.DEVNULL, capture_output=True)
        out["runs"] += 1
        if (ran.returncode, ran.stdout) != (0, b"/found/tool\\n"):
            out["runs_wrong"].append([ran.returncode, ran.stdout.decode()])
note("ready")
if thread == "main":
    work()
else:
    worker = threading.Thread(target=work)
    worker.start()
    worker.join()
# The test's signals go on until the host has ended, and the end of the
# interpreter sets what it handles back to the default.
signal.signal(signal.SIGINT, signal.SIG_IGN)
print(json.dumps(out), flush=True)
"""


def _run_job(sandbox, prelude, signals, *, thread="main", runs=True, duration=4.0, spacing=0.03,
             stops=False, body=ECHO_ARGUMENT):
    """Runs the job host while `signals` (a list of signal lists) are sent
    to its group in turn, `spacing` seconds apart; returns its report, or
    fails naming the call that hung. With `stops`, each SIGTSTP is followed
    as a shell follows it: by a wait for the job to report itself stopped,
    which a job whose thread waits for a child stopped before its exec
    never does."""
    where = sandbox.write_where(body=body)
    progress = sandbox.state / "progress"
    source = (_JOB_SOURCE.replace("PRELUDE", prelude).replace("WHERE", repr(str(where)))
              .replace("PROGRESS", repr(str(progress))).replace("DURATION", repr(duration))
              .replace("THREAD", repr(thread)).replace("RUNS", repr(runs)))
    proc = subprocess.Popen([str(sandbox.python), "-c", source], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=sandbox.env(),
                            **_as_a_job())
    never_stopped = []  # the calls in which a Ctrl+Z found the job unable to stop

    def reports_stopped():
        end = time.monotonic() + 2
        while time.monotonic() < end:
            pid, status = os.waitpid(proc.pid, os.WUNTRACED | os.WNOHANG)
            if pid and os.WIFSTOPPED(status):
                return True
            if pid:  # it ended: Popen can no longer wait for it
                proc.returncode = os.waitstatus_to_exitcode(status)
                return True
            time.sleep(0.001)
        return False

    try:
        wait_for_path(progress)
        deadline = time.monotonic() + duration + 0.5
        sent = 0
        while time.monotonic() < deadline and proc.returncode is None and proc.poll() is None:
            for signum in signals[sent % len(signals)]:
                try:
                    os.killpg(proc.pid, signum)
                except ProcessLookupError:
                    break
                if stops and signum == signal.SIGTSTP and not reports_stopped():
                    never_stopped.append(progress.read_text().split()[-1])
                time.sleep(0.002)
            sent += 1
            time.sleep(spacing)
        # Every round that stops the job also continues it (or the host
        # ignores the stop): nothing may need another `fg` to end.
        end = time.monotonic() + 10
        while proc.returncode is None and proc.poll() is None and time.monotonic() < end:
            time.sleep(0.05)
        hung = proc.returncode is None and proc.poll() is None
        if hung:
            calls = progress.read_text().split()
            os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate(timeout=REPLY_TIMEOUT)
    finally:
        if proc.returncode is None and proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    assert not hung, f"the host hung in a {calls[-1]} after {len(calls) - 1} calls ({sent} signal rounds)"
    assert proc.returncode == 0, err.decode(errors="replace")
    report = json.loads(out.decode().splitlines()[-1])
    assert report["lookups"] > 0 and (report["runs"] > 0 or not runs)
    # subprocess.run's child unblocks its signals before its exec, and may
    # be stopped there in turn: counted, not held against the lookup.
    report["never stopped"] = never_stopped
    return report


def _vfork_refused():
    from _reliability_helpers import REFUSE_CALL

    return REFUSE_CALL + "refuse(errno.ENOSYS, 58)\n"


START_PATHS = [
    pytest.param("", id="vfork start"),
    pytest.param("vfork refused", id="posix_spawn start"),
]


def _start_path(start):
    if not start:
        return ""
    from _reliability_helpers import X86_64

    if not X86_64:
        pytest.skip("the filter that refuses vfork uses x86_64 call numbers")
    return _vfork_refused()


THREADS = pytest.mark.parametrize("thread", ["main", "worker"],
                                  ids=["main thread (own group)", "worker (host's group)"])


@NO_POSIX_SIGNALS
@THREADS
@pytest.mark.parametrize("start", START_PATHS)
@pytest.mark.parametrize("host, signals", [
    pytest.param("", [[signal.SIGTSTP, signal.SIGCONT]] if not ON_WINDOWS else [],
                 id="Ctrl+Z then fg, again and again"),
    pytest.param("signal.signal(signal.SIGTSTP, signal.SIG_IGN)",
                 [[signal.SIGTSTP]] if not ON_WINDOWS else [], id="SIGTSTP ignored by the host"),
])
def test_job_control_never_leaves_a_lookup_stopped(sandbox, start, host, signals, thread):
    # Item 1: a stop signal that reaches the child before its exec must not
    # stop it there (its parent thread waits in vfork, holding the fork
    # guard, and the job never reports stopped to its shell), nor after a
    # move into a group that `fg` does not continue.
    report = _run_job(sandbox, _start_path(start) + host, signals, thread=thread, stops=not host)
    assert report["runs_wrong"] == []
    assert report["wrong"] == []
    assert "lookup" not in report["never stopped"], report["never stopped"]


@NO_POSIX_SIGNALS
@THREADS
@pytest.mark.parametrize("start", START_PATHS)
def test_a_host_that_ignores_sigint_gets_right_answers(sandbox, start, thread):
    # Item 2: as a pool worker does. What the host ignores stays ignored in
    # `where`, as in subprocess.run's child: it is not killed before its
    # exec, and it answers only while it ignores SIGINT itself. Builtins
    # only (the posix_spawn row refuses the shell's vfork).
    body = ('while read -r key value; do case "$key" in SigIgn:) ignored=$value;; esac\n'
            "done < /proc/self/status\n"
            "if [ $((0x$ignored & 2)) -ne 0 ]; then printf '/found/%s\\n' \"$1\"\n"
            "else echo /sigint-not-ignored; fi\n")
    report = _run_job(sandbox, _start_path(start) + "signal.signal(signal.SIGINT, signal.SIG_IGN)",
                      [[signal.SIGINT]] if not ON_WINDOWS else [], thread=thread, spacing=0.003,
                      body=body)
    assert report["runs_wrong"] == []
    assert report["wrong"] == []


@NO_POSIX_SIGNALS
def test_a_signal_to_the_hosts_group_is_the_hosts_own_in_a_main_thread_lookup(sandbox):
    # `where` of a main-thread lookup leads a group of its own: a SIGINT that
    # the host handles (here by a handler that returns) and that was sent
    # to its group as `where` started is the host's, and never kills `where`
    # before its exec. (subprocess.run's child, in the host's group, would
    # die of it; so only lookups run here. The posix_spawn start cannot drop
    # it: see the README.)
    report = _run_job(sandbox, "signal.signal(signal.SIGINT, lambda *_: None)",
                      [[signal.SIGINT]] if not ON_WINDOWS else [], runs=False, spacing=0.002)
    assert report["wrong"] == []


# Each call runs a `where` that prints its path and then waits for a
# descendant (a sleep of 20 s, in the foreground) that holds its output. The
# host tells the test its pid before each call; the test then sends SIGINT
# to the host's group, as a terminal's Ctrl+C does, and the host reports how
# long each call took and how it ended.
_CTRL_C_SOURCE = """
import json, os, subprocess, sys, threading, time, _kelvar
PRELUDE
where, state = WHERE, STATE
def announce(step):
    with open(os.path.join(state, "step.tmp"), "w") as note:
        note.write(step)
    os.replace(os.path.join(state, "step.tmp"), os.path.join(state, "step"))
def lookup():
    return list(_kelvar.find_executable("tool", False))
def run():
    ran = subprocess.run([where, "tool"], stdin=subprocess.DEVNULL, capture_output=True)
    return [ran.returncode, ran.stdout.decode()]
out = {}
for thread in ("worker", "main"):
    for name, call in (("lookup", lookup), ("run", run)):
        announce(thread + " " + name)
        started = time.monotonic()
        result = {}
        done = threading.Event()
        def timed(call=call, result=result, started=started, done=done):
            try:
                result["value"] = call()
            except KeyboardInterrupt:
                result["value"] = "KeyboardInterrupt"
            result["seconds"] = time.monotonic() - started
            done.set()
        if thread == "main":
            timed()
        else:
            threading.Thread(target=timed).start()
            while not done.is_set():
                try:
                    done.wait(0.05)
                except KeyboardInterrupt:  # the main thread's share of the Ctrl+C
                    pass
        out[thread + " " + name] = result
announce("done")
print(json.dumps(out), flush=True)
"""


@NO_POSIX_SIGNALS
@pytest.mark.parametrize("start", START_PATHS)
def test_ctrl_c_at_the_terminal_ends_a_lookup_on_any_thread(sandbox, start):
    # Item 3: as it ends subprocess.run on the same thread. On a worker
    # thread, where no stop check runs the host's handlers, `where` and its
    # descendants get the terminal's SIGINT themselves; on the main thread
    # the lookup is stopped and `where`'s whole family is killed.
    # Only builtins and exec: the sandbox that refuses vfork refuses the
    # shell's own starts of a command.
    body = ("printf '%s\\n' \"$$\" > \"$S/where\"\n"
            "printf '/found/%s\\n' \"$1\"\n"
            'exec "${0%/*}/python" -c \'\n'
            "import os, time\n"
            "if os.fork() == 0: time.sleep(20)\n"
            "else: os.wait()\n"
            "\'\n")
    where = sandbox.write_where(body=body)
    source = (_CTRL_C_SOURCE.replace("PRELUDE", _start_path(start))
              .replace("WHERE", repr(str(where))).replace("STATE", repr(str(sandbox.state))))
    step_file, where_file = sandbox.state / "step", sandbox.state / "where"
    proc = subprocess.Popen([str(sandbox.python), "-c", source], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=sandbox.env(),
                            **_as_a_job())
    families = {}
    try:
        for _ in range(4):
            wait_for_path(where_file)
            while not where_file.read_text().endswith("\n"):
                time.sleep(0.005)
            step = step_file.read_text()
            where_pid = int(where_file.read_text())
            where_file.unlink()
            family = [where_pid]
            deadline = time.monotonic() + REPLY_TIMEOUT
            while len(family) == 1 and time.monotonic() < deadline:
                try:
                    with open(f"/proc/{where_pid}/task/{where_pid}/children") as children:
                        family += [int(pid) for pid in children.read().split()]
                except FileNotFoundError:
                    break
                time.sleep(0.01)
            families[step] = family
            time.sleep(0.3)
            os.killpg(proc.pid, signal.SIGINT)  # the terminal's Ctrl+C
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        for family in families.values():
            for pid in family:
                end_process(pid)
    assert proc.returncode == 0, err.decode(errors="replace")
    report = json.loads(out.decode().splitlines()[-1])
    for thread in ("worker", "main"):
        run, lookup = report[thread + " run"], report[thread + " lookup"]
        assert "seconds" in run and "seconds" in lookup, report
        # subprocess.run ends at the Ctrl+C (far before the 20 s sleep),
        # and so must the lookup.
        assert run["seconds"] < 5, (thread, run)
        assert lookup["seconds"] < run["seconds"] + 1.0, (thread, lookup, run)
        for pid in families[thread + " lookup"]:
            deadline = time.monotonic() + 5
            while not where_is_gone(pid) and time.monotonic() < deadline:
                time.sleep(0.02)
            assert where_is_gone(pid), (thread, "a process of where's family outlived the Ctrl+C")
    # `where` died of the SIGINT before it exited: its printed path is no
    # answer; on the main thread the lookup raises as subprocess.run does.
    assert report["worker lookup"]["value"] == ["tool", None]
    assert report["worker run"]["value"][0] == -signal.SIGINT
    assert report["main lookup"]["value"] == report["main run"]["value"] == "KeyboardInterrupt"
