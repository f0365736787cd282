"""pairfuse_tokenizer rows, run by bench/run.py under CPython or PyPy: the
Tokenizer's typed results against the module's lists, two threads against
one, and streaming training against training on a list.

    tokenizer_rows.py [RUNS [VOCAB_SIZE]]

Corpus: the words of the Python standard library (tools/corpus.py). Every
time is the median of RUNS rounds, in seconds. Training runs in a fresh
process per variant, started before this process loads anything: Linux
keeps a process's peak RSS (resource.getrusage) across fork and exec, so a
child started later would report this one's. Prints one JSON object.
"""

import gc
import json
import pathlib
import resource
import subprocess
import sys
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))

import corpus  # noqa: E402
import pairfuse  # noqa: E402
from pairfuse_tokenizer import Tokenizer  # noqa: E402

PIECE = 4096


def median_seconds(runs, fn):
    times = []
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    times.sort()
    return times[len(times) // 2]


def threaded_seconds(runs, tokenizer, pieces, threads):
    """Median time for `threads` threads to encode all pieces between them."""
    shares = [pieces[k::threads] for k in range(threads)]

    def work(share):
        for piece in share:
            tokenizer.encode(piece)

    def run():
        workers = [threading.Thread(target=work, args=(share,)) for share in shares]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    return median_seconds(runs, run)


def machine_parallelism(runs):
    """How much faster two threads hash than one (hashlib releases the lock): what the machine
    lets two threads gain at all, to read two_thread_speedup against."""
    import hashlib

    block = b"x" * (32 << 20)

    def hash_in(threads):
        def run():
            workers = [threading.Thread(target=lambda: hashlib.sha256(block).digest()) for _ in range(threads)]
            for w in workers:
                w.start()
            for w in workers:
                w.join()

        return median_seconds(runs, run)

    return 2 * hash_in(1) / hash_in(2)


def streamed_words(data):
    return (m.group() for m in corpus._WORD.finditer(data))


def train_child(mode, vocab_size):
    """One training in this process: prints its seconds, peak RSS and merge count."""
    data = corpus.corpus_bytes()
    if mode == "baseline":
        # The interpreter, the modules and the corpus's bytes: what every training here starts from.
        start = time.perf_counter()
        merges = []
    elif mode == "list":
        words = corpus.words_of(data)
        start = time.perf_counter()
        merges = pairfuse.fit_concurrent_py(words, vocab_size)[1]
    else:
        cap = 4 if mode == "capped" else None
        start = time.perf_counter()
        merges = Tokenizer.train(streamed_words(data), vocab_size, max_token_length=cap).merges
    seconds = time.perf_counter() - start
    peak_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"seconds": seconds, "peak_rss_mb": peak_kb / 1024, "merges": len(merges)}))


def train_rows(vocab_size):
    rows = {}
    for mode in ("baseline", "list", "stream", "capped"):
        done = subprocess.run(
            [sys.executable, __file__, "--train-child", mode, str(vocab_size)],
            check=mode != "capped",
            capture_output=True,
            text=True,
        )
        if done.returncode == 0:
            rows[mode] = json.loads(done.stdout)
    return rows


def main():
    if sys.argv[1:2] == ["--train-child"]:
        train_child(sys.argv[2], int(sys.argv[3]))
        return
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    vocab_size = int(sys.argv[2]) if len(sys.argv) > 2 else 30000
    train = train_rows(vocab_size)
    data = corpus.corpus_bytes()
    words = corpus.words_of(data)
    merges = pairfuse.fit_concurrent_py(words, vocab_size)[1]
    tokenizer = Tokenizer(merges)
    tokens = pairfuse.encode_concurrent_py(words, merges)
    pieces = [data[k : k + PIECE] for k in range(0, len(data), PIECE)]

    out = {"interpreter": sys.implementation.name, "words": len(words), "words_bytes": len(data), "merges": len(merges)}
    out["encode_concurrent_py_s"] = median_seconds(runs, lambda: pairfuse.encode_concurrent_py(words, merges))
    out["encode_batch_s"] = median_seconds(runs, lambda: tokenizer.encode_batch(words))
    out["decode_concurrent_py_s"] = median_seconds(runs, lambda: pairfuse.decode_concurrent_py(tokens, merges))
    out["decode_batch_s"] = median_seconds(runs, lambda: tokenizer.decode_batch(tokens))
    out["encode_speedup"] = out["encode_concurrent_py_s"] / out["encode_batch_s"]
    out["decode_speedup"] = out["decode_concurrent_py_s"] / out["decode_batch_s"]
    one = threaded_seconds(runs, tokenizer, pieces, 1)
    two = threaded_seconds(runs, tokenizer, pieces, 2)
    out["pieces_4k"] = len(pieces)
    out["encode_4k_one_thread_s"] = one
    out["encode_4k_two_threads_s"] = two
    out["two_thread_speedup"] = one / two
    out["machine_two_thread_speedup"] = machine_parallelism(runs)
    out["train"] = train
    out["train_time_ratio"] = train["stream"]["seconds"] / train["list"]["seconds"]
    out["train_peak_rss_ratio"] = train["stream"]["peak_rss_mb"] / train["list"]["peak_rss_mb"]
    print(json.dumps(out))


if __name__ == "__main__":
    main()
