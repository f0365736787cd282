"""Helpers shared by the Python suites (tests/python, tests/hostile).

Not a test module: a suite puts tests/support on sys.path and imports it as
`pairfuse_testing`.
"""
import os
import platform
import subprocess
import sys

import pairfuse

IS_PYPY = platform.python_implementation() == "PyPy"


def _provoke_panic():
    try:
        pairfuse.fit_py([], 5)
    except BaseException as error:  # noqa: B902 - the type is what we are after
        return type(error)
    raise AssertionError("fit_py([], 5) did not fail")


# The module does not export its exception type: code meets it only by catching it.
PanicException = _provoke_panic()


def run_python(code):
    """Runs `code` in a fresh interpreter of the same kind, with this pairfuse importable."""
    module_dir = os.path.dirname(os.path.abspath(pairfuse.__file__))
    path = os.pathsep.join([module_dir] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
    env = dict(os.environ, PYTHONPATH=path)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=False)

