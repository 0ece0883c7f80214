"""tanvo_lie.structure_tensor of bases of Pauli strings: the same tensor as the dense route for
qubits and qudits (closed or not, distinct or repeated strings, any coefficients), real and
antisymmetric for the compact real form, rows and threads, and the one-by-one routine."""
import numpy as np
import pytest

from tanvo_lie import PauliStrings, PauliSums, lie_closure, structure_tensor
from tanvo_lie._string_tensor import string_structure_tensor
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
