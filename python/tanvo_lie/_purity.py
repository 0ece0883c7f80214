"""g-purities and the variance of a deep circuit's expectation value.

For a circuit whose dynamical Lie algebra is the compact reductive g = c + g_1 + ... + g_k and
which is deep enough to be a 2-design on its group, the expectation value tr(U rho U^H O) has
variance sum_j P_j(rho) P_j(O) / dim g_j when O (or rho) lies in the span of g (Ragone et al.,
"A Lie algebraic theory of barren plateaus", 2024). ``P_j(X) = sum_a |tr(B_a^H X)|^2`` over an
orthonormal basis of g_j is the g_j-purity. The centre adds nothing: its part of the expectation
value does not move.

The operator's overlaps tr(B_i^H X) with the basis come from one helper, `_coefficients`, which
reads the basis's non-zero entries only: a computational-basis state needs one diagonal entry
per element, no 2^n object besides the basis. For a basis of Pauli strings or sums, operators
given as strings or sums and states as bit strings are read off the strings themselves
(`StringOverlaps`), with no 2^n object at all: such a structure works at 100 qubits.
"""
from __future__ import annotations

from typing import NamedTuple, Optional, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._pauli import PauliStrings, basis_state_digits
from ._pauli_sums import PauliSums
from ._residual import _Entries
from ._string_overlaps import StringOverlaps
from ._structure import LieAlgebraStructure

Operator = Union[ArrayLike, str, PauliStrings, PauliSums]
Entries = Union[_Entries, StringOverlaps]
_INSIDE = 1e-9   # relative squared norm of a part outside the algebra that counts as none


class GPurity(NamedTuple):
    """The g-purities of an operator X: sum over an orthonormal basis of each part of
    ``|tr(B^H X)|^2``. ``ideals[j]`` belongs to ``structure.ideals[j]``; ``outside`` is what is left
    of ``||X||^2`` outside the span of the algebra (0 for X in it)."""
    ideals: NDArray[np.float64]
    center: float
    outside: float


def g_purity(structure: LieAlgebraStructure, operator: Operator) -> GPurity:
    """The g-purity of an operator on each simple ideal and on the centre.

    Parameters
    ----------
    structure : LieAlgebraStructure
        From :func:`decompose` of a basis of matrices, Pauli strings or sums of strings.
    operator : array_like, str, PauliStrings or PauliSums
        A (d, d) matrix (an observable or a density matrix), a state vector of length d (its
        projector, normalised), or a computational-basis state as a bit string such as ``"0101"``
        (qubit 0 first, the most significant bit of the index). For a basis of strings also an
        operator given as PauliStrings or PauliSums (one operator), and a bit string as a
        sequence of 0 and 1; neither needs a 2^n object.

    Returns
    -------
    GPurity
        ``(ideals, center, outside)``; they add up to ``||X||^2`` (Frobenius) for a compact algebra,
        whose parts are orthogonal.

    Examples
    --------
    >>> import numpy as np, tanvo_lie
    >>> x, y, z = np.array([[0, 1], [1, 0]]), np.array([[0, -1j], [1j, 0]]), np.diag([1, -1])
    >>> su2 = tanvo_lie.decompose([x, y, z])
    >>> tanvo_lie.g_purity(su2, z)
    GPurity(ideals=array([2.]), center=0.0, outside=0.0)
    >>> tanvo_lie.g_purity(su2, np.eye(2)).outside        # the identity is not in su(2)
    2.0
    """
    frames = _frames(structure)
    coefficients, _, norm2 = _coefficients(_entries(structure), operator, "operator")
    return _purity(frames, coefficients, norm2)


def variance(structure: LieAlgebraStructure, state: Operator, observable: Operator) -> float:
    """The variance of tr(U rho U^H O) over the deep circuits U of a compact algebra.

    ``sum_j P_j(rho) P_j(O) / dim g_j`` over the simple ideals g_j (the centre adds none, as
    its part of the expectation value is constant), the deep-circuit limit of Ragone et al. when
    the observable or the state lies in the algebra's span (its multiples of the identity
    aside).

    Parameters
    ----------
    structure : LieAlgebraStructure
        From :func:`decompose` of a basis of matrices spanning a compact (or complex) algebra.
    state : array_like or str
        A density matrix, a state vector or a bit string, as for :func:`g_purity`.
    observable : array_like, PauliStrings or PauliSums
        A (d, d) matrix, or for a basis of strings one operator as strings or a sum.

    Raises
    ------
    ValueError
        For a non-compact or non-reductive algebra, for a structure decomposed from a tensor
        (no matrices), and when neither the observable nor the state lies in the algebra's span,
        naming the parts outside.

    Examples
    --------
    A qubit's su(2) is all of su(2^1): the variance of ``<Z>`` from ``|0>`` is 1 / (2 + 1).

    >>> import numpy as np, tanvo_lie
    >>> x, y, z = np.array([[0, 1], [1, 0]]), np.array([[0, -1j], [1j, 0]]), np.diag([1, -1])
    >>> tanvo_lie.variance(tanvo_lie.decompose([x, y, z]), "0", z)
    0.3333333333333333
    """
    if not structure.is_reductive or structure.real_form == "non-compact":
        raise ValueError("the variance needs a compact algebra (a basis of anti-Hermitian or Hermitian "
                         f"matrices); this one is {structure.real_form}"
                         f"{'' if structure.is_reductive else ' and not reductive'}")
    frames = _frames(structure)
    entries = _entries(structure)
    found = []
    for operator, name in ((state, "state"), (observable, "observable")):
        coefficients, trace, norm2 = _coefficients(entries, operator, name)
        # The identity's part is constant under U: it is left out.
        d = entries.scale if isinstance(entries, StringOverlaps) else entries.d
        coefficients = coefficients - (trace / d) * np.conj(_traces(entries))
        found.append(_purity(frames, coefficients, norm2 - abs(trace) ** 2 / d))
    (rho, rho_norm), (o, o_norm) = [(p, p.outside + p.center + float(np.sum(p.ideals))) for p in found]
    if rho.outside > _INSIDE * max(rho_norm, 1e-300) and o.outside > _INSIDE * max(o_norm, 1e-300):
        raise ValueError("the deep-circuit variance needs the observable or the state in the algebra's span: "
                         f"the observable has a part of squared norm {o.outside:.3g} outside it, the state "
                         f"{rho.outside:.3g}")
    dimensions = np.array([ideal.dimension for ideal in structure.ideals], float)
    return float(np.sum(rho.ideals * o.ideals / dimensions)) if dimensions.size else 0.0


def _entries(structure: LieAlgebraStructure) -> Entries:
    if structure._entries is None:
        raise ValueError("g-purities need the basis matrices: decompose the basis, not its tensor")
    return structure._entries


def _coefficients(entries: Entries, operator: Operator, name: str) -> tuple[NDArray[np.complex128], complex, float]:
    """tr(B_i^H X) for every basis element, with tr X and ``||X||^2``, for X a matrix, the projector
    on a state vector, or a computational-basis state given by its bit string."""
    if isinstance(entries, StringOverlaps):
        return _string_coefficients(entries, operator, name)
    if isinstance(operator, (PauliStrings, PauliSums)):
        raise TypeError(f"{name} as strings needs a structure decomposed from strings; give a matrix")
    d = entries.d
    conj = np.conj(entries.value)
    if isinstance(operator, str):
        if len(operator) == 0 or set(operator) - {"0", "1"} or 2 ** len(operator) != d:
            raise ValueError(f"{name} as a bit string must have {int(np.log2(d)) if d & (d - 1) == 0 else '?'} "
                             f"characters 0 or 1 for matrices of size {d}; got {operator!r}")
        index = int(operator, 2)
        on = entries.position == index * (d + 1)
        return _sum_by_matrix(entries, on, conj[on]), 1.0, 1.0
    array = np.asarray(operator)
    if array.dtype == np.bool_ or not np.issubdtype(array.dtype, np.number):
        raise TypeError(f"{name} must hold numbers, not {array.dtype}")
    if not np.all(np.isfinite(array)):
        raise ValueError(f"{name} has non-finite entries")
    everywhere = np.ones(entries.position.size, bool)
    if array.shape == (d,):
        size = np.vdot(array, array).real
        if size == 0:
            raise ValueError(f"{name} is the zero vector")
        vector = array / np.sqrt(size)
        row, col = np.divmod(entries.position, d)
        return _sum_by_matrix(entries, everywhere, conj * vector[row] * np.conj(vector[col])), 1.0, 1.0
    if array.shape == (d, d):
        flat = array.reshape(-1)
        return (_sum_by_matrix(entries, everywhere, conj * flat[entries.position]), complex(np.trace(array)),
                float(np.vdot(flat, flat).real))
    raise ValueError(f"{name} must be a ({d}, {d}) matrix, a vector of length {d} or a bit string; "
                     f"got shape {array.shape}")


def _string_coefficients(entries: StringOverlaps, operator: Operator,
                         name: str) -> tuple[NDArray[np.complex128], complex, float]:
    """As `_coefficients`, for a basis of strings: a state by its digits (or, for a few sites, a
    state vector), an operator as strings, a sum or a matrix (for a few sites)."""
    strings = isinstance(operator, (PauliStrings, PauliSums))
    digits = None if strings else basis_state_digits(operator, entries.sites, entries.q, name)
    if digits is not None or (not strings and np.ndim(operator) == 1):  # type: ignore[arg-type]
        if digits is None:
            vector = np.asarray(operator)
            if not (vector.dtype != np.bool_ and np.issubdtype(vector.dtype, np.number) and np.isfinite(vector).all()):
                raise ValueError(f"{name} must be a vector of finite numbers")
            size = float(np.vdot(vector, vector).real)
            if size == 0:
                raise ValueError(f"{name} is the zero vector")
            operator = vector / np.sqrt(size)
        traces = entries.state_traces(operator, name)
        if traces is None:
            raise ValueError(f"{name} must be a bit string of {entries.sites} digits, a state vector of length "
                             f"{entries.q}^{entries.sites} (a few sites), or an operator; got shape "
                             f"{np.shape(operator)}")  # type: ignore[arg-type]
        return traces, 1.0, 1.0
    sums = entries.operator(operator, name)
    scale = entries.scale
    overlaps = entries.overlaps(sums)[0][0]
    identity = ~sums.strings.words.any(axis=1)
    return (scale * overlaps, complex(scale * sums.coefficients[identity].sum()),
            float(scale * np.sum(np.abs(sums.coefficients) ** 2)))


def _sum_by_matrix(entries: _Entries, where: NDArray[np.bool_], weights: NDArray) -> NDArray[np.complex128]:
    owner = entries.owner[where]
    return (np.bincount(owner, weights.real, entries.n) + 1j * np.bincount(owner, weights.imag, entries.n))


def _traces(entries: Entries) -> NDArray[np.complex128]:
    if isinstance(entries, StringOverlaps):  # tr(B) = qⁿ times its identity term
        identity = ~entries.sums.strings.words.any(axis=1)
        return entries.by_element(entries.scale * entries.sums.coefficients * identity)
    row, col = np.divmod(entries.position, entries.d)
    on = row == col
    return _sum_by_matrix(entries, on, entries.value[on])


class _Frame(NamedTuple):
    """One part of the algebra as rows R, with the inverse Gram matrix of its elements; or, with
    rows None, the part that is what the others leave of the whole algebra (inverse_gram then
    the inverse of the basis's diagonal Gram matrix)."""
    rows: Optional[NDArray]
    inverse_gram: NDArray


def _frames(structure: LieAlgebraStructure) -> tuple[list[_Frame], _Frame]:
    cached = structure.__dict__.get("_purity_frames")
    if cached is None:
        gram = structure._gram
        if gram is None:
            raise ValueError("g-purities need the basis matrices: decompose the basis, not its tensor")
        ideals = structure.ideals
        rest = -1
        if ideals and np.array_equal(gram.rows, gram.cols) and len(gram.rows) == gram.n:
            # An orthogonal basis (strings always): the largest ideal is the whole algebra's part
            # less the others', which spares its frame, dim² x n work (so(200) has 19,900 rows).
            rest = int(np.argmax([ideal.dimension for ideal in ideals]))
        diagonal = np.zeros(gram.n, complex)
        diagonal[gram.rows] = gram.values
        cached = ([_Frame(None, 1 / diagonal.real) if k == rest else _frame(ideal.basis, gram)
                   for k, ideal in enumerate(ideals)], _frame(structure.center, gram))
        structure.__dict__["_purity_frames"] = cached
    return cached


def _frame(rows: NDArray, gram) -> _Frame:
    n = gram.n
    if rows.shape[0] == 0:
        return _Frame(rows.reshape(0, n), np.zeros((0, 0)))
    # G R^T from the Gram matrix's terms, G[k, l] = tr(B_k^H B_l).
    product = np.zeros((n, rows.shape[0]), np.complex128)
    np.add.at(product, gram.rows, gram.values[:, None] * rows.T[gram.cols])
    own = np.conj(rows) @ product
    return _Frame(np.conj(rows), np.linalg.inv((own + own.conj().T) / 2))


def _purity(frames: tuple[list[_Frame], _Frame], coefficients: NDArray, norm2: float) -> GPurity:
    ideals, centre = frames

    def on(frame: _Frame) -> float:
        if frame.rows is None or frame.rows.shape[0] == 0:
            return 0.0
        c = frame.rows @ coefficients
        return float(np.vdot(c, frame.inverse_gram @ c).real)

    parts = np.array([on(f) for f in ideals])
    centre_part = on(centre)
    for k, frame in enumerate(ideals):
        if frame.rows is None:
            whole = float(np.sum(np.abs(coefficients) ** 2 * frame.inverse_gram))
            parts[k] = max(whole - float(np.sum(parts)) - centre_part, 0.0)
    outside = max(norm2 - float(np.sum(parts)) - centre_part, 0.0)
    return GPurity(parts, centre_part, outside)
