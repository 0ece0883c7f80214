import numpy as np
import pytest

import tanvo

PanicException = None


def panic_type():
    """The PanicException type, obtained from a call that is known to fail."""
    global PanicException
    if PanicException is None:
        try:
            tanvo.gen_sylvester(0)
        except BaseException as e:  # noqa: B036 - the type derives from BaseException
            PanicException = type(e)
    return PanicException


@pytest.fixture
def panic():
    return panic_type()


@pytest.fixture(scope="session")
def reference():
    return pytest.importorskip("tanvo_reference")


def sanitized():
    """Whether AddressSanitizer's runtime is in the process. Its allocator keeps freed memory in
    quarantine and maps shadow memory, so resident sizes then measure it, not the module."""
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


def bits(array):
    """Exact bytes of an array, to compare results to the last bit (signed zeros included)."""
    return np.ascontiguousarray(array).tobytes()


def unaligned(matrix):
    """A copy whose data starts one byte past an aligned address."""
    buffer = np.zeros(matrix.nbytes + 1, np.uint8)
    copy = np.ndarray(matrix.shape, complex, buffer, offset=1)
    copy[...] = matrix
    assert not copy.flags.aligned
    return copy


class FreshCopies:
    """A sequence whose iteration yields new arrays that only the caller then holds."""

    def __init__(self, matrices):
        self.matrices = matrices

    def __getitem__(self, index):
        raise AssertionError("the basis must be read by iteration")

    def __len__(self):
        return len(self.matrices)

    def __iter__(self):
        return (np.array(m) for m in self.matrices)
