"""Python-level benchmark rows, run by bench/run.py under CPython or PyPy.

    python_rows.py CORPUS fit-words MERGES RUNS
    python_rows.py CORPUS batch MERGES RUNS        (trains the table once, untimed)
    python_rows.py CORPUS encode-one MERGES RUNS
    python_rows.py CORPUS encode-synthetic MERGES RUNS
    python_rows.py CORPUS convert - RUNS
    python_rows.py CORPUS words-calls MERGES RUNS  (the batch calls and their yardsticks)
    python_rows.py CORPUS words-round-trip TABLE.json 1  (encode then decode, for peak memory)

Prints one JSON object of median seconds (and sizes).
"""

import array
import gc
import json
import os
import random
import sys
import time

import pairfuse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
from corpus import words_of  # noqa: E402

def median_time(runs, fn, *args):
    """Median seconds of fn(*args), and its last result. Every run starts from
    a collected heap without the previous run's result: otherwise where a
    full collection happens to land (PyPy's above all) decides which row pays
    for it, and the ratios between rows swung by 2x from run to run."""
    times, result = [], None
    for _ in range(runs):
        result = None
        gc.collect()
        start = time.perf_counter()
        result = fn(*args)
        times.append(time.perf_counter() - start)
    times.sort()
    return times[len(times) // 2], result


def plain_python_decode(encoded, merges):
    """What a caller writes without the module: an expansion dict and extend."""
    expansion = {}
    for (left, right), token in merges:
        expansion[token] = expansion.get(left, [left]) + expansion.get(right, [right])
    out = []
    for tokens in encoded:
        units = []
        for token in tokens:
            expanded = expansion.get(token)
            if expanded is None:
                units.append(token)
            else:
                units.extend(expanded)
        out.append(units)
    return out


def with_collector_paused(fn, *args):
    gc.disable()
    try:
        return fn(*args)
    finally:
        gc.enable()


def main():
    corpus, row, merges, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    data = open(corpus, "rb").read()
    distinct = len(set(data))
    out = {"bytes": len(data)}
    if row == "fit-words":
        words = words_of(data)
        out["seconds"], (_, table) = median_time(runs, pairfuse.fit_concurrent_py, words, distinct + int(merges))
        out["merges"] = len(table)
    elif row in ("batch", "encode-one", "encode-synthetic"):
        words = words_of(data)
        _, table = pairfuse.fit_concurrent_py(words, distinct + int(merges))
        if row == "batch":
            out["encode_seconds"], encoded = median_time(runs, pairfuse.encode_concurrent_py, words, table)
            out["decode_seconds"], decoded = median_time(runs, pairfuse.decode_concurrent_py, encoded, table)
            assert all(bytes(d) == w for d, w in zip(decoded, words))
            out["tokens"] = sum(len(e) for e in encoded)
        elif row == "encode-one":
            out["seconds"], encoded = median_time(runs, pairfuse.encode_py, data, table)
            out["tokens"] = len(encoded)
        else:
            rng = random.Random(7)
            inputs = {"run": [97] * 1_000_000,
                      "letters": [rng.randrange(97, 123) for _ in range(1_000_000)]}
            for name, units in inputs.items():
                out[name + "_seconds"], encoded = median_time(runs, pairfuse.encode_py, units, table)
                out[name + "_tokens"] = len(encoded)
                with open(f"{corpus}.{name}", "wb") as f:
                    f.write(bytes(units))
    elif row == "convert":
        units = list(range(1_000_000))
        # decode_py with an empty table converts the list in and a new list out.
        out["boundary_seconds"], _ = median_time(runs, pairfuse.decode_py, units, [])
        out["array_seconds"], _ = median_time(runs, array.array, "i", units)
    elif row == "words-calls":
        words = words_of(data)
        out["fit_seconds"], (_, table) = median_time(runs, pairfuse.fit_concurrent_py, words, distinct + int(merges))
        if len(sys.argv) > 5:  # where to keep the table, for words-round-trip
            with open(sys.argv[5], "w") as f:
                json.dump([[left, right, token] for (left, right), token in table], f)
        out["encode_seconds"], encoded = median_time(runs, pairfuse.encode_concurrent_py, words, table)
        out["decode_seconds"], decoded = median_time(runs, pairfuse.decode_concurrent_py, encoded, table)
        assert all(bytes(d) == w for d, w in zip(decoded, words))
        out["plain_decode_seconds"], plain = median_time(runs, plain_python_decode, encoded, table)
        assert plain == decoded
        del plain, decoded
        out["lists_seconds"], _ = median_time(runs, lambda: [list(w) for w in words])
        out["lists_paused_seconds"], _ = median_time(runs, with_collector_paused, lambda: [list(w) for w in words])
        out["decode_empty_seconds"], _ = median_time(runs, pairfuse.decode_concurrent_py, words, [])
        out["fit_one_seconds"], _ = median_time(runs, pairfuse.fit_concurrent_py, words, distinct + 1)
        try:
            import numpy
        except ImportError:
            pass
        else:
            values = numpy.arange(1_000_000, dtype=numpy.int32) % 1000
            out["numpy_decode_seconds"], _ = median_time(runs, pairfuse.decode_py, values, [])
            out["list_decode_seconds"], _ = median_time(runs, pairfuse.decode_py, values.tolist(), [])
    elif row == "words-round-trip":
        words = words_of(data)
        with open(merges) as f:
            table = [((left, right), token) for left, right, token in json.load(f)]
        start = time.perf_counter()
        decoded = pairfuse.decode_concurrent_py(pairfuse.encode_concurrent_py(words, table), table)
        out["seconds"] = time.perf_counter() - start
        out["sequences"] = len(decoded)
    else:
        raise SystemExit(f"unknown row {row}")
    print(json.dumps(out))


if __name__ == "__main__":
    main()
