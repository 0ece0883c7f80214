"""Spin-j matrices of sl(2) and su(2): exact values, failures by range of j, the algebra."""
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tanvo
from conftest import bits

RANGE_LENGTH = (
    "Converting the length to `usize` must not fail. The most likely cause of this failure "
    "is if the sign of `end - start` is different from the sign of `step`."
)
INDEX = "ndarray: index out of bounds"
SHAPE = "ndarray: Shape too large, product of non-zero axis lengths overflows isize"
GENERATORS = [tanvo.gen_sl2, tanvo.gen_su2]


EXACT = {
    0: ([0.0], []),
    0.25: ([0.25], []),
    0.5: ([0.5, -0.5], [1.0]),
    0.7: ([0.7, -0.30000000000000004], [1.1832159566199232]),
    1: ([1.0, 0.0, -1.0], [1.4142135623730951, 1.4142135623730951]),
    1.5: ([1.5, 0.5, -0.5, -1.5], [1.7320508075688772, 2.0, 1.7320508075688772]),
}


@pytest.mark.parametrize("j", EXACT)
def test_sl2_exact(j):
    diagonal, ladder_values = EXACT[j]
    jz, jplus, jminus = tanvo.gen_sl2(j)
    assert all(m.dtype == np.float64 for m in (jz, jplus, jminus))
    assert bits(jz) == bits(np.diag(diagonal))
    assert bits(jplus) == bits(np.diag(np.array(ladder_values, float), 1))
    assert bits(jminus) == bits(np.diag(np.array(ladder_values, float), -1))


@pytest.mark.parametrize("j", EXACT)
def test_su2_is_jz_and_half_sum_and_half_difference(j):
    jz, jplus, jminus = tanvo.gen_sl2(j)
    matrices = tanvo.gen_su2(j)
    assert all(m.dtype == np.complex128 for m in matrices)
    expected = [jz, 0.5 * (jplus + jminus), 0.5 * (jplus - jminus)]
    for got, want in zip(matrices, expected):
        assert bits(got.real) == bits(want)
        assert not np.signbit(got.imag).any() and not got.imag.any()


@pytest.mark.parametrize("generate", GENERATORS)
@pytest.mark.parametrize(
    "j, message",
    [(float("nan"), RANGE_LENGTH), (float("-inf"), RANGE_LENGTH), (-1e300, RANGE_LENGTH),
     (-1, RANGE_LENGTH), (-0.75, RANGE_LENGTH), (-0.5, RANGE_LENGTH),
     (-0.3, INDEX), (-1e-9, INDEX),
     (1e12, SHAPE), (float("inf"), SHAPE)],
)
def test_failures_by_range_of_j(panic, generate, j, message):
    with pytest.raises(panic) as raised:
        generate(j)
    assert str(raised.value) == message


# Margins keep clear of the boundaries, where rounding of 2j + 1 and the lengths decides.
@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])  # `panic` is stateless
@given(st.one_of(st.floats(-1.0, -0.5 - 1e-12, exclude_min=True).map(lambda j: (j, RANGE_LENGTH)),
                 st.floats(-0.5 + 1e-12, -1e-12).map(lambda j: (j, INDEX))))
def test_negative_spin_above_minus_one_fails_in_the_ladder(panic, case):
    j, expected = case
    for generate in GENERATORS:
        with pytest.raises(panic) as raised:
            generate(j)
        assert str(raised.value) == expected


def test_tiny_negative_spin_rounds_to_dimension_one():
    # (j + j) + 1 rounds to 1.0, and every sequence length is exactly what n = 1 needs.
    jz, jplus, jminus = tanvo.gen_sl2(-5e-324)
    assert bits(jz) == bits(np.array([[-5e-324]]))
    assert bits(jplus) == bits(jminus) == bits(np.zeros((1, 1)))


@pytest.mark.parametrize("generate", GENERATORS)
@pytest.mark.parametrize("j", [1e7, 1e9])
def test_sizes_beyond_memory_raise_memory_error(generate, j):
    with pytest.raises(MemoryError):
        generate(j)
    assert len(generate(1)) == 3


@pytest.mark.parametrize("j", np.arange(0, 20.5, 0.5))
def test_sl2_algebra_for_half_integer_spins(j):
    jz, jplus, jminus = tanvo.gen_sl2(j)
    n = int(2 * j + 1)
    assert jz.shape == jplus.shape == jminus.shape == (n, n)
    np.testing.assert_array_equal(jplus, jminus.T)
    assert np.trace(jz) == 0
    np.testing.assert_allclose(jplus @ jminus - jminus @ jplus, 2 * jz, atol=1e-9)


@pytest.mark.parametrize("j", np.arange(0, 10.5, 0.5))
def test_su2_commutation_relations(j):
    # [J_z, J_x] = iJ_y, [J_x, iJ_y] = -J_z, [iJ_y, J_z] = -J_x
    jz, jx, ijy = tanvo.gen_su2(j)

    def bracket(a, b):
        return a @ b - b @ a

    np.testing.assert_allclose(bracket(jz, jx), ijy, atol=1e-9)
    np.testing.assert_allclose(bracket(jx, ijy), -jz, atol=1e-9)
    np.testing.assert_allclose(bracket(ijy, jz), -jx, atol=1e-9)
