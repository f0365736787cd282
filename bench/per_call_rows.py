"""Per-call benchmark rows, run by bench/run.py under CPython or PyPy: one
call per short input, the way a data loader or an inference server calls a
tokenizer, with pairfuse's merge table and, where it is installed, the
SentencePiece peer's model.

    per_call_rows.py CORPUS MERGES.json RUNS [SPM_MODEL]

Samples: 2,000 ASCII lines of the corpus, 20 to 120 bytes each (bytes for
pairfuse, text for SentencePiece), drawn with a fixed seed. Every figure is
the median over RUNS rounds of the mean microseconds per call in a round.
Prints one JSON object.
"""

import gc
import json
import random
import sys
import time

import pairfuse


def sample_lines(data, count=2000, seed=1):
    lines = [line for line in data.split(b"\n") if 20 <= len(line) <= 120 and line.isascii()]
    return random.Random(seed).sample(lines, count)


def per_call_us(runs, fn, items):
    """Median over rounds of the mean microseconds of fn(item)."""
    rounds = []
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        for item in items:
            fn(item)
        rounds.append((time.perf_counter() - start) / len(items) * 1e6)
    rounds.sort()
    return rounds[len(rounds) // 2]


def each_call_us(fn, arguments):
    """Median microseconds of single calls fn(argument), one per argument."""
    times = []
    for argument in arguments:
        start = time.perf_counter()
        fn(argument)
        times.append((time.perf_counter() - start) * 1e6)
    times.sort()
    return times[len(times) // 2]


def fresh_copy(merges):
    return [((left + 0, right + 0), token + 0) for (left, right), token in merges]


def iterate(merges):
    for (left, right), token in merges:
        pass


def pairfuse_rows(out, runs, lines, merges):
    tokens = [pairfuse.encode_py(line, merges) for line in lines]
    assert all(bytes(pairfuse.decode_py(t, merges)) == line for t, line in zip(tokens, lines))
    out["encode_us"] = per_call_us(runs, lambda line: pairfuse.encode_py(line, merges), lines)
    out["decode_us"] = per_call_us(runs, lambda t: pairfuse.decode_py(t, merges), tokens)
    out["decode_one_us"] = per_call_us(runs, lambda t: pairfuse.decode_py(t[:1], merges), tokens)
    first_1000 = merges[:1000]
    out["encode_first_1000_us"] = per_call_us(runs, lambda line: pairfuse.encode_py(line, first_1000), lines)
    starts = range(0, len(lines) - 63, 64)
    out["encode_64_us"] = per_call_us(runs, lambda k: pairfuse.encode_concurrent_py(lines[k:k + 64], merges), starts)
    out["decode_64_us"] = per_call_us(runs, lambda k: pairfuse.decode_concurrent_py(tokens[k:k + 64], merges), starts)
    # Cold calls: a table of new tuple objects, never seen before, every call.
    cold = 25
    out["iterate_us"] = each_call_us(iterate, [fresh_copy(merges) for _ in range(cold)])
    tables = [fresh_copy(merges) for _ in range(cold)]
    out["cold_encode_us"] = each_call_us(lambda k: pairfuse.encode_py(lines[k], tables[k]), range(cold))
    tables = [fresh_copy(merges) for _ in range(cold)]
    out["cold_decode_us"] = each_call_us(lambda k: pairfuse.decode_py(tokens[k], tables[k]), range(cold))


def sentencepiece_rows(out, runs, lines, model):
    try:
        import sentencepiece
    except ImportError:
        return
    processor = sentencepiece.SentencePieceProcessor(model_file=model)
    texts = [line.decode() for line in lines]
    # SentencePiece normalizes runs of spaces, so its round trip is not exact.
    ids = [processor.encode(text) for text in texts]
    out["peer_encode_us"] = per_call_us(runs, processor.encode, texts)
    out["peer_decode_us"] = per_call_us(runs, processor.decode, ids)
    out["peer_decode_one_us"] = per_call_us(runs, lambda i: processor.decode(i[:1]), ids)


def main():
    corpus, merges_path, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
    with open(corpus, "rb") as f:
        lines = sample_lines(f.read())
    with open(merges_path) as f:
        merges = [((left, right), token) for (left, right), token in json.load(f)]
    out = {"merges": len(merges)}
    pairfuse_rows(out, runs, lines, merges)
    if len(sys.argv) > 4:
        sentencepiece_rows(out, runs, lines, sys.argv[4])
    print(json.dumps(out))


if __name__ == "__main__":
    main()
