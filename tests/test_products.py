"""Products in coefficient space: su_commutator, su_anticommutator, cross and dot."""

import ctypes
import ctypes.util
import itertools
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tanvo
from conftest import bits, panic_type

MATRIX_PRODUCTS = ["su_commutator", "su_anticommutator"]
CONTRACTIONS = ["cross", "dot"]
EMPTY = np.zeros((0, 1), complex)
SIGMA = [np.array(m, complex) for m in ([[0, 1], [1, 0]], [[0, -1j], [1j, 0]], [[1, 0], [0, -1]])]

libm = ctypes.CDLL(ctypes.util.find_library("m"))
libm.hypot.restype = ctypes.c_double
libm.hypot.argtypes = [ctypes.c_double, ctypes.c_double]


@pytest.fixture(params=["tanvo", "tanvo_reference"])
def module(request):
    return pytest.importorskip(request.param)


def column(*values):
    return np.array(values, complex).reshape(-1, 1)


def is_panic(error):
    # Each extension module makes its own PanicException type.
    return type(error).__qualname__ == "PanicException" and not isinstance(error, Exception)


def failure(call, *args):
    with pytest.raises(BaseException) as caught:
        call(*args)
    assert is_panic(caught.value)
    return str(caught.value)


def model_matrix_product(l_a, l_b, f, basis):
    """The commutator routine written out in Python's textbook complex arithmetic."""
    d = basis[0].shape[0]
    result = [[0j] * d for _ in range(d)]
    for g, a in enumerate(l_a.reshape(-1)):
        for t, b in enumerate(l_b.reshape(-1)):
            if (g, t) in f:
                k, c = f[g, t]
                w = complex(a) * complex(b) * c
                if libm.hypot(w.real, w.imag) > 1e-8:
                    for r in range(d):
                        for s in range(d):
                            result[r][s] += complex(basis[k][r, s]) * w
    return np.array(result, complex).reshape(d, d)


def model_cross(l_a, l_b, f):
    result = np.zeros(l_a.shape, complex)
    for g, a in enumerate(l_a.reshape(-1)):
        for t, b in enumerate(l_b.reshape(-1)):
            if (g, t) in f and f[g, t][0] < l_a.shape[0]:
                k, c = f[g, t]
                result[k, 0] = complex(result[k, 0]) + c * complex(a) * complex(b)
    return result


# --- su_commutator and su_anticommutator ---------------------------------------------------


@pytest.mark.parametrize("name", MATRIX_PRODUCTS)
class TestMatrixProduct:
    def test_empty_basis_fails_first(self, module, name):
        message = failure(getattr(module, name), EMPTY, EMPTY, {}, [])
        assert message == "index out of bounds: the len is 0 but the index is 0"

    @pytest.mark.parametrize("l_a, f", [(column(1, 2, 3), {}), (EMPTY, {(0, 1): (2, 2j)})])
    def test_nothing_to_add_gives_zero_matrix(self, module, name, l_a, f):
        result = getattr(module, name)(l_a, column(1, 2, 3), f, SIGMA)
        assert bits(result) == bits(np.zeros((2, 2), complex))

    @pytest.mark.parametrize("re, im", [(1e-8, 0.0), (0.0, -1e-8), (np.nextafter(1e-8, 1), 0.0),
                                        (0.0, -np.nextafter(1e-8, 1)), (6e-9, 8e-9),
                                        (7.0710678118654e-9, 7.0710678118655e-9), (5e-9, 5e-9),
                                        (7.1e-9, 7.1e-9)])
    def test_threshold_is_strict_on_the_magnitude(self, module, name, re, im):
        f = {(0, 0): (2, complex(re, im))}
        result = getattr(module, name)(column(1), column(1), f, SIGMA)
        assert result.any() == (libm.hypot(re, im) > 1e-8)
        assert bits(result) == bits(model_matrix_product(column(1), column(1), f, SIGMA))

    def test_missing_matrix_fails_only_for_significant_terms(self, module, name):
        call = getattr(module, name)
        assert not call(column(1), column(1), {(0, 0): (3, 1e-9)}, SIGMA).any()
        assert failure(call, column(1), column(1), {(0, 0): (3, 1.0)}, SIGMA) == (
            "called `Option::unwrap()` on a `None` value")

    def test_nan_term_is_dropped_and_infinite_term_added_densely(self, module, name):
        call = getattr(module, name)
        assert not call(column(complex(np.nan, np.nan)), column(1), {(0, 0): (0, 1)}, SIGMA).any()
        # w = (inf, NaN) has an infinite magnitude; 0·w is NaN, so every element turns NaN.
        result = call(column(1), column(1), {(0, 0): (0, complex(np.inf, 0))}, SIGMA)
        assert np.isnan(result.real).all() and np.isnan(result.imag).all()

    def test_row_and_column_coefficients_agree_and_short_ones_are_fine(self, module, name):
        f = {(0, 1): (2, 2j), (1, 0): (2, -2j), (2, 0): (1, 1), (7, 7): (0, 1)}
        a, b = column(1, 2 - 1j, 3), column(0.5, 1j)
        call = getattr(module, name)
        assert bits(call(a, b, f, SIGMA)) == bits(call(a.T, b, f, SIGMA))
        assert bits(call(a, b, f, SIGMA)) == bits(model_matrix_product(a, b, f, SIGMA))

    @pytest.mark.parametrize("padding", [0, 40], ids=["few pairs", "many pairs"])
    def test_terms_are_summed_pair_by_pair_in_row_major_order(self, module, name, padding):
        # In any other order the 1 is lost against 1e16.
        f = {(1, 1): (2, 1), (1, 0): (2, 1), (0, 1): (2, 1), (0, 0): (2, 1)}
        l_a, l_b = column(1e16, 1), column(1, -1, *[5] * padding)
        result = getattr(module, name)(l_a, l_b, f, SIGMA)
        assert result[0, 0] == 0
        assert bits(result) == bits(model_matrix_product(l_a, l_b, f, SIGMA))

    def test_row_matrix_is_stretched_over_the_rows(self, module, name):
        basis = [np.eye(3, dtype=complex), np.array([[1, 2, 3]], complex)]
        result = getattr(module, name)(column(1), column(1), {(0, 0): (1, 2j)}, basis)
        assert bits(result) == bits(np.tile([[2j, 4j, 6j]], (3, 1)))

    def test_unstretchable_term_fails_with_broadcast_message(self, module, name):
        basis = [np.ones((2, 3), complex)]
        call = getattr(module, name)
        assert call(column(1), column(1), {}, basis).shape == (2, 2)
        assert failure(call, column(1), column(1), {(0, 0): (0, 1)}, basis) == (
            "ndarray: could not broadcast array from shape: [2, 3] to: [2, 2]")


def test_commutator_and_anticommutator_report_their_own_positions(module, capfd):
    positions = []
    for call in (module.su_commutator, module.su_anticommutator):
        failure(call, EMPTY, EMPTY, {}, [])
        positions.append(re.findall(r"src/products/\S+:\d+:\d+", capfd.readouterr().err))
    assert all(len(p) == 1 for p in positions) and positions[0] != positions[1]


# --- cross and dot -----------------------------------------------------------------------


@pytest.mark.parametrize("name", CONTRACTIONS)
class TestContraction:
    @pytest.mark.parametrize("l_a, l_b, f", [
        (column(1, 2), column(3, 4), {}),
        (column(1, 2), EMPTY, {(0, 0): (0, 1)}),
        (np.zeros((0, 3), complex), column(1), {(0, 0): (0, 1)}),
        (column(1, 2), column(3), {(0, 0): (2, 1), (1, 0): (9, 5)}),
    ])
    def test_nothing_reached_gives_zeros_of_l_a_shape(self, module, name, l_a, l_b, f):
        result = getattr(module, name)(l_a, l_b, f)
        assert bits(result) == bits(np.zeros(l_a.shape, complex))

    def test_row_l_a_keeps_only_component_zero(self, module, name):
        f = {(0, 1): (0, 2), (1, 0): (1, 3)}
        call = getattr(module, name)
        assert bits(call(column(1, 2), column(5, 7), f)) == bits(column(14, 30))
        assert bits(call(column(1, 2).T, column(5, 7), f)) == bits(np.array([[14, 0]], complex))

    def test_wide_l_a_is_numbered_row_by_row(self, module, name):
        l_a = np.arange(6, dtype=complex).reshape(3, 2)
        result = getattr(module, name)(l_a, column(2), {(3, 0): (1, 1j), (1, 0): (0, 1)})
        assert bits(result) == bits(np.array([[2, 0], [6j, 0], [0, 0]], complex))

    def test_every_term_is_added(self, module, name):
        call = getattr(module, name)
        assert call(column(1, 0), column(1), {(0, 0): (1, 1e-300)})[1, 0] == 1e-300
        assert np.isnan(call(column(np.nan, 0), column(1), {(0, 0): (1, 1)})[1, 0])

    @pytest.mark.parametrize("padding", [0, 40], ids=["few pairs", "many pairs"])
    def test_summation_order_and_arithmetic(self, module, name, padding):
        f = {(1, 1): (0, 1), (1, 0): (0, 1), (0, 1): (0, 1), (0, 0): (0, 1), (0, 2): (1, 3 - 1j)}
        l_a, l_b = column(1e16, 1), column(1, -1, 0.1 + 0.7j, *[5] * padding)
        result = getattr(module, name)(l_a, l_b, f)
        assert result[0, 0] == 0 and bits(result) == bits(model_cross(l_a, l_b, f))


# --- the fast routines against the reference ----------------------------------------------

FINITE = st.one_of(
    st.sampled_from([0.0, -0.0, 1.0, -2.5, 1e-8, -1e-8, 5e-9, 7.1e-9, 1e-4, 1e300]),
    st.floats(-4, 4))
NUMBERS = st.integers(0, 15).flatmap(
    lambda x: st.sampled_from([np.inf, -np.inf, np.nan, -np.nan]) if x == 0 else FINITE)
COMPLEX = st.builds(complex, NUMBERS, NUMBERS)
SPARSE = st.one_of(st.sampled_from([0j, complex(-0.0, 0.0)]), COMPLEX)
LAYOUTS = {"c": lambda m: m, "f": np.asfortranarray, "strided": lambda m: np.repeat(m, 2, axis=1)[:, ::2]}


def arrays(shape, values):
    return st.lists(values, min_size=shape[0] * shape[1], max_size=shape[0] * shape[1]).map(
        lambda v: np.array(v, complex).reshape(shape))


def index_up_to(count):
    """Mostly indices below count, sometimes just past it."""
    inside = [st.integers(0, count - 1)] * 3 if count else []
    return st.one_of(*inside, st.integers(count, count + 1))


@st.composite
def products_inputs(draw):
    """Coefficient arrays of any shape and layout, a map mostly inside their reach, and small
    bases mostly of square sparse matrices."""
    d = draw(st.integers(1, 3))
    shapes = st.sampled_from([(d, d)] * 6 + [(1, d), (d, 1), (1, 1), (2, 3)])
    basis = [LAYOUTS[draw(st.sampled_from("cf"))](draw(arrays(draw(shapes), SPARSE)))
             for _ in range(draw(st.integers(1, 4)))]
    shape = st.tuples(st.sampled_from([1, 2, 3, 4, 5, 6, 7, 0]), st.sampled_from([1, 1, 2, 3, 0]))
    l_a = LAYOUTS[draw(st.sampled_from(list(LAYOUTS)))](draw(arrays(draw(shape), COMPLEX)))
    l_b = draw(arrays(draw(shape), COMPLEX))
    key = st.tuples(index_up_to(l_a.size), index_up_to(l_b.size))
    value = st.tuples(st.integers(0, len(basis) + 1), COMPLEX)
    size = min(draw(st.integers(0, 24)), (l_a.size + 2) * (l_b.size + 2) // 2)
    return l_a, l_b, draw(st.dictionaries(key, value, min_size=size, max_size=24)), basis


def outcome(call, *args):
    try:
        result = call(*args)
    except BaseException as e:
        if not is_panic(e):
            raise
        return "failure", str(e)
    return result.shape, bits(result)


@settings(max_examples=800, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(products_inputs())
def test_fast_routines_match_reference_bit_for_bit(reference, inputs):
    l_a, l_b, f, basis = inputs
    for name in MATRIX_PRODUCTS:
        expected = outcome(getattr(reference, name), l_a, l_b, f, basis)
        assert outcome(getattr(tanvo, name), l_a, l_b, f, basis) == expected
    expected = outcome(reference.cross, l_a, l_b, f)
    for call in (tanvo.cross, tanvo.dot, reference.dot):
        assert outcome(call, l_a, l_b, f) == expected


@settings(max_examples=200, deadline=None)
@given(products_inputs())
def test_reference_follows_the_textbook_arithmetic(reference, inputs):
    l_a, l_b, f, basis = inputs
    finite = all(np.isfinite(x).all() for x in [l_a, l_b, *basis, *(c for _, c in f.values())])
    d = basis[0].shape[0]
    square = all(m.shape == (d, d) for m in basis)
    if finite and square and all(k < len(basis) for k, _ in f.values()):
        assert bits(reference.su_commutator(l_a, l_b, f, basis)) == bits(
            model_matrix_product(l_a, l_b, f, basis))
    if finite:
        assert bits(reference.cross(l_a, l_b, f)) == bits(model_cross(l_a, l_b, f))


SIGNED_NANS = [complex(np.nan, 1), complex(-np.nan, -1), complex(np.inf, -np.nan), 1 + 0j]


@pytest.mark.parametrize("name", ["su_commutator", "cross"])
@pytest.mark.parametrize("x, y, c", list(itertools.product(SIGNED_NANS, repeat=3)))
def test_nans_of_either_sign_come_out_as_in_the_reference(reference, name, x, y, c):
    # Two terms land on the same element, so NaNs of the caller's meet each other.
    l_a, l_b, f = column(x, y), column(y, x), {(0, 0): (0, c), (1, 1): (0, -c), (0, 1): (0, 1j)}
    args = (l_a, l_b, f, SIGMA) if name in MATRIX_PRODUCTS else (l_a, l_b, f)
    assert bits(getattr(tanvo, name)(*args)) == bits(getattr(reference, name)(*args))


@pytest.mark.parametrize("name", MATRIX_PRODUCTS + CONTRACTIONS)
def test_small_map_with_long_coefficient_arrays(reference, name):
    rng = np.random.default_rng(4)
    l_a, l_b = (rng.normal(size=(1500, 2)) + 1j * rng.normal(size=(1500, 2)) for _ in "ab")
    f = {(int(g), int(t)): (int(k), complex(c)) for g, t, k, c in zip(
        rng.integers(0, 3100, 40), rng.integers(0, 3100, 40), rng.integers(0, 3, 40),
        rng.normal(size=40))}
    args = (l_a, l_b, f, SIGMA) if name in MATRIX_PRODUCTS else (l_a, l_b, f)
    assert bits(getattr(tanvo, name)(*args)) == bits(getattr(reference, name)(*args))


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("name", MATRIX_PRODUCTS + CONTRACTIONS)
def test_of_keys_naming_one_pair_the_last_in_the_dict_counts(module, name):
    l_a, l_b = column(1, 2 + 1j, 3), column(1j, 1, -1)
    first, last = {(1, 0): (1, 2 + 0j)}, {(Index(1), 0): (0, 5j)}
    rest = {(2, 2): (2, 1 - 1j), (0, 1): (0, 1j)}
    for f, expected in [({**rest, **first, **last}, {**rest, **last}), ({**last, **rest, **first}, {**first, **rest})]:
        args = (l_a, l_b, f, SIGMA) if name in MATRIX_PRODUCTS else (l_a, l_b, f)
        reduced = (l_a, l_b, expected, SIGMA) if name in MATRIX_PRODUCTS else (l_a, l_b, expected)
        assert bits(getattr(module, name)(*args)) == bits(getattr(module, name)(*reduced))


@pytest.mark.parametrize("name", MATRIX_PRODUCTS + CONTRACTIONS)
@pytest.mark.parametrize("generator", ["gen_gellmann", "gen_sylvester"])
def test_the_order_of_the_dict_does_not_change_a_bit(reference, name, generator):
    basis = getattr(tanvo, generator)(5)
    extracted = (tanvo.get_d_coefficients if name in ("su_anticommutator", "dot") else tanvo.get_structure_constants)(basis)
    rng = np.random.default_rng(7)
    l_a, l_b = (rng.normal(size=(len(basis), 1)) + 1j * rng.normal(size=(len(basis), 1)) for _ in "ab")
    shuffled = dict(sorted(extracted.items(), key=lambda item: rng.random()))
    outputs = set()
    for module, f in [(tanvo, extracted), (tanvo, shuffled), (reference, shuffled)]:
        args = (l_a, l_b, f, basis) if name in MATRIX_PRODUCTS else (l_a, l_b, f)
        outputs.add(bits(getattr(module, name)(*args)))
    assert len(outputs) == 1


# Indices at and past what a map holds in 32 bits: never reached, and never a matrix.
WIDE_INDICES = [2**32 - 2, 2**32 - 1, 2**32, 2**64 - 1]


def diagonal_runs_basis(rng, d, with_dense):
    """d x d matrices whose non-zeros lie along wrapped diagonals in runs of every length
    (whole diagonals, broken ones, single cells), in every layout; with_dense adds a matrix with
    an infinite element and a row matrix, which are added densely."""
    def random_values(shape):
        return rng.normal(size=shape) + 1j * rng.normal(size=shape)
    rows = np.arange(d)
    basis = []
    for shift in range(d):
        m = np.zeros((d, d), complex)
        m[rows, (rows + shift) % d] = random_values(d)
        basis.append(m)
        broken = m.copy()
        broken[rng.random(d) < 0.4] = 0
        basis.append(broken)
    dense = random_values((d, d))
    dense[rng.random((d, d)) < 0.3] = 0
    basis += [dense, np.diag(random_values(d)), np.zeros((d, d), complex)]
    if with_dense:
        infinite = basis[0].copy()
        infinite[0, 1 % d] = np.inf
        basis += [infinite, random_values((1, d))]
    layouts = list(LAYOUTS.values())
    return [layouts[rng.integers(len(layouts))](m) for m in basis]


# d = 104: a basis of over 2^21 elements, listed in rounds by two threads.
@pytest.mark.parametrize("d", [4, 5, 8, 104])
@pytest.mark.parametrize("case", ["sparse", "with-dense", "failing"])
@pytest.mark.parametrize("seed", range(3))
def test_runs_along_diagonals_match_reference_bit_for_bit(reference, d, case, seed):
    rng = np.random.default_rng([d, seed])
    basis = diagonal_runs_basis(rng, d, case == "with-dense")
    n = len(basis)
    l_a, l_b = (rng.normal(size=(n, 1)) + 1j * rng.normal(size=(n, 1)) for _ in "ab")
    l_a[rng.integers(n - 1)] = 0
    l_b[rng.integers(n - 1)] = complex(1e300, -1e300)  # overflows: infinite and NaN terms
    l_a[n - 1] = l_b[n - 1] = 1
    f = {(int(g), int(t)): (int(k), complex(*rng.normal(size=2)))
         for g, t, k in rng.integers(0, [n + 1, n + 1, n], size=(6 * n, 3))}
    if case == "failing":
        f[n - 1, n - 1] = (2**32 + 1, 1 + 0j)
    # Keys past any array change nothing; neither does the k of a term never reached.
    wide = {**{(g, 1): (0, 1j) for g in WIDE_INDICES}, **{(1, t): (2**32, 1j) for t in WIDE_INDICES}, **f}
    for name in MATRIX_PRODUCTS:
        expected = outcome(getattr(reference, name), l_a, l_b, f, basis)
        assert outcome(getattr(tanvo, name), l_a, l_b, wide, basis) == expected
        assert (expected[0] == "failure") == (case == "failing")
    for name in CONTRACTIONS:
        assert outcome(getattr(tanvo, name), l_a, l_b, wide) == outcome(getattr(reference, name), l_a, l_b, f)


@pytest.mark.parametrize("d", [16, 24])
@pytest.mark.parametrize("name", MATRIX_PRODUCTS)
@pytest.mark.parametrize("midway", [None, "dense", "overflow", "failure"])
def test_long_maps_match_reference_bit_for_bit(reference, name, midway, d):
    # Clock-and-shift maps of about 60,000 and 300,000 terms (the larger added on two threads),
    # with a term added densely, overflowing or failing halfway.
    basis = tanvo.gen_sylvester(d)
    f = (tanvo.get_structure_constants if name == "su_commutator" else tanvo.get_d_coefficients)(basis)
    rng = np.random.default_rng(11)
    l_a, l_b = (rng.normal(size=(len(basis), 1)) + 1j * rng.normal(size=(len(basis), 1)) for _ in "ab")
    keys = list(f)
    middle = keys[len(keys) // 2]
    if midway == "dense":  # a matrix with an infinite element, then sparse ones again
        basis = basis + [np.full((d, d), np.inf + 0j)]
        f[middle] = (len(basis) - 1, 1e-3j)
    elif midway == "overflow":  # an infinite term on a matrix that is added sparsely elsewhere
        l_a[middle[0]] = l_b[middle[1]] = 1e300
    elif midway == "failure":
        f[middle] = (len(basis), 1 + 0j)
    expected = outcome(getattr(reference, name), l_a, l_b, f, basis)
    assert outcome(getattr(tanvo, name), l_a, l_b, f, basis) == expected
    assert (expected[0] == "failure") == (midway == "failure")


# --- end to end on the clock-and-shift basis ------------------------------------------------


def least_squares_map(basis, anti):
    """The coefficient map of a basis, computed with NumPy: first non-negligible coefficient."""
    n = len(basis)
    system = np.stack([m.reshape(-1) for m in basis], axis=1)
    pairs = [(i, j) for i in range(n) for j in range(n) if anti or i != j]
    products = np.stack([(basis[i] @ basis[j] + (1 if anti else -1) * basis[j] @ basis[i])
                         .reshape(-1) for i, j in pairs], axis=1)
    solution = np.linalg.lstsq(system, products, rcond=None)[0]
    f = {}
    for (i, j), x in zip(pairs, solution.T):
        significant = np.flatnonzero((abs(x.real) > 1e-8) | (abs(x.imag) > 1e-8))
        if significant.size:
            f[i, j] = (int(significant[0]), complex(x[significant[0]]))
    return f


def library_map(function, basis):
    try:
        return function(basis)
    except panic_type() as e:
        if str(e) != "not built yet":
            raise
        pytest.skip(f"{function.__name__} is not built yet")


@pytest.mark.parametrize("source", ["library", "numpy"])
@pytest.mark.parametrize("d", range(2, 7))
@pytest.mark.parametrize("anti", [False, True], ids=["commutator", "anticommutator"])
def test_products_of_combinations_of_clock_and_shift_matrices(d, anti, source):
    basis = tanvo.gen_sylvester(d)
    if source == "numpy":
        f = least_squares_map(basis, anti)
    else:
        f = library_map(tanvo.get_d_coefficients if anti else tanvo.get_structure_constants, basis)
    rng = np.random.default_rng(d)
    a, b = (rng.normal(size=(len(basis), 1)) + 1j * rng.normal(size=(len(basis), 1)) for _ in "ab")
    x = sum(c * m for c, m in zip(a[:, 0], basis))
    y = sum(c * m for c, m in zip(b[:, 0], basis))
    if anti:
        # Products proportional to the identity have no term in a traceless basis.
        expected = x @ y + y @ x
        expected -= np.trace(expected) / d * np.eye(d)
        result = tanvo.su_anticommutator(a, b, f, basis)
    else:
        expected = x @ y - y @ x
        result = tanvo.su_commutator(a, b, f, basis)
    np.testing.assert_allclose(result, expected, rtol=0, atol=1e-9)
