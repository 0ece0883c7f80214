"""The parts of an algebra that are not reductive: brackets of subspaces (for the derived and
lower central series), a Levi subalgebra, and the Cartan subalgebra and weights of any algebra
as the Fitting null component of a random element. Dense linear algebra throughout: these
algebras are small in practice (a reductive algebra never comes here)."""
from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

from ._roots import Terms


def span(rows: NDArray, threshold: float) -> NDArray:
    """An orthonormal basis (rows) of the span of `rows`: singular values above `threshold`."""
    if rows.shape[0] == 0:
        return rows.reshape(0, rows.shape[1])
    _, s, vh = np.linalg.svd(rows, full_matrices=False)
    return vh[s > threshold]


def null_space(matrix: NDArray, threshold: float) -> NDArray:
    """Rows x with matrix @ x = 0 (singular values at most `threshold`)."""
    n = matrix.shape[1]
    if matrix.shape[0] == 0:
        return np.eye(n, dtype=matrix.dtype)
    _, s, vh = np.linalg.svd(matrix)
    rank = int(np.sum(s > threshold))
    return np.conj(vh[rank:])


def brackets(terms: Terms, left: NDArray, right: NDArray) -> NDArray:
    """Every [u, v] with u a row of `left`, v a row of `right`, as rows."""
    out = [right @ terms.ad(u).dense() for u in left]
    return np.concatenate(out) if out else np.zeros((0, terms.n), right.dtype)


def series(terms: Terms, start: NDArray, lower: bool, threshold: float) -> list[NDArray]:
    """The derived series (g, [g, g], [[g, g], [g, g]], ...) or, with `lower`, the lower central
    series (g, [g, g], [g, [g, g]], ...), until it stops shrinking."""
    found = [start]
    while found[-1].shape[0]:
        partner = start if lower else found[-1]
        following = span(brackets(terms, partner, found[-1]), threshold)
        if following.shape[0] == found[-1].shape[0]:
            break
        found.append(following)
    return found


def coordinates(frame: NDArray, vectors: NDArray) -> NDArray:
    """The coordinates of row vectors in the rows of an invertible frame."""
    return np.linalg.solve(frame.T, vectors.T).T


def levi(terms: Terms, radical: NDArray, threshold: float) -> NDArray:
    """A Levi subalgebra: a semisimple subalgebra complementary to the radical.

    Starting from any complement S of the radical R, each step works modulo the next term
    R_(k+1) = [R_k, R_k] of the radical's derived series: it corrects each x_i in S by y_i in R_k
    so that [x_i + y_i, x_j + y_j] = sum_l c_ijl (x_l + y_l) modulo R_(k+1), a linear system
    that Levi's theorem says is solvable.
    """
    n = terms.n
    derived_radical = series(terms, radical, False, threshold)
    complement = null_space(radical.conj(), threshold) if radical.shape[0] else np.eye(n)
    # complement: rows orthogonal to the radical; with the radical they span g.
    levi_rows = complement.astype(np.result_type(complement, terms.values, radical))
    for k in range(len(derived_radical) - 1):
        current, following = derived_radical[k], derived_radical[k + 1]
        step = _step_basis(current, following, threshold)   # V_k: R_k = V_k + R_(k+1)
        if step.shape[0] == 0:
            continue
        rest = null_space(np.concatenate((levi_rows, step, following)).conj(), threshold)
        frame = np.concatenate((levi_rows, step, following, rest))
        m, p = levi_rows.shape[0], step.shape[0]

        def split(vectors: NDArray) -> tuple[NDArray, NDArray]:
            c = coordinates(frame, vectors)
            return c[:, :m], c[:, m:m + p]

        pairs = [(i, j) for i in range(m) for j in range(i + 1, m)]
        if not pairs:
            break
        products = brackets(terms, levi_rows, levi_rows).reshape(m, m, n)
        onto_step = brackets(terms, levi_rows, step).reshape(m, p, n)   # [x_i, v_a]
        moved = np.stack([split(onto_step[i])[1] for i in range(m)])  # moved[i, a, b]
        system = np.zeros((len(pairs), p, m, p), np.result_type(moved, terms.values))
        rhs = np.zeros((len(pairs), p), system.dtype)
        for row, (i, j) in enumerate(pairs):
            c, r = split(products[i, j][None])
            rhs[row] = -r[0]
            system[row, :, j, :] += moved[i].T        # [x_i, y_j]
            system[row, :, i, :] -= moved[j].T        # -[x_j, y_i]
            for l in range(m):
                system[row, np.arange(p), l, np.arange(p)] -= c[0, l]
        flat = system.reshape(len(pairs) * p, m * p)
        solution = np.linalg.lstsq(flat, rhs.reshape(-1), rcond=None)[0]
        levi_rows = levi_rows + solution.reshape(m, p) @ step
    return levi_rows


def _step_basis(current: NDArray, following: NDArray, threshold: float) -> NDArray:
    """Rows spanning a complement of `following` inside `current`."""
    if following.shape[0] == 0:
        return current
    q = span(following, threshold)
    rest = current - (current @ q.conj().T) @ q
    return span(rest, threshold)


def fitting(terms: Terms, rng: np.random.Generator, cluster: float = 1e-4):
    """A Cartan subalgebra (the Fitting null component of ad x for a random x) as rows, and the
    weights of its action on g: each distinct non-zero weight's values on the rows."""
    n = terms.n
    x = rng.normal(size=n) if terms.real else rng.normal(size=n) + 1j * rng.normal(size=n)
    acting = terms.ad(x).dense().T
    eigenvalues = np.linalg.eigvals(acting)
    scale = max(float(np.linalg.norm(acting, 2)), 1e-300)
    groups = _clusters(eigenvalues, cluster * scale)
    pieces, sizes = [], []
    for centre, size in groups:
        power = np.linalg.matrix_power((acting - centre * np.eye(n)) / scale, size)
        _, _, vh = np.linalg.svd(power)
        pieces.append(np.conj(vh[n - size:]))
        sizes.append(size)
    zero = int(np.argmin([abs(c) for c, _ in groups]))
    if abs(groups[zero][0]) > cluster * scale:
        zero = -1
    if zero < 0:
        return np.zeros((0, n)), np.zeros((0, 0), complex)
    cartan = pieces[zero]
    if terms.real:
        stacked = np.concatenate((cartan.real, cartan.imag))
        cartan = np.linalg.svd(stacked, full_matrices=False)[2][:sizes[zero]]
    frame = np.concatenate(pieces).T     # columns: the generalised eigenvectors
    inverse = np.linalg.inv(frame)
    offsets = np.concatenate(([0], np.cumsum(sizes)))
    weights = []
    for g, size in enumerate(sizes):
        if g == zero:
            continue
        block = slice(offsets[g], offsets[g + 1])
        weights.append([np.trace((inverse @ terms.ad(h).dense().T @ frame)[block, block]) / size
                        for h in cartan])
    return cartan, np.array(weights, complex).reshape(len(weights), cartan.shape[0])


def _clusters(values: NDArray, radius: float) -> list[tuple[complex, int]]:
    """Eigenvalues grouped by distance: (mean, count) of each group."""
    remaining = list(values)
    groups = []
    while remaining:
        seed = remaining.pop(0)
        members = [seed] + [v for v in remaining if abs(v - seed) <= radius]
        remaining = [v for v in remaining if abs(v - seed) > radius]
        groups.append((complex(np.mean(members)), len(members)))
    return groups
