"""What an algebra is: the residual of a basis that is not closed, the centre, radical and
simple ideals with their types and roots, and the deep-circuit variance, against explicit
constructions, brute force and random circuits."""
import numpy as np
import pytest

import tanvo
from tanvo_lie import structure_tensor

rng = np.random.default_rng(23)
X = np.array([[0, 1], [1, 0]], complex)
Y = np.array([[0, -1j], [1j, 0]])
Z = np.diag([1.0, -1.0]).astype(complex)


def mixed(basis, rows, seed=2):
    """`rows` random real combinations of the basis: a non-orthogonal basis of (part of) its span."""
    basis = np.array(basis)
    return np.einsum("ab,bij->aij", np.random.default_rng(seed).normal(size=(rows, len(basis))), basis)


def partly_mixed(basis, seed=3):
    """The first three elements replaced by combinations of the first three: sparse, with a
    Gram matrix that is not diagonal."""
    basis = np.array(basis)
    basis[:3] = mixed(basis[:3], 3, seed)
    return basis


# --- residual -----------------------------------------------------------------------------

RESIDUAL_BASES = {
    "pauli": [X, Y, Z],
    "x, z": [X, Z],
    "gell-mann 3": tanvo.gen_gellmann(3),
    "gell-mann 3 without one": tanvo.gen_gellmann(3)[1:],
    "clock-and-shift 3 without two": tanvo.gen_sylvester(3)[2:],
    "non-orthogonal su(3)": mixed(tanvo.gen_gellmann(3), 8),
    "non-orthogonal part of su(3)": mixed(tanvo.gen_gellmann(3), 7),
    "partly mixed gell-mann 4": partly_mixed(tanvo.gen_gellmann(4)),
    "partly mixed gell-mann 4 without one": partly_mixed(tanvo.gen_gellmann(4))[:-1],
    "random": rng.normal(size=(5, 3, 3)) + 1j * rng.normal(size=(5, 3, 3)),
}


@pytest.mark.parametrize("kind", ["commutator", "anticommutator"])
@pytest.mark.parametrize("block", [False, True])
@pytest.mark.parametrize("name", RESIDUAL_BASES)
def test_residual_is_the_largest_part_outside_the_span(name, kind, block):
    basis = np.array(RESIDUAL_BASES[name])
    n = len(basis)
    rows = (n - 2, n) if block else None
    tensor = structure_tensor(basis, kind, rows=rows)
    dense = np.zeros(tensor.shape, complex)
    dense[tuple(tensor.indices.T)] = tensor.values
    sign = -1 if kind == "commutator" else 1
    start, stop = rows or (0, n)
    largest = max(np.linalg.norm(basis[i] @ basis[j] + sign * basis[j] @ basis[i]
                                 - np.einsum("k,kab->ab", dense[i, j], basis))
                  for i in range(start, stop) for j in range(n))
    if largest < 1e-12:
        assert tensor.residual == 0.0
    else:
        assert tensor.residual == pytest.approx(largest, rel=1e-10)
    assert structure_tensor(list(basis), kind, rows=rows).residual == tensor.residual


def test_residual_of_x_and_z_names_the_missing_y():
    # [X, Z] = -2iY: no terms at all, but not abelian either.
    tensor = structure_tensor([X, Z])
    assert tensor.nnz == 0 and tensor.residual == pytest.approx(2 * np.sqrt(2))
    assert structure_tensor([X, Y, Z]).residual == 0.0
