"""Complete structure constants and symmetric coefficients of a basis as sparse NumPy arrays."""
from __future__ import annotations

import math
import numbers
import os
from typing import Any, Literal, Optional

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native
from ._arguments import (MatrixStack, array_like, as_array, matrix_count, matrix_list, native_array, require_numbers,
                         non_finite_message, thread_count, whole_number)
from ._memory import require_tensor_room
from ._residual import bracket_residual

Kind = Literal["commutator", "anticommutator"]
_PRODUCTS = {"commutator": 0, "anticommutator": 1}


class CoefficientTensor:
    """The coefficients T[i, j, k] of the products of a basis, every term kept.

    For ``kind="commutator"``, [B_i, B_j] = sum_k T[i, j, k] B_k; for ``"anticommutator"``,
    {B_i, B_j} = sum_k T[i, j, k] B_k (each up to the least-squares residual when the basis
    is not closed under the product).

    Parameters
    ----------
    indices : array_like of int, shape (nnz, 3)
        The rows (i, j, k) of the terms, sorted lexicographically without repeats.
    values : array_like of complex, shape (nnz,)
        T[i, j, k] of each term.
    n : int
        The basis size: the tensor has shape (n, n, n).
    kind : {"commutator", "anticommutator"}
        The product the coefficients expand.

    Attributes
    ----------
    indices : ndarray of int64, shape (nnz, 3)
    values : ndarray of complex128, shape (nnz,)
    shape : tuple of int
        ``(n, n, n)``.
    kind : str
    residual : float or None
        For a tensor from :func:`structure_tensor`, the largest norm of a product's part outside
        the span of the basis, over the pairs computed (0 for a basis closed under the product);
        None for a tensor built from its terms.
    """

    __slots__ = ("indices", "values", "shape", "kind", "residual")

    def __init__(self, indices: ArrayLike, values: ArrayLike, n: int, kind: Kind = "commutator") -> None:
        _product(kind)
        n = _tensor_size(n)
        index_array = _index_array(indices)
        value_array = as_array(values, "values", "an (nnz,) array of numbers")
        require_numbers(value_array, "values")
        if index_array.ndim != 2 or index_array.shape[1:] != (3,):
            raise ValueError(f"indices must have shape (nnz, 3); got {index_array.shape}")
        if value_array.shape != (index_array.shape[0],):
            raise ValueError(f"values must have shape ({index_array.shape[0]},); got {value_array.shape}")
        # Checked in the indices' own dtype: a uint64 index from 2**63 on is not a negative one.
        if index_array.size and (index_array.min() < 0 or index_array.max() >= n):
            raise ValueError(f"indices must lie in [0, {n})")
        index_array = native_array(index_array, np.int64)
        if not _strictly_increasing(index_array):
            raise ValueError("indices must be sorted lexicographically without repeats")
        self._set(index_array, native_array(value_array, np.complex128), n, kind)

    @classmethod
    def _from_native(cls, indices: NDArray[np.int64], values: NDArray[np.complex128], n: int,
                     kind: Kind) -> CoefficientTensor:
        tensor = cls.__new__(cls)
        tensor._set(indices, values, n, kind)
        return tensor

    def _set(self, indices: NDArray[np.int64], values: NDArray[np.complex128], n: int, kind: Kind) -> None:
        self.indices = indices
        self.values = values
        self.shape = (n, n, n)
        self.kind = kind
        self.residual: Optional[float] = None

    @property
    def nnz(self) -> int:
        """The number of terms."""
        return int(self.values.shape[0])

    def __repr__(self) -> str:
        return f"CoefficientTensor(kind={self.kind!r}, shape={self.shape}, nnz={self.nnz})"

    def todense(self) -> NDArray[np.complex128]:
        """The tensor as an (n, n, n) complex128 array with T[i, j, k].

        Raises
        ------
        MemoryError
            When the n³ · 16 bytes exceed this machine's physical memory.
        """
        n = self.shape[0]
        needed = 16 * n**3
        physical = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
        if needed > physical:
            raise MemoryError(f"the dense ({n}, {n}, {n}) complex128 tensor needs {needed / 2**30:.1f} GiB; "
                              f"this machine has {physical / 2**30:.1f} GiB (use indices and values instead)")
        dense = np.zeros(self.shape, dtype=np.complex128)
        dense[self.indices[:, 0], self.indices[:, 1], self.indices[:, 2]] = self.values
        return dense

    def first_terms(self) -> dict[tuple[int, int], tuple[int, complex]]:
        """The lowest-index term of every pair, as ``{(i, j): (k, c)}`` in row-major pair order.

        With the default ``tol`` this is what :func:`tanvo.get_structure_constants` (for a
        commutator tensor) or :func:`tanvo.get_d_coefficients` (anticommutator) return for the
        same basis of linearly independent matrices, up to rounding, so it can be passed to
        ``tanvo.su_commutator`` and friends (for dependent ones the rank rules differ: see
        :func:`structure_tensor`).
        """
        indices = self.indices
        first = np.ones(self.nnz, dtype=bool)
        first[1:] = (indices[1:, 0] != indices[:-1, 0]) | (indices[1:, 1] != indices[:-1, 1])
        chosen = indices[first]
        keys = zip(chosen[:, 0].tolist(), chosen[:, 1].tolist())
        return dict(zip(keys, zip(chosen[:, 2].tolist(), self.values[first].tolist())))

    def contract(self, a: ArrayLike, b: ArrayLike) -> NDArray[np.complex128]:
        """c[k] = sum_ij a[i] b[j] T[i, j, k]: the product of two algebra elements in coefficients.

        Parameters
        ----------
        a, b : array_like, shape (n,) or (n, m)
            Coefficient vectors on the basis, or m of them as columns (contracted column by
            column).

        Returns
        -------
        ndarray of complex128, the shape of `a`
            For a commutator tensor of a closed basis, the coefficients of [A, B] where
            A = sum_i a_i B_i and B = sum_j b_j B_j (of {A, B} for an anticommutator tensor).
        """
        n = self.shape[0]
        expected = f"an array of numbers of shape ({n},) or ({n}, m)"
        a_array, b_array = as_array(a, "a", expected), as_array(b, "b", expected)
        for name, array in (("a", a_array), ("b", b_array)):
            require_numbers(array, name)
            if array.ndim not in (1, 2) or array.shape[0] != n:
                raise ValueError(f"{name} must have shape ({n},) or ({n}, m); got {array.shape}")
        if a_array.shape != b_array.shape:
            raise ValueError(f"a and b must have the same shape; got {a_array.shape} and {b_array.shape}")
        # The column count from the shape: reshape(n, -1) cannot tell it when n is 0.
        width = a_array.shape[1] if a_array.ndim == 2 else 1
        columns = [native_array(x.reshape(n, width), np.complex128) for x in (a_array, b_array)]
        c = np.asarray(_native.contract(self.indices, self.values, n, *columns))
        return c.reshape(a_array.shape)


def structure_tensor(basis: MatrixStack, kind: Kind = "commutator", *, tol: float = 1e-8,
                     rows: Optional[tuple[int, int]] = None, threads: Optional[int] = None,
                     rcond: Optional[float] = None) -> CoefficientTensor:
    """Every coefficient of the commutators (or anticommutators) of a basis, as a sparse tensor.

    The product of each pair (i, j) is expanded in the basis by its minimum-norm least-squares
    coefficients, those of :func:`numpy.linalg.lstsq` (for an orthogonal basis, the trace
    projection), and every coefficient with ``|re| > tol`` or ``|im| > tol`` is kept.

    Parameters
    ----------
    basis : array_like, shape (n, d, d), or sequence of n (d, d) arrays, PauliStrings or PauliSums
        The basis matrices, any numeric dtype (computed in complex128). A sequence is read
        matrix by matrix, never gathered into a second copy. A basis of Pauli strings (a
        :class:`PauliStrings`, or a :class:`PauliSums` of one term per element, as
        :func:`lie_closure` returns for strings) is expanded without forming a matrix: the
        product of two strings is one string, so each pair has one term in closed form. A
        basis of sums of strings (:class:`PauliSums`) is expanded by inner products keyed on
        strings, solved with its Gram matrix (nothing to solve for an orthonormal basis, as
        :func:`lie_closure` returns).
    kind : {"commutator", "anticommutator"}
        The product: [B_i, B_j] = B_i B_j - B_j B_i or {B_i, B_j} = B_i B_j + B_j B_i.
    tol : float, optional
        Terms whose real and imaginary parts are both at most `tol` in magnitude are dropped.
        It is absolute: coefficients scale with the basis (see Notes).
    rows : (start, stop), optional
        Compute only the pairs with i in [start, stop). The result holds exactly the terms of
        the whole tensor with i in that range, bit for bit, so that blocks computed apart
        (other processes, other machines) concatenate to the whole tensor.
    threads : int, optional
        Worker threads; by default every core this process may run on (at most four per core
        are started; Gell-Mann-like bases of fewer than 2**15 pairs, up to su(18), use one). The
        GIL is released while they compute, and Ctrl-C stops the call.
    rcond : float, optional
        The rank rule of the least-squares expansion, as in :func:`numpy.linalg.lstsq`: singular
        values of the basis (the d² x n matrix whose columns are the flattened B_k) at or below
        ``rcond`` times the largest count as zero. By default ``max(d², n)`` times machine
        epsilon, NumPy's default.

    Returns
    -------
    CoefficientTensor
        Terms sorted by (i, j, k); its ``residual`` is the largest norm of a product's part
        outside the span of the basis (0 when the basis is closed under the product).

    Raises
    ------
    TypeError
        A non-numeric basis, or arguments of the wrong type.
    ValueError
        An empty basis, non-square or mixed shapes, non-finite entries, an unknown `kind`, a
        negative `tol` or `rcond`, `rows` outside 0 <= start <= stop <= n, `threads` below 1.
    OverflowError
        A coefficient exceeds the largest double (about 1.8e308).
    MemoryError
        No method can fit the computation in memory (decided from the sizes before the basis is
        read), or the result cannot fit.

    Notes
    -----
    Coefficients scale with the basis, for either product: [sB_i, sB_j] = s²[B_i, B_j] =
    Σ_k (s T_ijk)(s B_k), so the basis s·B has the tensor s·T (the same terms when `tol` is
    scaled too). This holds whatever the basis's scale, exactly when s is a power of two: a
    basis of very large or very small entries is divided by a power of two before its products
    are formed and its coefficients multiplied back, so that only coefficients past the largest
    double overflow.

    The rank rule is where the tensor may differ from :func:`tanvo.get_structure_constants`
    and :func:`tanvo.get_d_coefficients`. Those keep every singular value above machine
    epsilon times the largest (LAPACK's own default), a rule their results are fixed by. For a
    basis of linearly dependent matrices, rounding leaves singular values of about 1e-16 of the
    largest in the dependent directions; kept, each is inverted into coefficients of about
    1e15 that rounding alone decides, and the expansion is then not even a least-squares fit.
    Here they count as zero, as in NumPy, and the coefficients are those of
    ``numpy.linalg.lstsq(..., rcond=None)``. For linearly independent matrices that are not
    close to dependent the two rules keep the same singular values, and
    :meth:`CoefficientTensor.first_terms` gives tanvo's map up to rounding.

    Examples
    --------
    >>> import numpy as np, tanvo, tanvo_lie
    >>> f = tanvo_lie.structure_tensor(tanvo.gen_gellmann(3))   # B_6 = iλ4, B_2 = iλ5
    >>> pair = (f.indices[:, 0] == 6) & (f.indices[:, 1] == 2)
    >>> f.indices[pair].tolist(), f.values[pair].real.round(8).tolist()   # [B_6, B_2] = -B_0 - √3 B_4
    ([[6, 2, 0], [6, 2, 4]], [-1.0, -1.73205081])
    """
    from ._pauli import PauliStrings
    from ._pauli_sums import PauliSums
    if isinstance(basis, (PauliStrings, PauliSums)):
        from ._string_tensor import string_structure_tensor
        return string_structure_tensor(basis, kind, tol=tol, rows=rows, threads=threads)
    product = _product(kind)
    tol = _tolerance(tol)
    rank_rule = _rcond(rcond)
    require_tensor_room(basis)
    if rows is None and type(basis) is list and (threads is None or (type(threads) is int and threads >= 1)):
        # The common call, a whole tensor of a list of complex128 matrices (tanvo's generators
        # make them), is checked by the extension as it reads the matrices: the same checks in
        # Python cost a tenth of a Gell-Mann su(32) tensor. Any other list comes back unread.
        found = _native.structure_tensor_of_list(basis, product, tol, thread_count(threads), rank_rule)
        if found is not NotImplemented:
            return _with_residual(_from_terms(*found, kind), basis, (0, len(basis)), tol)
    matrices = matrix_list(basis, "basis")
    n = matrix_count(matrices)
    start, stop = _rows(rows, n)
    count = thread_count(threads)
    tensor = _from_terms(*_native.structure_tensor(matrices, product, tol, start, stop, count, 0, rank_rule), n, kind)
    return _with_residual(tensor, matrices, (start, stop), tol)


def _with_residual(tensor: CoefficientTensor, matrices: MatrixStack, rows: tuple[int, int],
                   tol: float) -> CoefficientTensor:
    tensor.residual = bracket_residual(matrices, tensor.indices, tensor.values,  # type: ignore[arg-type]
                                       tensor.kind == "anticommutator", rows, tol)
    return tensor


def _from_terms(indices: Any, values: Any, n: int, kind: Kind) -> CoefficientTensor:
    """The extension's (indices, values), or (None, m) for a non-finite basis[m], as a tensor."""
    if indices is None:
        raise ValueError(non_finite_message("basis", values))
    return CoefficientTensor._from_native(np.asarray(indices), np.asarray(values), n, kind)


def _product(kind: Any) -> int:
    if not isinstance(kind, str) or kind not in _PRODUCTS:
        raise ValueError(f"kind must be 'commutator' or 'anticommutator'; got {kind!r}")
    return _PRODUCTS[kind]


def _tolerance(tol: Any) -> float:
    if isinstance(tol, bool) or not isinstance(tol, numbers.Real):
        raise TypeError(f"tol must be a real number, not {type(tol).__name__}")
    value = float(tol)
    if not value >= 0.0:
        raise ValueError(f"tol must be a non-negative number; got {tol!r}")
    return value


def _rcond(rcond: Any) -> Optional[float]:
    """None (NumPy's rule, decided where the basis's shape is known) or a non-negative float."""
    if rcond is None:
        return None
    if isinstance(rcond, (bool, np.bool_)) or not isinstance(rcond, numbers.Real):
        raise TypeError(f"rcond must be a real number or None, not {type(rcond).__name__}")
    value = float(rcond)
    if not (value >= 0.0 and math.isfinite(value)):
        raise ValueError(f"rcond must be a non-negative finite number or None; got {rcond!r}")
    return value


def _non_negative_int(value: Any, name: str) -> int:
    return whole_number(value, name, expected="an int", minimum=0)


def _index_array(indices: Any) -> np.ndarray:
    """The indices as an array of integers, unchecked otherwise: never rounded or parsed (0.9 is
    not index 0, nor "1" index 1). An empty list reads as float64, and is no index at all."""
    array = as_array(indices, "indices", "an (nnz, 3) array of ints")
    if np.issubdtype(array.dtype, np.integer) or (not array.size and np.issubdtype(array.dtype, np.number)):
        return array
    if array.dtype in (np.float64, np.object_) and not array_like(indices):
        # Python ints from 2**63 on make NumPy choose float64 or object: read as they are, they
        # are indices out of range, not numbers of the wrong kind.
        exact = np.asarray(indices, dtype=object)
        if all(isinstance(i, (int, np.integer)) and not isinstance(i, (bool, np.bool_)) for i in exact.flat):
            return exact
    raise TypeError(f"indices must hold integers, not {array.dtype}")


# Indices are int64: every index below n must be one.
_LARGEST_SIZE = 2**63 - 1


def _tensor_size(n: Any) -> int:
    size = _non_negative_int(n, "n")
    if size > _LARGEST_SIZE:
        raise ValueError(f"n must be at most 2**63 - 1 (indices are int64); got {size}")
    return size


def _strictly_increasing(indices: NDArray[np.int64]) -> bool:
    """Whether the rows (i, j, k) increase strictly in lexicographic order, compared column by
    column: a single key such as (i·n + j)·n + k overflows int64 from n ≈ 2**21. The
    differences of indices in [0, n) cannot overflow."""
    if indices.shape[0] < 2:
        return True
    di, dj, dk = np.diff(indices, axis=0).T
    return bool(((di > 0) | ((di == 0) & ((dj > 0) | ((dj == 0) & (dk > 0))))).all())


def _rows(rows: Any, n: int) -> tuple[int, int]:
    if rows is None:
        return 0, n
    if isinstance(rows, (str, bytes)) or not hasattr(rows, "__len__") or len(rows) != 2:
        raise TypeError(f"rows must be a pair (start, stop) of ints, not {rows!r}")
    start, stop = (_non_negative_int(value, name) for value, name in zip(rows, ("rows[0]", "rows[1]")))
    if not start <= stop <= n:
        raise ValueError(f"rows must satisfy 0 <= start <= stop <= n = {n}; got ({start}, {stop})")
    return start, stop
