"""The Examples sections of tanvo_lie's docstrings run as written (with numpy as np, tanvo and
tanvo_lie's names imported): every example a reader copies works and prints what it shows."""
import doctest
import importlib
import pkgutil

import numpy as np
import pytest

import tanvo
import tanvo_lie

MODULES = sorted(info.name for info in pkgutil.iter_modules(tanvo_lie.__path__, "tanvo_lie.")
                 if not info.name.endswith("._native"))


@pytest.mark.parametrize("name", ["tanvo_lie"] + MODULES)
def test_examples_run_as_written(name):
    module = importlib.import_module(name)
    finder = doctest.DocTestFinder(exclude_empty=True)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    for test in finder.find(module, name, globs=dict(vars(tanvo_lie), np=np, tanvo=tanvo, tanvo_lie=tanvo_lie)):
        runner.run(test)
    result = runner.summarize(verbose=False)
    assert result.failed == 0, f"{result.failed} of {result.attempted} examples in {name} failed (output above)"
