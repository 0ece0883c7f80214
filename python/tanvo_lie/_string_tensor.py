"""structure_tensor of a basis of Pauli strings or sums of strings, without matrices."""
from __future__ import annotations

from typing import Optional, Union

import numpy as np
from numpy.typing import NDArray

from . import _native
from ._arguments import thread_count
from ._pauli import PauliStrings
from ._pauli_sums import PauliSums
from ._tensor import CoefficientTensor, Kind, _from_terms, _product, _rows, _tolerance


def string_structure_tensor(basis: Union[PauliStrings, PauliSums], kind: Kind, *, tol: float,
                            rows: Optional[tuple[int, int]], threads: Optional[int],
                            method: str = "fast", gram: Optional[NDArray[np.complex128]] = None) -> CoefficientTensor:
    """structure_tensor of strings or sums (its arguments checked here); `gram`, the sums' Gram
    matrix when the caller has it already (see `sums_gram`). `method` chooses how a basis of
    single strings finds each row's partners: "fast" (the basis indexed by site), "scanning"
    (every string tested, word by word) or "reference" (pair by pair, with a search of the
    basis for each product); all three give the same terms, bit for bit."""
    product = _product(kind)
    tolerance = _tolerance(tol)
    sums = PauliSums(basis) if isinstance(basis, PauliStrings) else basis
    n = len(sums)
    if n == 0:
        raise ValueError("basis is empty")
    start, stop = _rows(rows, n)
    workers = thread_count(threads)
    counts = sums.term_counts
    if (counts == 1).all() and (sums.coefficients != 0).all():
        indices, values = _native.strings_structure_tensor(sums.sites, sums.q, sums.strings.words, sums.coefficients,
                                                           product, tolerance, start, stop, workers, method)
        return _from_terms(indices, values, n, kind)
    return _sums_tensor(sums, product, tolerance, start, stop, workers, kind, gram)


def _sums_tensor(sums: PauliSums, product: int, tol: float, start: int, stop: int, threads: int,
                 kind: Kind, gram: Optional[NDArray[np.complex128]] = None) -> CoefficientTensor:
    """The tensor of a basis of sums: the inner products <b_k, b_i b_j ∓ b_j b_i> from the
    extension, solved with the Gram matrix (not at all for an orthonormal basis, as
    lie_closure returns; by its pseudo-inverse, the minimum-norm least squares, otherwise)."""
    n = len(sums)
    arrays = (sums.sites, sums.q, sums.strings.words, sums.coefficients, sums.offsets)
    indices, values = (np.asarray(a) for a in _native.sums_projections(*arrays, product, start, stop, threads))
    gram = sums_gram(sums, threads) if gram is None else gram
    scale = np.abs(np.diagonal(gram)).max()
    off_diagonal = np.abs(gram - np.diag(np.diagonal(gram))).max()
    if off_diagonal <= _ORTHOGONAL * scale:
        values = values / np.diagonal(gram)[indices[:, 2]]
    else:
        inverse = np.linalg.pinv(gram, rcond=1e-12, hermitian=True)
        rows, solved = [], []
        for i in range(start, stop):
            here = indices[:, 0] == i
            projections = np.zeros((n, n), dtype=np.complex128)
            projections[indices[here, 1], indices[here, 2]] = values[here]
            coefficients = projections @ inverse.T
            j, k = np.nonzero(coefficients)
            rows.append(np.column_stack([np.full(len(j), i), j, k]))
            solved.append(coefficients[j, k])
        indices = np.concatenate(rows) if rows else np.zeros((0, 3), dtype=np.int64)
        values = np.concatenate(solved) if solved else np.zeros(0, dtype=np.complex128)
    kept = (np.abs(values.real) > tol) | (np.abs(values.imag) > tol)
    return _from_terms(np.ascontiguousarray(indices[kept], dtype=np.int64), np.ascontiguousarray(values[kept]), n, kind)


def sums_gram(sums: PauliSums, threads: int) -> NDArray[np.complex128]:
    """G[k, l] = <b_k, b_l> = tr(b_k^† b_l) / qⁿ, the Gram matrix of sums in the normalised inner
    product of PauliSums (dense, n x n)."""
    n = len(sums)
    arrays = (sums.sites, sums.q, sums.strings.words, sums.coefficients, sums.offsets)
    indices, values = (np.asarray(a) for a in _native.sums_projections(*arrays, 2, 0, n, threads))
    gram = np.zeros((n, n), dtype=np.complex128)
    gram[indices[:, 2], indices[:, 0]] = values
    return gram


# Off-diagonal Gram entries up to this share of the largest diagonal one count as zero.
_ORTHOGONAL = 1e-10
