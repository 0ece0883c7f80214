"""What an algebra is: the residual of a basis that is not closed, the centre, radical and
simple ideals with their types and roots, and the deep-circuit variance, against explicit
constructions, brute force and random circuits."""
import numpy as np
import pytest

import tanvo
from tanvo_lie import structure_tensor

rng = np.random.default_rng(23)
X = np.array([[0, 1], [1, 0]], complex)
Y = np.array([[0, -1j], [1j, 0]])
Z = np.diag([1.0, -1.0]).astype(complex)


def mixed(basis, rows, seed=2):
    """`rows` random real combinations of the basis: a non-orthogonal basis of (part of) its span."""
    basis = np.array(basis)
    return np.einsum("ab,bij->aij", np.random.default_rng(seed).normal(size=(rows, len(basis))), basis)


def partly_mixed(basis, seed=3):
    """The first three elements replaced by combinations of the first three: sparse, with a
    Gram matrix that is not diagonal."""
    basis = np.array(basis)
    basis[:3] = mixed(basis[:3], 3, seed)
    return basis


# --- residual -----------------------------------------------------------------------------

RESIDUAL_BASES = {
    "pauli": [X, Y, Z],
    "x, z": [X, Z],
    "gell-mann 3": tanvo.gen_gellmann(3),
    "gell-mann 3 without one": tanvo.gen_gellmann(3)[1:],
    "clock-and-shift 3 without two": tanvo.gen_sylvester(3)[2:],
    "non-orthogonal su(3)": mixed(tanvo.gen_gellmann(3), 8),
    "non-orthogonal part of su(3)": mixed(tanvo.gen_gellmann(3), 7),
    "partly mixed gell-mann 4": partly_mixed(tanvo.gen_gellmann(4)),
    "partly mixed gell-mann 4 without one": partly_mixed(tanvo.gen_gellmann(4))[:-1],
    "random": rng.normal(size=(5, 3, 3)) + 1j * rng.normal(size=(5, 3, 3)),
}


@pytest.mark.parametrize("kind", ["commutator", "anticommutator"])
@pytest.mark.parametrize("block", [False, True])
@pytest.mark.parametrize("name", RESIDUAL_BASES)
def test_residual_is_the_largest_part_outside_the_span(name, kind, block):
    basis = np.array(RESIDUAL_BASES[name])
    n = len(basis)
    rows = (n - 2, n) if block else None
    tensor = structure_tensor(basis, kind, rows=rows)
    dense = np.zeros(tensor.shape, complex)
    dense[tuple(tensor.indices.T)] = tensor.values
    sign = -1 if kind == "commutator" else 1
    start, stop = rows or (0, n)
    largest = max(np.linalg.norm(basis[i] @ basis[j] + sign * basis[j] @ basis[i]
                                 - np.einsum("k,kab->ab", dense[i, j], basis))
                  for i in range(start, stop) for j in range(n))
    if largest < 1e-12:
        assert tensor.residual == 0.0
    else:
        assert tensor.residual == pytest.approx(largest, rel=1e-10)
    assert structure_tensor(list(basis), kind, rows=rows).residual == tensor.residual
    # The extension's row sums (sparse bases) and NumPy's two ways agree with it.
    from tanvo_lie._residual import bracket_residual
    for method in ("sparse", "dense", "native"):
        found = bracket_residual(basis, tensor.indices, tensor.values, kind == "anticommutator", (start, stop),
                                 1e-8, method)
        assert found == pytest.approx(tensor.residual, rel=1e-10, abs=1e-12)


@pytest.mark.parametrize("exponent", [-600, -300, 0, 300, 500])
def test_residual_keeps_its_scale_far_from_one(exponent):
    # Its sums are quartic in the entries: unscaled, they overflowed to inf - inf = nan at 2^300,
    # and a nan read as closed.
    scale = np.ldexp(1.0, exponent)
    open_pair = structure_tensor([X * scale, Z * scale], tol=1e-9 * scale)
    assert open_pair.residual == pytest.approx(2 * np.sqrt(2) * scale**2, rel=1e-14)
    assert structure_tensor([X * scale, Y * scale, Z * scale], tol=1e-9 * scale).residual == 0.0


def test_residual_of_x_and_z_names_the_missing_y():
    # [X, Z] = -2iY: no terms at all, but not abelian either.
    tensor = structure_tensor([X, Z])
    assert tensor.nnz == 0 and tensor.residual == pytest.approx(2 * np.sqrt(2))
    assert structure_tensor([X, Y, Z]).residual == 0.0


# --- algebras of known structure ----------------------------------------------------------

import functools
import itertools

from tanvo_lie import CoefficientTensor, decompose, lie_closure

PAULI = {"I": np.eye(2), "X": X, "Y": Y, "Z": Z}


def on(n, placed):
    """The Pauli word with the given letters {site: letter}, identity elsewhere."""
    return functools.reduce(np.kron, [PAULI[placed.get(k, "I")] for k in range(n)]).astype(complex)


def ising(n):
    return lie_closure([1j * on(n, {i: "X", i + 1: "X"}) for i in range(n - 1)]
                       + [1j * on(n, {i: "Z"}) for i in range(n)])


def heisenberg(n):
    return lie_closure([1j * sum(on(n, {i: p, i + 1: p}) for p in "XYZ") for i in range(n - 1)])


def so(size):
    """E_ab - E_ba: real antisymmetric, so anti-Hermitian."""
    out = []
    for a, b in itertools.combinations(range(size), 2):
        m = np.zeros((size, size), complex)
        m[a, b], m[b, a] = 1, -1
        out.append(m)
    return out


def sp(n):
    """The compact symplectic algebra: [[A, B], [-conj B, conj A]], A anti-Hermitian, B symmetric."""
    zero = np.zeros((n, n), complex)
    out = []
    for a, b in itertools.combinations_with_replacement(range(n), 2):
        for phase in ((1, 1j) if a != b else (1j,)):
            m = zero.copy()
            m[a, b], m[b, a] = phase, -np.conj(phase)
            out.append(np.block([[m, zero], [zero, m.conj()]]))
        for phase in (1, 1j):
            m = zero.copy()
            m[a, b] = m[b, a] = phase
            out.append(np.block([[zero, m], [-m.conj(), zero]]))
    return out


def g2():
    """The derivations of the octonions: the elements of so(7) that fix the associative 3-form."""
    phi = np.zeros((7, 7, 7))
    for (i, j, k), sign in {(0, 1, 2): 1, (0, 3, 4): 1, (0, 5, 6): 1, (1, 3, 5): 1, (1, 4, 6): -1,
                            (2, 3, 6): -1, (2, 4, 5): -1}.items():
        for perm in itertools.permutations(range(3)):
            phi[tuple((i, j, k)[p] for p in perm)] = sign * np.linalg.det(np.eye(3)[list(perm)])
    generators = np.array(so(7)).real
    moved = np.array([(np.einsum("ai,ajk->ijk", g, phi) + np.einsum("aj,iak->ijk", g, phi)
                       + np.einsum("ak,ija->ijk", g, phi)).ravel() for g in generators])
    _, s, vh = np.linalg.svd(moved.T)
    return np.einsum("ca,aij->cij", vh[np.sum(s > 1e-9):], generators).astype(complex)


def direct_sum(*parts):
    d = sum(p[0].shape[0] for p in parts)
    out, at = [], 0
    for part in parts:
        k = part[0].shape[0]
        for m in part:
            big = np.zeros((d, d), complex)
            big[at:at + k, at:at + k] = m
            out.append(big)
        at += k
    return out


def matrix_units(n, keep):
    out = []
    for a, b in itertools.product(range(n), repeat=2):
        if keep(a, b):
            m = np.zeros((n, n))
            m[a, b] = 1
            out.append(m)
    return out


def affine_sl2():
    """sl(2) acting on C^2 by 3 x 3 matrices [[A, v], [0, 0]]: not reductive, Levi factor sl(2)."""
    h = np.diag([1.0, -1.0, 0.0])
    return [h] + [m for m in matrix_units(3, lambda a, b: (a, b) in ((0, 1), (1, 0), (0, 2), (1, 2)))]


TABLE = {
    **{f"gell-mann su({d})": (lambda d=d: tanvo.gen_gellmann(d), f"su({d})") for d in range(2, 9)},
    **{f"clock-and-shift su({d})": (lambda d=d: tanvo.gen_sylvester(d), f"su({d})") for d in range(2, 9)},
    **{f"ising chain {n}": (lambda n=n: ising(n), "su(4)" if n == 3 else f"so({2 * n})") for n in range(3, 7)},
    **{f"so({2 * n})": (lambda n=n: so(2 * n), f"so({2 * n})") for n in range(7, 13)},
    **{f"so({2 * n + 1})": (lambda n=n: so(2 * n + 1), "sp(2)" if n == 2 else f"so({2 * n + 1})") for n in range(2, 5)},
    **{f"sp({n})": (lambda n=n: sp(n), "su(2)" if n == 1 else f"sp({n})") for n in range(1, 5)},
    "g2": (g2, "g2"),
    "heisenberg chain 4": (lambda: heisenberg(4), "u(1) + su(2) + su(3)"),
    "heisenberg chain 5": (lambda: heisenberg(5), "u(1) + su(4) + su(5)"),
    "u(1) + su(2) + su(2) + so(6)": (lambda: direct_sum([1j * np.eye(1)], tanvo.gen_gellmann(2), tanvo.gen_gellmann(2),
                                                      so(6)), "u(1) + su(2) + su(2) + su(4)"),
    "hermitian paulis": (lambda: [X, Y, Z], "su(2)"),
    "u(2) from anti-hermitian and hermitian matrix units": (lambda: [1j * np.diag([1.0, 0]), np.diag([0, 1.0]),
                                                                      1j * X, Y], "u(1) + su(2)"),
    "sl(2) from tanvo.gen_sl2": (lambda: tanvo.gen_sl2(1.5), "A1"),
    "upper triangular 4 x 4": (lambda: matrix_units(4, lambda a, b: a <= b), "solvable(10)"),
    "affine sl(2)": (affine_sl2, "A1 ⋉ abelian(2)"),
}

CARTAN_MATRICES = {  # Bourbaki's numbering, A[i, j] = 2 (a_i, a_j) / (a_j, a_j)
    "G2": [[2, -1], [-3, 2]], "B2": [[2, -2], [-1, 2]], "B3": [[2, -1, 0], [-1, 2, -2], [0, -1, 2]],
    "C3": [[2, -1, 0], [-1, 2, -1], [0, -2, 2]], "D4": [[2, -1, 0, 0], [-1, 2, -1, -1], [0, -1, 2, 0], [0, -1, 0, 2]],
    "A3": [[2, -1, 0], [-1, 2, -1], [0, -1, 2]],
}


@functools.cache
def table_basis(name):
    return TABLE[name][0]()


@pytest.mark.parametrize("name", TABLE)
def test_type_table(name):
    summary = TABLE[name][1]
    basis = table_basis(name)
    found = decompose(basis)
    assert found.summary == summary
    assert repr(found) == f"LieAlgebraStructure({summary}, dimension={len(basis)})"
    for ideal in found.ideals:
        assert ideal.basis.shape == (ideal.dimension, len(basis))
        assert np.linalg.matrix_rank(ideal.basis) == ideal.dimension
        if ideal.cartan_type in CARTAN_MATRICES:
            np.testing.assert_array_equal(ideal.cartan_matrix, CARTAN_MATRICES[ideal.cartan_type])
    assert found.cartan_subalgebra.shape[0] == len(found.center) + sum(i.rank for i in found.ideals) or not found.is_reductive
    assert found.roots.shape == (sum(i.dimension - i.rank for i in found.ideals) if found.is_reductive else found.roots.shape[0],
                                 found.cartan_subalgebra.shape[0])


def test_b_and_c_differ_only_in_root_lengths():
    assert [i.cartan_type for i in decompose(so(7)).ideals] == ["B3"]
    assert [i.cartan_type for i in decompose(sp(3)).ideals] == ["C3"]
    assert decompose(so(7)).dimension == decompose(sp(3)).dimension == 21


def dense_tensor(basis):
    tensor = structure_tensor(basis)
    dense = np.zeros(tensor.shape, complex)
    dense[tuple(tensor.indices.T)] = tensor.values
    return dense


def in_span(rows, vectors, tol=1e-8):
    """Whether every vector lies in the span of the rows."""
    if len(vectors) == 0:
        return True
    coefficients = np.linalg.lstsq(rows.T, np.asarray(vectors).T, rcond=None)[0]
    return np.allclose(rows.T @ coefficients, np.asarray(vectors).T, atol=tol)


INVARIANCE = ["u(1) + su(2) + su(2) + so(6)", "heisenberg chain 4", "hermitian paulis",
              "u(2) from anti-hermitian and hermitian matrix units", "clock-and-shift su(4)",
              "sl(2) from tanvo.gen_sl2", "affine sl(2)", "g2"]


@pytest.mark.parametrize("name", INVARIANCE)
def test_ideals_are_invariant_commuting_and_killing_orthogonal(name):
    basis = table_basis(name)
    t = dense_tensor(basis)
    n = len(basis)
    found = decompose(basis)
    def brackets(a, b):
        """Every [a_r, b_s] as rows."""
        return np.tensordot(np.tensordot(a, t, (1, 0)), b, (1, 1)).transpose(0, 2, 1).reshape(-1, n)

    for ideal in found.ideals:
        if found.is_reductive:   # an ideal of g; a Levi factor's ideals are ideals of the factor
            assert in_span(ideal.basis, brackets(np.eye(n), ideal.basis))
        assert in_span(ideal.basis, brackets(ideal.basis, ideal.basis))
    for first, second in itertools.combinations(found.ideals, 2):
        assert np.allclose(brackets(first.basis, second.basis), 0, atol=1e-9)
        products = first.basis @ found.killing_form @ second.basis.T
        assert np.abs(products).max() < 1e-8 * np.abs(found.killing_form).max()
    assert np.allclose(brackets(found.center, np.eye(n)), 0, atol=1e-9)
    killing = np.einsum("aij,bji->ab", t, t)
    np.testing.assert_allclose(found.killing_form, killing, atol=1e-9 * np.abs(killing).max())


@pytest.mark.parametrize("name", ["u(1) + su(2) + su(2) + so(6)", "heisenberg chain 4", "hermitian paulis",
                                  "clock-and-shift su(4)", "sl(2) from tanvo.gen_sl2", "sp(3)", "so(7)"])
def test_roots_are_the_eigenvalues_of_the_cartan_subalgebra(name):
    basis = table_basis(name)
    t = dense_tensor(basis)
    found = decompose(basis)
    cartan = found.cartan_subalgebra
    n, rank = len(basis), cartan.shape[0]
    for a, b in itertools.combinations(cartan, 2):
        assert np.allclose(np.einsum("i,j,ijk->k", a, b, t), 0, atol=1e-9)
    adjoint = np.tensordot(cartan, t, (1, 0))
    generic = np.einsum("r,rjk->jk", np.random.default_rng(1).normal(size=rank), adjoint)
    assert n - np.linalg.matrix_rank(generic, tol=1e-8) == rank          # self-centralising
    for r in range(rank):
        expected = np.concatenate((found.roots[:, r], np.zeros(n - len(found.roots))))
        actual = np.linalg.eigvals(adjoint[r])
        key = lambda z: (round(z.real, 6), round(z.imag, 6))  # noqa: E731
        np.testing.assert_allclose(sorted(actual, key=key), sorted(expected, key=key), atol=1e-7)
    if found.is_compact:
        # On i times the coroots, a compact algebra's roots are i times integers (real integers
        # when the basis is Hermitian).
        values = found.roots[:, len(found.center):]
        phase = 1 if np.abs(values.real).max() > 0.5 else 1j
        np.testing.assert_allclose(values / phase, np.rint((values / phase).real), atol=1e-8)


def test_centre_radical_and_derived_of_sums_with_known_parts():
    basis = table_basis("u(1) + su(2) + su(2) + so(6)")
    found = decompose(basis)
    assert found.is_reductive and found.is_compact and not found.is_semisimple
    np.testing.assert_allclose(np.abs(found.center), np.eye(len(basis))[:1], atol=1e-12)
    np.testing.assert_allclose(np.abs(found.radical), np.eye(len(basis))[:1], atol=1e-12)
    assert in_span(found.derived, np.eye(len(basis))[1:]) and found.derived.shape[0] == len(basis) - 1
    assert [len(r) for r in found.derived_series] == [22, 21]
    assert [len(r) for r in found.lower_central_series] == [22, 21]
    assert sorted((i.name, i.dimension, i.rank) for i in found.ideals) == [("su(2)", 3, 1), ("su(2)", 3, 1),
                                                                            ("su(4)", 15, 3)]


def test_solvable_algebra_and_its_radical():
    basis = matrix_units(3, lambda a, b: a <= b)    # E_00, E_01, E_02, E_11, E_12, E_22
    found = decompose(basis)
    assert found.is_solvable and not found.is_nilpotent and not found.is_reductive and found.ideals == []
    assert found.radical.shape[0] == 6
    strictly_upper = np.eye(6)[[1, 2, 4]]
    assert found.derived.shape[0] == 3 and in_span(found.derived, strictly_upper)
    assert found.center.shape[0] == 1 and in_span(found.center, [[1, 0, 0, 1, 0, 1]])
    assert [len(r) for r in found.derived_series] == [6, 3, 1, 0]
    assert [len(r) for r in found.lower_central_series] == [6, 3]
    # A Cartan subalgebra is a conjugate of the diagonal matrices by a unipotent one, which
    # keeps the diagonal: its weights on g are h -> h_aa - h_bb for a < b.
    cartan = found.cartan_subalgebra
    assert cartan.shape[0] == 3
    diagonal = cartan[:, [0, 3, 5]]                     # the coefficients of E_00, E_11, E_22
    expected = [diagonal[:, a] - diagonal[:, b] for a, b in ((0, 1), (0, 2), (1, 2))]
    assert len(found.roots) == 3
    assert all(min(np.abs(w - e).max() for e in expected) < 1e-8 for w in found.roots)
    strictly = decompose(matrix_units(4, lambda a, b: a < b))
    assert strictly.is_nilpotent and strictly.summary == "nilpotent(6)"
    assert [len(r) for r in strictly.lower_central_series] == [6, 3, 1, 0]


def test_levi_factor_of_affine_sl2():
    found = decompose(affine_sl2())
    assert not found.is_reductive and not found.is_solvable and found.radical.shape[0] == 2
    assert in_span(found.radical, np.eye(5)[[2, 4]])   # E_02 and E_12
    (ideal,) = found.ideals
    assert ideal.cartan_type == "A1" and ideal.name is None
    levi = found.levi
    assert levi.shape[0] == 3 and np.linalg.matrix_rank(np.concatenate((levi, found.radical))) == 5


def test_a_tensor_decomposes_like_its_basis():
    basis = table_basis("u(1) + su(2) + su(2) + so(6)")
    tensor = structure_tensor(basis)
    assert decompose(tensor).summary == decompose(basis).summary
    by_hand = CoefficientTensor(tensor.indices, tensor.values, tensor.shape[0])
    assert by_hand.residual is None and decompose(by_hand).summary == "u(1) + su(2) + su(2) + su(4)"
    hermitian = structure_tensor([X, Y, Z])    # imaginary structure constants
    assert decompose(hermitian).summary == "su(2)"
    with pytest.raises(ValueError, match="part of norm 2.83 outside its span"):
        decompose(structure_tensor([X, Z]))       # no terms, but no algebra either


@pytest.mark.parametrize("basis, message", [
    ([X, Z], "not closed under commutators: a commutator has a part of norm 2.83 outside its span"),
    ([X, Y, Z, X + 2 * Y], "not linearly independent"),
    ([X, Y, Z, 0 * X], r"algebra\[3\] is zero"),
])
def test_bad_bases_are_refused_with_the_reason(basis, message):
    with pytest.raises(ValueError, match=message):
        decompose(basis)


def test_bad_arguments():
    with pytest.raises(ValueError, match="anticommutator"):
        decompose(structure_tensor([X, Y, Z], "anticommutator"))
    with pytest.raises(ValueError, match="tol"):
        decompose([X, Y, Z], tol=0)
    with pytest.raises(TypeError, match="tol"):
        decompose([X, Y, Z], tol="small")
    with pytest.raises(TypeError, match="algebra"):
        decompose(3)


def root_system(letter, rank):
    """The roots of a simple type as vectors in Euclidean space (Bourbaki's plates)."""
    e = np.eye({"E": 8, "G": 3, "A": rank + 1}.get(letter, rank))
    pairs = list(itertools.combinations(range(e.shape[0]), 2))
    if letter == "A":
        return [e[i] - e[j] for i in range(rank + 1) for j in range(rank + 1) if i != j]
    both = [s * e[i] + t * e[j] for i, j in pairs for s in (1, -1) for t in (1, -1)]
    if letter == "B":
        return both + [s * e[i] for i in range(rank) for s in (1, -1)]
    if letter == "C":
        return both + [2 * s * e[i] for i in range(rank) for s in (1, -1)]
    if letter == "D":
        return both
    if letter == "F":
        halves = [np.array(signs) / 2 for signs in itertools.product((1, -1), repeat=4)]
        return both + [s * e[i] for i in range(4) for s in (1, -1)] + halves
    if letter == "G":  # in the plane x + y + z = 0
        short = [e[i] - e[j] for i in range(3) for j in range(3) if i != j]
        return short + [s * (2 * e[i] - e[j] - e[k]) for i, j, k in itertools.permutations(range(3)) if j < k
                        for s in (1, -1)]
    halves = [np.array(signs) / 2 for signs in itertools.product((1, -1), repeat=8) if np.prod(signs) > 0]
    e8 = both + halves
    if rank == 8:
        return e8
    # E7: the roots of E8 orthogonal to one root; E6: to the two roots of an A2.
    fixed = [e8[0]] if rank == 7 else [e8[0], next(r for r in e8 if abs(r @ e8[0] + 1) < 1e-12)]
    return [r for r in e8 if all(abs(r @ f) < 1e-12 for f in fixed)]


@pytest.mark.parametrize("cartan_type", ["A1", "A4", "B2", "B5", "C3", "C5", "D4", "D6", "G2", "F4", "E6", "E7",
                                         "E8"])
def test_dynkin_diagrams_of_every_type(cartan_type):
    from tanvo_lie._types import simple_types
    letter, rank = cartan_type[0], int(cartan_type[1:])
    roots = np.array(root_system(letter, rank))
    frame = np.linalg.svd(roots.T)[0][:, :rank]     # the span of the roots
    g = np.random.default_rng(rank)
    scramble = g.normal(size=(rank, rank))
    values = (roots @ frame) @ scramble           # values on a skewed basis of the Cartan subalgebra
    gram = scramble.T @ scramble                  # the inner product on that basis
    order = roots @ frame @ g.normal(size=rank)
    (found,) = simple_types(1j * values, order, -gram, rank)  # compact: imaginary roots
    assert found.cartan_type == cartan_type and found.dimension == len(roots) + rank
    if cartan_type in CARTAN_MATRICES:
        np.testing.assert_array_equal(found.cartan_matrix, CARTAN_MATRICES[cartan_type])


# --- g-purity and the deep-circuit variance ------------------------------------------------

from tanvo_lie import g_purity, variance


def chain(model, n):
    """The Hermitian generators of a circuit on an open chain of n qubits."""
    if model == "ising":
        return [on(n, {i: "X", i + 1: "X"}) for i in range(n - 1)] + [on(n, {i: "Z"}) for i in range(n)]
    if model == "heisenberg":
        return [sum(on(n, {i: p, i + 1: p}) for p in "XYZ") for i in range(n - 1)]
    # hardware-efficient: X and Y rotations on every qubit, ZZ between neighbours
    return ([on(n, {i: p}) for i in range(n) for p in "XY"] + [on(n, {i: "Z", i + 1: "Z"}) for i in range(n - 1)])


@functools.cache
def circuit_structure(model, n):
    # lie_closure of anti-Hermitian generators: its basis spans the compact algebra.
    return decompose(lie_closure([1j * g for g in chain(model, n)]))


def deep_circuit_samples(generators, state, observable, circuits=1200, layers=40, seed=7):
    """tr(U rho U^H O) for random deep circuits U: layers of exp(-i theta G) over the generators,
    every angle uniform."""
    rng = np.random.default_rng(seed)
    psi = np.repeat(state[:, None].astype(complex), circuits, axis=1)
    spectra = [np.linalg.eigh(g) for g in generators]
    for _ in range(layers):
        for values, vectors in spectra:
            angles = rng.uniform(0, 2 * np.pi, circuits)
            # einsum, not matmul: OpenBLAS's threads cost more than these small products.
            rotated = np.exp(-1j * np.outer(values, angles)) * np.einsum("ed,es->ds", vectors.conj(), psi)
            psi = np.einsum("de,es->ds", vectors, rotated)
    return np.einsum("ds,de,es->s", psi.conj(), observable, psi).real


@pytest.mark.parametrize("model, n, bits, observable", [
    ("ising", 3, "000", {0: "Z"}),
    ("hardware-efficient", 3, "000", {0: "Z"}),
    ("heisenberg", 4, "0101", None),      # the first bond's XX + YY + ZZ, in the algebra
])
def test_variance_agrees_with_random_deep_circuits(model, n, bits, observable):
    generators = chain(model, n)
    o = on(n, observable) if observable else generators[0]
    state = np.zeros(2 ** n)
    state[int(bits, 2)] = 1
    samples = deep_circuit_samples(generators, state, o)
    estimate = samples.var(ddof=1)
    error = np.sqrt((np.mean((samples - samples.mean()) ** 4) - estimate ** 2) / samples.size)
    assert variance(circuit_structure(model, n), bits, o) == pytest.approx(estimate, abs=4 * error)


@pytest.mark.parametrize("model, n", [("ising", n) for n in range(3, 7)] + [("hardware-efficient", n) for n in (3, 4)])
def test_variance_of_z0_matches_the_closed_forms(model, n):
    structure = circuit_structure(model, n)
    d = 2 ** n
    expected = 1 / (2 * n - 1) if model == "ising" else 1 / (d + 1)   # so(2n) and su(2^n)
    vector = np.zeros(d)
    vector[0] = 1
    z0 = on(n, {0: "Z"})
    for state in ("0" * n, vector, np.outer(vector, vector)):
        assert variance(structure, state, z0) == pytest.approx(expected, rel=1e-10)


def test_purities_split_the_norm_between_centre_ideals_and_outside():
    structure = circuit_structure("heisenberg", 4)
    g = np.random.default_rng(5)
    operator = g.normal(size=(16, 16)) + 1j * g.normal(size=(16, 16))
    found = g_purity(structure, operator + operator.conj().T)
    total = found.center + found.outside + found.ideals.sum()
    assert total == pytest.approx(np.linalg.norm(operator + operator.conj().T) ** 2, rel=1e-10)
    assert found.ideals.shape == (2,) and found.outside > 0
    inside = g_purity(structure, chain("heisenberg", 4)[1])
    assert inside.outside == pytest.approx(0, abs=1e-9) and inside.center > 0
    # A Hermitian basis spans the same algebra: the same purities.
    hermitian = decompose([-1j * b for b in lie_closure([1j * g for g in chain("heisenberg", 4)])])
    np.testing.assert_allclose(g_purity(hermitian, chain("heisenberg", 4)[1]).ideals, inside.ideals, rtol=1e-10)


def test_variance_refuses_what_it_cannot_answer():
    heisenberg4 = circuit_structure("heisenberg", 4)
    with pytest.raises(ValueError, match="observable has a part of squared norm 16 outside it"):
        variance(heisenberg4, "0000", on(4, {0: "Z"}))
    with pytest.raises(ValueError, match="non-compact"):
        variance(decompose(tanvo.gen_sl2(0.5)), np.eye(2)[0], np.diag([1.0, -1]))
    with pytest.raises(ValueError, match="basis matrices"):
        variance(decompose(structure_tensor([1j * X, 1j * Y, 1j * Z])), "0", Z)
    with pytest.raises(ValueError, match="bit string"):
        variance(heisenberg4, "012", chain("heisenberg", 4)[0])
    with pytest.raises(ValueError, match=r"\(16, 16\) matrix"):
        g_purity(heisenberg4, np.eye(4))


@pytest.mark.parametrize("change", ["times 1e-6", "times 1e5", "real combinations", "complex combinations"])
@pytest.mark.parametrize("name, summary", [("so(7)", "so(7)"), ("sp(3)", "sp(3)"), ("g2", "g2"),
                                           ("u(1) + su(2) + su(2) + so(6)", "u(1) + su(2) + su(2) + su(4)")])
def test_types_do_not_depend_on_the_basis_chosen(name, summary, change):
    basis = np.array(table_basis(name))
    g = np.random.default_rng(4)
    if change.startswith("times"):
        changed = basis * float(change.split()[1])
    else:
        mixing = g.normal(size=(len(basis), len(basis)))
        if change.startswith("complex"):
            mixing = mixing + 1j * g.normal(size=mixing.shape)
        changed = np.einsum("ab,bij->aij", mixing, basis)
    found = decompose(changed)
    assert found.summary == summary
    assert found.real_form == ("complex" if change.startswith("complex") else "compact")
