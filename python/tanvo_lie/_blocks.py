"""Dense linear algebra on the connected blocks of sparse n x n matrices, and the sparse
products of coefficient tables that make those matrices.

The bases people decompose are mostly sparse in the right way: Pauli words, matrix units,
Gell-Mann matrices. Their Killing form, their Gram matrices of brackets and the adjoint map of
a sparse element couple each basis element to a few others only, so the basis indices fall into
small connected blocks, and an eigenproblem of the whole algebra is many small ones, solved in
batches of equal size. A dense basis is one block: the same code, one dense eigenproblem.
"""
from __future__ import annotations

from typing import Iterator

import numpy as np
from numpy.typing import NDArray

_PAIRS_PER_CHUNK = 1 << 22


def sum_by_key(keys: NDArray[np.int64], values: NDArray) -> tuple[NDArray[np.int64], NDArray]:
    """Sorted distinct keys and the sum of the values of each."""
    if keys.size == 0:
        return keys, values
    order = np.argsort(keys, kind="stable")
    keys, values = keys[order], values[order]
    starts = np.flatnonzero(np.concatenate(([True], keys[1:] != keys[:-1])))
    return keys[starts], np.add.reduceat(values, starts)


class SparseMatrix:
    """An n x n matrix as summed, sorted (row, column, value) terms."""

    def __init__(self, n: int, rows: NDArray[np.int64], cols: NDArray[np.int64], values: NDArray) -> None:
        keys, values = sum_by_key(rows.astype(np.int64) * n + cols, values)
        self.n = n
        self.rows, self.cols, self.values = keys // n, keys % n, values

    def dense(self) -> NDArray:
        out = np.zeros((self.n, self.n), self.values.dtype)
        out[self.rows, self.cols] = self.values
        return out


def join(left_key: NDArray[np.int64], left_id: NDArray[np.int64], left_value: NDArray,
         right_key: NDArray[np.int64], right_id: NDArray[np.int64], right_value: NDArray,
         n: int) -> SparseMatrix:
    """M[a, b] = sum of left_value * right_value over the entries with left_id = a,
    right_id = b and equal keys: the product of two coefficient tables over a shared index."""
    order = np.argsort(right_key, kind="stable")
    right_key, right_id, right_value = right_key[order], right_id[order], right_value[order]
    first = np.searchsorted(right_key, left_key, "left")
    count = np.searchsorted(right_key, left_key, "right") - first
    parts_key, parts_value = [], []
    for lo, hi in _chunks(count):
        c = count[lo:hi]
        left = np.repeat(np.arange(lo, hi), c)
        local = np.arange(left.size) - np.repeat(np.cumsum(c) - c, c)
        right = first[left] + local
        keys, values = sum_by_key(left_id[left] * n + right_id[right], left_value[left] * right_value[right])
        parts_key.append(keys)
        parts_value.append(values)
    if not parts_key:
        empty = np.zeros(0, np.int64)
        return SparseMatrix(n, empty, empty, np.zeros(0, np.result_type(left_value, right_value)))
    keys = np.concatenate(parts_key)
    return SparseMatrix(n, keys // n, keys % n, np.concatenate(parts_value))


def _chunks(count: NDArray[np.int64]) -> Iterator[tuple[int, int]]:
    total = np.cumsum(count)
    lo = 0
    while lo < count.size:
        base = total[lo - 1] if lo else 0
        hi = max(lo + 1, int(np.searchsorted(total, base + _PAIRS_PER_CHUNK, "right")))
        yield lo, min(hi, count.size)
        lo = hi


def components(n: int, rows: NDArray[np.int64], cols: NDArray[np.int64]) -> NDArray[np.int64]:
    """The connected component of each of n nodes under the edges (rows[e], cols[e]), numbered
    0, 1, ... in order of their smallest node: minimum-label hooking with pointer jumping."""
    label = np.arange(n)
    if rows.size:
        ends = np.concatenate((rows, cols)).astype(np.int64)
        other = np.concatenate((cols, rows)).astype(np.int64)
        while True:
            lowered = label.copy()
            np.minimum.at(lowered, label[ends], label[other])
            while True:
                jumped = lowered[lowered]
                if np.array_equal(jumped, lowered):
                    break
                lowered = jumped
            lowered = lowered[label]
            if np.array_equal(lowered, label):
                break
            label = lowered
    _, numbered = np.unique(label, return_inverse=True)
    return numbered.astype(np.int64)


class Blocks:
    """A partition of the n basis indices into blocks, grouped by size for batched dense work."""

    def __init__(self, n: int, *matrices: SparseMatrix) -> None:
        rows = np.concatenate([m.rows for m in matrices]) if matrices else np.zeros(0, np.int64)
        cols = np.concatenate([m.cols for m in matrices]) if matrices else np.zeros(0, np.int64)
        self.n = n
        self.label = components(n, rows, cols)
        order = np.argsort(self.label, kind="stable")
        sizes = np.bincount(self.label)
        starts = np.concatenate(([0], np.cumsum(sizes)))
        self.local = np.empty(n, np.int64)
        self.local[order] = np.arange(n) - np.repeat(starts[:-1], sizes)
        self.slot = np.empty(sizes.size, np.int64)   # a block's place among those of its size
        self.groups: dict[int, NDArray[np.int64]] = {}   # size -> (count, size) member indices
        for size in np.unique(sizes).tolist():
            ids = np.flatnonzero(sizes == size)
            self.slot[ids] = np.arange(ids.size)
            self.groups[size] = order[starts[ids][:, None] + np.arange(size)]
        self.size_of = sizes

    @property
    def largest(self) -> int:
        return max(self.groups, default=0)

    def assemble(self, matrix: SparseMatrix, dtype=None) -> dict[int, NDArray]:
        """The blocks of `matrix` (whose terms must not cross blocks) as (count, size, size)
        arrays; matrix[j, k] lands at [slot, local j, local k]."""
        dtype = dtype or matrix.values.dtype
        out = {size: np.zeros((members.shape[0], size, size), dtype) for size, members in self.groups.items()}
        label = self.label[matrix.rows]
        if np.any(label != self.label[matrix.cols]):
            raise AssertionError("a matrix term crosses two blocks")
        size = self.size_of[label]
        for s, array in out.items():
            here = size == s
            np.add.at(array, (self.slot[label[here]], self.local[matrix.rows[here]], self.local[matrix.cols[here]]),
                      matrix.values[here])
        return out

    def rows(self, picked: dict[int, tuple[NDArray[np.int64], NDArray]]) -> SparseRows:
        """Rows from block vectors: for each size, (slots, vectors) with vectors[r] the
        coordinates of row r on the members of block slots[r]."""
        parts = []
        for size, (slots, vectors) in sorted(picked.items()):
            if slots.size:
                parts.append((self.groups[size][slots], vectors))
        return SparseRows.from_blocks(self.n, parts)


class SparseRows:
    """Coefficient rows on the n basis elements, each held on the indices where it may be
    non-zero: row r has values[ptr[r]:ptr[r+1]] at columns cols[ptr[r]:ptr[r+1]]."""

    def __init__(self, n: int, ptr: NDArray[np.int64], cols: NDArray[np.int64], values: NDArray) -> None:
        self.n, self.ptr, self.cols, self.values = n, ptr, cols, values

    @classmethod
    def from_blocks(cls, n: int, parts: list[tuple[NDArray[np.int64], NDArray]]) -> SparseRows:
        if not parts:
            return cls.empty(n)
        cols = np.concatenate([np.broadcast_to(m, v.shape).reshape(-1) for m, v in parts])
        values = np.concatenate([v.reshape(-1) for _, v in parts])
        lengths = np.concatenate([np.full(v.shape[0], v.shape[1], np.int64) for _, v in parts])
        return cls(n, np.concatenate(([0], np.cumsum(lengths))), cols, values)

    @classmethod
    def empty(cls, n: int, dtype=np.float64) -> SparseRows:
        return cls(n, np.zeros(1, np.int64), np.zeros(0, np.int64), np.zeros(0, dtype))

    @classmethod
    def from_dense(cls, rows: NDArray) -> SparseRows:
        count, n = rows.shape
        return cls(n, np.arange(count + 1) * n, np.tile(np.arange(n), count), rows.reshape(-1))

    @classmethod
    def stack(cls, parts: list[SparseRows]) -> SparseRows:
        n = parts[0].n
        ptr = [np.zeros(1, np.int64)]
        offset = 0
        for p in parts:
            ptr.append(p.ptr[1:] + offset)
            offset += p.ptr[-1]
        dtype = np.result_type(*[p.values.dtype for p in parts])
        return cls(n, np.concatenate(ptr), np.concatenate([p.cols for p in parts]),
                   np.concatenate([p.values.astype(dtype, copy=False) for p in parts]))

    def __len__(self) -> int:
        return self.ptr.size - 1

    def row_of_entry(self) -> NDArray[np.int64]:
        return np.repeat(np.arange(len(self)), np.diff(self.ptr))

    def dense(self) -> NDArray:
        out = np.zeros((len(self), self.n), self.values.dtype)
        np.add.at(out, (self.row_of_entry(), self.cols), self.values)
        return out

    def combine(self, weights: NDArray) -> NDArray:
        """sum_r weights[r] row_r, as a dense vector."""
        out = np.zeros(self.n, np.result_type(weights, self.values))
        np.add.at(out, self.cols, weights[self.row_of_entry()] * self.values)
        return out

    def select(self, picked: NDArray[np.int64]) -> SparseRows:
        lengths = np.diff(self.ptr)[picked]
        entry = np.repeat(self.ptr[picked], lengths) + (np.arange(lengths.sum()) - np.repeat(np.cumsum(lengths) - lengths, lengths))
        return SparseRows(self.n, np.concatenate(([0], np.cumsum(lengths))), self.cols[entry], self.values[entry])

    def row(self, r: int) -> NDArray:
        out = np.zeros(self.n, self.values.dtype)
        np.add.at(out, self.cols[self.ptr[r]:self.ptr[r + 1]], self.values[self.ptr[r]:self.ptr[r + 1]])
        return out

    def real(self) -> SparseRows:
        return SparseRows(self.n, self.ptr, self.cols, self.values.real.copy())

    def imag(self) -> SparseRows:
        return SparseRows(self.n, self.ptr, self.cols, self.values.imag.copy())

    def apply(self, matrix: SparseMatrix) -> NDArray:
        """Dense rows r @ M (row vector times matrix) for every row r."""
        out = np.zeros((len(self), self.n), np.result_type(self.values, matrix.values))
        order = np.argsort(matrix.rows, kind="stable")
        m_rows, m_cols, m_values = matrix.rows[order], matrix.cols[order], matrix.values[order]
        first = np.searchsorted(m_rows, np.arange(self.n + 1))
        span = first[self.cols + 1] - first[self.cols]
        entry = np.repeat(np.arange(self.cols.size), span)
        term = first[self.cols][entry] + (np.arange(entry.size) - np.repeat(np.cumsum(span) - span, span))
        np.add.at(out, (self.row_of_entry()[entry], m_cols[term]), self.values[entry] * m_values[term])
        return out


def hermitian_eigen(blocks: Blocks, matrix: SparseMatrix) -> dict[int, tuple[NDArray, NDArray]]:
    """Eigenvalues (ascending) and eigenvectors (columns) of each block of a Hermitian matrix."""
    return {size: np.linalg.eigh(array) for size, array in blocks.assemble(matrix).items()}


def eigen_rows(blocks: Blocks, eigen: dict[int, tuple[NDArray, NDArray]], keep, conjugate: bool = False) -> SparseRows:
    """The eigenvectors whose eigenvalues `keep` (a function of the eigenvalue array) accepts, as rows."""
    picked = {}
    for size, (values, vectors) in eigen.items():
        slot, which = np.nonzero(keep(values))
        rows = vectors[slot, :, which]
        picked[size] = (slot, np.conj(rows) if conjugate else rows)
    return blocks.rows(picked)


def largest_eigenvalue(eigen: dict[int, tuple[NDArray, NDArray]]) -> float:
    return max((float(np.max(np.abs(values), initial=0.0)) for values, _ in eigen.values()), default=0.0)


def null_rows(blocks: Blocks, matrix: SparseMatrix, relative: float) -> SparseRows:
    """Rows x with x @ M = 0 for each block of a square matrix, by singular value decomposition:
    the left singular vectors whose singular values are at most `relative` times the largest."""
    decompositions = {size: np.linalg.svd(array) for size, array in blocks.assemble(matrix).items()}
    top = max((float(np.max(s, initial=0.0)) for _, s, _ in decompositions.values()), default=0.0)
    picked = {}
    for size, (u, s, _) in decompositions.items():
        slot, which = np.nonzero(s <= relative * top)
        picked[size] = (slot, np.conj(u[slot, :, which]))
    return blocks.rows(picked)
