"""Vectorised NumPy versions of tanvo's functions: what a NumPy user would write instead.

Coefficient maps come from batched products and one least-squares solve for all pairs; the
products read the map into arrays once and sum the terms with bincount and tensordot.
"""
from itertools import chain
from math import sqrt

import numpy as np

NEGLIGIBLE = 1e-8
SIGNIFICANT = 1e-8
# zgelsd called with RCOND = -1 counts singular values up to LAPACK's epsilon (the unit
# roundoff, 2^-53) times the largest as zero; the same threshold keeps the same rank decision.
LAPACK_EPSILON = np.finfo(np.float64).eps / 2


def coefficient_map(basis, symmetric, solver="lstsq", rows=None):
    """{(i, j): (k, c)} for the commutators (or anticommutators) of every ordered pair.

    solver "lstsq" solves for all right-hand sides in one lstsq call; "pinv" gets the
    pseudo-inverse from lstsq with the identity and multiplies. rows limits i to range(rows),
    for a partial run that estimates the time of the whole.
    """
    stack = np.stack(basis)
    n, d, _ = stack.shape
    left = stack if rows is None else stack[:rows]
    system = stack.reshape(n, d * d).T
    products = np.matmul(left[:, None], stack[None, :])
    if rows is None:
        swapped = products.transpose(1, 0, 2, 3)
    else:
        swapped = np.matmul(stack[None, :], left[:, None])
    rhs = products + swapped if symmetric else products - swapped
    del products, swapped
    pairs = rhs.shape[0] * n
    rhs = rhs.reshape(pairs, d * d).T
    if solver == "lstsq":
        x = np.linalg.lstsq(system, rhs, rcond=LAPACK_EPSILON)[0]
    else:
        pseudo_inverse = np.linalg.lstsq(system, np.eye(d * d), rcond=LAPACK_EPSILON)[0]
        x = pseudo_inverse @ rhs
    del rhs
    # A NaN part fails both comparisons, so it is never negligible.
    kept = ~((np.abs(x.real) <= NEGLIGIBLE) & (np.abs(x.imag) <= NEGLIGIBLE))
    first = kept.argmax(axis=0)
    found = kept[first, np.arange(pairs)]
    if not symmetric:
        found[:: n + 1] = False
    pairs = np.flatnonzero(found)
    k = first[pairs]
    c = x[k, pairs]
    keys = zip((pairs // n).tolist(), (pairs % n).tolist())
    return dict(zip(keys, zip(k.tolist(), c.tolist())))


def structure_constants(basis, **options):
    return coefficient_map(basis, symmetric=False, **options)


def d_coefficients(basis, **options):
    return coefficient_map(basis, symmetric=True, **options)


def gen_gellmann(d):
    """i times the generalized Gell-Mann matrices, one new array each."""
    out = []
    if d < 2:
        return out
    for j in range(1, d + 1):
        for k in range(1, d + 1):
            if j == k == d:
                break
            m = np.zeros((d, d), np.complex128)
            if j > k:
                m[j - 1, k - 1] = m[k - 1, j - 1] = 1j
            elif j < k:
                m[j - 1, k - 1] = 1
                m[k - 1, j - 1] = -1
            else:
                s = sqrt(2 / ((1 + j) * j))
                diagonal = m.reshape(-1)[:: d + 1]
                diagonal[:j] = 1j * s
                diagonal[j] = -1j * j * s
            out.append(m)
    return out


def gen_sylvester(d):
    """X, Z, then X^a Z^e for a, e in 1..d without (1, d), (d, 1), (d, d); one new array each."""
    columns = np.arange(d)
    exponents = np.arange(d + 1)[:, None] * columns[None, :] % d
    phases = np.exp(2j * np.pi / d * exponents)  # phases[e, c] = w^(c·e)

    def shifted(a, values):
        m = np.zeros((d, d), np.complex128)
        m.reshape(-1)[(columns + a) % d * d + columns] = values
        return m

    out = [shifted(1, 1), shifted(0, phases[1])]
    for a in range(1, d + 1):
        for e in range(1, d + 1):
            if (a, e) not in ((1, d), (d, 1), (d, d)):
                out.append(shifted(a, phases[e]))
    return out


def map_arrays(mapping):
    """The map's keys and values as arrays i, j, k, c, in the dict's order."""
    n = len(mapping)
    keys = np.fromiter(chain.from_iterable(mapping.keys()), np.int64, 2 * n).reshape(n, 2)
    values = np.fromiter(chain.from_iterable(mapping.values()), np.complex128, 2 * n).reshape(n, 2)
    return keys[:, 0], keys[:, 1], values[:, 0].real.astype(np.int64), values[:, 1]


def sum_by_index(index, terms, length):
    out = np.zeros(length, np.complex128)
    out.real = np.bincount(index, terms.real, length)
    out.imag = np.bincount(index, terms.imag, length)
    return out


def algebra_product(l_a, l_b, mapping, basis):
    """Sum of (a_i b_j c) B_k over the map's entries whose term exceeds the threshold."""
    i, j, k, c = map_arrays(mapping)
    a, b = l_a.reshape(-1), l_b.reshape(-1)
    reached = (i < a.size) & (j < b.size)
    i, j, k, c = i[reached], j[reached], k[reached], c[reached]
    w = a[i] * b[j] * c
    significant = np.hypot(w.real, w.imag) > SIGNIFICANT
    k, w = k[significant], w[significant]
    if np.any(k >= len(basis)):
        raise IndexError("a significant term names a matrix past the end of the basis")
    stack = np.stack(basis)
    return np.tensordot(sum_by_index(k, w, len(basis)), stack, axes=1)


def coefficient_product(l_a, l_b, mapping):
    """Column 0 of an array shaped like l_a: component k sums c a_i b_j over the entries."""
    i, j, k, c = map_arrays(mapping)
    a, b = l_a.reshape(-1), l_b.reshape(-1)
    rows = l_a.shape[0]
    out = np.zeros(l_a.shape, np.complex128)
    kept = (i < a.size) & (j < b.size) & (k < rows)
    if rows and l_a.shape[1]:
        i, j, k, c = i[kept], j[kept], k[kept], c[kept]
        out[:, 0] = sum_by_index(k, c * a[i] * b[j], rows)
    return out


FUNCTIONS = {
    "get_structure_constants": structure_constants,
    "get_d_coefficients": d_coefficients,
    "gen_gellmann": gen_gellmann,
    "gen_sylvester": gen_sylvester,
    "su_commutator": algebra_product,
    "su_anticommutator": algebra_product,
    "cross": coefficient_product,
    "dot": coefficient_product,
}
