"""Hostile hosts: forks behind the module's back, refused system calls, a new
PID namespace.
"""

import errno
import os
import sys

import pytest

from _reliability_helpers import LINUX


# Hosts that fork behind the module's back, sandboxes that refuse a system
# call, a new PID namespace, no /proc: the lookup still answers, `where` has
# its standard error and no descriptor of the host's (3, and one numbered
# above the soft limit where something can find it), and a signal handler
# that raises still ends a hung `where`.
# It inherits the sandbox's filter, which may refuse it a fork.
HOSTILE_BODY = r"""
case "$1" in
hang) printf '%s' "$$" > "$S/pid"; exec "$SLEEP" 60;;
late) exec "${0%/*}/python" -c "$LATE";;
esac
[ -d /proc/$$/fd ] || exec "${0%/*}/python" -c "$WITHOUT_PROC" "$1"
leaked=
for fd in $PLANTED; do [ -e /proc/$$/fd/$fd ] && leaked=1; done
if [ -n "$leaked" ]; then echo /leaked
elif ! true >&2; then echo /no-stderr
else printf '/found/%s\n' "$1"; fi
"""

# The same checks where no /proc lists the descriptors.
WITHOUT_PROC = r"""
import os, sys
def is_open(fd):
    try:
        return os.fstat(fd) is not None
    except OSError:
        return False
if any(is_open(int(fd)) for fd in os.environ.get("PLANTED", "").split()):
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

REFUSE_CALL = r"""
import ctypes, errno, struct
def refuse(error, *numbers):
    # Classic BPF: on x86_64, the calls `numbers` fail with `error`.
    code = [(0x20, 0, 0, 4), (0x15, 1, 0, 0xC000003E), (0x06, 0, 0, 0x7FFF0000), (0x20, 0, 0, 0)]
    for number in numbers:
        code += [(0x15, 0, 1, number), (0x06, 0, 0, 0x00050000 | error)]
    code.append((0x06, 0, 0, 0x7FFF0000))
    program = ctypes.create_string_buffer(b"".join(struct.pack("HBBI", *c) for c in code))
    class Program(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]
    libc = ctypes.CDLL(None, use_errno=True)
    assert libc.prctl(38, 1, 0, 0, 0) == 0  # PR_SET_NO_NEW_PRIVS
    seccomp = Program(len(code), ctypes.addressof(program))
    assert libc.prctl(22, 2, ctypes.byref(seccomp), 0, 0) == 0, ctypes.get_errno()
"""

FORK_HOLDERS = r"""
def fork_holders():
    # As multiprocessing's fork start method does: a child that copies every
    # descriptor and lives a while. It is made the moment a lookup's pipes
    # appear, before `where` has started, so that it holds their write ends.
    def pipes():
        count = 0
        for fd in os.listdir("/proc/self/fd"):
            try:
                count += os.readlink(f"/proc/self/fd/{fd}").startswith("pipe:")
            except OSError:  # closed since the listing
                pass
        return count
    idle = pipes()
    while True:
        if pipes() >= idle + 4:
            if os.fork() == 0:
                os.closerange(0, 3)  # the test's own pipes need not wait for it
                time.sleep(3)
                os._exit(0)
            while pipes() > idle:
                time.sleep(0.001)
# On one processor a fork that a lookup's span held back runs the moment it
# is let go, so a span that ended early would be seen.
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
threading.Thread(target=fork_holders, daemon=True).start()
# A large environment makes the exec slow, and the moment wide enough.
for i in range(12):
    os.environ[f"KELVAR_BULK{i}"] = "x" * 100_000
"""

HOSTILE_MAIN = r"""
import json, os, resource, signal, sys, threading, time, warnings, _kelvar
warnings.simplefilter("ignore", DeprecationWarning)
S = STATE
PRELUDE
os.environ["WITHOUT_PROC"] = WITHOUT_PROC_SOURCE
if "descriptor" in CHECKS:
    # Without /proc nothing finds a descriptor above the soft limit.
    os.environ["PLANTED"] = "3 200" if "no-proc" in CHECKS else "3 300"
    for fd in map(int, os.environ["PLANTED"].split()):
        source = os.open("/dev/null", os.O_RDONLY)  # may be that very number
        if source != fd:
            os.dup2(source, fd)
            os.close(source)
        os.set_inheritable(fd, True)
    resource.setrlimit(resource.RLIMIT_NOFILE, (256, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
out = {"answers": [], "slowest": 0}
for name in ["tool"] * LOOKUPS:
    start = time.monotonic()
    out["answers"].append(list(_kelvar.find_executable(name, False)))
    out["slowest"] = max(out["slowest"], time.monotonic() - start)
if "stop" in CHECKS:
    # `where` exits at once; what its child writes a moment later is the answer.
    os.environ["LATE"] = ("import os, time\n"
                          "if os.fork() == 0: time.sleep(0.2); os.write(1, b'/late\\n')\n")
    out["late"] = _kelvar.find_executable("late", False)[1]
    class Alarm(Exception):
        pass
    def ring(signum, frame):
        raise Alarm()
    signal.signal(signal.SIGALRM, ring)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        _kelvar.find_executable("hang", False)
        out["stop"] = "returned"
    except Alarm:
        pid = int(open(os.path.join(S, "pid")).read())
        try:
            os.kill(pid, 0)
            out["stop"] = "where still runs"
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            out["stop"] = "ended"
print(json.dumps(out), flush=True)
os._exit(0)
"""

X86_64 = LINUX and os.uname().machine == "x86_64"
NEEDS_X86_64 = pytest.mark.skipif(not X86_64, reason="the filter uses x86_64 call numbers")


def _refuse(name, error, *numbers):
    return pytest.param(REFUSE_CALL + f"refuse({error}, *{numbers})", "descriptor stop",
                        id=f"{name} refused with {errno.errorcode[error]}", marks=NEEDS_X86_64)


@pytest.mark.skipif(not LINUX, reason="Linux hosts")
@pytest.mark.parametrize("prelude, checks", [
    pytest.param(FORK_HOLDERS, "descriptor stop", id="a thread that forks without exec"),
    _refuse("close_range", errno.ENOSYS, 436),
    _refuse("close_range", errno.EPERM, 436),
    _refuse("pidfd_send_signal", errno.EPERM, 424),
    _refuse("pidfd_open", errno.ENOSYS, 434),
    _refuse("prctl", errno.EPERM, 157),
    _refuse("vfork", errno.ENOSYS, 58),
    _refuse("vfork", errno.EPERM, 58),
    _refuse("setpgid", errno.EPERM, 109),
    _refuse("pidfd_send_signal and setpgid", errno.EPERM, 424, 109),
    pytest.param(REFUSE_CALL + "refuse(errno.ENOSYS, 434)\n" + FORK_HOLDERS, "descriptor stop",
                 id="forks without exec and no pidfd", marks=NEEDS_X86_64),
    pytest.param(REFUSE_CALL + "refuse(errno.ENOSYS, 58)\n" + FORK_HOLDERS, "descriptor stop",
                 id="forks without exec and no vfork", marks=NEEDS_X86_64),
    pytest.param(NO_PROC + REFUSE_CALL + "refuse(errno.ENOSYS, 58, 436)", "descriptor stop no-proc",
                 id="vfork and close_range refused, no /proc", marks=[NEEDS_X86_64, AS_ROOT]),
    pytest.param(PID_NAMESPACE_OLD_PROC, "descriptor stop", id="a new PID namespace, the old /proc",
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
    # A holder is not made for every lookup: enough lookups that one surely
    # gets it.
    count = 1 if checks == "one" else 12 if "fork_holders" in prelude else 4
    source = (HOSTILE_MAIN.replace("STATE", repr(str(sandbox.state))).replace("CHECKS", repr(checks))
              .replace("WITHOUT_PROC_SOURCE", repr(WITHOUT_PROC))
              .replace("PRELUDE", prelude).replace("LOOKUPS", str(count)))
    try:
        out = sandbox.run(source)
    except AssertionError as error:
        if "PermissionError" in str(error) and "unshare" in prelude:
            pytest.skip("the system refuses a namespace of its own")
        raise
    assert out["answers"] == [["tool", "/found/tool"]] * count
    # A bound against waiting for a forked holder (it lives 3 s), not a speed goal.
    assert out["slowest"] < 1.5
    assert out.get("stop", "ended") == "ended"
    assert out.get("late", "/late") == "/late"
