"""
su(3) structure constants against the textbook table
====================================================

The Gell-Mann matrices λ_1 … λ_8 satisfy [λ_a, λ_b] = 2i Σ_c f_abc λ_c with the totally
antisymmetric f_abc of every particle-physics textbook: f_123 = 1,
f_147 = f_246 = f_257 = f_345 = 1/2, f_156 = f_367 = −1/2, f_458 = f_678 = √3/2.

tanvo's :func:`tanvo.gen_gellmann` returns the matrices i·λ_a in its own order (row-major in
the index pairs (j, k), :ref:`gellmann-basis`), so reading the textbook numbers off its
output takes two steps: find which λ each matrix is, and convert the normalisation. We derive
both from the matrices, check all 512 constants, and see what the one-term map of
:func:`tanvo.get_structure_constants` keeps of them.
"""

import itertools

import matplotlib.pyplot as plt
import numpy as np

import tanvo
import tanvo_lie

# %%
# The textbook matrices and table
# -------------------------------

s3 = 1 / np.sqrt(3)
lam = np.zeros((9, 3, 3), dtype=complex)  # lam[1] ... lam[8]; lam[0] unused
lam[1][0, 1] = lam[1][1, 0] = 1
lam[2][0, 1], lam[2][1, 0] = -1j, 1j
lam[3][0, 0], lam[3][1, 1] = 1, -1
lam[4][0, 2] = lam[4][2, 0] = 1
lam[5][0, 2], lam[5][2, 0] = -1j, 1j
lam[6][1, 2] = lam[6][2, 1] = 1
lam[7][1, 2], lam[7][2, 1] = -1j, 1j
lam[8] = s3 * np.diag([1, 1, -2])

TABLE = {(1, 2, 3): 1.0, (1, 4, 7): 0.5, (1, 5, 6): -0.5, (2, 4, 6): 0.5, (2, 5, 7): 0.5,
         (3, 4, 5): 0.5, (3, 6, 7): -0.5, (4, 5, 8): np.sqrt(3) / 2, (6, 7, 8): np.sqrt(3) / 2}
f_textbook = np.zeros((9, 9, 9))
for abc, value in TABLE.items():
    for perm in itertools.permutations(range(3)):
        sign = np.linalg.det(np.eye(3)[list(perm)])  # +1 for even permutations, -1 for odd
        f_textbook[tuple(abc[p] for p in perm)] = sign * value

# The table is right: [λ_a, λ_b] = 2i Σ_c f_abc λ_c for every pair.
for a, b in itertools.product(range(1, 9), repeat=2):
    bracket = lam[a] @ lam[b] - lam[b] @ lam[a]
    assert np.allclose(bracket, 2j * np.einsum("c,cij->ij", f_textbook[a, b], lam))

# %%
# Which λ is each of tanvo's matrices
# -----------------------------------
# The λ_a are orthogonal with tr(λ_a λ_b) = 2 δ_ab, so the overlaps tr(λ_a · B / i) / 2 of a
# basis matrix B with the eight λ_a pick out the one it is.

basis = np.array(tanvo.gen_gellmann(3))
overlap = np.einsum("aij,bji->ab", lam[1:], basis / 1j).real / 2     # [textbook a-1, tanvo b]
number = 1 + overlap.argmax(axis=0)          # textbook number of each tanvo matrix
print("tanvo B_0 ... B_7 are i times λ", number.tolist())
assert np.allclose(overlap, np.eye(8)[number - 1].T)                 # a permutation, entries 1
for b, a in enumerate(number):
    assert np.allclose(basis[b], 1j * lam[a], rtol=0, atol=1e-15)    # i·λ_a, to rounding

# %%
# The normalisation
# -----------------
# With B_i = i λ_a and B_j = i λ_b, [B_i, B_j] = −[λ_a, λ_b] = −2i Σ f_abc λ_c
# = −2 Σ f_abc B_k, so tanvo's complete tensor, [B_i, B_j] = Σ_k T[i, j, k] B_k, holds
# T[i, j, k] = −2 f_abc: **f_abc = −T[i, j, k] / 2**, indices renumbered by ``number``.

T = tanvo_lie.structure_tensor(basis).todense()
assert np.abs(T.imag).max() < 1e-14
f_tanvo = np.zeros((9, 9, 9))
f_tanvo[np.ix_(number, number, number)] = -T.real / 2
print("largest difference from the textbook, all 512 f_abc:", np.abs(f_tanvo - f_textbook).max())
assert np.allclose(f_tanvo, f_textbook, atol=1e-14)

# %%
# What the one-term map keeps
# ---------------------------
# :func:`tanvo.get_structure_constants` keeps, for each pair, only the term of lowest tanvo
# index (:ref:`what-a-map-keeps`). [λ_4, λ_5] = i(λ_3 + √3 λ_8) and
# [λ_6, λ_7] = i(−λ_3 + √3 λ_8) have two terms each, and λ_3 = B_0 comes before λ_8 = B_4:
# the map has no f_458 and no f_678.

f_map = np.zeros((9, 9, 9))
for (i, j), (k, c) in tanvo.get_structure_constants(list(basis)).items():
    f_map[number[i], number[j], number[k]] = -c.real / 2
missing = [abc for abc in TABLE if f_map[abc] == 0]
print("textbook constants missing from the map:", ["f_%d%d%d" % abc for abc in missing])
assert missing == [(4, 5, 8), (6, 7, 8)]

labels = ["$f_{%d%d%d}$" % abc for abc in TABLE]
positions = np.arange(len(TABLE))
fig, ax = plt.subplots(figsize=(7, 3.4), layout="constrained")
ax.bar(positions, list(TABLE.values()), color="0.85", edgecolor="0.5", label="textbook")
ax.plot(positions, [f_tanvo[abc] for abc in TABLE], "o", color="C0", ms=9,
        label="structure_tensor: −T[i, j, k] / 2")
kept = [n for n, abc in enumerate(TABLE) if f_map[abc] != 0]
ax.plot(kept, [f_map[list(TABLE)[n]] for n in kept], "x", color="C3", ms=9, mew=2,
        label="get_structure_constants (one term per pair)")
ax.axhline(0, color="0.3", lw=0.8)
ax.set_xticks(positions, labels)
ax.set_ylabel("$f_{abc}$")
ax.set_title("su(3): the nine independent structure constants")
ax.set_ylim(-0.6, 1.65)
ax.legend(loc="upper right", fontsize="small")
plt.show()
