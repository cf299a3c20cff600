"""Hostile hosts: forks behind the module's back, refused system calls, a new
PID namespace.
"""

import errno
import os
import sys

import pytest

from _reliability_helpers import LINUX, NEEDS_X86_64, REFUSE_CALL, SANITIZED


# Hosts that fork behind the module's back, sandboxes that refuse a system
# call, a new PID namespace, no /proc: the lookup still answers, `where` has
# its standard error, no descriptor of the host's (3, and one numbered above
# the soft limit where something can find it; with "many", dozens), and the
# signal state of subprocess's children; a signal handler that raises still
# ends a hung `where` and (where it leads a group) what it started.
# It inherits the sandbox's filter, which may refuse it a fork: it starts
# nothing but by exec.
HOSTILE_BODY = r"""
case "$1" in
hang) exec "${0%/*}/python" -c "$HANG" "$S";;
late) exec "${0%/*}/python" -c "$LATE";;
late-exit) exec >&- 2>&-; exec "$SLEEP" 1;;
esac
# /proc/self, not /proc/$$: in a new PID namespace that sees the old /proc,
# $$ names another process there. Builtins only, so "self" is this shell.
[ -d /proc/self/fd ] || exec "${0%/*}/python" -c "$WITHOUT_PROC" "$1"
leaked=
for fd in $PLANTED; do [ /proc/self/fd/$fd -ef "$S/planted" ] && leaked=1; done
while read -r key value; do
  case "$key" in SigIgn:) ignored=$value;; SigBlk:) blocked=$value;; esac
done < /proc/self/status
if [ -n "$leaked" ]; then echo /leaked
elif ! true >&2; then echo /no-stderr
elif [ -n "$EXPECT_SIGNALS" ] &&
     [ "$((0x$ignored & 0x7fffffff)) $((0x$blocked))" != "$EXPECT_SIGNALS" ]; then
  echo "/signals/$ignored/$blocked"
else printf '/found/%s\n' "$1"; fi
"""

# `where` for the stop: it writes its own pid and its child's, and waits for
# that child, which sleeps.
HANG = r"""
import os, sys, time
child = os.fork()
if child == 0:
    time.sleep(60)
    os._exit(0)
state = sys.argv[1]
with open(os.path.join(state, "pid.tmp"), "w") as note:
    note.write(f"{os.getpid()} {child}")
os.replace(os.path.join(state, "pid.tmp"), os.path.join(state, "pid"))
os.wait()
"""

# The same checks where no /proc lists the descriptors.
WITHOUT_PROC = r"""
import os, sys
def is_open(fd):
    try:
        return os.fstat(fd) is not None
    except OSError:
        return False
def is_planted(fd):
    try:
        return os.path.samestat(os.fstat(fd), os.stat(os.environ["PLANTED_FILE"]))
    except OSError:
        return False
if any(is_planted(int(fd)) for fd in os.environ.get("PLANTED", "").split()):
    print("/leaked")
elif not is_open(2):
    print("/no-stderr")
else:
    print("/found/" + sys.argv[1])
"""

# As root: a mount namespace of its own whose /proc is an empty tmpfs.
NO_PROC = r"""
import ctypes
def _checked(result):
    if result != 0:
        raise PermissionError(ctypes.get_errno(), "unshare or mount refused")
_libc = ctypes.CDLL(None, use_errno=True)
_checked(_libc.unshare(0x00020000))  # CLONE_NEWNS
_checked(_libc.mount(None, b"/", None, 0x4000 | 0x40000, None))  # MS_REC | MS_PRIVATE
_checked(_libc.mount(b"none", b"/proc", b"tmpfs", 0, None))
# A runtime preloaded into every process (a sanitizer's) may need /proc
# itself; what runs here as `where` goes without it.
import os
os.environ.pop("LD_PRELOAD", None)
"""

# As root: the lookups run in the first process of a new PID namespace,
# which sees the parent namespace's /proc.
PID_NAMESPACE_OLD_PROC = r"""
import ctypes
if ctypes.CDLL(None, use_errno=True).unshare(0x20000000) != 0:  # CLONE_NEWPID
    raise PermissionError(ctypes.get_errno(), "unshare refused")
if os.fork():
    os._exit(os.waitstatus_to_exitcode(os.wait()[1]))
"""
AS_ROOT = pytest.mark.skipif(not LINUX or os.geteuid() != 0, reason="needs root")


FORK_HOLDERS = r"""
def pipes():
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            count += os.readlink(f"/proc/self/fd/{fd}").startswith("pipe:")
        except OSError:  # closed since the listing
            pass
    return count
def fork_holders(idle):
    # As multiprocessing's fork start method does: a child that copies every
    # descriptor and lives a while. It is made the moment a lookup's pipes
    # appear, before `where` has started, so that it would hold their write
    # ends if the fork were not held back. The child notes when it was made
    # while a lookup's pipes were open (their read ends at least): proof
    # that the row tested what it is for. `idle` is counted before any
    # lookup: counted here, it could count a lookup's pipes, and the holder
    # would wait for twice as many, for ever.
    while True:
        if pipes() >= idle + 4:
            if os.fork() == 0:
                held = pipes()
                os.closerange(0, 3)  # the test's own pipes need not wait for it
                if held > idle:
                    with open(os.path.join(S, "forked"), "a") as note:
                        note.write("x")
                time.sleep(3)
                os._exit(0)
            while pipes() > idle:
                time.sleep(0.001)
# On one processor a fork that a lookup's span held back runs the moment it
# is let go, so a span that ended early would be seen.
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
threading.Thread(target=fork_holders, args=(pipes(),), daemon=True).start()
# A large environment makes the exec slow, and the moment wide enough.
for i in range(12):
    os.environ[f"KELVAR_BULK{i}"] = "x" * 100_000
"""

HOSTILE_MAIN = r"""
import json, os, resource, signal, sys, threading, time, warnings, _kelvar
warnings.simplefilter("ignore", DeprecationWarning)
S = STATE
# The descriptors are planted before the prelude, whose threads (a fork
# holder lists /proc/self/fd) could otherwise hold the very number that
# dup2 replaces.
if "descriptor" in CHECKS:
    # Without /proc nothing finds a descriptor above the soft limit.
    planted = [3, 200] if "no-proc" in CHECKS else [3, 300]
    if "many" in CHECKS:
        planted += list(range(4, 80))
    os.environ["PLANTED"] = " ".join(map(str, planted))
    # A file of their own, so that `where` tells them from its own.
    os.environ["PLANTED_FILE"] = os.path.join(S, "planted")
    open(os.environ["PLANTED_FILE"], "w").close()
    for fd in planted:
        source = os.open(os.environ["PLANTED_FILE"], os.O_RDONLY)  # may be that very number
        if source != fd:
            os.dup2(source, fd)
            os.close(source)
        os.set_inheritable(fd, True)
    resource.setrlimit(resource.RLIMIT_NOFILE, (256, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
if "signals" in CHECKS:
    # What `where` must see, as subprocess's children see it: what the host
    # ignores stays ignored (SIGUSR2 here), what it handles goes back to the
    # default (SIGTERM), SIGPIPE and SIGXFSZ too, though the interpreter
    # ignores them; nothing blocked but, on the posix_spawn start, the stop
    # signals.
    signal.signal(signal.SIGUSR2, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, lambda *_: None)
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})
    with open("/proc/self/status") as status:
        ignored = int(next(l for l in status if l.startswith("SigIgn:")).split()[1], 16)
    ignored &= ~((1 << (signal.SIGPIPE - 1)) | (1 << (signal.SIGXFSZ - 1)))
    blocked = 0
    if "spawn" in CHECKS:
        blocked = sum(1 << (s - 1) for s in (signal.SIGTSTP, signal.SIGTTIN, signal.SIGTTOU))
    # Signals 1 to 31 only: glibc's posix_spawn ignores its two internal
    # ones (32 and 33) in the child, which then installs its own handlers.
    os.environ["EXPECT_SIGNALS"] = f"{ignored & 0x7fffffff} {blocked}"
PRELUDE
os.environ["WITHOUT_PROC"] = WITHOUT_PROC_SOURCE
os.environ["HANG"] = HANG_SOURCE
def forked():
    try:
        return len(open(os.path.join(S, "forked")).read())
    except FileNotFoundError:
        return 0
out = {"answers": [], "slowest": 0}
# A fork holder is not made for every lookup: more lookups until one was.
while len(out["answers"]) < LOOKUPS or ("fork_holders" in dir() and not forked()
                                        and len(out["answers"]) < 10 * LOOKUPS):
    start = time.monotonic()
    out["answers"].append(list(_kelvar.find_executable("tool", False)))
    out["slowest"] = max(out["slowest"], time.monotonic() - start)
out["forked"] = forked()
if "late-exit" in CHECKS:
    # Closes its streams, exits 1 s later: the wait for the exit naps
    # without a pidfd, in naps short enough not to add much.
    start = time.monotonic()
    out["late-exit"] = [_kelvar.find_executable("late-exit", False)[1], time.monotonic() - start]
if "stop" in CHECKS:
    # `where` exits at once; what its child writes a moment later is the answer.
    os.environ["LATE"] = ("import os, time\n"
                          "if os.fork() == 0: time.sleep(0.2); os.write(1, b'/late\\n')\n")
    out["late"] = _kelvar.find_executable("late", False)[1]
    class Alarm(Exception):
        pass
    def ring(signum, frame):
        if not os.path.exists(os.path.join(S, "pid")):
            signal.setitimer(signal.ITIMER_REAL, 0.1)  # `where` is still starting
            return
        raise Alarm()
    signal.signal(signal.SIGALRM, ring)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        _kelvar.find_executable("hang", False)
        out["stop"] = "returned"
    except Alarm:
        def gone(pid):
            try:  # an orphan handed to this host (a PID namespace's first process)
                os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                pass
            try:
                os.kill(pid, 0)
            except ProcessLookupError:
                return True
            try:  # a zombie that its new parent has not reaped yet
                with open(f"/proc/{pid}/stat") as stat:
                    return stat.read().rpartition(")")[2].split()[0] in ("Z", "X")
            except FileNotFoundError:
                return True
        pids = [int(pid) for pid in open(os.path.join(S, "pid")).read().split()]
        deadline = time.monotonic() + 5
        while not all(map(gone, pids)) and time.monotonic() < deadline:
            time.sleep(0.01)
        out["stop"] = ["ended" if gone(pid) else "runs" for pid in pids]
        for pid in pids:
            if not gone(pid):
                os.kill(pid, signal.SIGKILL)
print(json.dumps(out), flush=True)
os._exit(0)
"""

ANSWERS = "descriptor stop signals"
SPAWN = ANSWERS + " spawn"  # vfork refused: the posix_spawn start


def _refuse(name, error, *numbers, checks=ANSWERS):
    return pytest.param(REFUSE_CALL + f"refuse({error}, *{numbers})", checks,
                        id=f"{name} refused with {errno.errorcode[error]}", marks=NEEDS_X86_64)


@pytest.mark.skipif(not LINUX, reason="Linux hosts")
@pytest.mark.parametrize("prelude, checks", [
    pytest.param("", ANSWERS + " many", id="a plain host with many descriptors"),
    pytest.param(FORK_HOLDERS, ANSWERS, id="a thread that forks without exec"),
    _refuse("close_range", errno.ENOSYS, 436, checks=ANSWERS + " many"),
    _refuse("close_range", errno.EPERM, 436),
    _refuse("pidfd_send_signal", errno.EPERM, 424),
    _refuse("pidfd_open", errno.ENOSYS, 434, checks=ANSWERS + " late-exit"),
    _refuse("prctl", errno.EPERM, 157),
    _refuse("vfork", errno.ENOSYS, 58, checks=SPAWN + " many"),
    _refuse("vfork", errno.EPERM, 58, checks=SPAWN),
    _refuse("vfork and pidfd_open", errno.ENOSYS, 58, 434, checks=SPAWN + " late-exit"),
    _refuse("setpgid", errno.EPERM, 109, checks=ANSWERS + " orphans"),
    _refuse("setpgid with vfork", errno.EPERM, 109, 58, checks=SPAWN + " orphans"),
    _refuse("pidfd_send_signal and setpgid", errno.EPERM, 424, 109, checks=ANSWERS + " orphans"),
    pytest.param(REFUSE_CALL + "refuse(errno.ENOSYS, 434)\n" + FORK_HOLDERS, ANSWERS + " late-exit",
                 id="forks without exec and no pidfd", marks=NEEDS_X86_64),
    pytest.param(REFUSE_CALL + "refuse(errno.ENOSYS, 58)\n" + FORK_HOLDERS, SPAWN,
                 id="forks without exec and no vfork", marks=NEEDS_X86_64),
    pytest.param(NO_PROC + REFUSE_CALL + "refuse(errno.ENOSYS, 436)", "descriptor stop no-proc",
                 id="close_range refused, no /proc", marks=[NEEDS_X86_64, AS_ROOT]),
    pytest.param(NO_PROC + REFUSE_CALL + "refuse(errno.ENOSYS, 58, 436)", "descriptor stop no-proc",
                 id="vfork and close_range refused, no /proc", marks=[NEEDS_X86_64, AS_ROOT]),
    pytest.param(PID_NAMESPACE_OLD_PROC, ANSWERS, id="a new PID namespace, the old /proc",
                 marks=AS_ROOT),
    # The first child is the namespace's first process; after it, no fork
    # succeeds, so one lookup is all there is.
    pytest.param("os.unshare(os.CLONE_NEWPID)", "one", id="a new PID namespace",
                  marks=pytest.mark.skipif(sys.version_info < (3, 12) or not LINUX
                                           or os.geteuid() != 0, reason="3.12 as root")),
])
def test_hostile_hosts_still_get_answers(tmp_path, prelude, checks):
    from _where_sandbox import Sandbox

    sandbox = Sandbox(tmp_path)
    sandbox.write_where(body=HOSTILE_BODY)
    count = 1 if checks == "one" else 12 if "fork_holders" in prelude else 4
    source = (HOSTILE_MAIN.replace("STATE", repr(str(sandbox.state))).replace("CHECKS", repr(checks))
              .replace("WITHOUT_PROC_SOURCE", repr(WITHOUT_PROC)).replace("HANG_SOURCE", repr(HANG))
              .replace("PRELUDE", prelude).replace("LOOKUPS", str(count)))
    try:
        out = sandbox.run(source)
    except AssertionError as error:
        if "PermissionError" in str(error) and "unshare" in prelude:
            pytest.skip("the system refuses a namespace of its own")
        raise
    assert out["answers"] == [["tool", "/found/tool"]] * len(out["answers"])
    assert len(out["answers"]) >= count
    # Bounds against waiting for a forked holder (it lives 3 s), not speed
    # goals; a sanitized host starts each process far more slowly.
    slack = 1.0 if SANITIZED else 0.0
    assert out["slowest"] < 1.5 + slack
    if "fork_holders" in prelude:
        # A row whose holder never forked while a lookup's pipes were open
        # would pass with the fork guard gone.
        assert out["forked"] >= 1
    if "late-exit" in checks:
        # 1 s of `where`, and naps of at most 50 ms after it.
        assert out["late-exit"][0] is None
        assert out["late-exit"][1] < 1.25 + slack, out["late-exit"]
    if "stop" in checks:
        # `where` ends; what it started ends too, unless it has no group.
        assert out["stop"][0] == "ended"
        if "orphans" not in checks:
            assert out["stop"] == ["ended", "ended"]
    assert out.get("late", "/late") == "/late"


# Failures of the child after its start: the lookup falls back (or, where a
# way round the refusal exists, answers), raises nothing, and leaves no
# zombie. Each row's filter: a read of our 64 KiB pipe buffer fails with
# EIO (no other read here asks for that size), or wait4 (which waitpid is
# made of) is refused, with or without waitid.
FAILING_CHILD_MAIN = r"""
import json, os, sys, time, _kelvar
PRELUDE
answers = []
for name in ["tool"] * 5 + ["fail"]:  # `where` fails for "fail", after printing a path
    try:
        answers.append(_kelvar.find_executable(name, False)[1])
    except BaseException as error:
        answers.append(f"{type(error).__name__}: {error}")
# `where` closes its streams and lingers: whatever the wait comes to, it is
# killed on the way out (a zombie where nothing can reap it).
state = STATE
linger = _kelvar.find_executable("linger", False)[1]
pid = int(open(os.path.join(state, "pid")).read())
def lingers():
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rpartition(")")[2].split()[0] not in ("Z", "X")
    except FileNotFoundError:
        return False
deadline = time.monotonic() + 2  # a SIGKILL takes effect a moment after it is sent
while lingers() and time.monotonic() < deadline:
    time.sleep(0.01)
lingering = lingers()
if lingering:
    os.kill(pid, 9)
answers.append([linger, lingering])
children = []
for task in os.listdir("/proc/self/task"):
    with open(f"/proc/self/task/{task}/children") as f:
        children += f.read().split()
print(json.dumps([answers, children]), flush=True)
"""


@pytest.mark.skipif(not LINUX, reason="Linux hosts")
@pytest.mark.parametrize("start", ["", "refuse(errno.ENOSYS, 58)\n"], ids=["vfork", "posix_spawn"])
@pytest.mark.parametrize("refusal, answer, zombies", [
    pytest.param("refuse_when(errno.EIO, 0, 2, 65536)", None, 0, id="a pipe read fails with EIO"),
    pytest.param("refuse(errno.EPERM, 61)", "/found/tool", 0, id="wait4 refused"),
    # Nothing can reap `where` then: the answer falls back all the same.
    pytest.param("refuse(errno.EPERM, 61, 247)", None, 7, id="wait4 and waitid refused"),
])
def test_a_child_that_cannot_be_read_or_waited_for_falls_back(tmp_path, start, refusal, answer,
                                                              zombies):
    from _reliability_helpers import X86_64
    from _where_bodies import ECHO_ARGUMENT
    from _where_sandbox import Sandbox

    if not X86_64:
        pytest.skip("the filter uses x86_64 call numbers")
    if SANITIZED and "61" in refusal:
        pytest.skip("the leak checker, at the host's exit, waits for a helper process of its "
                    "own, which the refused waits forbid")
    sandbox = Sandbox(tmp_path)
    sandbox.write_where(body="case \"$1\" in fail) printf '/a\\n'; exit 1;;\n"
                            "linger) printf '%s' \"$$\" > \"$S/pid\"; exec >&- 2>&-; exec \"$SLEEP\" 5;;\n"
                            "esac\n" + ECHO_ARGUMENT)
    # Filters stack: each refuses its calls.
    prelude = REFUSE_CALL + refusal + "\n" + start
    answers, children = sandbox.run(FAILING_CHILD_MAIN.replace("PRELUDE", prelude)
                                    .replace("STATE", repr(str(sandbox.state))))
    assert answers == [answer] * 5 + [None, [None, False]]
    assert len(children) == zombies
