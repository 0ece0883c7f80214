"""How far a basis is from closed under its product: the largest norm, over pairs, of the part
of B_i B_j -/+ B_j B_i outside the span of the basis (0 for a closed basis).

The test costs no product of two basis matrices. For each row i, the squared norms of the
products summed over j, sum_j ||[B_i, B_j]||^2, follow from three sums over the whole basis that
are quadratic in its entries: A1 = sum_m B_m^H B_m, A2 = sum_m B_m B_m^H and
Q[(x, y), (z, w)] = sum_m conj(B_m[x, y]) B_m[z, w]:

    sum_j ||B_i B_j||^2 = tr(B_i^H B_i A2),     sum_j ||B_j B_i||^2 = tr(B_i^H A1 B_i),
    sum_j <B_i B_j, B_j B_i> = sum conj(B_i[r, c]) B_i[r', c'] Q[(c, c'), (r, r')],

each a sum over pairs of entries of B_i. The part inside the span is t^H G t for each pair's
coefficients t (the tensor's terms) and the basis's Gram matrix G, so the part outside, summed
over the row, is the difference. A row whose difference is at the level of rounding and of the
tensor's dropped terms is closed; for any other row the residual of every pair is formed
explicitly, so that what is reported is the exact largest residual, never an estimate.

The extension computes the row sums of sparse bases (`row_residuals`); this file does the
same with NumPy for the bases it leaves (dense ones, where matrix products form the sums),
and forms the residuals of the rows that are not closed.
"""
from __future__ import annotations

from typing import Sequence, Union

import numpy as np
from numpy.typing import NDArray

from . import _native
from ._blocks import sum_by_key

Matrices = Union[NDArray[np.complex128], Sequence[NDArray[np.complex128]]]

_PAIRS_PER_CHUNK = 1 << 22     # entry pairs formed at once
_STACK_BYTES = 1 << 28         # a list of matrices is gathered into one array up to this size
_ROUNDING = 1e-12              # relative size of a row's squared residual lost to rounding
_NEGLIGIBLE_OVERLAP = 1e-13    # Gram entries below this (relative) are left out

# NumPy's OpenBLAS takes the buffer of its products at its first one and ends the whole process
# when it cannot: under a nearly full address space (RLIMIT_AS), a residual's first matrix
# product did, after the tensor itself had fitted. Taken here, at import, while room is ample.
np.ones((2, 2), complex) @ np.ones((2, 2), complex)


def bracket_residual(matrices: Matrices, indices: NDArray[np.int64], values: NDArray[np.complex128],
                     anticommutator: bool, rows: tuple[int, int], tol: float, method: str = "auto") -> float:
    """The largest ||B_i B_j -/+ B_j B_i - sum_k T[i, j, k] B_k|| over the pairs with i in `rows`.

    `indices`, `values` are the tensor's terms (sorted by (i, j, k)), `tol` the threshold below
    which the tensor dropped coefficients. `method` picks the row sums: "native" (the
    extension, sparse bases), "sparse" or "dense" (NumPy), or "auto": the extension when it
    takes the basis, else NumPy's cheaper one.
    """
    n = len(matrices)
    start, stop = rows
    if n == 0 or start == stop:
        return 0.0
    d = matrices[0].shape[0]
    if d == 0:
        return 0.0
    # The row sums are quartic in the entries: a basis far from unit scale would overflow them
    # (or underflow them to zero) and read as closed. The residual is quadratic in the basis and
    # the tensor's values and its threshold linear, so all are brought near unit scale by a power
    # of two, exactly, and the residual scaled back.
    exponent = _scale_exponent(matrices)
    if exponent:
        scale = np.ldexp(1.0, -exponent)
        scaled = [np.asarray(m) * scale for m in matrices]
        found = _bracket_residual(scaled, indices, values * scale, anticommutator, rows, tol * scale, method)
        with np.errstate(over="ignore"):  # a residual beyond the largest float is inf
            return float(np.ldexp(found, 2 * exponent))
    return _bracket_residual(matrices, indices, values, anticommutator, rows, tol, method)


# Entries within 2**±_FAR_EXPONENT of 1 keep the quartic sums far from overflow and underflow.
_FAR_EXPONENT = 128


def _scale_exponent(matrices: Matrices) -> int:
    """0 when the basis is near unit scale, else the binary exponent of its largest entry."""
    largest = max((float(np.max(np.abs(m), initial=0.0)) for m in matrices), default=0.0)
    if largest == 0.0 or not np.isfinite(largest):
        return 0
    exponent = int(np.frexp(largest)[1])
    return exponent if abs(exponent) > _FAR_EXPONENT else 0


def _bracket_residual(matrices: Matrices, indices: NDArray[np.int64], values: NDArray[np.complex128],
                      anticommutator: bool, rows: tuple[int, int], tol: float, method: str) -> float:
    n = len(matrices)
    start, stop = rows
    sign = 1.0 if anticommutator else -1.0
    found = None
    if method in ("auto", "native"):
        listed = list(matrices) if isinstance(matrices, np.ndarray) else matrices
        found = _native.row_residuals(listed, indices, values, int(anticommutator), start, stop, method == "auto")
    if found is not None:
        outside, scale, largest = np.asarray(found[0]), np.asarray(found[1]), found[2]
        suspect = np.flatnonzero(outside > _ROUNDING * scale + 2.0 * (n * tol) ** 2 * largest)
        if suspect.size == 0:
            return 0.0
        # The extension forms each pair of these rows from the entries: a sparse basis's rows
        # would otherwise each cost matrix products of the whole basis.
        return float(_native.pair_residual(listed, indices, values, int(anticommutator), start, stop,
                                           (start + suspect).astype(np.int64)))
    if method == "native":
        raise ValueError("the extension leaves this basis to NumPy")
    # The extension leaves dense bases to NumPy: matrix products do their quadratic sums.
    entries = _Entries.of(matrices)
    if method == "dense" or (method == "auto" and entries.dense_is_cheaper()):
        squares, magnitudes = _dense_row_sums(entries, start, stop, sign)
        gram = _dense_gram(entries)
    else:
        squares, magnitudes = _sparse_row_sums(entries, start, stop, sign)
        gram = _sparse_gram(entries)
    inside = _inside_span(indices, values, n, gram, start, stop)
    outside = squares - inside
    dropped = 2.0 * (n * tol) ** 2 * float(np.max(gram.diagonal, initial=0.0))
    suspect = np.flatnonzero(outside > _ROUNDING * (magnitudes + inside) + dropped)
    if suspect.size == 0:
        return 0.0
    return _explicit(entries, indices, values, sign, start + suspect)


class _Entries:
    """The non-zero entries of the basis as (matrix, row, column, value), sorted by matrix, and
    the basis itself as one (n, d*d) array when that was made."""

    def __init__(self, n: int, d: int, owner: NDArray[np.int64], position: NDArray[np.int64],
                 value: NDArray[np.complex128], flat: NDArray[np.complex128] | None,
                 matrices: Matrices) -> None:
        self.n, self.d = n, d
        self.owner, self.position, self.value = owner, position, value
        self.counts = np.bincount(owner, minlength=n)
        self.first = np.concatenate(([0], np.cumsum(self.counts)))
        self._flat = flat
        self._matrices = matrices

    @classmethod
    def of(cls, matrices: Matrices) -> _Entries:
        n, d = len(matrices), matrices[0].shape[0]
        flat = None
        if isinstance(matrices, np.ndarray):
            flat = matrices.reshape(n, d * d)
        elif 16 * n * d * d <= _STACK_BYTES:
            flat = np.stack(matrices).reshape(n, d * d)
        if flat is not None:
            owner, position = np.divmod(_nonzero(flat), d * d)
            value = flat.reshape(-1)[owner * (d * d) + position]
        else:
            found = [_nonzero(m) for m in matrices]
            owner = np.repeat(np.arange(n), [f.size for f in found])
            position = np.concatenate(found)
            value = np.concatenate([m.reshape(-1)[f] for m, f in zip(matrices, found)])
        return cls(n, d, owner.astype(np.int64), position.astype(np.int64), value, flat, matrices)

    def hermiticity(self) -> tuple[NDArray, NDArray, NDArray]:
        """For each matrix, ||B + B^H||^2, ||B - B^H||^2 and ||B||^2, from its entries."""
        d2 = self.d * self.d
        row, col = np.divmod(self.position, self.d)
        keys = self.owner * d2 + self.position
        wanted = self.owner * d2 + col * self.d + row
        where = np.minimum(np.searchsorted(keys, wanted), max(keys.size - 1, 0))
        partner = np.where(keys[where] == wanted, np.conj(self.value[where]), 0)
        per_matrix = [np.bincount(self.owner, np.abs(x) ** 2, self.n)
                      for x in (self.value + partner, self.value - partner, self.value)]
        return per_matrix[0], per_matrix[1], per_matrix[2]

    def flat(self) -> NDArray[np.complex128]:
        if self._flat is None:
            self._flat = np.stack(list(self._matrices)).reshape(self.n, self.d * self.d)
        return self._flat

    def dense_is_cheaper(self) -> bool:
        """Whether the quadratic sums are better formed densely: the d^4 array within reach, and
        the entry pairs, sum_m nnz_m^2, beyond 1/64 of the dense work n d^4 (a pair handled by
        NumPy's sorts and lookups costs about as much as 64 multiply-adds of a matrix product)."""
        pairs = float(np.sum(self.counts.astype(np.float64) ** 2))
        return self.d <= 64 and pairs > self.n * float(self.d) ** 4 / 64

    def pairs(self, begin: int, end: int):
        """Every ordered pair of entries of one matrix, for the matrices [begin, end), in chunks:
        (matrix, first entry, second entry) as arrays of entry numbers."""
        m = begin
        while m < end:
            budget, last = 0, m
            while last < end and (last == m or budget + self.counts[last] ** 2 <= _PAIRS_PER_CHUNK):
                budget += int(self.counts[last]) ** 2
                last += 1
            lo, hi = self.first[m], self.first[last]
            own = self.counts[self.owner[lo:hi]]
            first = np.repeat(np.arange(lo, hi), own)
            local = np.arange(first.size) - np.repeat(np.cumsum(own) - own, own)
            second = self.first[self.owner[first]] + local
            yield self.owner[first], first, second
            m = last


def _sparse_row_sums(entries: _Entries, start: int, stop: int, sign: float):
    """sum_j ||B_i B_j -/+ B_j B_i||^2 for i in [start, stop), and the sum of the magnitudes of
    its parts (the scale of its rounding), from entry pairs."""
    d = entries.d
    a1 = np.zeros(d * d, np.complex128)
    a2 = np.zeros(d * d, np.complex128)
    q_keys, q_values = [], []
    for _, first, second in entries.pairs(0, entries.n):
        r1, c1 = np.divmod(entries.position[first], d)
        r2, c2 = np.divmod(entries.position[second], d)
        product = np.conj(entries.value[first]) * entries.value[second]
        row = r1 == r2
        a1 += _bincount(c1[row] * d + c2[row], product[row], d * d)
        column = c1 == c2
        a2 += _bincount(r2[column] * d + r1[column], product[column], d * d)
        keys, summed = sum_by_key(entries.position[first] * (d * d) + entries.position[second], product)
        q_keys.append(keys)
        q_values.append(summed)
    q_keys, q_values = sum_by_key(np.concatenate(q_keys), np.concatenate(q_values))
    own_products = np.zeros(stop - start)   # sum_j ||B_i B_j||^2 + ||B_j B_i||^2
    cross = np.zeros(stop - start, np.complex128)
    for owner, first, second in entries.pairs(start, stop):
        r1, c1 = np.divmod(entries.position[first], d)
        r2, c2 = np.divmod(entries.position[second], d)
        product = np.conj(entries.value[first]) * entries.value[second]
        slot = owner - start
        row = r1 == r2
        own_products += _bincount(slot[row], product[row] * a2[c2[row] * d + c1[row]], stop - start).real
        column = c1 == c2
        own_products += _bincount(slot[column], product[column] * a1[r1[column] * d + r2[column]], stop - start).real
        wanted = (c1 * d + c2) * (d * d) + r1 * d + r2
        where = np.minimum(np.searchsorted(q_keys, wanted), q_keys.size - 1)
        found = np.where(q_keys[where] == wanted, q_values[where], 0)
        cross += _bincount(slot, product * found, stop - start)
    return own_products + 2 * sign * cross.real, own_products + 2 * np.abs(cross)


def _dense_row_sums(entries: _Entries, start: int, stop: int, sign: float):
    """The same sums by matrix products, for bases with mostly non-zero entries."""
    n, d = entries.n, entries.d
    flat = entries.flat()
    stack = flat.reshape(n, d, d)
    a1 = np.einsum("mba,mbe->ae", stack.conj(), stack)
    a2 = np.einsum("mab,mcb->ac", stack, stack.conj())
    q = (flat.conj().T @ flat).reshape(d, d, d, d)                      # Q[x, y, z, w]
    arranged = q.transpose(2, 0, 3, 1).reshape(d * d, d * d)            # [(r, c), (r', c')]
    rows = stack[start:stop]
    own_products = (np.einsum("iab,iab->i", rows.conj(), rows @ a2)
                    + np.einsum("iab,iab->i", rows.conj(), a1 @ rows)).real
    cross = np.einsum("ip,ip->i", flat[start:stop].conj() @ arranged, flat[start:stop])
    return own_products + 2 * sign * cross.real, own_products + 2 * np.abs(cross)


class _Gram:
    """The basis's Gram matrix G[k, l] = tr(B_k^H B_l) as sorted terms, and its diagonal."""

    def __init__(self, n: int, rows: NDArray[np.int64], cols: NDArray[np.int64],
                 values: NDArray[np.complex128]) -> None:
        self.diagonal = np.zeros(n)
        on = rows == cols
        self.diagonal[rows[on]] = values[on].real
        scale = np.sqrt(self.diagonal[rows] * self.diagonal[cols])
        kept = on | (np.abs(values) > _NEGLIGIBLE_OVERLAP * scale)
        self.rows, self.cols, self.values = rows[kept], cols[kept], values[kept]
        self.is_diagonal = bool(np.all(self.rows == self.cols))


def _sparse_gram(entries: _Entries) -> _Gram:
    n = entries.n
    order = np.argsort(entries.position, kind="stable")
    position, owner, value = entries.position[order], entries.owner[order], entries.value[order]
    starts = np.flatnonzero(np.concatenate(([True], position[1:] != position[:-1])))
    sizes = np.diff(np.concatenate((starts, [position.size])))
    group = np.repeat(sizes, sizes)
    first = np.repeat(np.arange(position.size), group)
    local = np.arange(first.size) - np.repeat(np.cumsum(group) - group, group)
    second = np.repeat(starts, sizes)[first] + local
    keys, summed = sum_by_key(owner[first] * n + owner[second], np.conj(value[first]) * value[second])
    return _Gram(n, keys // n, keys % n, summed)


def _dense_gram(entries: _Entries) -> _Gram:
    flat = entries.flat()
    gram = flat.conj() @ flat.T
    rows, cols = np.nonzero(gram)
    return _Gram(entries.n, rows, cols, gram[rows, cols])


def _inside_span(indices: NDArray[np.int64], values: NDArray[np.complex128], n: int, gram: _Gram,
                 start: int, stop: int) -> NDArray:
    """sum_j t^H G t for each row i, t = T[i, j, :]: the squared norm of the part in the span."""
    i = indices[:, 0]
    if gram.is_diagonal:
        return np.bincount(i - start, np.abs(values) ** 2 * gram.diagonal[indices[:, 2]], stop - start)
    if gram.rows.size * float(values.size) > float(n) ** 4 / 8:
        return _inside_span_dense(indices, values, n, gram, start, stop)
    keys = (i * n + indices[:, 1]) * n + indices[:, 2]
    order = np.argsort(gram.rows, kind="stable")
    g_rows, g_cols, g_values = gram.rows[order], gram.cols[order], gram.values[order]
    g_first = np.searchsorted(g_rows, np.arange(n + 1))
    total = np.zeros(stop - start)
    chunk = max(1, _PAIRS_PER_CHUNK // max(1, int(np.max(np.diff(g_first)))))
    for lo in range(0, values.size, chunk):
        k = indices[lo:lo + chunk, 2]
        span = g_first[k + 1] - g_first[k]
        term = np.repeat(np.arange(lo, lo + k.size), span)
        local = np.arange(term.size) - np.repeat(np.cumsum(span) - span, span)
        g = g_first[indices[term, 2]] + local
        wanted = keys[term] - indices[term, 2] + g_cols[g]
        where = np.minimum(np.searchsorted(keys, wanted), keys.size - 1)
        partner = np.where(keys[where] == wanted, values[where], 0)
        total += np.bincount(i[term] - start, (np.conj(values[term]) * g_values[g] * partner).real,
                             stop - start)
    return total


def _inside_span_dense(indices: NDArray[np.int64], values: NDArray[np.complex128], n: int, gram: _Gram,
                       start: int, stop: int) -> NDArray[np.float64]:
    """The same by one matrix product per row, for dense tensors and Gram matrices."""
    dense = np.zeros((n, n), np.complex128)
    dense[gram.rows, gram.cols] = gram.values
    row_first = np.searchsorted(indices[:, 0], np.arange(start, stop + 1))
    total = np.zeros(stop - start)
    for i in range(start, stop):
        own = slice(row_first[i - start], row_first[i - start + 1])
        t = np.zeros((n, n), np.complex128)
        t[indices[own, 1], indices[own, 2]] = values[own]
        total[i - start] = np.vdot(t, t @ dense.T).real
    return total


def _explicit(entries: _Entries, indices: NDArray[np.int64], values: NDArray[np.complex128], sign: float,
              rows: NDArray[np.int64]) -> float:
    """The largest residual of the pairs of the given rows, each pair's residual formed."""
    n, d = entries.n, entries.d
    flat = entries.flat()
    stack = flat.reshape(n, d, d)
    chunk = max(1, (1 << 22) // (d * d))
    row_first = np.searchsorted(indices[:, 0], np.arange(n + 1))
    largest = 0.0
    for i in rows.tolist():
        own = slice(row_first[i], row_first[i + 1])
        j_all, k_all, t_all = indices[own, 1], indices[own, 2], values[own]
        for lo in range(0, n, chunk):
            hi = min(n, lo + chunk)
            count = hi - lo
            # One matrix product each way, not one per pair.
            left = (stack[i] @ stack[lo:hi].transpose(1, 0, 2).reshape(d, count * d)).reshape(d, count, d)
            right = (stack[lo:hi].reshape(count * d, d) @ stack[i]).reshape(count, d, d)
            residual = (left.transpose(1, 0, 2) + sign * right).reshape(count, d * d)
            here = (j_all >= lo) & (j_all < hi)
            used, column = np.unique(k_all[here], return_inverse=True)
            coefficients = np.zeros((hi - lo, used.size), np.complex128)
            coefficients[j_all[here] - lo, column] = t_all[here]
            residual -= coefficients @ flat[used]
            largest = max(largest, float(np.max(np.linalg.norm(residual, axis=1))))
    return largest


def _nonzero(array: NDArray[np.complex128]) -> NDArray[np.int64]:
    """Flat positions of the non-zero entries of a C-contiguous complex array: its parts'
    non-zero flags read in pairs as 16-bit words, twice as fast as NumPy's complex test."""
    flags = array.reshape(-1).view(np.float64) != 0
    return np.flatnonzero(flags.view(np.uint16))


def _bincount(slots: NDArray[np.int64], weights: NDArray[np.complex128], length: int) -> NDArray[np.complex128]:
    return (np.bincount(slots, weights.real, length) + 1j * np.bincount(slots, weights.imag, length))
