"""Many Python threads at once, and the worker pool's configuration from the environment."""
import json
import os
import random
import shutil
import subprocess
import sys
import threading
import time

import pytest

import pairfuse
from hostile import IS_PYPY, SANITIZED, Index

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def make_inputs(seed):
    rng = random.Random(seed)
    units = [rng.randrange(6) for _ in range(rng.randrange(50, 400))]
    units_list = [[rng.randrange(6) for _ in range(rng.randrange(0, 60))] for _ in range(rng.randrange(1, 30))]
    _, merges = pairfuse.fit_py(units, 20)
    return units, units_list, merges


def run_all_six(units, units_list, merges):
    """Every function once; errors count as results too."""
    calls = [
        lambda: pairfuse.fit_py(units, 20),
        lambda: pairfuse.fit_concurrent_py(units_list, 20),
        lambda: pairfuse.encode_py(units, merges),
        lambda: pairfuse.encode_concurrent_py(units_list, merges),
        lambda: pairfuse.decode_py(pairfuse.encode_py(units, merges), merges),
        lambda: pairfuse.decode_concurrent_py(units_list, merges),
        lambda: pairfuse.fit_py(units[:1], 1),  # PanicException
        lambda: pairfuse.encode_py(units + ["x"], merges),  # TypeError
    ]
    out = []
    for call in calls:
        try:
            out.append(call())
        except BaseException as error:  # noqa: B902
            out.append((type(error).__name__, str(error)))
    return out


class SwitchingIndex(Index):
    """Gives other threads a chance to run in the middle of a conversion."""

    def __index__(self):
        time.sleep(0)
        return self.value


def test_threads_calling_every_function_get_serial_results():
    inputs = [make_inputs(seed) for seed in range(12)]
    # Some arguments run Python code inside the conversion, where threads switch.
    inputs += [([SwitchingIndex(u) for u in units], lst, merges) for units, lst, merges in inputs[:4]]
    expected = [run_all_six(*args) for args in inputs]
    rounds = 3 if SANITIZED else 8
    results = {}
    failures = []
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)

    def worker(t):
        try:
            order = list(range(len(inputs)))
            random.Random(t).shuffle(order)
            for _ in range(rounds):
                for k in order:
                    got = run_all_six(*inputs[k])
                    if got != expected[k]:
                        failures.append((t, k))
            results[t] = True
        except BaseException as error:  # noqa: B902
            failures.append((t, repr(error)))

    try:
        threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert not failures
    assert len(results) == 8


FIRST_CALLS = """
import sys, threading, pairfuse
sys.setswitchinterval(1e-6)
start = threading.Barrier(8)
def first_call():
    start.wait()
    pairfuse.decode_py(list(range(100)), [])
threads = [threading.Thread(target=first_call) for _ in range(8)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
"""


def test_threads_making_the_first_calls_at_once_all_finish():
    """Whatever the module sets up on first use, threads arriving together
    neither deadlock (the child would time out) nor fail. A deadlock does not
    happen every time: ten fresh interpreters."""
    for _ in range(10):
        result = subprocess.run([sys.executable, "-c", FIRST_CALLS], env=child_env(), capture_output=True, text=True,
                                timeout=120, check=False)
        assert result.returncode == 0, result.stderr[-2000:]


# ---------------------------------------------------------------- configuration

CHILD = """
import json, random, pairfuse
rng = random.Random(7)
units = [rng.randrange(8) for _ in range(3000)]
units_list = [[rng.randrange(8) for _ in range(rng.randrange(0, 200))] for _ in range(300)]
tokens, merges = pairfuse.fit_py(units, 60)
lists, batch_merges = pairfuse.fit_concurrent_py(units_list, 60)
print(json.dumps([tokens, merges, lists, batch_merges,
                  pairfuse.encode_concurrent_py(units_list, merges),
                  pairfuse.decode_concurrent_py(lists, batch_merges) == units_list]))
"""

ENV_VALUES = ["1", "2", "0", "-3", "text", "", " 2", "99999999999999999999999"]


def child_env(**values):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    module_dir = os.path.dirname(os.path.abspath(pairfuse.__file__))
    env["PYTHONPATH"] = os.pathsep.join([module_dir, os.environ.get("PYTHONPATH", "")])
    env.update(values)
    return env


def run_child(env):
    result = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True, timeout=600,
                            check=False)
    assert result.returncode == 0, result.stderr[-2000:]
    return json.loads(result.stdout)


@pytest.fixture(scope="module")
def reference_results():
    return run_child(child_env())


@pytest.mark.parametrize("variable", ["RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"])
@pytest.mark.parametrize("value", ENV_VALUES[:5] if SANITIZED or IS_PYPY else ENV_VALUES)
def test_pool_size_variables_do_not_change_results(variable, value, reference_results):
    got = run_child(child_env(**{variable: value}))
    assert got == reference_results
    assert got[-1] is True


@pytest.fixture(scope="module")
def pool_size_probe():
    # Any build of the engine will do; scripts/build makes this one.
    path = os.environ.get("PAIRFUSE_POOL_PROBE") or os.path.join(REPO, "build", "cpython", "tests", "pool_size_probe")
    if not os.access(path, os.X_OK):
        pytest.fail(f"pool size probe {path} not built: run scripts/build, or set PAIRFUSE_POOL_PROBE")
    return path


def expected_pool_size(num_threads, rs_num_cpus, available):
    def count(text):
        if text is None:
            return None
        digits = text[1:] if text.startswith("+") else text
        if not (digits.isascii() and digits.isdigit()) or int(digits) >= 2**64:
            return None
        return int(digits)

    n = count(num_threads)
    if n is not None:
        return n if n > 0 else available
    n = count(rs_num_cpus)
    return n if n else available


PROBE_CASES = [(v, None) for v in ENV_VALUES] + [(None, v) for v in ENV_VALUES] + [
    ("text", "3"),
    ("-3", "3"),
    ("0", "3"),
    ("4", "3"),
    ("+5", None),
    (None, None),
]


@pytest.mark.parametrize("num_threads, rs_num_cpus", PROBE_CASES)
def test_pool_is_sized_from_the_environment(num_threads, rs_num_cpus, pool_size_probe):
    # A runtime preloaded into the interpreter (scripts/sanitize) is not for the probe.
    dropped = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "LD_PRELOAD")
    env = {k: v for k, v in os.environ.items() if k not in dropped}
    if num_threads is not None:
        env["RAYON_NUM_THREADS"] = num_threads
    if rs_num_cpus is not None:
        env["RAYON_RS_NUM_CPUS"] = rs_num_cpus
    command = [pool_size_probe]
    pinned = shutil.which("taskset") is not None and num_threads is None and rs_num_cpus is None
    if pinned:
        command = ["taskset", "-c", "0"] + command  # one available processor
    out = subprocess.run(command, env=env, capture_output=True, text=True, timeout=120, check=True).stdout
    size, available = map(int, out.split())
    if pinned:
        assert available == 1
    assert size == expected_pool_size(num_threads, rs_num_cpus, available)


def test_a_table_evicted_while_the_lock_is_released_stays_alive_for_its_call():
    """pairfuse_dask's engine runs without the interpreter lock; another thread
    meanwhile pushes its table out of the cache with tables of its own."""
    pytest.importorskip("dask.bag")
    from pairfuse_dask._engine import encode_concurrent

    rng = random.Random(3)
    text = bytes(rng.choice(b"abcdef ") for _ in range(4000))
    merges = pairfuse.fit_py(text, 400)[1]
    batch = [text[k:k + 50] for k in range(0, len(text), 50)] * 20
    expected = pairfuse.encode_concurrent_py(batch, merges)
    others = [[((i % 97, i // 97), 1000 + i + 3000 * k) for i in range(1000)] for k in range(12)]
    stop = threading.Event()

    def evict():
        k = 0
        while not stop.is_set():
            pairfuse.encode_py([1, 2, 3], others[k % len(others)])
            k += 1

    evictor = threading.Thread(target=evict)
    evictor.start()
    try:
        for _ in range(30):
            assert encode_concurrent(batch, [((l, r), i) for (l, r), i in merges]) == expected
            assert encode_concurrent(batch, merges) == expected
    finally:
        stop.set()
        evictor.join()
