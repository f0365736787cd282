"""pairfuse on a Dask cluster: train, encode and decode a dask.bag.Bag of unit sequences.

Training counts each partition's distinct sequences on its worker, sums the
tables in a tree reduction and trains once on the sum, weighted
(``fit_weighted``); the corpus stays on the workers and only the merge list
reaches the client. Results equal pairfuse's on all the bag's items in bag
order, whatever the partitioning, and bad items raise pairfuse's own errors.
"""

import array
import collections
import logging
import operator
import sys

import dask
import dask.bag
from dask.base import tokenize

import pairfuse
from pairfuse_dask._engine import PanicException, decode_concurrent, encode_concurrent, fit_weighted

__all__ = ["fit", "fit_encode", "encode", "decode", "fit_weighted", "PanicException", "WorkerPanicException"]

logger = logging.getLogger(__name__)

# The distinct-sequence tables key a sequence of units 0..255 by the byte
# string of those units, and any other by its units as 32-bit little-endian
# bytes. Both are hashable and compact (a tuple of ints costs ten times the
# memory), b"ab" and [97, 98] get the same key, as pairfuse trains on them
# alike, and byte-string keys go back to pairfuse as they are.
_UNIT_CODE = "i"
assert array.array(_UNIT_CODE).itemsize == 4
_SWAP = sys.byteorder != "little"


def _wide_key(units):
    """`units`: a list of ints (array.array would read a byte string as raw memory)."""
    packed = array.array(_UNIT_CODE, units)
    if _SWAP:
        packed.byteswap()
    return packed.tobytes()


def _wide_units(key):
    units = array.array(_UNIT_CODE)
    units.frombytes(key)
    if _SWAP:
        units.byteswap()
    return units


class _Table:
    """Occurrences of distinct sequences, {key: count}: `narrow` for sequences of units 0..255, `wide` for the others.

    Not a plain dict because distributed sends those entry by entry, which
    made moving the tables between workers fifty times slower than pickling
    them whole.
    """

    def __init__(self, narrow, wide):
        self.narrow = narrow
        self.wide = wide

    def __sizeof__(self):  # what Dask counts as the table's memory
        return sum(sys.getsizeof(d) + 80 * len(d) for d in (self.narrow, self.wide))


# A PanicException raised in a worker process travels to the client pickled,
# and pickle knows its type only by a name (pyo3_runtime.PanicException) that
# no module provides: it would arrive as a look-alike class. Rebuilt through
# this module instead, it arrives as the one type both modules raise.
def _rebuild_panic(args):
    return PanicException(*args)


def _reduce_panic(error):
    return _rebuild_panic, (error.args,), error.__dict__ or None


PanicException.__reduce__ = _reduce_panic


class WorkerPanicException(PanicException, Exception):
    """A PanicException raised by a task on a distributed worker, as the client gets it.

    The distributed client waits forever on a task error that is no
    Exception, so on its way there a PanicException takes this type, which is
    both. fit() and fit_encode() raise PanicException itself again; a Bag from
    encode() or decode() computed by the caller raises this one.
    """

    __reduce__ = BaseException.__reduce__


def _on_distributed_worker():
    try:
        from distributed import get_worker

        get_worker()
    except (ImportError, ValueError):
        return False
    return True


def _task(function, *args, **keywords):
    """Runs a task's function; a PanicException leaves a distributed worker as a WorkerPanicException."""
    try:
        return function(*args, **keywords)
    except PanicException as error:
        if isinstance(error, Exception) or not _on_distributed_worker():
            raise
        raise WorkerPanicException(*error.args).with_traceback(error.__traceback__) from None


# ---------------------------------------------------------------- tasks


def _as_list(partition):
    return partition if type(partition) is list else list(partition)


class _WholeList(list):
    """A list that Dask moves whole: a partition of results, or a merge list.

    Distributed serializes an exact list item by item, a header per item:
    moving 150,000 encoded words to another worker took 5 s, against 0.1 s
    for pickling them at once, which it does for any other type; a merge
    list of 30,000 entries took 0.7 s to reach the client, now 0.02 s.
    """

    __slots__ = ()


def _count_partition(partition):
    return _task(_count_items, partition)


def _count_items(partition):
    items = _as_list(partition)
    # Byte strings are their own keys and never fail to convert. Every other
    # item goes through pairfuse's own conversion, so a bad one fails exactly
    # as in fit_concurrent_py (and it is the first bad item there too).
    byte_strings = [item for item in items if type(item) is bytes]
    narrow = dict(collections.Counter(byte_strings))
    wide = {}
    if len(byte_strings) < len(items):
        others = [item for item in items if type(item) is not bytes]
        for units in pairfuse.decode_concurrent_py(others, []):
            try:
                key, table = bytes(units), narrow
            except ValueError:
                key, table = _wide_key(units), wide
            table[key] = table.get(key, 0) + 1
    return _Table(narrow, wide)


def _add_tables(tables):
    """The sum of tables; the inputs stay as they are (Dask may hold them)."""
    tables = list(tables)
    return _Table(_add_counts([t.narrow for t in tables]), _add_counts([t.wide for t in tables]))


def _add_counts(counts):
    counts = sorted(counts, key=len, reverse=True)
    if not counts:
        return {}
    total = dict(counts[0])
    for more in counts[1:]:
        for key, n in more.items():
            total[key] = total.get(key, 0) + n
    return total


def _train(table, target_vocab_size, max_token_length=None):
    logger.info("training on %d distinct sequences", len(table.narrow) + len(table.wide))
    sequences = list(table.narrow) + [_wide_units(key) for key in table.wide]
    counts = list(table.narrow.values()) + list(table.wide.values())
    return _WholeList(_task(fit_weighted, sequences, counts, target_vocab_size, max_token_length=max_token_length))


def _apply(partition, function, shipped):
    return _WholeList(_task(function, _as_list(partition), shipped.entries()))


# ---------------------------------------------------------------- checks on the client


def _check_bag(bag, caller):
    if not isinstance(bag, dask.bag.Bag):
        raise TypeError(f"{caller}() expects a dask.bag.Bag of unit sequences, got {type(bag).__qualname__!r}")


def _checked_size(target_vocab_size):
    """The size as an int; a bad one raises pairfuse's own error before the cluster does any work."""
    try:
        size = operator.index(target_vocab_size)
    except TypeError:
        size = -1
    if not 0 <= size < 2**64:
        pairfuse.fit_concurrent_py([], target_vocab_size)  # raises the conversion error
    return size


def _checked_max_token_length(max_token_length):
    """None or an int of at least 1; one at or past 2**64 caps nothing, as None."""
    if max_token_length is None:
        return None
    try:
        length = operator.index(max_token_length)
    except TypeError:
        raise TypeError(
            f"max_token_length must be None or an int, got {type(max_token_length).__qualname__!r}"
        ) from None
    if length < 1:
        raise ValueError("max_token_length must be at least 1")
    return min(length, 2**64 - 1)


def _checked_split_every(split_every):
    # Dask's reduction never ends with groups of one.
    if split_every is None or (type(split_every) is int and split_every >= 2):
        return split_every
    raise ValueError(f"split_every must be None or an int of at least 2, got {split_every!r}")


class _ShippedMerges:
    """A merge list on its way to the workers: its numbers in one buffer.

    Distributed sends a list item by item, which took longer than encoding
    with it; each process turns the buffer back into pairfuse's list once.
    Entries keep their order, so repeated pairs and ids mean what they did.
    """

    def __init__(self, packed):
        self.packed = packed
        self._entries = None

    @classmethod
    def of(cls, merges):
        flat = array.array(_UNIT_CODE)
        for (left, right), new_id in merges:
            flat.extend((left, right, new_id))
        if _SWAP:
            flat.byteswap()
        return cls(flat.tobytes())

    def __reduce__(self):
        return _ShippedMerges, (self.packed,)

    def __dask_tokenize__(self):
        return self.packed

    def entries(self):
        if self._entries is None:
            flat = _wide_units(self.packed)
            self._entries = list(zip(zip(flat[0::3], flat[1::3]), flat[2::3]))
        return self._entries


def _shipped(merges):
    """The merge table as one object in the graph, sent to each worker once.

    With a distributed client it is scattered to every worker; otherwise it
    is a single key that the tasks depend on, rather than a copy in each task.
    Each call scatters under a key of its own: under a key named by the
    table's contents, a second call could scatter while the scheduler was
    still forgetting the first call's copy, and its tasks were cancelled.
    """
    shipped = _ShippedMerges.of(merges)
    try:
        from distributed import default_client

        client = default_client()
    except (ImportError, ValueError):
        return dask.delayed(shipped, name="pairfuse-merges-" + tokenize(shipped), traverse=False)
    return client.scatter(shipped, broadcast=True, hash=False)


def _map(bag, merges, check, function, caller):
    _check_bag(bag, caller)
    check([], merges)  # pairfuse's own checks of the table, before any work
    token = f"pairfuse-{caller}"
    return bag.map_partitions(_apply, function, _shipped(merges), token=token)


# ---------------------------------------------------------------- the interface


def fit(bag, target_vocab_size, *, max_token_length=None, split_every=None, compute=True):
    """The merge list pairfuse.fit_concurrent_py(all items, target_vocab_size) learns.

    With `max_token_length=k`, no pair is merged whose token would stand for
    more than k units; training stops early when no other pair is left.
    `split_every` is the fan-in of the reduction of the partitions' tables
    (Dask's default, 8, when None). With compute=False, returns a
    dask.delayed.Delayed of the merge list (a list subclass, which Dask moves
    whole), to compute later (for example with Client.compute, whose future
    distributed.progress can show).
    """
    _check_bag(bag, "fit")
    size = _checked_size(target_vocab_size)
    length = _checked_max_token_length(max_token_length)
    counts = bag.reduction(
        _count_partition, _add_tables, split_every=_checked_split_every(split_every), name="pairfuse-count"
    )
    merges = dask.delayed(_train, pure=True)(
        counts, size, length, dask_key_name="pairfuse-train-" + tokenize(counts, size, length)
    )
    if not compute:
        return merges
    try:
        return list(merges.compute())
    except WorkerPanicException as error:
        raise PanicException(*error.args).with_traceback(error.__traceback__) from None


def encode(bag, merges):
    """A Bag of pairfuse.encode_concurrent_py(items, merges), item for item in bag order."""
    # The tasks run pairfuse's encoding without holding the interpreter lock,
    # so that the worker keeps serving data to other workers meanwhile.
    return _map(bag, merges, pairfuse.encode_concurrent_py, encode_concurrent, "encode")


def decode(bag, merges):
    """A Bag of pairfuse.decode_concurrent_py(items, merges), item for item in bag order."""
    return _map(bag, merges, pairfuse.decode_concurrent_py, decode_concurrent, "decode")


def fit_encode(bag, target_vocab_size, *, max_token_length=None, split_every=None):
    """(encoded Bag, merges): what pairfuse.fit_concurrent_py returns, the sequences as a lazy Bag."""
    merges = fit(bag, target_vocab_size, max_token_length=max_token_length, split_every=split_every)
    return encode(bag, merges), merges
