"""Interpreter exit while a daemon thread is inside a call.

At shutdown CPython 3.13 ends a daemon thread that tries to take the interpreter
lock back with pthread_exit, whose forced unwind runs through the frames of
whatever call the thread was in. A call whose conversion runs Python code
(__float__, __index__, a Python iterator) lets the lock go mid-call, so a
daemon thread looping on such calls is caught inside the module sooner or later.
The process must still exit normally, every time."""

import concurrent.futures
import ctypes
import subprocess
import sys
import textwrap

import pytest

# Per entry point: a call whose argument conversion runs Python code.
CALLS = {
    "extract": "core.extract_features_rs({'mouse_movements': [{'x': F(i, 3), 'y': F(1, 7), "
               "'t': F(i, 2)} for i in range(60)], 'keystrokes': [{'down': F(i, 3)} "
               "for i in range(20)]})",
    "curvature": "core.evaluate_curvature_naturalness_rs(UserList(F(i, 3) for i in range(40)), "
                 "[F(i, 7) for i in range(40)], UserList(range(40)))",
    "keystrokes": "core.evaluate_keystroke_dynamics_rs([('k', F(i, 3), F(i + 1, 3)) "
                  "for i in range(60)])",
    "hydrate": "core.hydrate_bans_rs(UserList(('10.0.0.%d' % (i % 9), Big(4_000_000_000 + i)) "
               "for i in range(40)))",
    "ban": "core.ban_ip_rs('10.1.0.%d' % (i % 9), Big(3600 + i))",
}

PROGRAM = """
import threading, time
from collections import UserList
from fractions import Fraction as F
import velkora_core_rs as core

class Big:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value + sum(range(20))  # Python code: the lock may be let go here

def loop():
    i = 0
    while True:
        {call}
        i += 1

for _ in range(3):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.05)
"""

RUNS = 10  # per entry point; today's code crashed about one run in two
TIME_LIMIT = 30  # seconds per run: a newer interpreter parks such threads instead


def run_once(call):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(PROGRAM).format(call=call)],
                            capture_output=True, text=True, timeout=TIME_LIMIT)
    return result.returncode, result.stderr[-2000:]


def sanitized() -> bool:
    return hasattr(ctypes.CDLL(None), "__sanitizer_get_current_allocated_bytes")


# AddressSanitizer does not unpoison the frames that pthread_exit's forced
# unwind leaves, and reports the thread's own exit code writing over them (the
# same false report as for pthread_cancel, google/sanitizers#1399).
@pytest.mark.skipif(sanitized(), reason="AddressSanitizer misreports stacks unwound by pthread_exit")
@pytest.mark.parametrize("name", list(CALLS))
def test_exit_with_daemon_thread_inside_a_call(name):
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        outcomes = list(pool.map(run_once, [CALLS[name]] * RUNS))
    bad = [(status, err) for status, err in outcomes if status != 0 or err]
    assert not bad, f"{len(bad)} of {RUNS} runs ended badly; first: {bad[0]}"
