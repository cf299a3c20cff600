"""pytest plugin of the sanitizer run (.ci/sanitize loads it with -p).

The sanitized _kelvar loads only into an interpreter whose first library is
the sanitizer runtime. Tests that start a child interpreter with an
environment of their own making (a bare PATH, say) would drop LD_PRELOAD and
the sanitizer options with it, and the child would die on import. This
plugin adds those variables, as the run has them, to every environment given
to subprocess.Popen that lacks them; nothing else about the children changes.
"""

import os
import subprocess

CARRIED = ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")

_popen_init = subprocess.Popen.__init__


def _with_sanitizer(env):
    env = dict(env)
    as_bytes = any(isinstance(key, bytes) for key in env)
    for name in CARRIED:
        value = os.environ.get(name)
        key = os.fsencode(name) if as_bytes else name
        if value is not None and key not in env:
            env[key] = os.fsencode(value) if as_bytes else value
    return env


def _popen_init_sanitized(self, *args, **kwargs):
    if kwargs.get("env") is not None:
        kwargs["env"] = _with_sanitizer(kwargs["env"])
    _popen_init(self, *args, **kwargs)


subprocess.Popen.__init__ = _popen_init_sanitized


def pytest_report_header(config):
    return "sanitizer run: " + ", ".join(f"{n}={os.environ.get(n, '')}" for n in CARRIED[:2])
