"""Complete structure constants and symmetric coefficients of a basis as sparse NumPy arrays."""
from __future__ import annotations

import numbers
import os
from typing import Any, Literal, Optional

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native
from ._arguments import MatrixStack, matrix_list, native_array, non_finite_message, thread_count, whole_number

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
    """

    __slots__ = ("indices", "values", "shape", "kind")

    def __init__(self, indices: ArrayLike, values: ArrayLike, n: int, kind: Kind = "commutator") -> None:
        _product(kind)
        n = _non_negative_int(n, "n")
        indices = native_array(indices, np.int64)
        values = native_array(values, np.complex128)
        if indices.ndim != 2 or indices.shape[1:] != (3,):
            raise ValueError(f"indices must have shape (nnz, 3); got {indices.shape}")
        if values.shape != (indices.shape[0],):
            raise ValueError(f"values must have shape ({indices.shape[0]},); got {values.shape}")
        if indices.size and (indices.min() < 0 or indices.max() >= n):
            raise ValueError(f"indices must lie in [0, {n})")
        keys = (indices[:, 0] * n + indices[:, 1]) * n + indices[:, 2]
        if keys.size > 1 and not (keys[1:] > keys[:-1]).all():
            raise ValueError("indices must be sorted lexicographically without repeats")
        self._set(indices, values, n, kind)

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
        same basis, up to rounding, so it can be passed to ``tanvo.su_commutator`` and friends.
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
        a_array, b_array = np.asarray(a), np.asarray(b)
        for name, array in (("a", a_array), ("b", b_array)):
            if array.dtype == np.bool_ or not np.issubdtype(array.dtype, np.number):
                raise TypeError(f"{name} must hold numbers, not {array.dtype}")
            if array.ndim not in (1, 2) or array.shape[0] != n:
                raise ValueError(f"{name} must have shape ({n},) or ({n}, m); got {array.shape}")
        if a_array.shape != b_array.shape:
            raise ValueError(f"a and b must have the same shape; got {a_array.shape} and {b_array.shape}")
        columns = [native_array(x.reshape(n, -1), np.complex128) for x in (a_array, b_array)]
        c = np.asarray(_native.contract(self.indices, self.values, n, *columns))
        return c.reshape(a_array.shape)


def structure_tensor(basis: MatrixStack, kind: Kind = "commutator", *, tol: float = 1e-8,
                     rows: Optional[tuple[int, int]] = None, threads: Optional[int] = None) -> CoefficientTensor:
    """Every coefficient of the commutators (or anticommutators) of a basis, as a sparse tensor.

    The product of each pair (i, j) is expanded in the basis by its minimum-norm least-squares
    coefficients, as :func:`tanvo.get_structure_constants` does with its per-pair solve (for an
    orthogonal basis, the trace projection), and every coefficient with ``|re| > tol`` or
    ``|im| > tol`` is kept.

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
    rows : (start, stop), optional
        Compute only the pairs with i in [start, stop). The result holds exactly the terms of
        the whole tensor with i in that range, bit for bit, so that blocks computed apart
        (other processes, other machines) concatenate to the whole tensor.
    threads : int, optional
        Worker threads; by default every core this process may run on (at most four per core
        are started; Gell-Mann-like bases of fewer than 2**15 pairs, up to su(18), use one). The
        GIL is released while they compute, and Ctrl-C stops the call.

    Returns
    -------
    CoefficientTensor
        Terms sorted by (i, j, k).

    Raises
    ------
    TypeError
        A non-numeric basis, or arguments of the wrong type.
    ValueError
        An empty basis, non-square or mixed shapes, non-finite entries, an unknown `kind`, a
        negative `tol`, `rows` outside 0 <= start <= stop <= n, `threads` below 1.
    OverflowError
        A product of two basis matrices overflows.
    MemoryError
        The result cannot fit in memory.

    Examples
    --------
    >>> import numpy as np, tanvo, tanvo_lie
    >>> f = tanvo_lie.structure_tensor(tanvo.gen_gellmann(3))   # B_6 = iλ4, B_2 = iλ5
    >>> pair = (f.indices[:, 0] == 6) & (f.indices[:, 1] == 2)
    >>> f.indices[pair], f.values[pair]        # [B_6, B_2] = -B_0 - √3 B_4
    (array([[6, 2, 0],
           [6, 2, 4]]), array([-1.        -0.j, -1.73205081-0.j]))
    """
    from ._pauli import PauliStrings
    from ._pauli_sums import PauliSums
    if isinstance(basis, (PauliStrings, PauliSums)):
        from ._string_tensor import string_structure_tensor
        return string_structure_tensor(basis, kind, tol=tol, rows=rows, threads=threads)
    product = _product(kind)
    tol = _tolerance(tol)
    if rows is None and type(basis) is list and (threads is None or (type(threads) is int and threads >= 1)):
        # The common call, a whole tensor of a list of complex128 matrices (tanvo's generators
        # make them), is checked by the extension as it reads the matrices: the same checks in
        # Python cost a tenth of a Gell-Mann su(32) tensor. Any other list comes back unread.
        found = _native.structure_tensor_of_list(basis, product, tol, thread_count(threads))
        if found is not NotImplemented:
            return _from_terms(*found, kind)
    matrices = matrix_list(basis, "basis")
    n = len(matrices)
    start, stop = _rows(rows, n)
    count = thread_count(threads)
    return _from_terms(*_native.structure_tensor(matrices, product, tol, start, stop, count), n, kind)


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


def _non_negative_int(value: Any, name: str) -> int:
    return whole_number(value, name, expected="an int", minimum=0)


def _rows(rows: Any, n: int) -> tuple[int, int]:
    if rows is None:
        return 0, n
    if isinstance(rows, (str, bytes)) or not hasattr(rows, "__len__") or len(rows) != 2:
        raise TypeError(f"rows must be a pair (start, stop) of ints, not {rows!r}")
    start, stop = (_non_negative_int(value, name) for value, name in zip(rows, ("rows[0]", "rows[1]")))
    if not start <= stop <= n:
        raise ValueError(f"rows must satisfy 0 <= start <= stop <= n = {n}; got ({start}, {stop})")
    return start, stop
