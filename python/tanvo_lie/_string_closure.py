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
        raise NotImplementedError("the closure of sums of several strings comes later")
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
    compact = bool((sums.hermiticity(tol) != 0).all())
    words, count = _native.strings_closure(n, q, sums.strings.words, limit, threads, report, method)
    strings = PauliStrings._from_words(np.asarray(words).reshape(count, -1), n, q)
    if compact:
        coefficients = anti_hermitian_phases(strings)
    else:
        coefficients = np.ones(count, dtype=np.complex128)
        _, first = sums.strings.unique(return_index=True)  # type: ignore[misc]
        given = sums.coefficients[first]
        coefficients[: len(first)] = given / np.abs(given)
    return PauliSums._from_arrays(strings, coefficients, np.arange(count + 1, dtype=np.int64))


def anti_hermitian_phases(strings: PauliStrings) -> NDArray[np.complex128]:
    """The unit c with c·P anti-Hermitian for each string P proportional to its adjoint: i for
    qubits; i·exp(iπ s/q) for qudits, where P^† = ω^s P (s = a·b mod q)."""
    if strings.q == 2:
        return np.full(len(strings), 1j, dtype=np.complex128)
    q = strings.q
    s = (strings.x.astype(np.int64) * strings.z).sum(axis=1) % q
    roots: NDArray[np.complex128] = 1j * _roots_of_unity(2 * q)[s]
    return roots


