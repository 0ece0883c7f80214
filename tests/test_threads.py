"""Calls from several Python threads at once give the results of the same calls made one after
another, including the very first calls of a process, which fetch the NumPy table and create
the PanicException type: there is only ever one PanicException type."""
import json
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import tanvo

from conftest import bits

THREADS = 8

# Run in a fresh interpreter. The barrier makes the first calls of all threads start together.
# Every import of NumPy's C API module pauses, so that all threads ask for the table before it
# is there; objects in reference cycles whose finalizers give up the interpreter lock,
# collected at almost every allocation, make threads switch inside the module's calls.
FIRST_CALLS = r"""
import gc, json, sys, threading, time
import numpy as np
import tanvo

def slow_numpy_import(event, args):
    if event == "import" and args[0].startswith("numpy.") and "multiarray" in args[0]:
        time.sleep(0.01)

sys.addaudithook(slow_numpy_import)
sys.setswitchinterval(1e-6)
yielding = False

class Yielding:
    def __init__(self):
        self.cycle = self

    def __del__(self):
        if yielding:
            time.sleep(0.001)
            Yielding()

def start_yielding():
    global yielding
    yielding = True
    gc.set_threshold(1, 1, 1)
    for _ in range(THREADS):
        Yielding()

THREADS = %d
barrier = threading.Barrier(THREADS, action=start_yielding)
started = threading.Semaphore(0)
column = np.arange(1, 9, dtype=complex).reshape(8, 1)
table = {(0, 1): (2, 1j), (3, 4): (5, -2.0), (7, 7): (0, 0.5)}
seen = [None] * THREADS

def call(kind):
    try:
        if kind == "panic":
            tanvo.gen_sylvester(0)
        elif kind == "array":
            return tanvo.cross(column, column[::-1], table).tobytes().hex()
        else:
            return [m.tobytes().hex() for m in tanvo.gen_gellmann(3)]
    except BaseException as error:
        return [id(type(error)), type(error).__name__, str(error)]

def worker(n):
    order = ["array", "panic"] if n %% 2 else ["panic", "array"]
    barrier.wait()
    first = [(kind, call(kind)) for kind in order]
    started.release()
    seen[n] = first + [(kind, call(kind)) for kind in ["panic", "array", "list"] for _ in range(3)]

threads = [threading.Thread(target=worker, args=(n,)) for n in range(THREADS)]
for t in threads:
    t.start()
for _ in threads:
    started.acquire()
yielding = False
gc.set_threshold(700, 10, 10)
for t in threads:
    t.join()
gc.collect()
print(json.dumps({"seen": seen, "serial": {k: call(k) for k in ["panic", "array", "list"]}}))
"""


@pytest.mark.parametrize("run", range(5))
def test_first_calls_from_many_threads(run):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", FIRST_CALLS % THREADS], capture_output=True,
                          text=True, env=env, timeout=600)
    assert done.returncode == 0, done.stderr[-2000:]
    report = json.loads(done.stdout.splitlines()[-1])
    serial = report["serial"]
    assert serial["panic"][1:] == ["PanicException", "ndarray: index out of bounds"]
    # Every thread's result equals the serial one; for failures that includes the identity of
    # the exception type, so there is one PanicException type.
    for calls in report["seen"]:
        assert len(calls) == 11
        for kind, got in calls:
            assert got == serial[kind], kind


def outcomes(call):
    try:
        result = call()
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        return type(error), str(error)
    if isinstance(result, np.ndarray):
        return bits(result)
    if isinstance(result, list):
        return [bits(m) for m in result]
    return result


G3 = tanvo.gen_gellmann(3)
COLUMN = np.arange(1, 9, dtype=complex).reshape(8, 1) * (1 + 0.25j)
F3 = tanvo.get_structure_constants(G3)
SHARED_CALLS = {
    "sylvester": lambda: tanvo.gen_sylvester(4),
    "sylvester-panic": lambda: tanvo.gen_sylvester(0),
    "gellmann": lambda: tanvo.gen_gellmann(4),
    "su2": lambda: tanvo.gen_su2(2.5),
    "sl2-panic": lambda: tanvo.gen_sl2(-3.0),
    "structure": lambda: tanvo.get_structure_constants(G3),
    "d-coefficients": lambda: tanvo.get_d_coefficients(G3),
    "solver-panic": lambda: tanvo.get_structure_constants([np.full((2, 2), np.nan, complex)] * 2),
    "commutator": lambda: tanvo.su_commutator(COLUMN, COLUMN[::-1], F3, G3),
    "anticommutator": lambda: tanvo.su_anticommutator(COLUMN, COLUMN, F3, G3),
    "cross": lambda: tanvo.cross(COLUMN, COLUMN[::-1], F3),
    "dot-typeerror": lambda: tanvo.dot(COLUMN.real, COLUMN, F3),
}


def test_shared_arguments_from_many_threads(panic):
    # The same arrays go to every thread at once: each call borrows them read-only in turn.
    expected = {name: outcomes(call) for name, call in SHARED_CALLS.items()}
    barrier = threading.Barrier(THREADS)
    failures, panic_types = [], set()

    def worker(n):
        barrier.wait()
        for round in range(20):
            for name in list(SHARED_CALLS)[n % 3:] + list(SHARED_CALLS)[:n % 3]:
                got = outcomes(SHARED_CALLS[name])
                if isinstance(got, tuple) and got[0].__name__ == "PanicException":
                    panic_types.add(got[0])
                if got != expected[name]:
                    failures.append((n, round, name))

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(n,)) for n in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(previous)
    assert failures == []
    assert panic_types == {panic}
    assert COLUMN.flags.writeable and all(m.flags.writeable for m in G3)
