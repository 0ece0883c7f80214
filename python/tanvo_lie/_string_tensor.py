"""structure_tensor of a basis of Pauli strings or sums of strings, without matrices."""
from __future__ import annotations

from typing import Optional, Union

import numpy as np

from . import _native
from ._arguments import thread_count
from ._pauli import PauliStrings
from ._pauli_sums import PauliSums
from ._tensor import CoefficientTensor, Kind, _from_terms, _product, _rows, _tolerance


def string_structure_tensor(basis: Union[PauliStrings, PauliSums], kind: Kind, *, tol: float,
                            rows: Optional[tuple[int, int]], threads: Optional[int],
                            method: str = "fast") -> CoefficientTensor:
    """structure_tensor of strings or sums (its arguments checked here)."""
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
    raise NotImplementedError("the tensor of a basis of sums of several strings comes later")
