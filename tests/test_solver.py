"""The complex least-squares solver (LAPACK zgelsd), reached through the reference build's
solve_least_squares(a, b): the minimum-norm x minimising |a x - b|, as an n x 1 array."""
import numpy as np
import pytest

from conftest import bits

FAILURE = "called `Result::unwrap()` on an `Err` value: "


@pytest.fixture(scope="module")
def solve(reference):
    return reference.solve_least_squares


def random_complex(rng, shape):
    return rng.standard_normal(shape) + 1j * rng.standard_normal(shape)


def assert_panics(call, message):
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value).__name__ == "PanicException"
    assert str(caught.value) == message


def test_not_one_of_the_module_functions(reference):
    assert "solve_least_squares" not in reference.__all__


@pytest.mark.parametrize("m, n", [(6, 3), (4, 4), (1, 1), (9, 8)])
@pytest.mark.parametrize("seed", [1, 2])
def test_consistent_system_is_solved(solve, m, n, seed):
    rng = np.random.default_rng(seed)
    a = random_complex(rng, (m, n))
    x = random_complex(rng, (n, 1))
    np.testing.assert_allclose(solve(a, a @ x), x, rtol=0, atol=1e-10)


@pytest.mark.parametrize("m, n", [(6, 3), (2, 4), (1, 3), (5, 1), (3, 7)],
                         ids=["overdetermined", "underdetermined", "one-row", "one-column", "wide"])
@pytest.mark.parametrize("seed", [3, 4])
def test_minimum_norm_least_squares_solution(solve, m, n, seed):
    rng = np.random.default_rng(seed)
    a = random_complex(rng, (m, n))
    b = random_complex(rng, (m, 1))
    x = solve(a, b)
    assert x.shape == (n, 1) and x.dtype == np.complex128
    np.testing.assert_allclose(x, np.linalg.pinv(a) @ b, rtol=0, atol=1e-10)


# Dependent columns that the SVD sees as exactly dependent. (Rank is decided against machine
# precision, so a dependency blurred by rounding may count as full rank.)
RANK_DEFICIENT = {
    "equal-columns": [[1, 1], [1, 1]],
    "repeated-column": [[1, 1, 0], [0, 0, 1], [0, 0, 1]],
    "multiple-column": [[1, 2], [2, 4], [3, 6]],
    "complex-multiple": [[1j, 1], [1, -1j]],
    "sum-column": [[1, 0, 1], [0, 1, 1], [1, 1, 2], [0, 0, 0]],
}


@pytest.mark.parametrize("name", RANK_DEFICIENT)
def test_rank_deficient_matrix_gives_the_minimum_norm_solution(solve, name):
    a = np.array(RANK_DEFICIENT[name], dtype=complex)
    b = np.arange(1, a.shape[0] + 1).reshape(-1, 1) * (1 + 1j)
    np.testing.assert_allclose(solve(a, b), np.linalg.pinv(a) @ b, rtol=0, atol=1e-12)


@pytest.mark.parametrize("seed", [5, 6])
def test_zero_column_gets_a_zero_coefficient(solve, seed):
    rng = np.random.default_rng(seed)
    a = random_complex(rng, (5, 3))
    a[:, 1] = 0
    b = random_complex(rng, (5, 1))
    x = solve(a, b)
    assert x[1] == 0
    np.testing.assert_allclose(x, np.linalg.pinv(a) @ b, rtol=0, atol=1e-10)


@pytest.mark.parametrize("shape", [(4, 3), (2, 5), (3, 3), (1, 2)])
def test_zero_right_hand_side_gives_the_zero_vector(solve, shape):
    a = random_complex(np.random.default_rng(7), shape)
    x = solve(a, np.zeros((shape[0], 1), dtype=complex))
    assert x.shape == (shape[1], 1) and not x.any()


@pytest.mark.parametrize("column", [0, 1, 2])
def test_column_of_the_matrix_is_a_unit_vector(solve, column):
    a = random_complex(np.random.default_rng(8), (5, 3))
    expected = np.zeros((3, 1), dtype=complex)
    expected[column] = 1
    np.testing.assert_allclose(solve(a, a[:, column:column + 1]), expected, rtol=0, atol=1e-12)


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
def test_empty_systems(solve, shape):
    x = solve(np.zeros(shape, dtype=complex), np.zeros((shape[0], 1), dtype=complex))
    assert x.shape == (shape[1], 1)
    assert not x.any()


def test_right_hand_side_may_have_any_shape_with_m_elements(solve):
    a = np.eye(4, dtype=complex)
    b = np.arange(4, dtype=complex).reshape(2, 2)
    np.testing.assert_array_equal(solve(a, b).ravel(), b.ravel())


@pytest.mark.parametrize("fails", [False, True])
def test_callers_arrays_are_unchanged(solve, fails):
    rng = np.random.default_rng(9)
    a = random_complex(rng, (4, 3))
    b = random_complex(rng, (3 if fails else 4, 1))
    before = a.copy(), b.copy()
    try:
        solve(a, b)
    except BaseException:  # noqa: B036
        assert fails
    assert bits(a) == bits(before[0]) and bits(b) == bits(before[1])
    assert a.flags.writeable and b.flags.writeable


# --- Failures and their renderings ---------------------------------------------------------

SHAPE = FAILURE + "Shape(ShapeError/IncompatibleShape: incompatible shapes)"
BAD_A = FAILURE + "Lapack(LapackInvalidValue { return_code: -4 })"
BAD_B = FAILURE + "Lapack(LapackInvalidValue { return_code: -6 })"
NON_FINITE = [np.nan, complex(0, np.nan), np.inf, -np.inf, complex(1, np.inf)]


@pytest.mark.parametrize("b_rows", [2, 4, 0])
def test_right_hand_side_of_the_wrong_length(solve, b_rows):
    assert_panics(lambda: solve(np.eye(3, dtype=complex), np.ones((b_rows, 1), dtype=complex)), SHAPE)


@pytest.mark.parametrize("bad", NON_FINITE)
def test_non_finite_matrix_is_refused_before_lapack(solve, bad):
    a = np.eye(3, dtype=complex)
    a[2, 1] = bad
    assert_panics(lambda: solve(a, np.ones((3, 1), dtype=complex)), BAD_A)


@pytest.mark.parametrize("bad", NON_FINITE)
def test_non_finite_right_hand_side_is_refused_before_lapack(solve, bad):
    b = np.ones((3, 1), dtype=complex)
    b[1] = bad
    assert_panics(lambda: solve(np.eye(3, dtype=complex), b), BAD_B)


def test_failures_are_reported_in_argument_order(solve):
    a = np.full((3, 3), np.nan, dtype=complex)
    assert_panics(lambda: solve(a, np.full((3, 1), np.nan, dtype=complex)), BAD_A)
    assert_panics(lambda: solve(a, np.ones((2, 1), dtype=complex)), SHAPE)


def test_nan_placements_that_stall_lapack_fail_at_once(solve):
    # NaN below the diagonal of an otherwise well-posed system: LAPACK's SVD can spin on it.
    for row in range(4):
        for col in range(3):
            a = np.arange(12, dtype=complex).reshape(4, 3) + np.eye(4, 3)
            a[row, col] = np.nan
            assert_panics(lambda: solve(a, np.ones((4, 1), dtype=complex)), BAD_A)
