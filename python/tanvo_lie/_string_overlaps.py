"""Overlaps of operators and states with a basis of Pauli sums, without any qⁿ object.

A basis element is a sum b_a = Σ_t c_t P_t of strings. With the inner product of PauliSums,
<A, B> = tr(A^† B) / qⁿ, distinct strings are orthonormal, so the overlaps <b_a, X> of an
operator X given as strings are sums over the strings the two share (found by hashing), and an
operator's coefficients and its part outside the span follow term by term. A computational-basis
state |b> has tr(P |b><b|) = <b|P|b>, which is 0 unless P is made of I and Z (powers of Z for
qudits), so its traces need no vector either. The adjoint simulator, g_purity and variance read
string bases through this one class.
"""
from __future__ import annotations

from typing import Any, Callable, Optional

import numpy as np
from numpy.typing import NDArray

from . import _native
from ._pauli import PauliStrings, basis_state_digits, basis_state_values
from ._pauli_sums import PauliSums
from ._string_tensor import sums_gram
from ._tensor import CoefficientTensor

# Strings times columns read at once when a state is given as a vector or a density matrix, and
# operators times basis elements of the overlaps fitted at once.
_COLUMN_BLOCK = 1 << 22


class StringOverlaps:
    """The strings of a basis of sums, indexed once for the overlaps of many operators."""

    def __init__(self, sums: PauliSums) -> None:
        self.sums = sums
        self.n = len(sums)
        self.sites, self.q = sums.sites, sums.q
        # tr(A^† B) = scale <A, B>; a float, as qⁿ outgrows every integer type at 64 qubits.
        self.scale = float(self.q) ** self.sites
        unique, inverse = sums.strings.unique(return_inverse=True)  # type: ignore[misc]
        self.unique: PauliStrings = unique
        self.inverse: NDArray[np.int64] = inverse
        self.owner = np.repeat(np.arange(self.n), sums.term_counts)
        # The basis's terms grouped by their distinct string, to join with an operator's terms.
        self._by_string = np.argsort(inverse, kind="stable")
        self._string_starts = np.searchsorted(inverse[self._by_string], np.arange(len(unique) + 1))
        self.single = bool((sums.term_counts == 1).all())

    def gram(self, threads: int) -> NDArray[Any]:
        """The Gram matrix <b_k, b_l>: its diagonal when the basis is orthogonal (always, for
        single strings). ValueError when the basis is not linearly independent."""
        if self.single:
            if len(self.unique) != self.n:
                raise ValueError("the basis is not linearly independent: a string repeats")
            return np.asarray(np.abs(self.sums.coefficients) ** 2)
        gram = sums_gram(self.sums, threads)
        eigenvalues = np.linalg.eigvalsh(gram)
        if eigenvalues[0] <= 1e-12 * eigenvalues[-1]:
            raise ValueError("the basis is not linearly independent: the Gram matrix of its sums is singular")
        diagonal = np.diagonal(gram).real
        if np.abs(gram - np.diag(diagonal)).max() <= 1e-12 * diagonal.max():
            return diagonal
        return gram

    def strings_gap(self, tensor: CoefficientTensor, threads: int) -> Optional[tuple[int, int, float]]:
        """For single strings: (i, j, 2) for a bracket [b_i, b_j] outside the span, or None.

        [P_i, P_j] is 2 P_i P_j for anticommuting strings, a string in the set or orthogonal to
        it, so the basis is closed when row i of the tensor has a term for every string
        anticommuting with string i: a count from the commutation matrix, without products."""
        strings = self.sums.strings
        found = np.bincount(tensor.indices[:, 0], minlength=self.n)
        block = max(1, (1 << 24) // self.n)
        for start in range(0, self.n, block):
            rows = strings[start: start + block]
            anticommuting = (~rows.commutation_matrix(strings, threads=threads)).sum(axis=1)
            short = np.flatnonzero(anticommuting != found[start: start + block])
            if short.size:
                i = start + int(short[0])
                partners = np.flatnonzero(~strings[i].commutes(strings))
                _, products = strings[i].multiply(strings[partners])
                return i, int(partners[np.argmax(strings.index_of(products) < 0)]), 2.0
        return None

    def sums_gap(self, solve: Callable[[NDArray[np.complex128]], NDArray[np.complex128]],
                 norms: NDArray[np.float64], tol: float) -> Optional[tuple[int, int, float]]:
        """(i, j, relative residual) for the bracket [b_i, b_j] furthest outside the span, when
        one is by more than tol relative to |b_i| |b_j|; None when the basis is closed.

        Each [b_i, R] with a random combination R is projected on the span first (n brackets);
        only when one leaves it are the brackets of the worst i formed."""
        sums = self.sums
        rng = np.random.default_rng(7)
        weights = rng.standard_normal(self.n)
        probe = combinations((weights / np.linalg.norm(weights))[None, :].astype(np.complex128), sums)
        block = max(1, _COLUMN_BLOCK // self.n)   # brackets fitted at once: (block, n) overlaps
        residuals = np.concatenate([self.fit(sums[start: start + block].commutator(probe, tol=0.0), solve)[1]
                                    for start in range(0, self.n, block)])
        probe_norm = float(np.sqrt((np.abs(probe.coefficients) ** 2).sum()))
        relative = residuals / (norms * max(probe_norm, 1e-300))
        if relative.max() <= tol:
            return None
        i = int(np.argmax(relative))
        residuals = np.concatenate([self.fit(sums[i].commutator(sums[start: start + block], tol=0.0), solve)[1]
                                    for start in range(0, self.n, block)])
        relative = residuals / (norms[i] * norms)
        j = int(np.argmax(relative))
        return i, j, float(relative[j])

    def by_element(self, weights: NDArray[np.complex128]) -> NDArray[np.complex128]:
        """Σ over each element's terms of `weights` (one per term of the basis)."""
        return np.asarray(np.bincount(self.owner, weights.real, self.n)
                          + 1j * np.bincount(self.owner, weights.imag, self.n), dtype=np.complex128)

    def operator(self, operator: Any, what: str) -> PauliSums:
        """One operator as a simplified PauliSums: a PauliStrings or PauliSums of one operator,
        or a qⁿ x qⁿ matrix (for a few sites)."""
        if isinstance(operator, PauliStrings):
            operator = PauliSums(operator)
        if isinstance(operator, PauliSums):
            if len(operator) != 1:
                raise ValueError(f"{what} must be one operator; got {len(operator)} (give a sequence of "
                                 f"operators where several are meant)")
            if operator.q != self.q or operator.sites != self.sites:
                raise ValueError(f"{what} acts on {operator.sites} sites of dimension {operator.q}; the basis on "
                                 f"{self.sites} sites of dimension {self.q}")
            return operator.simplify(tol=0.0)
        array = np.asarray(operator) if not isinstance(operator, str) else np.asarray([])
        if array.dtype == np.bool_ or not np.issubdtype(array.dtype, np.number):
            raise TypeError(f"{what} must be PauliStrings, PauliSums or a matrix, not {type(operator).__name__}")
        if self.sites > 12 or array.shape != (self.q**self.sites,) * 2:
            raise ValueError(f"{what}: give an operator on this basis of strings as PauliStrings or PauliSums"
                             + (f" (or a {self.q**self.sites} x {self.q**self.sites} matrix)" if self.sites <= 12
                                else "") + f"; got shape {array.shape}")
        if not np.isfinite(array).all():
            raise ValueError(f"{what} has non-finite entries")
        return PauliSums.from_matrices(array.astype(np.complex128), self.q, tol=0.0)

    def overlaps(self, batch: PauliSums) -> tuple[NDArray[np.complex128], tuple[NDArray[Any], ...], NDArray[np.float64]]:
        """<b_a, X> for each operator X of `batch` (an (m, n) array); X's terms on the basis's
        strings (operator, distinct string, coefficient); and the squared norm of the rest."""
        m = len(batch)
        op = np.repeat(np.arange(m), batch.term_counts)
        where = self.unique.index_of(batch.strings)
        inside = where >= 0
        outside2 = np.asarray(np.bincount(op[~inside], np.abs(batch.coefficients[~inside]) ** 2, m), dtype=np.float64)
        # <b_a, X> = Σ conj(c_t) x over the basis terms t on each of X's strings.
        x_op, x_string, x_value = op[inside], where[inside], batch.coefficients[inside]
        counts = self._string_starts[x_string + 1] - self._string_starts[x_string]
        pair_x = np.repeat(np.arange(len(x_op)), counts)
        pair_t = self._by_string[np.repeat(self._string_starts[x_string], counts)
                                 + np.arange(len(pair_x)) - np.repeat(np.cumsum(counts) - counts, counts)]
        overlaps = np.zeros((m, self.n), dtype=np.complex128)
        np.add.at(overlaps, (x_op[pair_x], self.owner[pair_t]),
                  np.conj(self.sums.coefficients[pair_t]) * x_value[pair_x])
        return overlaps, (x_op, x_string, x_value), outside2

    def fit(self, batch: PauliSums, solve: Callable[[NDArray[np.complex128]], NDArray[np.complex128]]
            ) -> tuple[NDArray[np.complex128], NDArray[np.float64], NDArray[np.float64]]:
        """Each operator of `batch` projected on the span: its coefficients (m, n), the norm of its
        part outside the span and its own norm (both in the normalised inner product).

        `solve` turns the overlaps <b_a, X> (rows of an (m, n) array) into coefficients: the
        Gram matrix's inverse. The part outside is formed term by term, not as a difference of
        squared norms, so that it is exact to rounding however small.
        """
        m, strings_count = len(batch), len(self.unique)
        overlaps, (x_op, x_string, x_value), outside2 = self.overlaps(batch)
        norms = np.sqrt(np.bincount(np.repeat(np.arange(m), batch.term_counts), np.abs(batch.coefficients) ** 2, m))
        coefficients = solve(overlaps)
        # X minus its fit, on the basis's strings.
        fit_op, fit_element = np.nonzero(coefficients)
        lengths = self.sums.term_counts[fit_element]
        terms = (np.repeat(self.sums.offsets[fit_element] - np.cumsum(lengths) + lengths, lengths)
                 + np.arange(int(lengths.sum())))
        keys = np.concatenate([x_op * strings_count + x_string,
                               np.repeat(fit_op, lengths) * strings_count + self.inverse[terms]])
        values = np.concatenate([x_value, -np.repeat(coefficients[fit_op, fit_element], lengths)
                                 * self.sums.coefficients[terms]])
        distinct, position = np.unique(keys, return_inverse=True)
        left = np.zeros(len(distinct), dtype=np.complex128)
        np.add.at(left, position, values)
        outside2 = outside2 + np.bincount(distinct // max(strings_count, 1), np.abs(left) ** 2, m)
        return coefficients, np.sqrt(outside2), norms

    def state_traces(self, state: Any, what: str) -> Optional[NDArray[np.complex128]]:
        """(tr(b_a^† ρ))_a for a computational-basis state (digits), a state vector or a density
        matrix (for a few sites); None when `state` is none of these."""
        digits = basis_state_digits(state, self.sites, self.q, what)
        values = (basis_state_values(self.unique, digits) if digits is not None
                  else self._dense_state_values(state, what))
        if values is None:
            return None
        # tr(P^† ρ) = conj(tr(P ρ)) for Hermitian ρ, so tr(b^† ρ) = conj(Σ_t c_t tr(P_t ρ)).
        return np.conj(self.by_element(self.sums.coefficients * values[self.inverse]))

    def _dense_state_values(self, state: Any, what: str) -> Optional[NDArray[np.complex128]]:
        """tr(P ρ) for each distinct string, from P's columns (P e_j = v_j e_(r_j))."""
        array = np.asarray(state)
        d = self.q**self.sites if self.sites <= 30 else 0
        if array.ndim not in (1, 2) or array.shape[0] != d or array.shape != (d,) * array.ndim:
            return None
        if array.dtype == np.bool_ or not np.issubdtype(array.dtype, np.number):
            raise TypeError(f"{what} must hold numbers, not {array.dtype}")
        matrix = array.astype(np.complex128)
        if not np.isfinite(matrix).all():
            raise ValueError(f"{what} has non-finite entries")
        if matrix.ndim == 2 and np.abs(matrix - matrix.conj().T).max() > 1e-12 * max(np.abs(matrix).max(), 1e-300):
            raise ValueError(f"{what} is not Hermitian")
        values = np.empty(len(self.unique), dtype=np.complex128)
        block = max(1, _COLUMN_BLOCK // d)
        columns = np.arange(d)
        for start in range(0, len(self.unique), block):
            words = self.unique.words[start: start + block]
            rows = np.empty((len(words), d), dtype=np.int64)
            entries = np.empty((len(words), d), dtype=np.complex128)
            _native.strings_columns(self.sites, self.q, words, rows, entries)
            if matrix.ndim == 1:
                found = (np.conj(matrix[rows]) * entries * matrix[None, :]).sum(axis=1)
            else:
                found = (entries * matrix[columns[None, :], rows]).sum(axis=1)
            values[start: start + len(words)] = found
        return values


def sum_phases(sums: PauliSums, tol: float) -> NDArray[np.complex128]:
    """φ_a with b_a / φ_a Hermitian, NaN where there is none. Qubit strings are Hermitian, so a
    qubit sum has one when its coefficients share a phase up to sign (that of its largest, turned
    to 1 or i as for matrices); a qudit sum is taken as Hermitian (1) or anti-Hermitian (i) only."""
    n = len(sums)
    if sums.q != 2:
        kind = sums.hermiticity(tol)
        return np.where(kind == 1, 1.0 + 0j, np.where(kind == -1, 1j, np.nan)).astype(np.complex128)
    c = sums.coefficients
    magnitude = np.abs(c)
    owner = np.repeat(np.arange(n), sums.term_counts)
    largest = np.zeros(n)
    np.maximum.at(largest, owner, magnitude)
    first = np.flatnonzero(magnitude == largest[owner])
    first = first[np.unique(owner[first], return_index=True)[1]]
    phases = c[first] / magnitude[first]
    flip = (phases.real < -1e-12) | ((np.abs(phases.real) <= 1e-12) & (phases.imag < 0))
    phases = np.where(flip, -phases, phases)
    for unit in (1.0, 1j):  # exactly 1 or i for (anti-)Hermitian sums, whatever the rounding of c / |c|
        phases[np.abs(phases - unit) <= 1e-14] = unit
    off = np.abs((c / phases[owner]).imag)
    worst = np.zeros(n)
    np.maximum.at(worst, owner, off)
    return np.asarray(np.where(worst <= tol * largest, phases, np.nan), dtype=np.complex128)


def combinations(weights: NDArray[np.complex128], sums: PauliSums) -> PauliSums:
    """The sums Σ_b weights[k, b] sums[b], one per row of `weights`, simplified."""
    rows, elements = np.nonzero(weights)
    counts = sums.term_counts[elements]
    terms = np.repeat(sums.offsets[elements] - np.cumsum(counts) + counts, counts) + np.arange(int(counts.sum()))
    offsets = np.zeros(weights.shape[0] + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, counts, weights.shape[0]).astype(np.int64), out=offsets[1:])
    combined = PauliSums(sums.strings[terms], np.repeat(weights[rows, elements], counts) * sums.coefficients[terms],
                         offsets)
    return combined.simplify(tol=0.0)
