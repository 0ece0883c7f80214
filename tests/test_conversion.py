"""Array, sequence and dict arguments: what is accepted, the refusal messages, the read-only
borrow of input arrays, and how arrays in any memory layout are read."""
import gc
import signal
import types

import numpy as np
import pytest

import tanvo

from conftest import FreshCopies, bits, unaligned

X = np.array([[0, 1], [1, 0]], dtype=complex)
Y = np.array([[0, -1j], [1j, 0]], dtype=complex)
Z = np.array([[1, 0], [0, -1]], dtype=complex)


def column():
    return np.ones((2, 1), dtype=complex)


def raised(call):
    with pytest.raises(BaseException) as caught:
        call()
    return type(caught.value).__name__, str(caught.value)


class Tagged(np.ndarray):
    """An array subclass."""


def mismatch(dim, dtype):
    return f"Shape Mismatch:\n from=(dim={dim}, dtype={dtype}), to=(dim=2, dtype=Complex64)"


# --- Arrays --------------------------------------------------------------------------------

DTYPE_NAMES = [
    (np.bool_, "Bool"), (np.int8, "Int8"), (np.uint8, "Uint8"), (np.int16, "Int16"),
    (np.uint16, "Uint16"), (np.intc, "Int32"), (np.uintc, "Uint32"), (np.int64, "Int64"),
    (np.longlong, "Int64"), (np.uint64, "Uint64"), (np.ulonglong, "Uint64"),
    (np.float32, "Float32"), (np.float64, "Float64"), (np.complex64, "Complex32"),
    (object, "Object"), (np.float16, "Unknown"), (np.clongdouble, "Unknown"), ("U1", "Unknown"),
]


@pytest.mark.parametrize("dtype, name", DTYPE_NAMES, ids=[str(np.dtype(t)) for t, _ in DTYPE_NAMES])
def test_array_of_another_dtype_is_refused(dtype, name):
    wrong = np.zeros((2, 1), dtype=dtype)
    assert raised(lambda: tanvo.cross(wrong, column(), {})) == (
        "TypeError", "argument 'l_a': " + mismatch(2, name))
    assert raised(lambda: tanvo.cross(column(), wrong, {})) == (
        "TypeError", "argument 'l_b': " + mismatch(2, name))


@pytest.mark.parametrize("value, message", [
    (np.zeros((), dtype=complex), mismatch(0, "Complex64")),
    (np.zeros(2, dtype=complex), mismatch(1, "Complex64")),
    (np.zeros((2, 1, 1), dtype=complex), mismatch(3, "Complex64")),
    ([[1j], [0]], "'list' object cannot be converted to 'PyArray<T, D>'"),
    (None, "'NoneType' object cannot be converted to 'PyArray<T, D>'"),
])
def test_only_two_dimensional_arrays_are_accepted(value, message):
    assert raised(lambda: tanvo.cross(value, column(), {})) == ("TypeError", "argument 'l_a': " + message)


# --- Sequences -----------------------------------------------------------------------------

class IteratedOnly:
    """A sequence that can only be iterated: indexing and len() fail."""

    def __init__(self, items, error=None):
        self.items, self.error = items, error

    def __getitem__(self, index):
        raise AssertionError("the basis must be read by iteration")

    def __len__(self):
        raise RuntimeError("no length")

    def __iter__(self):
        yield from self.items
        if self.error:
            raise self.error


@pytest.mark.parametrize("basis, kind, message", [
    (5, "TypeError", "argument 'basis': 'int' object cannot be converted to 'Sequence'"),
    ((m for m in [X]), "TypeError", "argument 'basis': 'generator' object cannot be converted to 'Sequence'"),
    ("XYZ", "TypeError", "argument 'basis': 'str' object cannot be converted to 'PyArray<T, D>'"),
    ([X, Y.real], "TypeError", "argument 'basis': " + mismatch(2, "Float64")),
    (X, "TypeError", "argument 'basis': " + mismatch(1, "Complex64")),  # iterates rows
    (IteratedOnly([X], ValueError("gone")), "ValueError", "gone"),
    (IteratedOnly([X], TypeError("gone")), "TypeError", "argument 'basis': gone"),
    ([], "PanicException", "index out of bounds: the len is 0 but the index is 0"),
    ("", "PanicException", "index out of bounds: the len is 0 but the index is 0"),
], ids=["int", "generator", "str", "float-item", "2d-array", "iteration-error",
        "iteration-type-error", "empty-list", "empty-str"])
@pytest.mark.parametrize("extract", [tanvo.get_structure_constants, tanvo.get_d_coefficients])
def test_basis_conversion_failures(extract, basis, kind, message):
    assert raised(lambda: extract(basis)) == (kind, message)


def test_any_sequence_of_arrays_is_a_basis():
    expected = tanvo.get_structure_constants([X, Y, Z])
    stacked = np.array([X, Y, Z])
    for basis in [(X, Y, Z), stacked, IteratedOnly([X, Y, Z]), [m.view(Tagged) for m in (X, Y, Z)]]:
        assert tanvo.get_structure_constants(basis) == expected
    assert stacked.flags.writeable


# --- Dicts ---------------------------------------------------------------------------------

@pytest.mark.parametrize("value, kind, message", [
    ([], "TypeError", "argument '{}': 'list' object cannot be converted to 'PyDict'"),
    (types.MappingProxyType({}), "TypeError", "argument '{}': 'mappingproxy' object cannot be converted to 'PyDict'"),
    ({5: (0, 1j)}, "TypeError", "argument '{}': 'int' object cannot be converted to 'PyTuple'"),
    ({(0, 1): [2, 1j]}, "TypeError", "argument '{}': 'list' object cannot be converted to 'PyTuple'"),
    ({(0, 1.0): (2, 1j)}, "TypeError", "argument '{}': 'float' object cannot be interpreted as an integer"),
    ({(0, 1): (2, "1j")}, "TypeError", "argument '{}': must be real number, not str"),
    ({(1, 2, 3): (0, 1j)}, "ValueError", "Expected tuple of length 2, but got tuple of length 3."),
    ({(0, 1): (2,)}, "ValueError", "Expected tuple of length 2, but got tuple of length 1."),
    ({(-1, 1): (2, 1j)}, "OverflowError", "can't convert negative int to unsigned"),
    ({(0, 1): (2**64, 1j)}, "OverflowError", "int too big to convert"),
])
@pytest.mark.parametrize("parameter", ["f_ijk", "d_ijk"])
def test_dict_refusals(parameter, value, kind, message):
    if parameter == "f_ijk":
        call = lambda: tanvo.cross(column(), column(), value)  # noqa: E731
    else:
        call = lambda: tanvo.su_anticommutator(column(), column(), value, [X])  # noqa: E731
    assert raised(call) == (kind, message.format(parameter))


class Index:
    def __init__(self, value=0, error=None):
        self.value, self.error = value, error

    def __index__(self):
        if self.error:
            raise self.error
        return self.value


class ComplexLike:
    def __complex__(self):
        return 1 + 2j


class Coefficients(dict):
    pass


class Pair(tuple):
    pass


@pytest.mark.parametrize("table", [
    {},
    {(True, np.int64(1)): (Index(2), 1.5), (2**64 - 1, 0): (0, np.complex128(1j))},
    {(0, 1): (2, ComplexLike())},
    {Pair((0, 1)): Pair((2, 1j))},
    Coefficients({(0, 1): (2, 1j)}),
], ids=["empty", "index-protocol", "__complex__", "tuple-subclass", "dict-subclass"])
def test_accepted_dicts(table):
    # The next argument fails: proof that the table itself was accepted.
    assert raised(lambda: tanvo.su_commutator(column(), column(), table, 5)) == (
        "TypeError", "argument 'basis': 'int' object cannot be converted to 'Sequence'")


@pytest.mark.parametrize("error, expected", [
    (ValueError("v"), ("ValueError", "v")),
    (TypeError("t"), ("TypeError", "argument 'f_ijk': t")),
    (type("OwnTypeError", (TypeError,), {})("o"), ("OwnTypeError", "o")),  # only exactly TypeError
])
def test_errors_from_python_code_in_the_dict(error, expected):
    assert raised(lambda: tanvo.cross(column(), column(), {(Index(error=error), 0): (0, 1j)})) == expected


def test_a_signal_handler_that_empties_the_dict_while_it_is_read():
    # The handler runs between two entries and frees the entries not yet read; the call goes on
    # with those it has, and the interpreter with its own objects intact.
    n = 200_000
    ones = np.ones((n, 1), dtype=complex)
    emptied_midway = 0
    previous = signal.signal(signal.SIGALRM, lambda *_: f.clear())
    try:
        for attempt in range(12):
            f = {(i, 0): (0, complex(i, 1)) for i in range(n)}
            signal.setitimer(signal.ITIMER_REAL, 0.0004 * (attempt + 1))
            total = tanvo.cross(ones, ones, f)[0, 0]
            signal.setitimer(signal.ITIMER_REAL, 0)
            emptied_midway += 0 < total.imag < n  # one per term read
            gc.collect()
            if emptied_midway:
                break
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert emptied_midway


# --- The read-only borrow ------------------------------------------------------------------

class FlagSpy:
    """An index that records the WRITEABLE flags of some arrays, then stops the call."""

    def __init__(self, *arrays):
        self.arrays, self.seen = arrays, None

    def __index__(self):
        self.seen = [a.flags.writeable for a in self.arrays]
        raise ValueError("stop")


@pytest.mark.parametrize("read_only", [False, True])
@pytest.mark.parametrize("same", [False, True], ids=["two-arrays", "one-array-twice"])
def test_arrays_are_read_only_while_the_call_runs(same, read_only):
    a = column()
    b = a if same else column()
    a.flags.writeable = not read_only
    spy = FlagSpy(a, b)
    with pytest.raises(ValueError, match="stop"):
        tanvo.cross(a, b, {(spy, 0): (0, 1j)})
    assert spy.seen == [False, False]
    assert a.flags.writeable is not read_only
    assert b.flags.writeable is not (same and read_only)


@pytest.mark.parametrize("call", [
    lambda a, b: tanvo.cross(a, np.zeros((2, 1)), {}),  # l_b refused
    lambda a, b: tanvo.cross(a, a, []),  # f_ijk refused
    lambda a, b: tanvo.su_commutator(a, b, {}, [a, b.real]),  # a later basis item refused
    lambda a, b: tanvo.su_commutator(a, b, {}, IteratedOnly([a, b], ValueError("x"))),
    lambda a, b: tanvo.get_structure_constants([a, b, a]),  # fails in the routine
    lambda a, b: tanvo.get_d_coefficients([a, np.full((2, 2), np.nan, dtype=complex)]),
    lambda a, b: tanvo.get_structure_constants([a, a]),  # succeeds
], ids=["later-array", "later-dict", "later-item", "iteration", "element-count", "solver",
        "success"])
def test_writeable_flag_and_values_are_restored_on_every_path(call):
    a, b = X.copy(), column()
    before = bits(a), bits(b)
    try:
        call(a, b)
    except BaseException:  # noqa: B036 - PanicException included
        pass
    assert a.flags.writeable and b.flags.writeable
    assert (bits(a), bits(b)) == before


def test_basis_items_are_borrowed_as_they_are_iterated():
    first, second = X.copy(), Y.copy()
    seen = []

    def items():
        yield first
        seen.append(first.flags.writeable)
        yield second

    tanvo.get_structure_constants(IteratedOnly(items()))
    assert seen == [False]
    assert first.flags.writeable and second.flags.writeable


# --- Arrays are read in logical order, whatever their layout -------------------------------

def layouts(matrix):
    padded = np.zeros((3 * matrix.shape[0], 2 * matrix.shape[1]), dtype=complex)
    padded[::3, ::2] = matrix
    return {
        "c-order": matrix,
        "fortran": np.asfortranarray(matrix),
        "strided": padded[::3, ::2],
        "rows-reversed": np.ascontiguousarray(matrix[::-1])[::-1],
        "columns-reversed": np.ascontiguousarray(matrix[:, ::-1])[:, ::-1],
        "both-reversed": np.ascontiguousarray(matrix[::-1, ::-1])[::-1, ::-1],
    }


def numbered(shape):
    return (np.arange(np.prod(shape)) * (1 + 0.5j) + 1).reshape(shape)


@pytest.mark.parametrize("layout", list(layouts(numbered((1, 1)))))
@pytest.mark.parametrize("shape", [(3, 3), (2, 4), (4, 1), (1, 4)], ids=str)
def test_array_is_read_in_logical_row_major_order(reference, shape, layout):
    # With a = I the solution is b itself, element by element in row-major order; a square b
    # used as a itself must give the solution of its C-ordered copy.
    view = layouts(numbered(shape))[layout]
    x = reference.solve_least_squares(np.eye(view.size, dtype=complex), view)
    assert bits(x) == bits(numbered(shape).reshape(-1, 1))
    system = layouts(numbered((4, 3)) + 10 * np.eye(4, 3))[layout]
    rhs = np.ones((4, 1), dtype=complex)
    assert bits(reference.solve_least_squares(system, rhs)) == bits(
        reference.solve_least_squares(np.ascontiguousarray(system), rhs))


@pytest.mark.parametrize("view", [
    np.broadcast_to(np.array([1, 2j, 3]), (3, 3)),  # zero row stride, read-only
    np.broadcast_to(np.array([[1], [2j], [3]]), (3, 3)),  # zero column stride
    numbered((3, 3))[::-1],
    numbered((5, 4))[4:0:-2, ::-3],
], ids=["zero-row-stride", "zero-column-stride", "reversed", "reversed-strided"])
def test_views_with_unusual_strides(reference, view):
    x = reference.solve_least_squares(np.eye(view.size, dtype=complex), view)
    np.testing.assert_array_equal(x.ravel(), view.ravel())


# --- Text from the caller that UTF-8 cannot encode -------------------------------------------

SURROGATE = "\ud800"


def named(qualname):
    """An instance of a class whose qualified name is `qualname`."""
    cls = type("Named", (), {})
    cls.__qualname__ = qualname
    return cls()


@pytest.mark.parametrize("name", ["plain", SURROGATE, "a\udcff"])
@pytest.mark.parametrize("call, expected", [
    (lambda s: tanvo.gen_sylvester(3, **{s: 1}), ("TypeError", "gen_sylvester_py() got an unexpected keyword argument: {}")),
    (lambda s: tanvo.gen_sylvester(named(s)), ("TypeError", "argument 'd': 'Named' object cannot be interpreted as an integer")),
    (lambda s: tanvo.get_structure_constants(named(s)), ("TypeError", "argument 'basis': '{}' object cannot be converted to 'Sequence'")),
    (lambda s: tanvo.get_structure_constants([named(s)]), ("TypeError", "argument 'basis': '{}' object cannot be converted to 'PyArray<T, D>'")),
    (lambda s: tanvo.cross(named(s), column(), {}), ("TypeError", "argument 'l_a': '{}' object cannot be converted to 'PyArray<T, D>'")),
    (lambda s: tanvo.cross(column(), column(), named(s)), ("TypeError", "argument 'f_ijk': '{}' object cannot be converted to 'PyDict'")),
    (lambda s: tanvo.cross(column(), column(), {named(s): (0, 1j)}), ("TypeError", "argument 'f_ijk': '{}' object cannot be converted to 'PyTuple'")),
    (lambda s: tanvo.gen_su2(Index(error=TypeError(s))), ("TypeError", "argument 'j': {}")),
    (lambda s: tanvo.gen_sylvester(Index(error=TypeError(s))), ("TypeError", "argument 'd': {}")),
    (lambda s: tanvo.gen_sylvester(Index(error=ValueError(s))), ("ValueError", "{}")),
    (lambda s: tanvo.cross(column(), column(), {(0, Index(error=TypeError(s))): (0, 1j)}), ("TypeError", "argument 'f_ijk': {}")),
], ids=["keyword", "index-type", "sequence-type", "array-type", "column-type", "dict-type", "key-type",
        "real-type", "index-message", "index-value-error", "dict-index-message"])
def test_any_name_or_message_from_the_caller(call, expected, name):
    # The text is kept as the caller wrote it, whether UTF-8 can encode it or not.
    kind, message = expected
    assert raised(lambda: call(name)) == (kind, message.format(name))


# --- A basis is read where it lies, in any layout --------------------------------------------

BASIS_LAYOUTS = {
    **{name: (lambda layout: lambda basis: [layouts(m)[layout] for m in basis])(name)
       for name in ["fortran", "strided", "rows-reversed", "both-reversed"]},
    "unaligned": lambda basis: [unaligned(m) for m in basis],
    "mixed": lambda basis: [unaligned(m) if i % 2 else np.asfortranarray(m) for i, m in enumerate(basis)],
    "stacked": lambda basis: np.array(basis),
    "subclass": lambda basis: [np.array(m).view(Tagged) for m in basis],
    "fresh-copies": FreshCopies,
}

RNG = np.random.default_rng(11)
BASES = {
    "gellmann": tanvo.gen_gellmann(4),
    "sylvester": tanvo.gen_sylvester(4),
    "dense": [RNG.normal(size=(3, 3)) + 1j * RNG.normal(size=(3, 3)) for _ in range(5)],
    # Not for the fast paths: the per-pair route, with its failures, and products that add a
    # matrix densely or stretch it.
    "non-finite": [numbered((2, 2)), 1j * numbered((2, 2)).T, np.full((2, 2), np.inf, complex)],
    "shapes": [numbered((2, 2)), numbered((3, 3)), numbered((1, 2))],
}
FAILING_MAP = {(0, 1): (2, 1j), (1, 0): (1, -1.5), (1, 1): (0, 2.0)}


def outcome(call):
    """What a call gives, to the last bit: its exception, or its result's exact form."""
    try:
        result = call()
    except BaseException as error:  # noqa: B036 - PanicException included
        return type(error).__name__, str(error)
    if isinstance(result, dict):
        return [(key, k, c.real.hex(), c.imag.hex()) for key, (k, c) in result.items()]
    return bits(result)


@pytest.mark.parametrize("layout", list(BASIS_LAYOUTS))
@pytest.mark.parametrize("basis", list(BASES))
def test_a_basis_in_any_layout_gives_the_same_results(reference, basis, layout):
    if (basis, layout) == ("shapes", "stacked"):
        pytest.skip("matrices of several shapes make no three-dimensional array")
    contiguous = [np.ascontiguousarray(m) for m in BASES[basis]]
    arranged = BASIS_LAYOUTS[layout](contiguous)
    n = len(contiguous)
    l_a, l_b = numbered((n, 1)), numbered((n, 1))[::-1]
    for module in (tanvo, reference):
        for extract, product in [(module.get_structure_constants, module.su_commutator),
                                 (module.get_d_coefficients, module.su_anticommutator)]:
            assert outcome(lambda: extract(arranged)) == outcome(lambda: extract(contiguous))
            mapping = FAILING_MAP if basis in ("non-finite", "shapes") else extract(contiguous)
            expected = outcome(lambda: product(l_a, l_b, mapping, contiguous))
            assert outcome(lambda: product(l_a, l_b, mapping, arranged)) == expected
            assert outcome(lambda: getattr(reference, product.__name__)(l_a, l_b, mapping, arranged)) == expected
    if not isinstance(arranged, FreshCopies):
        assert all(np.asarray(m).flags.writeable for m in arranged)
