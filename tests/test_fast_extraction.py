"""The fast extraction paths give the per-pair method's map (same keys in the same order,
coefficients equal up to rounding) and its failures, on every kind of basis."""
import hashlib
import os
import struct
import subprocess
import sys

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


def map_digest(mapping):
    """Every key, k and bit of every coefficient, in order."""
    h = hashlib.sha256()
    for (i, j), (k, c) in mapping.items():
        h.update(struct.pack("<3q2d", i, j, k, c.real, c.imag))
    return h.hexdigest()[:16]


def basis_digest(basis):
    h = hashlib.sha256()
    for m in basis:
        h.update(np.ascontiguousarray(m).tobytes())
    return h.hexdigest()[:16]


DIGEST_BASES = {
    **GENERATORS,
    "rescaled-sylvester": lambda d: [m * (1 + 0.25 * (t % 5)) for t, m in enumerate(tanvo.gen_sylvester(d))],
    "reversed-sylvester": lambda d: tanvo.gen_sylvester(d)[::-1],
}
# (basis, structure constants, d coefficients): maps known good to the last bit. The generators'
# sines and cosines come from the C library: a machine whose basis differs skips the comparison.
DIGESTS = {
    ("sylvester", 3): ("551897ffbc3a9faf", "380459c7f0f3a3de", "ddbd6186aa3368b3"),
    ("sylvester", 5): ("2062c0bbf37fcec8", "7b9de638ecea9b4c", "870cd553ff0c501e"),
    ("sylvester", 8): ("b86efea9e01de1a6", "112444a4c4447118", "edd85aca4c64dd93"),
    ("sylvester", 13): ("6d00517d6af7281a", "ee48e3202e2ffb52", "2c1fb64994dc7725"),
    ("sylvester", 16): ("b761cd2cc2403f62", "f58c8a810e1b453d", "a1567017052ff25d"),
    ("sylvester", 24): ("7f6852b868a41ab4", "e140d039f29fd800", "89f30885f398689f"),
    ("gellmann", 3): ("9225a8e8a9ad5dae", "e27766850ad5c31a", "e1bff1d257a842dd"),
    ("gellmann", 5): ("34dd6e97520c21c9", "a5ee32789f2439e8", "6f3c101cb06ad481"),
    ("gellmann", 8): ("765782af9ee5e43c", "85af14ae85d54dc6", "274210b22cfd3928"),
    ("gellmann", 13): ("d6e291f7c7ba2f34", "9d4a364cdae07b99", "a4a582f2e72bac4c"),
    ("gellmann", 16): ("1ee20851f4486918", "58430edb21a613fd", "13dfc66ae3731f33"),
    ("gellmann", 24): ("efca3c2d50a1dc8b", "e803339425c14b9d", "8134f4ec775ff0e1"),
    ("rescaled-sylvester", 5): ("1b3fb4ced61a0220", "719eda451a5f0c17", "f0a5d6b62d9050fe"),
    ("rescaled-sylvester", 24): ("1329b9601dc80462", "7ab33d36eb53f9ab", "06094f42f69fcb7c"),
    ("reversed-sylvester", 5): ("1ddaf71ff9eb57a5", "91c640fc19a3abb9", "be52425e96dacc23"),
    ("reversed-sylvester", 24): ("2337b66fa8d98628", "7c2872269c71fae5", "99c707fce8b0d643"),
}


@pytest.mark.parametrize("basis_name, d", DIGESTS)
def test_maps_keep_every_bit(basis_name, d):
    basis = DIGEST_BASES[basis_name](d)
    expected_basis, expected_f, expected_d = DIGESTS[(basis_name, d)]
    if basis_digest(basis) != expected_basis:
        pytest.skip("this machine builds a different basis")
    assert map_digest(tanvo.get_structure_constants(basis)) == expected_f
    assert map_digest(tanvo.get_d_coefficients(basis)) == expected_d


ONE_CORE = r"""
import os, sys
sys.path.insert(0, %r)
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
import tanvo
from test_fast_extraction import DIGEST_BASES, map_digest
for name in sys.argv[1:]:
    basis = DIGEST_BASES[name](24)
    print(map_digest(tanvo.get_structure_constants(basis)), map_digest(tanvo.get_d_coefficients(basis)))
"""


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two cores to compare with one")
def test_maps_do_not_depend_on_the_number_of_cores():
    """su(24) bases are large enough to be computed on several threads where cores allow."""
    names = ["sylvester", "gellmann", "reversed-sylvester"]
    here = [f"{map_digest(tanvo.get_structure_constants(DIGEST_BASES[n](24)))} "
            f"{map_digest(tanvo.get_d_coefficients(DIGEST_BASES[n](24)))}" for n in names]
    script = ONE_CORE % os.path.dirname(os.path.abspath(__file__))
    done = subprocess.run([sys.executable, "-c", script, *names], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:-1] == here
