"""Python-level benchmark rows, run by bench/run.py under CPython or PyPy.

    python_rows.py CORPUS fit-words MERGES RUNS
    python_rows.py CORPUS batch MERGES RUNS        (trains the table once, untimed)
    python_rows.py CORPUS encode-one MERGES RUNS
    python_rows.py CORPUS encode-synthetic MERGES RUNS
    python_rows.py CORPUS convert - RUNS

Prints one JSON object of median seconds (and sizes).
"""

import array
import json
import os
import random
import sys
import time

import pairfuse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
from corpus import words_of  # noqa: E402

def median_time(runs, fn, *args):
    times, result = [], None
    for _ in range(runs):
        start = time.perf_counter()
        result = fn(*args)
        times.append(time.perf_counter() - start)
    times.sort()
    return times[len(times) // 2], result


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
    else:
        raise SystemExit(f"unknown row {row}")
    print(json.dumps(out))


if __name__ == "__main__":
    main()
