import os
import subprocess
import sys
import textwrap

import pytest

if sys.platform == "win32":
    # The test where.exe that the test run puts beside the interpreter (the
    # first place the module looks) acts as a plain `where` on PATH, so
    # that tests which make a program on PATH find it, as the POSIX stand-in
    # does. Children inherit it; the lookup sandbox sets its own variables.
    os.environ["KELVAR_FAKE_WHERE_SEARCH"] = "1"

    # Under Wine on a loaded machine a start fails now and then with
    # ERROR_INTERNAL_ERROR (WinError 1359): the new process died while Wine
    # was still setting it up, and nothing of it is left. The module's runner
    # tries such a start again, and so do the tests' own starts, or one lost
    # start of a module's fixture fails every test that uses it. The whole
    # construction is retried, from an empty instance: a failed one has
    # closed what it opened for the child but keeps some of it by number
    # (the null device's descriptor), which a second try would take up again.
    _popen_init = subprocess.Popen.__init__

    def _popen_init_retrying(self, *args, **kwargs):
        for attempt in range(4):
            try:
                return _popen_init(self, *args, **kwargs)
            except OSError as error:
                if getattr(error, "winerror", None) != 1359 or attempt == 3:
                    raise
                self.__dict__.clear()

    subprocess.Popen.__init__ = _popen_init_retrying


def _emulated_by_qemu_user():
    """qemu-user runs this interpreter for another processor: it emulates the
    link /proc/self/exe but not its stat, which then names the emulator."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        return not os.path.samestat(os.stat("/proc/self/exe"), os.stat(os.readlink("/proc/self/exe")))
    except OSError:
        return False


EMULATED = _emulated_by_qemu_user()
# What qemu-user cannot judge, by test and parameter (None: every parameter).
_NOT_UNDER_EMULATION = {
    ("test_where_beside_the_interpreter_as_it_was_started", "with sys.executable empty"):
        "under qemu-user emulation stat('/proc/self/exe') names the emulator, so the "
        "module's start path check cannot hold there",
    ("test_where_beside_the_interpreter_as_it_was_started", "with no sys.executable"):
        "under qemu-user emulation stat('/proc/self/exe') names the emulator, so the "
        "module's start path check cannot hold there",
    ("test_where_beside_the_interpreter_as_it_was_started", "recording an unencodable path"):
        "under qemu-user emulation stat('/proc/self/exe') names the emulator, so the "
        "module's start path check cannot hold there",
    ("test_exhausted_memory_is_an_internal_failure", None):
        "under qemu-user emulation the address-space limit binds the emulator, whose "
        "reservation for the emulated process it does not see, so no allocation fails",
}
# qemu-user runs vfork as a fork, so what the child writes for its parent
# (that it leads a group of its own) never arrives, and a stopped lookup
# kills `where` alone: the rows that check the stop's group kill.
for _row in ("a plain host with many descriptors", "a thread that forks without exec",
             "a new PID namespace, the old /proc"):
    _NOT_UNDER_EMULATION[("test_hostile_hosts_still_get_answers", _row)] = (
        "qemu-user runs vfork as a fork, so a stopped lookup cannot learn that `where` leads "
        "a group and kills it alone")
# qemu-user forks the whole emulator for a vfork, with the emulator's own
# locks as its other threads held them at that moment, and the child can then
# wait for good on one before exec: in Debian 12's qemu 7.2 a lock of glib's
# slice allocator, before the child's first system call; in
# bookworm-backports' 10.0 the descriptor translation table's, where
# subprocess.run of `where` from threads hangs the same way. Lookups on
# several threads at once fork many times a second beside each other's work:
# about 1 run in 300 of the first-use script, 4 in 296 of the four-thread
# shutdown row on a loaded machine.
_SEVERAL_LOOKUPS_AT_ONCE = (
    "under qemu-user a fork beside other busy threads can leave the emulator's "
    "child waiting for good on the emulator's own lock before exec")
for _row in (("test_daemon_threads_inside_a_call_at_shutdown_let_the_process_end", "four threads in lookups"),
             ("test_no_inheritable_handle_of_the_host_reaches_the_child", "lookups on four threads"),
             ("test_concurrent_lookups_each_get_their_own_answer", None),
             ("test_threads_calling_everything_at_once", None),
             ("test_first_use_of_once_only_values_from_many_threads", None)):
    _NOT_UNDER_EMULATION[_row] = _SEVERAL_LOOKUPS_AT_ONCE
_SECCOMP_UNDER_EMULATION = "qemu-user emulation refuses seccomp filters, so no refused-call row can run"


# Rows whose time goes to waiting on processes and their timeouts (job
# control, hosts that refuse calls), to many short-lived interpreters (the
# shutdown fuzz) or to mypy (the stubs, which no processor changes): most of
# the suite's time and little of it the interpreter's version decides. They
# carry the mark `costly`, so that a run can leave them out with
# -m "not costly" (CI does where another run has them). By file, or by test
# in a file.
_COSTLY = {
    "test_lookup_job_control.py": None,
    "test_reliability_hostile.py": None,
    "test_fuzz.py": {"test_random_calls_in_daemon_threads_let_the_process_end_at_any_moment"},
    "test_typing.py": {"test_stubs_match_the_runtime_module", "test_sample_uses_are_accepted",
                       "test_wrong_use_is_rejected", "test_nothing_else_in_the_wrong_sample_is_rejected"},
}


def pytest_configure(config):
    config.addinivalue_line("markers", "costly: a slow row that CI runs on the oldest and newest interpreter only")


def _costly(item):
    if item.path.name not in _COSTLY:
        return False
    tests = _COSTLY[item.path.name]
    return tests is None or item.originalname in tests


def pytest_collection_modifyitems(config, items):
    for item in items:
        if _costly(item):
            item.add_marker(pytest.mark.costly)
    if not EMULATED:
        return
    for item in items:
        callspec = getattr(item, "callspec", None)
        row = callspec.id if callspec else None
        reason = (_NOT_UNDER_EMULATION.get((item.originalname, row))
                  or _NOT_UNDER_EMULATION.get((item.originalname, None)))
        if reason is None and any("call numbers" in str(mark.kwargs.get("reason", ""))
                                  for mark in item.iter_markers("skipif")):
            reason = _SECCOMP_UNDER_EMULATION
        if reason is not None:
            # First among the skip marks, so that the reason given is this one.
            item.add_marker(pytest.mark.skipif(True, reason=reason), append=False)


@pytest.hookimpl(trylast=True)
def pytest_unconfigure(config):
    # A suite that has finished but whose interpreter then never ends would
    # show only as the runner's time limit: name the threads that the exit
    # waits for, and after two minutes print every stack and end.
    import faulthandler
    import threading

    left = [t for t in threading.enumerate() if t is not threading.main_thread()]
    if left:
        print(f"\nthreads left at the end: {left}", file=sys.stderr)
    faulthandler.dump_traceback_later(120, exit=True)


def pytest_report_header(config):
    import _kelvar

    emulated = "; emulated by qemu-user" if EMULATED else ""
    return f"_kelvar: {_kelvar.__file__} ({os.path.getsize(_kelvar.__file__)} bytes){emulated}"


@pytest.fixture
def run_child():
    """Runs Python source in a fresh interpreter and returns the completed process.

    Used where the test needs the process's own standard error (failure reports
    are written there, not to sys.stderr) or a first use in a new process.
    """

    def run(source, *, env=None, timeout=60, check=True):
        proc = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(source)],
            capture_output=True,
            text=True,
            env=env,
            timeout=timeout,
        )
        if check and proc.returncode != 0:
            raise AssertionError(
                f"child exited with {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
            )
        return proc

    return run


# The fake `where` of a sandbox, for the lookup tests. Imported on first use,
# as the module itself is.


@pytest.fixture(scope="module")
def _server_sandbox(tmp_path_factory):
    from _lookup_helpers import FAKE_WHERE_UNUSABLE
    from _where_sandbox import LookupServer, Sandbox

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
    from _where_sandbox import LookupServer

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
    from _lookup_helpers import FAKE_WHERE_UNUSABLE
    from _where_sandbox import Sandbox

    if FAKE_WHERE_UNUSABLE:
        pytest.skip(FAKE_WHERE_UNUSABLE)
    return Sandbox(tmp_path)


@pytest.fixture
def probe_dir(tmp_path, monkeypatch):
    """A PATH of one directory holding one program, so answers do not depend on the machine."""
    from _binding_helpers import make_executable
    from _reliability_helpers import EXT, PROBE

    make_executable(tmp_path, PROBE + EXT)
    monkeypatch.setenv("PATH", str(tmp_path))
    return str(tmp_path)
