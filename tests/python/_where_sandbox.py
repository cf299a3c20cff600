"""A sandbox in which `_kelvar` runs a `where` of the test's making.

The lookup searches for `where` first in the folder `kelvar/bin` beside the
module file (as it was loaded, links not resolved), then in the directory of
the interpreter as sys.executable records it (links not resolved either),
then along PATH. A sandbox therefore holds a directory `bin` with a symbolic
link `python` to the real interpreter, and a directory `lib` with a symbolic
link to the module, which `PYTHONPATH` points the interpreter at: an
interpreter started as `bin/python` finds the fake `where` (see
_where_bodies.py) written into `lib/kelvar/bin` or beside the interpreter's
link, not the stand-in installed with the real module or beside the real
interpreter.

On Windows the module looks first in the directory of the interpreter's
executable, where the test run has put the test `where.exe`. It is driven by
environment variables, which the child inherits from the interpreter that
runs the lookup: the sandbox keeps the variables of the current fake, and
hands them to every interpreter it starts and with every request to the
lookup server.
"""

import itertools
import json
import os
import queue
import select
import shlex
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import _kelvar
from _where_bodies import (
    ERR_THEN_OUT,
    ON_WINDOWS,
    SCRIPT_HEAD,
    TOOLS,
    WINDOWS_BODIES,
    WINDOWS_VARIABLES,
    WINDOWS_WHERE,
    parse_calls,
)

MODULE_FILE = os.path.abspath(_kelvar.__file__)
MODULE_DIR = os.path.dirname(MODULE_FILE)
REAL_PYTHON = os.path.realpath(sys.executable)
# Only reached when something hangs or dies; a passing run never waits this long.
REPLY_TIMEOUT = 30.0


def wait_for_path(path, timeout=REPLY_TIMEOUT):
    deadline = time.monotonic() + timeout
    while not path.exists():
        if time.monotonic() > deadline:
            raise AssertionError(f"{path} did not appear within {timeout} s")
        time.sleep(0.01)


class Sandbox:
    def __init__(self, root):
        self.root = Path(root)
        self.bin = self.root / "bin"
        self.lib = self.root / "lib"
        self.tools = self.lib / "kelvar" / "bin"  # the module's own folder for `where`
        self.state = self.root / "state"
        self.empty = self.root / "empty"
        for directory in (self.bin, self.tools, self.state, self.empty):
            directory.mkdir(parents=True, exist_ok=True)
        # The variables that make the Windows where.exe the current fake.
        self.where_env = {}
        if ON_WINDOWS:
            self.python = Path(sys.executable)
        else:
            self.python = self.bin / "python"
            if not self.python.exists():
                self.python.symlink_to(REAL_PYTHON)
            # The sandbox's own copy of the module: the stand-in shipped
            # beside the installed one would otherwise be found first.
            module = self.lib / os.path.basename(MODULE_FILE)
            if not module.exists():
                module.symlink_to(MODULE_FILE)
        self.calls_file = self.state / "calls"
        self.calls_file.write_bytes(b"")
        self._serial = itertools.count()

    # --- the fake -----------------------------------------------------------

    def write_where(self, directory=None, *, out=b"", err=b"", code=0, body=ERR_THEN_OUT, mode=0o755):
        """Writes a fake `where` into `directory` (default: beside the interpreter link)."""
        n = next(self._serial)
        out_file = self.state / f"out-{n}"
        err_file = self.state / f"err-{n}"
        out_file.write_bytes(out)
        err_file.write_bytes(err)
        if ON_WINDOWS:
            # One where.exe, beside the interpreter: there is no other place.
            assert directory is None, "on Windows the test where.exe sits beside the interpreter"
            if isinstance(body, str):
                body = WINDOWS_BODIES[body]
            variables = {"CALLS": str(self.calls_file), "OUT_FILE": str(out_file),
                         "ERR_FILE": str(err_file), "EXIT": str(code), **body}
            self.where_env = {
                "KELVAR_FAKE_WHERE_" + key: value.replace("@STATE@", str(self.state))
                for key, value in variables.items()
            }
            return WINDOWS_WHERE
        directory = Path(directory) if directory is not None else self.bin
        values = {
            "@STATE@": shlex.quote(str(self.state)),
            "@OUT@": shlex.quote(str(out_file)),
            "@ERR@": shlex.quote(str(err_file)),
            "@CODE@": str(code),
        }
        for tool, path in TOOLS.items():
            values[f"@{tool.upper()}@"] = shlex.quote(path)
        script = SCRIPT_HEAD
        for key, value in values.items():
            script = script.replace(key, value)
        script += body
        target = directory / "where"
        temporary = directory / f".where-{n}"
        temporary.write_text(script)
        temporary.chmod(mode)
        os.replace(temporary, target)
        return target

    def remove_where(self):
        # On Windows the test where.exe stays; without variables it prints
        # nothing and exits with 0, which also leads to the fallback.
        self.where_env = {}
        for directory in (self.bin, self.tools, self.lib):
            (directory / "where").unlink(missing_ok=True)

    def where_variables(self):
        """Every variable of the Windows fake: the current ones, the others unset."""
        if not ON_WINDOWS:
            return {}
        unset = {"KELVAR_FAKE_WHERE_" + key: None for key in WINDOWS_VARIABLES}
        return {**unset, **self.where_env}

    def calls(self):
        return parse_calls(self.calls_file.read_bytes())

    def reset_calls(self):
        self.calls_file.write_bytes(b"")

    # --- interpreters started through the link ------------------------------

    def env(self, **extra):
        if ON_WINDOWS:
            # The interpreter needs the system's variables (SYSTEMROOT and
            # the like) to start; the module is the installed one.
            env = {k: v for k, v in os.environ.items() if not k.startswith("KELVAR_FAKE_WHERE_")}
            env.update(self.where_env)
            env.update({"PYTHONUTF8": "1", "PYTHONDONTWRITEBYTECODE": "1"})
        else:
            env = {
                "PATH": str(self.empty),
                "PYTHONPATH": str(self.lib),
                "PYTHONUTF8": "1",
                "PYTHONDONTWRITEBYTECODE": "1",
            }
        env.update(extra)
        return env

    def run(self, source, *, argv0=None, cwd=None, input=b"", env=None, timeout=REPLY_TIMEOUT,
            command=None):
        """Runs `source` in an interpreter started through the link (or runs
        `command`); returns the JSON value of the last line it prints."""
        proc = subprocess.run(
            command or [str(argv0 or self.python), "-c", textwrap.dedent(source)],
            input=input,
            capture_output=True,
            cwd=cwd,
            env=env or self.env(),
            timeout=timeout,
        )
        if proc.returncode != 0:
            raise AssertionError(
                f"child exited with {proc.returncode}\nstdout:\n{proc.stdout!r}\n"
                f"stderr:\n{proc.stderr.decode(errors='replace')}"
            )
        return json.loads(proc.stdout.decode().splitlines()[-1])

    def popen(self, source, **kwargs):
        return subprocess.Popen(
            [str(self.python), "-c", textwrap.dedent(source)],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=self.env(),
            **kwargs,
        )


_SERVER_SOURCE = r"""
import json, os, sys, time
import _kelvar

class Name(str):
    pass

def answer(request):
    for key, value in request["env"].items():
        if value is None:
            os.environ.pop(key, None)
        else:
            os.environ[key] = value
    if request["cwd"]:
        os.chdir(request["cwd"])
    name = Name(request["name"]) if request["subclass"] else request["name"]
    started = time.process_time()
    try:
        result = _kelvar.find_executable(name, request["fuzzy"])
    except BaseException as error:
        return {"error": repr(error)}
    return {
        "cpu": time.process_time() - started,
        "type": type(result).__name__,
        "item_types": [type(item).__name__ for item in result],
        "items": list(result),
    }

home = os.getcwd()
while True:
    line = sys.stdin.readline()
    if not line:
        break
    saved = dict(os.environ)
    reply = answer(json.loads(line))
    os.environ.clear()
    os.environ.update(saved)
    os.chdir(home)
    sys.stdout.write(json.dumps(reply) + "\n")
    sys.stdout.flush()
"""


class LookupServer:
    """One interpreter, started through the sandbox's link, that performs
    lookups on request, so that a table of cases costs one start-up."""

    def __init__(self, sandbox):
        self.sandbox = sandbox
        self._stderr = open(sandbox.root / "server-stderr", "w+b")
        self.proc = subprocess.Popen(
            [str(sandbox.python), "-c", _SERVER_SOURCE],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self._stderr,
            cwd=sandbox.root,
            env=sandbox.env(),
        )
        self._pending = b""
        # Windows cannot wait for a pipe with select(): a thread reads the
        # answers and hands them over.
        self._lines = None
        if ON_WINDOWS:
            self._lines = queue.Queue()
            threading.Thread(target=self._read_lines, daemon=True).start()

    def _read_lines(self):
        for line in iter(self.proc.stdout.readline, b""):
            self._lines.put(line)
        self._lines.put(b"")

    def alive(self):
        return self.proc.poll() is None

    def close(self):
        if self.alive():
            self.proc.stdin.close()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._stderr.close()

    def _fail(self, why):
        if self.alive():
            self.proc.kill()
            self.proc.wait()
        self._stderr.seek(0)
        raise AssertionError(f"{why}\nserver stderr:\n{self._stderr.read().decode(errors='replace')}")

    def request(self, name, fuzzy, *, subclass=False, env=None, cwd=None):
        """The raw reply: the result's type, its items' type names, and items."""
        env = {**self.sandbox.where_variables(), **(env or {})}
        message = {"name": name, "fuzzy": fuzzy, "subclass": subclass, "env": env, "cwd": cwd}
        try:
            self.proc.stdin.write((json.dumps(message) + "\n").encode())
            self.proc.stdin.flush()
        except (BrokenPipeError, OSError):
            self._fail("the lookup server is gone")
        if self._lines is not None:
            try:
                line = self._lines.get(timeout=REPLY_TIMEOUT)
            except queue.Empty:
                self._fail(f"no answer to {message!r} within {REPLY_TIMEOUT} s")
            if not line:
                self._fail(f"the lookup server died answering {message!r}")
            return json.loads(line)
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + REPLY_TIMEOUT
        while b"\n" not in self._pending:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([fd], [], [], max(left, 0))
            if not ready:
                self._fail(f"no answer to {message!r} within {REPLY_TIMEOUT} s")
            chunk = os.read(fd, 65536)
            if not chunk:
                self._fail(f"the lookup server died answering {message!r}")
            self._pending += chunk
        line, _, self._pending = self._pending.partition(b"\n")
        return json.loads(line)

    def lookup(self, name, fuzzy, **kwargs):
        """find_executable(name, fuzzy) in the server, checked for the shape
        every answer has: a tuple of a plain str equal to the name and a str
        or None."""
        reply = self.request(name, fuzzy, **kwargs)
        assert "error" not in reply, reply
        assert reply["type"] == "tuple"
        assert len(reply["items"]) == 2
        assert reply["item_types"][0] == "str"
        assert reply["item_types"][1] in ("str", "NoneType")
        assert reply["items"][0] == name
        self.last_cpu = reply["cpu"]  # the processor time the lookup took
        return tuple(reply["items"])
