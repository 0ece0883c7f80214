"""What a tensor's coefficients are for bases that strain the arithmetic: linearly dependent
matrices (NumPy's rank rule) and bases of any scale (T(sB) = s·T(B))."""
import numpy as np
import pytest

import tanvo
from tanvo_lie import structure_tensor

from test_tensors import KINDS, per_pair

g = np.random.default_rng(21)
SYLVESTER_3 = np.array(tanvo.gen_sylvester(3))
GELLMANN_3 = np.array(tanvo.gen_gellmann(3))


def random_matrices(n, d):
    return g.normal(size=(n, d, d)) + 1j * g.normal(size=(n, d, d))


def near_dependent(n, d, gap):
    """n random d x d matrices, the last the first plus `gap` times the second."""
    basis = random_matrices(n, d)
    basis[-1] = basis[0] + gap * basis[1]
    return basis


def combination(n, d):
    """n random d x d matrices, the last a combination of three others."""
    basis = random_matrices(n, d)
    basis[-1] = basis[0] - 0.37 * basis[1] + (2 - 1j) * basis[2]
    return basis


def random_with_short_matrix(n, d):
    """n random d x d matrices (n < d², well-conditioned), one of them shrunk to 1e-4."""
    basis = random_matrices(n, d)
    basis[2] *= 1e-4
    return basis


def with_short_matrix():
    basis = GELLMANN_3.copy()
    basis[3] *= 1e-4
    return basis


# (basis, rcond): bases whose system has singular values that one rank rule keeps and another drops.
RANK = {
    # Each H_k is also H_{k'} up to a phase: singular values of ~1e-16 that tanvo's rule keeps.
    "hermitian-sylvester-3": (lambda: (SYLVESTER_3 + SYLVESTER_3.conj().transpose(0, 2, 1)) / 2, None),
    "repeated-gellmann-2": (lambda: np.array(tanvo.gen_gellmann(2) * 2), None),
    "random-combination": (lambda: combination(5, 3), None),
    # Few large matrices, solved for directly; 1e-10 apart, a rank rule of 1e-6 drops the gap.
    "direct-near-dependent": (lambda: near_dependent(3, 40, 1e-10), 1e-6),
    # Orthogonal, but rcond drops the short matrix: no projection on it.
    "orthogonal-short": (with_short_matrix, 1e-3),
    # Conditioned well enough for the pseudo-inverse in steps (a QR), which keeps every singular
    # value: under a rank rule that drops one, the SVD must decide.
    "stepped-short": (lambda: random_with_short_matrix(12, 4), 1e-2),
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name", RANK)
def test_dependent_bases_give_numpys_least_squares(name, kind):
    make, rcond = RANK[name]
    basis = make()
    expected = per_pair(basis, kind, rcond=rcond)
    got = structure_tensor(basis, kind, rcond=rcond).todense()
    scale = abs(expected).max()
    assert scale < 1e3  # not rounding inverted
    np.testing.assert_allclose(got, expected, rtol=0, atol=1e-9 * scale)


def clock_and_shift(d):
    """Z^a X^b, (a, b) != (0, 0): unitary and orthogonal, but no Hermitian matrices."""
    x = np.roll(np.eye(d), 1, axis=0)
    z = np.diag(np.exp(2j * np.pi * np.arange(d) / d))
    return np.array([np.linalg.matrix_power(z, a) @ np.linalg.matrix_power(x, b)
                     for a in range(d) for b in range(d) if (a, b) != (0, 0)])


SCALED = {
    "gellmann-3": lambda: GELLMANN_3,
    "sylvester-3": lambda: SYLVESTER_3,
    "clock-and-shift-3": lambda: clock_and_shift(3),
    "non-orthogonal": lambda: random_matrices(5, 3),
    "one-by-one": lambda: np.array([[[1 + 0j]], [[2 + 0j]]]),
}
POWERS_OF_TWO = [2.0**-500, 2.0**300]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("scale", POWERS_OF_TWO + [1e-150, 1e84, 1e103, 1e150])
@pytest.mark.parametrize("name", SCALED)
def test_coefficients_scale_with_the_basis(name, scale, kind):
    # [sB_i, sB_j] = s²[B_i, B_j] = Σ_k (s·T_ijk)(s·B_k): T(sB) = s·T(B), and tol is absolute.
    basis = SCALED[name]()
    expected = structure_tensor(basis, kind)
    got = structure_tensor(basis * scale, kind, tol=scale * 1e-8)
    assert got.indices.tolist() == expected.indices.tolist()
    if scale in POWERS_OF_TWO:
        assert got.values.tobytes() == (expected.values * scale).tobytes()
    else:
        np.testing.assert_allclose(got.values / scale, expected.values, rtol=1e-12, atol=1e-13)


@pytest.mark.parametrize("method", [1, 2, 3], ids=["sparse", "dense", "per-pair"])
@pytest.mark.parametrize("scale", [2.0**-600, 2.0**400])
def test_every_route_scales_alike(method, scale):
    from tanvo_lie import _native

    matrices = list(GELLMANN_3.astype(complex))
    n = len(matrices)
    indices, values = _native.structure_tensor(matrices, 0, 1e-8, 0, n, 1, method)
    scaled_indices, scaled_values = _native.structure_tensor([m * scale for m in matrices], 0, 1e-8 * scale, 0, n, 1,
                                                             method)
    assert np.asarray(scaled_indices).tolist() == np.asarray(indices).tolist()
    assert np.asarray(scaled_values).tobytes() == (np.asarray(values) * scale).tobytes()
