"""
The Ising chain's Lie algebra and its adjoint representation
============================================================

A circuit built from the terms of the transverse-field Ising chain on n qubits,

.. math::

   H = \\sum_{i=1}^{n-1} J_i X_i X_{i+1} + \\sum_{i=1}^{n} h_i Z_i ,

can only reach unitaries of the Lie group whose algebra the terms generate (times i): its
*dynamical Lie algebra*. For this chain that algebra has dimension n(2n − 1) and is
isomorphic to so(2n) — the chain maps to free fermions — far below the 4ⁿ − 1 of all of
su(2ⁿ). We find the algebra with :func:`tanvo_lie.lie_closure`, its structure constants with
:func:`tanvo_lie.structure_tensor`, and use the adjoint representation to follow an
observable in time with 28 × 28 matrices instead of 16 × 16 ones — a size that grows as n²
rather than 4ⁿ.
"""

import functools
import time

import matplotlib.pyplot as plt
import numpy as np

import tanvo_lie

I2 = np.eye(2)
X = np.array([[0, 1], [1, 0]])
Z = np.diag([1, -1])


def on_sites(n, placed):
    """The 2^n x 2^n matrix with the 2 x 2 matrices of ``placed`` ({site: matrix}) on their
    sites (site 0 is the leftmost factor) and the identity elsewhere."""
    return functools.reduce(np.kron, [placed.get(k, I2) for k in range(n)])


def ising_terms(n):
    """X_i X_{i+1} for the n - 1 bonds, then Z_i for the n sites."""
    bonds = [on_sites(n, {i: X, i + 1: X}) for i in range(n - 1)]
    fields = [on_sites(n, {i: Z}) for i in range(n)]
    return bonds + fields


# %%
# The algebra's dimension
# -----------------------
# ``lie_closure`` returns an orthonormal basis (under tr(A† B)) of the span of the terms and
# all their nested commutators. Its length is the dimension of the algebra.

sizes = range(2, 7)
dimensions = []
for n in sizes:
    start = time.perf_counter()
    basis = tanvo_lie.lie_closure(ising_terms(n))
    dimensions.append(len(basis))
    print(f"n = {n}: dimension {len(basis):3d} = n(2n - 1) = {n * (2 * n - 1):3d}   "
          f"({1e3 * (time.perf_counter() - start):.1f} ms, d = {2**n})")
    assert len(basis) == n * (2 * n - 1)

fig, ax = plt.subplots(figsize=(5.5, 3.6), layout="constrained")
ax.semilogy(list(sizes), [4**n - 1 for n in sizes], "s--", color="0.5", label="su(2ⁿ): 4ⁿ − 1")
ax.semilogy(list(sizes), [n * (2 * n - 1) for n in sizes], "-", color="C1", label="so(2n): n(2n − 1)")
ax.semilogy(list(sizes), dimensions, "o", color="C0", label="lie_closure")
ax.set_xticks(list(sizes))
ax.set_xlabel("qubits n")
ax.set_ylabel("dimension of the algebra")
ax.set_title("Transverse-field Ising chain")
ax.legend()

# %%
# An anti-Hermitian basis
# -----------------------
# The terms are Hermitian, so ``lie_closure`` returns the compact real form: it multiplies them
# by i, and every element is anti-Hermitian — an orthonormal basis of the real Lie algebra
# itself, so(8) inside su(16) for n = 4, with as many elements as the complex span has.

n = 4
basis = tanvo_lie.lie_closure(ising_terms(n))
assert np.array_equal(basis, -basis.conj().transpose(0, 2, 1))
gram = np.einsum("aij,bij->ab", basis.conj(), basis)
assert np.allclose(gram, np.eye(len(basis)))
print(f"{len(basis)} anti-Hermitian elements, orthonormal")

# %%
# The adjoint representation
# --------------------------
# With the complete structure constants, [B_i, B_j] = Σ_k T[i, j, k] B_k, the matrix of
# ad(B_i) = [B_i, ·] on coefficient vectors is ``T[i].T``: ``ad_matrices = T.transpose(0, 2, 1)``
# (see :ref:`tensor-layouts` for this layout and PennyLane's). For an orthonormal
# anti-Hermitian basis these are real antisymmetric matrices, and they represent the algebra:
# [ad(B_i), ad(B_j)] = Σ_k T[i, j, k] ad(B_k).

f = tanvo_lie.structure_tensor(basis)
T = f.todense()
ad_matrices = T.transpose(0, 2, 1)
print(f"{f.nnz} non-zero structure constants of {T.size}")
assert np.abs(T.imag).max() < 1e-12
assert np.allclose(ad_matrices, -ad_matrices.transpose(0, 2, 1))
for i, j in [(0, 4), (2, 5), (10, 20)]:
    bracket = ad_matrices[i] @ ad_matrices[j] - ad_matrices[j] @ ad_matrices[i]
    assert np.allclose(bracket, np.einsum("k,kab->ab", T[i, j], ad_matrices))

# %%
# Heisenberg-picture dynamics in the adjoint representation
# ---------------------------------------------------------
# An observable O in the algebra (times i) evolves as iO(t) = e^{iHt} (iO) e^{−iHt}, so its
# coefficients o(t) obey do/dt = ad(iH) o, with ad(iH) = Σ_k h_k ad(B_k) for the coefficients
# h_k of iH. We take random couplings, evolve Z_0 both ways and compare its expectation value
# in the state :math:`|0000\rangle`.

rng = np.random.default_rng(4)
terms = ising_terms(n)
couplings = rng.uniform(0.5, 1.5, size=len(terms))
H = sum(c * t for c, t in zip(couplings, terms))


def coefficients(element):
    """Coefficients of an algebra element on the orthonormal basis: tr(B_k† A)."""
    return np.einsum("kij,ij->k", basis.conj(), element)


h = coefficients(1j * H).real
ad_H = np.einsum("k,kab->ab", h, ad_matrices).real  # real antisymmetric, 28 x 28
o0 = coefficients(1j * on_sites(n, {0: Z})).real

# exp(t ad_H) from the eigenvectors of the Hermitian matrix i·ad_H.
w, v = np.linalg.eigh(1j * ad_H)
# and exp(-iHt) from those of H.
e, u = np.linalg.eigh(H)

state = np.zeros(2**n)
state[0] = 1.0
observable = -1j * basis                                  # Hermitian: B_k = i·(B_k / i)
expectations = np.einsum("i,kij,j->k", state, observable, state).real
times = np.linspace(0, 6, 121)
adjoint, hilbert = [], []
for t in times:
    o_t = (v @ (np.exp(-1j * w * t) * (v.conj().T @ o0))).real   # exp(t ad_H) o0
    adjoint.append(o_t @ expectations)
    psi = u @ (np.exp(-1j * e * t) * (u.conj().T @ state))       # e^{-iHt}|0000>
    hilbert.append((psi.conj() @ on_sites(n, {0: Z}) @ psi).real)
print("largest difference of <Z_0(t)>:", np.abs(np.array(adjoint) - np.array(hilbert)).max())
assert np.allclose(adjoint, hilbert)

fig, (left, right) = plt.subplots(1, 2, figsize=(9, 3.6), layout="constrained",
                                  gridspec_kw={"width_ratios": [1, 1.5]})
limit = np.abs(ad_H).max()
image = left.imshow(ad_H, cmap="RdBu_r", vmin=-limit, vmax=limit)
left.set_title("ad(iH): 28 × 28, real antisymmetric")
fig.colorbar(image, ax=left, shrink=0.8)
right.plot(times, hilbert, color="0.6", lw=4, label="state vector, 16 amplitudes")
right.plot(times, adjoint, color="C0", lw=1.5, label="adjoint representation, 28 coefficients")
right.set_xlabel("time t")
right.set_ylabel("⟨Z₀(t)⟩ in |0000⟩")
right.legend(loc="upper center", fontsize="small")
plt.show()
