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
