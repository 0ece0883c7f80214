from typing import Any, Optional

import numpy as np
from numpy.typing import NDArray

def available_threads() -> int: ...
def structure_tensor(basis: NDArray[np.complex128] | list[NDArray[np.complex128]], product: int, tol: float,
                     start: int, stop: int, threads: int = 1, method: int = 0) -> tuple[Optional[Any], Any]: ...
def contract(indices: NDArray[np.int64], values: NDArray[np.complex128], n: int,
             a: NDArray[np.complex128], b: NDArray[np.complex128]) -> Any: ...
