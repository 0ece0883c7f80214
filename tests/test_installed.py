"""What an installed tanvo offers beyond its functions: version metadata and type stubs that
mypy and pyright find in site-packages."""
import ast
import importlib.metadata
import importlib.util
import os
import re
import subprocess
import sys
import textwrap
import tomllib
from pathlib import Path

import pytest

import tanvo
from test_module import FUNCTIONS

SOURCE_TREE = Path(__file__).resolve().parent.parent
SOURCE_STUBS = SOURCE_TREE / "python" / "tanvo-stubs" / "__init__.pyi"


def installed_files():
    try:
        return importlib.metadata.files("tanvo") or []
    except importlib.metadata.PackageNotFoundError:
        return []


def installed_stubs():
    return next((f.locate() for f in installed_files() if str(f) == "tanvo-stubs/__init__.pyi"), None)


def test_version_comes_from_the_distribution_alone():
    assert not hasattr(tanvo, "__version__")
    if not installed_files():
        pytest.skip("tanvo is not installed (in-tree build)")
    version = importlib.metadata.version("tanvo")
    assert re.fullmatch(r"\d+\.\d+\.\d+", version)
    pyproject = SOURCE_TREE / "pyproject.toml"
    if pyproject.exists():
        assert version == tomllib.loads(pyproject.read_text())["project"]["version"]


@pytest.mark.parametrize("stubs", ["source", "installed"])
def test_stubs_declare_the_functions_as_the_module_has_them(stubs):
    path = SOURCE_STUBS if stubs == "source" else installed_stubs()
    if path is None or not Path(path).exists():
        pytest.skip(f"no {stubs} stubs here")
    tree = ast.parse(Path(path).read_text())
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert list(functions) == tanvo.__all__[1:]
    for name, node in functions.items():
        assert ast.get_docstring(node, clean=False) == getattr(tanvo, name).__doc__
        assert [a.arg for a in node.args.args] == FUNCTIONS[name][2]
        assert not (node.args.posonlyargs or node.args.kwonlyargs or node.args.vararg or node.args.kwarg)
        assert node.returns is not None and all(a.annotation is not None for a in node.args.args)


USE_OF_EVERY_FUNCTION = """\
    from typing import assert_type

    import numpy as np
    from numpy.typing import NDArray

    import tanvo

    basis = tanvo.gen_gellmann(np.int64(3))
    assert_type(basis, list[NDArray[np.complex128]])
    assert_type(tanvo.gen_sylvester(d=3), list[NDArray[np.complex128]])
    assert_type(tanvo.gen_su2(0.5), list[NDArray[np.complex128]])
    assert_type(tanvo.gen_sl2(1), list[NDArray[np.float64]])
    f = tanvo.get_structure_constants(tuple(basis))
    assert_type(f, dict[tuple[int, int], tuple[int, complex]])
    d = tanvo.get_d_coefficients(basis)
    a = np.ones((8, 1), dtype=np.complex128)
    b = np.zeros((8, 1), dtype=np.complex128)
    assert_type(tanvo.su_commutator(a, b, f, basis), NDArray[np.complex128])
    assert_type(tanvo.su_anticommutator(l_a=a, l_b=b, d_ijk=d, basis=basis), NDArray[np.complex128])
    assert_type(tanvo.cross(a, b, f), NDArray[np.complex128])
    assert_type(tanvo.dot(a, b, f_ijk=f), NDArray[np.complex128])
    k, c = f[(0, 1)]
    print(k + 1, c.real)
"""

# Each line that a type checker must reject, as a user might write it.
MISUSES = [
    'tanvo.gen_sylvester("3")',
    "tanvo.cross([[1j]], b, f)",
    "tanvo.dot(b, b, d_ijk=f)",
    "tanvo.get_structure_constants(b)",
    "m: list[int] = tanvo.gen_gellmann(3)",
]


def checker_command(tool, path):
    if importlib.util.find_spec(tool) is None:
        pytest.skip(f"{tool} is not installed (pip install tanvo[test])")
    if tool == "mypy":
        return [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable", sys.executable, str(path)]
    return [sys.executable, "-m", "pyright", "--pythonpath", sys.executable, str(path)]


def run_checker(tool, path):
    if installed_stubs() is None:
        pytest.skip("tanvo is not installed with its stubs (in-tree build)")
    command = checker_command(tool, path)
    # The check is of the installed distribution, not of an in-tree build on PYTHONPATH.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    result = subprocess.run(command, cwd=path.parent, env=env, capture_output=True, text=True, timeout=600)
    return result.returncode, result.stdout + result.stderr


@pytest.mark.parametrize("tool", ["mypy", "pyright"])
def test_type_checkers_accept_every_function_used_as_documented(tool, tmp_path):
    example = tmp_path / "example.py"
    example.write_text(textwrap.dedent(USE_OF_EVERY_FUNCTION))
    status, output = run_checker(tool, example)
    assert status == 0, output


@pytest.mark.parametrize("tool", ["mypy", "pyright"])
def test_type_checkers_report_each_misuse(tool, tmp_path):
    lines = textwrap.dedent(USE_OF_EVERY_FUNCTION).splitlines() + MISUSES
    example = tmp_path / "misuse.py"
    example.write_text("\n".join(lines) + "\n")
    status, output = run_checker(tool, example)
    assert status != 0
    reported = {int(n) for n in re.findall(r"misuse\.py:(\d+):(?:\d+ -|) error", output)}
    first = len(lines) - len(MISUSES) + 1
    assert reported == set(range(first, len(lines) + 1)), output
