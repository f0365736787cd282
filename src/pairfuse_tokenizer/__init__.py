"""pairfuse in ML pipelines: a Tokenizer holding one prepared merge table.

Encoding and decoding take anything pairfuse takes (lists, bytes,
array.array, memoryview, NumPy integer arrays) and return typed arrays: a
one-dimensional int32 ``numpy.ndarray``, or an ``array.array('i')`` where
NumPy is not installed (as on PyPy). A batch comes back whole, as
``(values, offsets)`` (the Arrow list layout): sequence k is
``values[offsets[k]:offsets[k + 1]]``. The engine runs with the interpreter
lock released, so Python threads encode in parallel.
"""

import array
import itertools
import json
import logging
import os
import secrets
import sys
import time

from pairfuse_tokenizer import _native
from pairfuse_tokenizer._native import PanicException

try:
    import numpy
except ImportError:  # PyPy, or NumPy not installed: array.array results
    numpy = None

__all__ = ["Tokenizer", "PanicException"]

logger = logging.getLogger(__name__)

# How many sequences of a training stream are read and counted at a time.
TRAIN_CHUNK = 65536

_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1

assert array.array("i").itemsize == 4 and array.array("q").itemsize == 8


def _typed(raw, code):
    """`raw` as a one-dimensional array of array.array type code `code` ("i": int32, "q": int64), without a copy under NumPy."""
    if numpy is not None:
        return numpy.frombuffer(raw, dtype=numpy.dtype(code))
    values = array.array(code)
    values.frombytes(raw)
    return values


def _as_units(raw):
    return _typed(raw, "i")


def _as_offsets(raw):
    return _typed(raw, "q")


class Tokenizer:
    """One prepared merge table, immutable (and so safe to share between threads).

    ``Tokenizer(merges)`` takes a merge list as pairfuse returns it, a
    sequence of ``((left, right), id)``, checked with pairfuse's own rules
    and messages. Two tokenizers are equal when their merge lists are; a
    tokenizer pickles as its merge list.
    """

    __slots__ = ("_table", "_merges", "_hash")

    def __init__(self, merges):
        object.__setattr__(self, "_table", _native.prepare(merges))
        object.__setattr__(self, "_merges", None)
        object.__setattr__(self, "_hash", None)

    @classmethod
    def _of_table(cls, table):
        tokenizer = cls.__new__(cls)
        object.__setattr__(tokenizer, "_table", table)
        object.__setattr__(tokenizer, "_merges", None)
        object.__setattr__(tokenizer, "_hash", None)
        return tokenizer

    def __setattr__(self, name, value):
        raise AttributeError("Tokenizer is immutable")

    def __delattr__(self, name):
        raise AttributeError("Tokenizer is immutable")

    # ------------------------------------------------------------ the table

    def _merge_tuple(self):
        merges = self._merges
        if merges is None:
            merges = tuple(_native.merges(self._table))
            object.__setattr__(self, "_merges", merges)
        return merges

    @property
    def merges(self):
        """The merge list, ``[((left, right), id), ...]``, in learning order (a new list on each access).

        A pair given twice in the list the tokenizer was made from appears
        once, at its first place, with its last id (as pairfuse reads it).
        """
        return list(self._merge_tuple())

    @property
    def vocab_size(self):
        """One more than the largest number the table holds (an id or a pair member); 0 with no merges.

        Every token that encoding units of the table's range gives is below
        it: the size of an embedding indexed by token. Units above it pass
        through encoding unchanged and are not counted.
        """
        largest = -1
        for (left, right), token in self._merge_tuple():
            largest = max(largest, left, right, token)
        return largest + 1

    def __len__(self):
        """The number of merges."""
        return len(self._merge_tuple())

    def __eq__(self, other):
        if not isinstance(other, Tokenizer):
            return NotImplemented
        return self._table is other._table or self._merge_tuple() == other._merge_tuple()

    def __hash__(self):
        value = self._hash
        if value is None:
            value = hash(self._merge_tuple())
            object.__setattr__(self, "_hash", value)
        return value

    def __reduce__(self):
        return (type(self), (self.merges,))

    def __repr__(self):
        return f"<{type(self).__name__}: {len(self)} merges, vocab_size={self.vocab_size}>"

    # ------------------------------------------------------------ encode and decode

    def encode(self, units):
        """The tokens of one sequence (pairfuse.encode_py's), as an int32 array (array.array('i') without NumPy)."""
        return _as_units(_native.encode(self._table, units))

    def decode(self, tokens):
        """The units of one sequence of tokens (pairfuse.decode_py's), as an int32 array (array.array('i') without NumPy)."""
        return _as_units(_native.decode(self._table, tokens))

    def expand(self, token):
        """The units one token stands for (itself when it is no id of the table), as decode returns them."""
        return _as_units(_native.expand(self._table, token))

    def encode_batch(self, batch):
        """pairfuse.encode_concurrent_py's results as ``(values, offsets)``.

        ``values`` is int32 and ``offsets`` int64, ``len(batch) + 1`` of them:
        sequence k is ``values[offsets[k]:offsets[k + 1]]``. NumPy arrays, or
        array.array('i') and array.array('q') without NumPy.
        """
        values, offsets = _native.encode_batch(self._table, batch)
        return _as_units(values), _as_offsets(offsets)

    def decode_batch(self, batch):
        """pairfuse.decode_concurrent_py's results as ``(values, offsets)``, laid out as encode_batch's."""
        values, offsets = _native.decode_batch(self._table, batch)
        return _as_units(values), _as_offsets(offsets)

    # ------------------------------------------------------------ training

    @classmethod
    def train(cls, sequences, vocab_size, *, max_token_length=None, progress=False):
        """The tokenizer pairfuse.fit_concurrent_py(list(sequences), vocab_size) learns.

        ``sequences`` is any iterable of unit sequences, read once, in chunks;
        identical sequences are counted as they come, so memory is that of
        the distinct sequences, not of the stream. A bad item raises what
        fit_concurrent_py raises for it; a bad vocab_size the same
        PanicException. ``vocab_size`` is read before the stream is.
        ``progress=True`` shows the counting and the merging (tqdm when
        installed, else lines on standard error). Training records go to
        the logger "pairfuse_tokenizer". With ``max_token_length=k`` no
        token stands for more than k units: a pair whose token would is
        never merged, and training stops early when no other pair is left.
        """
        training = _native.start_training(vocab_size, max_token_length=max_token_length)
        bar = _Progress() if progress else None
        iterator = iter(sequences)
        seen = 0
        while True:
            chunk = list(itertools.islice(iterator, TRAIN_CHUNK))
            if not chunk:
                break
            distinct = _native.count(training, chunk)
            seen += len(chunk)
            if bar is not None:
                bar.counted(seen, distinct)
        if bar is not None:
            bar.counting_done()
        try:
            table = _native.train(training, bar.merged if bar is not None else None)
        finally:
            if bar is not None:
                bar.close()
        return cls._of_table(table)

    # ------------------------------------------------------------ merge files

    @classmethod
    def load(cls, path):
        """The tokenizer of a merge file of the command-line tool (a JSON list of [[left, right], id]).

        A malformed file raises ValueError "PATH:LINE:COLUMN: malformed merge
        file: ..." (or "PATH: malformed merge file: merge K: ..." for an entry
        of the wrong shape or range).
        """
        name = os.fspath(path)
        with open(name, "rb") as f:
            data = f.read()
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as error:
            raise ValueError(f"{name}: malformed merge file: not UTF-8 text ({error.reason})") from None
        try:
            entries = json.loads(text)
        except json.JSONDecodeError as error:
            raise ValueError(f"{name}:{error.lineno}:{error.colno}: malformed merge file: {error.msg}") from None
        return cls(_merge_list_of(entries, name))

    def save(self, path):
        """Writes the merge file that load() and the command-line tool read, atomically.

        The file is written under a temporary name in the same folder and
        then renamed over ``path``, so a reader never sees half a file.
        """
        name = os.fspath(path)
        text = _merge_file_text(self._merge_tuple())
        folder = os.path.dirname(os.path.abspath(name))
        temporary = os.path.join(folder, f".{os.path.basename(name)}.{secrets.token_hex(8)}.tmp")
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        try:
            with os.fdopen(descriptor, "w", encoding="ascii") as f:
                f.write(text)
                f.flush()
                os.fsync(f.fileno())
            os.replace(temporary, name)
        except BaseException:
            try:
                os.unlink(temporary)
            except FileNotFoundError:
                pass
            raise


def _merge_file_text(merges):
    if not merges:
        return "[]\n"
    lines = ",\n".join(f"  [[{left}, {right}], {token}]" for (left, right), token in merges)
    return "[\n" + lines + "\n]\n"


def _is_unit(value):
    return type(value) is int and _INT32_MIN <= value <= _INT32_MAX


def _merge_list_of(entries, name):
    """The merge list a merge file's JSON value holds, or ValueError naming the file and the entry."""

    def fail(what):
        raise ValueError(f"{name}: malformed merge file: {what}")

    if type(entries) is not list:
        fail(f"expected a list of merges [[left, right], id], found {type(entries).__name__}")
    merges = []
    for k, entry in enumerate(entries):
        if not (
            type(entry) is list
            and len(entry) == 2
            and type(entry[0]) is list
            and len(entry[0]) == 2
        ):
            fail(f"merge {k}: expected [[left, right], id], found {json.dumps(entry)[:60]}")
        (left, right), token = entry
        for value in (left, right, token):
            if type(value) is not int:
                fail(f"merge {k}: expected an integer, found {json.dumps(value)[:60]}")
            if not _is_unit(value):
                fail(f"merge {k}: {value} is outside the 32-bit range -2147483648..2147483647")
        merges.append(((left, right), token))
    return merges


class _Progress:
    """The progress of one training: a tqdm bar per phase, else a line on standard error at most every second."""

    def __init__(self):
        try:
            import tqdm
        except ImportError:
            tqdm = None
        self._tqdm = tqdm
        self._bar = None
        self._last_line = 0.0
        self._count_line = None
        if tqdm is not None:
            self._bar = tqdm.tqdm(desc="counting", unit=" sequences", unit_scale=True)

    def counted(self, seen, distinct):
        if self._bar is not None:
            self._bar.update(seen - self._bar.n)
            self._bar.set_postfix(distinct=distinct, refresh=False)
        else:
            self._count_line = f"pairfuse_tokenizer: counted {seen} sequences, {distinct} distinct"
            self._line(self._count_line)

    def counting_done(self):
        if self._bar is not None:
            self._bar.close()
            self._bar = None
        elif self._count_line is not None:
            self._line(self._count_line, force=True)

    def merged(self, step, planned):
        if self._tqdm is not None:
            if self._bar is None:
                self._bar = self._tqdm.tqdm(desc="merging", total=planned, unit=" merges", unit_scale=True)
            self._bar.update(step - self._bar.n)
        else:
            self._line(f"pairfuse_tokenizer: merged {step} of {planned}", force=step in (0, planned))

    def close(self):
        if self._bar is not None:
            self._bar.close()
            self._bar = None

    def _line(self, text, force=False):
        now = time.monotonic()
        if force or now - self._last_line >= 1.0:
            self._last_line = now
            print(text, file=sys.stderr, flush=True)
