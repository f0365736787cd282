"""How calls end: fatal engine errors, panics coming back from Python code, running out of memory."""
import textwrap

import pytest

import pairfuse
from pairfuse_testing import IS_PYPY, PanicException, run_python

UNWRAP = "called `Option::unwrap()` on a `None` value"
RESUMING = "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---"
CYCLE = [((1, 2), 1)]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: pairfuse.fit_py([], 5), UNWRAP),
        (lambda: pairfuse.fit_py([], 0), UNWRAP),
        (lambda: pairfuse.fit_concurrent_py([], 5), UNWRAP),
        (lambda: pairfuse.fit_concurrent_py([[], []], 0), UNWRAP),
        (lambda: pairfuse.fit_py([1, 2, 3], 2), "Target vocab size (2) must be greater than the initial vocab size (3)."),
        (lambda: pairfuse.fit_py([1, 2, 1], 2), "Target vocab size (2) must be greater than the initial vocab size (2)."),
        (lambda: pairfuse.fit_concurrent_py([[1, 2], [2, 1]], 2), "Target vocab size (2) must be greater than the initial vocab size (2)."),
        (lambda: pairfuse.fit_py([2147483646, 2147483647] * 3, 5), "Token id overflow: no id above 2147483647 is left for merge 1."),
        (lambda: pairfuse.fit_py([2147483646, 2147483645] * 4, 5), "Token id overflow: no id above 2147483647 is left for merge 2."),
        (lambda: pairfuse.fit_concurrent_py([[2147483646, 2147483647]] * 3, 5), "Token id overflow: no id above 2147483647 is left for merge 1."),
        (lambda: pairfuse.decode_py([1], CYCLE), "Merge table has a cycle: token 1 expands into itself."),
        (lambda: pairfuse.decode_py([7, 3, 1], [((1, 2), 3), ((3, 4), 1)]), "Merge table has a cycle: token 3 expands into itself."),
        (lambda: pairfuse.decode_concurrent_py([[7], [], [5, 1]], CYCLE), "Merge table has a cycle: token 1 expands into itself."),
    ],
)
def test_fatal_engine_error_becomes_panic_exception(call, message, capfd):
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value) is PanicException
    assert caught.value.args == (message,)
    assert str(caught.value) == message
    # The report written where the error happened names the message too.
    assert message in capfd.readouterr().err


def test_cycles_that_are_never_reached_decode_normally():
    assert pairfuse.decode_py([7, 2], CYCLE) == [7, 2]
    assert pairfuse.decode_concurrent_py([[7], [2]], CYCLE) == [[7], [2]]


def test_panic_escapes_except_exception_and_later_calls_work():
    def swallow_ordinary_errors():
        try:
            pairfuse.fit_py([1, 2, 3], 2)
        except Exception:  # noqa: BLE001 - this handler must not see the panic
            return "swallowed"

    with pytest.raises(BaseException) as caught:
        swallow_ordinary_errors()
    assert isinstance(caught.value, PanicException)
    assert pairfuse.fit_py([1, 2, 1, 2, 3], 4) == ([4, 4, 3], [((1, 2), 4)])
    assert pairfuse.decode_concurrent_py([[4]], [((1, 2), 4)]) == [[1, 2]]


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


class PanickingIndex:
    def __init__(self, payload):
        self.payload = payload

    def __index__(self):
        raise PanicException(self.payload)


class PanickingSequence:
    def __init__(self, payload, where):
        self.payload = payload
        self.where = where

    def __len__(self):
        if self.where == "__len__":
            raise PanicException(self.payload)
        return 1

    def __getitem__(self, i):
        if self.where == "__getitem__":
            raise PanicException(self.payload)
        if i > 0:
            raise IndexError
        return 1


@pytest.mark.parametrize(
    "call",
    [
        lambda payload: pairfuse.fit_py([1, PanickingIndex(payload)], 5),
        lambda payload: pairfuse.fit_py([1, 2], PanickingIndex(payload)),
        lambda payload: pairfuse.encode_py([1], [((1, PanickingIndex(payload)), 3)]),
        lambda payload: pairfuse.fit_concurrent_py([[1], PanickingSequence(payload, "__getitem__")], 5),
        lambda payload: pairfuse.decode_py(PanickingSequence(payload, "__len__"), []),
    ],
    ids=["item", "size", "merge entry", "iterator", "length"],
)
@pytest.mark.parametrize(
    "payload, message", [("boom", "boom"), (Unprintable(), "Unwrapped panic from Python code")], ids=["text", "unprintable"]
)
def test_panic_raised_by_python_code_is_reported_and_raised_anew(call, payload, message, capfd):
    with pytest.raises(BaseException) as caught:
        call(payload)
    assert type(caught.value) is PanicException
    assert caught.value.args == (message,)
    err = capfd.readouterr().err
    assert f"{RESUMING}\nPython stack trace below:\n" in err
    assert "Traceback (most recent call last):" in err
    assert "pyo3_runtime.PanicException" in err


def test_subclass_of_panic_exception_is_an_ordinary_error(capfd):
    class Derived(PanicException):
        pass

    error = Derived("derived")

    class Item:
        def __index__(self):
            raise error

    with pytest.raises(BaseException) as caught:
        pairfuse.encode_py([Item()], [])
    assert caught.value is error
    assert RESUMING not in capfd.readouterr().err


# Address space beyond what the process has mapped when the call starts: room
# for the interpreter to go on, too little for the doomed allocation.
MEMORY_SCRIPT = """
import resource, pairfuse

def mapped():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

# Token k expands into 2**k zeros.
doubling = [((k - 1, k - 1), k) for k in range(1, 41)]
pairfuse.decode_concurrent_py([[1], [1]], doubling)  # start the worker pool first
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (mapped() + (96 << 20), hard))
try:
    CALL
except MemoryError:
    print("MemoryError")
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(pairfuse.fit_py([1, 2, 1, 2, 3], 4))
"""


@pytest.mark.parametrize(
    "call",
    [
        "pairfuse.decode_py([40], doubling)",
        "pairfuse.decode_concurrent_py([[3], [40], [2]], doubling)",
        pytest.param(
            # 16 MiB of input units fit; a result list of 16 Mi slots does not.
            "pairfuse.encode_py(bytes(16 << 20), [])",
            marks=pytest.mark.skipif(IS_PYPY, reason="PyPy's cpyext aborts the process when memory runs out"),
        ),
    ],
    ids=["engine", "engine on a worker", "result list"],
)
def test_running_out_of_memory_raises_memory_error_and_the_interpreter_goes_on(call):
    result = run_python(textwrap.dedent(MEMORY_SCRIPT).replace("CALL", call))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["MemoryError", "([4, 4, 3], [((1, 2), 4)])"]
