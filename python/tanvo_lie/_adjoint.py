"""AdjointSimulator: expectation values and adjoint gradients of circuits whose gates and
observable lie in a Lie algebra, computed on vectors of dim g coefficients (never 2^n states)."""
from __future__ import annotations

import numbers
from collections import OrderedDict
from typing import Any, Callable, Optional, Sequence

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _adjoint_gates as gates_
from ._adjoint_bases import MatrixBasis, StringBasis, TensorBasis, basis_adapter, solve_gram
from ._arguments import thread_count
from ._pauli import PauliStrings
from ._pauli_sums import PauliSums
from ._tensor import CoefficientTensor

from . import _native

# The kernel of the extension; the NumPy sweeps stand in for a build without it.
_native_sweeps: Optional[Callable[..., Any]] = getattr(_native, "adjoint_sweeps", None)

# Compiled gate generators kept per simulator (least recently used dropped first).
_CACHE_SIZE = 4096


class AdjointSimulator:
    r"""Expectation values and gradients of circuits inside a Lie algebra, by its adjoint action.

    For a circuit U = U_L ⋯ U_1 with U_k = exp(-i θ_k G_k), each G_k Hermitian and in i·g, and an
    observable O in i·g, the Heisenberg observable U^† O U stays in g: the simulator evolves its
    dim g coefficients by exp(θ_k Â_k), Â_k the adjoint matrix of -iG_k built from the structure
    constants, and pairs them with the state's traces (tr(B_a^† ρ))_a.

    Parameters
    ----------
    basis : (n, d, d) array_like, sequence of (d, d) array_like, PauliStrings or PauliSums
        A basis of the algebra, closed under commutators, orthonormal or not. Elements that are
        Hermitian or anti-Hermitian up to a phase let gates and observables be given as indices.
        A basis of Pauli strings or sums of strings (such as :func:`lie_closure` returns for
        strings) is read from its strings: its tensor, operators and bit-string states need no
        2^n object, so it works at a hundred qubits.
    tensor : CoefficientTensor, optional
        The basis's commutator tensor (computed when not given, keeping every coefficient above
        1e-14 times the basis's largest norm: a tensor computed with a coarser `tol` limits the
        accuracy to that `tol`). A basis that is not orthogonal is simulated on an orthonormalized
        copy, whose tensor is computed afresh.
    threads : int, optional
        Worker threads for a batch of angle vectors (default: every core this process may run
        on). Results do not depend on it.
    tol : float, optional
        Relative tolerance of the checks: closure of the basis, membership of gates and
        observables in the algebra, Hermiticity.

    Raises
    ------
    ValueError
        The basis is linearly dependent or not closed (the message names the bracket furthest
        outside its span and that distance); a tensor of another size or kind.

    Notes
    -----
    Operators (gates G_k and the observable) are given as: a basis index a, meaning the
    Hermitian H_a with B_a = φ_a H_a (φ_a = 1 for a Hermitian element, i for an anti-Hermitian
    one: the gate of an element iP is exp(-iθP)); a coefficient vector c of length n (the
    operator Σ c_a B_a, as :meth:`coefficients` returns it); a d x d matrix; or PauliStrings or
    PauliSums of one operator. ``gates`` may also be one PauliStrings or PauliSums holding a gate
    per string or sum. States are given as a density matrix, a state vector, a
    computational-basis bit string (site 0 leftmost; for a string basis also a sequence of 0 and
    1) or the trace vector :meth:`state_coefficients` returns. For a string basis the traces of
    a bit string b are ``tr(B_a^† |b⟩⟨b|) = Σ_t conj(c_t) ⟨b|P_t|b⟩`` over the terms c_t P_t of B_a,
    non-zero only for strings of I and Z (a sign (-1) per Z on a 1), and its Gram matrix is
    tr(B_a^† B_b) = 2^n <B_a, B_b> in the normalised inner product of PauliSums.

    The method is exact only inside g. For an observable outside it, simulate on a larger
    algebra that also holds it: the span of O and of its nested commutators with the gate
    generators is closed under the gates' adjoint action, and ``lie_closure`` of the basis and
    iO contains it.

    Each distinct generator is compiled once: a single Pauli string, or any generator whose
    adjoint matrix pairs basis elements, becomes plane rotations; one with at most four distinct
    values among the eigenvalues of -Â² a polynomial in Â (2m - 1 sparse products); any other a
    scaled Taylor series on the sparse Â, accurate to rounding.

    Examples
    --------
    >>> import numpy as np, tanvo_lie
    >>> x = np.array([[0, 1], [1, 0]]); z = np.diag([1, -1])
    >>> xx, zi, iz = np.kron(x, x), np.kron(z, np.eye(2)), np.kron(np.eye(2), z)
    >>> basis = tanvo_lie.lie_closure([xx, zi, iz])            # the Ising pair's algebra, dim 6
    >>> sim = tanvo_lie.AdjointSimulator(basis)
    >>> value, grad = sim.gradient([xx, zi, iz], [0.4, 0.1, -0.2], "00", xx + zi + iz)
    >>> print(f"{value:.6f}", np.round(grad, 6))
    1.250897 [-3.146253  1.406113  1.406113]

    The same circuit on the basis as strings (no 4 x 4 matrix):

    >>> from tanvo_lie import PauliStrings, PauliSums
    >>> gens = PauliStrings(["XX", "ZI", "IZ"])
    >>> sim = tanvo_lie.AdjointSimulator(tanvo_lie.lie_closure(gens))
    >>> value, grad = sim.gradient(gens, [0.4, 0.1, -0.2], "00", PauliSums(gens, None, [0, 3]))
    >>> print(f"{value:.6f}", np.round(grad, 6))
    1.250897 [-3.146253  1.406113  1.406113]
    """

    def __init__(self, basis: Any, *, tensor: Optional[CoefficientTensor] = None, threads: Optional[int] = None,
                 tol: float = 1e-9) -> None:
        tol = _tolerance(tol)
        adapter = basis_adapter(basis, tol, thread_count(threads))
        if tensor is None or adapter.orthonormalized:
            tensor = adapter.tensor(threads)
        else:
            _check_tensor(tensor, adapter.n)
        adapter.check_closed(tensor)
        self._setup(adapter, tensor, threads, tol)

    @classmethod
    def from_tensor(cls, tensor: CoefficientTensor, *, gram: Any = None, hermitian: bool = False,
                    threads: Optional[int] = None, tol: float = 1e-9) -> AdjointSimulator:
        """A simulator for a basis known only through its commutator tensor.

        Parameters
        ----------
        tensor : CoefficientTensor
            The commutator tensor [B_i, B_j] = Σ_k T[i, j, k] B_k of a closed basis (its closure
            cannot be checked without the basis).
        gram : float, (n,) or (n, n) array_like, optional
            The Gram matrix tr(B_a^† B_b): a number for an orthogonal basis of equal norms, a
            vector for its diagonal; by default the identity. It turns traces into coefficients
            (:meth:`coefficients` with ``traces=True``).
        hermitian : bool, optional
            Whether the basis elements are Hermitian (then the structure constants are
            imaginary) rather than anti-Hermitian (real constants, the default).
        threads, tol
            As for the constructor.

        Gates and observables are then given as indices or coefficient vectors, states as their
        trace vectors (tr(B_a^† ρ))_a.
        """
        tol = _tolerance(tol)
        if not isinstance(hermitian, (bool, np.bool_)):
            raise TypeError(f"hermitian must be a bool, not {type(hermitian).__name__}")
        self = cls.__new__(cls)
        adapter = TensorBasis(tensor, gram, bool(hermitian))
        self._setup(adapter, tensor, threads, tol)
        return self

    def _setup(self, adapter: MatrixBasis | StringBasis | TensorBasis, tensor: CoefficientTensor, threads: Optional[int],
               tol: float) -> None:
        self._basis = adapter
        self._tol = tol
        self._threads = thread_count(threads)
        phases = adapter.internal_phases
        known = bool(np.isfinite(phases).all())
        self._frame = gates_.RealFrame(tensor.indices, tensor.values, tensor.shape[0], phases if known else None)
        self._compiled: OrderedDict[Any, gates_.Generator] = OrderedDict()

    @property
    def dimension(self) -> int:
        """n = dim g, the length of every coefficient vector."""
        return int(self._basis.n)

    @property
    def gram(self) -> Any:
        """The Gram matrix tr(B_a^† B_b) (a number or vector when it is a multiple of the identity
        or diagonal)."""
        return self._basis.gram

    # ----- the two hooks through which a basis reads operators and states -----

    def coefficients(self, operator: Any, *, traces: bool = False) -> NDArray[np.complex128]:
        """The coefficients c of an operator in the basis: operator = Σ_a c_a B_a.

        Parameters
        ----------
        operator : int, (n,) array_like, (d, d) array_like, PauliStrings or PauliSums
            A basis index (the Hermitian H_a = B_a / φ_a), a coefficient vector (returned as
            complex128), or a matrix or one operator as strings, which must lie in the basis's
            span.
        traces : bool, optional
            `operator` is the vector (tr(B_a^† X))_a; its coefficients solve gram c = traces.
        """
        return self._coefficients(operator, "operator", traces=traces)

    def state_coefficients(self, state: Any) -> NDArray[np.complex128]:
        """The traces (tr(B_a^† ρ))_a of a state, which pair with the Heisenberg observable.

        `state` is a density matrix, a state vector or a computational-basis bit string (site 0
        leftmost: ``"01"`` is ``|0>|1>``; for a string basis also ``[0, 1]``), or such a trace
        vector of length n, returned as it is.
        """
        return self._state_coefficients(state, "state")

    def _coefficients(self, operator: Any, what: str, *, traces: bool = False) -> NDArray[np.complex128]:
        n = self._basis.n
        if _is_index(operator):
            a = int(operator)
            if not 0 <= a < n:
                raise IndexError(f"{what}: basis index {a} is out of range for a basis of {n} elements")
            phase = self._basis.phases[a]
            if not np.isfinite(phase):
                raise ValueError(f"{what}: basis[{a}] is neither Hermitian nor anti-Hermitian up to a phase; "
                                 "give the operator as a matrix or coefficient vector")
            unit = np.zeros(n, dtype=np.complex128)
            unit[a] = 1 / phase
            return unit
        strings = isinstance(operator, (str, PauliStrings, PauliSums))
        array = np.asarray(operator) if not strings else None
        if array is not None and array.ndim == 1:
            if array.shape != (n,):
                raise ValueError(f"{what}: a coefficient vector must have length {n}; got {array.shape[0]}")
            c = _numeric_vector(array, n, what)
            return solve_gram(self._basis.gram, c) if traces else c
        if traces:
            raise ValueError(f"{what}: traces must be a vector of length {n}")
        return self._basis.coefficients(operator, what)

    def _state_coefficients(self, state: Any, what: str) -> NDArray[np.complex128]:
        n = self._basis.n
        if isinstance(state, (PauliStrings, PauliSums)):
            raise TypeError(f"{what} must be a bit string, a state vector, a density matrix or a trace vector, "
                            f"not {type(state).__name__}")
        if not isinstance(state, str):
            array = np.asarray(state)
            if array.shape == (n,) and self._basis.d != n and not self._basis.reads_digits(array):
                return _numeric_vector(array, n, what)
        return self._basis.state_traces(state, what)

    # ----- circuits -----

    def expectation(self, gates: Sequence[Any], angles: ArrayLike, state: Any, observable: Any) -> Any:
        """⟨O⟩ = tr(O U ρ U^†) after the circuit U = U_L ⋯ U_1, U_k = exp(-i θ_k G_k).

        Parameters
        ----------
        gates : sequence of L operators, or an (L,) array of basis indices
            The generators G_k, Hermitian and in i·g, in the order they act (see the class notes
            for the forms an operator may take).
        angles : (L,) or (B, L) array_like of float
            The angles θ_k, or a batch of B angle vectors evaluated in one call on
            ``threads`` threads.
        state : density matrix, state vector, bit string or trace vector
        observable : operator
            Hermitian and in i·g.

        Returns
        -------
        float, or (B,) ndarray for a batch
        """
        values, _ = self._run(gates, angles, state, observable, gradient=False)
        return values

    def gradient(self, gates: Sequence[Any], angles: ArrayLike, state: Any, observable: Any) -> tuple[Any, Any]:
        """⟨O⟩ and its derivative in every angle, by one forward and one backward sweep.

        Arguments as for :meth:`expectation`.

        Returns
        -------
        value : float, or (B,) ndarray for a batch
        gradient : (L,) ndarray, or (B, L) for a batch
            ∂⟨O⟩/∂θ_k (a gate's angle appearing in several gates: add their entries).
        """
        return self._run(gates, angles, state, observable, gradient=True)

    def gate_forms(self, gates: Sequence[Any]) -> list[str]:
        """How each gate's exponential is applied: 'rotations', 'polynomial' or 'taylor'."""
        generators, ids = self._circuit(gates)
        names = {v: k for k, v in gates_.FORMS.items()}
        return [names[generators[i].form] for i in ids]

    def _run(self, gates: Any, angles: Any, state: Any, observable: Any, *, gradient: bool,
             method: str = "native", form: Optional[str] = None) -> tuple[Any, Any]:
        generators, ids = self._circuit(gates, form)
        theta, batched = _angles(angles, len(ids))
        basis = self._basis
        v = self._frame.state(basis.internal_traces(self._state_coefficients(state, "state")), "state", self._tol)
        w = self._frame.observable(basis.internal_coefficients(self._coefficients(observable, "observable")),
                                   "observable", self._tol)
        if method == "native" and _native_sweeps is not None:
            values, derivatives = _native_sweeps(_packed(generators, self._frame.size), ids, theta, v, w, gradient,
                                                 self._threads)
            values, derivatives = np.asarray(values), (np.asarray(derivatives) if gradient else None)
        else:
            results = [gates_.sweep(generators, ids, row, v, w, gradient) for row in theta]
            values = np.array([r[0] for r in results])
            derivatives = np.array([r[1] for r in results]) if gradient else None
        if not batched:
            return float(values[0]), (None if derivatives is None else derivatives[0])
        return values, derivatives

    def _circuit(self, gates: Any, form: Optional[str] = None) -> tuple[list[gates_.Generator], NDArray[np.int64]]:
        """The distinct compiled generators of the gates, and which one each gate uses."""
        if isinstance(gates, np.ndarray) and gates.ndim == 1 and gates.dtype != np.bool_ and \
                np.issubdtype(gates.dtype, np.integer):
            # Indices, the common form of long circuits: one compilation per distinct index.
            distinct, inverse = np.unique(gates, return_inverse=True)
            found, ids = self._circuit(distinct.tolist(), form)
            return found, np.ascontiguousarray(ids[inverse], dtype=np.int64)
        if isinstance(gates, (PauliStrings, PauliSums)) and isinstance(self._basis, StringBasis):
            # Strings, the common form of long circuits on a string basis: basis elements read as
            # their indices, others fitted in batches.
            indices = self._basis.gate_indices(gates)
            if indices is not None:
                return self._circuit(indices, form)
            rows, which = self._basis.batch_coefficients(gates, "gates")
            found, ids = self._circuit(list(rows), form)
            return found, np.ascontiguousarray(ids[which], dtype=np.int64)
        items = _gate_items(gates)
        keys: dict[Any, int] = {}
        chosen: list[gates_.Generator] = []
        ids = np.empty(len(items), dtype=np.int64)
        for k, item in enumerate(items):
            if _is_index(item):
                key: Any = (int(item), form)
                coefficients = None
            else:
                coefficients = self._coefficients(item, f"gates[{k}]")
                key = (coefficients.tobytes(), form)
            slot = keys.get(key)
            if slot is None:
                if coefficients is None:
                    coefficients = self._coefficients(item, f"gates[{k}]")
                slot = keys[key] = len(chosen)
                chosen.append(self._compile(key, coefficients, f"gates[{k}]", form))
            ids[k] = slot
        return chosen, ids

    def _compile(self, key: Any, coefficients: NDArray[np.complex128], what: str,
                 form: Optional[str]) -> gates_.Generator:
        compiled = self._compiled.get(key)
        if compiled is not None:
            self._compiled.move_to_end(key)
            return compiled
        x = self._frame.generator(self._basis.internal_coefficients(coefficients), what, self._tol)
        compiled = gates_.classify(self._frame.adjoint_matrix(x), form)
        self._compiled[key] = compiled
        if len(self._compiled) > _CACHE_SIZE:
            self._compiled.popitem(last=False)
        return compiled


def _packed(generators: list[gates_.Generator], n: int) -> tuple[Any, ...]:
    """The generators as the flat arrays the kernel reads (src/simulation/adjoint_sweeps.hpp)."""
    forms = np.array([g.form for g in generators], dtype=np.int64)
    pair_offsets = np.cumsum([0] + [len(g.pairs[0]) for g in generators], dtype=np.int64)
    term_offsets = np.cumsum([0] + [len(g.matrix.vals) for g in generators], dtype=np.int64)
    node_offsets = np.cumsum([0] + [len(g.nodes) for g in generators], dtype=np.int64)

    def cat(parts: list[NDArray[Any]], dtype: Any) -> NDArray[Any]:
        return np.ascontiguousarray(np.concatenate(parts) if parts else np.zeros(0), dtype=dtype)

    return (n, forms,
            pair_offsets, cat([g.pairs[0] for g in generators], np.int64), cat([g.pairs[1] for g in generators], np.int64),
            cat([g.pairs[2] for g in generators], np.float64), cat([g.pairs[3] for g in generators], np.float64),
            term_offsets,
            cat([g.matrix.rows for g in generators], np.int64), cat([g.matrix.cols for g in generators], np.int64),
            cat([g.matrix.vals for g in generators], np.float64),
            cat([g.transposed.rows for g in generators], np.int64), cat([g.transposed.cols for g in generators], np.int64),
            cat([g.transposed.vals for g in generators], np.float64),
            node_offsets, cat([g.nodes for g in generators], np.float64),
            np.array([g.norm for g in generators], dtype=np.float64))


def _gate_items(gates: Any) -> Sequence[Any]:
    if isinstance(gates, (PauliStrings, PauliSums)):  # one gate per string or sum
        return [gates[k] for k in range(len(gates))]
    if isinstance(gates, np.ndarray):
        if gates.ndim == 0:
            raise TypeError("gates must be a sequence of operators or an array of basis indices, not a scalar")
        if gates.ndim == 1 and gates.dtype != np.bool_ and np.issubdtype(gates.dtype, np.integer):
            return list(gates.tolist())
        return list(gates)
    if isinstance(gates, (str, bytes)) or not isinstance(gates, Sequence):
        raise TypeError(f"gates must be a sequence of operators or an array of basis indices, "
                        f"not {type(gates).__name__}")
    return gates


def _angles(angles: Any, count: int) -> tuple[NDArray[np.float64], bool]:
    array = np.asarray(angles)
    if array.dtype == np.bool_ or not (np.issubdtype(array.dtype, np.integer) or np.issubdtype(array.dtype, np.floating)):
        raise TypeError(f"angles must be real numbers, not {array.dtype}")
    if array.ndim not in (1, 2) or array.shape[-1] != count:
        raise ValueError(f"angles must have shape ({count},) or (B, {count}) for {count} gates; got {array.shape}")
    theta = np.ascontiguousarray(array, dtype=np.float64)
    if not np.isfinite(theta).all():
        raise ValueError("angles has non-finite entries")
    return (theta if array.ndim == 2 else theta.reshape(1, count)), array.ndim == 2


def _is_index(item: Any) -> bool:
    return isinstance(item, numbers.Integral) and not isinstance(item, (bool, np.bool_))


def _numeric_vector(array: NDArray[Any], n: int, what: str) -> NDArray[np.complex128]:
    if array.dtype == np.bool_ or not np.issubdtype(array.dtype, np.number):
        raise TypeError(f"{what} must hold numbers, not {array.dtype}")
    vector = array.astype(np.complex128)
    if not np.isfinite(vector).all():
        raise ValueError(f"{what} has non-finite entries")
    return vector


def _check_tensor(tensor: Any, n: int) -> None:
    if not isinstance(tensor, CoefficientTensor):
        raise TypeError(f"tensor must be a CoefficientTensor, not {type(tensor).__name__}")
    if tensor.kind != "commutator" or tensor.shape[0] != n:
        raise ValueError(f"tensor must be the commutator tensor of the {n} basis elements; got "
                         f"kind={tensor.kind!r}, shape={tensor.shape}")


def _tolerance(tol: Any) -> float:
    if isinstance(tol, (bool, np.bool_)) or not isinstance(tol, numbers.Real):
        raise TypeError(f"tol must be a real number, not {type(tol).__name__}")
    if not 0 < float(tol) < 1:
        raise ValueError(f"tol must lie in (0, 1); got {tol!r}")
    return float(tol)
