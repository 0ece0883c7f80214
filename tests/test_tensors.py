"""Complete coefficient tensors: every term of the per-pair least-squares expansion, in any
row block and on any number of threads, agreeing with NumPy, with tanvo's maps and with the
commutator itself."""
import itertools
import os
import select
import signal
import threading
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import tanvo
from tanvo_lie import CoefficientTensor, _native, structure_tensor

from test_interrupt import interrupted_after

rng = np.random.default_rng(12)


def pauli_words(qubits, identity=True):
    single = [np.eye(2), np.array([[0, 1], [1, 0]]), np.array([[0, -1j], [1j, 0]]), np.diag([1, -1])]
    words = [np.array(1)]
    for _ in range(qubits):
        words = [np.kron(w, s) for w in words for s in single]
    return np.array(words[0 if identity else 1:], complex)


def rotated(basis, seed=3):
    d = basis[0].shape[0]
    q, _ = np.linalg.qr(np.random.default_rng(seed).normal(size=(d, d)) + 1j * np.random.default_rng(seed + 1).normal(size=(d, d)))
    return np.array([q @ m @ q.conj().T for m in basis])


def random_basis(n, d, seed=5):
    g = np.random.default_rng(seed)
    return g.normal(size=(n, d, d)) + 1j * g.normal(size=(n, d, d))


def mirrored_pairs(d, seed=9):
    """Every matrix |a><b| ± |b><a| and d diagonal ones (rows of a random orthogonal matrix),
    each times a random complex number, in random order: orthogonal, of the Gell-Mann bases'
    shape but with full diagonals and norms that are not powers of two."""
    g = np.random.default_rng(seed)
    matrices = []
    for a, b in itertools.combinations(range(d), 2):
        for sign in (1, -1):
            m = np.zeros((d, d), complex)
            m[a, b], m[b, a] = 1, sign
            matrices.append(m)
    q, _ = np.linalg.qr(g.normal(size=(d, d)))
    matrices += [np.diag(row).astype(complex) for row in q]
    factors = g.normal(size=len(matrices)) + 1j * g.normal(size=len(matrices))
    return (np.array(matrices) * factors[:, None, None])[g.permutation(len(matrices))]


BASES = {
    "gellmann-3": lambda: tanvo.gen_gellmann(3),
    "gellmann-4": lambda: tanvo.gen_gellmann(4),
    "sylvester-3": lambda: tanvo.gen_sylvester(3),
    "sylvester-4": lambda: tanvo.gen_sylvester(4),
    "pauli-2": lambda: pauli_words(2),
    "pauli-2-traceless": lambda: pauli_words(2, identity=False),
    "rotated-gellmann-3": lambda: rotated(tanvo.gen_gellmann(3)),
    "non-orthogonal": lambda: np.einsum("ab,bij->aij", np.eye(8) + 0.3 * np.triu(np.ones((8, 8)), 1),
                                        np.array(tanvo.gen_gellmann(3))),
    "rank-deficient": lambda: np.array(tanvo.gen_gellmann(2) + [tanvo.gen_gellmann(2)[0] + tanvo.gen_gellmann(2)[1]]),
    "too-many": lambda: random_basis(6, 2),
    "not-closed": lambda: random_basis(3, 3),
    "spin-1": lambda: tanvo.gen_su2(1.0),
    "real-int": lambda: np.array([[[0, 1], [0, 0]], [[0, 0], [1, 0]], [[1, 0], [0, -1]]]),
    # Clock-and-shift with a complex factor per matrix, and with rows and columns permuted
    # (still monomial and orthogonal, but no longer cyclic shifts of characters).
    "scaled-sylvester-6": lambda: np.array(tanvo.gen_sylvester(6))
    * (rng.normal(size=35) + 1j * rng.normal(size=35))[:, None, None],
    "permuted-sylvester-5": lambda: np.array(tanvo.gen_sylvester(5))[:, [3, 0, 4, 1, 2]][:, :, [3, 0, 4, 1, 2]],
    # Gell-Mann matrices in another order, rows and columns permuted, a complex factor each.
    "scaled-permuted-gellmann-5": lambda: (np.array(tanvo.gen_gellmann(5))[:, [2, 4, 0, 3, 1]][:, :, [2, 4, 0, 3, 1]]
                                           * (rng.normal(size=24) + 1j * rng.normal(size=24))[:, None, None]
                                           )[rng.permutation(24)],
    "mirrored-pairs-4": lambda: mirrored_pairs(4),
}
KINDS = ["commutator", "anticommutator"]


def per_pair(basis, kind, tol=1e-8, rcond=None):
    """T[i, j, k] by one NumPy least-squares solve per pair, terms at most tol dropped."""
    b = np.asarray(basis, complex)
    n, d, _ = b.shape
    system = b.reshape(n, d * d).T
    sign = -1 if kind == "commutator" else 1
    expected = np.zeros((n, n, n), complex)
    for i, j in itertools.product(range(n), repeat=2):
        if i == j and kind == "commutator":
            continue
        product = b[i] @ b[j] + sign * b[j] @ b[i]
        expected[i, j] = np.linalg.lstsq(system, product.ravel(), rcond=rcond)[0]
    expected[(abs(expected.real) <= tol) & (abs(expected.imag) <= tol)] = 0
    return expected


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name", BASES)
def test_tensor_holds_every_per_pair_coefficient(name, kind):
    basis = BASES[name]()
    tensor = structure_tensor(basis, kind)
    expected = per_pair(basis, kind)
    n = len(basis)
    assert tensor.shape == (n, n, n) and tensor.kind == kind
    assert tensor.indices.dtype == np.int64 and tensor.values.dtype == np.complex128
    assert tensor.indices.shape == (tensor.nnz, 3)
    keys = [tuple(row) for row in tensor.indices.tolist()]
    assert keys == sorted(set(keys))
    scale = max(1.0, abs(expected).max())
    np.testing.assert_allclose(tensor.todense(), expected, rtol=0, atol=1e-10 * scale)
    assert set(keys) == set(zip(*np.nonzero(expected)))


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name", ["gellmann-3", "gellmann-4", "sylvester-4", "pauli-2", "rotated-gellmann-3",
                                  "non-orthogonal", "rank-deficient"])
def test_first_terms_are_the_map(name, kind):
    basis = BASES[name]()
    matrices = [np.ascontiguousarray(m, complex) for m in basis]
    mapping = (tanvo.get_structure_constants if kind == "commutator" else tanvo.get_d_coefficients)(matrices)
    first = structure_tensor(basis, kind).first_terms()
    assert list(first) == list(mapping)
    for key, (k, c) in mapping.items():
        assert first[key][0] == k
        assert abs(first[key][1] - c) <= 1e-12 * max(1.0, abs(c))
        assert type(first[key][0]) is int and type(first[key][1]) is complex


def test_gellmann_pair_with_two_terms_rebuilds_its_commutator():
    basis = np.array(tanvo.gen_gellmann(3))
    tensor = structure_tensor(basis)
    pair = (tensor.indices[:, 0] == 6) & (tensor.indices[:, 1] == 2)  # iλ4, iλ5
    assert tensor.indices[pair, 2].tolist() == [0, 4]
    rebuilt = np.einsum("k,kij->ij", tensor.values[pair], basis[[0, 4]])
    np.testing.assert_allclose(rebuilt, basis[6] @ basis[2] - basis[2] @ basis[6], atol=1e-14)
    assert len(tanvo.get_structure_constants(tanvo.gen_gellmann(3))) == len(tensor.first_terms())


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name", ["gellmann-4", "sylvester-4", "pauli-2", "rotated-gellmann-3", "not-closed",
                                  "scaled-permuted-gellmann-5", "gellmann-24"])
def test_blocks_and_threads_give_the_same_bits(name, kind):
    # su(24) has pairs enough for the Gell-Mann route to use its threads.
    basis = tanvo.gen_gellmann(24) if name == "gellmann-24" else BASES[name]()
    whole = structure_tensor(basis, kind, threads=1)
    n = whole.shape[0]
    for threads in (2, 3):
        other = structure_tensor(basis, kind, threads=threads)
        assert other.indices.tobytes() == whole.indices.tobytes()
        assert other.values.tobytes() == whole.values.tobytes()
    cuts = [0, 1, n // 3, n // 2, n - 1, n]
    blocks = [structure_tensor(basis, kind, rows=(a, b), threads=2) for a, b in zip(cuts, cuts[1:])]
    assert np.concatenate([b.indices for b in blocks]).tobytes() == whole.indices.tobytes()
    assert np.concatenate([b.values for b in blocks]).tobytes() == whole.values.tobytes()
    assert structure_tensor(basis, kind, rows=(n, n)).nnz == 0


def same_bits(a, b):
    return a.indices.tobytes() == b.indices.tobytes() and a.values.tobytes() == b.values.tobytes()


def test_calls_from_many_threads_at_once_give_the_same_bits():
    basis = tanvo.gen_gellmann(8)
    expected = structure_tensor(basis, threads=1)
    with ThreadPoolExecutor(6) as callers:
        results = list(callers.map(lambda t: structure_tensor(basis, threads=t), [2, 3, 5] * 8))
    assert all(same_bits(result, expected) for result in results)


def test_a_child_forked_after_threaded_calls_still_computes():
    # The threads that waited for work in the parent do not exist in the child.
    basis = tanvo.gen_gellmann(6)
    expected = structure_tensor(basis, threads=3)
    read, write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking a process with threads
        pid = os.fork()
    if pid == 0:
        try:
            os.write(write, b"same" if same_bits(structure_tensor(basis, threads=3), expected) else b"differ")
        finally:
            os._exit(0)
    os.close(write)
    try:
        ready, _, _ = select.select([read], [], [], 60)
        answer = os.read(read, 16) if ready else b"no answer within 60 s"
    finally:
        os.close(read)
        if not ready:
            os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    assert answer == b"same"


AUTOMATIC, SPARSE, DENSE, PER_PAIR = range(4)


@pytest.mark.parametrize("product", [0, 1])
@pytest.mark.parametrize("name", ["gellmann-4", "sylvester-4", "pauli-2", "pauli-2-traceless",
                                  "scaled-sylvester-6", "permuted-sylvester-5", "scaled-permuted-gellmann-5",
                                  "mirrored-pairs-4"])
def test_fast_routes_agree_with_one_solve_per_pair(name, product):
    matrices = [np.ascontiguousarray(m, complex) for m in BASES[name]()]
    n = len(matrices)
    results = {}
    for method in (SPARSE, DENSE, PER_PAIR):
        indices, values = _native.structure_tensor(matrices, product, 1e-8, 0, n, 2, method)
        results[method] = np.asarray(indices), np.asarray(values)
    for method in (SPARSE, DENSE):
        np.testing.assert_array_equal(results[method][0], results[PER_PAIR][0])
        np.testing.assert_allclose(results[method][1], results[PER_PAIR][1], rtol=0, atol=1e-13)


def test_sparse_route_is_refused_for_a_basis_it_cannot_take():
    matrices = [np.ascontiguousarray(m) for m in rotated(tanvo.gen_gellmann(3))]
    with pytest.raises(ValueError, match="orthogonal"):
        _native.structure_tensor(matrices, 0, 1e-8, 0, 8, 1, SPARSE)


@pytest.mark.parametrize("tol", [0.0, 1e-3, 0.6])
def test_tolerance_keeps_exactly_the_larger_terms(tol):
    basis = np.array(tanvo.gen_gellmann(3)) * 0.5
    exact = per_pair(basis, "commutator", tol=0.0)
    kept = (abs(exact.real) > tol) | (abs(exact.imag) > tol)
    tensor = structure_tensor(basis, tol=tol)
    if tol == 0.0:  # rounding noise is kept too: compare the terms above it
        assert set(zip(*np.nonzero(abs(exact) > 1e-12))) <= {tuple(r) for r in tensor.indices.tolist()}
    else:
        assert {tuple(r) for r in tensor.indices.tolist()} == set(zip(*np.nonzero(kept)))


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name", ["gellmann-3", "sylvester-3", "pauli-2", "non-orthogonal", "not-closed"])
def test_contract_gives_the_coefficients_of_the_product(name, kind):
    basis = np.asarray(BASES[name](), complex)
    n, d, _ = basis.shape
    tensor = structure_tensor(basis, kind)
    a = rng.normal(size=(n, 3)) + 1j * rng.normal(size=(n, 3))
    b = rng.normal(size=(n, 3)) + 1j * rng.normal(size=(n, 3))
    sign = -1 if kind == "commutator" else 1
    system = basis.reshape(n, d * d).T
    for column in range(3):
        x = np.einsum("i,ijk->jk", a[:, column], basis)
        y = np.einsum("i,ijk->jk", b[:, column], basis)
        expected = np.linalg.lstsq(system, (x @ y + sign * y @ x).ravel(), rcond=None)[0]
        np.testing.assert_allclose(tensor.contract(a[:, column], b[:, column]), expected, atol=1e-9)
        np.testing.assert_allclose(tensor.contract(a, b)[:, column], expected, atol=1e-9)
    assert tensor.contract(a.real.astype(int), b.real.astype(int)).dtype == np.complex128


def test_results_are_arrays_of_their_own():
    tensor = structure_tensor(tanvo.gen_gellmann(3))
    for array in (tensor.indices, tensor.values):
        assert array.flags.writeable and array.flags.c_contiguous
    first = tensor.values.copy()
    tensor.values[:] = 0
    assert structure_tensor(tanvo.gen_gellmann(3)).values.tolist() == first.tolist()


@pytest.mark.parametrize("kind", KINDS)
def test_results_of_one_size_in_turn_keep_their_own_values(kind):
    # Results of megabytes go back to a few kept mappings and come out again for the next one
    # of their size: nothing of one may show in another.
    basis = np.array(tanvo.gen_gellmann(24))
    first = structure_tensor(basis, kind)
    assert first.values.nbytes + first.indices.nbytes > 2 << 20
    expected_indices, expected_values = first.indices.copy(), first.values.copy()
    first.values[:] = np.nan
    first.indices[:] = -1
    del first
    for scale in (2.0, 1.0, 2.0):  # twice the basis: every coefficient doubles, exactly
        tensor = structure_tensor(scale * basis, kind)
        np.testing.assert_array_equal(tensor.indices, expected_indices)
        np.testing.assert_array_equal(tensor.values, scale * expected_values)
        tensor.values[:] = np.nan
        del tensor


def test_sequence_inputs_are_read_in_place_and_left_alone():
    basis = tanvo.gen_sylvester(3)
    for m in basis:
        m.flags.writeable = False
    stacked = structure_tensor(np.array(basis))
    listed = structure_tensor(basis)
    assert listed.values.tobytes() == stacked.values.tobytes()
    assert all(not m.flags.writeable for m in basis)


class MatrixSubclass(np.ndarray):
    pass


# Lists of matrices the extension does not read as they are: each is converted, to the same bits.
CONVERTED_LISTS = {
    "column-major": lambda basis: [np.asfortranarray(m) for m in basis],
    "big-endian": lambda basis: [m.astype(">c16") for m in basis],
    "subclass": lambda basis: [m.view(MatrixSubclass) for m in basis],
    "tuple": tuple,
    "unaligned": lambda basis: [unaligned_copy(m) for m in basis],
    "one-strided": lambda basis: basis[:-1] + [np.hstack([basis[-1], basis[-1]])[:, : len(basis[-1])]],
}


def unaligned_copy(matrix):
    raw = np.zeros(matrix.nbytes + 1, np.uint8)
    copy = np.ndarray(matrix.shape, np.complex128, buffer=raw, offset=1)
    copy[...] = matrix
    assert not copy.flags.aligned
    return copy


@pytest.mark.parametrize("variant", CONVERTED_LISTS)
@pytest.mark.parametrize("threads", [None, 2])
def test_lists_read_as_given_or_converted_give_the_same_tensor(variant, threads):
    basis = tanvo.gen_sylvester(4)
    expected = structure_tensor(np.array(basis), threads=threads)
    for matrices in (basis, CONVERTED_LISTS[variant](basis)):
        tensor = structure_tensor(matrices, threads=threads)
        assert tensor.shape == expected.shape
        assert tensor.indices.tobytes() == expected.indices.tobytes()
        assert tensor.values.tobytes() == expected.values.tobytes()


def test_tensor_can_be_rebuilt_from_its_arrays():
    tensor = structure_tensor(tanvo.gen_gellmann(3), "anticommutator")
    copy = CoefficientTensor(tensor.indices.tolist(), tensor.values, 8, "anticommutator")
    assert copy.first_terms() == tensor.first_terms()
    assert repr(copy) == "CoefficientTensor(kind='anticommutator', shape=(8, 8, 8), nnz=%d)" % tensor.nnz


G3 = tanvo.gen_gellmann(3)
BAD_CALLS = {
    "empty": (lambda: structure_tensor([]), ValueError, "basis is empty"),
    "empty-array": (lambda: structure_tensor(np.zeros((0, 2, 2))), ValueError, "basis is empty"),
    "not-square": (lambda: structure_tensor(np.zeros((2, 2, 3))), ValueError, "square"),
    "mixed": (lambda: structure_tensor([np.eye(2), np.eye(3)]), ValueError, r"basis\[1\] has shape"),
    "flat": (lambda: structure_tensor(np.zeros((2, 2))), ValueError, r"\(n, d, d\)"),
    "nan": (lambda: structure_tensor([np.eye(2), np.full((2, 2), np.nan)]), ValueError, r"basis\[1\] has non-finite"),
    "nan-complex": (lambda: structure_tensor([np.eye(2, dtype=complex), np.full((2, 2), np.nan, complex)]), ValueError,
                    r"basis\[1\] has non-finite"),
    "mixed-complex": (lambda: structure_tensor([np.eye(2, dtype=complex), np.eye(3, dtype=complex)]), ValueError,
                      r"basis\[1\] has shape"),
    "inf-stack": (lambda: structure_tensor(np.array([np.eye(2), np.eye(2), np.full((2, 2), np.inf)])), ValueError,
                  r"basis\[2\] has non-finite"),
    "strings": (lambda: structure_tensor([np.array([["a"]])]), TypeError, r"basis\[0\] must hold numbers"),
    "bool": (lambda: structure_tensor(np.ones((1, 2, 2), bool)), TypeError, "must hold numbers"),
    "number": (lambda: structure_tensor(5), TypeError, "array or a sequence"),
    "kind": (lambda: structure_tensor(G3, "lie"), ValueError, "'commutator' or 'anticommutator'"),
    "kind-type": (lambda: structure_tensor(G3, 1), ValueError, "'commutator' or 'anticommutator'"),
    "tol-negative": (lambda: structure_tensor(G3, tol=-1.0), ValueError, "tol must be a non-negative"),
    "tol-nan": (lambda: structure_tensor(G3, tol=float("nan")), ValueError, "tol must be a non-negative"),
    "tol-type": (lambda: structure_tensor(G3, tol="1"), TypeError, "tol must be a real number"),
    "rows-order": (lambda: structure_tensor(G3, rows=(5, 2)), ValueError, r"0 <= start <= stop <= n = 8; got \(5, 2\)"),
    "rows-past-end": (lambda: structure_tensor(G3, rows=(0, 9)), ValueError, "n = 8"),
    "rows-negative": (lambda: structure_tensor(G3, rows=(-1, 2)), ValueError, r"rows\[0\] must be non-negative"),
    "rows-float": (lambda: structure_tensor(G3, rows=(0, 2.0)), TypeError, r"rows\[1\] must be an int"),
    "rows-length": (lambda: structure_tensor(G3, rows=(1,)), TypeError, "pair"),
    "rows-int": (lambda: structure_tensor(G3, rows=3), TypeError, "pair"),
    "threads-zero": (lambda: structure_tensor(G3, threads=0), ValueError, "threads must be at least 1"),
    "threads-type": (lambda: structure_tensor(G3, threads=1.5), TypeError, "threads must be a positive int"),
    # {B, B} = 2e616 = 2e308 · B: the coefficient itself has no double (the products of
    # [[0, 1e200], [0, 0]] and its transpose, which overflow too, have coefficients 0).
    "overflow": (lambda: structure_tensor(np.array([[[1e308]]]), "anticommutator"), OverflowError,
                 "coefficient overflows"),
    "contract-shape": (lambda: structure_tensor(G3).contract(np.ones(7), np.ones(7)), ValueError, r"shape \(8,\)"),
    "contract-mismatch": (lambda: structure_tensor(G3).contract(np.ones(8), np.ones((8, 2))), ValueError,
                          "same shape"),
    "contract-type": (lambda: structure_tensor(G3).contract(np.array(["x"] * 8), np.ones(8)), TypeError,
                      "a must hold numbers"),
    "todense-memory": (lambda: CoefficientTensor(np.zeros((0, 3)), [], 10**6).todense(), MemoryError,
                       r"\(1000000, 1000000, 1000000\) complex128 tensor needs"),
    "tensor-range": (lambda: CoefficientTensor([[0, 0, 3]], [1j], 3), ValueError, r"indices must lie in \[0, 3\)"),
    "tensor-order": (lambda: CoefficientTensor([[0, 1, 0], [0, 0, 1]], [1, 1], 3), ValueError, "sorted"),
    "tensor-values": (lambda: CoefficientTensor([[0, 1, 0]], [1, 2], 3), ValueError, r"values must have shape \(1,\)"),
    "tensor-kind": (lambda: CoefficientTensor([[0, 1, 0]], [1], 3, "jordan"), ValueError, "'commutator'"),
}


@pytest.mark.parametrize("case", BAD_CALLS)
def test_bad_arguments_get_clear_errors(case):
    call, error, message = BAD_CALLS[case]
    with pytest.raises(error, match=message):
        call()


@pytest.mark.timing
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("route", ["dense", "sparse"])
def test_long_call_stops_on_interrupt(route, threads):
    # The calling thread computes too, and takes the signal between its units of work. A dense
    # basis of d = 20 needs about 10^10 multiply-adds, seconds however fast the machine; the 16
    # million terms of clock-and-shift su(64) take a few tenths, so the signal comes at a third.
    if route == "dense":
        basis = np.random.default_rng(5).standard_normal((400, 20, 20)) + 0j
        at = 0.3
    else:
        basis = tanvo.gen_sylvester(64)
        structure_tensor(basis, threads=threads)
        start = time.perf_counter()
        structure_tensor(basis, threads=threads)
        at = (time.perf_counter() - start) / 3
    late = interrupted_after(at, lambda: structure_tensor(basis, threads=threads))
    assert late < min(1.0, at)  # stopped well before the end
    assert structure_tensor(tanvo.gen_sylvester(2)).nnz > 0


@pytest.mark.timing
def test_wide_contraction_stops_on_interrupt():
    tensor = structure_tensor(tanvo.gen_sylvester(16))  # 59,520 terms
    a = np.ones((tensor.shape[0], 20000), complex)  # seconds of work
    late = interrupted_after(0.3, lambda: tensor.contract(a, a))
    assert late < 1.0


def test_calls_from_other_threads_while_the_main_thread_holds_the_lock():
    # Only the main thread runs signal handlers: a call elsewhere, long enough to poll, must
    # neither take them nor differ in its result.
    basis = tanvo.gen_sylvester(32)
    expected = structure_tensor(basis, threads=1)
    results = []
    worker = threading.Thread(target=lambda: results.append(structure_tensor(basis, threads=1)))
    worker.start()
    deadline = time.perf_counter() + 60
    while worker.is_alive() and time.perf_counter() < deadline:
        sum(range(1000))  # Python code: the lock is handed over only on request
    worker.join()
    assert results[0].indices.tobytes() == expected.indices.tobytes()
    assert results[0].values.tobytes() == expected.values.tobytes()


def test_dask_example_computes_the_tensor_in_blocks(tmp_path):
    pytest.importorskip("dask")
    import importlib.util
    import pathlib

    path = pathlib.Path(__file__).resolve().parent.parent / "examples" / "tensor_blocks_dask.py"
    spec = importlib.util.spec_from_file_location("tensor_blocks_dask", path)
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    basis = tanvo.gen_sylvester(4)
    tensor = example.tensor_in_blocks(basis, "commutator", store=tmp_path, block_rows=4, scheduler="threads")
    whole = structure_tensor(basis)
    assert tensor.indices.tobytes() == whole.indices.tobytes()
    assert tensor.values.tobytes() == whole.values.tobytes()
    assert len(list(tmp_path.glob("*.npy"))) == 2 * 4


def unaligned(array):
    """The same values at an address that is not a multiple of 8."""
    raw = np.zeros(array.nbytes + 1, np.uint8)
    view = raw[1:].view(array.dtype).reshape(array.shape)
    view[...] = array
    return view


def test_unaligned_arrays_are_read_through_a_copy():
    basis = np.array(tanvo.gen_gellmann(3))
    expected = structure_tensor(basis)
    tensor = structure_tensor(unaligned(basis))
    assert tensor.values.tobytes() == expected.values.tobytes()
    assert structure_tensor([unaligned(m) for m in basis]).values.tobytes() == expected.values.tobytes()
    a = np.arange(8, dtype=complex)
    np.testing.assert_array_equal(tensor.contract(unaligned(a), unaligned(a[::-1].copy())), tensor.contract(a, a[::-1]))
    copy = CoefficientTensor(unaligned(tensor.indices), unaligned(tensor.values), 8)
    assert copy.first_terms() == tensor.first_terms()
    with pytest.raises(TypeError, match="aligned"):
        _native.structure_tensor(unaligned(basis), 0, 1e-8, 0, 8)
