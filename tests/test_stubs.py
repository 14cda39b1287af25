"""The typed stubs describe the live native functions."""

import ast
import inspect
from pathlib import Path

import pytest

import algo
from algo.HI import HI
from algo.RUL import RUL

PACKAGE = Path(algo.__file__).parent


def stub_functions(path):
    tree = ast.parse(path.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def exported(module):
    return [name for name, value in vars(module).items() if type(value).__name__ == "native_function"]


@pytest.mark.parametrize("module, stub", [(HI, "HI/HI.pyi"), (RUL, "RUL/RUL.pyi")])
def test_stub_signatures_match_the_functions(module, stub):
    stubs = stub_functions(PACKAGE / stub)
    assert list(stubs) == exported(module)
    for name, node in stubs.items():
        live = inspect.signature(getattr(module, name)).parameters
        args = node.args
        assert [a.arg for a in args.args] == list(live), name
        defaults = [ast.literal_eval(d) for d in args.defaults]
        live_defaults = [p.default for p in live.values() if p.default is not inspect.Parameter.empty]
        assert defaults == live_defaults, name


def test_package_is_marked_typed():
    assert (PACKAGE / "py.typed").is_file()
