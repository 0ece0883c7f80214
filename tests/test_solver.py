"""The complex least-squares solver (LAPACK zgelsd), reached through the reference build's
solve_least_squares(a, b): the minimum-norm x minimising |a x - b|, as an n x 1 array."""
import numpy as np
import pytest

from conftest import bits

UNWRAP = "called `Result::unwrap()` on an `Err` value: "
SHAPE = UNWRAP + "Shape(ShapeError/IncompatibleShape: incompatible shapes)"
BAD_A = UNWRAP + "Lapack(LapackInvalidValue { return_code: -4 })"
BAD_B = UNWRAP + "Lapack(LapackInvalidValue { return_code: -6 })"


@pytest.fixture(scope="module")
def solve(reference):
    assert "solve_least_squares" not in reference.__all__  # not one of the module's functions
    return reference.solve_least_squares


def random_complex(seed, shape):
    rng = np.random.default_rng(seed)
    return rng.standard_normal(shape) + 1j * rng.standard_normal(shape)


def assert_panics(call, message):
    with pytest.raises(BaseException) as caught:
        call()
    assert (type(caught.value).__name__, str(caught.value)) == ("PanicException", message)


@pytest.mark.parametrize("m, n", [(6, 3), (4, 4), (2, 4), (1, 3), (5, 1), (3, 7), (9, 8)])
@pytest.mark.parametrize("seed", [1, 2])
def test_minimum_norm_least_squares_solution(solve, m, n, seed):
    a = random_complex(seed, (m, n))
    b = random_complex(seed + 100, (m, 1))
    x = solve(a, b)
    assert x.shape == (n, 1) and x.dtype == np.complex128
    np.testing.assert_allclose(x, np.linalg.pinv(a) @ b, rtol=0, atol=1e-10)
    if m >= n:  # a consistent system is solved exactly
        np.testing.assert_allclose(solve(a, a @ x), x, rtol=0, atol=1e-10)


# Dependencies the SVD sees as exact. (Rank is decided against machine precision, so a
# dependency blurred by rounding may count as full rank.)
@pytest.mark.parametrize("a", [
    [[1, 1], [1, 1]],
    [[1, 1, 0], [0, 0, 1], [0, 0, 1]],
    [[1, 2], [2, 4], [3, 6]],
    [[1j, 1], [1, -1j]],
    [[1, 0, 1], [0, 1, 1], [1, 1, 2], [0, 0, 0]],
])
def test_rank_deficient_matrix_gives_the_minimum_norm_solution(solve, a):
    a = np.array(a, dtype=complex)
    b = np.arange(1, a.shape[0] + 1).reshape(-1, 1) * (1 + 1j)
    np.testing.assert_allclose(solve(a, b), np.linalg.pinv(a) @ b, rtol=0, atol=1e-12)


@pytest.mark.parametrize("shape", [(4, 3), (2, 5), (1, 2), (0, 3), (3, 0), (0, 0)])
def test_zero_right_hand_side_gives_the_zero_vector(solve, shape):
    x = solve(random_complex(3, shape), np.zeros((shape[0], 1), dtype=complex))
    assert x.shape == (shape[1], 1) and not x.any()


@pytest.mark.parametrize("column", [0, 2])
def test_column_of_the_matrix_is_a_unit_vector(solve, column):
    a = random_complex(4, (5, 3))
    np.testing.assert_allclose(solve(a, a[:, column:column + 1]).ravel(), np.eye(3)[column],
                               rtol=0, atol=1e-12)


def test_right_hand_side_may_have_any_shape_with_m_elements(solve):
    b = np.arange(4, dtype=complex).reshape(2, 2)
    np.testing.assert_array_equal(solve(np.eye(4, dtype=complex), b).ravel(), b.ravel())


@pytest.mark.parametrize("b_rows", [3, 4], ids=["fails", "succeeds"])
def test_callers_arrays_are_unchanged(solve, b_rows):
    a, b = random_complex(5, (4, 3)), random_complex(6, (b_rows, 1))
    before = bits(a), bits(b)
    try:
        solve(a, b)
    except BaseException:  # noqa: B036
        assert b_rows == 3
    assert (bits(a), bits(b)) == before and a.flags.writeable and b.flags.writeable


# --- Failures and their renderings ---------------------------------------------------------

@pytest.mark.parametrize("b_rows", [2, 4, 0])
def test_right_hand_side_of_the_wrong_length(solve, b_rows):
    assert_panics(lambda: solve(np.eye(3, dtype=complex), np.ones((b_rows, 1), dtype=complex)), SHAPE)


@pytest.mark.parametrize("bad", [np.nan, complex(0, np.nan), np.inf, -np.inf, complex(1, np.inf)])
def test_non_finite_input_is_refused_before_lapack(solve, bad):
    # NaN anywhere in the matrix can make LAPACK's SVD spin forever: every placement fails at once.
    for row in range(4):
        for col in range(3):
            a = np.arange(12, dtype=complex).reshape(4, 3) + np.eye(4, 3)
            a[row, col] = bad
            assert_panics(lambda: solve(a, np.ones((4, 1), dtype=complex)), BAD_A)
    b = np.ones((3, 1), dtype=complex)
    b[1] = bad
    assert_panics(lambda: solve(np.eye(3, dtype=complex), b), BAD_B)


def test_failures_are_reported_in_argument_order(solve):
    a = np.full((3, 3), np.nan, dtype=complex)
    assert_panics(lambda: solve(a, np.full((3, 1), np.nan, dtype=complex)), BAD_A)
    assert_panics(lambda: solve(a, np.ones((2, 1), dtype=complex)), SHAPE)
