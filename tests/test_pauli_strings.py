"""tanvo_lie.PauliStrings: products, phases and commutation against dense matrices for qubits and
qudits, the conventions (Y = iXZ, tanvo's clock and shift, site 0 first), round trips of labels
and exponents, sets of strings, peers' products, and errors."""
import functools

import numpy as np
import pytest

import tanvo
from tanvo_lie import PauliStrings

PAULI = {"I": np.eye(2), "X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
         "Z": np.diag([1.0, -1.0])}
# (q, n): every local dimension the tests cover, n as large as keeps matrices small.
SHAPES = [(2, 1), (2, 6), (3, 3), (4, 3), (5, 2)]


def random_strings(q, n, m, seed):
    rng = np.random.default_rng(seed)
    return PauliStrings.from_exponents(rng.integers(0, q, (m, n)), rng.integers(0, q, (m, n)), q=q)


def clock_and_shift(q):
    shift = np.roll(np.eye(q), 1, axis=0)           # X e_c = e_(c+1)
    clock = np.diag(np.exp(2j * np.pi * np.arange(q) / q))
    return shift, clock


def dense_string(x, z, q):
    """The matrix of one string built site by site from the conventions."""
    if q == 2:
        return functools.reduce(np.kron, [PAULI["IXZY"[a + 2 * b]] for a, b in zip(x, z)])
    shift, clock = clock_and_shift(q)
    sites = [np.linalg.matrix_power(shift, a) @ np.linalg.matrix_power(clock, b) for a, b in zip(x, z)]
    return functools.reduce(np.kron, sites)


@pytest.mark.parametrize("q, n", SHAPES)
def test_products_phases_and_commutation_equal_dense_matrices(q, n):
    a, b = random_strings(q, n, 12, seed=q * 10 + n), random_strings(q, n, 12, seed=q * 10 + n + 1)
    ma, mb = a.to_matrices(), b.to_matrices()
    np.testing.assert_allclose(ma, [dense_string(x, z, q) for x, z in zip(a.x, a.z)], atol=1e-12)
    phases, products = a.multiply(b)
    np.testing.assert_allclose(phases[:, None, None] * products.to_matrices(), ma @ mb, atol=1e-12)
    exponents, same = a.multiply(b, exponents=True)
    assert same == products and np.allclose(phases, np.exp(2j * np.pi * exponents / a.phase_order))
    pairs = np.matmul(ma[:, None], mb[None, :])
    table = np.abs(pairs - np.matmul(mb[None, :], ma[:, None])).max(axis=(2, 3)) < 1e-12
    np.testing.assert_array_equal(a.commutes(b), np.diagonal(table))
    np.testing.assert_array_equal(a.commutation_matrix(b, threads=2), table)
    # A batch of one pairs with every string of the other.
    np.testing.assert_array_equal(a[3].commutes(b), table[3])
    np.testing.assert_allclose(a[3].multiply(b)[0], [a[3].multiply(b[i])[0][0] for i in range(len(b))])


@pytest.mark.parametrize("q", [2, 3, 4, 5])
def test_single_sites_are_tanvos_clock_and_shift(q):
    sylvester = tanvo.gen_sylvester(q)           # X, Z, then X^a Z^e
    shift_clock = PauliStrings.from_exponents([[1], [0], [1]], [[0], [1], [1]], q=q).to_matrices()
    if q == 2:  # qubit strings are Hermitian: the string (1, 1) is Y = i X Z
        np.testing.assert_allclose(shift_clock[:2], sylvester[:2], atol=1e-12)
        np.testing.assert_allclose(shift_clock[2], 1j * sylvester[0] @ sylvester[1], atol=1e-12)
    else:
        np.testing.assert_allclose(shift_clock, sylvester[:3], atol=1e-12)


def test_qubit_letters_and_site_order():
    np.testing.assert_allclose(PauliStrings("XYZ").to_matrices()[0],
                               np.kron(np.kron(PAULI["X"], PAULI["Y"]), PAULI["Z"]))
    assert PauliStrings(["Y0 Z2", "", "X1"], sites=3).labels() == ["YIZ", "III", "IXI"]
    assert PauliStrings(["XYZ"], sites=3).labels() == ["XYZ"]


@pytest.mark.parametrize("q, n", SHAPES + [(2, 130), (7, 17)])
def test_exponents_labels_and_sparse_matrices_round_trip(q, n):
    strings = random_strings(q, n, 12, seed=n)
    assert PauliStrings.from_exponents(strings.x, strings.z, q=q) == strings
    assert strings.words.shape == (12, 2 * -(-n // (64 if q == 2 else 8)))
    if q == 2:
        assert PauliStrings(strings.labels()) == strings
    if q**n <= 729:
        dense = strings.to_matrices()
        sparse = strings.to_matrices(sparse=True)
        np.testing.assert_allclose([s.toarray() for s in sparse], dense, atol=1e-15)


def test_indexing_unique_and_index_of():
    strings = PauliStrings(["XX", "ZZ", "XX", "YI", "ZZ"])
    assert strings[-1] == strings[1] and len(strings[1:4]) == 3
    assert strings[[3, 0]].labels() == ["YI", "XX"] and strings[np.array([1, 0, 0, 0, 0], bool)] == strings[:1]
    unique, first, inverse = strings.unique(return_index=True, return_inverse=True)
    assert unique.labels() == ["XX", "ZZ", "YI"]
    np.testing.assert_array_equal(first, [0, 1, 3])
    np.testing.assert_array_equal(inverse, [0, 1, 0, 2, 1])
    np.testing.assert_array_equal(strings.index_of(PauliStrings(["YI", "ZX", "ZZ"])), [3, -1, 1])
    with pytest.raises(IndexError, match="index 5 is out of range for 5 strings"):
        strings[5]


def test_products_agree_with_pennylane():
    pauli = pytest.importorskip("pennylane.pauli")
    a, b = random_strings(2, 5, 40, seed=7), random_strings(2, 5, 40, seed=8)
    phases, products = a.multiply(b)
    for la, lb, phase, label in zip(a.labels(), b.labels(), phases, products.labels()):
        word = lambda text: pauli.PauliWord({i: c for i, c in enumerate(text) if c != "I"})  # noqa: E731
        product, coefficient = word(la)._matmul(word(lb))
        assert product == word(label) and coefficient == phase


def test_products_agree_with_qiskit():
    quantum_info = pytest.importorskip("qiskit.quantum_info")
    a, b = random_strings(2, 5, 40, seed=9), random_strings(2, 5, 40, seed=10)
    phases, products = a.multiply(b)
    # Qiskit's labels put qubit 0 rightmost; compose(other, front=True) is self @ other.
    left = quantum_info.PauliList([label[::-1] for label in a.labels()])
    right = quantum_info.PauliList([label[::-1] for label in b.labels()])
    composed = left.compose(right, front=True)
    for k, (label, phase) in enumerate(zip(products.labels(), phases)):
        expected = quantum_info.Pauli(label[::-1]).to_matrix() * phase
        np.testing.assert_allclose(composed[k].to_matrix(), expected, atol=1e-12)


@pytest.mark.parametrize("make, error, message", [
    (lambda: PauliStrings(["XXI", "XQI"]), ValueError, r"labels\[1\] = 'XQI' has 'Q' at position 1"),
    (lambda: PauliStrings(["XX", "XXX"]), ValueError, r"different lengths: labels\[0\] has 2 sites, labels\[1\] has 3"),
    (lambda: PauliStrings(["X0 W1"], sites=3), ValueError, r"labels\[0\] = 'X0 W1' has 'W1' at position 3"),
    (lambda: PauliStrings(["X0 Z5"], sites=3), ValueError, "names site 5; there are 3 sites"),
    (lambda: PauliStrings(["X0 Z0"], sites=3), ValueError, "names site 0 twice"),
    (lambda: PauliStrings(["X0 Z1"]), ValueError, "sparse form need sites="),
    (lambda: PauliStrings([1, 2]), TypeError, r"labels\[0\] must be a str"),
    (lambda: PauliStrings.from_exponents([[0, 1]], [[0, 1]], q=1), ValueError, "q must be at least 2"),
    (lambda: PauliStrings.from_exponents([[0, 3]], [[0, 1]], q=3), ValueError, r"x\[0, 1\] = 3 is outside \[0, q\)"),
    (lambda: PauliStrings.from_exponents([[0, 1]], [[0, 1, 0]]), ValueError, "x and z must have the same shape"),
    (lambda: PauliStrings.from_exponents([[0.5]], [[0]]), TypeError, "x must hold integers"),
    (lambda: PauliStrings(["I" * 40]).to_matrices(), MemoryError, "cannot fit"),
    (lambda: PauliStrings(["XX", "ZZ"]).multiply(PauliStrings(["XX", "ZZ", "YY"])), ValueError, "got 2 and 3"),
    (lambda: PauliStrings(["XX"]).commutes(PauliStrings(["XXX"])), ValueError, "other has 3 sites"),
    (lambda: PauliStrings(["XX"]).labels() and random_strings(3, 2, 1, 0).labels(), ValueError, "q = 3"),
])
def test_bad_input_is_named(make, error, message):
    with pytest.raises(error, match=message):
        make()
