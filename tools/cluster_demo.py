"""Train, encode and decode the Python standard library's words on a Dask cluster with pairfuse_dask.

Starts a local cluster of worker processes (or joins --scheduler), lets each
worker load its share of the words, trains through pairfuse_dask, encodes and
decodes, and checks the results against pairfuse in this one process.
Prints timings; fails loudly on any difference.
"""

import argparse
import array
import hashlib
import os
import sys
import time

import distributed

import pairfuse
import pairfuse_dask

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from corpus import corpus_bytes, words_bag, words_of  # noqa: E402


def timed(label, fn, *args):
    start = time.perf_counter()
    result = fn(*args)
    print(f"  {label:<44} {time.perf_counter() - start:8.2f} s")
    return result


def digest(sequences):
    """One SHA-256 over a partition's sequences (each as its length and its
    32-bit units): what the client compares, since gathering a million small
    lists from Dask costs far more than any step timed here."""
    h = hashlib.sha256()
    for sequence in sequences:
        units = array.array("i", list(sequence))
        h.update(len(units).to_bytes(8, "little"))
        h.update(units.tobytes())
    return [h.hexdigest()]


def digests_by_partition(sequences, sizes):
    out, start = [], 0
    for size in sizes:
        out += digest(sequences[start:start + size])
        start += size
    return out


def persisted(client, bag):
    """`bag` computed into the workers' memory."""
    bag = client.persist(bag)
    distributed.wait(bag)
    return bag


def worker_words(client, partitions, root):
    """The corpus's words as a bag on the workers, each partition loaded by a worker."""
    return persisted(client, words_bag(partitions, root=root))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", default="/usr/lib/python3.11")
    parser.add_argument("--target", type=int, default=30000)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--scheduler", help="address of a running scheduler, for example tcp://scheduler:8786")
    args = parser.parse_args()

    if args.scheduler:
        client = distributed.Client(args.scheduler)
    else:
        cluster = timed(
            f"starting {args.workers} worker processes",
            lambda: distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                             dashboard_address=None),
        )
        client = distributed.Client(cluster)
    print(f"pairfuse_dask demo on {client}")

    bag = timed(f"workers load the words ({args.partitions} partitions)", worker_words, client, args.partitions,
                args.root)
    merges = timed(f"pairfuse_dask.fit (target {args.target})", pairfuse_dask.fit, bag, args.target)
    encoded = timed("pairfuse_dask.encode, kept on the workers",
                    lambda: persisted(client, pairfuse_dask.encode(bag, merges)))
    decoded = timed("pairfuse_dask.decode, kept on the workers",
                    lambda: persisted(client, pairfuse_dask.decode(encoded, merges)))
    sizes = bag.map_partitions(lambda words: [len(words)]).compute()
    encoded_digests = encoded.map_partitions(digest).compute()
    decoded_digests = decoded.map_partitions(digest).compute()

    print("in this process, for comparison:")
    words = words_of(corpus_bytes(args.root))
    tokens, expected = timed("pairfuse.fit_concurrent_py", pairfuse.fit_concurrent_py, words, args.target)
    assert merges == expected, "the cluster's merges differ from pairfuse.fit_concurrent_py's"
    assert decoded_digests == digests_by_partition(words, sizes), "decoding on the cluster did not give the words back"
    assert encoded_digests == digests_by_partition(tokens, sizes), "the cluster's encoding differs from the trained words"
    total = sum(len(t) for t in tokens)
    print(f"  {len(words):,} words, {len(merges):,} merges, {total:,} tokens: same merges, round trip ok")
    client.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
