"""Runs the built `pairfuse` program: $PAIRFUSE_CLI, or the CPython build's copy."""

import importlib
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DEFAULT_CLI = ROOT / "build" / "cpython" / "tools" / "cli" / "pairfuse"
DEFAULT_MODULE_DIR = ROOT / "build" / "cpython" / "src" / "python_bindings"


@pytest.fixture(scope="session")
def cli_path():
    path = pathlib.Path(os.environ.get("PAIRFUSE_CLI", DEFAULT_CLI)).resolve()
    if not os.access(path, os.X_OK):
        pytest.fail(f"no pairfuse program at {path}: build it or set PAIRFUSE_CLI")
    return str(path)


@pytest.fixture
def run(cli_path, tmp_path):
    """run(*args, stdin=b"") -> CompletedProcess with bytes output, run in tmp_path."""

    def run_cli(*args, stdin=b"", **kwargs):
        return subprocess.run(
            [cli_path, *map(str, args)],
            input=stdin,
            capture_output=True,
            cwd=tmp_path,
            timeout=120,
            **kwargs,
        )

    return run_cli


@pytest.fixture(scope="session")
def module():
    """The built Python module ($PAIRFUSE_MODULE_DIR or the CPython build), to compare against."""
    sys.path.insert(0, os.environ.get("PAIRFUSE_MODULE_DIR", str(DEFAULT_MODULE_DIR)))
    try:
        return importlib.import_module("pairfuse")
    except ImportError:
        pytest.skip("built Python module not found")
    finally:
        sys.path.pop(0)
