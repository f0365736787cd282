"""Runs the built `pairfuse` program: $PAIRFUSE_CLI, or the CPython build's copy."""

import os
import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DEFAULT_CLI = ROOT / "build" / "cpython" / "tools" / "cli" / "pairfuse"


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
