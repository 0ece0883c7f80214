"""A short tour of tanvo: the clock-and-shift basis of su(3)."""
import itertools
import math

import numpy as np

import tanvo

np.set_printoptions(precision=4, suppress=True, linewidth=100)

basis = tanvo.gen_sylvester(3)
x, z = basis[0], basis[1]
w = np.exp(2j * np.pi / 3)
print(f"Clock-and-shift basis of su(3): {len(basis)} matrices")
print("Shift X =\n", x)
print("Clock Z =\n", z)
print("Z·X == w·X·Z:", np.allclose(z @ x, w * (x @ z)))

gellmann = tanvo.gen_gellmann(3)
print(f"\nGeneralized Gell-Mann basis of su(3), each times i: {len(gellmann)} matrices")
for index, m in enumerate(gellmann):
    print(f"element {index} =\n", m)

jz, jplus, jminus = tanvo.gen_sl2(1)
print("\nSpin 1: J_z =\n", jz, "\nJ_+ =\n", jplus, "\nJ_- =\n", jminus)
print("[J_+, J_-] == 2·J_z:", np.allclose(jplus @ jminus - jminus @ jplus, 2 * jz))

# Structure constants of su(3) in the textbook normalisation: gen_gellmann(3) returns i·λ_a,
# and [iλ_a, iλ_b] = -2 f_abc · iλ_c, so f_abc = -c/2. One term is kept per pair: the first
# non-negligible one in basis order (of [λ4, λ5] = iλ3 + i√3 λ8, the λ3 term).
LAMBDA_NUMBER = [3, 2, 5, 1, 8, 7, 4, 6]  # textbook number of each generated matrix
F_TEXTBOOK = {(1, 2, 3): 1.0, (1, 4, 7): 0.5, (1, 6, 5): 0.5, (2, 4, 6): 0.5, (2, 5, 7): 0.5,
              (3, 4, 5): 0.5, (3, 7, 6): 0.5, (4, 5, 8): math.sqrt(3) / 2,
              (6, 7, 8): math.sqrt(3) / 2}
f_textbook = {}
for abc, value in F_TEXTBOOK.items():  # totally antisymmetric
    for perm in itertools.permutations(range(3)):
        sign = 1 if perm in ((0, 1, 2), (1, 2, 0), (2, 0, 1)) else -1
        f_textbook[tuple(abc[p] for p in perm)] = sign * value

print("\nsu(3) structure constants f_abc (a < b): tanvo, textbook")
rows = []
for (i, j), (k, c) in tanvo.get_structure_constants(gellmann).items():
    a, b, e = LAMBDA_NUMBER[i], LAMBDA_NUMBER[j], LAMBDA_NUMBER[k]
    if a < b:
        rows.append(((a, b, e), -c.real / 2))
for (a, b, e), value in sorted(rows):
    print(f"  f_{a}{b}{e} = {value:+.6f}   {f_textbook.get((a, b, e), 0.0):+.6f}")

# Products in coefficient space: two su(3) elements given by their clock-and-shift coefficients.
f_ijk = tanvo.get_structure_constants(basis)
rng = np.random.default_rng(7)
l_a = rng.normal(size=(len(basis), 1)) + 0j
l_b = rng.normal(size=(len(basis), 1)) + 0j
a = sum(c * m for c, m in zip(l_a[:, 0], basis))
b = sum(c * m for c, m in zip(l_b[:, 0], basis))
commutator = tanvo.su_commutator(l_a, l_b, f_ijk, basis)
print(f"\nClock-and-shift structure constants: {len(f_ijk)} entries")
print("su_commutator(l_a, l_b, f_ijk, basis) =\n", commutator)
print("A·B - B·A =\n", a @ b - b @ a)
print("equal:", np.allclose(commutator, a @ b - b @ a))

# The complete tensor, every term of every pair, beside the map's first terms (tanvo_lie).
import tanvo_lie

tensor = tanvo_lie.structure_tensor(gellmann)
print(f"\nComplete su(3) tensor: {tensor.nnz} terms; the map keeps {len(tanvo.get_structure_constants(gellmann))}")
print("  (i, j)   map (k, c)          tensor terms (k, c)")
first = tensor.first_terms()
for (i, j), (k, c) in tanvo.get_structure_constants(gellmann).items():
    if i < j:
        terms = tensor.indices[:, 0] == i
        terms &= tensor.indices[:, 1] == j
        listed = ", ".join(f"({k2}, {c2.real:+.4f})" for k2, c2 in zip(tensor.indices[terms, 2], tensor.values[terms]))
        print(f"  ({i}, {j})   ({k}, {c.real:+.4f})      {listed}")
# [λ4, λ5] = iλ3 + i√3 λ8: B_6 = iλ4 and B_2 = iλ5 give [B_6, B_2] = -B_0 - √3·B_4.
pair = (tensor.indices[:, 0] == 6) & (tensor.indices[:, 1] == 2)
rebuilt = sum(c * gellmann[k] for k, c in zip(tensor.indices[pair, 2], tensor.values[pair]))
print("[iλ4, iλ5] rebuilt from its two terms:", np.allclose(rebuilt, gellmann[6] @ gellmann[2] - gellmann[2] @ gellmann[6]))
print("from the map's single term:", np.allclose(first[(6, 2)][1] * gellmann[first[(6, 2)][0]],
                                                  gellmann[6] @ gellmann[2] - gellmann[2] @ gellmann[6]))
