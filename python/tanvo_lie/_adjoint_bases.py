"""What the adjoint simulator needs from a basis, for each way a basis can be given.

A basis adapter offers: its size n; the phases φ_a with B_a = φ_a H_a, H_a Hermitian (NaN where
an element has none); its Gram matrix; its commutator tensor; a closure check; the coefficients of
an operator given in the basis's own terms (a matrix here); and the traces (tr(B_a^† ρ))_a of a
state given in its own terms (density matrix, state vector, bit string). Indices and coefficient
vectors are read by the simulator itself, whatever the basis. A basis of Pauli strings or sums of
strings (`StringBasis`) has its tensor from `structure_tensor` of the strings, operators given as
strings or sums and states as bit strings read off the strings' Z parts, with no 2^n object.
"""
from __future__ import annotations

from typing import Any, Optional

import numpy as np
from numpy.typing import NDArray

from ._arguments import matrix_stack
from ._pauli import PauliStrings
from ._pauli_sums import PauliSums
from ._string_overlaps import StringOverlaps, combinations, sum_phases
from ._string_tensor import string_structure_tensor
from ._tensor import CoefficientTensor, structure_tensor

# Structure constants below this times the basis's largest norm are rounding, not terms.
_TENSOR_TOL = 1e-14


def basis_adapter(basis: Any, tol: float, threads: int) -> MatrixBasis | StringBasis:
    """The adapter for a basis given to the simulator's constructor."""
    if isinstance(basis, (PauliStrings, PauliSums)):
        return StringBasis(basis, tol, threads)
    return MatrixBasis(basis, tol)


class _Frame:
    """What a basis adapter shares: the move to an orthonormal anti-Hermitian basis
    B~ = B' R^-1 (B'_a = (i / φ_a) B_a, R^T R the real Gram matrix of B', in any inner product
    proportional to the trace's) when the basis is not orthogonal, and back."""

    phases: NDArray[np.complex128]
    _to_orthonormal: Optional[NDArray[Any]] = None

    def reads_digits(self, array: NDArray[Any]) -> bool:
        """Whether an array is a basis state's digits (only string bases read them)."""
        return False

    @property
    def orthonormalized(self) -> bool:
        """Whether the simulation runs on an orthonormalized basis (its tensor then computed afresh)."""
        return self._to_orthonormal is not None

    def internal_coefficients(self, c: NDArray[np.complex128]) -> NDArray[np.complex128]:
        """Coefficients on the basis the simulation runs on: R (-i φ ∘ c) when orthonormalized."""
        if self._to_orthonormal is None:
            return c
        return np.asarray(self._to_orthonormal @ (-1j * self.phases * c), dtype=np.complex128)

    def internal_traces(self, s: NDArray[np.complex128]) -> NDArray[np.complex128]:
        """Traces on the basis the simulation runs on: R^-T (-i φ ∘ s) when orthonormalized."""
        if self._to_orthonormal is None:
            return s
        return np.asarray(np.linalg.solve(self._to_orthonormal.T, -1j * self.phases * s), dtype=np.complex128)


class MatrixBasis(_Frame):
    """A basis given as d x d matrices, orthonormal or not."""

    def __init__(self, matrices: Any, tol: float) -> None:
        self.stack = matrix_stack(matrices, "basis")
        self.n, self.d = self.stack.shape[0], self.stack.shape[1]
        self.tol = tol
        self._flat = self.stack.reshape(self.n, -1)
        self.gram = self._flat.conj() @ self._flat.T
        eigenvalues = np.linalg.eigvalsh(self.gram)
        if eigenvalues[0] <= 1e-12 * eigenvalues[-1]:
            raise ValueError("basis: the matrices are linearly dependent (their Gram matrix is singular)")
        # Projections onto the span by the QR factors of the flattened basis, stable whatever
        # the Gram matrix's condition.
        self._q, self._r = np.linalg.qr(self._flat.T)
        self.phases = _hermitian_phases(self.stack, tol)
        self.internal_phases = self.phases
        self._to_orthonormal: Optional[NDArray[Any]] = None
        diagonal = np.abs(np.diagonal(self.gram))
        skewed = np.abs(self.gram - np.diag(np.diagonal(self.gram))).max() > 1e-12 * diagonal.max()
        if skewed and np.isfinite(self.phases).all():
            # A non-orthogonal basis makes Â far from normal and exp(θÂ) ill-conditioned: the
            # simulation runs on the orthonormal anti-Hermitian basis B~ = B' R^-1 instead, with
            # B'_a = (i / φ_a) B_a and R^T R the (real) Gram matrix of B'.
            frame = self.stack * (1j / self.phases)[:, None, None]
            flat = frame.reshape(self.n, -1)
            upper: NDArray[Any] = np.linalg.cholesky((flat.conj() @ flat.T).real).T
            self._to_orthonormal = upper
            self.internal_stack = np.einsum("ab,bij->aij", np.linalg.inv(upper).T, frame)
            self.internal_phases = np.full(self.n, 1j)
        else:
            self.internal_stack = self.stack

    def tensor(self, threads: Optional[int]) -> CoefficientTensor:
        """The commutator tensor of the basis the simulation runs on."""
        flat = self.internal_stack.reshape(self.n, -1)
        scale = float(np.linalg.norm(flat, axis=1).max())
        return structure_tensor(self.internal_stack, tol=_TENSOR_TOL * scale, threads=threads)

    def check_closed(self, tensor: CoefficientTensor) -> None:
        """ValueError naming the bracket furthest outside the span, when the basis is not closed.

        Each [B_i, R] with a random combination R of the basis is tested first (n brackets); only
        when one leaves the span are the brackets [B_i, B_j] of the worst i computed.
        """
        rng = np.random.default_rng(7)
        weights = rng.standard_normal(self.n)
        probe = np.tensordot(weights / np.linalg.norm(weights), self.stack, axes=1)
        residuals = self._residuals(self.stack @ probe - probe @ self.stack)
        norms = np.linalg.norm(self._flat, axis=1)
        relative = residuals / (norms * np.linalg.norm(probe))
        if relative.max() <= self.tol:
            return
        i = int(np.argmax(relative))
        brackets = self.stack[i] @ self.stack - self.stack @ self.stack[i]
        relative = self._residuals(brackets) / (norms[i] * norms)
        j = int(np.argmax(relative))
        raise _not_closed(i, j, relative[j])

    def _residuals(self, matrices: NDArray[np.complex128]) -> NDArray[np.float64]:
        flat = matrices.reshape(len(matrices), -1)
        return np.asarray(np.linalg.norm(flat - (flat @ self._q.conj()) @ self._q.T, axis=1), dtype=np.float64)

    def coefficients(self, operator: Any, what: str) -> NDArray[np.complex128]:
        """The coefficients of a d x d operator (or of strings) in the basis; ValueError when it
        lies outside the span (relative residual above tol)."""
        if isinstance(operator, (PauliStrings, PauliSums)):
            sums = PauliSums(operator) if isinstance(operator, PauliStrings) else operator
            if len(sums) != 1:
                raise ValueError(f"{what} must be one operator; got {len(sums)}")
            operator = sums.to_matrices()[0] if sums.q**sums.sites == self.d else np.zeros(0)
        matrix = _square(operator, self.d, what)
        projected = self._q.conj().T @ matrix.reshape(-1)
        coefficients = np.linalg.solve(self._r, projected)
        residual = float(np.linalg.norm(matrix.reshape(-1) - self._q @ projected))
        _check_inside(residual, float(np.linalg.norm(matrix)), self.tol, what)
        return np.asarray(coefficients, dtype=np.complex128)

    def state_traces(self, state: Any, what: str) -> NDArray[np.complex128]:
        """(tr(B_a^† ρ))_a of a density matrix, state vector or computational-basis bit string."""
        if isinstance(state, str):
            index = _bit_string_index(state, self.d, what)
            return np.conj(self.stack[:, index, index])
        array = np.asarray(state)
        if array.dtype == np.bool_ or not np.issubdtype(array.dtype, np.number):
            raise TypeError(f"{what} must hold numbers, not {array.dtype}")
        if array.shape == (self.d,):
            psi = array.astype(np.complex128)
            if not np.isfinite(psi).all():
                raise ValueError(f"{what} has non-finite entries")
            return np.asarray(np.conj(np.einsum("i,aij,j->a", psi.conj(), self.stack, psi, optimize=True)),
                              dtype=np.complex128)
        if array.shape == (self.d, self.d):
            rho = _square(array, self.d, what)
            if np.abs(rho - rho.conj().T).max() > self.tol * max(np.abs(rho).max(), 1e-300):
                raise ValueError(f"{what} is not Hermitian")
            return np.asarray(self._flat.conj() @ rho.reshape(-1), dtype=np.complex128)
        raise ValueError(f"{what} must be a ({self.d},) state vector, a ({self.d}, {self.d}) density matrix, a bit "
                         f"string of {self.d.bit_length() - 1} characters, or the ({self.n},) vector that "
                         f"state_coefficients returns; got shape {array.shape}")


class StringBasis(_Frame):
    """A basis given as PauliStrings or PauliSums, orthonormal or not, read without 2^n objects.

    Inner products are those of PauliSums, <A, B> = tr(A^† B) / qⁿ; the Gram matrix the simulator
    shows is the trace's, qⁿ times theirs (a float: 2^100 is about 1.3e30).
    """

    def __init__(self, basis: PauliStrings | PauliSums, tol: float, threads: int) -> None:
        sums = (PauliSums(basis) if isinstance(basis, PauliStrings) else basis).simplify(tol=0.0)
        self.n, self.tol, self._threads = len(sums), tol, threads
        if self.n == 0:
            raise ValueError("basis is empty")
        if (sums.term_counts == 0).any():
            raise ValueError(f"basis[{int(np.argmin(sums.term_counts))}] is zero: the basis is not linearly "
                             "independent")
        self.overlaps = StringOverlaps(sums)
        self.sites, self.q = sums.sites, sums.q
        self.d = self.q**self.sites
        self.single = self.overlaps.single
        gram = self.overlaps.gram(threads)
        self._gram = gram  # in the normalised inner product
        scale = self.overlaps.scale
        self.gram = (scale * float(gram[0]) if gram.ndim == 1 and np.all(gram == gram[0])
                     else scale * gram)
        self.phases = self.internal_phases = sum_phases(sums, tol)
        self.internal = sums
        if gram.ndim == 2 and np.isfinite(self.phases).all():
            # As for matrices: the simulation runs on the orthonormal anti-Hermitian sums B~.
            frame_units = 1j / self.phases
            real_gram = (np.conj(frame_units)[:, None] * gram * frame_units[None, :]).real
            upper: NDArray[Any] = np.linalg.cholesky(real_gram).T
            self._to_orthonormal = upper
            self.internal = combinations(np.linalg.inv(upper).T * frame_units[None, :], sums)
            self.internal_phases = np.full(self.n, 1j)

    def tensor(self, threads: Optional[int]) -> CoefficientTensor:
        """The commutator tensor of the sums the simulation runs on, from their strings."""
        largest = float(np.sqrt(np.max(np.abs(self._gram)))) if self._to_orthonormal is None else 1.0
        gram = None
        if not self.single and self._to_orthonormal is None:  # the Gram matrix found already
            gram = np.diag(self._gram).astype(np.complex128) if self._gram.ndim == 1 else self._gram
        return string_structure_tensor(self.internal, "commutator", tol=_TENSOR_TOL * largest, rows=None,
                                       threads=threads, gram=gram)

    def check_closed(self, tensor: CoefficientTensor) -> None:
        """ValueError naming a bracket outside the span, when the basis is not closed.

        For single strings, row i of the tensor must hold a term for every string anticommuting
        with string i (their bracket is 2 P_i P_j, a string, in the span or orthogonal to it): a
        count, without a product. For sums, each bracket [B_i, R] with a random combination R is
        projected on the span (n brackets; the worst i then against every B_j), as for matrices.
        """
        if self.single and self._to_orthonormal is None:
            self._check_strings_closed(tensor)
            return
        self._check_sums_closed()

    def _check_strings_closed(self, tensor: CoefficientTensor) -> None:
        gap = self.overlaps.strings_gap(tensor, self._threads)
        if gap is not None:
            raise _not_closed(*gap)

    def _check_sums_closed(self) -> None:
        internal = self.overlaps if self._to_orthonormal is None else StringOverlaps(self.internal)
        gap = internal.sums_gap(self._solver(internal_basis=True), self._internal_norms(), self.tol)
        if gap is not None:
            raise _not_closed(*gap)

    def _internal_norms(self) -> NDArray[np.float64]:
        if self._to_orthonormal is not None:
            return np.ones(self.n)
        return np.sqrt(np.abs(self._gram if self._gram.ndim == 1 else np.diagonal(self._gram)))

    def _solver(self, internal_basis: bool = False) -> Any:
        """Overlaps (rows) to coefficients: by the Gram matrix of the given or internal basis."""
        gram = np.ones(self.n) if internal_basis and self._to_orthonormal is not None else self._gram
        if gram.ndim == 1:
            return lambda overlaps: overlaps / gram[None, :]
        return lambda overlaps: np.linalg.solve(gram, overlaps.T).T

    def coefficients(self, operator: Any, what: str) -> NDArray[np.complex128]:
        """The coefficients of an operator given as strings, a sum or a matrix (a few sites);
        ValueError when it lies outside the span (relative residual above tol)."""
        sums = self.overlaps.operator(operator, what)
        coefficients, residual, norm = self.overlaps.fit(sums, self._solver())
        _check_inside(float(residual[0]), float(norm[0]), self.tol, what)
        return np.asarray(coefficients[0], dtype=np.complex128)

    def gate_indices(self, gates: PauliStrings | PauliSums) -> Optional[NDArray[np.int64]]:
        """The basis indices of gates that are strings of a basis of single strings, each the
        basis element over its phase (as for lie_closure's i P: index a is exp(-iθ P_a)); None
        when any is not."""
        if not self.single or self._to_orthonormal is not None or gates.q != self.q or gates.sites != self.sites:
            return None
        if isinstance(gates, PauliSums):
            if not ((gates.term_counts == 1).all() and (gates.coefficients == 1).all()):
                return None
            gates = gates.strings
        basis = self.overlaps.sums
        where = basis.strings.index_of(gates)
        if (where < 0).any() or (basis.coefficients[where] != self.phases[where]).any():
            return None
        return np.asarray(where, dtype=np.int64)

    def batch_coefficients(self, gates: PauliStrings | PauliSums, what: str
                           ) -> tuple[NDArray[np.complex128], NDArray[np.int64]]:
        """The coefficients of each distinct operator of a batch (rows), and which row each
        operator has: a circuit of many gates given as strings is fitted in a few calls."""
        if isinstance(gates, PauliStrings):
            distinct, inverse = gates.unique(return_inverse=True)  # type: ignore[misc]
            gates = PauliSums(distinct)
        else:
            inverse = np.arange(len(gates))
        if gates.q != self.q or gates.sites != self.sites:
            raise ValueError(f"{what} act on {gates.sites} sites of dimension {gates.q}; the basis on "
                             f"{self.sites} sites of dimension {self.q}")
        rows = np.zeros((len(gates), self.n), dtype=np.complex128)
        block = max(1, (1 << 22) // self.n)
        for start in range(0, len(gates), block):
            part = gates[start: start + block].simplify(tol=0.0)
            coefficients, residuals, norms = self.overlaps.fit(part, self._solver())
            for k in range(len(part)):
                _check_inside(float(residuals[k]), float(norms[k]), self.tol,
                              f"{what}[{int(np.argmax(inverse == start + k))}]")
            rows[start: start + len(part)] = coefficients
        return rows, np.asarray(inverse, dtype=np.int64)

    def reads_digits(self, array: NDArray[Any]) -> bool:
        """Whether an array is a basis state's digits, one integer per site (read before trace vectors)."""
        return array.shape == (self.sites,) and (array.dtype == np.bool_ or np.issubdtype(array.dtype, np.integer))

    def state_traces(self, state: Any, what: str) -> NDArray[np.complex128]:
        """(tr(B_a^† ρ))_a of a bit string (or digits), or of a state vector or density matrix."""
        traces = self.overlaps.state_traces(state, what)
        if traces is None:
            raise ValueError(f"{what} must be a bit string of {self.sites} digits (site 0 first), a state vector or "
                             f"density matrix (up to a few sites), or the ({self.n},) vector that "
                             f"state_coefficients returns; got shape {np.shape(state)}")
        return traces


class TensorBasis:
    """A basis known only through its commutator tensor (and optionally its Gram matrix)."""

    def __init__(self, tensor: CoefficientTensor, gram: Any, hermitian: bool) -> None:
        if not isinstance(tensor, CoefficientTensor):
            raise TypeError(f"tensor must be a CoefficientTensor, not {type(tensor).__name__}")
        if tensor.kind != "commutator":
            raise ValueError(f"tensor must be a commutator tensor; got kind={tensor.kind!r}")
        self.n = tensor.shape[0]
        self.d = None
        self._tensor = tensor
        self.gram = _gram(gram, self.n)
        self.phases = self.internal_phases = np.full(self.n, 1.0 if hermitian else 1j, dtype=np.complex128)
        self.orthonormalized = False

    def reads_digits(self, array: NDArray[Any]) -> bool:
        return False

    def internal_coefficients(self, c: NDArray[np.complex128]) -> NDArray[np.complex128]:
        return c

    def internal_traces(self, s: NDArray[np.complex128]) -> NDArray[np.complex128]:
        return s

    def tensor(self, threads: Optional[int]) -> CoefficientTensor:
        return self._tensor

    def check_closed(self, tensor: CoefficientTensor) -> None:
        """Nothing to check: the basis is known only through its tensor."""

    def coefficients(self, operator: Any, what: str) -> NDArray[np.complex128]:
        raise TypeError(f"{what}: this simulator knows its basis only through its tensor; give operators as "
                        f"basis indices or ({self.n},) coefficient vectors")

    def state_traces(self, state: Any, what: str) -> NDArray[np.complex128]:
        raise TypeError(f"{what}: this simulator knows its basis only through its tensor; give the state as the "
                        f"({self.n},) vector (tr(B_a^† ρ))_a")


def _gram(gram: Any, n: int) -> Any:
    """The Gram matrix as given: None (the identity), a positive number (that times the identity),
    a vector (a diagonal) or an (n, n) Hermitian matrix."""
    if gram is None:
        return 1.0
    array = np.asarray(gram)
    if array.dtype == np.bool_ or not np.issubdtype(array.dtype, np.number):
        raise TypeError(f"gram must hold numbers, not {array.dtype}")
    if array.shape not in ((), (n,), (n, n)):
        raise ValueError(f"gram must be a number, an ({n},) vector or an ({n}, {n}) matrix; got shape {array.shape}")
    if not np.isfinite(array).all():
        raise ValueError("gram has non-finite entries")
    if array.ndim < 2 and not (np.isreal(array).all() and (array.real > 0).all()):
        raise ValueError("gram must be positive")
    return float(array) if array.ndim == 0 else array.astype(np.complex128 if array.ndim == 2 else np.float64)


def solve_gram(gram: Any, traces: NDArray[np.complex128]) -> NDArray[np.complex128]:
    """The coefficients c of an operator in span(B) from its traces: gram c = traces."""
    if np.ndim(gram) == 2:
        return np.asarray(np.linalg.solve(gram, traces), dtype=np.complex128)
    return np.asarray(traces / gram, dtype=np.complex128)


def _check_inside(residual: float, norm: float, tol: float, what: str) -> None:
    if residual > tol * max(norm, 1e-300):
        raise ValueError(f"{what} lies outside the algebra the basis spans (residual {residual / norm:.3g} "
                         "relative to its norm): the adjoint simulation is exact only inside it; simulate "
                         "on a basis that also spans it (see the notes of AdjointSimulator)")


def _not_closed(i: int, j: int, relative: float) -> ValueError:
    return ValueError(f"basis is not closed under commutators: [basis[{i}], basis[{j}]] lies outside its "
                      f"span, with a residual of {relative:.3g} relative to |basis[{i}]| |basis[{j}]| "
                      f"(the largest among the brackets with basis[{i}]); complete it with lie_closure")


def _hermitian_phases(stack: NDArray[np.complex128], tol: float) -> NDArray[np.complex128]:
    """φ_a with B_a / φ_a Hermitian (1 for Hermitian, i for anti-Hermitian elements), NaN where
    there is none. From B_ij = φ h and B_ji = φ conj(h) at the largest entry: φ² = B_ij / conj(B_ji)."""
    n, d = stack.shape[0], stack.shape[1]
    flat = np.abs(stack.reshape(n, -1))
    i, j = np.divmod(np.argmax(flat, axis=1), d)
    rows = np.arange(n)
    with np.errstate(divide="ignore", invalid="ignore"):
        phases = np.sqrt(stack[rows, i, j] / np.conj(stack[rows, j, i]))
    phases[~np.isfinite(phases)] = np.nan
    with np.errstate(invalid="ignore"):
        flip = (phases.real < -1e-12) | ((np.abs(phases.real) <= 1e-12) & (phases.imag < 0))
        phases = np.where(flip, -phases, phases)
        phases.real[np.abs(phases.real) <= 1e-15] = 0.0  # exactly 1 or i for (anti-)Hermitian elements
        phases.imag[np.abs(phases.imag) <= 1e-15] = 0.0
    with np.errstate(divide="ignore", invalid="ignore"):
        hermitian = stack / phases[:, None, None]
        deviation = np.abs(hermitian - hermitian.conj().transpose(0, 2, 1)).max(axis=(1, 2))
    ok = np.isfinite(phases) & (deviation <= tol * flat.max(axis=1))
    return np.asarray(np.where(ok, phases, np.nan), dtype=np.complex128)


def _square(operator: Any, d: int, what: str) -> NDArray[np.complex128]:
    array = np.asarray(operator)
    if array.dtype == np.bool_ or not np.issubdtype(array.dtype, np.number):
        raise TypeError(f"{what} must hold numbers, not {array.dtype}")
    if array.shape != (d, d):
        raise ValueError(f"{what} must be a ({d}, {d}) matrix; got shape {array.shape}")
    matrix = array.astype(np.complex128)
    if not np.isfinite(matrix).all():
        raise ValueError(f"{what} has non-finite entries")
    return matrix


def _bit_string_index(bits: str, d: int, what: str) -> int:
    qubits = d.bit_length() - 1
    if d != 1 << qubits or len(bits) != qubits or set(bits) - {"0", "1"}:
        raise ValueError(f"{what}: a bit string needs a basis of 2^q x 2^q matrices and q characters 0 or 1 "
                         f"(here d = {d}); got {bits!r}")
    return int(bits, 2)  # site 0 is the most significant bit, as in kron(site 0, site 1, ...)
