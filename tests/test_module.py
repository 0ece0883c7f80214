"""What importing tanvo gives: attributes, the function table and its argument matching."""
import subprocess
import sys

import numpy as np
import pytest

import tanvo

FUNCTIONS = {
    "gen_sylvester": ("Generate matrix representation of su(d) via clock and shift", "gen_sylvester_py()", ["d"]),
    "gen_gellmann": ("Generate matrix representation of su(d) via Generalized Gellmann method", "gen_gellmann_py()", ["d"]),
    "gen_su2": ("Generate matrix representation of su(2) for spin j", "gen_su_py()", ["j"]),
    "gen_sl2": ("Generate matrix representation of sl(2) for spin j", "gen_sl_py()", ["j"]),
    "get_structure_constants": ("Find the commutation coefficients for matrices in su(d)", "get_structure_constants_py()", ["basis"]),
    "get_d_coefficients": ("Find the anti-commutation coefficients for matrices in su(d)", "get_d_coefficients_py()", ["basis"]),
    "su_commutator": ("Find the commutation result of two matrices, given the structure constants", "su_commutator_py()", ["l_a", "l_b", "f_ijk", "basis"]),
    "su_anticommutator": ("Find the anticommutation result of two matrices, given the structure constants", "su_anticommutator_py()", ["l_a", "l_b", "d_ijk", "basis"]),
    "cross": ("Compute the cross-product of two matrices of su(d), given the structure constants", "cross_py()", ["l_a", "l_b", "f_ijk"]),
    "dot": ("Compute the dot-product of two matrices of su(d), given the structure constants", "dot_py()", ["l_a", "l_b", "f_ijk"]),
}


def test_module_attributes():
    assert tanvo.__doc__ == ""
    assert tanvo.__all__ == ["__doc__", *FUNCTIONS]
    assert type(tanvo.__all__) is list


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_objects(name):
    function = getattr(tanvo, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__doc__ == FUNCTIONS[name][0]
    assert function.__name__ == name
    assert function.__module__ == "tanvo"
    assert function.__self__ is tanvo
    assert function.__text_signature__ is None


@pytest.mark.parametrize("name", FUNCTIONS)
def test_missing_arguments_name_the_label(name):
    _, label, params = FUNCTIONS[name]
    with pytest.raises(TypeError) as error:
        getattr(tanvo, name)()
    assert str(error.value) == f"{label} missing required positional argument: {params[0]}"
    with pytest.raises(TypeError) as error:
        getattr(tanvo, name)(*range(len(params) + 1))
    plural = "" if len(params) == 1 else "s"
    assert str(error.value) == (
        f"{label} takes at most {len(params)} positional argument{plural} ({len(params) + 1} given)")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: tanvo.gen_sylvester(3, 4), "gen_sylvester_py() takes at most 1 positional argument (2 given)"),
        (lambda: tanvo.cross(1, 2, 3, 4), "cross_py() takes at most 3 positional arguments (4 given)"),
        (lambda: tanvo.gen_sylvester(3, d=3), "gen_sylvester_py() got multiple values for argument: d"),
        (lambda: tanvo.gen_sylvester(n=3), "gen_sylvester_py() missing required positional argument: d"),
        (lambda: tanvo.gen_sylvester(3, n=1), "gen_sylvester_py() got an unexpected keyword argument: n"),
        (lambda: tanvo.su_commutator(1, 2, 3), "su_commutator_py() missing required positional argument: basis"),
        (lambda: tanvo.su_anticommutator(1, 2, 3), "su_anticommutator_py() missing required positional argument: basis"),
        (lambda: tanvo.dot(1, 2, d_ijk=3), "dot_py() missing required positional argument: f_ijk"),
        # A missing parameter is reported before an unexpected keyword, which comes before
        # too many positional arguments.
        (lambda: tanvo.cross(1, x=2), "cross_py() missing required positional argument: l_b"),
        (lambda: tanvo.gen_su2(1, 2, k=1), "gen_su_py() got an unexpected keyword argument: k"),
        (lambda: tanvo.gen_sl2(1, j=2, k=1), "gen_sl_py() got multiple values for argument: j"),
        (lambda: tanvo.gen_sl2(1, 2), "gen_sl_py() takes at most 1 positional argument (2 given)"),
    ],
)
def test_matching_messages(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert type(error.value) is TypeError
    assert str(error.value) == message


def test_keyword_arguments_are_accepted():
    assert len(tanvo.gen_sylvester(d=3)) == 8
    column = np.zeros((3, 1), complex)
    assert tanvo.cross(l_b=column, f_ijk={}, l_a=column).shape == (3, 1)
    assert tanvo.dot(column, column, f_ijk={}).shape == (3, 1)


def test_caller_keyword_dict_is_not_modified():
    kwargs = {"d": 2}
    tanvo.gen_sylvester(**kwargs)
    assert kwargs == {"d": 2}


class Index:
    def __init__(self, value=None, error=None):
        self.value, self.error = value, error

    def __index__(self):
        if self.error:
            raise self.error
        return self.value


@pytest.mark.parametrize(
    "d, count",
    [(True, 2), (np.int64(3), 8), (np.uint8(2), 3), (Index(2), 3), (2, 3)],
)
def test_d_takes_the_index_protocol(d, count):
    assert len(tanvo.gen_sylvester(d)) == count


@pytest.mark.parametrize(
    "d, error, message",
    [
        (3.0, TypeError, "argument 'd': 'float' object cannot be interpreted as an integer"),
        ("3", TypeError, "argument 'd': 'str' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'd': 'NoneType' object cannot be interpreted as an integer"),
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (Index(error=ValueError("no index")), ValueError, "no index"),
        (Index(error=TypeError("bad index")), TypeError, "argument 'd': bad index"),
        (Index(error=OverflowError("huge")), OverflowError, "huge"),
    ],
)
def test_d_conversion_failures(d, error, message):
    with pytest.raises(error) as raised:
        tanvo.gen_sylvester(d)
    assert type(raised.value) is error
    assert str(raised.value) == message
    # A wrapped TypeError is a new exception, not chained to the first one.
    assert raised.value.__cause__ is None
    assert raised.value.__context__ is None


def test_typeerror_subclass_passes_unwrapped():
    class Special(TypeError):
        pass

    with pytest.raises(Special) as raised:
        tanvo.gen_sylvester(Index(error=Special("special")))
    assert str(raised.value) == "special"


def test_largest_index_is_a_value():
    # 2**64 - 1 converts; the generator then refuses a size no memory can hold.
    with pytest.raises(MemoryError):
        tanvo.gen_sylvester(2**64 - 1)


@pytest.mark.parametrize(
    "j, message",
    [
        ("1", "argument 'j': must be real number, not str"),
        (None, "argument 'j': must be real number, not NoneType"),
        (1j, "argument 'j': must be real number, not complex"),
    ],
)
def test_j_conversion_failures(j, message):
    with pytest.raises(TypeError) as raised:
        tanvo.gen_su2(j)
    assert str(raised.value) == message


def test_import_without_numpy_fails_at_first_array():
    script = (
        "import sys; sys.modules['numpy'] = None\n"
        "import tanvo\n"
        "try:\n"
        "    tanvo.gen_sylvester(2)\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, e)\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "PanicException Failed to import numpy module"


def test_numpy_access_emits_no_warning():
    script = (
        "import warnings; warnings.simplefilter('error')\n"
        "import tanvo\n"
        "print(len(tanvo.gen_sylvester(2)))\n"
    )
    result = subprocess.run([sys.executable, "-W", "error", "-c", script], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "3"
