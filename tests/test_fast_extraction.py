"""The fast extraction paths give the per-pair method's map (same keys in the same order,
coefficients equal up to rounding) and its failures, on every kind of basis."""
import numpy as np
import pytest

import tanvo

FUNCTIONS = ["get_structure_constants", "get_d_coefficients"]
rng = np.random.default_rng(20261207)


def assert_same_map(fast, slow):
    assert list(fast) == list(slow)
    scale = max((abs(c) for _, c in slow.values()), default=1.0)
    for key, (k, c) in slow.items():
        assert fast[key][0] == k, key
        assert abs(fast[key][1] - c) <= 1e-12 * scale, (key, fast[key][1], c)


def outcome(function, basis):
    try:
        return "map", function(basis)
    except BaseException as e:  # noqa: B036 - PanicException derives from BaseException
        return type(e).__name__, str(e)


def assert_same_outcome(name, basis, reference):
    fast = outcome(getattr(tanvo, name), basis)
    slow = outcome(getattr(reference, name), basis)
    assert fast[0] == slow[0], (fast, slow)
    if fast[0] == "map":
        assert_same_map(fast[1], slow[1])
    else:
        assert fast[1] == slow[1]


def unitary(d):
    q, r = np.linalg.qr(rng.normal(size=(d, d)) + 1j * rng.normal(size=(d, d)))
    return q * (np.diag(r) / abs(np.diag(r)))


def rotated(basis):
    u = unitary(basis[0].shape[0])
    return [u @ m @ u.conj().T for m in basis]


def rescaled(basis):
    return [m * s for m, s in zip(basis, rng.uniform(0.1, 10, len(basis)))]


def mixed(basis):
    """Invertible combinations: a basis of the same span that is not orthogonal."""
    n = len(basis)
    t = np.eye(n) + 0.3 * rng.normal(size=(n, n))
    return [sum(t[a, b] * basis[b] for b in range(n)) for a in range(n)]


GENERATORS = {"sylvester": tanvo.gen_sylvester, "gellmann": tanvo.gen_gellmann}


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("generator", GENERATORS)
@pytest.mark.parametrize("d", range(2, 8))
def test_generators(reference, name, generator, d):
    assert_same_outcome(name, GENERATORS[generator](d), reference)


TRANSFORMS = {
    "rotated": lambda d: rotated(tanvo.gen_gellmann(d)),
    "rotated-sylvester": lambda d: rotated(tanvo.gen_sylvester(d)),
    "rescaled": lambda d: rescaled(tanvo.gen_sylvester(d)),
    "mixed": lambda d: mixed(tanvo.gen_gellmann(d)),
    "hermitian": lambda d: [1j * m for m in tanvo.gen_gellmann(d)],
    # rank-deficient: repeated and linearly dependent matrices
    "repeated": lambda d: tanvo.gen_gellmann(d) + tanvo.gen_gellmann(d)[:2],
    "dependent": lambda d: (lambda b: b + [b[0] + 2 * b[1]])(tanvo.gen_sylvester(d)),
    "with-zero": lambda d: tanvo.gen_gellmann(d) + [np.zeros((d, d), complex)],
    # more matrices than d²
    "overfull": lambda d: tanvo.gen_sylvester(d) + [np.eye(d, dtype=complex)] + rotated(tanvo.gen_gellmann(d))[:3],
    # not closed under products
    "non-closed": lambda d: tanvo.gen_gellmann(d)[: d + 1],
    "random": lambda d: [rng.normal(size=(d, d)) + 1j * rng.normal(size=(d, d)) for _ in range(d)],
    "sparse-random": lambda d: [np.where(rng.random((d, d)) < 0.3, rng.normal(size=(d, d)), 0).astype(complex)
                                for _ in range(2 * d)],
}


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("transform", TRANSFORMS)
@pytest.mark.parametrize("d", [2, 3, 5])
def test_transformed_and_degenerate_bases(reference, name, transform, d):
    assert_same_outcome(name, TRANSFORMS[transform](d), reference)


FAILING = {
    "empty": lambda: [],
    "nan": lambda: [np.array([[np.nan, 0], [0, 1]], complex), np.eye(2, dtype=complex)],
    "inf-late": lambda: tanvo.gen_gellmann(3) + [np.full((3, 3), np.inf, complex)],
    "overflow": lambda: [np.array([[0, 1e200], [1e200, 0]], complex), np.array([[1e200, 0], [0, -1e200]], complex)],
    "mixed-shapes": lambda: [np.eye(2, dtype=complex), np.ones((3, 3), complex)],
    "too-few-elements": lambda: [np.ones((3, 2), complex), np.eye(3, dtype=complex)],
    "wide": lambda: [np.ones((2, 3), complex)],
    "row-then-square": lambda: [np.ones((1, 4), complex), np.eye(1, dtype=complex) * 2],
    "zero-size": lambda: [np.zeros((0, 0), complex), np.zeros((0, 0), complex)],
    "one-matrix": lambda: [np.array([[1, 2], [3, 4]], complex)],
}


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("case", FAILING)
def test_unusual_inputs(reference, name, case):
    assert_same_outcome(name, FAILING[case](), reference)


def test_column_major_matrices_take_the_fast_path_with_the_same_result(reference):
    basis = tanvo.gen_gellmann(4)
    fortran = [np.asfortranarray(m) for m in basis]
    assert_same_map(tanvo.get_structure_constants(fortran), reference.get_structure_constants(basis))


def test_large_generator_maps_keep_their_structure():
    """su(12) is beyond what the per-pair method does quickly: check the map's own structure."""
    for basis in (tanvo.gen_gellmann(12), tanvo.gen_sylvester(12)):
        f = tanvo.get_structure_constants(basis)
        for (i, j), (k, c) in f.items():
            assert f[(j, i)] == (k, -c)
            product = basis[i] @ basis[j] - basis[j] @ basis[i]
            coefficients = [np.vdot(m, product) / np.vdot(m, m) for m in basis]
            first = next(t for t, x in enumerate(coefficients) if abs(x.real) > 1e-8 or abs(x.imag) > 1e-8)
            assert first == k
            assert abs(coefficients[k] - c) <= 1e-12 * max(1.0, abs(c))
            if (i, j) == (5, 9):
                break


def test_sizes_beyond_memory_fail_at_once():
    tiny = [np.ones((1, 1), complex)] * 10**5
    with pytest.raises(MemoryError):
        tanvo.get_d_coefficients(tiny)
