"""tanvo_lie.lie_closure: dimensions of known algebras, orthonormality, closure, order,
determinism, the agreement of every representation with the one-by-one routine, and errors."""
import functools
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tanvo
import tanvo_lie
from tanvo_lie import lie_closure
from tanvo_lie._closure import _closure, smallest_tolerance
from conftest import sanitized
from test_interrupt import interrupted_after

I2 = np.eye(2)
X = np.array([[0, 1], [1, 0]], dtype=complex)
Y = np.array([[0, -1j], [1j, 0]])
Z = np.diag([1.0, -1.0]).astype(complex)


def on_sites(n, placed):
    """The n-qubit operator with the single-qubit matrices `placed` {site: matrix}."""
    return functools.reduce(np.kron, [placed.get(k, I2) for k in range(n)])


def ising(n):
    return np.array([on_sites(n, {i: X, i + 1: X}) for i in range(n - 1)] + [on_sites(n, {i: Z}) for i in range(n)])


def heisenberg(n):
    return np.array([sum(on_sites(n, {i: P, i + 1: P}) for P in (X, Y, Z)) for i in range(n - 1)])


def random_hermitian(d, count, seed, traceless=False):
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(count, d, d)) + 1j * rng.normal(size=(count, d, d))
    h = a + a.conj().transpose(0, 2, 1)
    if traceless:
        h -= np.trace(h, axis1=1, axis2=2)[:, None, None] * np.eye(d) / d
    return h


def flat(basis):
    return basis.reshape(basis.shape[0], basis.shape[1] * basis.shape[2])


def outside_span(basis, matrices):
    """Norm of each matrix's component outside the span of the orthonormal basis."""
    b, m = flat(basis), flat(np.asarray(matrices, dtype=complex))
    return np.linalg.norm(m - (m @ b.conj().T) @ b, axis=1)


def complement(basis):
    """An orthonormal basis of the orthogonal complement of the orthonormal basis's span."""
    b = flat(basis)
    n, size = b.shape
    if n == size:
        return basis[:0]
    rng = np.random.default_rng(0)
    rest = rng.normal(size=(size - n, size)) + 1j * rng.normal(size=(size - n, size))
    for _ in range(2):
        rest -= (b @ rest.conj().T).conj().T @ b  # (rest b^H) b without a conjugated copy of b
    return np.linalg.qr(rest.T)[0].T.reshape(-1, *basis.shape[1:])


def assert_closed_orthonormal_basis(basis, generators, *, traceless=False):
    """The basis is orthonormal, spans the generators, and every commutator [b_i, g_j] of an
    element with a unit generator lies in its span (residual below 1e-8): the span is closed
    under each ad g_j, so it holds the whole algebra. Optionally every element is traceless."""
    n, d = len(basis), basis.shape[-1]
    assert basis.dtype == np.complex128 and basis.flags.c_contiguous
    b = flat(basis)
    if n * n * d * d <= 10**8:
        np.testing.assert_allclose(b.conj() @ b.T, np.eye(n), atol=1e-12)
    else:  # |(G - I) y| for Gaussian y is about |G - I|_F: four probes instead of the Gram matrix
        y = np.random.default_rng(1).normal(size=(n, 4)) + 0j
        assert np.linalg.norm((b @ (b.T @ y).conj()).conj() - y, axis=0).max() < 1e-9
    generators = np.asarray(generators, dtype=complex)
    generators = generators[np.linalg.norm(flat(generators), axis=1) > 0]
    units = generators / np.linalg.norm(flat(generators), axis=1)[:, None, None]
    if 2 * n <= d * d:
        assert outside_span(basis, units).max(initial=0) < 1e-8
        commutators = np.concatenate([basis @ g - g @ basis for g in units] or [basis[:0]])
        assert outside_span(basis, commutators).max(initial=0) < 1e-8
    else:
        # Measured along the few units u of the complement instead: the component of [b, g]
        # along u is <u, [b, g]> = <[u, g^†], b>, one product instead of n commutators per g.
        u = complement(basis)
        assert np.abs(flat(u).conj() @ flat(units).T).max(initial=0) < 1e-8
        adjoint = np.concatenate([u @ g.conj().T - g.conj().T @ u for g in units] or [u[:0]])
        components = flat(adjoint).conj() @ b.T  # (generators x complement) x n
        residual = np.linalg.norm(components.reshape(len(units), len(u), n), axis=1)
        assert residual.max(initial=0) < 1e-8
    if traceless:
        assert np.abs(np.trace(basis, axis1=1, axis2=2)).max(initial=0) < 1e-10


def clock_and_shift(d):
    """The shift X e_c = e_(c+1 mod d) and the clock Z = diag(ω^c), ω = e^(2πi/d): they generate sl(d)."""
    return np.array([np.roll(np.eye(d), 1, axis=0), np.diag(np.exp(2j * np.pi * np.arange(d) / d))])


# (generators, dimension of the algebra)
KNOWN = {
    "su(2) from two Pauli matrices": (lambda: [1j * X, 1j * Z], 3),
    "su(2) from a dependent set": (lambda: [X, Z, X + 2 * Z, 3 * X, np.zeros((2, 2))], 3),
    "abelian set stays itself": (lambda: [on_sites(3, {0: Z}), on_sites(3, {1: Z}), on_sites(3, {0: Z, 1: Z}),
                                          on_sites(3, {0: Z}) + on_sites(3, {1: Z})], 3),
    **{f"Ising chain n={n}: so(2n)": (functools.partial(ising, n), n * (2 * n - 1)) for n in (2, 3, 4, 5)},
    "Heisenberg chain n=4": (functools.partial(heisenberg, 4), 12),
    "Heisenberg chain n=5": (functools.partial(heisenberg, 5), 40),
    "su(5) from two random traceless Hermitian": (lambda: random_hermitian(5, 2, 1, traceless=True), 24),
    "u(6) from two random Hermitian": (lambda: random_hermitian(6, 2, 2), 36),
    "sl(3) from clock and shift": (lambda: tanvo.gen_sylvester(3)[:2], 8),
    **{f"sl({d}) from clock and shift": (functools.partial(clock_and_shift, d), d * d - 1) for d in (12, 16)},
    "gl(4) from non-Hermitian": (lambda: np.random.default_rng(3).normal(size=(2, 4, 4)) + 0j, 16),
}


@pytest.mark.parametrize("case", list(KNOWN))
def test_dimension_of_known_algebras(case):
    make, dimension = KNOWN[case]
    generators = make()
    basis = lie_closure(generators)
    assert basis.shape == (dimension, *np.shape(generators)[1:])
    assert_closed_orthonormal_basis(basis, generators)


# Long commutator chains mix rounding into the elements differently in each route: they agree on
# the span, not element by element.
MIXING = {f"sl({d}) from clock and shift" for d in (12, 16)}


@pytest.mark.parametrize("method", ["pauli", "entries", "dense"])
@pytest.mark.parametrize("case", [c for c in KNOWN if "n=5" not in c])
def test_every_representation_gives_the_one_by_one_elements(case, method):
    generators = np.ascontiguousarray(KNOWN[case][0](), dtype=complex)
    d = generators.shape[1]
    if method == "pauli" and d & (d - 1):
        pytest.skip("Pauli words need d a power of two")
    expected = _closure(generators, 1e-10, -1, 1, "reference")
    got = _closure(generators, 1e-10, -1, 2, method)
    assert got.shape == (KNOWN[case][1], d, d) and expected.shape == got.shape
    if case in MIXING:
        assert outside_span(expected, got).max() < 1e-8
    else:
        np.testing.assert_allclose(got, expected, atol=1e-10)
    assert_closed_orthonormal_basis(got, generators)


@pytest.mark.parametrize("d, tol", [(d, 1e-10) for d in range(2, 41)] + [(d, tol) for d in (12, 16) for tol in (1e-8, 1e-6)])
def test_clock_and_shift_close_to_sl_d(d, tol):
    # Rounding grows along commutator chains: d = 12 to 16 once let the identity in.
    generators = clock_and_shift(d)
    basis = lie_closure(generators, tol=tol)
    assert basis.shape == (d * d - 1, d, d)
    assert_closed_orthonormal_basis(basis, generators, traceless=True)


@pytest.mark.parametrize("method", ["dense", "reference"])
@pytest.mark.parametrize("d", [2, 3, 5, 8, 11, 12, 13, 14, 15, 16])
def test_unitary_conjugate_of_clock_and_shift_closes_to_sl_d(d, method):
    # Dense matrices: rounding reaches every direction, the identity's included.
    if method == "reference" and d > 12:
        pytest.skip("the reference's plain loops take seconds from d = 13 on")
    rng = np.random.default_rng(d)
    q = np.linalg.qr(rng.normal(size=(d, d)) + 1j * rng.normal(size=(d, d)))[0]
    generators = np.ascontiguousarray(q @ clock_and_shift(d) @ q.conj().T)
    basis = _closure(generators, 1e-10, -1, 2, method)
    assert basis.shape == (d * d - 1, d, d)
    assert_closed_orthonormal_basis(basis, generators, traceless=True)


# Generators each Hermitian or anti-Hermitian: (generators, dimension of the real algebra).
COMPACT = {
    "Ising chain n=4, Hermitian terms": (functools.partial(ising, 4), 28),
    "Ising chain n=4, anti-Hermitian terms": (lambda: 1j * ising(4), 28),
    "Ising chain n=4, mixed": (lambda: ising(4) * np.array([1, 1j, 1, 1j, 1, 1j, 1])[:, None, None], 28),
    "Heisenberg chain n=4": (functools.partial(heisenberg, 4), 12),
    "su(5) from two random traceless Hermitian": (lambda: random_hermitian(5, 2, 1, traceless=True), 24),
    "u(6) from two random Hermitian": (lambda: random_hermitian(6, 2, 2), 36),
}


@pytest.mark.parametrize("method", ["auto", "pauli", "entries", "dense", "reference"])
@pytest.mark.parametrize("case", list(COMPACT))
def test_hermitian_generators_give_the_compact_real_form(case, method):
    # The real span of an anti-Hermitian basis is the algebra itself: structure constants come
    # out real and each ad matrix antisymmetric. Its size is the complex dimension as before.
    make, dimension = COMPACT[case]
    generators = np.ascontiguousarray(make(), dtype=complex)
    d = generators.shape[1]
    if method == "pauli" and d & (d - 1):
        pytest.skip("Pauli words need d a power of two")
    basis = _closure(generators, 1e-10, -1, 2, method)
    assert basis.shape == (dimension, d, d)
    assert np.abs(basis + basis.conj().transpose(0, 2, 1)).max() == 0.0
    assert_closed_orthonormal_basis(basis, generators)
    products = np.einsum("iab,jbc->ijac", basis, basis)
    f = np.einsum("kab,ijab->ijk", basis.conj(), products - products.transpose(1, 0, 2, 3))  # <b_k, [b_i, b_j]>
    assert np.abs(f.imag).max() < 1e-12
    np.testing.assert_allclose(f, -f.transpose(0, 2, 1), atol=1e-12)


@pytest.mark.parametrize("make", [functools.partial(ising, 6), functools.partial(heisenberg, 5),
                                  lambda: random_hermitian(8, 2, 4)], ids=["ising", "heisenberg", "dense"])
def test_same_input_gives_the_same_bits_whatever_the_threads(make):
    generators = make()
    first = lie_closure(generators, threads=1)
    # Counts past four per core are capped: 10**9 once asked for a workspace each, 2**32 wrapped.
    for threads in (1, 2, 3, 10**9, 2**32, 2**32 + 1, 10**30):
        assert lie_closure(generators, threads=threads).tobytes() == first.tobytes()


@pytest.mark.parametrize("scale", [1e-300, 1e-200, 1e-162, 1e154, 1e200, 1e300])
@pytest.mark.parametrize("case", ["su(2) from two Pauli matrices", "Ising chain n=3: so(2n)", "sl(3) from clock and shift",
                                  "su(5) from two random traceless Hermitian"])
def test_the_basis_does_not_depend_on_the_generators_scale(case, scale):
    # Squared entries once overflowed from 1e154 and underflowed from 1e-162: the generators were lost.
    make, dimension = KNOWN[case]
    generators = np.asarray(make(), dtype=complex)
    basis = lie_closure(scale * generators)
    assert basis.shape == (dimension, *generators.shape[1:])
    np.testing.assert_allclose(basis, lie_closure(generators), atol=1e-12)
    assert_closed_orthonormal_basis(basis, generators)


def test_memory_error_names_the_closure():
    if sanitized():
        pytest.skip("AddressSanitizer's shadow memory does not fit under an address-space limit")
    # The address space is capped a little above what the interpreter holds: the closure's
    # growing basis of 256 x 256 matrices passes it within a second.
    script = textwrap.dedent("""
        import resource, numpy as np, tanvo_lie
        generators = np.random.default_rng(0).normal(size=(2, 256, 256)) + 0j
        with open("/proc/self/status") as status:
            size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (size + 200 * 2**20, resource.RLIM_INFINITY))
        try:
            tanvo_lie.lie_closure(generators, threads=1)
        except MemoryError as error:
            print(error)
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.stdout.startswith("cannot allocate the memory for the Lie closure of 2 generators of 256 x 256"), run.stderr


def test_smallest_tolerance_still_gives_the_algebra():
    for generators, dimension in [(clock_and_shift(12), 143), (ising(4), 28), (random_hermitian(6, 2, 2), 36)]:
        d = generators.shape[1]
        basis = lie_closure(generators, tol=smallest_tolerance(d))
        assert basis.shape == (dimension, d, d)
        assert_closed_orthonormal_basis(basis, generators)


def test_generators_come_first_in_their_order():
    generators = [on_sites(3, {0: X, 1: X}), on_sites(3, {1: Z}), 2 * on_sites(3, {0: X, 1: X}),
                  on_sites(3, {0: Z})]
    basis = lie_closure(generators)
    # Gram–Schmidt in order: element k spans generator k minus its part along the earlier ones
    # (times i: Hermitian generators give the compact form's anti-Hermitian elements).
    for k, g in [(0, generators[0]), (1, generators[1]), (2, generators[3])]:
        np.testing.assert_allclose(basis[k], 1j * g / np.linalg.norm(g), atol=1e-15)
    assert outside_span(basis[:3], generators).max() < 1e-12


@pytest.mark.parametrize("generators, shape", [
    ([], (0, 0, 0)),
    (np.zeros((0, 3, 3)), (0, 3, 3)),
    (np.zeros((2, 4, 4)), (0, 4, 4)),
    ([np.zeros((2, 2), dtype=int)], (0, 2, 2)),
])
def test_empty_and_zero_inputs_give_an_empty_basis(generators, shape):
    basis = lie_closure(generators)
    assert basis.shape == shape and basis.dtype == np.complex128


def test_tolerance_decides_dependence():
    nearly = [X, Z, X + 1e-7 * Y]
    assert len(lie_closure(nearly[::2], tol=1e-6)) == 1
    assert len(lie_closure(nearly[::2], tol=1e-9)) == 3


def test_max_dimension_stops_with_the_dimension_reached():
    generators = ising(4)
    assert len(lie_closure(generators, max_dimension=28)) == 28
    with pytest.raises(RuntimeError, match=r"max_dimension=10: 11 independent elements"):
        lie_closure(generators, max_dimension=10)


def test_progress_line_on_stderr(capsys):
    lie_closure(ising(4), progress=True)
    err = capsys.readouterr().err
    assert err.startswith("\rlie_closure: dimension ") and "commutators tried" in err and err.endswith("\n")
    lie_closure(ising(4))
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("generators, options, error, message", [
    ([np.ones((2, 3))], {}, ValueError, "square"),
    ([X, np.eye(3)], {}, ValueError, r"generators\[1\] has shape"),
    ([X, np.array([["a", "b"], ["c", "d"]])], {}, TypeError, r"generators\[1\] must hold numbers"),
    ([X, np.full((2, 2), np.nan)], {}, ValueError, r"generators\[1\] has non-finite"),
    (5, {}, TypeError, "generators must be"),
    ([X], {"tol": 0.0}, ValueError, "tol must be positive"),
    ([X], {"tol": float("inf")}, ValueError, "tol must be positive"),
    ([X], {"tol": "1e-9"}, TypeError, "tol must be a real number"),
    ([X], {"tol": 1e-300}, ValueError, r"tol must be at least 4\.02e-14 for 2 x 2 generators .*; got 1e-300"),
    ([np.eye(64)], {"tol": 1e-13}, ValueError, r"tol must be at least 2\.27e-13 for 64 x 64 generators"),
    ([X], {"tol": 1.0}, ValueError, "tol must be below 1"),
    ([X], {"tol": 10**400}, ValueError, "tol must be below 1; got a number past the largest float"),
    ([X], {"max_dimension": -1}, ValueError, "max_dimension must be non-negative"),
    ([X], {"max_dimension": 2.0}, TypeError, "max_dimension must be an int"),
    ([X], {"max_dimension": True}, TypeError, "max_dimension must be an int"),
    ([X], {"threads": 0}, ValueError, "threads must be at least 1"),
    ([X], {"progress": "yes"}, TypeError, "progress must be a bool"),
])
def test_bad_arguments_get_clear_errors(generators, options, error, message):
    with pytest.raises(error, match=message):
        lie_closure(generators, **options)


@pytest.mark.timing
@pytest.mark.parametrize("progress", [False, True])
def test_long_closure_stops_on_interrupt(progress, capsys):
    generators = heisenberg(8)  # minutes of work
    late = interrupted_after(0.5, lambda: lie_closure(generators, progress=progress))
    assert late < 1.0
    assert capsys.readouterr().err.endswith("\n" if progress else "")
    assert len(lie_closure(heisenberg(4))) == 12


def test_result_feeds_structure_tensor():
    if not hasattr(tanvo_lie, "structure_tensor"):
        pytest.skip("structure_tensor is not in this build")
    basis = lie_closure(ising(3))
    tensor = tanvo_lie.structure_tensor(basis).todense()
    products = np.einsum("iab,jbc->ijac", basis, basis)
    commutators = products - products.transpose(1, 0, 2, 3)
    np.testing.assert_allclose(np.einsum("ijk,kab->ijab", tensor, basis), commutators, atol=1e-10)
