"""Ctrl-C stops long calls promptly, restoring their inputs and leaking nothing."""
import signal
import time

import numpy as np
import pytest

import tanvo


def interrupted_after(seconds, call):
    """Runs call() with a simulated Ctrl-C after `seconds`; returns how long it took to stop."""
    # A real signal, as Ctrl-C sends: it arrives while the call holds the interpreter lock.
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    finished = False
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        call()
        finished = True
        time.sleep(10)  # let the pending interrupt arrive outside the call
    except KeyboardInterrupt:
        pass
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert not finished, "the call ended before the interrupt"
    return time.perf_counter() - start - seconds


@pytest.mark.parametrize("function", [tanvo.get_structure_constants, tanvo.get_d_coefficients])
def test_fast_extraction_stops_on_interrupt(function):
    small = tanvo.gen_sylvester(3)
    expected = function(small)
    basis = tanvo.gen_sylvester(40)
    for m in basis:
        assert m.flags.writeable
    late = interrupted_after(0.3, lambda: function(basis))
    assert late < 1.0
    assert all(m.flags.writeable for m in basis)
    assert function(small) == expected


def test_per_pair_method_stops_on_interrupt(reference):
    basis = [np.ascontiguousarray(m) for m in tanvo.gen_sylvester(9)]
    late = interrupted_after(0.3, lambda: reference.get_structure_constants(basis))
    assert late < 1.0
    assert all(m.flags.writeable for m in basis)


@pytest.mark.parametrize("name", ["cross", "su_commutator"])
def test_probing_products_stop_on_interrupt(reference, name):
    long_column = np.ones((30000, 1), complex)
    basis = [np.eye(2, dtype=complex)]
    args = (long_column, long_column, {(10**6, 0): (0, 1j)}) + ((basis,) if name == "su_commutator" else ())
    late = interrupted_after(0.3, lambda: getattr(reference, name)(*args))
    assert late < 1.0
    assert long_column.flags.writeable and basis[0].flags.writeable
