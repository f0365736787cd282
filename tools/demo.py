"""Train, encode and decode the Python standard library sources with pairfuse.

Runs on CPython and PyPy. Prints sizes and timings, and fails loudly when a
round trip does not give the input back.
"""

import argparse
import os
import platform
import sys
import time

import pairfuse
from corpus import corpus_bytes, corpus_files, words_of


def timed(label, fn, *args):
    start = time.perf_counter()
    result = fn(*args)
    print(f"  {label:<37} {time.perf_counter() - start:8.2f} s")
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", default="/usr/lib/python3.11")
    parser.add_argument("--merges", type=int, default=500)
    args = parser.parse_args()

    files = corpus_files(args.root)
    data = corpus_bytes(args.root)
    vocab = len(set(data))
    target = vocab + args.merges
    print(f"pairfuse demo on {platform.python_implementation()} {platform.python_version()}")
    print(f"  corpus: {len(files)} files, {len(data):,} bytes, {vocab} distinct byte values")

    print("one sequence:")
    tokens, merges = timed(f"fit_py ({args.merges} merges)", pairfuse.fit_py, data, target)
    encoded = timed("encode_py", pairfuse.encode_py, data, merges)
    decoded = timed("decode_py", pairfuse.decode_py, encoded, merges)
    assert encoded == tokens, "encoding the training input must give the trained sequence"
    assert bytes(decoded) == data, "decoding must give the input back"
    print(f"  {len(data):,} units -> {len(tokens):,} tokens "
          f"({len(data) / len(tokens):.2f} units per token), round trip ok")

    words = words_of(data)
    print(f"words ({len(words):,} of them):")
    word_tokens, word_merges = timed(f"fit_concurrent_py ({args.merges} merges)",
                                     pairfuse.fit_concurrent_py, words, target)
    encoded_words = timed("encode_concurrent_py", pairfuse.encode_concurrent_py, words, word_merges)
    decoded_words = timed("decode_concurrent_py", pairfuse.decode_concurrent_py, encoded_words, word_merges)
    assert encoded_words == word_tokens, "encoding the words must give the trained words"
    assert all(bytes(d) == w for d, w in zip(decoded_words, words)) and len(decoded_words) == len(words)
    total = sum(len(t) for t in word_tokens)
    print(f"  {len(data):,} units -> {total:,} tokens "
          f"({len(data) / total:.2f} units per token), round trip ok")
    print("  first merges:", ", ".join(f"{l}+{r}->{i}" for (l, r), i in word_merges[:5]))
    show_tokenizer(words, target, word_merges, encoded_words)
    return 0


def show_tokenizer(words, target, word_merges, encoded_words):
    from pairfuse_tokenizer import Tokenizer

    print("pairfuse_tokenizer on the words:")
    tokenizer = timed("Tokenizer.train (a generator)", Tokenizer.train, (w for w in words), target)
    assert tokenizer.merges == word_merges, "training from a stream must learn what fit_concurrent_py learns"
    values, offsets = timed("encode_batch (to a flat array)", tokenizer.encode_batch, words)
    assert list(values) == [t for tokens in encoded_words for t in tokens] and len(offsets) == len(words) + 1
    units, _ = timed("decode_batch", tokenizer.decode_batch, encoded_words)
    assert bytes(units.tolist() if hasattr(units, "tolist") else units) == b"".join(words)
    capped = timed("Tokenizer.train (max_token_length=4)",
                   lambda: Tokenizer.train(iter(words), target, max_token_length=4))
    longest = max(len(capped.expand(token)) for _, token in capped.merges)
    print(f"  {tokenizer!r}: {type(values).__module__}.{type(values).__name__} of {len(values):,} tokens, "
          f"round trip ok; capped at 4 units, the longest token has {longest}")


if __name__ == "__main__":
    sys.exit(main())
