"""find_executable's run of `where` as a child process: its streams, its
environment, what it inherits and what it leaves behind, through the fake
`where` of a sandbox (see _where_sandbox.py).
"""

import os
import subprocess

import pytest

from _lookup_helpers import NO_POSIX_SIGNALS, NO_PROC, query_for
from _where_bodies import ECHO_ARGUMENT, ERR_THEN_OUT, ON_WINDOWS, OUT_THEN_ERR, wait_for_file_body


# ---------------------------------------------------------------------------
# The child's streams, environment and working directory

# `where` exits at once; its descendant ends its main thread, and another
# thread of it writes a second later.
MAIN_THREAD_ENDS = """"${0%/*}/python" -c '
import ctypes, os, threading, time
def late():
    time.sleep(1)
    os.write(1, b"/late\\n")
    os._exit(0)
threading.Thread(target=late).start()
ctypes.CDLL(None).pthread_exit(None)
' &
"""


@pytest.mark.parametrize("out, err, body, path", [
    pytest.param(b"/from-stdout\n", b"C:\\from-stderr\r\n", ERR_THEN_OUT, "/from-stdout", id="stderr ignored"),
    pytest.param(b"/after\n", b"e" * (1 << 20), ERR_THEN_OUT, "/after", id="1 MiB stderr, then stdout"),
    pytest.param(b"/first\n" + b"/more\n" * 200_000, b"e" * (1 << 20), OUT_THEN_ERR, "/first",
                 id="1 MiB stdout, then 1 MiB stderr"),
    pytest.param(b"", b"/from-stderr\n", 'exec >&-\n"$CAT" "$ERR" >&2\n', None,
                 id="stdout closed, a path on stderr",
                 marks=pytest.mark.skipif(ON_WINDOWS, reason="a body of the POSIX fake")),
    # Standard error ends first: the drain goes on with standard output,
    # also when it holds more than a pipe does.
    pytest.param(b"/after-stderr-ended\n", b"", 'exec 2>&-\n"$SLEEP" 0.1\n"$CAT" "$OUT"\n',
                 "/after-stderr-ended", id="stderr ends first",
                 marks=pytest.mark.skipif(ON_WINDOWS, reason="a body of the POSIX fake")),
    pytest.param(b"/big\n" + b"x" * 300_000, b"", 'exec 2>/dev/null\n"$CAT" "$OUT"\n', "/big",
                 id="stderr ends first, then more than a pipe holds",
                 marks=pytest.mark.skipif(ON_WINDOWS, reason="a body of the POSIX fake")),
    # /proc shows such a process as a zombie while its other thread runs on.
    pytest.param(b"", b"", MAIN_THREAD_ENDS, "/late", id="a descendant whose main thread ended",
                 marks=pytest.mark.skipif(ON_WINDOWS, reason="a body of the POSIX fake")),
])
def test_both_streams_are_drained(fake, out, err, body, path):
    where = fake.sandbox.write_where(out=out, err=err, body=body)
    assert fake.lookup("tool", False) == ("tool", path)
    # Waiting costs the host no processor time: a runner that polled without
    # pause would spend the whole second of the late writer's wait.
    assert fake.last_cpu < 0.5
    if not ON_WINDOWS:  # as subprocess.run reads the same `where`
        ran = subprocess.run([where, "tool"], capture_output=True, env=fake.sandbox.env())
        assert (ran.stdout.split(b"\n")[0].decode() or None) == path


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
# Handles, descriptors and the child's status

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


# As root: a mount namespace of its own whose /dev/null is a FIFO, as a
# broken or hostile container may have it.
FIFO_NULL = r"""
import ctypes, os
libc = ctypes.CDLL(None, use_errno=True)
if libc.unshare(0x00020000) != 0:  # CLONE_NEWNS
    raise PermissionError(ctypes.get_errno(), "unshare refused")
assert libc.mount(None, b"/", None, 0x4000 | 0x40000, None) == 0  # MS_REC | MS_PRIVATE
fifo = os.path.join(STATE, "fifo")
os.mkfifo(fifo)
assert libc.mount(fifo.encode(), b"/dev/null", None, 0x1000, None) == 0, ctypes.get_errno()  # MS_BIND
"""


@pytest.mark.skipif(ON_WINDOWS or os.geteuid() != 0, reason="a mount namespace of its own, as root")
@pytest.mark.parametrize("start", ["", "refuse(errno.ENOSYS, 58)"], ids=["vfork", "posix_spawn"])
def test_a_null_device_that_is_a_fifo_does_not_hang_the_lookup(sandbox, start):
    # subprocess opens the null device read-write, which does not wait for
    # a writer; a read-only open would wait for ever.
    from _reliability_helpers import REFUSE_CALL, X86_64

    if start and not X86_64:
        pytest.skip("the filter uses x86_64 call numbers")
    where = sandbox.write_where(body=ECHO_ARGUMENT)
    source = (FIFO_NULL.replace("STATE", repr(str(sandbox.state))) + (REFUSE_CALL + start) * bool(start)
              + f"""
import json, stat, subprocess, _kelvar
assert stat.S_ISFIFO(os.stat("/dev/null").st_mode)
ran = subprocess.run([{str(where)!r}, "tool"], stdin=subprocess.DEVNULL, capture_output=True)
print(json.dumps([ran.stdout.decode().strip(), _kelvar.find_executable("tool", False)[1]]))
""")
    try:
        result = sandbox.run(source, timeout=20)
    except subprocess.TimeoutExpired:
        pytest.fail("a lookup with a FIFO for /dev/null hung")
    except AssertionError as error:
        if "unshare refused" in str(error):
            pytest.skip("the system refuses a namespace of its own")
        raise
    assert result == ["/found/tool", "/found/tool"]
