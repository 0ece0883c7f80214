"""decompose: what a Lie algebra is. Its centre, derived algebra and radical; the derived and
lower central series; the simple ideals with their Cartan types and compact real forms; a Cartan
subalgebra and the roots; the Killing form. Everything as coefficient rows in the given basis.
"""
from __future__ import annotations

import contextlib
import functools
import math
import numbers
from typing import Any, Optional, Union

import numpy as np
from numpy.typing import NDArray

from ._arguments import MatrixStack, matrix_list, thread_count
from ._blocks import Blocks, SparseMatrix, SparseRows, eigen_rows, hermitian_eigen, join, largest_eigenvalue
from ._roots import Roots, Terms, compact_roots, general_roots, terms_scale
from ._residual import _dense_gram, _Entries, _sparse_gram
from ._pauli import PauliStrings
from ._pauli_sums import PauliSums
from ._solvable import brackets, fitting, levi, null_space, series, span
from ._string_overlaps import StringOverlaps, sum_phases
from ._string_tensor import string_structure_tensor
from ._tensor import CoefficientTensor, structure_tensor
from ._types import RootSystemError, SimpleType, simple_types

Algebra = Union[MatrixStack, CoefficientTensor]
_SEED = 23          # the random elements are drawn from a fixed stream: the same input, the same output
_ATTEMPTS = 3       # fresh random elements tried when the roots do not form a root system
_DENSE_TENSOR = 300  # the products of tensors are formed densely up to this dimension when that is cheaper
_TENSOR_TOL = 1e-10  # structure constants below this times the largest basis norm are dropped
_THREADED_BLAS = 64  # below this dimension no product is large enough for BLAS to start threads


class SimpleIdeal:
    """A simple ideal of a Lie algebra (of its Levi factor when the algebra is not reductive).

    Attributes
    ----------
    basis : ndarray, shape (dimension, n)
        Coefficient rows in the algebra's basis spanning the ideal.
    dimension, rank : int
    cartan_type : str
        ``"A3"``, ``"B2"``, ``"C3"``, ``"D4"``, ``"E6"``, ``"F4"``, ``"G2"``, ... from the Cartan
        matrix of its simple roots. B2 = C2 is written ``"B2"``, D3 = A3 ``"A3"``.
    name : str or None
        The compact real form: ``"su(4)"``, ``"so(8)"``, ``"sp(3)"``, ``"g2"``, ... with one name
        where low ranks coincide (so(3) = su(2), so(5) = sp(2), so(6) = su(4)). None when the
        algebra is a non-compact real form (``sl(2, R)`` gives ``"A1"`` and no name).
    cartan_matrix : ndarray of int, shape (rank, rank)
        ``A[i, j] = 2 (a_i, a_j) / (a_j, a_j)``, simple roots in Bourbaki's order.
    """

    def __init__(self, rows: SparseRows, kind: SimpleType, named: bool, phases: NDArray) -> None:
        self._rows, self._phases = rows, phases
        self.dimension = kind.dimension
        self.rank = kind.rank
        self.cartan_type = kind.cartan_type
        self.name = kind.name if named else None
        self.cartan_matrix = kind.cartan_matrix

    @functools.cached_property
    def basis(self) -> NDArray:
        return _in_basis(self._rows, self._phases)

    def __repr__(self) -> str:
        label = self.name or self.cartan_type
        return f"SimpleIdeal({label}, dimension={self.dimension}, rank={self.rank}, type={self.cartan_type})"


class LieAlgebraStructure:
    """What :func:`decompose` finds. Rows are coefficient rows in the given basis.

    Attributes
    ----------
    dimension : int
    center, derived, radical : ndarray, shape (m, n)
        Bases of the centre, of [g, g] and of the largest solvable ideal.
    killing_form : ndarray, shape (n, n)
        K[a, b] = tr(ad B_a ad B_b).
    derived_series, lower_central_series : list of ndarray
        g, [g, g], ... and g, [g, g], [g, [g, g]], ..., each as rows, until they stop shrinking.
    is_abelian, is_nilpotent, is_solvable, is_semisimple, is_reductive, is_compact : bool
    real_form : str
        ``"compact"`` (real structure constants in a basis of anti-Hermitian or Hermitian
        matrices, or any with a negative semidefinite Killing form on a reductive algebra),
        ``"non-compact"`` (real structure constants otherwise) or ``"complex"`` (structure
        constants that no basis of such matrices makes real: a complex Lie algebra, such as the
        span of the clock-and-shift matrices; its names are those of its compact real form).
    ideals : list of SimpleIdeal
        The simple ideals, in increasing dimension; for an algebra that is not reductive, those
        of a Levi factor (``levi``), typed over C.
    levi : ndarray, shape (m, n)
        A Levi factor: a semisimple subalgebra complementary to the radical.
    cartan_subalgebra : ndarray, shape (r, n)
        A Cartan subalgebra: the centre's rows, then each ideal's (for a compact algebra, i
        times its simple coroots, real rows; for any other reductive one, the coroots).
    roots : ndarray of complex, shape (roots, r)
        Each root's values on the rows of the Cartan subalgebra: [h_r, e] = roots[a, r] e for a
        root vector e. Roots of a compact algebra are imaginary on an anti-Hermitian basis and
        real on a Hermitian one. For an algebra that is not reductive, the distinct non-zero
        weights of the Cartan subalgebra on g.
    summary : str
        E.g. ``"u(1)^2 + su(2) + so(8)"``.
    basis : the matrices (or PauliStrings / PauliSums) decomposed, or None for a tensor.
    """

    dimension: int
    ideals: list[SimpleIdeal]
    summary: str
    roots: NDArray[np.complex128]
    is_abelian: bool
    is_nilpotent: bool
    is_solvable: bool
    is_semisimple: bool
    is_reductive: bool
    is_compact: bool
    real_form: str
    basis: Optional[MatrixStack]
    # Rows held sparsely, shown densely on request; the Killing form and the basis's Gram matrix.
    _center: SparseRows
    _derived: SparseRows
    _radical: SparseRows
    _levi: SparseRows
    _cartan: SparseRows
    _derived_series: list[SparseRows]
    _lower_central_series: list[SparseRows]
    _killing: SparseMatrix
    _gram: Optional[SparseMatrix]
    _entries: Optional[Union[_Entries, StringOverlaps]]
    _phases: NDArray[np.complex128]
    _killing_phases: NDArray[np.complex128]

    def __init__(self, **parts: Any) -> None:
        self.__dict__.update(parts)

    @functools.cached_property
    def center(self) -> NDArray:
        return _in_basis(self._center, self._phases)

    @functools.cached_property
    def derived(self) -> NDArray:
        return _in_basis(self._derived, self._phases)

    @functools.cached_property
    def radical(self) -> NDArray:
        return _in_basis(self._radical, self._phases)

    @functools.cached_property
    def levi(self) -> NDArray:
        return _in_basis(self._levi, self._phases)

    @functools.cached_property
    def cartan_subalgebra(self) -> NDArray:
        return _in_basis(self._cartan, self._phases)

    @functools.cached_property
    def killing_form(self) -> NDArray:
        dense = self._killing.dense()
        if np.all(self._killing_phases == 1):
            return dense
        return dense / np.outer(self._killing_phases, self._killing_phases)

    @functools.cached_property
    def derived_series(self) -> list[NDArray]:
        return [_in_basis(rows, self._phases) for rows in self._derived_series]

    @functools.cached_property
    def lower_central_series(self) -> list[NDArray]:
        return [_in_basis(rows, self._phases) for rows in self._lower_central_series]

    def __repr__(self) -> str:
        return f"LieAlgebraStructure({self.summary}, dimension={self.dimension})"


def decompose(algebra: Algebra, *, tol: float = 1e-9) -> LieAlgebraStructure:
    """What a Lie algebra is: centre, radical, derived algebra, simple ideals and their types,
    Killing form, a Cartan subalgebra and the roots.

    Parameters
    ----------
    algebra : array_like, shape (n, d, d), sequence of (d, d) arrays, PauliStrings, PauliSums or CoefficientTensor
        A basis of the algebra (anything :func:`structure_tensor` takes: matrices, or Pauli
        strings or sums of them, read without any qⁿ matrix), or the commutator tensor of one.
        A basis must be closed under commutators and linearly independent.
    tol : float, optional
        Relative threshold: eigenvalues of the Killing form and of the Gram matrices of brackets
        below `tol` times the largest count as zero, and so do singular values of adjoint maps.

    Returns
    -------
    LieAlgebraStructure

    Raises
    ------
    ValueError
        A basis that is not closed under commutators (naming the largest residual), or not
        linearly independent; an anticommutator tensor; a bad `tol`.
    RuntimeError
        When the roots found do not form a root system (a tolerance too loose or too tight for
        a badly scaled basis).

    Notes
    -----
    NumPy's BLAS runs on one thread meanwhile (when threadpoolctl is installed). The centre is the kernel, and [g, g] the range, of Gram matrices of the structure tensor;
    the radical is the Killing-orthogonal complement of [g, g] (Cartan's criterion). For a
    compact algebra, a regular element is built from commuting basis elements; its centraliser
    is a Cartan subalgebra, and ad of it is skew-symmetric in a basis orthonormal for the Killing
    form, so the roots come from Hermitian eigenproblems, block by block over the pieces the
    basis couples. The roots' Killing inner products give the simple roots of a positive system,
    the Cartan matrix and the type; roots that are not orthogonal lie in one ideal.

    Examples
    --------
    >>> import numpy as np, tanvo, tanvo_lie
    >>> tanvo_lie.decompose(tanvo.gen_gellmann(4))
    LieAlgebraStructure(su(4), dimension=15)
    >>> x = np.array([[0, 1], [1, 0]]); z = np.diag([1, -1])
    >>> tanvo_lie.decompose([1j * x, 1j * z])
    Traceback (most recent call last):
        ...
    ValueError: the basis is not closed under commutators: a commutator has a part of norm 2.83 outside its span
    """
    tolerance = _tolerance(tol)
    tensor, matrices, gram, entries = _tensor_of(algebra, tolerance)
    n = tensor.shape[0]
    phases = _phases(tensor, entries)
    values = tensor.values
    if phases is not None:
        i, j, k = tensor.indices.T
        values = (values * phases[i] * phases[j] / phases[k]).real
    uniform = phases is not None and n > 0 and bool(np.all(phases == phases[0]))
    # Rows are shown in the given basis; a phase common to every element is left out, so that
    # a basis of Hermitian matrices has real rows too (and the roots its real eigenvalues).
    global_phase = complex(phases[0]) if phases is not None and uniform else 1.0
    shown = np.ones(n, complex) if phases is None else phases / global_phase
    terms = Terms(n, tensor.indices, values)
    with _one_blas_thread() if n > _THREADED_BLAS else contextlib.nullcontext():
        for attempt in range(_ATTEMPTS):
            try:
                parts = _analyse(terms, tolerance, phases is not None, np.random.default_rng(_SEED + attempt))
                break
            except RootSystemError:
                if attempt == _ATTEMPTS - 1:
                    raise
    parts["roots"] = parts["roots"] / global_phase if parts["roots"].size else parts["roots"]
    ideals = [SimpleIdeal(rows, kind, parts["_named"], shown) for rows, kind in parts.pop("ideal_parts")]
    ideals.sort(key=lambda ideal: (ideal.dimension, ideal.name or ideal.cartan_type))
    summary = _summary(parts, ideals)
    return LieAlgebraStructure(dimension=n, ideals=ideals, summary=summary, basis=matrices, _gram=gram, _entries=entries,
                               _phases=shown, _killing_phases=np.ones(n) if phases is None else phases, **parts)


def _one_blas_thread() -> contextlib.AbstractContextManager[Any]:
    """NumPy's BLAS on one thread while the work runs, when threadpoolctl is there to say so.

    The eigenproblems here are many small ones or one of the algebra's dimension; OpenBLAS's
    threads wait by spinning, and on cores that other work keeps busy a 255 x 255 eigenproblem
    took ten times longer threaded than on one thread."""
    try:
        from threadpoolctl import threadpool_limits  # type: ignore[import-untyped]
    except ImportError:
        return contextlib.nullcontext()
    return threadpool_limits(limits=1, user_api="blas")


def _tolerance(tol: Any) -> float:
    if isinstance(tol, (bool, np.bool_)) or not isinstance(tol, numbers.Real):
        raise TypeError(f"tol must be a real number, not {type(tol).__name__}")
    value = float(tol)
    if not (math.isfinite(value) and 0 < value < 1):
        raise ValueError(f"tol must be between 0 and 1; got {tol!r}")
    return value


def _tensor_of(algebra: Algebra, tol: float):
    """The commutator tensor, and the basis matrices when given; refuses a basis that is not
    closed or not linearly independent."""
    if isinstance(algebra, (PauliStrings, PauliSums)):
        return _strings_of(algebra, tol)
    if isinstance(algebra, CoefficientTensor):
        if algebra.kind != "commutator":
            raise ValueError("algebra must be a commutator tensor, not an anticommutator one")
        # Without the matrices, the scale of a bracket is the largest structure constant.
        _refuse_open(algebra.residual, float(np.max(np.abs(algebra.values), initial=0.0)), tol)
        return algebra, None, None, None
    try:
        matrices = matrix_list(algebra, "algebra")
    except TypeError as not_matrices:
        # A basis of another kind (Pauli strings): whatever structure_tensor takes. Its
        # overlaps with operators, for g_purity, are for _coefficients to learn.
        try:
            tensor = structure_tensor(algebra)
        except TypeError:
            raise not_matrices from None
        _refuse_open(tensor.residual, float(np.max(np.abs(tensor.values), initial=0.0)), tol)
        return tensor, None, None, None
    entries = _Entries.of(matrices)
    norms = np.sqrt(np.bincount(entries.owner, np.abs(entries.value) ** 2, entries.n))
    # Coefficients scale with the basis: structure_tensor's threshold must too (its default,
    # 1e-8, is meant for elements of norm about 1).
    tensor = structure_tensor(matrices, tol=_TENSOR_TOL * float(np.max(norms, initial=0.0)))
    gram = basis_gram(entries)
    diagonal = np.zeros(tensor.shape[0])
    on = gram.rows == gram.cols
    diagonal[gram.rows[on]] = gram.values[on].real
    if np.any(diagonal == 0):
        raise ValueError(f"algebra[{int(np.argmin(diagonal))}] is zero: the basis is not linearly independent")
    _refuse_open(tensor.residual, float(np.max(diagonal)), tol)
    norm = 1 / np.sqrt(diagonal)
    normalised = SparseMatrix(gram.n, gram.rows, gram.cols, gram.values * norm[gram.rows] * norm[gram.cols])
    blocks = Blocks(gram.n, normalised)
    smallest = min(float(np.min(values)) for values, _ in hermitian_eigen(blocks, normalised).values())
    if smallest <= tol:
        raise ValueError("the basis is not linearly independent: the Gram matrix of its normalised "
                         f"elements has an eigenvalue {smallest:.3g}")
    return tensor, matrices, gram, entries


def _strings_of(algebra: Union[PauliStrings, PauliSums], tol: float):
    """The tensor of a basis of strings or sums, from the strings; refuses a basis that is not
    closed (single strings: a string anticommuting with another whose product is not in the
    set; sums: a random bracket's part outside the span) or not linearly independent."""
    sums = (PauliSums(algebra) if isinstance(algebra, PauliStrings) else algebra).simplify(tol=0.0)
    if len(sums) == 0:
        raise ValueError("algebra is empty")
    if (sums.term_counts == 0).any():
        raise ValueError(f"algebra[{int(np.argmin(sums.term_counts))}] is zero: the basis is not linearly independent")
    threads = thread_count(None)
    overlaps = StringOverlaps(sums)
    gram = overlaps.gram(threads)            # in <A, B> = tr(A^† B) / qⁿ
    norms = np.sqrt(gram if gram.ndim == 1 else np.diagonal(gram).real)
    tensor = string_structure_tensor(sums, "commutator", tol=_TENSOR_TOL * float(np.max(norms)), rows=None,
                                     threads=threads, gram=None if overlaps.single else
                                     (np.diag(gram).astype(np.complex128) if gram.ndim == 1 else gram))
    if overlaps.single:
        gap = overlaps.strings_gap(tensor, threads)
    else:
        solve = ((lambda o: o / gram[None, :]) if gram.ndim == 1 else (lambda o: np.linalg.solve(gram, o.T).T))
        gap = overlaps.sums_gap(solve, norms, math.sqrt(tol))
    if gap is not None:
        i, j, relative = gap
        raise ValueError(f"the basis is not closed under commutators: [algebra[{i}], algebra[{j}]] has a part of "
                         f"norm {relative * norms[i] * norms[j]:.3g} outside its span (|A|² = tr(A^† A) / qⁿ)")
    if gram.ndim == 1:
        rows = cols = np.arange(len(sums))
        values = overlaps.scale * gram
    else:
        rows, cols = np.nonzero(gram)
        values = overlaps.scale * gram[rows, cols]
    return tensor, algebra, SparseMatrix(len(sums), rows, cols, values), overlaps


def _refuse_open(residual: Optional[float], scale: float, tol: float) -> None:
    """A basis whose commutators leave its span by more than sqrt(tol) of the scale of a
    bracket is no algebra."""
    if residual is not None and residual > math.sqrt(tol) * max(scale, 1e-300):
        raise ValueError("the basis is not closed under commutators: a commutator has a part of norm "
                         f"{residual:.3g} outside its span")


def basis_gram(entries: _Entries) -> SparseMatrix:
    """G[k, l] = tr(B_k^H B_l), its negligible overlaps left out."""
    found = _dense_gram(entries) if entries.dense_is_cheaper() else _sparse_gram(entries)
    return SparseMatrix(entries.n, found.rows, found.cols, found.values)


def _phases(tensor: CoefficientTensor, entries: Optional[Union[_Entries, StringOverlaps]]) -> Optional[NDArray[np.complex128]]:
    """Factors p (1 or i) making p_i p_j / p_k T[i, j, k] real: 1 for anti-Hermitian basis
    elements, i for Hermitian ones, from the matrices when given, else from the tensor (all real or
    all imaginary). None when the structure constants are not real in any such basis."""
    n = tensor.shape[0]
    values = tensor.values
    scale = float(np.max(np.abs(values), initial=0.0))
    candidates = []
    if isinstance(entries, StringOverlaps):
        phases = sum_phases(entries.sums, 1e-12)
        if np.all(np.isfinite(phases)):
            candidates.append(1j / phases)
    elif entries is not None:
        anti, hermitian, norm = entries.hermiticity()
        small = 1e-24 * norm
        if np.all((anti <= small) | (hermitian <= small)):
            candidates.append(np.where(anti <= small, 1.0 + 0j, 1j))
    candidates += [np.ones(n, complex), np.full(n, 1j)]
    i, j, k = tensor.indices.T
    for p in candidates:
        rotated = values * p[i] * p[j] / p[k]
        if np.max(np.abs(rotated.imag), initial=0.0) <= 1e-9 * max(scale, 1e-300):
            return p
    return None


def _in_basis(rows: SparseRows, phases: NDArray) -> NDArray:
    dense = rows.dense()
    if np.all(phases == 1):
        return dense
    return dense * phases[None, :]


def _analyse(terms: Terms, tol: float, real: bool, rng: np.random.Generator) -> dict[str, Any]:
    n = terms.n
    products = _TensorProducts(terms)
    derived_gram, killing = products.derived_gram(), products.killing()
    centre = centre_rows(products, tol)
    derived_blocks = Blocks(n, derived_gram)
    derived_eigen = hermitian_eigen(derived_blocks, derived_gram)
    top = largest_eigenvalue(derived_eigen)
    derived = eigen_rows(derived_blocks, derived_eigen, lambda v: v > tol * top)
    compact = real and _negative_semidefinite(n, killing, len(centre), tol)
    identity = SparseRows(n, np.arange(n + 1), np.arange(n), np.ones(n, terms.values.dtype))
    parts: dict[str, Any] = dict(_center=centre, _derived=derived, _killing=killing, is_compact=compact,
                                 real_form="compact" if compact else ("non-compact" if real else "complex"))
    threshold = math.sqrt(tol) * terms_scale(terms)
    radical = centre if compact else SparseRows.from_dense(_radical(derived.dense(), killing.dense(), tol))
    reductive = len(radical) == len(centre)
    parts.update(_radical=radical if isinstance(radical, SparseRows) else SparseRows.from_dense(radical),
                 is_reductive=reductive, is_semisimple=len(radical) == 0 and n > 0,
                 is_abelian=len(derived) == 0, _named=compact or not real)
    if reductive:
        stable = [identity] if len(derived) == n else [identity, derived]
        parts.update(_derived_series=stable, _lower_central_series=stable,
                     is_solvable=len(derived) == 0, is_nilpotent=len(derived) == 0, _levi=derived)
        parts.update(_reductive_roots(terms, killing, centre, len(derived), compact, tol, rng))
    else:
        whole = np.eye(n, dtype=terms.values.dtype)
        derived_series = series(terms, whole, False, threshold)
        lower = series(terms, whole, True, threshold)
        parts.update(_derived_series=[SparseRows.from_dense(r) for r in derived_series],
                     _lower_central_series=[SparseRows.from_dense(r) for r in lower],
                     is_solvable=derived_series[-1].shape[0] == 0, is_nilpotent=lower[-1].shape[0] == 0)
        radical_rows = parts["_radical"].dense()
        own_lower = series(terms, radical_rows, True, threshold)
        nilpotent_radical = own_lower[-1].shape[0] == 0
        parts["_radical_kind"] = ("abelian" if nilpotent_radical and len(own_lower) == 2
                                 else "nilpotent" if nilpotent_radical else "solvable")
        parts.update(_non_reductive(terms, radical_rows, parts["is_solvable"], real, tol, rng))
    return parts


def centre_rows(products: _TensorProducts, tol: float) -> SparseRows:
    """The centre: the kernel of the Gram matrix C[a, b] = Σ_jk conj(T[a, j, k]) T[b, j, k]
    (eigenvalues at most tol times the largest)."""
    centre_gram = products.centre_gram()
    blocks = Blocks(products.terms.n, centre_gram)
    eigen = hermitian_eigen(blocks, centre_gram)
    top = largest_eigenvalue(eigen)
    return eigen_rows(blocks, eigen, lambda v: v <= tol * top)


def _negative_semidefinite(n: int, killing: SparseMatrix, centre: int, tol: float) -> bool:
    """Whether the Killing form is negative semidefinite with the centre as its kernel: the mark
    of a compact algebra."""
    eigen = hermitian_eigen(Blocks(n, killing), killing)
    top = largest_eigenvalue(eigen)
    values = np.concatenate([v.reshape(-1) for v, _ in eigen.values()]) if eigen else np.zeros(0)
    return bool(np.all(values <= tol * top) and np.sum(np.abs(values) <= tol * top) == centre)


def _radical(derived: NDArray, killing: NDArray, tol: float) -> NDArray:
    """{x : K(x, y) = 0 for y in [g, g]}, Cartan's criterion for the radical."""
    scale = float(np.max(np.abs(killing), initial=0.0))
    return null_space(derived @ killing, math.sqrt(tol) * scale * math.sqrt(killing.shape[0]))


def _reductive_roots(terms: Terms, killing: SparseMatrix, centre: SparseRows, semisimple: int,
                     compact: bool, tol: float, rng: np.random.Generator) -> dict[str, Any]:
    n = terms.n
    if semisimple == 0:
        return dict(_cartan=SparseRows.from_dense(np.eye(n, dtype=terms.values.dtype)) if n else centre,
                    roots=np.zeros((0, n), complex), ideal_parts=[])
    found: Roots = (compact_roots if compact else general_roots)(terms, killing, rng, tol)
    cartan_dense = found.cartan.dense()
    gram = found.cartan.apply(killing) @ cartan_dense.T
    rank = cartan_dense.shape[0] - len(centre)
    phase = np.exp(1j * rng.uniform(0.1, 1.4))
    types = simple_types(found.values, (phase * found.on_regular).real, gram, rank)
    ideal_parts, coroot_rows = [], []
    for kind in types:
        coroots = _coroots(terms, found, kind, cartan_dense, compact)
        coroot_rows.append(coroots)
        if compact:
            # Real root planes and coroots: independent by construction, and sparse.
            positive = kind.roots[(phase * found.on_regular[kind.roots]).real > 0]
            planes = found.vectors.select(positive)
            rows = SparseRows.stack([planes.real(), planes.imag(), SparseRows.from_dense(coroots.real)])
        else:
            spanning = np.concatenate((found.vectors.select(kind.roots).dense(), coroots))
            if terms.real:
                spanning = np.concatenate((spanning.real, spanning.imag))
            rows = SparseRows.from_dense(span(spanning, 1e-8 * np.max(np.abs(spanning))))
        if len(rows) != kind.dimension:
            raise RootSystemError(f"an ideal of type {kind.cartan_type} spans {len(rows)} dimensions")
        ideal_parts.append((rows, kind))
    centre_dense = centre.dense()
    cartan = np.concatenate([centre_dense.astype(complex)] + coroot_rows) if coroot_rows else centre_dense
    if compact or terms.real:
        cartan = cartan.real
    coordinates = np.linalg.lstsq(cartan_dense.T, cartan.T, rcond=None)[0]
    roots = found.values @ coordinates
    return dict(_cartan=SparseRows.from_dense(cartan), roots=roots, ideal_parts=ideal_parts)


def _coroots(terms: Terms, found: Roots, kind: SimpleType, cartan_dense: NDArray, compact: bool) -> NDArray:
    """The simple coroots h_i = [e_i, e_-i] scaled so that a_i(h_i) = 2; times i (real rows) for
    a compact algebra."""
    brackets_found = []
    for simple in kind.simple.tolist():
        opposite = int(np.argmin(np.abs(found.values + found.values[simple][None, :]).sum(axis=1)))
        brackets_found.append(terms.bracket(found.vectors.row(simple), found.vectors.row(opposite)))
    h = np.array(brackets_found)
    coordinates = np.linalg.lstsq(cartan_dense.T, h.T, rcond=None)[0]     # (rank of t, simple)
    on_own = np.einsum("sr,rs->s", found.values[kind.simple], coordinates)
    h = h * (2 / on_own)[:, None]
    return 1j * h if compact else h


def _non_reductive(terms: Terms, radical: NDArray, solvable: bool, real: bool, tol: float,
                   rng: np.random.Generator) -> dict[str, Any]:
    n = terms.n
    threshold = math.sqrt(tol) * terms_scale(terms)
    cartan, weights = fitting(terms, rng)
    parts: dict[str, Any] = dict(_cartan=SparseRows.from_dense(cartan), roots=weights, ideal_parts=[])
    if solvable:
        parts["_levi"] = SparseRows.empty(n)
        return parts
    factor = levi(terms, radical, threshold)
    # The Levi factor's own structure constants, in its rows' coordinates.
    m = factor.shape[0]
    products = brackets(terms, factor, factor)
    inside = np.linalg.lstsq(factor.T, products.T, rcond=None)[0].T.reshape(m, m, m)
    keep = np.abs(inside) > 1e-12 * max(float(np.max(np.abs(inside))), 1e-300)
    indices = np.argwhere(keep)
    sub = Terms(m, indices, inside[keep].real if real else inside[keep])
    sub_killing = _TensorProducts(sub).killing()
    centre = SparseRows.empty(m)
    compact = real and _negative_semidefinite(m, sub_killing, 0, tol)
    found = _reductive_roots(sub, sub_killing, centre, m, compact, tol, rng)
    ideal_parts = [(SparseRows.from_dense(rows.dense() @ factor), kind) for rows, kind in found["ideal_parts"]]
    parts.update(_levi=SparseRows.from_dense(factor), ideal_parts=ideal_parts)
    return parts


def _summary(parts: dict[str, Any], ideals: list[SimpleIdeal]) -> str:
    labels = [ideal.name or ideal.cartan_type for ideal in ideals]
    if parts["is_reductive"]:
        centre = len(parts["_center"])
        if centre:
            unit = "u(1)" if parts["_named"] else "R"
            labels.insert(0, unit if centre == 1 else f"{unit}^{centre}")
        return " + ".join(labels) or "0"
    radical_label = f"{parts['_radical_kind']}({len(parts['_radical'])})"
    return " + ".join(labels) + " ⋉ " + radical_label if labels else radical_label


class _TensorProducts:
    """The three products of the tensor with itself that the structure needs, as sparse n x n
    matrices: joined term by term for sparse tensors, by dense matrix products for small dense
    ones."""

    def __init__(self, terms: Terms) -> None:
        self.terms = terms
        n = terms.n
        self._dense = None
        if n <= _DENSE_TENSOR and terms.values.size > n ** 3 / 16:
            self._dense = np.zeros((n, n, n), terms.values.dtype)
            self._dense[terms.i, terms.j, terms.k] = terms.values

    def _sparse(self, matrix: NDArray) -> SparseMatrix:
        rows, cols = np.nonzero(matrix)
        return SparseMatrix(self.terms.n, rows, cols, matrix[rows, cols])

    def centre_gram(self) -> SparseMatrix:
        """C[a, b] = sum_jk conj(T[a, j, k]) T[b, j, k]: its kernel is the centre."""
        t, n = self.terms, self.terms.n
        if self._dense is not None:
            flat = self._dense.reshape(n, n * n)
            return self._sparse(flat.conj() @ flat.T)
        key = t.j * n + t.k
        return join(key, t.i, np.conj(t.values), key, t.i, t.values, n)

    def derived_gram(self) -> SparseMatrix:
        """D[a, b] = sum_ij T[i, j, a] conj(T[i, j, b]): its range is [g, g]."""
        t, n = self.terms, self.terms.n
        if self._dense is not None:
            flat = self._dense.reshape(n * n, n)
            return self._sparse(flat.T @ flat.conj())
        key = t.i * n + t.j
        return join(key, t.k, t.values, key, t.k, np.conj(t.values), n)

    def killing(self) -> SparseMatrix:
        """K[a, b] = sum_ij T[a, i, j] T[b, j, i] = tr(ad B_a ad B_b)."""
        t, n = self.terms, self.terms.n
        if self._dense is not None:
            flat = self._dense.reshape(n, n * n)
            swapped = self._dense.transpose(0, 2, 1).reshape(n, n * n)
            return self._sparse(flat @ swapped.T)
        return join(t.j * n + t.k, t.i, t.values, t.k * n + t.j, t.i, t.values, n)
