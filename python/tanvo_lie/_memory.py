"""Whether a call can fit in memory, judged from the sizes its arguments claim before any of them
is read or converted."""
from __future__ import annotations

from typing import Any

import numpy as np

from . import _native


def require_tensor_room(basis: Any) -> None:
    """MemoryError, naming the least any method needs, when no method could fit the tensor of
    `basis` in memory; nothing for a basis whose sizes are not those of n square matrices (the
    argument checks then speak).

    A basis may claim far more memory than it holds (a broadcast array, or a list repeating one
    matrix): its sizes alone then decide, before it is copied or read.
    """
    if isinstance(basis, np.ndarray):
        if basis.ndim != 3 or basis.shape[1] != basis.shape[2]:
            return
        n, d = basis.shape[0], basis.shape[1]
        _native.require_room(n, d, lambda: n > 1 and basis.strides[0] == 0)
    elif isinstance(basis, (list, tuple)) and basis:
        first = basis[0]
        try:
            shape = first.shape if isinstance(first, np.ndarray) else np.shape(first)
        except (TypeError, ValueError):  # not an array: the argument checks word the error
            return
        if len(shape) != 2 or shape[0] != shape[1]:
            return
        _native.require_room(len(basis), shape[0], lambda: _repeats_a_matrix(basis))


def _repeats_a_matrix(matrices: list[Any] | tuple[Any, ...]) -> bool:
    """Whether two items are one object, or arrays viewing the same memory the same way."""
    if len({id(m) for m in matrices}) < len(matrices):
        return True
    views = {(m.__array_interface__["data"][0], m.strides, m.dtype.str) for m in matrices
             if isinstance(m, np.ndarray)}
    return len(views) < sum(isinstance(m, np.ndarray) for m in matrices)
