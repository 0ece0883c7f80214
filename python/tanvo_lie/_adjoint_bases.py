"""What the adjoint simulator needs from a basis, for each way a basis can be given.

A basis adapter offers: its size n; the phases φ_a with B_a = φ_a H_a, H_a Hermitian (NaN where
an element has none); its Gram matrix; its commutator tensor; a closure check; the coefficients of
an operator given in the basis's own terms (a matrix here); and the traces (tr(B_a^† ρ))_a of a
state given in its own terms (density matrix, state vector, bit string). Indices and coefficient
vectors are read by the simulator itself, whatever the basis. A basis of Pauli strings joins as
one more adapter (`basis_adapter` picks it by type): its tensor from `structure_tensor`, operators
as string sums, states as bit strings read off the strings' Z parts, with no 2^n object.
"""
from __future__ import annotations

from typing import Any, Optional

import numpy as np
from numpy.typing import NDArray

from ._arguments import matrix_stack
from ._tensor import CoefficientTensor, structure_tensor

# Structure constants below this times the basis's largest norm are rounding, not terms.
_TENSOR_TOL = 1e-14


def basis_adapter(basis: Any, tol: float) -> MatrixBasis:
    """The adapter for a basis given to the simulator's constructor."""
    return MatrixBasis(basis, tol)


class MatrixBasis:
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

    def tensor(self, threads: Optional[int]) -> CoefficientTensor:
        """The commutator tensor of the basis the simulation runs on."""
        flat = self.internal_stack.reshape(self.n, -1)
        scale = float(np.linalg.norm(flat, axis=1).max())
        return structure_tensor(self.internal_stack, tol=_TENSOR_TOL * scale, threads=threads)

    def check_closed(self) -> None:
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
        raise ValueError(f"basis is not closed under commutators: [basis[{i}], basis[{j}]] lies outside its "
                         f"span, with a residual of {relative[j]:.3g} relative to |basis[{i}]| |basis[{j}]| "
                         f"(the largest among the brackets with basis[{i}]); complete it with lie_closure")

    def _residuals(self, matrices: NDArray[np.complex128]) -> NDArray[np.float64]:
        flat = matrices.reshape(len(matrices), -1)
        return np.asarray(np.linalg.norm(flat - (flat @ self._q.conj()) @ self._q.T, axis=1), dtype=np.float64)

    def coefficients(self, operator: Any, what: str) -> NDArray[np.complex128]:
        """The coefficients of a d x d operator in the basis; ValueError when it lies outside the
        span (relative residual above tol)."""
        matrix = _square(operator, self.d, what)
        projected = self._q.conj().T @ matrix.reshape(-1)
        coefficients = np.linalg.solve(self._r, projected)
        residual = float(np.linalg.norm(matrix.reshape(-1) - self._q @ projected))
        norm = float(np.linalg.norm(matrix))
        if residual > self.tol * max(norm, 1e-300):
            raise ValueError(f"{what} lies outside the algebra the basis spans (residual {residual / norm:.3g} "
                             "relative to its norm): the adjoint simulation is exact only inside it; simulate "
                             "on a basis that also spans it (see the notes of AdjointSimulator)")
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

    def internal_coefficients(self, c: NDArray[np.complex128]) -> NDArray[np.complex128]:
        return c

    def internal_traces(self, s: NDArray[np.complex128]) -> NDArray[np.complex128]:
        return s

    def tensor(self, threads: Optional[int]) -> CoefficientTensor:
        return self._tensor

    def check_closed(self) -> None:
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
