import pathlib
import sys

import pytest

# The helpers shared with tests/hostile.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))

from pairfuse_testing import PanicException  # noqa: E402


@pytest.fixture(scope="session")
def panic_type():
    return PanicException
