"""Argument checks shared by every function of tanvo_lie: one place for each message."""
from __future__ import annotations

import operator
from collections.abc import Sequence
from typing import Any, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native

MatrixStack = Union[ArrayLike, Sequence[ArrayLike]]


def require_numbers(array: np.ndarray, what: str) -> None:
    """TypeError unless the array holds numbers (booleans are not)."""
    if array.dtype == np.bool_ or not np.issubdtype(array.dtype, np.number):
        raise TypeError(f"{what} must hold numbers, not {array.dtype}")


def array_like(value: Any) -> bool:
    """Whether NumPy reads `value` as one array rather than as a sequence of items: an ndarray,
    an object offering ``__array__``, ``__array_interface__`` or ``__array_struct__``, or a
    buffer such as a memoryview (strings and bytes aside, which are never numbers)."""
    if isinstance(value, np.ndarray):
        return True
    if isinstance(value, (str, bytes)):
        return False
    if any(hasattr(value, attribute) for attribute in ("__array__", "__array_interface__", "__array_struct__")):
        return True
    try:
        memoryview(value).release()
    except TypeError:
        return False
    return True


def as_array(value: Any, name: str, expected: str) -> np.ndarray:
    """`value` as np.asarray reads it, a plain ndarray (subclasses' own sizes and lengths are
    never consulted); a value NumPy cannot shape into an array (a ragged list) is a ValueError
    naming the argument and saying what it must be."""
    try:
        return np.asarray(value)
    except ValueError as error:
        raise ValueError(f"{name} must be {expected}; {error}") from None


def matrix_list(matrices: MatrixStack, name: str, *,
                allow_empty: bool = False) -> NDArray[np.complex128] | list[NDArray[np.complex128]]:
    """The matrices as C-contiguous aligned complex128 arrays, copied only when needed, entries
    unchecked.

    Anything NumPy reads as one array (an ndarray of any subclass, a memoryview, an object with
    ``__array_interface__``) becomes one (n, d, d) array; a sequence or other iterable of (d, d)
    arrays stays a list, so that matrices held separately are never gathered into a second
    copy. Sizes are those of the arrays' shapes. Raises TypeError for non-numeric entries or a
    basis that is neither, and ValueError for an empty input (unless allowed), non-square, mixed
    or ragged shapes, naming the offending index.
    """
    ready = _ready_list(matrices)
    if ready is not None:
        return ready
    whole = array_like(matrices)
    if whole:
        stack = as_array(matrices, name, "an (n, d, d) array of numbers")
        require_numbers(stack, name)
        if stack.ndim != 3:
            raise ValueError(f"{name} must be an (n, d, d) array or a sequence of (d, d) arrays; "
                             f"got an array of shape {stack.shape}")
        n, rows, cols = stack.shape
    else:
        if isinstance(matrices, (str, bytes)) or not hasattr(matrices, "__iter__"):
            raise TypeError(f"{name} must be an array or a sequence of arrays, "
                            f"not {type(matrices).__name__}")
        items = [as_array(m, f"{name}[{index}]", "a (d, d) array of numbers")
                 for index, m in enumerate(matrices)]  # type: ignore[arg-type]
        numeric: set[np.dtype] = set()  # a dtype is looked up once, not once per matrix
        for index, item in enumerate(items):
            if item.dtype not in numeric:
                require_numbers(item, f"{name}[{index}]")
                numeric.add(item.dtype)
            if item.ndim != 2:
                raise ValueError(f"{name}[{index}] must be a (d, d) matrix; got shape {item.shape}")
            if item.shape != items[0].shape:
                raise ValueError(f"{name}[{index}] has shape {item.shape}; {name}[0] has {items[0].shape}")
        n, (rows, cols) = len(items), (items[0].shape if items else (0, 0))
    if rows != cols:
        raise ValueError(f"{name} matrices must be square; got {rows} x {cols}")
    if n == 0 and not allow_empty:
        raise ValueError(f"{name} is empty")
    if whole:
        return native_array(stack, np.complex128)
    return [native_array(item, np.complex128) for item in items]


def matrix_count(matrices: NDArray[np.complex128] | list[NDArray[np.complex128]]) -> int:
    """How many matrices matrix_list returned: the first extent of an array's shape."""
    return matrices.shape[0] if isinstance(matrices, np.ndarray) else len(matrices)


_COMPLEX128 = np.dtype(np.complex128)


def _ready_list(matrices: Any) -> list[NDArray[np.complex128]] | None:
    """A list of matrices the extension reads as they are (complex128 arrays of one square shape,
    C-contiguous and aligned), or None: one quick pass for the common case, a list of arrays
    from tanvo's generators, whose full checks cost about as much as a small tensor."""
    if type(matrices) is not list or not matrices:
        return None
    first = matrices[0]
    if type(first) is not np.ndarray or first.ndim != 2 or first.shape[0] != first.shape[1]:
        return None
    shape = first.shape
    for m in matrices:
        if not (type(m) is np.ndarray and m.dtype is _COMPLEX128 and m.shape == shape
                and m.flags.c_contiguous and m.flags.aligned):
            return None
    return list(matrices)


def native_array(array: ArrayLike, dtype: Any) -> np.ndarray:
    """The array as the extension reads it: C-contiguous, aligned, of `dtype`; copied only when
    it is not already."""
    # The common case without np.require's general checks, a few microseconds per matrix.
    if (type(array) is np.ndarray and array.dtype == dtype and array.flags.c_contiguous
            and array.flags.aligned):
        return array
    return np.require(array, dtype=dtype, requirements=["C", "A"])


def non_finite_message(name: str, index: int) -> str:
    return f"{name}[{index}] has non-finite entries"


def matrix_stack(matrices: MatrixStack, name: str, *, allow_empty: bool = False) -> NDArray[np.complex128]:
    """The matrices as one C-contiguous (n, d, d) complex128 array, copied only when needed.

    Accepts an (n, d, d) array or a sequence of (d, d) arrays of any numeric dtype. Raises
    TypeError for non-numeric entries and ValueError for an empty input (unless allowed),
    non-square or mixed shapes and non-finite entries, naming the offending index.
    """
    checked = matrix_list(matrices, name, allow_empty=allow_empty)
    if isinstance(checked, np.ndarray):
        stack = checked
    else:
        stack = np.stack(checked) if checked else np.zeros((0, 0, 0), dtype=np.complex128)
    finite = np.isfinite(stack).all(axis=(1, 2))
    if not finite.all():
        raise ValueError(non_finite_message(name, int(np.argmin(finite))))
    return stack


def whole_number(value: Any, name: str, *, expected: str, minimum: int) -> int:
    """`value` as an int of at least `minimum`: TypeError for bools and anything that is not an
    integer (`expected` says what is), ValueError below the minimum."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be {expected}, not bool")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be {expected}, not {type(value).__name__}") from None
    if number < minimum:
        bound = "non-negative" if minimum == 0 else f"at least {minimum}"
        raise ValueError(f"{name} must be {bound}; got {number}")
    return number


def thread_count(threads: Any) -> int:
    """Worker threads: a positive int, or None for every core this process may run on. A count
    past the most a call starts (four per core) is capped there: more threads only cost their
    stacks, and the results never depend on the count."""
    if threads is None:
        return int(_native.available_threads())
    count = whole_number(threads, "threads", expected="a positive int or None", minimum=1)
    return min(count, int(_native.thread_limit()))
