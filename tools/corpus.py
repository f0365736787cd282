"""The real-data corpus every machine has: the Python standard library sources."""

import os
import re

SPACES = frozenset(b" \t\n\r\x0b\x0c")


def corpus_files(root="/usr/lib/python3.11"):
    """The .py files below root, in byte order of their paths (as `sort` under the C locale)."""
    paths = []
    for folder, _, names in os.walk(root):
        paths.extend(os.path.join(folder, n) for n in names if n.endswith(".py"))
    return sorted(paths, key=os.fsencode)


def corpus_bytes(root="/usr/lib/python3.11"):
    chunks = []
    for path in corpus_files(root):
        with open(path, "rb") as f:
            chunks.append(f.read())
    return b"".join(chunks)


def words_of(data):
    """Maximal runs of non-space bytes, each followed by its whitespace."""
    words, start, i, n = [], 0, 0, len(data)
    while i < n:
        while i < n and data[i] not in SPACES:
            i += 1
        while i < n and data[i] in SPACES:
            i += 1
        words.append(data[start:i])
        start = i
    return words


# words_of as a regular expression: the same words, found in C.
_WORD = re.compile(rb"\S+\s*|\s+")
_WORD_START = re.compile(rb"\s\S")


def _word_start_from(data, position):
    """The first position at or after `position` where a word of words_of starts (or the end)."""
    if position <= 0:
        return 0
    found = _WORD_START.search(data, position - 1)
    return found.start() + 1 if found else len(data)


class Words(list):
    """A list of words as a cluster partition. distributed (2022.12) sends a
    plain list of byte strings between processes one item at a time (150,000
    frames and 2 s of serializing for a partition of this corpus); a list
    subclass is pickled whole. A bag made with dask.bag.from_delayed stores
    its partitions as plain lists whatever the loader returns: words_bag
    keeps them Words."""


def _load_words(part_numbers, parts, path, root):
    (part,) = part_numbers
    return words_part(part, parts, path, root)


def words_bag(parts, path=None, root="/usr/lib/python3.11", name="words"):
    """The words as a dask.bag.Bag of `parts` partitions, each loaded by the
    worker that computes it (see words_part) and kept as Words. Its keys
    start with `name`."""
    import dask.bag

    numbers = dask.bag.from_sequence(range(parts), npartitions=parts)
    return numbers.map_partitions(_load_words, parts, path, root, token=name)


def words_part(part, parts, path=None, root="/usr/lib/python3.11"):
    """The words of one of `parts` nearly equal byte ranges of the corpus (the
    file at `path`, else the sources below `root`), each cut where a word
    starts: the parts' words, in order, are words_of(the corpus). What a
    cluster worker loads for itself, so the corpus never passes through a client."""
    if path is None:
        data = corpus_bytes(root)
    else:
        with open(path, "rb") as f:
            data = f.read()
    begin = _word_start_from(data, len(data) * part // parts)
    end = _word_start_from(data, len(data) * (part + 1) // parts)
    return Words(_WORD.findall(data, begin, end))
