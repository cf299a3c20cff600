"""find_executable while `where` runs: other threads, signal handlers,
concurrent lookups, and the end of the interpreter, through the fake `where`
of a sandbox (see _where_sandbox.py).
"""

import json
import signal
import subprocess
import textwrap
import time

import pytest

from _lookup_helpers import PROCESS_EXISTS, NO_POSIX_SIGNALS, end_process, where_is_gone
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
                                 process_exists=textwrap.indent(PROCESS_EXISTS, " " * 4).strip())
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


# --- Stop checks after the first 100 ms ------------------------------------------


def test_other_threads_run_throughout_a_long_lookup(sandbox):
    # The lock is taken back for each stop check, every 100 ms, and must be
    # given up again each time: a thread of the host that ticks every few
    # milliseconds may never be held up for long, in the first 100 ms or later.
    sandbox.write_where(body='"$SLEEP" 1.5\n' + ECHO_ARGUMENT if not ON_WINDOWS
                        else {**WINDOWS_BODIES[ECHO_ARGUMENT], "SLEEP_MS": "1500"})
    result = sandbox.run("""
        import json, threading, time, _kelvar
        ticks = []
        done = threading.Event()
        def ticker():
            while not done.is_set():
                ticks.append(time.monotonic())
                time.sleep(0.005)
        thread = threading.Thread(target=ticker)
        thread.start()
        time.sleep(0.05)
        start = time.monotonic()
        result = _kelvar.find_executable("tool", False)
        end = time.monotonic()
        done.set()
        thread.join()
        inside = [start] + [t for t in ticks if start < t < end] + [end]
        gaps = [b - a for a, b in zip(inside, inside[1:])]
        found = list(result) == ["tool", "/found/tool" + _kelvar.get_executable_extension()]
        print(json.dumps([found, end - start > 1.2, max(gaps) < 0.4, max(gaps)]))
    """)
    assert result[:3] == [True, True, True], result


@pytest.mark.skipif(ON_WINDOWS, reason="the POSIX runner's wait for an exit after both streams ended")
def test_a_stop_without_a_signal_ends_a_where_that_closed_its_streams(sandbox):
    # _thread.interrupt_main trips the interpreter's signal flag without
    # sending a signal: no wait of the lookup's thread is interrupted, and
    # only the stop check that comes when the interval has run out, in the
    # wait for the exit of a `where` whose streams have ended, can see it.
    sandbox.write_where(body=(
        'exec >/dev/null 2>&1\n'
        "printf '%s' \"$$\" > \"$S/pid.tmp\"\n"
        '"$MV" "$S/pid.tmp" "$S/pid"\n'
        'exec "$SLEEP" 60\n'))
    state = str(sandbox.state)
    proc = sandbox.popen(f"""
        import _thread, json, os, signal, threading, time, _kelvar
        # interrupt_main does nothing while SIGINT is ignored, as it is in
        # a host that CI starts so.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        state = {state!r}
        def interrupter():
            while not os.path.exists(os.path.join(state, "pid")):
                time.sleep(0.005)
            time.sleep(0.3)  # well into the wait for the exit
            _thread.interrupt_main()
        threading.Thread(target=interrupter, daemon=True).start()
        start = time.monotonic()
        try:
            outcome = ["returned", list(_kelvar.find_executable("hang", False))]
        except KeyboardInterrupt:
            outcome = ["raised", "KeyboardInterrupt"]
        print(json.dumps([outcome, time.monotonic() - start < 5]))
    """)
    pid_file = sandbox.state / "pid"
    try:
        out, err = proc.communicate(timeout=20)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        left_behind = pid_file.exists() and end_process(int(pid_file.read_text()))
    assert proc.returncode == 0, err.decode(errors="replace")
    assert json.loads(out.decode().splitlines()[-1]) == [["raised", "KeyboardInterrupt"], True]
    assert not left_behind
