"""decompose, center, g_purity and variance of bases of Pauli strings and sums of strings, read
without 2^n matrices: against the same bases as matrices (and PennyLane's qml.center), with
states as bit strings and operators as strings."""
import numpy as np
import pytest

import tanvo_lie
from tanvo_lie import PauliStrings, PauliSums, center, decompose, g_purity, lie_closure, variance


def ising(n):
    return PauliStrings([f"X{j} X{j + 1}" for j in range(n - 1)] + [f"Z{j}" for j in range(n)], sites=n)


def heisenberg(n):
    return PauliSums.from_list([[(("I" * j + p * 2).ljust(n, "I"), 1.0) for p in "XYZ"] for j in range(n - 1)])


def rephased(sums, seed):
    """Each element times a random magnitude and 1 or i: mixed Hermitian and anti-Hermitian."""
    rng = np.random.default_rng(seed)
    factor = rng.uniform(0.5, 2.0, len(sums)) * np.where(rng.random(len(sums)) < 0.5, 1.0, 1j)
    return PauliSums(sums.strings, sums.coefficients * np.repeat(factor, sums.term_counts), sums.offsets)


BASES = {
    "ising-4": lambda: lie_closure(ising(4)),
    "ising-4-hermitian-strings": lambda: lie_closure(ising(4)).strings,
    "ising-4-mixed-phases": lambda: rephased(lie_closure(ising(4)), 1),
    "heisenberg-4": lambda: lie_closure(heisenberg(4)),
    "heisenberg-5-mixed-phases": lambda: rephased(lie_closure(heisenberg(5)), 2),
    "centre-strings": lambda: lie_closure(PauliStrings(["XII", "XXI", "IYI", "IIZ", "ZIZ"])),
}


@pytest.mark.parametrize("name", BASES)
def test_string_bases_decompose_like_their_matrices(name):
    basis = BASES[name]()
    n = basis.sites
    found, dense = decompose(basis), decompose(basis.to_matrices())
    assert found.summary == dense.summary and found.real_form == dense.real_form == "compact"
    assert [i.cartan_type for i in found.ideals] == [i.cartan_type for i in dense.ideals]
    projector = dense.center.T @ dense.center.conj()   # the centre, whatever its rows' signs
    for rows in (found.center, center(basis)):
        np.testing.assert_allclose(rows.T @ rows.conj(), projector, atol=1e-9)
    rng = np.random.default_rng(5)
    bits = rng.integers(0, 2, n)
    psi = rng.standard_normal(2**n) + 1j * rng.standard_normal(2**n)
    observable = PauliSums.from_list([("Z" + "I" * (n - 1), 1.0), ("XX" + "I" * (n - 2), -0.5), ("Y" * n, 0.25),
                                      ("I" * n, 2.0)])
    matrix = observable.to_matrices()[0]
    text = "".join(map(str, bits))
    for ours, theirs in [(text, text), (bits, text), (list(bits), text), (psi, psi), (observable, matrix),
                         (PauliStrings("ZZ" + "I" * (n - 2)), PauliStrings("ZZ" + "I" * (n - 2)).to_matrices()[0])]:
        np.testing.assert_allclose(np.concatenate([[*g_purity(found, ours)[1:]], g_purity(found, ours).ideals]),
                                   np.concatenate([[*g_purity(dense, theirs)[1:]], g_purity(dense, theirs).ideals]),
                                   rtol=1e-10, atol=1e-12)
    first = basis[0] if isinstance(basis, PauliSums) else PauliSums(basis[0])
    inside = PauliSums(first.strings, first.coefficients / first.coefficients[0] * abs(first.coefficients[0]),
                       [0, len(first.strings)])
    for state in (text, psi):
        assert variance(found, state, inside) == pytest.approx(variance(dense, state, inside.to_matrices()[0]),
                                                               rel=1e-10, abs=1e-15)


@pytest.mark.parametrize("n", [24, 50])
def test_variance_of_the_ising_chain_at_many_qubits_is_the_closed_form(n):
    found = decompose(lie_closure(ising(n)))
    assert found.summary == f"so({2 * n})"
    z0 = PauliStrings("Z0", sites=n)
    assert variance(found, "0" * n, z0) == pytest.approx(1 / (2 * n - 1), rel=1e-12)
    purity = g_purity(found, [0] * n)   # <0|Z_j|0> = 1 on the n strings Z_j of the algebra
    assert purity.ideals[0] == pytest.approx(n / 2**n, rel=1e-12) and purity.outside == pytest.approx(1 - n / 2**n)


@pytest.mark.parametrize("basis, call, error, message", [
    (PauliStrings(["XI", "ZI", "XX"]), decompose, ValueError,
     r"not closed under commutators: \[algebra\[0\], algebra\[1\]\] has a part of norm 2 "),
    (PauliSums.from_list([[("XI", 1j), ("ZZ", 1j)], [("ZI", 1j)]]), decompose, ValueError, r"not closed"),
    (PauliSums.from_list([[("XI", 1j), ("ZI", 1j)], [("XI", 2j), ("ZI", 2j)], [("YI", 1j)]]), decompose, ValueError,
     r"not linearly independent"),
    (PauliStrings(["XI", "XI"]), decompose, ValueError, r"not linearly independent: a string repeats"),
    (PauliStrings(["XI", "YI", "ZI"]), lambda s: g_purity(decompose(s), "012"), ValueError,
     r"operator: a bit string needs 2 characters 0 or 1"),
    (PauliStrings(["XI", "YI", "ZI"]), lambda s: g_purity(decompose(s), PauliStrings("XII")), ValueError,
     r"operator acts on 3 sites"),
    (PauliStrings(["XI", "YI", "ZI"]), lambda s: g_purity(decompose(s.to_matrices()), PauliStrings("XI")), TypeError,
     r"operator as strings needs a structure decomposed from strings"),
])
def test_string_structures_refuse_with_the_reason(basis, call, error, message):
    with pytest.raises(error, match=message):
        call(basis)


@pytest.mark.parametrize("generators", [
    ["X0", "X0 X1", "Y1"], ["X0 X1", "Y1", "X1"], ["X0", "X1", "Y0 Y1"], ["X0 X1", "Y0 Y1", "Z0 Z1"],
    ["X0 X1", "Z0", "Z1", "Z2", "X1 X2", "Z0 Z1 Z2 Z3"],
])
def test_centre_of_strings_equals_the_tensor_route_and_pennylane(generators):
    basis = lie_closure(PauliStrings(generators, sites=4))
    by_strings = center(basis)
    np.testing.assert_allclose(np.abs(by_strings), np.abs(decompose(basis).center), atol=1e-12)
    qml = pytest.importorskip("pennylane")
    words = [qml.pauli.PauliWord({k: p for k, p in enumerate(label) if p != "I"}) for label in basis.strings.labels()]
    theirs = qml.center(words, pauli=True)
    assert sorted(words.index(w) for w in theirs) == np.flatnonzero(by_strings.any(axis=0)).tolist()
