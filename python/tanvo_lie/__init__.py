"""Coefficient tensors and Lie closures of matrix Lie algebras, as NumPy arrays.

The companion of :mod:`tanvo`: where ``tanvo`` returns the first term of each product as a
dict, ``tanvo_lie`` returns complete tensors and whole algebras as arrays, computed on
several threads without holding the GIL.
"""
from importlib.metadata import PackageNotFoundError, version as _version

try:
    __version__ = _version("tanvo")
except PackageNotFoundError:  # an in-tree build
    __version__ = "0+unknown"

from ._adjoint import AdjointSimulator
from ._closure import lie_closure
from ._tensor import CoefficientTensor, structure_tensor
from ._structure import LieAlgebraStructure, SimpleIdeal, decompose
from ._purity import GPurity, g_purity, variance
from ._pauli import PauliStrings
from ._pauli_sums import PauliSums
from ._center import center

__all__: list[str] = ["CoefficientTensor", "lie_closure", "structure_tensor"]
__all__ += ["AdjointSimulator"]
__all__ += ["LieAlgebraStructure", "SimpleIdeal", "decompose", "GPurity", "g_purity", "variance"]
__all__ += ["PauliStrings", "PauliSums"]
__all__ += ["center"]
