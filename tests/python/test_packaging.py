"""What the installed distribution promises: its type stub describes the module as built, and
its metadata covers the interpreter the tests run on."""

import ast
import inspect
import sys
from importlib import metadata
from pathlib import Path

import pytest
import varnhold_core

STUB = Path(varnhold_core.__file__).with_name("varnhold_core-stubs") / "__init__.pyi"


def stub_functions():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    return {
        node.name: [argument.arg for argument in node.args.args]
        for node in tree.body
        if isinstance(node, ast.FunctionDef)
    }


def stub_all():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    for node in tree.body:
        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            return ast.literal_eval(node.value)
    raise AssertionError("the stub has no __all__")


def module_parameters(function):
    try:
        return list(inspect.signature(function).parameters)
    except ValueError:  # no text signature: a function without arguments
        return []


def test_stub_lists_exactly_the_module_functions():
    assert set(stub_functions()) == set(varnhold_core.__all__)
    assert stub_all() == list(varnhold_core.__all__)


@pytest.mark.parametrize("name", varnhold_core.__all__)
def test_stub_parameters_match_the_module(name):
    assert stub_functions()[name] == module_parameters(getattr(varnhold_core, name))


def test_metadata_covers_the_running_interpreter():
    info = metadata.metadata("varnhold")
    version = "%d.%d" % sys.version_info[:2]
    assert f"Programming Language :: Python :: {version}" in info.get_all("Classifier")
    assert info["Requires-Python"] == ">=3.9"
    assert sys.version_info >= (3, 9)


def test_wheel_is_built_for_the_stable_abi():
    wheel_file = metadata.distribution("varnhold").read_text("WHEEL")
    tags = [
        line.split(":", 1)[1].strip() for line in wheel_file.splitlines() if line.startswith("Tag:")
    ]
    assert tags, wheel_file
    assert all(tag.startswith("cp39-abi3-") for tag in tags), tags
