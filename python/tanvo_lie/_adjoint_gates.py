"""The gates of an adjoint simulation, in a real frame of the algebra.

Each gate exp(-iθG) acts on coefficient vectors as exp(θÂ), Â the real sparse matrix of
-ad_X for X = -iG. This module builds Â from a coefficient tensor, finds the form its
exponential takes (plane rotations when Â pairs basis elements, as for a Pauli string; a short
polynomial in Â when Â has few distinct eigenvalues; a scaled Taylor series otherwise), and holds
the straightforward NumPy sweeps for values and adjoint gradients that the extension's kernel
replaces (tests compare the two).
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Optional, cast

import numpy as np
from numpy.typing import NDArray

ROTATIONS, POLYNOMIAL, TAYLOR = 0, 1, 2
FORMS = {"rotations": ROTATIONS, "polynomial": POLYNOMIAL, "taylor": TAYLOR}

# Few distinct eigenvalues: at most this many distinct values of -Â² (2m - 1 products).
MAX_NODES = 4
# The Taylor series is summed over steps hÂ with ‖hÂ‖₂ at most this.
TAYLOR_STEP_NORM = 2.0


@dataclass
class SparseMatrix:
    """A real n x n matrix as coordinate terms sorted by (row, col) without repeats."""
    n: int
    rows: NDArray[np.int64]
    cols: NDArray[np.int64]
    vals: NDArray[np.float64]

    @classmethod
    def from_terms(cls, n: int, rows: NDArray[Any], cols: NDArray[Any], vals: NDArray[Any],
                   drop: float) -> SparseMatrix:
        """Sums repeated (row, col) terms and drops those of magnitude at most `drop`."""
        keys = rows.astype(np.int64) * n + cols.astype(np.int64)
        order = np.argsort(keys, kind="stable")
        keys, vals = keys[order], vals[order]
        if keys.size:
            starts = np.flatnonzero(np.r_[True, keys[1:] != keys[:-1]])
            keys, vals = keys[starts], np.add.reduceat(vals, starts)
        keep = np.abs(vals) > drop
        keys, vals = keys[keep], vals[keep]
        return cls(n, keys // n, keys % n, np.ascontiguousarray(vals, dtype=np.float64))

    def matvec(self, x: NDArray[np.float64]) -> NDArray[np.float64]:
        return np.asarray(np.bincount(self.rows, weights=self.vals * x[self.cols], minlength=self.n),
                          dtype=np.float64)

    def transpose(self) -> SparseMatrix:
        order = np.lexsort((self.rows, self.cols))
        return SparseMatrix(self.n, self.cols[order], self.rows[order], self.vals[order])

    def norm_bound(self) -> float:
        """An upper bound on the spectral norm: min(Frobenius, sqrt(‖·‖₁ ‖·‖∞))."""
        if not self.vals.size:
            return 0.0
        magnitude = np.abs(self.vals)
        one = np.bincount(self.cols, weights=magnitude, minlength=self.n).max()
        infinity = np.bincount(self.rows, weights=magnitude, minlength=self.n).max()
        return float(min(np.sqrt((magnitude**2).sum()), np.sqrt(one * infinity)))


@dataclass
class Generator:
    """One gate generator: Â and Âᵀ, and the form of exp(θÂ)."""
    matrix: SparseMatrix
    transposed: SparseMatrix
    form: int
    # ROTATIONS: Â e_u = a e_v and Â e_v = b e_u for each pair (u, v); every other column is 0.
    pairs: tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.float64], NDArray[np.float64]] = field(
        default_factory=lambda: (np.zeros(0, np.int64),) * 2 + (np.zeros(0),) * 2)
    # POLYNOMIAL: the distinct eigenvalues of -Â², in the order their Newton form uses.
    nodes: NDArray[np.float64] = field(default_factory=lambda: np.zeros(0))
    # TAYLOR: the bound on ‖Â‖₂ that sets the number of steps.
    norm: float = 0.0


class RealFrame:
    """A coefficient tensor in the real frame the simulation runs in.

    With the phases φ_a of a basis whose elements are B_a = φ_a H_a (H_a Hermitian), the frame
    is B'_a = (i / φ_a) B_a, anti-Hermitian, where structure constants, generators, observables
    and states are all real. Without phases the frame is the basis itself and the complex
    matrices are realified (n complex coordinates become 2n real ones).
    """

    def __init__(self, indices: NDArray[np.int64], values: NDArray[np.complex128], n: int,
                 phases: Optional[NDArray[np.complex128]]) -> None:
        self.n = n
        self.phases = phases
        if phases is not None:
            i, j, k = indices.T
            framed = values * (1j * phases[k] / (phases[i] * phases[j]))
            scale = np.abs(framed).max(initial=0.0)
            if np.abs(framed.imag).max(initial=0.0) > 1e-9 * max(scale, 1e-300):
                raise ValueError("the tensor does not belong to the basis's phases: in the anti-Hermitian "
                                 "frame its coefficients are not real")
            self.values: NDArray[Any] = framed.real
        else:
            self.values = values
        self.complex = phases is None
        self.size = 2 * n if self.complex else n
        self.indices = indices
        self.row_starts = np.searchsorted(indices[:, 0], np.arange(n + 1))
        self.drop = 1e-14 * float(np.abs(self.values).max(initial=0.0))

    def observable(self, coefficients: NDArray[np.complex128], what: str, tol: float) -> NDArray[np.float64]:
        """The real vector w of a Hermitian operator of these coefficients (-φ c in the frame)."""
        return self._real(coefficients, what, tol)

    def state(self, traces: NDArray[np.complex128], what: str, tol: float) -> NDArray[np.float64]:
        """The real vector v of a state's traces (tr(B_a^† ρ))_a (-φ s in the frame)."""
        return self._real(traces, what, tol)

    def generator(self, coefficients: NDArray[np.complex128], what: str, tol: float) -> NDArray[Any]:
        """The frame coordinates x of X = -iG for the coefficients c of a Hermitian G: -φ c, real,
        in the frame; -i c without phases."""
        if self.complex:
            return -1j * coefficients
        return self._real(coefficients, what, tol)

    def _real(self, vector: NDArray[np.complex128], what: str, tol: float) -> NDArray[np.float64]:
        if self.complex:
            return np.concatenate([vector.real, vector.imag])
        assert self.phases is not None
        framed = -self.phases * vector
        if np.abs(framed.imag).max(initial=0.0) > tol * max(np.abs(framed).max(initial=0.0), 1e-300):
            raise ValueError(f"{what} is not Hermitian (its coefficients have the wrong phases)")
        return np.ascontiguousarray(framed.real)

    def adjoint_matrix(self, x: NDArray[Any]) -> SparseMatrix:
        """Â = -ad_X, (ad_X)_kj = sum_i x_i T[i, j, k], for X of frame coordinates x (from
        `generator`), realified without phases."""
        support = np.flatnonzero(x)
        pieces = [np.arange(self.row_starts[i], self.row_starts[i + 1]) for i in support]
        terms = np.concatenate(pieces) if pieces else np.zeros(0, np.int64)
        weights = -np.repeat(x[support], [len(p) for p in pieces]) if pieces else np.zeros(0)
        vals = weights * self.values[terms]
        k, j = self.indices[terms, 2], self.indices[terms, 1]
        n = self.n
        if not self.complex:
            return SparseMatrix.from_terms(n, k, j, vals.real, self.drop * np.abs(x).max(initial=0.0))
        re, im = vals.real, vals.imag
        rows = np.concatenate([k, k, k + n, k + n])
        cols = np.concatenate([j, j + n, j, j + n])
        return SparseMatrix.from_terms(2 * n, rows, cols, np.concatenate([re, -im, im, re]),
                                       self.drop * np.abs(x).max(initial=0.0))


def classify(matrix: SparseMatrix, form: Optional[str] = None) -> Generator:
    """The generator of Â with the cheapest exact form of its exponential (or the one named)."""
    transposed = matrix.transpose()
    if form in (None, "rotations"):
        pairs = _pairs(matrix)
        if pairs is not None:
            return Generator(matrix, transposed, ROTATIONS, pairs=pairs)
        if form == "rotations":
            raise ValueError("the generator does not pair basis elements")
    if form in (None, "polynomial"):
        nodes = _few_eigenvalues(matrix)
        if nodes is not None:
            return Generator(matrix, transposed, POLYNOMIAL, nodes=nodes)
        if form == "polynomial":
            raise ValueError("the generator has too many distinct eigenvalues")
    return Generator(matrix, transposed, TAYLOR, norm=matrix.norm_bound())


def _pairs(m: SparseMatrix) -> Optional[tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.float64],
                                                NDArray[np.float64]]]:
    """(u, v, a, b) when Â has at most one term in each row and column, none on the diagonal, and
    Â[v, u] ≠ 0 exactly when Â[u, v] ≠ 0; None otherwise."""
    if (np.bincount(m.rows, minlength=m.n) > 1).any() or (np.bincount(m.cols, minlength=m.n) > 1).any():
        return None
    if (m.rows == m.cols).any():
        return None
    partner = np.full(m.n, -1, dtype=np.int64)
    value = np.zeros(m.n)
    partner[m.cols] = m.rows  # column c maps to row partner[c]
    value[m.cols] = m.vals
    if (partner[m.rows] != m.cols).any():
        return None
    first = m.cols < m.rows
    u, v = m.cols[first], m.rows[first]
    return u, v, value[u], value[v]  # Â e_u = a e_v, Â e_v = b e_u


def _few_eigenvalues(m: SparseMatrix) -> Optional[NDArray[np.float64]]:
    """The distinct eigenvalues ν of N = -Â² when there are at most MAX_NODES of them, all real
    and well apart, and N is diagonalisable (its minimal polynomial is prod (N - ν)); else None."""
    if m.n == 0 or not m.vals.size:
        return np.zeros(1)
    scale = m.norm_bound() ** 2  # ≥ ‖N‖₂

    def apply(y: NDArray[np.float64]) -> NDArray[np.float64]:
        return -m.matvec(m.matvec(y))

    rng = np.random.default_rng(20231)
    basis = [_unit(rng.standard_normal(m.n))]
    h = np.zeros((MAX_NODES + 1, MAX_NODES + 1))
    size = 0
    for step in range(MAX_NODES + 1):
        y = apply(basis[step])
        for _ in range(2):
            for i, q in enumerate(basis):
                c = q @ y
                y -= c * q
                h[i, step] += c
        beta = np.linalg.norm(y)
        if beta <= 1e-10 * scale:
            size = step + 1
            break
        if step == MAX_NODES:
            return None
        h[step + 1, step] = beta
        basis.append(y / beta)
    eigenvalues = np.linalg.eigvals(h[:size, :size])
    if np.abs(eigenvalues.imag).max() > 1e-9 * scale:
        return None
    nodes = np.sort(eigenvalues.real)
    nodes[np.abs(nodes) <= 1e-12 * scale] = 0.0
    if size > 1 and np.diff(nodes).min() < 1e-3 * max(np.abs(nodes).max(), 1e-300):
        return None
    # A second vector checks that prod (N - ν) vanishes on every eigenspace, not only on those
    # the first one reached.
    y = _unit(rng.standard_normal(m.n))
    bound = 1.0
    for nu in nodes:
        y = apply(y) - nu * y
        bound *= scale + abs(nu)
    if np.linalg.norm(y) > 1e-11 * bound:
        return None
    return _leja(nodes)


def _unit(y: NDArray[np.float64]) -> NDArray[np.float64]:
    return y / np.linalg.norm(y)


def _leja(nodes: NDArray[np.float64]) -> NDArray[np.float64]:
    """The nodes in Leja order (largest first, then each farthest from those before), which keeps
    Newton's divided differences stable."""
    rest = list(nodes)
    ordered = [max(rest, key=abs)]
    rest.remove(ordered[0])
    while rest:
        best = max(rest, key=lambda x: np.prod([abs(x - y) for y in ordered]))
        ordered.append(best)
        rest.remove(best)
    return np.array(ordered)


def polynomial_weights(nodes: NDArray[np.float64], theta: float) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Newton divided differences of f(ν) = cos(θ√ν) and g(ν) = sin(θ√ν)/√ν on the nodes, so that
    exp(θÂ) = F(N) + Â G(N) with N = -Â² and F, G the Newton polynomials (both f and g are entire
    in ν: for ν < 0 they are cosh and sinh)."""
    f = np.empty(len(nodes))
    g = np.empty(len(nodes))
    for i, nu in enumerate(nodes):
        root = math.sqrt(abs(nu))
        if nu >= 0:
            f[i] = math.cos(theta * root)
            g[i] = math.sin(theta * root) / root if root > 0 else theta
        else:
            f[i] = math.cosh(theta * root)
            g[i] = math.sinh(theta * root) / root
    for level in range(1, len(nodes)):
        for i in range(len(nodes) - 1, level - 1, -1):
            gap = nodes[i] - nodes[i - level]
            f[i] = (f[i] - f[i - 1]) / gap
            g[i] = (g[i] - g[i - 1]) / gap
    return f, g


def taylor_terms(step_norm: float) -> int:
    """The smallest m with step_norm^(m+1) / (m+1)! below 2^-56: the terms a step keeps."""
    term, m = 1.0, 0
    while True:
        term *= step_norm / (m + 1)
        if term < 2.0**-56:
            return m
        m += 1


def apply_exponential(gen: Generator, theta: float, y: NDArray[np.float64], *,
                      transposed: bool = False) -> NDArray[np.float64]:
    """exp(θÂ) y (exp(θÂᵀ) y when `transposed`), in the generator's form."""
    matrix = gen.transposed if transposed else gen.matrix
    if gen.form == ROTATIONS:
        u, v, a, b = gen.pairs
        if transposed:
            a, b = b, a
        return rotate_pairs(u, v, a, b, theta, y)
    if gen.form == POLYNOMIAL:
        df, dg = polynomial_weights(gen.nodes, theta)
        w = y
        head = df[0] * w
        tail = dg[0] * w
        for j in range(1, len(gen.nodes)):
            w = -matrix.matvec(matrix.matvec(w)) - gen.nodes[j - 1] * w
            head = head + df[j] * w
            tail = tail + dg[j] * w
        return cast(NDArray[np.float64], head + matrix.matvec(tail))
    steps = max(1, math.ceil(abs(theta) * gen.norm / TAYLOR_STEP_NORM))
    h = theta / steps
    terms = taylor_terms(abs(h) * gen.norm)
    for _ in range(steps):
        term, total = y, y.copy()
        for k in range(1, terms + 1):
            term = (h / k) * matrix.matvec(term)
            total += term
        y = total
    return y


def rotate_pairs(u: NDArray[np.int64], v: NDArray[np.int64], a: NDArray[np.float64], b: NDArray[np.float64],
                 theta: float, y: NDArray[np.float64]) -> NDArray[np.float64]:
    """exp(θÂ) y for Â e_u = a e_v, Â e_v = b e_u: on each plane, cos(ωθ) + sin(ωθ)/ω Â with
    ω² = -ab (cosh and sinh for ab > 0, 1 + θÂ for ab = 0)."""
    product = -a * b
    root = np.sqrt(np.abs(product))
    with np.errstate(divide="ignore", invalid="ignore"):
        c = np.where(product > 0, np.cos(theta * root), np.cosh(theta * root))
        s = np.where(product > 0, np.sin(theta * root) / root, np.sinh(theta * root) / root)
    s = np.where(root > 0, s, theta)
    c = np.where(root > 0, c, 1.0)
    out = y.copy()
    yu, yv = y[u], y[v]
    out[u] = c * yu + s * b * yv
    out[v] = c * yv + s * a * yu
    return out


def derivative_term(gen: Generator, left: NDArray[np.float64], right: NDArray[np.float64]) -> float:
    """leftᵀ Â right."""
    if gen.form == ROTATIONS:
        u, v, a, b = gen.pairs
        return float(left[v] @ (a * right[u]) + left[u] @ (b * right[v]))
    return float(left @ gen.matrix.matvec(right))


def sweep(generators: list[Generator], gate_generators: NDArray[np.int64], angles: NDArray[np.float64],
          state: NDArray[np.float64], observable: NDArray[np.float64],
          gradient: bool) -> tuple[float, Optional[NDArray[np.float64]]]:
    """vᵀ M_1 ⋯ M_L w with M_k = exp(θ_k Â_k), and its derivative in every θ_k by one backward
    sweep: with r = M_k ⋯ M_L w and lᵀ = vᵀ M_1 ⋯ M_(k-1), ∂/∂θ_k = lᵀ Â_k r; r is then undone
    by exp(-θ_k Â_k) and l advanced by exp(θ_k Â_kᵀ)."""
    right = observable
    for k in range(len(angles) - 1, -1, -1):
        right = apply_exponential(generators[gate_generators[k]], angles[k], right)
    value = float(state @ right)
    if not gradient:
        return value, None
    left = state
    derivative = np.empty(len(angles))
    for k in range(len(angles)):
        gen = generators[gate_generators[k]]
        derivative[k] = derivative_term(gen, left, right)
        right = apply_exponential(gen, -angles[k], right)
        left = apply_exponential(gen, angles[k], left, transposed=True)
    return value, derivative
