"""
What a circuit's Lie algebra is, and how fast its gradients vanish
===================================================================

A parametrised circuit built from gates exp(−iθ H_m) reaches the Lie group of its *dynamical
Lie algebra* g, the span of the i·H_m and all their nested commutators. Knowing g's dimension
is the first step; knowing what g *is* — su(2ⁿ), so(2n), a sum of smaller simple pieces and a
centre — answers the next questions: is the circuit controllable (g = su(2ⁿ))? Can it be
simulated in the algebra (dimension polynomial in n)? How fast does the variance of a cost
function vanish with n?

For a deep circuit (a 2-design on its group) and a reductive g = c ⊕ g₁ ⊕ … ⊕ g_k, the variance
of ⟨O⟩ = tr(U ρ U† O) is (Ragone et al., *A Lie algebraic theory of barren plateaus*, 2024)

.. math::

   \\operatorname{Var}\\,\\langle O\\rangle = \\sum_j \\frac{P_{g_j}(\\rho)\\, P_{g_j}(O)}{\\dim g_j},
   \\qquad P_{g_j}(X) = \\sum_a |\\operatorname{tr}(B_a^\\dagger X)|^2 ,

the sum over an orthonormal basis B_a of each simple ideal g_j, when O (or ρ) lies in the
algebra. The centre adds nothing. :func:`tanvo_lie.decompose` finds the ideals and
:func:`tanvo_lie.variance` evaluates the formula; here we check it against random deep circuits.
"""

import functools
import time

import matplotlib.pyplot as plt
import numpy as np

import tanvo
import tanvo_lie

PAULI = {"I": np.eye(2), "X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
         "Z": np.diag([1.0, -1.0])}


def on(n, placed):
    """The Pauli word with letters {site: letter} on n qubits (site 0 the leftmost factor)."""
    return functools.reduce(np.kron, [PAULI[placed.get(k, "I")] for k in range(n)]).astype(complex)


def terms(model, n):
    """The Hermitian terms of three circuits on an open chain of n qubits."""
    if model == "Ising":
        return [on(n, {i: "X", i + 1: "X"}) for i in range(n - 1)] + [on(n, {i: "Z"}) for i in range(n)]
    if model == "Heisenberg":
        return [sum(on(n, {i: p, i + 1: p}) for p in "XYZ") for i in range(n - 1)]
    # hardware-efficient: X and Y rotations on each qubit, ZZ entanglers between neighbours
    return [on(n, {i: p}) for i in range(n) for p in "XY"] + [on(n, {i: "Z", i + 1: "Z"}) for i in range(n - 1)]


def algebra(model, n):
    """The circuit's dynamical Lie algebra as an orthonormal basis of anti-Hermitian matrices."""
    return tanvo_lie.lie_closure([1j * h for h in terms(model, n)])


# %%
# Four algebras
# -------------
# The Ising chain is so(2n) (free fermions); the Heisenberg chain conserves the total spin, so
# its algebra splits into pieces, one per spin sector, plus a centre; the hardware-efficient
# ansatz is controllable, all of su(2ⁿ). A block-diagonal direct sum shows the centre and
# several ideals at once; so(6) is reported under its one canonical name, su(4).

examples = {"Ising chain, n = 5": algebra("Ising", 5),
            "Heisenberg chain, n = 5": algebra("Heisenberg", 5),
            "hardware-efficient, n = 3": algebra("hardware-efficient", 3)}
so6 = [m for m in algebra("Ising", 3)]   # so(6) = su(4), acting on 8 dimensions
blocks = [[1j * np.eye(1)], tanvo.gen_gellmann(2), tanvo.gen_gellmann(2), so6]
d = sum(b[0].shape[0] for b in blocks)
direct_sum, at = [], 0
for block in blocks:
    k = block[0].shape[0]
    for m in block:
        big = np.zeros((d, d), complex)
        big[at:at + k, at:at + k] = m
        direct_sum.append(big)
    at += k
examples["u(1) + su(2) + su(2) + so(6)"] = direct_sum

for name, basis in examples.items():
    start = time.perf_counter()
    found = tanvo_lie.decompose(basis)
    seconds = time.perf_counter() - start
    print(f"{name:30s} dimension {found.dimension:3d}: {found.summary:28s} ({1e3 * seconds:.0f} ms)")
    for ideal in found.ideals:
        print(f"    {ideal.name:8s} type {ideal.cartan_type:3s} dimension {ideal.dimension:3d} rank {ideal.rank}")
    if len(found.center):
        print(f"    and a centre of dimension {len(found.center)}")

# %%
# The Heisenberg chain's centre is a single element. As a matrix, it is proportional to
# i Σ_(j<k) σ_j·σ_k = i (2 S² − 15/2), the total spin: a row of the structure is a combination
# of the basis matrices.

heisenberg = examples["Heisenberg chain, n = 5"]
centre = np.einsum("i,ijk->jk", tanvo_lie.decompose(heisenberg).center[0], heisenberg)
total_spin = 1j * sum(on(5, {j: p, k: p}) for j in range(5) for k in range(j + 1, 5) for p in "XYZ")
ratio = np.vdot(total_spin, centre) / np.vdot(total_spin, total_spin)
print("centre == %.4f x i sum_(j<k) sigma_j . sigma_k:" % ratio.real, np.allclose(centre, ratio * total_spin))

# %%
# Roots and the Cartan matrix
# ---------------------------
# The Cartan subalgebra's rows are coefficient rows in the given basis: the centre's, then i
# times each ideal's simple coroots, so a compact algebra's roots are i times integers there.
# so(7) and sp(3) have the same dimension and rank; only the root lengths, and so the
# direction of the double bond in the Cartan matrix, tell B₃ from C₃.

ising = tanvo_lie.decompose(examples["Ising chain, n = 5"])
(so10,) = ising.ideals
print(f"{so10.name}: {len(ising.roots)} roots on a Cartan subalgebra of dimension {ising.cartan_subalgebra.shape[0]}")
print("Cartan matrix (D5):\n", so10.cartan_matrix)
print("first roots:\n", np.round(ising.roots[:4], 6))

# %%
# The variance of ⟨Z₀⟩
# --------------------
# Z₀ lies in the Ising algebra (it is a Majorana bilinear) and in su(2ⁿ), so the formula
# applies with ``ρ = |0…0⟩⟨0…0|``, given as the bit string ``"0…0"``. For the Ising chain it gives
# 1/(2n − 1): the variance decays only polynomially, no barren plateau. The controllable
# hardware-efficient ansatz gives 1/(2ⁿ + 1), exponentially small. We compare with the sample
# variance over random deep circuits: layers of exp(−iθ H_m) over every term, every angle
# uniform.


def deep_circuit_variance(model, n, circuits=2000, layers=60, seed=3):
    """The sample variance of <Z_0> over random deep circuits, and its standard error."""
    rng = np.random.default_rng(seed)
    psi = np.zeros((2 ** n, circuits), complex)
    psi[0] = 1
    for _ in range(layers):
        for h in terms(model, n):
            values, vectors = np.linalg.eigh(h)
            angles = rng.uniform(0, 2 * np.pi, circuits)
            rotated = np.exp(-1j * np.outer(values, angles)) * np.einsum("ed,es->ds", vectors.conj(), psi)
            psi = np.einsum("de,es->ds", vectors, rotated)
    samples = np.einsum("ds,d,ds->s", psi.conj(), np.diag(on(n, {0: "Z"})), psi).real
    v = samples.var(ddof=1)
    return v, np.sqrt((np.mean((samples - samples.mean()) ** 4) - v ** 2) / circuits)


curves = {"Ising": range(2, 8), "hardware-efficient": range(2, 6)}
computed, sampled = {}, {}
for model, sizes in curves.items():
    computed[model] = []
    for n in sizes:
        found = tanvo_lie.decompose(algebra(model, n))
        computed[model].append(tanvo_lie.variance(found, "0" * n, on(n, {0: "Z"})))
        print(f"{model:18s} n = {n}: {found.summary:8s} Var<Z0> = {computed[model][-1]:.6f}")
    sampled[model] = [deep_circuit_variance(model, n) for n in (3, 4)]
    for n, (v, error) in zip((3, 4), sampled[model]):
        print(f"{model:18s} n = {n}: random deep circuits {v:.4f} ± {error:.4f}")

# %%
# On a plot, with the closed forms continued to larger chains:

fig, ax = plt.subplots(figsize=(6, 4))
long = np.arange(2, 13)
ax.semilogy(long, 1 / (2 * long - 1), color="C0", lw=1, alpha=0.5, label="so(2n): 1/(2n − 1)")
ax.semilogy(long, 1 / (2.0 ** long + 1), color="C1", lw=1, alpha=0.5, label="su(2ⁿ): 1/(2ⁿ + 1)")
for colour, model in zip(("C0", "C1"), curves):
    ax.semilogy(list(curves[model]), computed[model], "o", color=colour, label=f"{model}: variance()")
    v, error = np.array(sampled[model]).T
    ax.errorbar([3, 4], v, yerr=2 * error, fmt="x", color="k", capsize=3,
                label="random deep circuits (±2σ)" if model == "Ising" else None)
ax.set_xlabel("qubits n")
ax.set_ylabel("Var ⟨Z₀⟩ from |0…0⟩")
ax.legend(fontsize=8)
ax.set_title("Deep-circuit variance from the algebra's simple ideals")
fig.tight_layout()
plt.show()
