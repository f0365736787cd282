"""Cluster benchmark rows: pairfuse_dask on a local cluster of 2 worker processes against pairfuse in one process.

    dask_rows.py CORPUS TARGET RUNS

The words of CORPUS (a file, as bench/run.py writes it) are loaded by the
workers themselves and persisted before any timing; starting the cluster is
not timed either. Prints one JSON object: median seconds of pairfuse_dask.fit
and of fit_concurrent_py, the bytes the client received during one fit (an
upper bound: a LocalCluster's scheduler lives in the client's process, so
its messages from the workers count too), and
median seconds of pairfuse_dask.encode then decode (persisted on the workers)
against encode_concurrent_py then decode_concurrent_py.
"""

import json
import os
import statistics
import sys
import time

import dask.bag as db
import distributed
from distributed.comm import tcp

import pairfuse
import pairfuse_dask

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
from corpus import words_bag, words_of  # noqa: E402

PARTITIONS = 8


class ReceivedBytes:
    """Counts the bytes of every message this process reads from a TCP comm."""

    def __init__(self):
        self.total = 0
        allocate = tcp.host_array

        def counting(nbytes):
            self.total += nbytes
            return allocate(nbytes)

        tcp.host_array = counting


def same_words(decoded, words):
    return [list(map(bytes, decoded)) == list(words)]


def median_seconds(runs, fn, setup=lambda run: ()):
    """Median time of fn(*setup(run)) over the runs; setup is not timed."""
    times, result = [], None
    for run in range(runs):
        arguments = setup(run)
        start = time.perf_counter()
        result = fn(*arguments)
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def main():
    corpus, target, runs = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    received = ReceivedBytes()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:

        def loaded(run):
            """The words on the workers, under keys of this run only (Dask
            would otherwise find an earlier run's results still in memory)."""
            bag = client.persist(words_bag(PARTITIONS, corpus, name=f"words-{run}"))
            distributed.wait(bag)
            return (bag,)

        with open(corpus, "rb") as f:
            words = words_of(f.read())
        out = {"words": len(words), "partitions": PARTITIONS}
        out["single_fit_seconds"], (_, merges) = median_seconds(runs, lambda: pairfuse.fit_concurrent_py(words, target))
        (bag,) = loaded("check")
        before = received.total
        fitted = pairfuse_dask.fit(bag, target)
        out["fit_client_received_bytes"] = received.total - before
        assert fitted == merges, "pairfuse_dask.fit differs from fit_concurrent_py"
        out["fit_seconds"], _ = median_seconds(runs, lambda bag: pairfuse_dask.fit(bag, target), loaded)
        out["merges"] = len(merges)

        def single_round_trip():
            return pairfuse.decode_concurrent_py(pairfuse.encode_concurrent_py(words, merges), merges)

        def cluster_round_trip(bag):
            encoded = client.persist(pairfuse_dask.encode(bag, merges))
            decoded = client.persist(pairfuse_dask.decode(encoded, merges))
            distributed.wait(decoded)
            return decoded

        out["single_encode_decode_seconds"], _ = median_seconds(runs, single_round_trip)
        out["encode_decode_seconds"], decoded = median_seconds(runs, cluster_round_trip, loaded)
        # Checked on the workers: gathering a million small lists is slow in Dask.
        assert all(db.map_partitions(same_words, decoded, bag).compute()), "round trip on the cluster failed"
    print(json.dumps(out))


if __name__ == "__main__":
    main()
