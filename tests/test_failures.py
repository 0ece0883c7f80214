"""How internal failures reach Python: PanicException, its diagnostic, and recovery."""
import pytest

import tanvo


def test_panic_exception_type(panic):
    with pytest.raises(BaseException) as raised:
        tanvo.gen_sylvester(0)
    error = raised.value
    assert type(error) is panic
    assert type(error).__name__ == "PanicException"
    assert type(error).__module__ == "pyo3_runtime"
    assert type(error).__bases__ == (BaseException,)
    assert not isinstance(error, Exception)
    assert str(error) == "ndarray: index out of bounds"
    assert error.args == ("ndarray: index out of bounds",)
    assert not hasattr(tanvo, "PanicException")


def test_except_exception_does_not_catch_a_panic(panic):
    def swallow():
        try:
            tanvo.gen_sylvester(0)
        except Exception:  # noqa: BLE001 - the point is that this does not catch it
            return "caught"

    with pytest.raises(panic):
        swallow()


def test_one_type_for_every_failure(panic):
    types = set()
    for _ in range(3):
        try:
            tanvo.gen_sylvester(0)
        except BaseException as e:  # noqa: B036
            types.add(type(e))
    assert types == {panic}


def test_diagnostic_names_the_source_position(capfd):
    with pytest.raises(BaseException):
        tanvo.gen_sylvester(0)
    err = capfd.readouterr().err
    lines = [line for line in err.splitlines() if line]
    assert len(lines) == 1
    assert "src/bases/" in lines[0]
    assert lines[0].endswith("ndarray: index out of bounds")


def test_module_stays_usable_after_failures():
    for _ in range(5):
        with pytest.raises(BaseException):
            tanvo.gen_sylvester(0)
        assert len(tanvo.gen_sylvester(2)) == 3


class PanickingIndex:
    def __init__(self, panic, argument=None):
        self.panic, self.argument = panic, argument

    def __index__(self):
        raise self.panic(*([] if self.argument is None else [self.argument]))


@pytest.mark.parametrize("argument", [None, "from python"])
def test_panic_raised_by_python_code_is_resumed(panic, capfd, argument):
    with pytest.raises(panic) as raised:
        tanvo.gen_sylvester(PanickingIndex(panic, argument))
    # The raised instance is not a plain string, so the message is the generic one.
    assert str(raised.value) == "Unwrapped panic from Python code"
    assert raised.value is not None
    err = capfd.readouterr().err
    assert "Python stack trace below:" in err
    assert "__index__" in err  # the traceback of the Python code is printed
    assert len(tanvo.gen_sylvester(2)) == 3
