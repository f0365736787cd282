"""The module object: its functions, __all__, re-initialisation and the exception type."""
import importlib
import sys

import pytest

import pairfuse
from pairfuse_testing import IS_PYPY, PanicException, run_python

SIGNATURES = [
    ("fit_py", "(units, target_vocab_size)"),
    ("fit_concurrent_py", "(units_list, target_vocab_size)"),
    ("encode_py", "(units, merges)"),
    ("encode_concurrent_py", "(units_list, merges)"),
    ("decode_py", "(units, merges)"),
    ("decode_concurrent_py", "(units_list, merges)"),
]
NAMES = [name for name, _ in SIGNATURES]


def test_all_lists_the_six_functions_in_registration_order():
    assert pairfuse.__all__ == NAMES
    assert pairfuse.__doc__ == ""


@pytest.mark.parametrize("name, signature", SIGNATURES)
def test_function_is_a_builtin_with_its_text_signature_and_no_other_doc(name, signature):
    function = getattr(pairfuse, name)
    assert function.__name__ == name
    assert function.__module__ == "pairfuse"
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    if not IS_PYPY:  # PyPy's builtin functions have no __self__
        assert function.__self__ is pairfuse


def test_reimport_reuses_the_first_module_without_growing_all():
    first = sys.modules.pop("pairfuse")
    try:
        again = importlib.import_module("pairfuse")
        assert [getattr(again, name) for name in NAMES] == [getattr(first, name) for name in NAMES]
        assert again.__all__ == NAMES
        if not IS_PYPY:  # PyPy re-imports from a copy of the module's dict without calling PyInit
            assert again is first
    finally:
        sys.modules["pairfuse"] = first


@pytest.mark.skipif(IS_PYPY, reason="PyPy's ctypes has no PyDLL to call PyInit_pairfuse directly")
def test_second_init_returns_the_same_module_object():
    result = run_python(
        "import ctypes, pairfuse\n"
        "init = ctypes.PyDLL(pairfuse.__file__).PyInit_pairfuse\n"
        "init.restype = ctypes.py_object\n"
        "again = init()\n"
        "print(again is pairfuse, again.fit_py is pairfuse.fit_py, len(again.__all__))\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True", "6"]


def test_panic_exception_type():
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__module__ == "pyo3_runtime"
    assert PanicException.__bases__ == (BaseException,)
    assert not issubclass(PanicException, Exception)
    assert PanicException.__doc__


def test_panic_exception_is_not_exported():
    assert not any(isinstance(value, type) and issubclass(value, BaseException) for value in vars(pairfuse).values())
    with pytest.raises(ImportError):
        importlib.import_module("pyo3_runtime")


def test_one_panic_exception_type_for_all_functions():
    with pytest.raises(BaseException) as caught:
        pairfuse.fit_concurrent_py([], 5)
    assert type(caught.value) is PanicException
    with pytest.raises(BaseException) as caught:
        pairfuse.decode_concurrent_py([[1]], [((1, 1), 1)])
    assert type(caught.value) is PanicException
