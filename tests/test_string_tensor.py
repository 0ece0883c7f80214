"""tanvo_lie.structure_tensor of bases of Pauli strings: the same tensor as the dense route for
qubits and qudits (closed or not, distinct or repeated strings, any coefficients), real and
antisymmetric for the compact real form, rows and threads, the partners found by the site index
equal to those of the all-pairs scan and the pair-by-pair routine, and Ctrl-C."""
import numpy as np
import pytest

from tanvo_lie import PauliStrings, PauliSums, lie_closure, structure_tensor
from tanvo_lie._string_tensor import string_structure_tensor
from test_interrupt import interrupted_after
from test_string_closure import clock_model, heisenberg, hermitian_clock_model, ising, random_strings

BASES = {
    "ising-closure": lie_closure(ising(4)),
    "clock-closure": lie_closure(clock_model(2)),
    "qubit-strings": PauliSums(random_strings(2, 3, 20, seed=11)),
    "qutrit-strings": PauliSums(random_strings(3, 2, 25, seed=12)),
    "distinct-qutrit-strings": random_strings(3, 2, 25, seed=12).unique(),
    "ququint-strings": PauliSums(random_strings(5, 2, 25, seed=13)),
    "repeated-strings": PauliSums(PauliStrings(["XY", "ZZ", "XY", "YX", "II"]), [1j, 2.0, 0.5 - 1j, -1j, 3.0]),
}


def least_squares_tensor(matrices, kind):
    """T[i, j] = the minimum-norm least-squares coordinates of each pair's product."""
    n = len(matrices)
    products = np.einsum("iab,jbc->ijac", matrices, matrices)
    pairs = products + (-1 if kind == "commutator" else 1) * products.transpose(1, 0, 2, 3)
    solution = np.linalg.lstsq(matrices.reshape(n, -1).T, pairs.reshape(n * n, -1).T, rcond=None)[0]
    return solution.T.reshape(n, n, n)


@pytest.mark.parametrize("kind", ["commutator", "anticommutator"])
@pytest.mark.parametrize("name", BASES)
def test_tensor_of_strings_equals_the_dense_route(name, kind):
    basis = BASES[name]
    tensor = structure_tensor(basis, kind)
    matrices = basis.to_matrices()
    np.testing.assert_allclose(tensor.todense(), least_squares_tensor(matrices, kind), atol=1e-12)
    strings = basis if isinstance(basis, PauliStrings) else basis.strings
    if len(strings.unique()) == len(basis):  # (the dense route's solve of repeated qudit strings is
        dense = structure_tensor(matrices, kind)  # ill-conditioned)
        np.testing.assert_array_equal(tensor.indices, dense.indices)
        np.testing.assert_allclose(tensor.values, dense.values, atol=1e-9)
    reference = string_structure_tensor(basis, kind, tol=1e-8, rows=None, threads=1, method="reference")
    np.testing.assert_array_equal(tensor.indices, reference.indices)
    np.testing.assert_array_equal(tensor.values, reference.values)


def local_strings(q, sites, m, weight, seed, repeated=0):
    """m strings with random coefficients: a half each acting on up to `weight` random sites,
    the rest products of two of those (so that pairs have products in the basis), the last
    `repeated` repeating earlier ones."""
    rng = np.random.default_rng(seed)
    x, z = np.zeros((m, sites), int), np.zeros((m, sites), int)
    for row in range(m // 2):
        acting = rng.choice(sites, size=rng.integers(0, weight + 1), replace=False)
        x[row, acting], z[row, acting] = rng.integers(0, q, (2, len(acting)))
    a, b = rng.integers(0, m // 2, (2, m - m // 2))
    x[m // 2:], z[m // 2:] = (x[a] + x[b]) % q, (z[a] + z[b]) % q
    x[m - repeated:], z[m - repeated:] = x[:repeated], z[:repeated]
    return PauliSums(PauliStrings.from_exponents(x, z, q=q), rng.normal(size=m) + 1j * rng.normal(size=m))


def heisenberg_words(n):
    return PauliStrings([f"{p}{i} {p}{i + 1}" for i in range(n - 1) for p in "XYZ"], sites=n)


# Sizes and sites past one word of the site index's bit sets (64 strings) and of a string
# (64 qubits, 8 qudits), dense and sparse supports.
ROUTE_BASES = {
    "qubits-dense": local_strings(2, 5, 70, 5, seed=1, repeated=6),
    "qubits-sparse-150-sites": local_strings(2, 150, 400, 4, seed=2),
    "qutrits-dense": local_strings(3, 4, 90, 4, seed=3, repeated=5),
    "qutrits-sparse-20-sites": local_strings(3, 20, 300, 4, seed=4),
    "ququarts-dense": local_strings(4, 3, 100, 3, seed=5, repeated=4),
    "ququarts-sparse-12-sites": local_strings(4, 12, 200, 3, seed=6),
    "ising-30": lie_closure(ising(30)),
    "heisenberg-words-6": lie_closure(heisenberg_words(6)),
    "clock-3": lie_closure(clock_model(3)),
}


@pytest.mark.parametrize("kind", ["commutator", "anticommutator"])
@pytest.mark.parametrize("name", ROUTE_BASES)
def test_site_index_finds_the_terms_of_the_all_pairs_scan(name, kind):
    basis = ROUTE_BASES[name]
    n = len(basis)
    fast = string_structure_tensor(basis, kind, tol=1e-8, rows=None, threads=3, method="fast")
    scanned = string_structure_tensor(basis, kind, tol=1e-8, rows=None, threads=1, method="scanning")
    assert fast.nnz > 0 or (kind == "anticommutator" and name.startswith(("ising", "heisenberg")))
    np.testing.assert_array_equal(fast.indices, scanned.indices)
    np.testing.assert_array_equal(fast.values, scanned.values)
    rows = (n // 3, n // 3 + 9)
    reference = string_structure_tensor(basis, kind, tol=1e-8, rows=rows, threads=1, method="reference")
    block = string_structure_tensor(basis, kind, tol=1e-8, rows=rows, threads=2, method="fast")
    inside = (fast.indices[:, 0] >= rows[0]) & (fast.indices[:, 0] < rows[1])
    for tensor in (reference, block):
        np.testing.assert_array_equal(tensor.indices, fast.indices[inside])
        np.testing.assert_array_equal(tensor.values, fast.values[inside])


def test_interrupt_of_a_string_tensor():
    # The anticommutator of the Ising algebra on 100 sites: 3.9e8 commuting pairs, each product
    # looked up (none is in the algebra).
    basis = lie_closure(ising(100))
    assert interrupted_after(0.3, lambda: structure_tensor(basis, "anticommutator", threads=2)) < 1.0


def test_compact_form_gives_real_antisymmetric_ad_matrices():
    basis = lie_closure(ising(6))
    f = structure_tensor(basis).todense()
    assert np.abs(f.imag).max() == 0
    np.testing.assert_array_equal(f, -f.transpose(1, 0, 2))   # [b_i, b_j] = -[b_j, b_i]
    np.testing.assert_array_equal(f, -f.transpose(0, 2, 1))   # each ad b_i antisymmetric


@pytest.mark.parametrize("basis", [lie_closure(ising(12)), lie_closure(clock_model(3))],
                         ids=["qubits", "qutrits"])
def test_row_blocks_and_threads_give_the_whole_tensor(basis):
    whole = structure_tensor(basis, threads=1)
    n = len(basis)
    cuts = [0, 1, n // 3, n // 3, n - 1, n]
    blocks = [structure_tensor(basis, rows=(a, b), threads=3) for a, b in zip(cuts[:-1], cuts[1:])]
    np.testing.assert_array_equal(np.concatenate([b.indices for b in blocks]), whole.indices)
    np.testing.assert_array_equal(np.concatenate([b.values for b in blocks]), whole.values)
    assert structure_tensor(basis.strings).shape == whole.shape


@pytest.mark.parametrize("basis, options, error, message", [
    (PauliStrings([], sites=3), {}, ValueError, "basis is empty"),
    (PauliStrings(["XX", "ZZ"]), {"rows": (1, 3)}, ValueError, "rows must satisfy"),
    (PauliStrings(["XX", "ZZ"]), {"kind": "product"}, ValueError, "kind must be"),
    (PauliStrings(["XX", "ZZ"]), {"threads": 0}, ValueError, "threads must be at least 1"),
])
def test_bad_arguments(basis, options, error, message):
    with pytest.raises(error, match=message):
        structure_tensor(basis, **options)


def random_sum_basis(q, n, m, terms, seed):
    rng = np.random.default_rng(seed)
    strings = random_strings(q, n, m * terms, seed)
    values = rng.normal(size=m * terms) + 1j * rng.normal(size=m * terms)
    return PauliSums(strings, values, np.arange(0, m * terms + 1, terms))


SUM_BASES = {
    "heisenberg-closure": lie_closure(heisenberg(4)),
    "clock-closure": lie_closure(hermitian_clock_model(2)),
    "qubit-sums": random_sum_basis(2, 3, 12, 3, seed=21),
    "qutrit-sums": random_sum_basis(3, 2, 10, 4, seed=22),
    "dependent-sums": PauliSums.from_list([[("XI", 1), ("ZZ", 1)], [("XI", 2), ("ZZ", 2)], [("YX", 1j)], [("ZI", 1)]]),
}


@pytest.mark.parametrize("kind", ["commutator", "anticommutator"])
@pytest.mark.parametrize("name", SUM_BASES)
def test_tensor_of_sums_equals_least_squares(name, kind):
    basis = SUM_BASES[name]
    tensor = structure_tensor(basis, kind, threads=2)
    np.testing.assert_allclose(tensor.todense(), least_squares_tensor(basis.to_matrices(), kind), atol=1e-9)
    n = len(basis)
    block = structure_tensor(basis, kind, rows=(1, n - 1))
    inside = (tensor.indices[:, 0] >= 1) & (tensor.indices[:, 0] < n - 1)
    np.testing.assert_array_equal(block.indices, tensor.indices[inside])
    np.testing.assert_allclose(block.values, tensor.values[inside], atol=1e-12)
