"""The real-data corpus every machine has: the Python standard library sources."""

import os

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
