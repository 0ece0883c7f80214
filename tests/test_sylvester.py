"""The clock-and-shift basis: exact values, structure, and agreement with the dense method."""
import numpy as np
import pytest

import tanvo
from conftest import bits


def c(re, im=0.0):
    return complex(re, im)


def test_d1_is_two_ones():
    basis = tanvo.gen_sylvester(1)
    assert len(basis) == 2
    for m in basis:
        assert m.shape == (1, 1) and m.dtype == np.complex128
        assert bits(m) == bits(np.array([[1 + 0j]]))


def test_d2_exact():
    w = c(-1.0, 1.2246467991473532e-16)
    x, z, xz = tanvo.gen_sylvester(2)
    assert bits(x) == bits(np.array([[0, 1], [1, 0]], complex))
    assert bits(z) == bits(np.array([[1, 0], [0, w]], complex))
    assert bits(xz) == bits(np.array([[0, w], [1, 0]], complex))


def test_d3_exact():
    basis = tanvo.gen_sylvester(3)
    assert len(basis) == 8
    theta = 6.283185307179586 / 3
    w = c(np.cos(theta), np.sin(theta))
    w2 = w * w
    x = np.roll(np.eye(3, dtype=complex), 1, axis=0)
    z = np.diag([1, w, w2])
    assert bits(basis[0]) == bits(x)
    assert bits(basis[1]) == bits(z)
    # Order: X, Z, XZ, XZ², X²Z, X²Z², X²Z³, X³Z²; the last equals Z² (X³ = 1).
    z2 = np.diag([1, w * w, w2 * w2])
    z3 = np.diag([1, w * w * w, w2 * w2 * w2])
    x2 = x @ x
    expected = [x @ z, x @ z2, x2 @ z, x2 @ z2, x2 @ z3, z2]
    for got, want in zip(basis[2:], expected):
        np.testing.assert_array_equal(got, want)
    assert bits(basis[7]) == bits(z2 + 0.0)


@pytest.mark.parametrize("d", range(1, 14))
def test_bit_identical_to_dense_method(reference, d):
    fast, dense = tanvo.gen_sylvester(d), reference.gen_sylvester(d)
    assert len(fast) == len(dense)
    assert [bits(m) for m in fast] == [bits(m) for m in dense]


@pytest.mark.parametrize("d", [2, 3, 5, 8, 17, 32])
def test_count_shape_and_unitarity(d):
    basis = tanvo.gen_sylvester(d)
    assert len(basis) == d * d - 1
    identity = np.eye(d)
    for m in basis:
        assert m.shape == (d, d) and m.dtype == np.complex128 and m.flags.c_contiguous
        np.testing.assert_allclose(m @ m.conj().T, identity, atol=1e-12)
        assert not np.allclose(m, identity)
    x, z = basis[0], basis[1]
    w = np.exp(2j * np.pi / d)
    np.testing.assert_allclose(z @ x, w * (x @ z), atol=1e-12)


def test_results_are_fresh_arrays():
    first, second = tanvo.gen_sylvester(3), tanvo.gen_sylvester(3)
    for a, b in zip(first, second):
        assert a.flags.owndata and a.flags.writeable
        assert not np.shares_memory(a, b)
    first[0][0, 0] = 5
    assert tanvo.gen_sylvester(3)[0][0, 0] == 0


def test_d0_fails_with_index_message(panic):
    with pytest.raises(panic) as raised:
        tanvo.gen_sylvester(0)
    assert str(raised.value) == "ndarray: index out of bounds"


@pytest.mark.parametrize("d", [10**5, 2**40])
def test_sizes_beyond_memory_fail_at_once(d):
    with pytest.raises(MemoryError):
        tanvo.gen_sylvester(d)
