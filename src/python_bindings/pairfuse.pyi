"""Byte-pair-style merge learning over sequences of signed 32-bit integers.

Units and token ids share one number space: every item must fit in a signed
32-bit integer. A merge list holds ((left, right), id) entries; the one that
training returns is accepted unchanged by encoding and decoding.

Invalid input that the engine meets (no units to train on, a target size not
above the number of distinct units, no 32-bit id left, a cyclic merge table
reached while decoding) raises ``pyo3_runtime.PanicException``, a subclass of
``BaseException`` (not of ``Exception``) that the module does not export.
"""

from typing import Sequence, SupportsIndex

__all__ = [
    "fit_py",
    "fit_concurrent_py",
    "encode_py",
    "encode_concurrent_py",
    "decode_py",
    "decode_concurrent_py",
]

# Arguments: any sequence other than str (list, tuple, range, bytes, ...) of
# ints or objects with __index__.
_Units = Sequence[SupportsIndex]
_MergeEntry = tuple[tuple[SupportsIndex, SupportsIndex], SupportsIndex]
_Merges = Sequence[_MergeEntry]

# Results: new lists and tuples of plain ints.
_MergeList = list[tuple[tuple[int, int], int]]

def fit_py(units: _Units, target_vocab_size: SupportsIndex) -> tuple[list[int], _MergeList]:
    """Learn merges over one sequence.

    Repeatedly replaces the most frequent adjacent pair (the smallest pair
    among equally frequent ones) by a new id, one above the previous id and
    starting right above the largest unit, until the number of distinct units
    plus merges reaches ``target_vocab_size`` or no pair is left.

    Returns the rewritten sequence and the merge list in learning order.
    Raises PanicException for an empty ``units`` or a ``target_vocab_size``
    not greater than the number of distinct units.
    """

def fit_concurrent_py(
    units_list: Sequence[_Units], target_vocab_size: SupportsIndex
) -> tuple[list[list[int]], _MergeList]:
    """Learn one set of merges over many sequences, on the worker pool.

    Like ``fit_py``, with pairs counted inside each sequence and summed over
    all of them; no pair spans two sequences. Returns the rewritten sequences
    in input order and the merge list; ``fit_concurrent_py([s], n)`` equals
    ``fit_py(s, n)`` with the sequence wrapped in a list.
    """

def encode_py(units: _Units, merges: _Merges) -> list[int]:
    """Rewrite a sequence with a merge list.

    Applies the merge of lowest id present in the sequence, at all its
    occurrences, until no pair of the sequence is in the merge list. A pair
    listed twice keeps its last id.
    """

def encode_concurrent_py(units_list: Sequence[_Units], merges: _Merges) -> list[list[int]]:
    """``encode_py`` for each sequence, on the worker pool, results in input order."""

def decode_py(units: _Units, merges: _Merges) -> list[int]:
    """Expand every token id of the merge list into the units it stands for.

    Units that are not ids of the list stay as they are. When an id is listed
    twice, the entry that comes last counts. Raises PanicException when a
    token's expansion runs into a cycle of the merge list.
    """

def decode_concurrent_py(units_list: Sequence[_Units], merges: _Merges) -> list[list[int]]:
    """``decode_py`` for each sequence, on the worker pool, results in input order."""
