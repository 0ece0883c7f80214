"""Arguments of structure_tensor, CoefficientTensor and contract as a hostile caller passes them:
whatever NumPy reads as an array is read so, sizes come from shapes, and every refusal names the
argument and says what it must be."""
import numpy as np
import pytest

import tanvo
from tanvo_lie import CoefficientTensor, lie_closure, structure_tensor

G2 = np.array(tanvo.gen_gellmann(2))
BIG = 2**21 + 1  # (i·n + j)·n + k overflows int64 from here


class LyingLength(np.ndarray):
    """An ndarray whose len() disagrees with its shape."""

    def __len__(self):
        return 1


class InterfaceOnly:
    """Offers its data through __array_interface__ alone."""

    def __init__(self, array):
        self.array = array
        self.__array_interface__ = array.__array_interface__


def tensor_of(basis):
    t = structure_tensor(basis)
    return t.shape, t.indices.tolist(), t.values.tolist()


# Inputs NumPy reads as arrays give what the plain array gives (each case: the call, and the
# same with plain arrays); and a tensor of no basis contracts, whose width reshape(0, -1) lost.
ACCEPTED = {
    "memoryview": (lambda: tensor_of(memoryview(G2)), lambda: tensor_of(G2)),
    "array-interface": (lambda: tensor_of(InterfaceOnly(G2)), lambda: tensor_of(G2)),
    "lying-len": (lambda: tensor_of(G2.view(LyingLength)), lambda: tensor_of(G2)),
    "lying-len-items": (lambda: tensor_of([m.view(LyingLength) for m in G2]), lambda: tensor_of(G2)),
    "memoryview-items": (lambda: tensor_of([memoryview(m) for m in G2]), lambda: tensor_of(G2)),
    "contract-memoryview": (
        lambda: structure_tensor(G2).contract(memoryview(np.arange(3.0)), InterfaceOnly(np.ones(3))).tolist(),
        lambda: structure_tensor(G2).contract(np.arange(3.0), np.ones(3)).tolist()),
    "tensor-memoryview": (lambda: CoefficientTensor(memoryview(np.array([[0, 1, 2]])), memoryview(np.ones(1)),
                                                    3).indices.tolist(), lambda: [[0, 1, 2]]),
    "closure-memoryview": (lambda: lie_closure(memoryview(G2)).shape, lambda: lie_closure(G2).shape),
    "contract-no-basis": (lambda: CoefficientTensor(np.zeros((0, 3), int), [], 0).contract([], []).shape,
                          lambda: (0,)),
}


@pytest.mark.parametrize("case", ACCEPTED)
def test_whatever_numpy_reads_as_an_array_is_read_so(case):
    call, plain = ACCEPTED[case]
    assert call() == plain()


def test_order_of_indices_is_checked_without_overflow():
    # Sorted, but (i·n + j)·n + k of the second row wraps past 2**63.
    ordered = CoefficientTensor([[0, 0, 0], [BIG - 1, 0, 0]], [1, 2], BIG)
    assert ordered.indices.tolist() == [[0, 0, 0], [BIG - 1, 0, 0]]
    assert CoefficientTensor(np.zeros((0, 3)), [], 2**63 - 1).nnz == 0
    with pytest.raises(ValueError, match="sorted"):
        CoefficientTensor([[BIG - 1, 0, 0], [0, 0, 0]], [1, 2], BIG)


# Each hostile call: the exception, and the argument its message opens with.
HOSTILE = {
    "ragged-basis": (lambda: structure_tensor([[[1, 0], [0]]]), ValueError, "basis[0]"),
    "ragged-stack": (lambda: structure_tensor(InterfaceOnly(np.zeros((2, 2)))), ValueError, "basis"),
    "scalar-basis": (lambda: structure_tensor(np.float64(1.0)), ValueError, "basis"),
    "string-basis": (lambda: structure_tensor("abc"), TypeError, "basis"),
    "bytes-basis": (lambda: structure_tensor(b"abcd"), TypeError, "basis"),
    "nan-index": (lambda: CoefficientTensor([[np.nan, 0, 0]], [1], 2), TypeError, "indices"),
    "float-index": (lambda: CoefficientTensor([[0.9, 0, 0]], [1], 2), TypeError, "indices"),
    "string-index": (lambda: CoefficientTensor([["1", "0", "0"]], [1], 2), TypeError, "indices"),
    "bool-index": (lambda: CoefficientTensor([[True, False, False]], [1], 2), TypeError, "indices"),
    "ragged-indices": (lambda: CoefficientTensor([[0, 0], [0, 0, 1]], [1, 2], 2), ValueError, "indices"),
    "uint64-index": (lambda: CoefficientTensor(np.array([[2**63 + 1, 0, 0]], np.uint64), [1], 2), ValueError,
                     "indices"),
    "index-past-int64": (lambda: CoefficientTensor([[2, 0, 0], [2**64, 0, 0]], [1, 2], 3), ValueError, "indices"),
    "unsorted-large-n": (lambda: CoefficientTensor([[BIG - 1, 0, 0], [0, 0, 0]], [1, 2], BIG), ValueError,
                         "indices"),
    "string-values": (lambda: CoefficientTensor([[0, 0, 1]], ["x"], 2), TypeError, "values"),
    "ragged-values": (lambda: CoefficientTensor([[0, 0, 1], [0, 1, 0]], [1, [2, 3]], 2), ValueError, "values"),
    "huge-n": (lambda: CoefficientTensor(np.zeros((0, 3), int), [], 10**30), ValueError, "n"),
    "float-n": (lambda: CoefficientTensor(np.zeros((0, 3), int), [], 3.0), TypeError, "n"),
    "ragged-a": (lambda: structure_tensor(G2).contract([1, [2, 3], 4], np.ones(3)), ValueError, "a"),
    "string-b": (lambda: structure_tensor(G2).contract(np.ones(3), np.array(list("abc"))), TypeError, "b"),
    "ragged-generators": (lambda: lie_closure([[[1, 0], [0]]]), ValueError, "generators[0]"),
    "rcond-negative": (lambda: structure_tensor(G2, rcond=-1e-3), ValueError, "rcond"),
    "rcond-nan": (lambda: structure_tensor(list(G2), rcond=np.nan), ValueError, "rcond"),
    "rcond-string": (lambda: structure_tensor(G2, rcond="1e-3"), TypeError, "rcond"),
}


@pytest.mark.parametrize("case", HOSTILE)
def test_hostile_arguments_name_themselves(case):
    call, error, argument = HOSTILE[case]
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value).startswith(argument + " ")


# 2**20 parallel 1 x 1 matrices: every route needs n² numbers, terabytes.
MANY = np.arange(1, 2**20 + 1).reshape(-1, 1, 1)
TOO_LARGE = {
    "tensor": (lambda: structure_tensor(MANY), r"cannot allocate \d+\.\d TB for .*1048576 matrices of 1 x 1"),
    "tensor-row": (lambda: structure_tensor(MANY, "anticommutator", rows=(0, 1)), r"\d TB for .*1048576 matrices"),
    "todense": (lambda: CoefficientTensor(np.zeros((0, 3), int), [], 10**5).todense(), r"\(100000, 100000, 100000\)"),
}


@pytest.mark.parametrize("case", TOO_LARGE)
def test_memory_errors_say_what_could_not_be_allocated(case):
    call, message = TOO_LARGE[case]
    with pytest.raises(MemoryError, match=message):
        call()
