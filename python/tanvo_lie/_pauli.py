"""PauliStrings: an immutable batch of Pauli strings on n sites (qubits or qudits), bit-packed."""
from __future__ import annotations

import numbers
import operator
import os
import re
import sys
from collections.abc import Sequence
from typing import Any, Optional, Union, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native
from ._arguments import thread_count

__all__ = ["PauliStrings"]

# Qubit letters by (x, z) exponent: index x + 2 z.
_LETTERS = "IXZY"
_LETTER_CODES = {"I": (0, 0), "X": (1, 0), "Z": (0, 1), "Y": (1, 1)}
_SPARSE_TOKEN = re.compile(r"([A-Za-z])(\d+)")
_MAX_Q = 255
_LITTLE_WORDS = np.dtype("<u8")


def part_words(sites: int, q: int) -> int:
    """64-bit words holding one exponent part (x or z) of a string: a bit per qubit site, a
    byte per qudit site."""
    per_word = 64 if q == 2 else 8
    return -(-sites // per_word)


def local_dimension(q: Any) -> int:
    if isinstance(q, (bool, np.bool_)) or not isinstance(q, numbers.Integral):
        raise TypeError(f"q must be an int, not {type(q).__name__}")
    value = int(q)
    if value < 2:
        raise ValueError(f"q must be at least 2; got {value}")
    if value > _MAX_Q:
        raise ValueError(f"q must be at most {_MAX_Q}; got {value}")
    return value


def _pack(x: NDArray[np.uint8], z: NDArray[np.uint8], q: int) -> NDArray[np.uint64]:
    """(m, n) exponent arrays in [0, q) as (m, 2W) words: x part, then z part."""
    m, n = x.shape
    w = part_words(n, q)
    out = np.zeros((m, 2, 8 * w), dtype=np.uint8)
    if q == 2:
        out[:, 0, : -(-n // 8)] = np.packbits(x, axis=1, bitorder="little")
        out[:, 1, : -(-n // 8)] = np.packbits(z, axis=1, bitorder="little")
    else:
        out[:, 0, :n] = x
        out[:, 1, :n] = z
    words = out.reshape(m, 16 * w).view(_LITTLE_WORDS)
    return np.ascontiguousarray(words, dtype=np.uint64)


def _unpack(words: NDArray[np.uint64], sites: int, q: int, part: int) -> NDArray[np.uint8]:
    m = words.shape[0]
    w = part_words(sites, q)
    data = np.ascontiguousarray(words, dtype=_LITTLE_WORDS).view(np.uint8).reshape(m, 2, 8 * w)[:, part]
    if q == 2:
        return np.unpackbits(data, axis=1, count=sites, bitorder="little")
    return np.array(data[:, :sites])


def _physical_memory() -> int:
    try:
        return int(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES"))
    except (ValueError, OSError, AttributeError):  # not reported: no limit of ours
        return sys.maxsize


def _check_fits(what: str, needed: int) -> None:
    physical = _physical_memory()
    if needed > physical:
        raise MemoryError(f"{what} needs {needed / 2**30:.3g} GiB; this machine has {physical / 2**30:.1f} GiB")


class PauliStrings:
    """An immutable batch of m Pauli strings on n sites of local dimension q, bit-packed.

    Parameters
    ----------
    labels : str or sequence of str
        Qubit labels over ``I X Y Z``, site 0 leftmost (``"XXI"``); with `sites`, also the
        sparse form of letters followed by site numbers (``"X0 X1"``, ``"Z7"``; ``""`` or
        ``"I"`` is the identity).
    sites : int, optional
        The number of sites, for labels in the sparse form.

    Notes
    -----
    For qubits (q = 2) the strings are the Hermitian Paulis: the string with exponents
    (x, z) at a site is ``i**(x*z) X**x Z**z`` there, so that ``Y = i X Z``. For q > 2 the
    string with exponents (a, b) at a site is the word ``X**a Z**b``, with
    ``X e_c = e_(c+1 mod q)`` and ``Z = diag(1, ω, ..., ω**(q-1))``, ``ω = exp(2πi/q)``: the
    matrices of ``tanvo.gen_sylvester(q)``. The matrix of a string is the Kronecker product
    over its sites, site 0 first. See :doc:`/user_guide/pauli_strings` for all conventions.

    Each string is stored as 2W 64-bit words (:attr:`words`): its x exponents, then its z
    exponents, one bit per site for qubits (site j in bit j % 64 of word j // 64, the layout of
    Stim and of Qiskit's symplectic form) and one byte per site for qudits (site j in byte
    j % 8 of word j // 8). No Python object is made per string.

    Examples
    --------
    >>> from tanvo_lie import PauliStrings
    >>> a = PauliStrings(["XXI", "IZZ"])
    >>> b = PauliStrings(["Z0", "X2"], sites=3)
    >>> a.commutes(b)
    array([False, False])
    >>> phases, products = a.multiply(b)
    >>> phases, products.labels()
    (array([0.-1.j, 0.+1.j]), ['YXI', 'IZY'])
    """

    __slots__ = ("_words", "_sites", "_q")

    _words: NDArray[np.uint64]
    _sites: int
    _q: int

    def __init__(self, labels: Union[str, Sequence[str], PauliStrings], *, sites: Optional[int] = None) -> None:
        if isinstance(labels, PauliStrings):
            if sites is not None and sites != labels.sites:
                raise ValueError(f"sites = {sites} but the strings have {labels.sites} sites")
            self._set(labels._words, labels._sites, labels._q)
            return
        if isinstance(labels, str):
            labels = [labels]
        if isinstance(labels, np.ndarray) and labels.dtype.kind == "U" and labels.ndim == 1:
            labels = labels.tolist()
        if isinstance(labels, (bytes, np.ndarray)) or not isinstance(labels, Sequence):
            raise TypeError(f"labels must be a str or a sequence of str, not {type(labels).__name__}")
        for index, label in enumerate(labels):
            if not isinstance(label, str):
                raise TypeError(f"labels[{index}] must be a str, not {type(label).__name__}")
        if sites is None:
            x, z = _dense_labels(labels)
        else:
            count = _site_count(sites)
            x, z = _sparse_labels(labels, count)
        self._set(_pack(x, z, 2), x.shape[1], 2)

    @classmethod
    def from_exponents(cls, x: ArrayLike, z: ArrayLike, q: int = 2) -> PauliStrings:
        """Strings from their exponents: x[i, j] and z[i, j] of string i at site j, in [0, q).

        Parameters
        ----------
        x, z : array_like of int, shape (m, n) or (n,)
            Exponents of X and Z (for qubits, the bits of the symplectic form: ``x = z = 1``
            is Y). A one-dimensional pair is one string.
        q : int, optional
            The local dimension, from 2 (qubits, the default) to 255.

        Raises
        ------
        TypeError
            Non-integer exponents or `q`.
        ValueError
            `q` below 2, exponents outside [0, q) (naming the first), or x and z of different
            shapes.
        """
        q = local_dimension(q)
        parts = []
        for name, part in (("x", x), ("z", z)):
            array = np.asarray(part)
            if array.dtype != np.bool_ and not np.issubdtype(array.dtype, np.integer):
                raise TypeError(f"{name} must hold integers, not {array.dtype}")
            if array.ndim == 1:
                array = array[None, :]
            if array.ndim != 2:
                raise ValueError(f"{name} must have shape (m, n) or (n,); got {np.shape(part)}")
            outside = (array < 0) | (array >= q)
            if outside.any():
                i, j = np.argwhere(outside)[0]
                raise ValueError(f"{name}[{i}, {j}] = {array[i, j]} is outside [0, q) for q = {q}")
            parts.append(array.astype(np.uint8))
        if parts[0].shape != parts[1].shape:
            raise ValueError(f"x and z must have the same shape; got {parts[0].shape} and {parts[1].shape}")
        return cls._from_words(_pack(parts[0], parts[1], q), parts[0].shape[1], q)

    @classmethod
    def _from_words(cls, words: NDArray[np.uint64], sites: int, q: int) -> PauliStrings:
        strings = cls.__new__(cls)
        strings._set(words, sites, q)
        return strings

    def _set(self, words: NDArray[np.uint64], sites: int, q: int) -> None:
        words = np.ascontiguousarray(words, dtype=np.uint64)
        words.flags.writeable = False
        self._words, self._sites, self._q = words, sites, q

    # --- Shape and contents ------------------------------------------------------------

    @property
    def sites(self) -> int:
        """The number of sites n."""
        return self._sites

    @property
    def q(self) -> int:
        """The local dimension (2 for qubits)."""
        return self._q

    @property
    def phase_order(self) -> int:
        """r such that phases of products are powers of exp(2πi/r): 4 for qubits, q otherwise."""
        return 4 if self._q == 2 else self._q

    @property
    def words(self) -> NDArray[np.uint64]:
        """The packed strings: a read-only (m, 2W) uint64 array, x words then z words."""
        return self._words

    @property
    def x(self) -> NDArray[np.uint8]:
        """Exponents of X: an (m, n) uint8 array (a copy)."""
        return _unpack(self._words, self._sites, self._q, 0)

    @property
    def z(self) -> NDArray[np.uint8]:
        """Exponents of Z: an (m, n) uint8 array (a copy)."""
        return _unpack(self._words, self._sites, self._q, 1)

    def __len__(self) -> int:
        return int(self._words.shape[0])

    @overload
    def __getitem__(self, key: int) -> PauliStrings: ...
    @overload
    def __getitem__(self, key: Union[slice, ArrayLike]) -> PauliStrings: ...

    def __getitem__(self, key: Any) -> PauliStrings:
        """Strings selected by an int (a batch of one), a slice, an int array or a bool mask."""
        if isinstance(key, (numbers.Integral, np.integer)) and not isinstance(key, (bool, np.bool_)):
            index = operator.index(key)
            m = len(self)
            if not -m <= index < m:
                raise IndexError(f"index {index} is out of range for {m} strings")
            rows = self._words[index: index + 1] if index >= 0 else self._words[m + index: m + index + 1]
        elif isinstance(key, slice):
            rows = self._words[key]
        else:
            selector = np.asarray(key)
            if selector.dtype != np.bool_ and not np.issubdtype(selector.dtype, np.integer):
                raise TypeError(f"strings are indexed by ints, slices, int arrays or bool masks, "
                                f"not {selector.dtype}")
            rows = self._words[selector]
        return PauliStrings._from_words(rows, self._sites, self._q)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, PauliStrings):
            return NotImplemented
        return (self._sites == other._sites and self._q == other._q
                and np.array_equal(self._words, other._words))

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        shown = ""
        if self._q == 2 and len(self) <= 6 and self._sites <= 40:
            shown = f"{self.labels()!r}, "
        q = "" if self._q == 2 else f", q={self._q}"
        return f"PauliStrings({shown}m={len(self)}, sites={self._sites}{q})"

    def labels(self) -> list[str]:
        """The qubit labels, site 0 leftmost (``"XYIZ"``).

        Raises
        ------
        ValueError
            For q > 2 (use :attr:`x` and :attr:`z`).
        """
        if self._q != 2:
            raise ValueError(f"labels are letters of qubit strings; these have q = {self._q} (use x and z)")
        codes = self.x + 2 * self.z
        table = np.frombuffer(_LETTERS.encode("ascii"), dtype=np.uint8)
        letters = table[codes]
        n = self._sites
        text = letters.tobytes().decode("ascii")
        return [text[i * n: (i + 1) * n] for i in range(len(self))]

    def to_matrices(self, *, sparse: bool = False) -> Any:
        """The matrices of the strings.

        Parameters
        ----------
        sparse : bool, optional
            Return a list of ``scipy.sparse.csr_array`` (one entry per row) instead of one
            dense array.

        Returns
        -------
        ndarray of complex128, shape (m, qⁿ, qⁿ), or list of scipy.sparse.csr_array

        Raises
        ------
        MemoryError
            When the result cannot fit in this machine's memory (checked before anything is
            allocated).
        """
        return _string_matrices(self, np.ones(len(self), dtype=np.complex128),
                                np.arange(len(self) + 1, dtype=np.int64), sparse)

    # --- Sets of strings -----------------------------------------------------------------

    def unique(self, *, return_index: bool = False,
               return_inverse: bool = False) -> Union[PauliStrings, tuple[Any, ...]]:
        """The distinct strings, in the order first seen.

        Parameters
        ----------
        return_index : bool, optional
            Also return the position of each distinct string's first occurrence.
        return_inverse : bool, optional
            Also return, for each string, the position of its distinct string in the result.

        Returns
        -------
        PauliStrings, or a tuple of it and the int64 arrays asked for
        """
        first, inverse = _native.strings_unique(self._words)
        first, inverse = np.asarray(first), np.asarray(inverse)
        unique = PauliStrings._from_words(self._words[first], self._sites, self._q)
        if not (return_index or return_inverse):
            return unique
        extra = [array for array, wanted in ((first, return_index), (inverse, return_inverse)) if wanted]
        return (unique, *extra)

    def index_of(self, other: PauliStrings) -> NDArray[np.int64]:
        """For each string of `other`, its first position in these strings, or -1 when absent."""
        self._check_compatible(other, "other")
        return np.asarray(_native.strings_index_of(self._words, other._words))

    # --- Products --------------------------------------------------------------------------

    def multiply(self, other: PauliStrings, *,
                 exponents: bool = False) -> tuple[NDArray[Any], PauliStrings]:
        """Elementwise products: ``self[i] @ other[i] = phases[i] * strings[i]``, exactly.

        A batch of one string pairs with every string of the other batch.

        Parameters
        ----------
        other : PauliStrings
            As many strings as this batch (or one), on as many sites, of the same q.
        exponents : bool, optional
            Return each phase as the integer k with phase = exp(2πi k / r), r =
            :attr:`phase_order` (4 for qubits: powers of i), instead of as complex128.

        Returns
        -------
        phases : ndarray of complex128 (or uint8 exponents), shape (m,)
        strings : PauliStrings
        """
        count = self._pair_count(other)
        products = np.empty((count, self._words.shape[1]), dtype=np.uint64)
        phases = np.empty(count, dtype=np.uint8)
        _native.strings_multiply(self._sites, self._q, self._words, other._words, products, phases)
        strings = PauliStrings._from_words(products, self._sites, self._q)
        if exponents:
            return phases, strings
        return _roots_of_unity(self.phase_order)[phases], strings

    def commutes(self, other: PauliStrings) -> NDArray[np.bool_]:
        """Whether ``self[i]`` and ``other[i]`` commute, elementwise (a batch of one pairs with
        every string of the other)."""
        count = self._pair_count(other)
        out = np.empty(count, dtype=np.bool_)
        _native.strings_commutes(self._sites, self._q, self._words, other._words, out)
        return out

    def commutation_matrix(self, other: Optional[PauliStrings] = None, *,
                           threads: Optional[int] = None) -> NDArray[np.bool_]:
        """``C[i, j]``: whether ``self[i]`` and ``other[j]`` commute (`other` defaults to self).

        Parameters
        ----------
        other : PauliStrings, optional
        threads : int, optional
            Worker threads (default: every core available); the result does not depend on it.

        Returns
        -------
        ndarray of bool, shape (len(self), len(other))
        """
        other = self if other is None else other
        self._check_compatible(other, "other")
        workers = thread_count(threads)
        _check_fits(f"a ({len(self)}, {len(other)}) commutation matrix", len(self) * len(other))
        out = np.empty((len(self), len(other)), dtype=np.bool_)
        _native.strings_commutation_matrix(self._sites, self._q, self._words, other._words, out, workers)
        return out

    def _check_compatible(self, other: Any, name: str) -> None:
        if not isinstance(other, PauliStrings):
            raise TypeError(f"{name} must be PauliStrings, not {type(other).__name__}")
        if other._q != self._q:
            raise ValueError(f"{name} has q = {other._q}; these strings have q = {self._q}")
        if other._sites != self._sites:
            raise ValueError(f"{name} has {other._sites} sites; these strings have {self._sites}")

    def _pair_count(self, other: Any) -> int:
        self._check_compatible(other, "other")
        m, k = len(self), len(other)
        if m != k and m != 1 and k != 1:
            raise ValueError(f"elementwise operations need as many strings on each side (or one); got {m} and {k}")
        return 0 if m == 0 or k == 0 else max(m, k)


def _roots_of_unity(order: int) -> NDArray[np.complex128]:
    """exp(2πik/order) for k < order, exact at quarter turns."""
    k = np.arange(order)
    roots: NDArray[np.complex128] = np.exp(2j * np.pi * k / order)
    quarter = (4 * k) % order == 0
    # complex(0, -1), not -1j: the literal negates 0+1j and leaves a real part of -0.0.
    roots[quarter] = np.array([1, 1j, -1, complex(0, -1)])[(4 * k[quarter]) // order]
    return roots


def basis_state_digits(state: Any, sites: int, q: int, what: str) -> Optional[NDArray[np.int64]]:
    """The digits of a computational-basis state |b_0 b_1 ...> (site 0 first) given as a string
    of digits ("0101") or as a sequence or integer array of them, one per site; None when `state`
    is neither (a vector or matrix, say). ValueError for a string of the wrong length or a digit
    >= q."""
    if isinstance(state, str):
        digits = np.array([ord(c) - ord("0") for c in state], dtype=np.int64)
        if len(state) != sites or (digits < 0).any() or (digits >= min(q, 10)).any():
            letters = "characters 0 or 1" if q == 2 else f"digits 0 to {q - 1}"
            raise ValueError(f"{what}: a bit string needs {sites} {letters} (site 0 first); got {state!r}")
        return digits
    if isinstance(state, bytes) or hasattr(state, "sites") or np.ndim(state) != 1:  # strings or sums
        return None
    array = np.asarray(state)
    if (array.dtype != np.bool_ and not np.issubdtype(array.dtype, np.integer)) or array.shape != (sites,):
        return None  # a state vector of integers, say
    if (array < 0).any() or (array >= q).any():
        raise ValueError(f"{what}: a basis state as a sequence needs {sites} integers 0 to {q - 1} (site 0 "
                         f"first); got {array.tolist() if array.size <= 16 else f'shape {array.shape}'}")
    return array.astype(np.int64)


def basis_state_values(strings: PauliStrings, digits: NDArray[np.int64]) -> NDArray[np.complex128]:
    """<b|P|b> for each string P and the computational-basis state |b> of `digits`: 0 unless P has
    no X part, else ω^(z·b) (for qubits the sign (-1)^(number of Z on a 1)), without a qⁿ vector."""
    x_words = strings.words[:, : strings.words.shape[1] // 2]
    diagonal = ~x_words.any(axis=1)
    exponent = (strings.z[diagonal].astype(np.int64) @ digits) % strings.q
    values = np.zeros(len(strings), dtype=np.complex128)
    values[diagonal] = _roots_of_unity(strings.q)[exponent]
    return values


def _site_count(sites: Any) -> int:
    if isinstance(sites, (bool, np.bool_)) or not isinstance(sites, numbers.Integral):
        raise TypeError(f"sites must be an int, not {type(sites).__name__}")
    if sites < 0:
        raise ValueError(f"sites must be non-negative; got {sites}")
    return int(sites)


def _bad_letter(labels: Sequence[str], index: int, position: int) -> ValueError:
    label = labels[index]
    return ValueError(f"labels[{index}] = {label!r} has {label[position]!r} at position {position}; "
                      f"qubit labels are made of I, X, Y and Z")


def _dense_labels(labels: Sequence[str]) -> tuple[NDArray[np.uint8], NDArray[np.uint8]]:
    """Exponent arrays of labels like "XXI", all of one length."""
    m = len(labels)
    lengths = np.fromiter((len(label) for label in labels), dtype=np.int64, count=m)
    if m and (lengths != lengths[0]).any():
        other = int(np.argmax(lengths != lengths[0]))
        raise ValueError(f"strings of different lengths: labels[0] has {lengths[0]} sites, "
                         f"labels[{other}] has {lengths[other]}")
    n = int(lengths[0]) if m else 0
    codes = np.frombuffer("".join(labels).encode("utf-32-le"), dtype="<u4").reshape(m, n)
    x = np.zeros((m, n), dtype=np.uint8)
    z = np.zeros((m, n), dtype=np.uint8)
    known = np.zeros((m, n), dtype=bool)
    for letter, (ex, ez) in _LETTER_CODES.items():
        here = codes == ord(letter)
        x[here], z[here] = ex, ez
        known |= here
    if not known.all():
        index, position = (int(v) for v in np.argwhere(~known)[0])
        if labels[index][position].isdigit():
            raise ValueError(f"labels[{index}] = {labels[index]!r} has a site number; "
                             f"labels of the sparse form need sites=")
        raise _bad_letter(labels, index, position)
    return x, z


def _sparse_labels(labels: Sequence[str], sites: int) -> tuple[NDArray[np.uint8], NDArray[np.uint8]]:
    """Exponent arrays of labels like "X0 Y3" on `sites` sites (labels of exactly `sites`
    letters are read as dense labels)."""
    m = len(labels)
    x = np.zeros((m, sites), dtype=np.uint8)
    z = np.zeros((m, sites), dtype=np.uint8)
    for index, label in enumerate(labels):
        if len(label) == sites and label and all(c in _LETTER_CODES for c in label):
            for position, letter in enumerate(label):
                x[index, position], z[index, position] = _LETTER_CODES[letter]
            continue
        seen: set[int] = set()
        position = 0
        for token in label.split():
            position = label.index(token, position)
            found = _SPARSE_TOKEN.fullmatch(token)
            if found is None or found.group(1) not in _LETTER_CODES:
                if token == "I":
                    position += 1
                    continue
                bad = next((k for k, c in enumerate(token) if not (c in _LETTER_CODES or c.isdigit())), 0)
                raise ValueError(f"labels[{index}] = {label!r} has {token!r} at position {position + bad}; sparse "
                                 f"labels are letters I, X, Y, Z each followed by a site number, like 'X0 Z3'")
            site = int(found.group(2))
            if site >= sites:
                raise ValueError(f"labels[{index}] = {label!r} names site {site}; there are {sites} sites")
            if site in seen:
                raise ValueError(f"labels[{index}] = {label!r} names site {site} twice")
            seen.add(site)
            x[index, site], z[index, site] = _LETTER_CODES[found.group(1)]
            position += len(token)
    return x, z


def _string_matrices(strings: PauliStrings, coefficients: NDArray[np.complex128], offsets: NDArray[np.int64],
                     sparse: bool) -> Any:
    """Sums of coefficient-weighted string matrices, operator k over terms [offsets[k], offsets[k+1])."""
    if not isinstance(sparse, (bool, np.bool_)):
        raise TypeError(f"sparse must be a bool, not {type(sparse).__name__}")
    n, q = strings.sites, strings.q
    m = len(offsets) - 1
    d = q**n
    if sparse:
        if d > 2**31:
            raise MemoryError(f"matrices of {n} sites of dimension {q} are {q}^{n} x {q}^{n}: "
                              f"too large even as sparse matrices")
        _check_fits(f"the sparse matrices of {len(strings)} strings of dimension {d}", 24 * len(strings) * d)
        try:
            from scipy import sparse as scipy_sparse  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            raise ImportError("to_matrices(sparse=True) needs SciPy (pip install scipy)") from None
        rows = np.empty((len(strings), d), dtype=np.int64)
        values = np.empty((len(strings), d), dtype=np.complex128)
        _native.strings_columns(n, q, strings.words, rows, values)
        values *= coefficients[:, None]
        columns = np.broadcast_to(np.arange(d), (len(strings), d))
        result = []
        for k in range(m):
            terms = slice(int(offsets[k]), int(offsets[k + 1]))
            matrix = scipy_sparse.coo_array((values[terms].ravel(), (rows[terms].ravel(), columns[terms].ravel())),
                                            shape=(d, d)).tocsr()
            matrix.sum_duplicates()
            result.append(matrix)
        return result
    if d > 2**31:
        raise MemoryError(f"matrices of {n} sites of dimension {q} are {q}^{n} x {q}^{n}: they cannot fit in memory")
    _check_fits(f"({m}, {d}, {d}) complex128 matrices", 16 * m * d * d)
    out = np.zeros((m, d, d), dtype=np.complex128)
    _native.strings_add_matrices(n, q, strings.words, coefficients, offsets, out)
    return out
