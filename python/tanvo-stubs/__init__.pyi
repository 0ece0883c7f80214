# Types of the module tanvo, for type checkers. Each function's docstring is the module's own.
from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
from numpy.typing import NDArray

# {(i, j): (k, c)}: the first non-negligible coefficient c of B_k in the product of B_i and B_j.
_CoefficientMap: TypeAlias = dict[tuple[int, int], tuple[int, complex]]

def gen_sylvester(d: SupportsIndex) -> list[NDArray[np.complex128]]:
    """Generate matrix representation of su(d) via clock and shift"""

def gen_gellmann(d: SupportsIndex) -> list[NDArray[np.complex128]]:
    """Generate matrix representation of su(d) via Generalized Gellmann method"""

def gen_su2(j: SupportsFloat | SupportsIndex) -> list[NDArray[np.complex128]]:
    """Generate matrix representation of su(2) for spin j"""

def gen_sl2(j: SupportsFloat | SupportsIndex) -> list[NDArray[np.float64]]:
    """Generate matrix representation of sl(2) for spin j"""

def get_structure_constants(basis: Sequence[NDArray[np.complex128]]) -> _CoefficientMap:
    """Find the commutation coefficients for matrices in su(d)"""

def get_d_coefficients(basis: Sequence[NDArray[np.complex128]]) -> _CoefficientMap:
    """Find the anti-commutation coefficients for matrices in su(d)"""

def su_commutator(
    l_a: NDArray[np.complex128],
    l_b: NDArray[np.complex128],
    f_ijk: _CoefficientMap,
    basis: Sequence[NDArray[np.complex128]],
) -> NDArray[np.complex128]:
    """Find the commutation result of two matrices, given the structure constants"""

def su_anticommutator(
    l_a: NDArray[np.complex128],
    l_b: NDArray[np.complex128],
    d_ijk: _CoefficientMap,
    basis: Sequence[NDArray[np.complex128]],
) -> NDArray[np.complex128]:
    """Find the anticommutation result of two matrices, given the structure constants"""

def cross(
    l_a: NDArray[np.complex128], l_b: NDArray[np.complex128], f_ijk: _CoefficientMap
) -> NDArray[np.complex128]:
    """Compute the cross-product of two matrices of su(d), given the structure constants"""

def dot(
    l_a: NDArray[np.complex128], l_b: NDArray[np.complex128], f_ijk: _CoefficientMap
) -> NDArray[np.complex128]:
    """Compute the dot-product of two matrices of su(d), given the structure constants"""
