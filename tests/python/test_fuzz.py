"""Random arguments, by position and by keyword, thrown at every function
(see _fuzz_calls.py for the calls and what each must end in), on one thread
and in daemon threads while the interpreter exits.

KELVAR_FUZZ_CALLS is the number of calls of a run (small by default),
KELVAR_FUZZ_SEED the seed; KELVAR_SHUTDOWN_FUZZ_EXITS the number of exits of
the shutdown fuzzer (a bounded sample by default).
"""

import os
import random
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

from _fuzz_calls import Calls, call_at_random
from _reliability_helpers import CHILD_TIMEOUT, SANITIZED, TESTS_DIR

CALLS = int(os.environ.get("KELVAR_FUZZ_CALLS", "3000"))
SEED = int(os.environ.get("KELVAR_FUZZ_SEED", "20261208"))
EXITS = int(os.environ.get("KELVAR_SHUTDOWN_FUZZ_EXITS", "20" if SANITIZED else "150"))


# An __index__ that answers an int subclass is deprecated, and says so.
@pytest.mark.filterwarnings("ignore:__index__ returned non-int:DeprecationWarning")
@pytest.mark.parametrize("finalising", [False, True], ids=["plain objects", "finalising objects"])
def test_random_calls_end_in_results_or_documented_errors(finalising):
    calls = Calls(random.Random(SEED), finalising=finalising)
    outcomes = {"result": 0, "error": 0}
    for number in range(CALLS):
        outcomes[call_at_random(calls, number, SEED)] += 1
    # Both ways out were taken, or the generator has lost its point.
    assert outcomes["result"] > 0 and outcomes["error"] > 0, outcomes


# Daemon threads make random calls with finalising objects until the
# interpreter exits under them, at a random moment; each thread is ended
# wherever it then asks for the lock back: in the module's wait, in Python
# code that a conversion runs, or in a finaliser that a release runs.
SHUTDOWN_SOURCE = r"""
import random, sys, threading, time, warnings
# An __index__ that answers an int subclass is deprecated, and says so.
warnings.simplefilter("ignore")
sys.path.insert(0, TESTS_DIR)
import _fuzz_calls
from _fuzz_calls import Calls, call_at_random
_fuzz_calls.NAP = 0.0005
calls_made = [0] * THREADS
def work(n):
    calls = Calls(random.Random(SEED * 1000 + n), finalising=True)
    # Calls made ahead, so that a thread spends its time in the module's
    # calls rather than in making them; now and then one is made anew.
    pool = [calls.call() for _ in range(20)]
    while True:
        i = calls.rng.randrange(len(pool))
        if calls.rng.random() < 0.1:
            pool[i] = calls.call()
        call_at_random(calls, calls_made[n], SEED * 1000 + n, pool[i])
        calls_made[n] += 1
for n in range(THREADS):
    threading.Thread(target=work, args=(n,), daemon=True).start()
rng = random.Random(SEED)
deadline = time.monotonic() + 30
while sum(calls_made) < THREADS and time.monotonic() < deadline:
    time.sleep(0.001)
time.sleep(rng.uniform(0, 0.25))
print("exiting after", "some" if sum(calls_made) >= THREADS else "too few", "calls")
"""


def exit_once(seed, threads=16):
    source = (SHUTDOWN_SOURCE.replace("TESTS_DIR", repr(TESTS_DIR))
              .replace("THREADS", str(threads)).replace("SEED", str(seed)))
    proc = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=CHILD_TIMEOUT)
    if (proc.returncode, proc.stdout, proc.stderr) != (0, "exiting after some calls\n", ""):
        return f"seed {seed}: exit status {proc.returncode}\n{proc.stdout}{proc.stderr[-3000:]}"
    return None


def test_random_calls_in_daemon_threads_let_the_process_end_at_any_moment():
    # Exits from a seed of their own, two at a time; every one must end
    # normally, with nothing on its standard error.
    with ThreadPoolExecutor(2) as pool:
        failures = [f for f in pool.map(exit_once, range(SEED, SEED + EXITS)) if f]
    assert failures == [], f"{len(failures)} of {EXITS} exits failed:\n" + "\n".join(failures[:3])
