"""tanvo_lie.PauliSums: Pauli decompositions and matrices both ways, merging, commutators,
adjoints and hermiticity against dense matrices (qubits and qudits), selection, Qiskit and
PennyLane round trips, and errors."""
import numpy as np
import pytest

from tanvo_lie import PauliStrings, PauliSums
from test_pauli_strings import random_strings


def random_sums(q, n, m, terms, seed):
    """m operators of `terms` random strings each (repeats included), random coefficients."""
    rng = np.random.default_rng(seed)
    strings = random_strings(q, n, m * terms, seed)
    values = rng.normal(size=m * terms) + 1j * rng.normal(size=m * terms)
    return PauliSums(strings, values, np.arange(0, m * terms + 1, terms))


@pytest.mark.parametrize("q, n", [(2, 1), (2, 4), (3, 2), (4, 2), (5, 2)])
def test_decomposition_and_matrices_round_trip(q, n):
    rng = np.random.default_rng(q + n)
    d = q**n
    matrices = rng.normal(size=(3, d, d)) + 1j * rng.normal(size=(3, d, d))
    sums = PauliSums.from_matrices(matrices, q=q)
    np.testing.assert_allclose(sums.to_matrices(), matrices, atol=1e-12)
    # Each coefficient is tr(P^† A) / d of its own string.
    strings = sums.strings.to_matrices()
    owner = np.repeat(np.arange(3), sums.term_counts)
    expected = np.einsum("tba,tba->t", strings.conj(), matrices[owner]) / d
    np.testing.assert_allclose(sums.coefficients, expected, atol=1e-12)
    sparse = sums.to_matrices(sparse=True)
    np.testing.assert_allclose([s.toarray() for s in sparse], matrices, atol=1e-12)
    single = PauliSums.from_matrices(matrices[1], q=q)
    assert len(single) == 1 and single.strings == sums[1].strings


@pytest.mark.parametrize("q, n", [(2, 3), (3, 2), (4, 2)])
def test_simplify_commutator_and_adjoint_equal_dense_matrices(q, n):
    a, b = random_sums(q, n, 5, 6, seed=1), random_sums(q, n, 5, 4, seed=2)
    ma, mb = a.to_matrices(), b.to_matrices()
    merged = a.simplify()
    assert all(len(merged[k].strings.unique()) == merged.term_counts[k] for k in range(5))
    np.testing.assert_allclose(merged.to_matrices(), ma, atol=1e-12)
    np.testing.assert_allclose(a.commutator(b).to_matrices(), ma @ mb - mb @ ma, atol=1e-12)
    np.testing.assert_allclose(a[2].commutator(b).to_matrices(), ma[2] @ mb - mb @ ma[2], atol=1e-12)
    np.testing.assert_allclose(a.adjoint().to_matrices(), ma.conj().transpose(0, 2, 1), atol=1e-12)
    hermitian = PauliSums.from_matrices(ma + ma.conj().transpose(0, 2, 1), q=q)
    anti = PauliSums.from_matrices(ma - ma.conj().transpose(0, 2, 1), q=q)
    np.testing.assert_array_equal(hermitian.hermiticity(), 1)
    np.testing.assert_array_equal(anti.hermiticity(), -1)
    np.testing.assert_array_equal(a.hermiticity(), 0)


def test_selection_and_small_tolerances():
    sums = PauliSums.from_list([[("XX", 1), ("ZZ", 2)], [("YI", 3)], [], [("XX", 1), ("XX", -1), ("IZ", 1e-15)]])
    assert sums.term_counts.tolist() == [2, 1, 0, 3]
    assert sums[[3, 0]].to_list() == [[("XX", 1), ("XX", -1), ("IZ", 1e-15)], [("XX", 1), ("ZZ", 2)]]
    assert sums[1:3].term_counts.tolist() == [1, 0] and sums[-1] == sums[3]
    assert sums.simplify().term_counts.tolist() == [2, 1, 0, 0]
    assert sums.simplify(tol=0).term_counts.tolist() == [2, 1, 0, 1]
    assert PauliSums.from_list([("X0 Z2", 1.0)], sites=3).strings.labels() == ["XIZ"]


def test_qiskit_round_trip_reverses_labels_and_kronecker_order():
    quantum_info = pytest.importorskip("qiskit.quantum_info")
    sums = random_sums(2, 4, 3, 5, seed=3)
    ops = sums.to_qiskit()
    assert all(isinstance(op, quantum_info.SparsePauliOp) for op in ops)
    assert PauliSums.from_qiskit(ops) == sums
    n = sums.sites
    ours = sums.to_matrices().reshape((3,) + (2,) * (2 * n))
    flipped = ours.transpose([0] + list(range(n, 0, -1)) + list(range(2 * n, n, -1))).reshape(3, 16, 16)
    np.testing.assert_allclose([op.to_matrix() for op in ops], flipped, atol=1e-12)
    assert PauliSums.from_qiskit(quantum_info.SparsePauliOp("XYZ")).strings.labels() == ["ZYX"]


def test_pennylane_round_trip():
    pauli = pytest.importorskip("pennylane.pauli")
    sums = random_sums(2, 4, 3, 5, seed=4).simplify()
    sentences = sums.to_pennylane()
    assert PauliSums.from_pennylane(sentences) == sums
    np.testing.assert_allclose([s.to_mat(wire_order=range(4)) for s in sentences], sums.to_matrices(), atol=1e-12)
    word = pauli.PauliWord({"a": "X", "c": "Z"})
    assert PauliSums.from_pennylane(word).strings.labels() == ["XZ"]
    assert PauliSums.from_pennylane(word, wire_order=["c", "b", "a"]).strings.labels() == ["ZIX"]


@pytest.mark.parametrize("make, error, message", [
    (lambda: PauliSums(PauliStrings(["XX", "ZZ"]), [1, 2, 3]), ValueError, r"shape \(2,\), one per string"),
    (lambda: PauliSums(PauliStrings(["XX", "ZZ"]), None, [0, 2, 1]), ValueError, "rise from 0 to 2"),
    (lambda: PauliSums(PauliStrings(["XX"]), ["a"]), TypeError, "coefficients must hold numbers"),
    (lambda: PauliSums(PauliStrings(["XX"]), [np.nan]), ValueError, r"coefficients\[0\] is not finite"),
    (lambda: PauliSums(["XX"]), TypeError, "strings must be PauliStrings"),
    (lambda: PauliSums.from_matrices(np.eye(6), q=2), ValueError, "q\\^n x q\\^n for q = 2; got 6 x 6"),
    (lambda: PauliSums.from_matrices(np.eye(4), q=1), ValueError, "q must be at least 2"),
    (lambda: PauliSums.from_list([("XX", 1), ("ZZ",)]), TypeError, r"operators\[1\] must be a \(label, coefficient\)"),
    (lambda: random_sums(3, 2, 1, 2, 0).to_qiskit(), ValueError, "q = 3"),
    (lambda: random_sums(3, 2, 1, 2, 0).to_pennylane(), ValueError, "q = 3"),
    (lambda: random_sums(2, 2, 2, 2, 0).commutator(random_sums(2, 2, 3, 2, 0)), ValueError, "got 2 and 3"),
])
def test_bad_input_is_named(make, error, message):
    with pytest.raises(error, match=message):
        make()
