"""No leaks: each function, called thousands of times on one successful input or
one error path, leaves memory flat and the arguments' reference counts as they were."""
import array
import json
import os
import subprocess
import sys
import textwrap

import pytest

import pairfuse
from hostile import IS_PYPY, SANITIZED, HostileSeq, Index, PanicException, RaisingIndex
import pairfuse_testing  # importable once hostile is: it puts tests/support on sys.path
from pairfuse_testing import call_swallowing, collect, resident_bytes, resident_size_settles

# AddressSanitizer keeps freed memory in quarantine and runs everything several
# times slower: the sanitizer run checks reference counts and Python-level
# allocations over fewer calls, and leaves resident size alone.
ITERATIONS = 300 if SANITIZED else 2000
TRACED_ITERATIONS = 100 if SANITIZED else 500
CHECK_RSS = not SANITIZED
# Growth allowed over all calls. A leak of one small object per call exceeds the
# traced limit; inputs are large enough (about 2,000 units) that leaking one
# engine vector per call exceeds the resident limit.
TRACED_SLACK = 8 * 1024
RSS_SLACK = 6 * 1024 * 1024

def memory_growth(call):
    """(traced bytes, resident bytes) gained over the repeated calls, after a warm-up."""
    for _ in range(max(20, ITERATIONS // 10)):
        call_swallowing(call)
    collect()
    import tracemalloc

    tracemalloc.start()
    start = tracemalloc.get_traced_memory()[0]
    for _ in range(TRACED_ITERATIONS):
        call_swallowing(call)
    collect()
    traced = tracemalloc.get_traced_memory()[0] - start
    tracemalloc.stop()
    collect()
    before = resident_bytes()
    for _ in range(ITERATIONS):
        call_swallowing(call)
    collect()
    return traced, resident_bytes() - before


def reference_counts(obj, seen=None):
    """Reference counts of `obj` and everything inside it that belongs to the test alone."""
    seen = set() if seen is None else seen
    if id(obj) in seen or (type(obj) is int and -5 <= obj <= 256) or type(obj) is bool or obj is None:
        return []
    seen.add(id(obj))
    counts = [(repr(obj)[:40], sys.getrefcount(obj))]
    if isinstance(obj, (list, tuple)):
        for item in obj:
            counts += reference_counts(item, seen)
    elif isinstance(obj, HostileSeq):
        counts += reference_counts(obj.items, seen)
    return counts


# ---------------------------------------------------------------- inputs

LONG = bytes(range(1, 50)) * 50  # 2,450 units, no int objects on the way in
LONG_LIST = [1000 + (i % 37) for i in range(2000)]  # private int objects, for reference counts
MERGES = pairfuse.fit_py(LONG, 70)[1]
ENCODED = pairfuse.encode_py(LONG, MERGES)
CYCLE = [((1, 2), 3), ((3, 4), 1)]
BATCH = [LONG, LONG_LIST, b"", LONG[:500]]


def with_bad_tail(tail):
    """A long list that fails on its last item, after a whole vector was built."""
    return LONG_LIST + [tail]


# (function, args, kwargs, expected exception or None)
CASES = {
    # successes
    "fit_py": ("fit_py", (LONG_LIST, 60), {}, None),
    "fit_concurrent_py": ("fit_concurrent_py", (BATCH, 110), {}, None),
    "encode_py": ("encode_py", (LONG, MERGES), {}, None),
    "encode_concurrent_py": ("encode_concurrent_py", (BATCH, MERGES), {}, None),
    "batch of bytes": ("encode_concurrent_py", ([LONG, LONG[:700], b""], MERGES), {}, None),
    "decode_py": ("decode_py", (ENCODED, MERGES), {}, None),
    "decode_concurrent_py": ("decode_concurrent_py", ([ENCODED, ENCODED[:100], []], MERGES), {}, None),
    "by keyword": ("encode_py", (), {"merges": MERGES, "units": LONG_LIST}, None),
    "tuple, range, HostileSeq": ("encode_concurrent_py", ([tuple(LONG_LIST), range(2000), HostileSeq(LONG_LIST, reported_len=7)], MERGES), {}, None),
    "index objects": ("fit_py", ([Index(i % 5) for i in range(2000)], 10), {}, None),
    "array.array": ("encode_py", (array.array("i", LONG_LIST), MERGES), {}, None),
    "memoryview": ("decode_concurrent_py", ([memoryview(array.array("q", ENCODED))[::2]], MERGES), {}, None),
    # binding errors
    "too many positional": ("encode_py", (LONG_LIST, MERGES, 3), {}, TypeError),
    "missing argument": ("fit_concurrent_py", (BATCH,), {}, TypeError),
    "unexpected keyword": ("decode_py", (LONG_LIST, MERGES), {"extra": 1}, TypeError),
    "multiple values": ("fit_py", (LONG_LIST,), {"units": LONG_LIST}, TypeError),
    # conversion errors, each after converting a long prefix
    "str": ("encode_py", ("x" * 3000, MERGES), {}, TypeError),
    "not a sequence": ("decode_concurrent_py", ([LONG_LIST, {1: 2}], MERGES), {}, TypeError),
    "unit out of range": ("fit_py", (with_bad_tail(2**31), 10), {}, OverflowError),
    "array unit out of range": ("encode_py", (array.array("q", with_bad_tail(2**31)), MERGES), {}, OverflowError),
    "unit beyond 64 bits": ("encode_concurrent_py", ([LONG_LIST, with_bad_tail(2**70)], MERGES), {}, OverflowError),
    "unit not an integer": ("decode_py", (with_bad_tail("x"), MERGES), {}, TypeError),
    "index raising": ("fit_concurrent_py", ([LONG_LIST, with_bad_tail(RaisingIndex(ValueError("no")))], 10), {}, ValueError),
    "iterator raising": ("encode_py", (HostileSeq(LONG_LIST, fail_at=1999, fail_with=KeyError("k")), MERGES), {}, KeyError),
    "size negative": ("fit_py", (LONG_LIST, -1), {}, OverflowError),
    "size not an integer": ("fit_concurrent_py", (BATCH, 1.5), {}, TypeError),
    "merge entry too long": ("encode_py", (LONG_LIST, MERGES + [((1, 2), 3, 4)]), {}, ValueError),
    "merge entry a list": ("decode_concurrent_py", (BATCH, MERGES + [[(1, 2), 3]]), {}, TypeError),
    "merge id out of range": ("decode_py", (LONG_LIST, MERGES + [((1, 2), 2**31)]), {}, OverflowError),
    # fatal engine errors
    "empty training input": ("fit_py", ([], 5), {}, PanicException),
    "target too small": ("fit_py", (LONG_LIST, 5), {}, PanicException),
    "empty batch": ("fit_concurrent_py", ([[], []], 5), {}, PanicException),
    "batch target too small": ("fit_concurrent_py", (BATCH, 5), {}, PanicException),
    "id overflow": ("fit_py", ([2**31 - 1] * 2000, 2), {}, PanicException),
    "decode cycle": ("decode_py", (LONG_LIST + [3], CYCLE), {}, PanicException),
    "batch decode cycle": ("decode_concurrent_py", ([LONG_LIST, [4, 1]], CYCLE), {}, PanicException),
    # a panic raised by Python code the conversion called
    "panic from index": ("encode_py", (with_bad_tail(RaisingIndex(PanicException("from Python"))), MERGES), {}, PanicException),
    "panic from len": ("fit_concurrent_py", ([HostileSeq(LONG_LIST, len_error=PanicException("len"))], 10), {}, PanicException),
}
# The length hint asks for 16 TB: the reservation is capped.
CASES["impossible length hint"] = ("encode_py", (HostileSeq(LONG_LIST, reported_len=2**42), MERGES), {}, None)


@pytest.mark.parametrize("case", CASES)
def test_repeated_calls_leave_memory_flat(case):
    name, args, kwargs, expected = CASES[case]
    function = getattr(pairfuse, name)

    def call():
        return function(*args, **kwargs)

    if expected is None:
        call()
    else:
        with pytest.raises(expected):
            call()
    if IS_PYPY:
        settled, highs = resident_size_settles(call)
        assert settled, f"resident size kept growing: {highs}"
        return
    traced, resident = memory_growth(call)
    assert traced < TRACED_SLACK, f"{traced} bytes of Python objects left behind by {TRACED_ITERATIONS} calls"
    if CHECK_RSS:
        assert resident < RSS_SLACK, f"resident size grew by {resident} bytes over {ITERATIONS} calls"


@pytest.mark.skipif(IS_PYPY, reason="reference counts are CPython's")
@pytest.mark.parametrize("case", CASES)
def test_calls_leave_reference_counts_unchanged(case):
    name, args, kwargs, _ = CASES[case]
    function = getattr(pairfuse, name)
    call_swallowing(lambda: function(*args, **kwargs))  # first-use initialisations
    before = reference_counts(args) + reference_counts(kwargs)
    for _ in range(20):
        call_swallowing(lambda: function(*args, **kwargs))
    collect()
    assert reference_counts(args) + reference_counts(kwargs) == before


# ---------------------------------------------------------------- MemoryError

MEMORY_ERROR_CHILD = textwrap.dedent(
    """
    import json, resource, sys, time
    import pairfuse
    from pairfuse_testing import IS_PYPY, resident_size_settles

    def statm(field):
        with open("/proc/self/statm") as f:
            return int(f.read().split()[field]) * resource.getpagesize()

    # Token 40 stands for 2**40 units: no call can build that.
    chain = [((i, i), i + 1) for i in range(40)]
    pairfuse.encode_concurrent_py([[1, 2]], [])  # start the worker pool before the limit
    resource.setrlimit(resource.RLIMIT_AS, (statm(0) + (384 << 20), resource.RLIM_INFINITY))

    calls = {"decode_py": lambda: pairfuse.decode_py([1, 40, 2], chain),
             "decode_concurrent_py": lambda: pairfuse.decode_concurrent_py([[1], [40], [2]], chain)}
    report = {}
    for name, call in calls.items():
        errors = 0

        def counted():
            global errors
            try:
                call()
            except MemoryError:
                errors += 1

        def run(n):
            for _ in range(n):
                counted()
                if time.monotonic() > deadline:
                    break

        deadline = time.monotonic() + 60
        run(3)
        figures = {"warm": errors}
        errors = 0
        if IS_PYPY:
            # PyPy's collector grows its heap for a while before it levels off.
            figures["settled"], figures["highs"] = resident_size_settles(counted)
        else:
            before = statm(1)
            deadline = time.monotonic() + int(sys.argv[1])
            run(int(sys.argv[2]))
            figures["growth"] = statm(1) - before
        figures["calls"] = errors
        figures["after"] = pairfuse.decode_py([3], chain)
        report[name] = figures
    print(json.dumps(report))
    """
)


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer needs far more address space than the limit leaves")
def test_memory_error_leaves_memory_flat():
    """Running out of memory raises MemoryError, leaks nothing and leaves the module usable.

    In a child whose address space is limited. An engine that expands step by
    step reaches the limit on every call, so fewer calls fit in the time allowed.
    On PyPy, whose collector grows its heap before it levels off, memory is flat
    when the resident size reaches a plateau, as in the checks above.
    """
    module_dir = os.path.dirname(os.path.abspath(pairfuse.__file__))
    support_dir = os.path.dirname(os.path.abspath(pairfuse_testing.__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([module_dir, support_dir, os.environ.get("PYTHONPATH", "")]),
               MALLOC_ARENA_MAX="2")
    result = subprocess.run(
        [sys.executable, "-c", MEMORY_ERROR_CHILD, "20", str(ITERATIONS)],
        env=env, capture_output=True, text=True, timeout=600, check=False)
    assert result.returncode == 0, result.stderr[-2000:]
    report = json.loads(result.stdout)
    for name, figures in report.items():
        assert figures["warm"] > 0 and figures["calls"] > 0, (name, figures)
        assert figures["after"] == [0] * 8, name
        if IS_PYPY:
            assert figures["settled"], (name, figures)
        else:
            assert figures["growth"] < RSS_SLACK, (name, figures)


def test_cycling_through_more_large_tables_than_are_kept_leaves_memory_flat():
    """Kept tables are bounded: 10,000 calls cycling through 12 tables of
    2,000 entries each (more than are kept) hold memory flat."""
    tables = [[((i % 251, i // 251), 300 + i + 5000 * k) for i in range(2000)] for k in range(12)]
    calls = iter(range(10**9))

    def call():
        k = next(calls)
        table = tables[k % len(tables)]
        (pairfuse.encode_py if k % 2 else pairfuse.decode_py)([1, 2, 300 + k % 2000], table)

    if IS_PYPY:
        settled, highs = resident_size_settles(call, per_round=1000)
        assert settled, f"resident size kept growing: {highs}"
        return
    for _ in range(200):
        call()
    collect()
    before = resident_bytes()
    for _ in range(3000 if SANITIZED else 10_000):
        call()
    collect()
    if CHECK_RSS:
        assert resident_bytes() - before < RSS_SLACK
