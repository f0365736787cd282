"""Helpers shared by the Python suites (tests/python, tests/hostile).

Not a test module: a suite puts tests/support on sys.path and imports it as
`pairfuse_testing`.
"""
import gc
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


class Index:
    """An integer-like object: __index__ returns `value` (any int, however large)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


def run_python(code):
    """Runs `code` in a fresh interpreter of the same kind, with this pairfuse importable."""
    module_dir = os.path.dirname(os.path.abspath(pairfuse.__file__))
    path = os.pathsep.join([module_dir] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
    env = dict(os.environ, PYTHONPATH=path)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=False)


# ---------------------------------------------------------------- memory

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def call_swallowing(call):
    try:
        call()
    except BaseException:  # noqa: B902 - error paths are what is being repeated
        pass


def collect():
    gc.collect()
    if IS_PYPY:
        gc.collect()


def resident_size_settles(call, rounds=10, per_round=300):
    """PyPy's collector keeps a heap that grows to a plateau over the first
    thousands of calls; memory is flat when a round sets no new high."""
    highs = []
    for r in range(rounds):
        for _ in range(per_round):
            call_swallowing(call)
        collect()
        resident = resident_bytes()
        if r >= 2 and resident <= max(highs) + (1 << 20):
            return True, highs + [resident]
        highs.append(resident)
    return False, highs
