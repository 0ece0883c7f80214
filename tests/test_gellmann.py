"""The generalized Gell-Mann basis times i: exact values, order, algebraic properties, sizes."""
import numpy as np
import pytest

import tanvo
from conftest import bits

S2 = 0.5773502691896257  # sqrt(2 / (3 * 2)), the factor of the second diagonal matrix


@pytest.mark.parametrize("d", [0, 1])
def test_no_basis_below_dimension_two(d):
    assert tanvo.gen_gellmann(d) == []


def test_d2_exact_with_signed_zeros():
    diagonal, antisymmetric, symmetric = tanvo.gen_gellmann(2)
    # i·(-i) stores (1.0, -0.0); i·(-1) on the diagonal stores (-0.0, -1.0).
    assert bits(diagonal) == bits(np.array([[1j, 0], [0, complex(-0.0, -1.0)]]))
    assert bits(antisymmetric) == bits(np.array([[0, complex(1.0, -0.0)], [-1 + 0j, 0]]))
    assert bits(symmetric) == bits(np.array([[0, 1j], [1j, 0]]))


def test_d3_order_and_second_diagonal():
    basis = tanvo.gen_gellmann(3)
    assert len(basis) == 8
    # (j, k) in row-major order without (3, 3): diagonal, antisymmetric, symmetric families.
    expected = [
        np.diag([1j, complex(-0.0, -1.0), 0]),
        np.array([[0, 1, 0], [-1, 0, 0], [0, 0, 0]], complex),
        np.array([[0, 0, 1], [0, 0, 0], [-1, 0, 0]], complex),
        np.array([[0, 1j, 0], [1j, 0, 0], [0, 0, 0]]),
        np.diag([complex(0.0, S2), complex(0.0, S2), complex(-0.0, -2 * S2)]),
        np.array([[0, 0, 0], [0, 0, 1], [0, -1, 0]], complex),
        np.array([[0, 0, 1j], [0, 0, 0], [1j, 0, 0]]),
        np.array([[0, 0, 0], [0, 0, 1j], [0, 1j, 0]]),
    ]
    for got, want in zip(basis, expected):
        np.testing.assert_array_equal(got, want)
    assert basis[4][0, 0].imag == 0.5773502691896257
    assert bits(basis[4]) == bits(expected[4])


@pytest.mark.parametrize("d", range(13))
def test_bit_identical_to_dense_method(reference, d):
    fast, dense = tanvo.gen_gellmann(d), reference.gen_gellmann(d)
    assert [bits(m) for m in fast] == [bits(m) for m in dense]


@pytest.mark.parametrize("d", [2, 3, 4, 5, 7, 10, 16, 23])
def test_anti_hermitian_traceless_orthonormal(d):
    basis = tanvo.gen_gellmann(d)
    assert len(basis) == d * d - 1
    for m in basis:
        assert m.shape == (d, d) and m.dtype == np.complex128 and m.flags.c_contiguous
        np.testing.assert_array_equal(m, -m.conj().T)
        assert abs(np.trace(m)) < 1e-12
        assert not np.allclose(m, np.eye(d))
    # gram[a, b] = trace(R_a · R_b) = sum over (r, c) of R_a[r, c] · R_b[c, r]
    rows = np.array([m.ravel() for m in basis])
    transposed = np.array([m.T.ravel() for m in basis])
    gram = rows @ transposed.T
    np.testing.assert_allclose(gram, -2 * np.eye(d * d - 1), atol=1e-12)


@pytest.mark.parametrize("d", [10**6, 2**16, 2**32, 2**64 - 1])
def test_sizes_beyond_memory_fail_fast(d):
    with pytest.raises(MemoryError):
        tanvo.gen_gellmann(d)
    assert len(tanvo.gen_gellmann(2)) == 3
