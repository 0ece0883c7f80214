"""Random and hostile arguments to every parameter of every function.

Whatever comes in, only TypeError, ValueError, OverflowError, MemoryError, PanicException or
an exception raised by the arguments' own code comes out; every input array keeps its WRITEABLE
flag; and the next valid call still gives the right answer. Arguments without side effects
give the same outcome from tanvo and tanvo_reference.

The companion's structure_tensor, CoefficientTensor and contract are fuzzed alike (bases of any
scale, in every form NumPy reads as an array): a clean TypeError, ValueError, OverflowError or
MemoryError, or a tensor that holds what it promises.

TANVO_FUZZ_EXAMPLES sets the number of examples per test (default 100, a few seconds each) for
longer runs.
"""
import gc
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tanvo

from conftest import bits

EXAMPLES = int(os.environ.get("TANVO_FUZZ_EXAMPLES", "100"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                       HealthCheck.filter_too_much, HealthCheck.function_scoped_fixture])

# Odd arguments make NumPy and the interpreter warn (complex to real casts, np.matrix, ...).
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::PendingDeprecationWarning",
                                        "ignore::RuntimeWarning")

nan, inf = float("nan"), float("inf")


class Boom(Exception):
    """Raised by the hostile objects' own code."""


class Halt(BaseException):
    """Raised by the hostile objects' own code, outside the Exception hierarchy."""


class Example:
    """What one example built: the arrays handed in (and their bases), the dicts and lists that
    hostile code may mutate, and whether any object has side effects."""

    def __init__(self, module, panic):
        self.module, self.panic = module, panic
        self.arrays, self.dicts, self.lists = [], [], []
        self.stateful = False

    def register(self, a):
        while isinstance(a, np.ndarray):
            self.arrays.append(a)
            a = a.base


# --- Sizes that either fit easily or fail at once ------------------------------------------

# Integer sizes up to 8, or from 2**16 on (no memory holds a basis that large); any negative.
SIZES = st.one_of(st.integers(0, 8), st.integers(-2**70, -1), st.integers(2**16, 2**70),
                  st.sampled_from([2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**200, -2**63]))
# Spins up to 12, or from 1e6 on; any negative; the special values.
SPINS = st.one_of(st.floats(-1e3, 12), st.floats(min_value=1e6), st.floats(max_value=-1e3),
                  st.sampled_from([nan, -nan, inf, -inf, -0.0, 0.0, 5e-324, 1e308, 0.5, 2.5]))
COMPLEX_VALUES = [0j, 1 + 0j, -1 + 0j, 2 + 0j, 0.5 + 0j, 1j, -2j, 1 + 1j, complex(-0.0, -0.0),
                  complex(nan, 0), complex(0, inf), complex(-inf, 1), 1e300 + 0j, 5e-324j, 3 - 0.5j]
PLAIN_COMPLEX = [0j, 1 + 0j, -1 + 0j, 2 + 0j, 0.5 + 0j, 1j, -2j, 1 + 1j, 3 - 0.5j]

NUMPY_SCALARS = st.sampled_from([
    np.int8(-1), np.uint8(3), np.int32(2), np.int64(2), np.uint64(2**64 - 1), np.int64(-2**63),
    np.bool_(True), np.float16(0.5), np.float32(nan), np.float64(1.5), np.float64(-inf),
    np.longdouble(2), np.complex64(1j), np.complex128(1 + 2j), np.clongdouble(1),
    np.datetime64("2020-01-01"), np.timedelta64(3, "s"), np.str_("x"), np.bytes_(b"x"),
])

SCALARS = st.one_of(
    st.none(), st.booleans(), SIZES, SPINS, st.sampled_from(COMPLEX_VALUES),
    st.text(max_size=3), st.sampled_from(["\udc80", "1", "1j", ""]), st.binary(max_size=3),
    NUMPY_SCALARS,
    st.sampled_from([object(), int, range(3), Ellipsis, NotImplemented, np.void(b"abcd")]),
)


# --- Hostile objects -----------------------------------------------------------------------

ACTIONS = ["value", "raise-own", "raise-base", "raise-type", "raise-value", "raise-overflow",
           "raise-panic", "wrong-type", "mutate", "reenter"]
MUTATIONS = ["clear-dicts", "refill-dicts", "replace-values", "drop-keys", "clear-lists",
             "grow-lists", "write-arrays", "resize-arrays"]


def mutate(example, how):
    """Changes the containers and arrays of the example under the call's feet, then makes
    garbage, so that anything read through a dropped reference would be reused memory."""
    for d in example.dicts:
        if how == "clear-dicts":
            d.clear()
        elif how == "refill-dicts":
            d.clear()
            d.update({(i, j): (i ^ j, complex(i, j)) for i in range(6) for j in range(6)})
        elif how == "replace-values":
            for key in list(d):
                d[key] = (0, 1j)
        elif how == "drop-keys":
            for key in list(d)[::2]:
                del d[key]
            d[(1, 0)] = (0, -1j)
    for items in example.lists:
        if how == "clear-lists":
            items.clear()
        elif how == "grow-lists":
            items.extend(items[:2])
    for a in example.arrays:
        try:
            if how == "write-arrays":
                a[...] = 7  # refused while the call holds the array
            elif how == "resize-arrays":
                a.resize(7)
        except (ValueError, TypeError):
            pass
    gc.collect()
    return [(object(), i) for i in range(100)]


def reenter(example):
    """Calls the module again from inside a conversion, with valid and invalid arguments."""
    m = example.module
    assert len(m.gen_sylvester(2)) == 3
    column = np.ones((3, 1), complex)
    m.cross(column, column, {(0, 1): (2, 1j)})
    for array in example.arrays[:2]:
        try:
            m.cross(array, array, {})
        except (TypeError, ValueError):
            pass
    try:
        m.gen_sylvester(0)
    except example.panic:
        pass


class Hostile:
    """Stands in for a number, a sequence or an iterable, and misbehaves as told in every one
    of these roles: raises, returns the wrong type, mutates the example or calls the module."""

    def __init__(self, example, action, value, items, position, mutation):
        self.example, self.action, self.value = example, action, value
        self.items, self.position, self.mutation = items, position, mutation

    def __repr__(self):
        return f"Hostile({self.action}, {self.value!r}, {self.mutation})"

    def act(self, proper, wrong):
        action = self.action
        if action == "raise-own":
            raise Boom("hostile")
        if action == "raise-base":
            raise Halt("hostile")
        if action == "raise-type":
            raise TypeError("hostile")
        if action == "raise-value":
            raise ValueError("hostile")
        if action == "raise-overflow":
            raise OverflowError("hostile")
        if action == "raise-panic":
            raise self.example.panic("hostile")
        if action == "wrong-type":
            return wrong
        if action == "mutate":
            mutate(self.example, self.mutation)
        elif action == "reenter":
            reenter(self.example)
        return proper

    def __index__(self):
        return self.act(self.value, "3")

    def __float__(self):
        return self.act(float(self.value), 3)

    def __complex__(self):
        return self.act(complex(self.value), 3.0)

    def __len__(self):
        return self.act(len(self.items), ["3", -1, 2**40][self.value % 3])

    def __getitem__(self, index):
        return self.act(self.items[index], None)

    def __iter__(self):
        if self.action == "wrong-type":
            return 5  # not an iterator
        return self.iterate()

    def iterate(self):
        for n, item in enumerate(self.items):
            if n == self.position:
                self.act(None, None)
            yield item
        if self.position >= len(self.items):
            self.act(None, None)


@st.composite
def hostile(draw, example, count=0):
    """A Hostile object standing in for `count` items (set by the caller)."""
    action = draw(st.sampled_from(ACTIONS))
    # A PanicException is resumed only by the module whose type it is; side effects change
    # what a second call sees.
    if action in ("mutate", "reenter", "raise-panic"):
        example.stateful = True
    return Hostile(example, action, draw(st.integers(0, 4)), [], draw(st.integers(0, count)),
                   draw(st.sampled_from(MUTATIONS)))


# --- Arrays --------------------------------------------------------------------------------

class Tagged(np.ndarray):
    """An ndarray subclass with nothing of its own."""


DTYPES = [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64,
          np.uint64, np.float16, np.float32, np.float64, np.longdouble, np.complex64,
          np.clongdouble, object, "U2", "S2", "V16", "M8[s]", "m8[s]", ">c16",
          [("re", "<f8"), ("im", "<f8")]]
LAYOUTS = ["c", "fortran", "strided", "reversed", "read-only", "unaligned", "odd-strides",
           "broadcast", "subclass", "matrix", "masked"]


def laid_out(values, layout):
    """`values` (a C-ordered array) in the given memory layout, or a plain copy when the
    layout does not apply to its shape."""
    shape, dtype = values.shape, values.dtype
    if layout == "fortran":
        return np.asfortranarray(values)
    if layout == "strided" and values.ndim:
        padded = np.zeros(tuple(2 * n + 1 for n in shape), dtype)
        view = padded[tuple(slice(1, None, 2) for _ in shape)]
        view[...] = values
        return view
    if layout == "reversed" and values.ndim:
        flip = tuple(slice(None, None, -1) for _ in shape)
        return np.ascontiguousarray(values[flip])[flip]
    if layout == "read-only":
        copy = values.copy()
        copy.flags.writeable = False
        return copy
    if layout == "unaligned" and values.size and dtype.itemsize > 1 and dtype != object:
        buffer = bytearray(values.nbytes + 1)
        view = np.frombuffer(buffer, dtype, values.size, offset=1).reshape(shape)
        view[...] = values
        return view
    if layout == "odd-strides" and values.ndim == 2 and dtype == np.complex128:
        # Byte strides that are not multiples of 16, over a buffer that holds them all.
        strides = (values.shape[1] * 24 + 8, 24)
        extent = (shape[0] - 1) * strides[0] + (shape[1] - 1) * strides[1] + 16 if values.size else 0
        view = np.ndarray(shape, dtype, buffer=bytearray(max(extent, 16)), strides=strides)
        view[...] = values
        return view
    if layout == "broadcast" and values.ndim and values.size:
        return np.broadcast_to(values[(slice(0, 1),) * values.ndim], shape)
    if layout == "subclass":
        return values.copy().view(Tagged)
    if layout == "matrix" and values.ndim == 2:
        return np.asmatrix(values.copy())
    if layout == "masked":
        return np.ma.masked_array(values.copy(), mask=np.zeros(shape, bool))
    return values.copy()


@st.composite
def complex_array(draw, example, shape, palette=COMPLEX_VALUES):
    values = draw(st.lists(st.sampled_from(palette), min_size=int(np.prod(shape)),
                           max_size=int(np.prod(shape))))
    array = laid_out(np.array(values, complex).reshape(shape), draw(st.sampled_from(LAYOUTS)))
    example.register(array)
    return array


@st.composite
def any_array(draw, example):
    """Any dtype, 0 to 4 dimensions, any layout."""
    ndim = draw(st.integers(0, 4))
    shape = tuple(draw(st.lists(st.integers(0, 3), min_size=ndim, max_size=ndim)))
    if draw(st.booleans()):
        return draw(complex_array(example, shape))
    values = np.zeros(shape, np.dtype(draw(st.sampled_from(DTYPES))))
    array = laid_out(values, draw(st.sampled_from(LAYOUTS)))
    example.register(array)
    return array


# --- Anything, and the plausible values of each parameter ----------------------------------

@st.composite
def anything(draw, example, depth=2):
    """A scalar, an array or a hostile object, or lists, tuples and dicts of such."""
    kind = draw(st.integers(0, 9)) if depth else 0
    if kind < 7:
        return draw(st.one_of(SCALARS, any_array(example), hostile(example)))
    items = [draw(anything(example, depth - 1)) for _ in range(draw(st.integers(0, 3)))]
    if kind == 7:
        return items
    if kind == 8:
        return tuple(items)
    keys = [draw(st.one_of(SCALARS, st.tuples(anything(example, depth - 1), st.integers(0, 3))))
            for _ in items]
    return {key: item for key, item in zip(keys, items) if hashable(key)}


def hashable(value):
    try:
        hash(value)
    except TypeError:
        return False
    return True


@st.composite
def index_like(draw, example):
    return draw(st.one_of(SIZES, st.booleans(), NUMPY_SCALARS, hostile(example)))


@st.composite
def real_like(draw, example):
    return draw(st.one_of(SPINS, SIZES, st.booleans(), NUMPY_SCALARS, hostile(example)))


@st.composite
def coefficients(draw, example):
    rows = draw(st.integers(0, 5))
    return draw(complex_array(example, (rows, draw(st.sampled_from([1, 1, 1, 2])))))


@st.composite
def basis(draw, example):
    d = draw(st.sampled_from([0, 1, 2, 2, 3]))
    count = draw(st.integers(0, 4))
    palette = draw(st.sampled_from([PLAIN_COMPLEX, COMPLEX_VALUES]))
    items = [draw(complex_array(example, (d, d), palette)) for _ in range(count)]
    if draw(st.integers(0, 4)) == 0:
        items.insert(draw(st.integers(0, count)), draw(anything(example)))
    container = draw(st.sampled_from(["list", "tuple", "stacked", "hostile"]))
    if container == "list":
        example.lists.append(items)
        return items
    if container == "tuple":
        return tuple(items)
    if container == "stacked" and all(isinstance(m, np.ndarray) and m.shape == (d, d) for m in items):
        stacked = laid_out(np.array([np.asarray(m) for m in items], complex).reshape(count, d, d),
                           draw(st.sampled_from(LAYOUTS)))
        example.register(stacked)
        return stacked
    sequence = draw(hostile(example, len(items)))
    sequence.items = items
    return sequence


@st.composite
def table(draw, example):
    def index():
        return st.one_of(st.integers(0, 5), SIZES, NUMPY_SCALARS, hostile(example))

    def odd():
        return draw(st.integers(0, 5)) == 0

    entries = {}
    for _ in range(draw(st.integers(0, 6))):
        key = (draw(index()), draw(index())) if not odd() else draw(st.one_of(
            SCALARS.filter(hashable), st.tuples(st.integers(0, 3)), st.tuples(*[st.integers(0, 3)] * 3)))
        c = draw(st.sampled_from(COMPLEX_VALUES)) if not odd() else draw(
            st.one_of(SCALARS, hostile(example)))
        value = (draw(index()), c) if not odd() else draw(
            st.one_of(st.tuples(st.integers(0, 3)), st.lists(st.integers(0, 3), max_size=2), SCALARS))
        if odd():
            key = type("Key", (tuple,), {})(key) if isinstance(key, tuple) else key
        entries[key] = value
    result = type("Table", (dict,), {})(entries) if odd() else entries
    example.dicts.append(result)
    return result


PLAUSIBLE = {"d": index_like, "j": real_like, "basis": basis, "l_a": coefficients,
             "l_b": coefficients, "f_ijk": table, "d_ijk": table}

SIGNATURES = {
    "gen_sylvester": ["d"], "gen_gellmann": ["d"], "gen_su2": ["j"], "gen_sl2": ["j"],
    "get_structure_constants": ["basis"], "get_d_coefficients": ["basis"],
    "su_commutator": ["l_a", "l_b", "f_ijk", "basis"],
    "su_anticommutator": ["l_a", "l_b", "d_ijk", "basis"],
    "cross": ["l_a", "l_b", "f_ijk"], "dot": ["l_a", "l_b", "f_ijk"],
}


@st.composite
def call(draw, module, panic, name):
    """(example, positional arguments, keyword arguments) for one call of `name`."""
    example = Example(module, panic)
    values = [draw(PLAUSIBLE[p](example)) if draw(st.integers(0, 4)) else draw(anything(example))
              for p in SIGNATURES[name]]
    keyword_from = draw(st.integers(0, len(values)))
    args = values[:keyword_from]
    kwargs = dict(zip(SIGNATURES[name][keyword_from:], values[keyword_from:]))
    style = draw(st.integers(0, 9))
    if style == 0:
        args.append(draw(anything(example)))
    elif style == 1 and kwargs:
        kwargs.pop(next(iter(kwargs)))
    elif style == 2:
        kwargs[draw(st.sampled_from(["x", "d", "basis", "f_ijk", "\udc80"]))] = None
    return example, args, kwargs


# --- Checks --------------------------------------------------------------------------------

def panic_of(module):
    """Each extension module has a PanicException type of its own."""
    try:
        module.gen_sylvester(0)
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        return type(error)


def outcome(module, name, example, args, kwargs):
    """What the call gave: ("result", value) or (exception type name, message). Fails the test
    for any exception outside the documented set, or an array whose WRITEABLE flag changed."""
    flags = [a.flags.writeable for a in example.arrays]
    try:
        result = ("result", getattr(module, name)(*args, **kwargs))
    except (TypeError, ValueError, OverflowError, MemoryError, panic_of(module), Boom, Halt) as error:
        result = (type(error).__name__, str(error))
    assert [a.flags.writeable for a in example.arrays] == flags
    return result


def assert_well_formed(name, result):
    if name.startswith("gen_"):
        assert type(result) is list
        for m in result:
            assert type(m) is np.ndarray and m.ndim == 2 and m.flags.owndata and m.flags.writeable
            assert m.dtype == (np.float64 if name == "gen_sl2" else np.complex128)
    elif name.startswith("get_"):
        assert type(result) is dict
        for key, value in result.items():
            assert type(key) is tuple and [type(x) for x in key] == [int, int]
            assert type(value) is tuple and [type(x) for x in value] == [int, complex]
    else:
        assert type(result) is np.ndarray and result.dtype == np.complex128
        assert result.ndim == 2 and result.flags.owndata


def too_large(result):
    """Sizes no memory holds fail with MemoryError or with the size-overflow panic; the two
    modules need not choose alike."""
    kind, message = result
    return kind == "MemoryError" or (kind == "PanicException" and "overflows isize" in message)


def assert_same_outcome(name, fast, slow):
    if too_large(fast) and too_large(slow):
        return
    assert fast[0] == slow[0], (fast, slow)
    if fast[0] != "result":
        assert fast[1] == slow[1]
    elif name.startswith("get_"):
        assert list(fast[1]) == list(slow[1])
        scale = max((abs(c) for _, c in slow[1].values()), default=1.0)
        for key, (k, c) in slow[1].items():
            assert fast[1][key][0] == k
            got = fast[1][key][1]
            assert abs(got - c) <= 1e-12 * scale or (c != c and got != got)
    elif name.startswith("gen_"):
        assert [bits(m) for m in fast[1]] == [bits(m) for m in slow[1]]
    else:
        assert bits(fast[1]) == bits(slow[1])


COLUMN = np.array([[1], [2j], [-1], [0.5]], complex)
CANARIES = {
    "gen_sylvester": lambda m: m.gen_sylvester(3),
    "gen_gellmann": lambda m: m.gen_gellmann(3),
    "gen_su2": lambda m: m.gen_su2(1.5),
    "gen_sl2": lambda m: m.gen_sl2(1.5),
    "get_structure_constants": lambda m: sorted(m.get_structure_constants(tanvo.gen_gellmann(2)).items()),
    "get_d_coefficients": lambda m: sorted(m.get_d_coefficients(tanvo.gen_gellmann(2)).items()),
    "su_commutator": lambda m: m.su_commutator(COLUMN, COLUMN[::-1], {(0, 1): (2, 1j), (3, 2): (0, 2)},
                                               tanvo.gen_gellmann(2) + [np.eye(2, dtype=complex)]),
    "su_anticommutator": lambda m: m.su_anticommutator(COLUMN, COLUMN, {(1, 1): (0, 2), (0, 3): (3, -1)},
                                                       tanvo.gen_gellmann(2) + [np.eye(2, dtype=complex)]),
    "cross": lambda m: m.cross(COLUMN, COLUMN[::-1], {(0, 1): (2, 1j), (2, 3): (0, 0.5)}),
    "dot": lambda m: m.dot(COLUMN, COLUMN, {(1, 0): (1, -1j), (3, 3): (3, 2)}),
}


def canary_bits(module, name):
    value = CANARIES[name](module)
    if isinstance(value, list) and value and isinstance(value[0], np.ndarray):
        return [bits(m) for m in value]
    return bits(value) if isinstance(value, np.ndarray) else value


EXPECTED = {}


def assert_still_right(module, name):
    """The canary call of `name` gives what it gave before any fuzzing."""
    got = canary_bits(module, name)
    assert got == EXPECTED.setdefault((module.__name__, name), got)


@pytest.fixture(params=["tanvo", "tanvo_reference"])
def module(request, reference):
    return tanvo if request.param == "tanvo" else reference


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_any_arguments(module, panic, reference, name):
    assert panic_of(tanvo) is panic
    assert_still_right(module, name)

    @FUZZ
    @given(st.data())
    def run(data):
        example, args, kwargs = data.draw(call(module, panic_of(module), name))
        fast = outcome(module, name, example, args, kwargs)
        if fast[0] == "result":
            assert_well_formed(name, fast[1])
        if module is tanvo and not example.stateful:
            assert_same_outcome(name, fast, outcome(reference, name, example, args, kwargs))
        assert_still_right(module, name)

    run()


# --- Cases the fuzzing found ---------------------------------------------------------------

def subnormal_basis():
    tiny = np.zeros((2, 2), complex)
    tiny[1, 1] = 5e-324j
    return [np.zeros((2, 2), complex)] * 3 + [tiny]


@pytest.mark.parametrize("name", ["get_structure_constants", "get_d_coefficients"])
@pytest.mark.parametrize("basis", [
    # Equal matrices: a kept singular value of about 1e-16 makes the solutions pure rounding.
    np.full((2, 2, 2), 1 + 1j),
    [np.full((3, 3), 2 - 1j), np.eye(3, dtype=complex), np.full((3, 3), 2 - 1j)],
    # Every product is zero, and the pseudo-inverse overflows: 0 · inf must not become a term.
    subnormal_basis(),
], ids=["equal", "equal-apart", "subnormal"])
def test_degenerate_bases_give_the_per_pair_answer(reference, name, basis):
    assert_same_outcome(name, outcome(tanvo, name, Example(tanvo, None), [basis], {}),
                        outcome(reference, name, Example(reference, None), [basis], {}))


@pytest.mark.parametrize("length", [0, 1, 10**9, 2**40, 2**62])
def test_sequence_whose_length_lies_converts(length):
    class Lying:
        def __len__(self):
            return length

        def __getitem__(self, index):
            raise AssertionError("the basis is read by iteration")

        def __iter__(self):
            return iter(tanvo.gen_gellmann(2))

    assert tanvo.get_structure_constants(Lying()) == tanvo.get_structure_constants(tanvo.gen_gellmann(2))


# --- A dict changed while it is converted --------------------------------------------------

class Changing:
    """An index (or complex number) whose conversion changes the dict it is in, then reuses
    the memory of whatever that freed."""

    def __init__(self, value, change):
        self.value, self.change = value, change
        self.table = None

    def __index__(self):
        self.change(self.table)
        gc.collect()
        self.garbage = [(object(), complex(i, -i), 10**9 + i) for i in range(1000)]
        return self.value

    def __complex__(self):
        return complex(self.__index__())


def entry(key, value):
    """A key and a value tuple that only the dict refers to."""
    return tuple(list(key)), tuple(list(value))


def refill(table):
    table.clear()
    table.update(dict(entry((i, j), (0, 1j)) for i in range(4) for j in range(4)))


def replace(table):
    for key in list(table):
        table[key] = tuple([3, 5j])


CHANGES = {"clear": dict.clear, "refill": refill, "replace": replace}


@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("where", ["i", "j", "k", "c"])
def test_entry_being_converted_outlives_a_change_of_its_dict(change, where):
    a = np.array([[1], [2], [3], [4]], complex)
    b = a * 1j
    parts = {"i": 1, "j": 2, "k": 0, "c": complex(2, 0)}
    changing = Changing(parts[where], CHANGES[change])
    parts[where] = changing
    table = dict([entry((parts["i"], parts["j"]), (parts["k"], parts["c"]))])
    changing.table = table
    del parts  # the dict alone holds the entry's tuples and their items now
    result = tanvo.cross(a, b, table)
    # The entry read is the one that was there: (1, 2) -> (0, 2), so R[0] = 2 · a[1] · b[2].
    # Refilled, the dict may show some of its new entries to the rest of the walk.
    if change != "refill":
        assert result[0, 0] == 2 * a[1, 0] * b[2, 0]
        assert not result[1:].any()
    assert changing.table is table
    assert_still_right(tanvo, "cross")


# --- tanvo_lie: structure_tensor, CoefficientTensor, contract ----------------------------

# What a call may raise: argument errors, memory, and whatever the arguments' own code raises.
TENSOR_ERRORS = (TypeError, ValueError, OverflowError, MemoryError, Boom, Halt)
# From far below to far above where the entries' squares fit in a double.
SCALES = [2.0**-1000, 1e-300, 1e-150, 1e-77, 1.0, 1e77, 1e84, 1e150, 1e300]


class LyingLength(np.ndarray):
    """An ndarray whose len() disagrees with its shape."""

    def __len__(self):
        return 1


class InterfaceOnly:
    """Offers an array through __array_interface__ alone."""

    def __init__(self, array):
        self.array = array
        self.__array_interface__ = array.__array_interface__


def as_numpy_reads(array, form):
    """The array in one of the forms NumPy reads as an array (or as a list of them)."""
    if form == "memoryview" and array.dtype.kind not in "Mm":  # the buffer protocol has no dates
        return memoryview(array)
    if form == "interface":
        return InterfaceOnly(array)
    if form == "lying-length":
        return array.view(LyingLength)
    if form == "lying-items":
        return [m.view(LyingLength) for m in array]
    return array


@st.composite
def readable_basis(draw, example):
    """A stack of matrices at any scale, as NumPy reads it: an array, a memoryview, an object
    with __array_interface__ alone, a subclass whose len() lies."""
    d, count = draw(st.integers(1, 3)), draw(st.integers(1, 4))
    values = draw(st.lists(st.sampled_from(PLAIN_COMPLEX), min_size=count * d * d, max_size=count * d * d))
    stack = np.array(values, complex).reshape(count, d, d) * draw(st.sampled_from(SCALES))
    example.register(stack)
    example.plain = stack  # each form must give the tensor of the plain array
    return as_numpy_reads(stack, draw(st.sampled_from(["array", "memoryview", "interface", "lying-length",
                                                       "lying-items"])))


def tensor_basis(example):
    return st.one_of(basis(example), basis(example), readable_basis(example), anything(example))


@st.composite
def tensor_call(draw):
    """(example, positional arguments, keyword arguments) for one call of structure_tensor."""
    example = Example(tanvo, panic_of(tanvo))
    plausible = {
        "kind": st.sampled_from(["commutator", "anticommutator", "Commutator", "", None, 0]),
        "tol": st.one_of(real_like(example), st.sampled_from([0.0, 1e-8, 1e-3, 1.0])),
        "rows": st.one_of(st.none(), st.tuples(index_like(example), index_like(example)),
                          st.tuples(st.integers(0, 9), st.integers(0, 9))),
        "threads": st.one_of(st.none(), st.integers(1, 3), index_like(example)),
        "rcond": st.one_of(st.none(), st.sampled_from([0.0, 1e-12, 1e-3, 0.5, 2.0, -1.0, nan, inf]),
                           real_like(example)),
    }
    args = [draw(tensor_basis(example))]
    kwargs = {}
    for name, strategy in plausible.items():
        if draw(st.integers(0, 2)):
            kwargs[name] = draw(strategy) if draw(st.integers(0, 5)) else draw(anything(example))
    return example, (), args, kwargs


# Tensors to contract with: a commutator, an anticommutator, an empty one, one of n = 0.
def small_tensors():
    from tanvo_lie import CoefficientTensor, structure_tensor

    return [structure_tensor(tanvo.gen_gellmann(2)), structure_tensor(tanvo.gen_sylvester(2), "anticommutator"),
            CoefficientTensor(np.zeros((0, 3), int), [], 4), CoefficientTensor(np.zeros((0, 3), int), [], 0)]


@st.composite
def contract_call(draw):
    """(example, tensor, (a, b), {}) for one call of CoefficientTensor.contract."""
    example = Example(tanvo, panic_of(tanvo))
    tensor = draw(st.sampled_from(small_tensors()))
    n = tensor.shape[0]

    def operand():
        if not draw(st.integers(0, 3)):
            return draw(anything(example))
        shape = draw(st.sampled_from([(n,), (n,), (n, 1), (n, 3), (n + 1,), (0,), (n, 0)]))
        array = draw(complex_array(example, shape))
        form = draw(st.sampled_from(["array", "array", "memoryview", "interface"]))
        return as_numpy_reads(np.ascontiguousarray(array), form) if form != "array" else array

    return example, tensor, (operand(), operand()), {}


@st.composite
def tensor_parts(draw):
    """(example, (), (indices, values, n), {kind}) for one CoefficientTensor: sorted rows below
    sizes up to 2**63 - 1, or indices of any value, dtype and form."""
    example = Example(tanvo, panic_of(tanvo))
    size = draw(st.sampled_from([0, 1, 2, 3, 5, 2**21 + 1, 2**40, 2**63 - 1]))
    count = draw(st.integers(0, 4))
    style = draw(st.integers(0, 5))
    if style <= 2 and size:
        rows = sorted(set(draw(st.lists(st.tuples(*[st.integers(0, size - 1)] * 3), max_size=count))))
        if style == 1:  # out of order
            rows = draw(st.permutations(rows))
        indices = laid_out(np.array(rows, np.int64).reshape(-1, 3), draw(st.sampled_from(LAYOUTS)))
        example.register(indices)
    elif style == 3:
        indices = draw(st.lists(st.lists(st.sampled_from([0, 1, 2, -1, 2**31, 2**63 - 1, 2**63, 2**64, 0.5, nan,
                                                          True, "1", None]), min_size=3, max_size=3),
                                max_size=count))
    elif style == 4:
        indices = draw(any_array(example))
    else:
        indices = draw(anything(example))
    sized = isinstance(indices, list) or (isinstance(indices, np.ndarray) and indices.ndim)
    nnz = len(indices) if sized else count
    values = draw(complex_array(example, (nnz,))) if draw(st.integers(0, 3)) else draw(anything(example))
    n = size if draw(st.integers(0, 3)) else draw(st.one_of(index_like(example), st.sampled_from([10**30, -1, 2.0])))
    kwargs = {"kind": draw(st.sampled_from(["commutator", "anticommutator", "jordan"]))} if draw(st.booleans()) else {}
    if draw(st.integers(0, 4)) == 0:
        indices, values = (as_numpy_reads(np.asarray(x), draw(st.sampled_from(["memoryview", "interface"])))
                           if isinstance(x, np.ndarray) and x.dtype != object else x for x in (indices, values))
    return example, (), (indices, values, n), kwargs


def strictly_sorted(indices):
    """Rows (i, j, k) in strictly increasing lexicographic order, compared column by column."""
    di, dj, dk = np.diff(indices, axis=0).T
    return bool(((di > 0) | ((di == 0) & ((dj > 0) | ((dj == 0) & (dk > 0))))).all())


def assert_sound_tensor(tensor):
    """A tensor holds what its attributes promise, and can be used."""
    from tanvo_lie import CoefficientTensor

    assert type(tensor) is CoefficientTensor
    n = tensor.shape[0]
    assert tensor.shape == (n, n, n) and tensor.kind in ("commutator", "anticommutator")
    assert type(tensor.indices) is np.ndarray and type(tensor.values) is np.ndarray
    assert tensor.indices.dtype == np.int64 and tensor.indices.shape == (tensor.nnz, 3)
    assert tensor.values.dtype == np.complex128 and tensor.values.shape == (tensor.nnz,)
    assert strictly_sorted(tensor.indices) and (tensor.indices >= 0).all() and (tensor.indices < n).all()
    assert len(tensor.first_terms()) <= tensor.nnz
    if n <= 64:
        assert tensor.contract(np.ones(n), np.ones(n)).shape == (n,)


COMPANION_CALLS = {"structure_tensor": tensor_call, "contract": contract_call, "CoefficientTensor": tensor_parts}


@pytest.mark.parametrize("name", COMPANION_CALLS)
def test_companion_any_arguments(name):
    import tanvo_lie

    @FUZZ
    @given(COMPANION_CALLS[name]())
    def run(drawn):
        example, owner, args, kwargs = drawn
        call = getattr(owner, name) if name == "contract" else getattr(tanvo_lie, name)
        flags = [a.flags.writeable for a in example.arrays]
        try:
            result = call(*args, **kwargs)
        except TENSOR_ERRORS + (example.panic,):  # PanicException only from the arguments' own code
            result = None
        assert [a.flags.writeable for a in example.arrays] == flags
        if result is None:
            return
        if name == "contract":
            assert type(result) is np.ndarray and result.dtype == np.complex128
            assert result.ndim in (1, 2) and result.shape[0] == owner.shape[0]
        else:
            assert_sound_tensor(result)
        if name == "structure_tensor":  # a finite basis has finite coefficients, or OverflowError
            assert np.isfinite(result.values).all()
            plain = getattr(example, "plain", None)
            if plain is not None and not example.stateful:
                again = call(plain, *args[1:], **kwargs)
                assert again.shape == result.shape and again.indices.tobytes() == result.indices.tobytes()
                assert again.values.tobytes() == result.values.tobytes()

    run()
    basis = tanvo.gen_gellmann(2)
    assert tanvo_lie.structure_tensor(basis).first_terms() == tanvo.get_structure_constants(basis)


# --- tanvo_lie.lie_closure --------------------------------------------------------------

CLOSURE_OPTIONS = ["tol", "max_dimension", "threads", "progress"]


def test_lie_closure_any_arguments(panic, capsys):
    tanvo_lie = pytest.importorskip("tanvo_lie")

    @FUZZ
    @given(st.data())
    def run(data):
        example = Example(tanvo, panic)
        generators = data.draw(st.one_of(basis(example), anything(example)))
        options = {name: data.draw(anything(example)) for name in CLOSURE_OPTIONS if data.draw(st.booleans())}
        try:
            result = tanvo_lie.lie_closure(generators, **options)
        except (TypeError, ValueError, OverflowError, MemoryError, RuntimeError, panic, Boom, Halt):
            return
        assert type(result) is np.ndarray and result.dtype == np.complex128 and result.ndim == 3
        flat = result.reshape(len(result), result.shape[1] * result.shape[2])
        np.testing.assert_allclose(flat.conj() @ flat.T, np.eye(len(result)), atol=1e-9)

    run()
    capsys.readouterr()
