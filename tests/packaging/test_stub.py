"""The type stub agrees with the built module: names, parameters, result shapes."""

import ast
import inspect
import os
import pathlib
import sys
import typing

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = ROOT / "src" / "python_bindings" / "pairfuse.pyi"
DEFAULT_MODULE_DIR = ROOT / "build" / "cpython" / "src" / "python_bindings"


@pytest.fixture(scope="module")
def module():
    try:
        import pairfuse
    except ImportError:
        sys.path.insert(0, os.environ.get("PAIRFUSE_MODULE_DIR", str(DEFAULT_MODULE_DIR)))
        try:
            import pairfuse
        except ImportError as e:
            pytest.fail(f"built module not importable ({e}): build it or set PAIRFUSE_MODULE_DIR")
    return pairfuse


@pytest.fixture(scope="module")
def stub_tree():
    return ast.parse(STUB.read_text(), filename=str(STUB))


@pytest.fixture(scope="module")
def stub_namespace():
    # The stub is valid Python 3.9+, so running it gives real annotations to inspect.
    namespace = {}
    exec(compile(STUB.read_text(), str(STUB), "exec"), namespace)
    return namespace


def stub_all(tree):
    for node in tree.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__all__"]:
            return ast.literal_eval(node.value)
    raise AssertionError("stub has no __all__")


def test_all_matches_the_module(module, stub_tree):
    assert stub_all(stub_tree) == module.__all__


def test_stub_defines_nothing_public_beyond_all(stub_tree):
    public = set()
    for node in stub_tree.body:
        if isinstance(node, ast.FunctionDef):
            public.add(node.name)
        elif isinstance(node, ast.Assign):
            public.update(t.id for t in node.targets)
    public = {name for name in public if not name.startswith("_")}
    assert public == set(stub_all(stub_tree))


NAMES = ["fit_py", "fit_concurrent_py", "encode_py", "encode_concurrent_py", "decode_py", "decode_concurrent_py"]


@pytest.mark.parametrize("name", NAMES)
def test_parameters_match_the_text_signature(module, stub_tree, name):
    (stub,) = [n for n in stub_tree.body if isinstance(n, ast.FunctionDef) and n.name == name]
    args = stub.args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg or args.defaults)
    assert all(a.annotation is not None for a in args.args) and stub.returns is not None
    assert ast.get_docstring(stub)

    built = inspect.signature(getattr(module, name))
    assert [p.name for p in built.parameters.values()] == [a.arg for a in args.args]
    assert {p.kind for p in built.parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


def conforms(value, annotation):
    """Whether `value` has the shape of a result annotation (list, tuple, int)."""
    origin, args = typing.get_origin(annotation), typing.get_args(annotation)
    if annotation is int:
        return type(value) is int
    if origin is list:
        return type(value) is list and all(conforms(item, args[0]) for item in value)
    if origin is tuple:
        return (type(value) is tuple and len(value) == len(args)
                and all(conforms(item, arg) for item, arg in zip(value, args)))
    raise AssertionError(f"result annotation not understood: {annotation!r}")


MERGES = [((1, 2), 4)]


@pytest.mark.parametrize(
    "name, args",
    [
        ("fit_py", ([1, 2, 1, 2, 3], 4)),
        ("fit_concurrent_py", ([[1, 2], [1, 2], [2, 3]], 4)),
        ("encode_py", ([1, 2, 3], MERGES)),
        ("encode_concurrent_py", ([[1, 2], [3]], MERGES)),
        ("decode_py", ([4, 3], MERGES)),
        ("decode_concurrent_py", ([[4], [3]], MERGES)),
    ],
)
def test_results_have_the_annotated_shape(module, stub_namespace, name, args):
    result = getattr(module, name)(*args)
    annotation = typing.get_type_hints(stub_namespace[name])["return"]
    assert conforms(result, annotation), (result, annotation)
    # Non-empty at every level, so the element types were checked too.
    assert result and all(result) if isinstance(result, tuple) else result
