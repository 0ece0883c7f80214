"""center: the centre {x in g : [x, y] = 0 for every y in g} of a Lie algebra, on its own.

For a basis of distinct Pauli strings the centre is spanned by the strings that commute with
every string of the basis: in [Σ_i x_i P_i, P_j] each string anticommuting with P_j gives the
string P_i P_j, a different one for each i, so its x_i must vanish. That is bit operations on the
packed strings (their commutation matrix), no tensor and no eigenproblem. Any other basis
(matrices, sums of strings, a tensor) goes the way `decompose` finds the centre: the kernel of
the centre Gram matrix of its structure tensor, after the same checks of the basis.
"""
from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _native
from ._pauli import PauliStrings
from ._pauli_sums import PauliSums
from ._structure import _TensorProducts, _tensor_of, _tolerance, centre_rows
from ._roots import Terms


def center(algebra: Any, *, tol: float = 1e-9) -> NDArray[Any]:
    """The centre of a Lie algebra, as coefficient rows in its basis.

    Parameters
    ----------
    algebra : PauliStrings, PauliSums, array_like of matrices, or CoefficientTensor
        A basis, as for :func:`decompose`. A basis of distinct Pauli strings (PauliStrings, or
        PauliSums of one term each) needs no structure tensor: a string is central when it
        commutes with every other (its span need not even be closed: the result is then the
        strings' centraliser in their span). Other bases must be closed and linearly
        independent, and are checked as :func:`decompose` checks them.
    tol : float, optional
        As for :func:`decompose`.

    Returns
    -------
    ndarray, shape (m, n)
        Rows r spanning the centre, each the element Σ_i r[i] B_i: unit rows for strings, the
        rows of :attr:`LieAlgebraStructure.center` otherwise (orthonormal).

    Examples
    --------
    >>> from tanvo_lie import PauliStrings, center, lie_closure
    >>> g = lie_closure(PauliStrings(["XI", "XX", "IY"]))    # i·{XI, XX, IY, XZ}
    >>> center(g)                                               # XI commutes with all
    array([[1., 0., 0., 0.]])
    """
    tolerance = _tolerance(tol)
    strings = _distinct_strings(algebra)
    if strings is not None:
        # The extension straight away: at tens of strings the checks of the public methods
        # would cost more than the bits.
        m = len(strings)
        commuting = np.empty((m, m), dtype=np.bool_)
        _native.strings_commutation_matrix(strings.sites, strings.q, strings.words, strings.words, commuting, 1)
        central = np.flatnonzero(commuting.all(axis=1))
        rows = np.zeros((len(central), m))
        rows[np.arange(len(central)), central] = 1.0
        return rows
    tensor = _tensor_of(algebra, tolerance)[0]
    return centre_rows(_TensorProducts(Terms(tensor.shape[0], tensor.indices, tensor.values)), tolerance).dense()


def _distinct_strings(algebra: Any) -> PauliStrings | None:
    """The strings of a basis of distinct single strings (with non-zero coefficients), else None."""
    if isinstance(algebra, PauliStrings):
        strings = algebra
    elif (isinstance(algebra, PauliSums) and algebra.offsets.shape[0] == algebra.strings.words.shape[0] + 1
          and algebra.coefficients.all()):  # offsets 0, 1, ..., m: one term each
        strings = algebra.strings
    else:
        return None
    first, _ = _native.strings_unique(strings.words)
    return strings if np.asarray(first).shape[0] == strings.words.shape[0] else None
