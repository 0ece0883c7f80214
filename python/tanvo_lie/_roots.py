"""Cartan subalgebras and roots of a reductive Lie algebra given by its structure constants.

A regular element H has the Cartan subalgebra t as its centraliser, and the adjoint action of
t is diagonal on root vectors: [h, e_a] = a(h) e_a. Two routes find them:

- compact algebras (real structure constants, negative semidefinite Killing form): a sparse
  regular element is built from a greedy set of commuting basis elements, refined inside its
  centraliser until the centraliser is abelian (a maximal abelian subalgebra of a compact algebra
  is a Cartan subalgebra). ad H is then real and skew in a basis orthonormal for minus the
  Killing form, so each block of it is a well-conditioned Hermitian eigenproblem;
- any other reductive algebra: one random element, one dense (non-Hermitian) eigenproblem.

A root's values on the rows of t are read off one coordinate of [t_r, e_a], from the terms of
the tensor with that coordinate as their product index.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from ._blocks import Blocks, SparseMatrix, SparseRows, null_rows


class Terms:
    """The commutator tensor's terms T[i, j, k] as arrays, with rows i indexed for lookups."""

    def __init__(self, n: int, indices: NDArray[np.int64], values: NDArray) -> None:
        self.n = n
        self.i, self.j, self.k = (indices[:, c].astype(np.int64) for c in range(3))
        self.values = values
        self.row_first = np.searchsorted(self.i, np.arange(n + 1))

    @property
    def real(self) -> bool:
        return not np.iscomplexobj(self.values)

    def rows_of(self, support: NDArray[np.int64]) -> NDArray[np.int64]:
        """The term numbers of rows i in `support`."""
        span = self.row_first[support + 1] - self.row_first[support]
        return np.repeat(self.row_first[support], span) + (np.arange(span.sum()) - np.repeat(np.cumsum(span) - span, span))

    def ad(self, x: NDArray) -> SparseMatrix:
        """ad x as M[j, k]: [x, B_j] = sum_k M[j, k] B_k."""
        terms = self.rows_of(np.flatnonzero(x))
        return SparseMatrix(self.n, self.j[terms], self.k[terms], x[self.i[terms]] * self.values[terms])

    def bracket(self, x: NDArray, y: NDArray) -> NDArray:
        """The coefficients of [x, y] for dense coefficient vectors x and y."""
        terms = self.rows_of(np.flatnonzero(x))
        out = np.zeros(self.n, np.result_type(x, y, self.values))
        np.add.at(out, self.k[terms], x[self.i[terms]] * y[self.j[terms]] * self.values[terms])
        return out


@dataclass
class Roots:
    """A Cartan subalgebra (rows) and the roots: their values on each row, their value on the
    regular element, and root vectors (rows)."""
    cartan: SparseRows
    values: NDArray[np.complex128]       # (roots, rank of t): a(t_r)
    on_regular: NDArray[np.complex128]   # (roots,): a(H)
    vectors: SparseRows                  # e_a, complex


def compact_roots(terms: Terms, killing: SparseMatrix, rng: np.random.Generator, tol: float) -> Roots:
    """The roots of a compact algebra: real `terms`, `killing` negative semidefinite."""
    h = _greedy_commuting(terms)
    element = np.zeros(terms.n)
    element[h] = rng.uniform(1.0, 2.0, h.size) * rng.choice([-1.0, 1.0], h.size)
    for _ in range(8):
        ad = terms.ad(element)
        centraliser = null_rows(Blocks(terms.n, ad, killing), ad, tol)
        candidate = centraliser.combine(rng.normal(size=len(centraliser)))
        moved = centraliser.apply(terms.ad(candidate))
        element = candidate
        if np.max(np.abs(moved), initial=0.0) <= 1e-7 * max(1.0, np.max(np.abs(candidate))) * terms_scale(terms):
            break
    else:
        raise RuntimeError("no abelian centraliser found: the algebra does not look compact")
    ad = terms.ad(element)
    blocks = Blocks(terms.n, ad, killing)
    vectors, on_regular = _skew_eigenvectors(blocks, ad, killing, tol)
    return Roots(centraliser, root_values(terms, centraliser, vectors), on_regular, vectors)


def terms_scale(terms: Terms) -> float:
    return float(np.max(np.abs(terms.values), initial=1.0))


def _greedy_commuting(terms: Terms) -> NDArray[np.int64]:
    """Basis elements that commute pairwise, taken greedily, those with the fewest partners
    (the sparsest rows) first."""
    n = terms.n
    pairs = np.unique(terms.i * n + terms.j)
    first, partner = pairs // n, pairs % n
    row_first = np.searchsorted(first, np.arange(n + 1))
    order = np.argsort(np.diff(row_first), kind="stable")
    blocked = np.zeros(n, bool)
    taken = []
    for c in order.tolist():
        if blocked[c]:
            continue
        taken.append(c)
        blocked[partner[row_first[c]:row_first[c + 1]]] = True
    return np.array(taken, np.int64)


def _skew_eigenvectors(blocks: Blocks, ad: SparseMatrix, killing: SparseMatrix, tol: float):
    """Root vectors and values of a regular element of a compact algebra, block by block, in
    coordinates orthonormal for minus the Killing form (where ad is real and skew)."""
    forms = blocks.assemble(killing, np.float64)
    maps = blocks.assemble(ad, np.float64)
    spectra = {size: np.linalg.eigh(-forms[size]) for size in forms}
    top = max(float(np.max(values, initial=0.0)) for values, _ in spectra.values())
    whitened, frames = {}, {}
    for size, (values, frame) in spectra.items():
        positive = values > tol * top
        root = np.sqrt(np.where(positive, values, 0.0))
        inverse = np.divide(1.0, root, out=np.zeros_like(root), where=positive)
        acting = np.swapaxes(maps[size], 1, 2)            # acts on coordinate columns
        skew = np.swapaxes(frame, 1, 2) @ acting @ frame * root[:, :, None] * inverse[:, None, :]
        asymmetry = np.max(np.abs(skew + np.swapaxes(skew, 1, 2)), initial=0.0)
        if asymmetry > 1e-6 * max(1.0, np.max(np.abs(skew), initial=0.0)):
            raise RuntimeError("ad is not skew for the Killing form: the algebra is not compact")
        whitened[size] = (skew - np.swapaxes(skew, 1, 2)) / 2
        frames[size] = (frame * inverse[:, None, :], acting)
    eigen = {size: np.linalg.eigh(1j * skew) for size, skew in whitened.items()}
    largest = max(float(np.max(np.abs(mu), initial=0.0)) for mu, _ in eigen.values())
    picked, on_regular = {}, {}
    for size, (mu, vectors) in eigen.items():
        slot, which = np.nonzero(np.abs(mu) > 1e-7 * largest)
        frame, acting = frames[size]
        coordinates = np.einsum("rab,rb->ra", frame[slot], vectors[slot, :, which])
        on_regular[size] = -1j * mu[slot, which]
        lifted = np.einsum("rab,rb->ra", acting[slot], coordinates) / on_regular[size][:, None]
        picked[size] = (slot, lifted)
    # Blocks.rows takes the sizes in increasing order: the values too.
    ordered = [on_regular[size] for size in sorted(on_regular)]
    return blocks.rows(picked), np.concatenate(ordered) if ordered else np.zeros(0, complex)


def general_roots(terms: Terms, killing: SparseMatrix, rng: np.random.Generator, tol: float) -> Roots:
    """The roots of any reductive algebra from one random element and a dense eigenproblem."""
    n = terms.n
    element = rng.normal(size=n) if terms.real else rng.normal(size=n) + 1j * rng.normal(size=n)
    ad = terms.ad(element).dense()
    acting = ad.T
    eigenvalues, eigenvectors = np.linalg.eig(acting)
    largest = float(np.max(np.abs(eigenvalues), initial=0.0))
    root = np.abs(eigenvalues) > 1e-7 * largest
    u, s, _ = np.linalg.svd(ad)
    kernel = s <= tol * max(float(s[0]) if s.size else 0.0, 1e-300)
    if kernel.sum() != n - root.sum():
        raise RuntimeError("the random element is not regular (its kernel and its zero eigenvalues disagree)")
    cartan_dense = np.conj(u[:, kernel].T)
    if terms.real:
        cartan_dense = _real_basis(cartan_dense)
    cartan = SparseRows.from_dense(cartan_dense)
    vectors = SparseRows.from_dense(eigenvectors[:, root].T)
    return Roots(cartan, root_values(terms, cartan, vectors), eigenvalues[root], vectors)


def _real_basis(rows: NDArray) -> NDArray[np.float64]:
    """A real basis of a complex span closed under conjugation."""
    stacked = np.concatenate((rows.real, rows.imag))
    _, s, vh = np.linalg.svd(stacked, full_matrices=False)
    return vh[: rows.shape[0]]


def root_values(terms: Terms, cartan: SparseRows, vectors: SparseRows) -> NDArray[np.complex128]:
    """a(t_r) for each root a and row t_r: the coordinate p of [t_r, e_a] where e_a is largest,
    over e_a[p], summed from the tensor's terms with product index p."""
    n, count = terms.n, len(vectors)
    lengths = np.diff(vectors.ptr)
    magnitude = np.abs(vectors.values)
    owner = vectors.row_of_entry()
    # The largest entry of each root vector: its pivot.
    best = np.full(count, -1.0)
    np.maximum.at(best, owner, magnitude)
    is_best = magnitude == best[owner]
    entry = np.full(count, -1)
    candidates = np.flatnonzero(is_best)
    entry[owner[candidates[::-1]]] = candidates[::-1]
    pivot, pivot_value = vectors.cols[entry], vectors.values[entry]
    # Terms by product index k.
    by_k = np.argsort(terms.k, kind="stable")
    k_first = np.searchsorted(terms.k[by_k], np.arange(n + 1))
    span = k_first[pivot + 1] - k_first[pivot]
    root = np.repeat(np.arange(count), span)
    term = by_k[np.repeat(k_first[pivot], span) + (np.arange(span.sum()) - np.repeat(np.cumsum(span) - span, span))]
    # e_a[j] for each term's j, looked up in the root's entries (sorted by (root, column)).
    keys = owner * n + vectors.cols
    wanted = root * n + terms.j[term]
    where = np.minimum(np.searchsorted(keys, wanted), max(keys.size - 1, 0))
    found = keys[where] == wanted
    weight = terms.values[term[found]] * vectors.values[where[found]] / pivot_value[root[found]]
    root, i = root[found], terms.i[term[found]]
    # Each term's weight times t_r[i] for the rows with an entry at i.
    c_owner = cartan.row_of_entry()
    by_col = np.argsort(cartan.cols, kind="stable")
    c_cols, c_rows, c_values = cartan.cols[by_col], c_owner[by_col], cartan.values[by_col]
    c_first = np.searchsorted(c_cols, np.arange(n + 1))
    span = c_first[i + 1] - c_first[i]
    which = np.repeat(np.arange(i.size), span)
    c = np.repeat(c_first[i], span) + (np.arange(span.sum()) - np.repeat(np.cumsum(span) - span, span))
    rank = len(cartan)
    flat = root[which] * rank + c_rows[c]
    contribution = weight[which] * c_values[c]
    values = (np.bincount(flat, contribution.real, count * rank)
              + 1j * np.bincount(flat, contribution.imag, count * rank))
    return values.reshape(count, rank)
