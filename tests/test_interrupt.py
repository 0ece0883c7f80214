"""Ctrl-C stops long calls promptly, restoring their inputs and leaking nothing."""
import signal
import sys
import time

import numpy as np
import pytest

import tanvo

pytestmark = pytest.mark.timing


def answer_time(seconds, call):
    """How long after a Ctrl-C at `seconds` the call raised KeyboardInterrupt; None when it
    ended first (the interrupt then lands in the Python code that follows)."""
    # A real signal, as Ctrl-C sends: it arrives while the call holds the interpreter lock.
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    stopped = None
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        call()
        stopped = time.perf_counter()
        time.sleep(max(0.0, start + seconds - stopped) + 0.5)  # the interrupt lands here
    except KeyboardInterrupt:
        if stopped is None:
            stopped = time.perf_counter()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    return stopped - start - seconds if stopped - start > seconds else None


def interrupted_after(seconds, call):
    """Runs call() with a simulated Ctrl-C after `seconds`; returns how long it took to stop."""
    late = answer_time(seconds, call)
    assert late is not None, "the call ended before the interrupt"
    return late


@pytest.mark.parametrize("function", [tanvo.get_structure_constants, tanvo.get_d_coefficients])
def test_interrupt_is_answered_in_every_phase_of_a_long_call(function):
    # About 40% of the call finds the terms, the rest builds the returned dict of a million
    # entries: the interrupts land in both, and the part of the dict already built is released
    # after the call has raised.
    small = tanvo.gen_sylvester(3)
    expected = function(small)
    basis = tanvo.gen_sylvester(32)
    start = time.perf_counter()
    function(basis)
    whole = time.perf_counter() - start
    blocks = sys.getallocatedblocks()
    answers = [answer_time(fraction * whole, lambda: function(basis)) for fraction in (0.1, 0.3, 0.6, 0.85)]
    answered = [a for a in answers if a is not None]
    assert len(answered) >= 2, answers
    # Well under 0.1 s on an idle machine; the bound leaves room for a loaded one.
    assert max(answered) < 0.5, answers
    assert all(m.flags.writeable for m in basis)
    assert function(small) == expected
    # The interpreter runs the pending releases between instructions, a slice every few ms.
    deadline = time.perf_counter() + 5.0
    while sys.getallocatedblocks() >= blocks + 10**4 and time.perf_counter() < deadline:
        pass
    assert sys.getallocatedblocks() < blocks + 10**4


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


@pytest.mark.parametrize("function, j", [(tanvo.gen_su2, 1200.0), (tanvo.gen_sl2, 1700.0)])
def test_spin_generators_answer_interrupts_while_filling_large_matrices(function, j):
    # Zeroing, combining and copying out matrices of hundreds of megabytes: each pass answers.
    whole = float("inf")
    for _ in range(2):  # the first call also faults in the heap's fresh pages
        start = time.perf_counter()
        function(j)
        whole = min(whole, time.perf_counter() - start)
    answers = [answer_time(fraction * whole, lambda: function(j)) for fraction in (0.1, 0.3, 0.5)]
    answered = [a for a in answers if a is not None]
    assert len(answered) >= 2, answers
    # A call that only looked at the end would answer after the rest of it, over half of it.
    assert max(answered) < 0.05 + 0.3 * whole, (answers, whole)
    small = function(1.5)
    assert len(small) == 3 and small[0].shape == (4, 4)


def random_matrices(n, d, seed=0):
    rng = np.random.default_rng(seed)
    return np.ascontiguousarray(rng.standard_normal((n, d, d)) + 1j * rng.standard_normal((n, d, d)))


def tensor_by(method, matrices, threads=2):
    from tanvo_lie import _native
    return lambda: _native.structure_tensor(matrices, 0, 1e-8, 0, len(matrices), threads, method)


AUTOMATIC, SPARSE, DENSE, PER_PAIR = range(4)

# Every route of the complete tensor, and tanvo's dense map. The dense ones spend their first
# seconds on a pseudo-inverse (1024 x 1024, 676 x 640), which was one LAPACK call without a stop
# point: Ctrl-C waited for it, 8 s and more. They run for minutes: the signal comes at fixed
# times; the sparse ones, timed first, get it at fractions of their run.
ROUTES = {
    "tensor-dense": (lambda: tensor_by(AUTOMATIC, random_matrices(1024, 32)), (0.3, 1.2)),
    "tensor-dense-one-thread": (lambda: tensor_by(DENSE, random_matrices(1024, 32), threads=1), (0.3, 1.2)),
    "tensor-per-pair": (lambda: tensor_by(PER_PAIR, random_matrices(400, 20)), (0.3, 1.2)),
    "tensor-sparse-orthogonal": (lambda: tensor_by(SPARSE, np.array(tanvo.gen_sylvester(48))), None),
    "tensor-mirrored-pairs": (lambda: tensor_by(AUTOMATIC, np.array(tanvo.gen_gellmann(64))), None),
    "map-dense": (lambda: (lambda basis: lambda: tanvo.get_structure_constants(basis))(list(random_matrices(640, 26))),
                  (0.3, 1.2)),
}


@pytest.mark.parametrize("route", ROUTES)
def test_every_route_answers_interrupts_within_a_second(route):
    make, times = ROUTES[route]
    call = make()
    if times is None:
        whole = float("inf")
        for _ in range(2):  # the first call also starts threads and faults in fresh pages
            start = time.perf_counter()
            call()
            whole = min(whole, time.perf_counter() - start)
        times = (0.2 * whole, 0.5 * whole)
    answers = [answer_time(at, call) for at in times]
    answered = [a for a in answers if a is not None]
    assert answered, answers  # a call may end before a signal on a fast machine, not before both
    # Well under 0.1 s on an idle machine; the bound leaves room for a loaded one.
    assert max(answered) < 1.0, answers
    assert len(tanvo.get_structure_constants(tanvo.gen_sylvester(2))) == 6
