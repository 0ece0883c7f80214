"""tanvo_lie.lie_closure: dimensions of known algebras, orthonormality, closure, order,
determinism, the agreement of every representation with the one-by-one routine, and errors."""
import functools

import numpy as np
import pytest

import tanvo
import tanvo_lie
from tanvo_lie import lie_closure
from tanvo_lie._closure import _closure
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
    return basis.reshape(len(basis), -1)


def outside_span(basis, matrices):
    """Norm of each matrix's component outside the span of the orthonormal basis."""
    b, m = flat(basis), flat(np.asarray(matrices, dtype=complex))
    return np.linalg.norm(m - (m @ b.conj().T) @ b, axis=1)


def assert_closed_orthonormal_basis(basis, generators):
    n = len(basis)
    assert basis.dtype == np.complex128 and basis.flags.c_contiguous
    np.testing.assert_allclose(flat(basis).conj() @ flat(basis).T, np.eye(n), atol=1e-12)
    assert outside_span(basis, generators).max(initial=0) < 1e-9
    commutators = np.einsum("iab,jbc->ijac", basis, basis)
    commutators = (commutators - commutators.transpose(1, 0, 2, 3)).reshape(n * n, *basis.shape[1:])
    assert outside_span(basis, commutators).max(initial=0) < 1e-9


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
    "gl(4) from non-Hermitian": (lambda: np.random.default_rng(3).normal(size=(2, 4, 4)) + 0j, 16),
}


@pytest.mark.parametrize("case", list(KNOWN))
def test_dimension_of_known_algebras(case):
    make, dimension = KNOWN[case]
    generators = make()
    basis = lie_closure(generators)
    assert basis.shape == (dimension, *np.shape(generators)[1:])
    assert_closed_orthonormal_basis(basis, generators)


@pytest.mark.parametrize("method", ["pauli", "entries", "dense"])
@pytest.mark.parametrize("case", [c for c in KNOWN if "n=5" not in c])
def test_every_representation_gives_the_one_by_one_elements(case, method):
    generators = np.ascontiguousarray(KNOWN[case][0](), dtype=complex)
    d = generators.shape[1]
    if method == "pauli" and d & (d - 1):
        pytest.skip("Pauli words need d a power of two")
    expected = _closure(generators, 1e-10, -1, 1, "reference")
    got = _closure(generators, 1e-10, -1, 2, method)
    assert got.shape == expected.shape
    np.testing.assert_allclose(got, expected, atol=1e-10)


@pytest.mark.parametrize("make", [functools.partial(ising, 6), functools.partial(heisenberg, 5),
                                  lambda: random_hermitian(8, 2, 4)], ids=["ising", "heisenberg", "dense"])
def test_same_input_gives_the_same_bits_whatever_the_threads(make):
    generators = make()
    first = lie_closure(generators, threads=1)
    for threads in (1, 2, 3):
        assert lie_closure(generators, threads=threads).tobytes() == first.tobytes()


def test_generators_come_first_in_their_order():
    generators = [on_sites(3, {0: X, 1: X}), on_sites(3, {1: Z}), 2 * on_sites(3, {0: X, 1: X}),
                  on_sites(3, {0: Z})]
    basis = lie_closure(generators)
    # Gram–Schmidt in order: element k spans generator k minus its part along the earlier ones.
    np.testing.assert_allclose(basis[0], generators[0] / np.linalg.norm(generators[0]), atol=1e-15)
    np.testing.assert_allclose(basis[1], generators[1] / np.linalg.norm(generators[1]), atol=1e-15)
    np.testing.assert_allclose(basis[2], generators[3] / np.linalg.norm(generators[3]), atol=1e-15)
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
    ([X], {"max_dimension": -1}, ValueError, "max_dimension must be non-negative"),
    ([X], {"max_dimension": 2.0}, TypeError, "max_dimension must be an int"),
    ([X], {"max_dimension": True}, TypeError, "max_dimension must be an int"),
    ([X], {"threads": 0}, ValueError, "threads must be at least 1"),
    ([X], {"progress": "yes"}, TypeError, "progress must be a bool"),
])
def test_bad_arguments_get_clear_errors(generators, options, error, message):
    with pytest.raises(error, match=message):
        lie_closure(generators, **options)


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
