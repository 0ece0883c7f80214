"""tanvo_lie.lie_closure of Pauli strings and sums: the same algebras as the dense route,
orthonormal and in the compact real form, generators first, known dimensions, the same result
whatever the threads and equal to the one-by-one search, limits, progress and Ctrl-C."""
import numpy as np
import pytest

from tanvo_lie import PauliStrings, PauliSums, lie_closure
from tanvo_lie._string_closure import string_closure
from test_interrupt import interrupted_after


def ising(n):
    return PauliStrings([f"X{i} X{i + 1}" for i in range(n - 1)] + [f"Z{i}" for i in range(n)], sites=n)


def clock_model(n, q=3):
    """Z_i Z_(i+1)^† and X_i of the q-state clock chain, as words X^a Z^b."""
    x = np.zeros((2 * n - 1, n), int)
    z = np.zeros((2 * n - 1, n), int)
    for i in range(n - 1):
        z[i, i], z[i, i + 1] = 1, q - 1
    for i in range(n):
        x[n - 1 + i, i] = 1
    return PauliStrings.from_exponents(x, z, q=q)


def random_strings(q, n, m, seed):
    rng = np.random.default_rng(seed)
    return PauliStrings.from_exponents(rng.integers(0, q, (m, n)), rng.integers(0, q, (m, n)), q=q)


def flat(matrices):
    return matrices.reshape(len(matrices), -1)


def assert_same_algebra_as_dense(basis, generators):
    """basis (PauliSums) against the dense closure of the generators' matrices."""
    dense = lie_closure(generators.to_matrices())
    matrices = basis.to_matrices()
    d = matrices.shape[1]
    assert len(basis) == len(dense)
    np.testing.assert_allclose(flat(matrices).conj() @ flat(matrices).T / d, np.eye(len(basis)), atol=1e-12)
    coordinates = flat(matrices) @ flat(dense).conj().T
    np.testing.assert_allclose(np.linalg.norm(coordinates, axis=1), np.sqrt(d), rtol=1e-9)


@pytest.mark.parametrize("generators", [
    ising(4), ising(5), random_strings(2, 4, 3, seed=1), random_strings(2, 5, 4, seed=2),
    PauliStrings(["XXII", "YYII", "IXXI", "IYYI", "IIXX", "IIYY"]), clock_model(3), clock_model(4),
    random_strings(4, 2, 3, seed=3), PauliStrings.from_exponents([[2, 0], [0, 2]], [[0, 2], [2, 2]], q=4),
], ids=lambda g: f"q{g.q}-n{g.sites}-m{len(g)}")
def test_string_closures_equal_the_dense_route(generators):
    basis = lie_closure(generators)
    assert_same_algebra_as_dense(basis, generators)
    assert (basis.term_counts == 1).all()
    # Generators first, each up to a unit phase.
    first = basis.strings[: len(generators.unique())]
    assert first == generators.unique()
    matrices = basis.to_matrices()
    adjoint = matrices.conj().transpose(0, 2, 1)
    hermiticity = PauliSums(generators).hermiticity()
    if (hermiticity != 0).all():   # the compact real form: every element anti-Hermitian
        np.testing.assert_allclose(adjoint, -matrices, atol=1e-12)
        if generators.q == 2:
            assert (basis.coefficients == 1j).all()
    else:                          # the complex span of the words themselves
        assert not np.allclose(adjoint, -matrices, atol=1e-12)


@pytest.mark.parametrize("n", [2, 3, 10, 37, 100])
def test_ising_chains_close_to_so_2n(n):
    assert len(lie_closure(ising(n))) == n * (2 * n - 1)
    if n < 100:
        assert len(lie_closure(long_range_chain(n + 3))) == (n + 3) * (2 * n + 5)


def long_range_chain(n):
    """The Ising chain along a shuffled order of the sites, with a long-range hopping
    X Z ... Z X along the same order that touches every word: still so(2n)."""
    order = np.random.default_rng(n).permutation(n)
    hopping = " ".join([f"X{order[0]}"] + [f"Z{order[k]}" for k in range(1, n - 2)] + [f"X{order[n - 2]}"])
    return PauliStrings([f"X{order[i]} X{order[i + 1]}" for i in range(n - 1)] + [f"Z{i}" for i in range(n)]
                        + [hopping], sites=n)


@pytest.mark.parametrize("generators", [ising(70), long_range_chain(130), clock_model(6), random_strings(2, 9, 3, seed=4),
                                        random_strings(3, 5, 3, seed=5)],
                         ids=lambda g: f"q{g.q}-n{g.sites}")
def test_result_is_the_one_by_one_search_whatever_the_threads(generators):
    kwargs = dict(tol=1e-10, max_dimension=None, progress=False)
    expected = string_closure(generators, threads=1, method="reference", **kwargs)
    for threads in (1, 2, 3):
        assert string_closure(generators, threads=threads, **kwargs) == expected


def test_coefficients_zero_generators_and_duplicates():
    sums = PauliSums.from_list([[("XX", 2.0)], [("ZI", 0.0)], [("ZI", -1j)], [("XX", 1.0)]])
    basis = lie_closure(sums)
    assert basis.strings.labels() == ["XX", "ZI", "YX"]
    assert (basis.coefficients == 1j).all()
    # Neither Hermitian nor anti-Hermitian: the complex span, generators keep their phase.
    basis = lie_closure(PauliSums.from_list([[("XX", 1 + 1j)], [("ZI", 1.0)]]))
    np.testing.assert_allclose(basis.coefficients, [(1 + 1j) / np.sqrt(2), 1, 1])


@pytest.mark.timing
def test_max_dimension_progress_and_interrupt(capsys):
    with pytest.raises(RuntimeError, match="passed max_dimension=100"):
        lie_closure(ising(30), max_dimension=100)
    assert len(lie_closure(ising(30), max_dimension=30 * 59)) == 30 * 59
    lie_closure(ising(200), progress=True)
    assert capsys.readouterr().err.startswith("\rlie_closure: dimension")
    late = interrupted_after(0.3, lambda: lie_closure(ising(1000)))
    assert late < 1.0
    assert len(lie_closure(ising(4))) == 28


def heisenberg(n):
    return PauliSums.from_list([[(f"{p}{i} {p}{i + 1}", 1.0) for p in "XYZ"] for i in range(n - 1)], sites=n)


def ising_sums(n):
    """Σ X_i X_(i+1) and Σ Z_i as two generators: the algebra has dimension n²."""
    return PauliSums.from_list([[(f"X{i} X{i + 1}", 1.0) for i in range(n - 1)], [(f"Z{i}", 1.0) for i in range(n)]],
                               sites=n)


def hermitian_clock_model(n, q=3):
    """Z_i Z_(i+1)^† + h.c. and X_i + X_i^† on qudits: Hermitian sums of words."""
    words = clock_model(n, q)
    sums = PauliSums(words)
    both = PauliSums(PauliStrings.from_exponents(np.concatenate([words.x, sums.adjoint().strings.x]),
                                                 np.concatenate([words.z, sums.adjoint().strings.z]), q=q),
                     np.concatenate([np.ones(len(words)), sums.adjoint().coefficients]))
    order = np.argsort(np.tile(np.arange(len(words)), 2), kind="stable")
    return PauliSums(both.strings[order], both.coefficients[order], np.arange(0, 2 * len(words) + 1, 2))


def random_sums(q, n, m, terms, seed, hermitian):
    rng = np.random.default_rng(seed)
    strings = random_strings(q, n, m * terms, seed)
    values = rng.normal(size=m * terms) + (0 if hermitian else 1j * rng.normal(size=m * terms))
    return PauliSums(strings, values, np.arange(0, m * terms + 1, terms))


@pytest.mark.parametrize("generators", [
    heisenberg(3), heisenberg(5), ising_sums(4), ising_sums(6), hermitian_clock_model(2), hermitian_clock_model(3),
    random_sums(2, 3, 2, 3, seed=7, hermitian=True), random_sums(2, 3, 2, 2, seed=8, hermitian=False),
    random_sums(3, 2, 2, 3, seed=9, hermitian=False),
], ids=lambda g: f"q{g.q}-n{g.sites}-m{len(g)}")
def test_sum_closures_equal_the_dense_route(generators):
    basis = lie_closure(generators)
    assert_same_algebra_as_dense(basis, generators)
    matrices = basis.to_matrices()
    compact = (generators.hermiticity() != 0).all()
    assert np.allclose(matrices.conj().transpose(0, 2, 1), -matrices, atol=1e-12) == compact
    # Generators first: the first element is the first generator, normalised (times i when
    # it is Hermitian and the form compact).
    first = generators[0].to_matrices()[0]
    first = first / np.linalg.norm(first) * np.sqrt(len(first)) * (1j if compact and generators.hermiticity()[0] == 1 else 1)
    np.testing.assert_allclose(matrices[0], first, atol=1e-12)


@pytest.mark.parametrize("generators, dimension", [(heisenberg(7), 426), (ising_sums(20), 400),
                                                   (hermitian_clock_model(4), None)],
                         ids=["heisenberg", "ising-sums", "clock"])
def test_sum_closure_is_the_same_whatever_the_threads(generators, dimension):
    expected = lie_closure(generators, threads=1)
    assert dimension is None or len(expected) == dimension
    for threads in (2, 3):
        assert lie_closure(generators, threads=threads) == expected


def test_sum_closure_limits_and_progress(capsys):
    with pytest.raises(RuntimeError, match="passed max_dimension=50"):
        lie_closure(heisenberg(6), max_dimension=50)
    lie_closure(heisenberg(7), progress=True)
    assert capsys.readouterr().err.startswith("\rlie_closure: dimension")
    late = interrupted_after(0.3, lambda: lie_closure(ising_sums(60)))
    assert late < 1.0


@pytest.mark.parametrize("generators, expected", [
    (PauliStrings([], sites=3), []),
    (PauliStrings(["III"]), [[("III", 1j)]]),
    (PauliSums.from_list([[("XX", 0.0)]]), []),
    (PauliSums.from_list([[("XX", 1), ("ZZ", 1)], [("XX", 2), ("ZZ", 2)]]),
     [[("XX", 1j / np.sqrt(2)), ("ZZ", 1j / np.sqrt(2))]]),
])
def test_empty_zero_identity_and_dependent_generators(generators, expected):
    basis = lie_closure(generators)
    assert basis.sites == generators.sites
    assert [[(s, pytest.approx(c)) for s, c in terms] for terms in basis.to_list()] == expected
