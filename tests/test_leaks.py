"""Repeated calls, succeeding or failing on any path, leave memory and the reference counts of
their arguments flat: 10,000 calls per path, Python allocations traced by tracemalloc, native
memory by the C heap in use (glibc) and the resident size (not under AddressSanitizer, whose
allocator has its own ideas about both). TANVO_LEAK_CALLS sets fewer calls for runs that look for
memory errors rather than leaks."""
import ctypes
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import tanvo

from conftest import FreshCopies, panic_type, sanitized, unaligned

CALLS = int(os.environ.get("TANVO_LEAK_CALLS", "10000"))


class MallocInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _heap_probe():
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = MallocInfo
    return lambda: mallinfo2().uordblks + mallinfo2().hblkhd


heap_in_use = _heap_probe()


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def repeat(call, times):
    for _ in range(times):
        try:
            call()
        except BaseException:  # noqa: B036 - failures are part of what is measured
            pass


def assert_flat(call, watched=(), times=CALLS):
    """Calls `call` `times` times, twice over (natively, then under tracemalloc), after a few
    calls that fill every cache; the `watched` objects keep their reference counts."""
    repeat(call, min(200, times))
    gc.collect()
    references = [sys.getrefcount(value) for value in watched]
    before_rss = resident_bytes()
    before_heap = heap_in_use() if heap_in_use else 0
    repeat(call, times)
    gc.collect()
    heap_growth = (heap_in_use() - before_heap) if heap_in_use else 0
    rss_growth = resident_bytes() - before_rss

    tracemalloc.start()
    before_py, _ = tracemalloc.get_traced_memory()
    repeat(call, times)
    gc.collect()
    after_py, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    # A leak of even one small object or buffer per call shows as 10,000 of them.
    assert after_py - before_py < 64 * 1024
    if not sanitized():
        assert heap_growth < 256 * 1024
        assert rss_growth < 4 * 1024 * 1024
    assert [sys.getrefcount(value) for value in watched] == references


def counted(value, found=None):
    """The argument objects whose reference counts a call must leave alone: every container,
    array and number inside, but not the interpreter's shared small ints and singletons."""
    found = {} if found is None else found
    if value is None or isinstance(value, bool) or (type(value) is int and -5 <= value <= 256):
        return found
    if id(value) in found:
        return found
    found[id(value)] = value
    if isinstance(value, (list, tuple)):
        for item in value:
            counted(item, found)
    elif isinstance(value, dict):
        for key, item in value.items():
            counted(key, found)
            counted(item, found)
    elif isinstance(value, Hostile):
        counted(value.value, found)
    return found


class Hostile:
    """A number whose conversion raises an exception of its own (a new one each time: raising
    one instance again would chain its tracebacks)."""

    def __init__(self, error_type):
        self.value = error_type

    def __index__(self):
        raise self.value("hostile")

    __float__ = __complex__ = __index__


class Halt(BaseException):
    """Raised by hostile code, outside the Exception hierarchy."""


class Panicking:
    """A number whose conversion raises PanicException, which the call resumes as its own."""

    def __index__(self):
        raise panic_type()("from python")

    __float__ = __complex__ = __index__


class FailingIteration:
    def __getitem__(self, index):
        raise IndexError(index)

    def __iter__(self):
        yield np.eye(2, dtype=complex)
        raise ValueError("iteration stops here")


rng = np.random.default_rng(5)
G3 = tanvo.gen_gellmann(3)
COLUMN = np.arange(1, 9, dtype=complex).reshape(8, 1) * (1 - 0.5j)
F3 = tanvo.get_structure_constants(G3)
D3 = tanvo.get_d_coefficients(G3)


def huge(shape):
    return np.broadcast_to(np.zeros((1, 1), complex), shape)


# (function name, positional arguments, keyword arguments); built afresh for each test.
PATHS = {
    "sylvester-success": lambda: ("gen_sylvester", [4], {}),
    "sylvester-keyword": lambda: ("gen_sylvester", [], {"d": 3}),
    "sylvester-panic": lambda: ("gen_sylvester", [0], {}),
    "sylvester-overflow": lambda: ("gen_sylvester", [-1], {}),
    "sylvester-wrapped-typeerror": lambda: ("gen_sylvester", [3.5], {}),
    "sylvester-memory": lambda: ("gen_sylvester", [10**5], {}),
    "sylvester-unexpected-keyword": lambda: ("gen_sylvester", [3], {"n": 2}),
    "sylvester-multiple-values": lambda: ("gen_sylvester", [3], {"d": 2}),
    "sylvester-too-many": lambda: ("gen_sylvester", [3, 4], {}),
    "sylvester-missing": lambda: ("gen_sylvester", [], {}),
    "sylvester-own-error": lambda: ("gen_sylvester", [Hostile(KeyError)], {}),
    "sylvester-python-panic": lambda: ("gen_sylvester", [Panicking()], {}),
    "gellmann-success": lambda: ("gen_gellmann", [3], {}),
    "gellmann-empty": lambda: ("gen_gellmann", [1], {}),
    "gellmann-memory": lambda: ("gen_gellmann", [10**6], {}),
    "gellmann-typeerror": lambda: ("gen_gellmann", ["3"], {}),
    "su2-success": lambda: ("gen_su2", [1.5], {}),
    "su2-panic": lambda: ("gen_su2", [-1.0], {}),
    "su2-size-overflow": lambda: ("gen_su2", [1e12], {}),
    "su2-memory": lambda: ("gen_su2", [1e9], {}),
    "su2-typeerror": lambda: ("gen_su2", ["1"], {}),
    "su2-own-error": lambda: ("gen_su2", [Hostile(ValueError)], {}),
    "sl2-success": lambda: ("gen_sl2", [2], {}),
    "sl2-panic": lambda: ("gen_sl2", [float("nan")], {}),
    "sl2-memory": lambda: ("gen_sl2", [1e9], {}),
    "structure-orthogonal": lambda: ("get_structure_constants", [G3], {}),
    "structure-dense": lambda: ("get_structure_constants",
                                [[rng.normal(size=(2, 2)) + 1j * rng.normal(size=(2, 2)) for _ in range(3)]], {}),
    "structure-per-pair": lambda: ("get_structure_constants", [np.full((2, 2, 2), 1 + 1j)], {}),
    "structure-tuple-of-views": lambda: ("get_structure_constants", [tuple(m.T for m in G3)], {}),
    "structure-unaligned": lambda: ("get_structure_constants", [[unaligned(m) for m in G3]], {}),
    "structure-fresh-arrays": lambda: ("get_structure_constants", [FreshCopies(G3)], {}),
    "structure-empty-matrices": lambda: ("get_structure_constants", [[np.zeros((0, 0), complex)] * 3], {}),
    "structure-empty-basis": lambda: ("get_structure_constants", [[]], {}),
    "structure-solver-failure": lambda: ("get_structure_constants",
                                         [[np.full((2, 2), np.nan, complex), np.eye(2, dtype=complex)]], {}),
    "structure-shapes": lambda: ("get_structure_constants", [[np.eye(2, dtype=complex), np.ones((3, 3), complex)]], {}),
    "structure-not-sequence": lambda: ("get_structure_constants", [5], {}),
    "structure-bad-item": lambda: ("get_structure_constants", [[np.eye(2, dtype=complex), np.eye(2)]], {}),
    "structure-iteration-error": lambda: ("get_structure_constants", [FailingIteration()], {}),
    "structure-memory": lambda: ("get_structure_constants", [[huge((2**20, 2**20))]], {}),
    "d-coefficients-success": lambda: ("get_d_coefficients", [G3], {}),
    "d-coefficients-dense": lambda: ("get_d_coefficients",
                                     [[rng.normal(size=(2, 2)) + 1j * rng.normal(size=(2, 2)) for _ in range(3)]], {}),
    "d-coefficients-panic": lambda: ("get_d_coefficients", [[np.ones((2, 3), complex)]], {}),
    "commutator-success": lambda: ("su_commutator", [COLUMN, COLUMN[::-1], F3, G3], {}),
    "commutator-dense-term": lambda: ("su_commutator", [COLUMN, COLUMN, {(0, 1): (0, 1j)},
                                                        [np.full((3, 3), np.inf, complex)]], {}),
    "commutator-unaligned": lambda: ("su_commutator", [COLUMN, COLUMN, F3, [unaligned(m) for m in G3]], {}),
    "commutator-fresh-arrays": lambda: ("su_commutator", [COLUMN, COLUMN, F3, FreshCopies(G3)], {}),
    "commutator-keywords": lambda: ("su_commutator", [], {"l_a": COLUMN, "l_b": COLUMN, "f_ijk": F3, "basis": G3}),
    "commutator-missing-term": lambda: ("su_commutator", [COLUMN, COLUMN, {(0, 1): (99, 1j)}, G3], {}),
    "commutator-empty-basis": lambda: ("su_commutator", [COLUMN, COLUMN, F3, []], {}),
    "commutator-stretch": lambda: ("su_commutator", [COLUMN, COLUMN, {(0, 1): (1, 1j)},
                                                     [np.eye(2, dtype=complex), np.ones((3, 3), complex)]], {}),
    "commutator-bad-array": lambda: ("su_commutator", [COLUMN.real, COLUMN, F3, G3], {}),
    "commutator-key-length": lambda: ("su_commutator", [COLUMN, COLUMN, {(0, 1, 2): (0, 1j)}, G3], {}),
    "commutator-negative-index": lambda: ("su_commutator", [COLUMN, COLUMN, {(0, -1): (0, 1j)}, G3], {}),
    "commutator-own-error": lambda: ("su_commutator", [COLUMN, COLUMN, {(0, 1): (0, Hostile(Halt))}, G3], {}),
    "commutator-python-panic": lambda: ("su_commutator", [COLUMN, COLUMN, {(Panicking(), 1): (0, 1j)}, G3], {}),
    "commutator-memory": lambda: ("su_commutator", [COLUMN, COLUMN, {}, [np.zeros((10**6, 0), complex)]], {}),
    "anticommutator-success": lambda: ("su_anticommutator", [COLUMN, COLUMN, D3, G3], {}),
    "anticommutator-not-dict": lambda: ("su_anticommutator", [COLUMN, COLUMN, [], G3], {}),
    "anticommutator-value-type": lambda: ("su_anticommutator", [COLUMN, COLUMN, {(0, 1): [0, 1j]}, G3], {}),
    "cross-success": lambda: ("cross", [COLUMN, COLUMN[::-1], F3], {}),
    "cross-nan": lambda: ("cross", [COLUMN * np.nan, COLUMN, F3], {}),
    "cross-same-array": lambda: ("cross", [COLUMN, COLUMN, {(2**64 - 1, 0): (0, 1j)}], {}),
    "cross-complex-error": lambda: ("cross", [COLUMN, COLUMN, {(0, 1): (0, "1j")}], {}),
    "cross-too-large-index": lambda: ("cross", [COLUMN, COLUMN, {(0, 1): (2**64, 1j)}], {}),
    "cross-memory": lambda: ("cross", [huge((2**29, 2**29)), COLUMN, {}], {}),
    "dot-success": lambda: ("dot", [COLUMN, COLUMN, F3], {}),
    "dot-wrong-keyword": lambda: ("dot", [COLUMN, COLUMN], {"d_ijk": F3}),
}


@pytest.mark.parametrize("path", list(PATHS))
def test_repeated_calls_leave_memory_and_arguments_alone(path):
    name, args, kwargs = PATHS[path]()
    function = getattr(tanvo, name)
    assert_flat(lambda: function(*args, **kwargs), list(counted([args, kwargs]).values()))


@pytest.mark.parametrize("path", ["sylvester-success", "su2-success", "structure-orthogonal",
                                  "commutator-success", "cross-success", "commutator-missing-term"])
def test_reference_routines_leave_memory_alone(reference, path):
    name, args, kwargs = PATHS[path]()
    function = getattr(reference, name)
    assert_flat(lambda: function(*args, **kwargs), times=CALLS // 10)


@pytest.mark.parametrize("name", ["get_structure_constants", "get_d_coefficients"])
def test_maps_of_several_blocks_leave_memory_alone(name):
    # About 9,700 entries: the result is handed over in more than one block.
    basis = tanvo.gen_sylvester(10)
    function = getattr(tanvo, name)
    assert len(function(basis)) > 8192
    assert_flat(lambda: function(basis), basis, times=CALLS // 20)


# --- tanvo_lie: every route of the tensor, its failures, and the tensor's methods ------

def _tensor_paths():
    from tanvo_lie import CoefficientTensor, _native, structure_tensor

    sylvester = tanvo.gen_sylvester(3)
    rotated = [np.ascontiguousarray(m * (1 + 0.5j) + np.eye(3) * 0.25) for m in G3]
    tensor = structure_tensor(G3)
    column = np.arange(8, dtype=complex)
    return {
        "tensor-orthogonal": lambda: (structure_tensor, [G3], {}),
        "tensor-monomial-threads": lambda: (structure_tensor, [sylvester, "anticommutator"], {"threads": 2}),
        "tensor-dense-block": lambda: (structure_tensor, [rotated], {"rows": (2, 5)}),
        "tensor-per-pair": lambda: (_native.structure_tensor, [G3, 0, 1e-8, 0, 8, 2, 3], {}),
        "tensor-refused-route": lambda: (_native.structure_tensor, [rotated, 0, 1e-8, 0, 8, 1, 1], {}),
        "tensor-non-finite": lambda: (structure_tensor, [[np.eye(2), np.full((2, 2), np.nan)]], {}),
        "tensor-overflow": lambda: (structure_tensor, [np.array([[[0, 1e200], [0, 0]], [[0, 0], [1e200, 0]]])], {}),
        "tensor-bad-kind": lambda: (structure_tensor, [G3, "lie"], {}),
        "tensor-bad-rows": lambda: (structure_tensor, [G3], {"rows": (3, 1)}),
        "tensor-not-numbers": lambda: (structure_tensor, [[np.array([["a"]])]], {}),
        "native-bad-array": lambda: (_native.structure_tensor, [[np.eye(2)], 0, 1e-8, 0, 1], {}),
        "contract": lambda: (tensor.contract, [column, column[::-1]], {}),
        "contract-batch": lambda: (tensor.contract, [np.ones((8, 3)), np.ones((8, 3))], {}),
        "native-contract-range": lambda: (_native.contract, [np.array([[0, 0, 9]]), np.ones(1, complex), 8,
                                                             np.ones((8, 1), complex), np.ones((8, 1), complex)], {}),
        "first-terms": lambda: (tensor.first_terms, [], {}),
        "todense": lambda: (tensor.todense, [], {}),
        "todense-memory": lambda: (CoefficientTensor(np.zeros((0, 3)), [], 10**6).todense, [], {}),
    }


TENSOR_PATHS = _tensor_paths()


@pytest.mark.parametrize("path", list(TENSOR_PATHS))
def test_tensor_calls_leave_memory_and_arguments_alone(path):
    function, args, kwargs = TENSOR_PATHS[path]()
    assert_flat(lambda: function(*args, **kwargs), list(counted([args, kwargs]).values()), times=CALLS // 5)


# --- tanvo_lie.lie_closure --------------------------------------------------------------

X2 = np.array([[0, 1], [1, 0]], complex)
Z2 = np.diag([1.0, -1.0]).astype(complex)
CLOSURE_PATHS = {
    "closure-pauli": lambda: ([np.kron(X2, X2), np.kron(Z2, np.eye(2))], {}),
    "closure-entries": lambda: ([tanvo.gen_sylvester(3)[0], tanvo.gen_sylvester(3)[1]], {}),
    "closure-dense": lambda: ([rng.normal(size=(3, 3)) + 0j, rng.normal(size=(3, 3)) + 0j], {}),
    "closure-empty": lambda: ([], {}),
    "closure-too-large": lambda: ([X2, Z2], {"max_dimension": 2}),
    "closure-progress": lambda: ([X2, Z2], {"progress": True}),
    "closure-bad-tol": lambda: ([X2], {"tol": -1.0}),
    "closure-bad-matrix": lambda: ([X2, np.eye(3)], {}),
    "closure-waiting": lambda: (list(tanvo.gen_sylvester(12)[:2]), {}),
    "closure-compact-dense": lambda: ([h + h.conj().T for h in rng.normal(size=(2, 3, 3)) + 0j], {}),
    "closure-scaled": lambda: ([1e200 * X2, 1e-200 * Z2], {}),
    "closure-capped-threads": lambda: ([X2, Z2], {"threads": 10**9}),
    "closure-tol-below-rounding": lambda: ([X2], {"tol": 1e-300}),
}


class Discard:
    """A stream that keeps nothing, so that progress lines do not pile up while measuring."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


@pytest.mark.parametrize("path", list(CLOSURE_PATHS))
def test_lie_closure_leaves_memory_and_arguments_alone(path, monkeypatch):
    tanvo_lie = pytest.importorskip("tanvo_lie")
    monkeypatch.setattr(sys, "stderr", Discard())
    args, kwargs = CLOSURE_PATHS[path]()
    assert_flat(lambda: tanvo_lie.lie_closure(args, **kwargs), list(counted([args, kwargs]).values()),
                times=CALLS // 10)
