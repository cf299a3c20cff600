"""find_executable under job control, Ctrl+C at a terminal and the host's
signal dispositions, against subprocess.run of the same `where` in the same
host (see _where_sandbox.py for the fake `where`).
"""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

from _lookup_helpers import NO_POSIX_SIGNALS, end_process, where_is_gone
from _where_bodies import ECHO_ARGUMENT, ON_WINDOWS
from _where_sandbox import REPLY_TIMEOUT, wait_for_path


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
    # A stop signal that reaches the child before its exec must not
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
    # As a pool worker does. What the host ignores stays ignored in
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
import json, os, signal, subprocess, sys, threading, time, _kelvar
# Handled, as in an interpreter that a terminal starts, even when the
# test's own runner was started with SIGINT ignored (as CI starts it).
signal.signal(signal.SIGINT, signal.default_int_handler)
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
    # As it ends subprocess.run on the same thread. On a worker
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
        # and so must the lookup. The margin is the dying family's to take
        # on a machine whose cores are shared many times over (seen: 4.4 s
        # in CI); a lookup that waits for the sleep takes 20 s.
        assert run["seconds"] < 5, (thread, run)
        assert lookup["seconds"] < run["seconds"] + 8.0, (thread, lookup, run)
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
