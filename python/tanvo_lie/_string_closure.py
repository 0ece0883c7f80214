"""The Lie closure of Pauli strings and sums of strings, without matrices."""
from __future__ import annotations

from typing import Optional, Union

import numpy as np
from numpy.typing import NDArray

from . import _native
from ._arguments import thread_count
from ._closure import _max_dimension, _ProgressLine, _tolerance
from ._pauli import PauliStrings, _roots_of_unity
from ._pauli_sums import PauliSums


def string_closure(generators: Union[PauliStrings, PauliSums], *, tol: float, max_dimension: Optional[int],
                   threads: Optional[int], progress: bool, method: str = "fast") -> PauliSums:
    """lie_closure of strings or sums of strings (its arguments checked here)."""
    # String coordinates are exact for single strings; their rounding floor is that of 1 x 1 generators.
    tolerance = _tolerance(tol, 1)
    limit = _max_dimension(max_dimension)
    workers = thread_count(threads)
    if not isinstance(progress, (bool, np.bool_)):
        raise TypeError(f"progress must be a bool, not {type(progress).__name__}")
    sums = PauliSums(generators) if isinstance(generators, PauliStrings) else generators.simplify(tol=0.0)
    sums = sums[sums.term_counts > 0]  # zero generators add nothing
    report = _ProgressLine() if progress else None
    try:
        if (sums.term_counts == 1).all():
            return _single_strings(sums, tolerance, limit, workers, report, method)
        return _sums(sums, tolerance, limit, workers, report)
    finally:
        if report is not None:
            report.finish()


def _single_strings(sums: PauliSums, tol: float, limit: int, threads: int, report: Optional[_ProgressLine],
                    method: str) -> PauliSums:
    """The closure of generators that are each one string times a coefficient: the strings
    reached by commutators, with the coefficients of the compact real form (i P, anti-Hermitian)
    when every generator is Hermitian or anti-Hermitian, and 1 (generators: their phase)
    otherwise."""
    n, q = sums.sites, sums.q
    # A single string times a coefficient is Hermitian or anti-Hermitian when the coefficient is
    # real or imaginary (qubit strings are Hermitian), which needs no merging to see.
    if q == 2:
        c = sums.coefficients
        compact = bool(((np.abs(c.imag) <= tol * np.abs(c)) | (np.abs(c.real) <= tol * np.abs(c))).all())
    else:
        compact = bool((sums.hermiticity(tol) != 0).all())
    words, count = _native.strings_closure(n, q, sums.strings.words, limit, threads, report, method)
    strings = PauliStrings._from_words(np.asarray(words).reshape(count, sums.strings.words.shape[1]), n, q)
    if compact:
        coefficients = anti_hermitian_phases(strings)
    else:
        coefficients = np.ones(count, dtype=np.complex128)
        _, first = sums.strings.unique(return_index=True)  # type: ignore[misc]
        given = sums.coefficients[first]
        coefficients[: len(first)] = given / np.abs(given)
    return PauliSums._from_arrays(strings, coefficients, np.arange(count + 1, dtype=np.int64))


def _sums(sums: PauliSums, tol: float, limit: int, threads: int, report: Optional[_ProgressLine]) -> PauliSums:
    """The closure of sums of strings by Gram–Schmidt keyed on strings; in the compact real
    form (Hermitian generators times i) when every generator is Hermitian or anti-Hermitian,
    held by real coordinates for qubits."""
    hermiticity = sums.hermiticity(tol)
    compact = bool((hermiticity != 0).all())
    coefficients = sums.coefficients
    if compact:
        owner = np.repeat(np.arange(len(sums)), sums.term_counts)
        coefficients = np.where(hermiticity[owner] == 1, 1j * coefficients, coefficients)
    real = compact and sums.q == 2
    found = _native.sums_closure(sums.sites, sums.q, sums.strings.words, np.ascontiguousarray(coefficients),
                                 sums.offsets, tol, limit, threads, report, real, compact)
    words, values, offsets = (np.asarray(part) for part in found)
    strings = PauliStrings._from_words(words.reshape(len(values), sums.strings.words.shape[1]), sums.sites, sums.q)
    return PauliSums._from_arrays(strings, values, offsets)


def anti_hermitian_phases(strings: PauliStrings) -> NDArray[np.complex128]:
    """The unit c with c·P anti-Hermitian for each string P proportional to its adjoint: i for
    qubits; i·exp(iπ s/q) for qudits, where P^† = ω^s P (s = a·b mod q)."""
    if strings.q == 2:
        return np.full(len(strings), 1j, dtype=np.complex128)
    q = strings.q
    s = (strings.x.astype(np.int64) * strings.z).sum(axis=1) % q
    roots: NDArray[np.complex128] = 1j * _roots_of_unity(2 * q)[s]
    return roots


