"""PauliSums: a batch of operators, each a sparse sum of Pauli strings, stored as CSR arrays."""
from __future__ import annotations

import numbers
from collections.abc import Sequence
from typing import Any, Optional, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native
from ._arguments import matrix_stack, native_array
from ._pauli import PauliStrings, _roots_of_unity, _string_matrices, local_dimension

__all__ = ["PauliSums"]

Term = tuple[str, complex]


class PauliSums:
    """A batch of m operators, each a sum of Pauli strings with complex coefficients.

    The terms of all operators are one :class:`PauliStrings` with a complex128 coefficient
    each; operator k is the sum of terms ``offsets[k]`` to ``offsets[k + 1] - 1`` (the CSR
    layout). The strings follow the conventions of :class:`PauliStrings`.

    Parameters
    ----------
    strings : PauliStrings
        Every term's string, operator by operator.
    coefficients : array_like of complex, shape (len(strings),), optional
        Every term's coefficient (default: all 1).
    offsets : array_like of int, shape (m + 1,), optional
        Where each operator's terms start, from 0 to len(strings), non-decreasing (default:
        one term per operator).

    Examples
    --------
    >>> from tanvo_lie import PauliSums
    >>> h = PauliSums.from_list([("XXI", 1.0), ("IXX", 1.0), ("ZII", 0.5)])
    >>> len(h), h.strings.labels(), h.coefficients.real
    (1, ['XXI', 'IXX', 'ZII'], array([1. , 1. , 0.5]))
    """

    __slots__ = ("_strings", "_coefficients", "_offsets")

    _strings: PauliStrings
    _coefficients: NDArray[np.complex128]
    _offsets: NDArray[np.int64]

    def __init__(self, strings: PauliStrings, coefficients: Optional[ArrayLike] = None,
                 offsets: Optional[ArrayLike] = None) -> None:
        if not isinstance(strings, PauliStrings):
            raise TypeError(f"strings must be PauliStrings, not {type(strings).__name__}")
        count = len(strings)
        if coefficients is None:
            values = np.ones(count, dtype=np.complex128)
        else:
            array = np.asarray(coefficients)
            if array.dtype == np.bool_ or not np.issubdtype(array.dtype, np.number):
                raise TypeError(f"coefficients must hold numbers, not {array.dtype}")
            if array.shape != (count,):
                raise ValueError(f"coefficients must have shape ({count},), one per string; got {array.shape}")
            values = np.array(array, dtype=np.complex128)
            if not np.isfinite(values).all():
                raise ValueError(f"coefficients[{int(np.argmin(np.isfinite(values)))}] is not finite")
        if offsets is None:
            bounds = np.arange(count + 1, dtype=np.int64)
        else:
            array = np.asarray(offsets)
            if not np.issubdtype(array.dtype, np.integer):
                raise TypeError(f"offsets must hold integers, not {array.dtype}")
            if array.ndim != 1 or array.size == 0:
                raise ValueError(f"offsets must be a non-empty one-dimensional array; got shape {array.shape}")
            if array[0] != 0 or array[-1] != count or (np.diff(array) < 0).any():
                raise ValueError(f"offsets must rise from 0 to {count} (the number of strings) without falling")
            bounds = np.array(array, dtype=np.int64)
        self._set(strings, values, bounds)

    @classmethod
    def _from_arrays(cls, strings: PauliStrings, coefficients: NDArray[np.complex128],
                     offsets: NDArray[np.int64]) -> PauliSums:
        sums = cls.__new__(cls)
        sums._set(strings, coefficients, offsets)
        return sums

    def _set(self, strings: PauliStrings, coefficients: NDArray[np.complex128], offsets: NDArray[np.int64]) -> None:
        coefficients = native_array(coefficients, np.complex128)
        offsets = native_array(offsets, np.int64)
        coefficients.flags.writeable = False
        offsets.flags.writeable = False
        self._strings, self._coefficients, self._offsets = strings, coefficients, offsets

    @classmethod
    def from_list(cls, operators: Union[Sequence[Term], Sequence[Sequence[Term]]], *,
                  sites: Optional[int] = None) -> PauliSums:
        """Operators from (label, coefficient) pairs, as Qiskit's ``SparsePauliOp.from_list``.

        Parameters
        ----------
        operators : sequence of (str, complex), or sequence of such sequences
            One operator as a list of pairs, or a batch of operators each a list of pairs.
            Labels are qubit labels as :class:`PauliStrings` reads them.
        sites : int, optional
            The number of sites, for labels in the sparse form (``"X0 X1"``).
        """
        if isinstance(operators, (str, bytes)) or not isinstance(operators, Sequence):
            raise TypeError(f"operators must be a list of (label, coefficient) pairs or a list of such lists, "
                            f"not {type(operators).__name__}")
        one = len(operators) > 0 and _is_term(operators[0])
        batch: Sequence[Sequence[Any]] = [operators] if one else operators
        labels: list[str] = []
        values: list[complex] = []
        offsets = [0]
        for k, terms in enumerate(batch):
            if isinstance(terms, (str, bytes)) or not isinstance(terms, Sequence):
                raise TypeError(f"operators[{k}] must be a list of (label, coefficient) pairs")
            for t, term in enumerate(terms):
                where = f"operators[{k}][{t}]" if not one else f"operators[{t}]"
                if not _is_term(term):
                    raise TypeError(f"{where} must be a (label, coefficient) pair; got {term!r}")
                labels.append(term[0])
                values.append(complex(term[1]))
            offsets.append(len(labels))
        if sites is None and not labels:
            sites = 0
        strings = PauliStrings(labels, sites=sites)
        return cls(strings, np.array(values, dtype=np.complex128), np.array(offsets, dtype=np.int64))

    @classmethod
    def from_matrices(cls, matrices: ArrayLike, q: int = 2, *, tol: float = 1e-12) -> PauliSums:
        """The Pauli decomposition of qⁿ x qⁿ matrices: A = Σ_P (tr(P^† A) / qⁿ) P.

        For qubits by a Walsh–Hadamard transform of each of the matrix's d generalised
        diagonals (d² log d operations per matrix), for q > 2 by the n-dimensional discrete
        Fourier transform of each; practical up to about 12 qubits.

        Parameters
        ----------
        matrices : array_like, shape (m, qⁿ, qⁿ) or (qⁿ, qⁿ)
        q : int, optional
            The local dimension (default 2).
        tol : float, optional
            Coefficients of modulus at most `tol` are left out.

        Returns
        -------
        PauliSums
            One operator per matrix, its strings in increasing order of the X exponents, then
            of the Z exponents (read as digits, site 0 first).
        """
        q = local_dimension(q)
        tolerance = _non_negative_real(tol, "tol")
        array = np.asarray(matrices)
        stack = matrix_stack(array[None] if array.ndim == 2 else matrices, "matrices", allow_empty=True)
        d = stack.shape[1]
        n = _power_of(d, q)
        if n is None:
            raise ValueError(f"matrices must be q^n x q^n for q = {q}; got {d} x {d}")
        if q == 2:
            found = _native.sums_from_matrices(stack, n, tolerance)
            words, coefficients, offsets = (np.asarray(part) for part in found)
            return cls._from_arrays(PauliStrings._from_words(words, n, 2), coefficients, offsets)
        return _qudit_decomposition(stack, q, n, tolerance)

    # --- Shape and contents ------------------------------------------------------------

    @property
    def strings(self) -> PauliStrings:
        """Every term's string, operator by operator."""
        return self._strings

    @property
    def coefficients(self) -> NDArray[np.complex128]:
        """Every term's coefficient: a read-only complex128 array."""
        return self._coefficients

    @property
    def offsets(self) -> NDArray[np.int64]:
        """Operator k's terms are ``offsets[k]`` to ``offsets[k + 1] - 1``: read-only int64."""
        return self._offsets

    @property
    def sites(self) -> int:
        return self._strings.sites

    @property
    def q(self) -> int:
        return self._strings.q

    @property
    def term_counts(self) -> NDArray[np.int64]:
        """The number of terms of each operator."""
        return np.diff(self._offsets)

    def __len__(self) -> int:
        return int(self._offsets.shape[0] - 1)

    def __getitem__(self, key: Any) -> PauliSums:
        """Operators selected by an int (a batch of one), a slice, an int array or a bool mask."""
        m = len(self)
        if isinstance(key, (numbers.Integral, np.integer)) and not isinstance(key, (bool, np.bool_)):
            index = int(key)
            if not -m <= index < m:
                raise IndexError(f"index {index} is out of range for {m} operators")
            chosen = np.array([index % m])
        elif isinstance(key, slice):
            chosen = np.arange(m)[key]
        else:
            selector = np.asarray(key)
            if selector.dtype != np.bool_ and not np.issubdtype(selector.dtype, np.integer):
                raise TypeError(f"operators are indexed by ints, slices, int arrays or bool masks, "
                                f"not {selector.dtype}")
            chosen = np.arange(m)[selector]
        starts, stops = self._offsets[chosen], self._offsets[chosen + 1]
        lengths = stops - starts
        offsets = np.zeros(len(chosen) + 1, dtype=np.int64)
        np.cumsum(lengths, out=offsets[1:])
        terms = np.repeat(starts - offsets[:-1], lengths) + np.arange(offsets[-1])
        return PauliSums._from_arrays(self._strings[terms], self._coefficients[terms], offsets)

    def __eq__(self, other: object) -> bool:
        """Whether the two batches hold the same terms in the same order (see :meth:`simplify`)."""
        if not isinstance(other, PauliSums):
            return NotImplemented
        return (self._strings == other._strings and np.array_equal(self._coefficients, other._coefficients)
                and np.array_equal(self._offsets, other._offsets))

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        q = "" if self.q == 2 else f", q={self.q}"
        return f"PauliSums(m={len(self)}, terms={len(self._strings)}, sites={self.sites}{q})"

    def to_list(self) -> list[list[Term]]:
        """Each qubit operator as a list of (label, coefficient) pairs (the inverse of
        :meth:`from_list`)."""
        labels = self._strings.labels()
        values = self._coefficients.tolist()
        return [list(zip(labels[a:b], values[a:b])) for a, b in zip(self._offsets[:-1], self._offsets[1:])]

    def to_matrices(self, *, sparse: bool = False) -> Any:
        """The operators as matrices: (m, qⁿ, qⁿ) complex128, or a list of
        ``scipy.sparse.csr_array`` with ``sparse=True``.

        Raises
        ------
        MemoryError
            When the result cannot fit in this machine's memory (checked before anything is
            allocated).
        """
        return _string_matrices(self._strings, self._coefficients, self._offsets, sparse)

    # --- Algebra ---------------------------------------------------------------------------

    def adjoint(self) -> PauliSums:
        """The adjoint of each operator, term by term (qubit strings are Hermitian; for qudits
        (X^a Z^b)^† = ω^(a·b) X^(-a) Z^(-b))."""
        strings, coefficients = self._strings, self._coefficients.conj()
        if self.q != 2:
            x, z = strings.x.astype(np.int64), strings.z.astype(np.int64)
            q = self.q
            coefficients = coefficients * _roots_of_unity(q)[(x * z).sum(axis=1) % q]
            strings = PauliStrings.from_exponents((-x) % q, (-z) % q, q=q)
        return PauliSums._from_arrays(strings, coefficients, self._offsets)

    def simplify(self, tol: float = 1e-12) -> PauliSums:
        """Each operator with equal strings merged (in the order first seen) and the terms of
        modulus at most `tol` dropped."""
        tolerance = _non_negative_real(tol, "tol")
        found = _native.sums_simplify(self.sites, self.q, self._strings.words, self._coefficients, self._offsets,
                                      tolerance)
        return self._from_native(found)

    def commutator(self, other: PauliSums, *, tol: float = 1e-12) -> PauliSums:
        """``[self[k], other[k]]`` for each k, simplified with `tol` (a batch of one operator
        pairs with every operator of the other)."""
        if not isinstance(other, PauliSums):
            raise TypeError(f"other must be PauliSums, not {type(other).__name__}")
        self._strings._check_compatible(other._strings, "other")
        if len(self) != len(other) and len(self) != 1 and len(other) != 1:
            raise ValueError(f"elementwise operations need as many operators on each side (or one); "
                             f"got {len(self)} and {len(other)}")
        tolerance = _non_negative_real(tol, "tol")
        found = _native.sums_commutator(self.sites, self.q, self._strings.words, self._coefficients, self._offsets,
                                        other._strings.words, other._coefficients, other._offsets, tolerance)
        return self._from_native(found)

    # --- Other packages --------------------------------------------------------------------

    def to_qiskit(self) -> list[Any]:
        """Each operator as a Qiskit ``SparsePauliOp`` (qubits only).

        Site j is Qiskit's qubit j, so a Qiskit label is this label reversed (Qiskit writes
        qubit 0 rightmost, and puts it last in the Kronecker product of its matrices).
        """
        self._require_qubits("to_qiskit")
        try:
            from qiskit.quantum_info import SparsePauliOp  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            raise ImportError("to_qiskit needs Qiskit (pip install qiskit)") from None
        labels = [label[::-1] for label in self._strings.labels()]
        values = self._coefficients.tolist()
        bounds = self._offsets.tolist()
        return [SparsePauliOp.from_list(list(zip(labels[a:b], values[a:b])), num_qubits=self.sites)
                for a, b in zip(bounds[:-1], bounds[1:])]

    @classmethod
    def from_qiskit(cls, operators: Any) -> PauliSums:
        """Operators from a Qiskit ``SparsePauliOp`` or a sequence of them (qubit j becomes site
        j; see :meth:`to_qiskit`)."""
        ops = [operators] if hasattr(operators, "paulis") else list(operators)
        if not ops:
            raise ValueError("operators is empty")
        sites = ops[0].num_qubits
        batch: list[list[Term]] = []
        for k, op in enumerate(ops):
            if not hasattr(op, "paulis") or not hasattr(op, "to_list"):
                raise TypeError(f"operators[{k}] must be a qiskit SparsePauliOp, not {type(op).__name__}")
            if op.num_qubits != sites:
                raise ValueError(f"operators[{k}] has {op.num_qubits} qubits; operators[0] has {sites}")
            batch.append([(label[::-1], complex(c)) for label, c in op.to_list()])
        return cls.from_list(batch, sites=sites) if any(batch) else cls(PauliStrings([], sites=sites), [],
                                                                         np.zeros(len(ops) + 1, dtype=np.int64))

    def to_pennylane(self) -> list[Any]:
        """Each operator as a PennyLane ``PauliSentence`` on wires 0 ... n - 1 (site j is wire j;
        PennyLane's ``to_mat(wire_order=range(n))`` is then :meth:`to_matrices`)."""
        self._require_qubits("to_pennylane")
        try:
            from pennylane.pauli import PauliSentence, PauliWord  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            raise ImportError("to_pennylane needs PennyLane (pip install pennylane)") from None
        words = [PauliWord({j: c for j, c in enumerate(label) if c != "I"}) for label in self._strings.labels()]
        values = self._coefficients.tolist()
        bounds = self._offsets.tolist()
        result = []
        for a, b in zip(bounds[:-1], bounds[1:]):
            sentence = PauliSentence()
            for word, value in zip(words[a:b], values[a:b]):
                sentence[word] = sentence.get(word, 0) + value
            result.append(sentence)
        return result

    @classmethod
    def from_pennylane(cls, sentences: Any, *, wire_order: Optional[Sequence[Any]] = None) -> PauliSums:
        """Operators from a PennyLane ``PauliSentence`` (or ``PauliWord``) or a sequence of them.

        Parameters
        ----------
        sentences : PauliSentence, PauliWord, or a sequence of them
        wire_order : sequence, optional
            The wire of each site. By default integer wires are sites (n = largest + 1), and
            other wires take sites in sorted order (by their text).
        """
        one = isinstance(sentences, dict)
        items = [sentences] if one else list(sentences)
        for k, item in enumerate(items):
            if not isinstance(item, dict):
                raise TypeError(f"sentences[{k}] must be a PennyLane PauliSentence or PauliWord, "
                                f"not {type(item).__name__}")
        # A PauliWord is a dict {wire: letter}; a PauliSentence a dict {PauliWord: coefficient}.
        sentences_list = [dict(item) if _is_sentence(item) else {item: 1.0} for item in items]
        wires = {wire for sentence in sentences_list for word in sentence for wire in word}
        if wire_order is None:
            if all(isinstance(w, numbers.Integral) and int(w) >= 0 for w in wires):
                order = list(range(max(wires) + 1)) if wires else []
            else:
                order = sorted(wires, key=str)
        else:
            order = list(wire_order)
            missing = wires - set(order)
            if missing:
                raise ValueError(f"wire_order lacks the wires {sorted(missing, key=str)}")
        site = {wire: j for j, wire in enumerate(order)}
        n = len(order)
        batch = []
        for sentence in sentences_list:
            terms: list[Term] = []
            for word, value in sentence.items():
                label = ["I"] * n
                for wire, letter in word.items():
                    label[site[wire]] = letter
                terms.append(("".join(label), complex(value)))
            batch.append(terms)
        labels = [label for terms in batch for label, _ in terms]
        values = [value for terms in batch for _, value in terms]
        offsets = np.cumsum([0] + [len(terms) for terms in batch])
        strings = PauliStrings(labels) if labels else PauliStrings([], sites=n)
        if labels and strings.sites != n:
            strings = PauliStrings(labels, sites=n)
        return cls(strings, np.array(values, dtype=np.complex128), offsets)

    def _require_qubits(self, what: str) -> None:
        if self.q != 2:
            raise ValueError(f"{what} converts qubit operators; these have q = {self.q}")

    def _from_native(self, found: tuple[Any, Any, Any]) -> PauliSums:
        words, coefficients, offsets = (np.asarray(array) for array in found)
        strings = PauliStrings._from_words(words.reshape(len(coefficients), self._strings.words.shape[1]),
                                           self.sites, self.q)
        return PauliSums._from_arrays(strings, coefficients, offsets)

    def hermiticity(self, tol: float = 1e-12) -> NDArray[np.int8]:
        """For each operator: 1 when it is Hermitian, -1 when anti-Hermitian, 0 when neither;
        up to `tol` times its largest coefficient (a zero operator counts as Hermitian)."""
        tolerance = _non_negative_real(tol, "tol")
        m = len(self)
        scale = _largest_by_operator(np.abs(self._coefficients), self._offsets, m)
        adjoint = self.adjoint()
        result = np.zeros(m, dtype=np.int8)
        for sign, kind in ((-1.0, 1), (1.0, -1)):
            residual = _side_by_side(self, adjoint, sign).simplify(tol=0.0)
            largest = _largest_by_operator(np.abs(residual._coefficients), residual._offsets, m)
            result[(largest <= tolerance * scale) & (result == 0)] = kind
        return result


def _non_negative_real(value: Any, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    number = float(value)
    if not number >= 0.0:
        raise ValueError(f"{name} must be non-negative; got {value!r}")
    return number


def _largest_by_operator(values: NDArray[np.float64], offsets: NDArray[np.int64], m: int) -> NDArray[np.float64]:
    largest = np.zeros(m)
    np.maximum.at(largest, np.repeat(np.arange(m), np.diff(offsets)), values)
    return largest


def _side_by_side(a: PauliSums, b: PauliSums, sign: float) -> PauliSums:
    """a[k] + sign * b[k] for each k, unmerged: a's terms, then b's."""
    m = len(a)
    owner = np.concatenate([np.repeat(np.arange(m), a.term_counts), np.repeat(np.arange(m), b.term_counts)])
    order = np.argsort(owner, kind="stable")
    words = np.concatenate([a.strings.words, b.strings.words])[order]
    coefficients = np.concatenate([a.coefficients, sign * b.coefficients])[order]
    offsets = np.zeros(m + 1, dtype=np.int64)
    np.cumsum(a.term_counts + b.term_counts, out=offsets[1:])
    return PauliSums._from_arrays(PauliStrings._from_words(words, a.sites, a.q), coefficients, offsets)


def _is_sentence(item: dict[Any, Any]) -> bool:
    """Whether a dict is a PennyLane PauliSentence (keys are PauliWords) rather than a PauliWord."""
    return bool(item) and all(isinstance(key, dict) for key in item)


def _power_of(d: int, q: int) -> Optional[int]:
    """n with q**n == d, or None."""
    n, size = 0, 1
    while size < d:
        size *= q
        n += 1
    return n if size == d else None


def _qudit_decomposition(stack: NDArray[np.complex128], q: int, n: int, tol: float) -> PauliSums:
    """tr(W^† A) / d for every word W = X^a Z^b: for each shift a, the DFT over c of the
    generalised diagonal f_a(c) = A[c + a, c] (digit by digit), as W^† A has the trace
    Σ_c ω^(-b·c) A[c + a, c]."""
    d = q**n
    digits = (np.arange(d)[:, None] // q ** np.arange(n - 1, -1, -1)[None, :]) % q   # (d, n), site 0 first
    places = q ** np.arange(n - 1, -1, -1)
    rows = (((digits[:, None, :] + digits[None, :, :]) % q) @ places)                 # rows[a, c]
    columns = np.broadcast_to(np.arange(d), (d, d))
    x_parts, z_parts, values, offsets = [], [], [], [0]
    for matrix in stack:
        diagonals = matrix[rows, columns].reshape((d,) + (q,) * n)
        transform = np.fft.fftn(diagonals, axes=tuple(range(1, n + 1))).reshape(d, d) / d
        a, b = np.nonzero(np.abs(transform) > tol)
        x_parts.append(digits[a])
        z_parts.append(digits[b])
        values.append(transform[a, b])
        offsets.append(offsets[-1] + len(a))
    strings = PauliStrings.from_exponents(np.concatenate(x_parts).reshape(-1, n),
                                          np.concatenate(z_parts).reshape(-1, n), q=q)
    return PauliSums._from_arrays(strings, np.concatenate(values).astype(np.complex128),
                                  np.array(offsets, dtype=np.int64))


def _is_term(item: Any) -> bool:
    return (isinstance(item, tuple) and len(item) == 2 and isinstance(item[0], str)
            and isinstance(item[1], numbers.Number))
