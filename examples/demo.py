"""A short tour of tanvo: the clock-and-shift basis of su(3)."""
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
