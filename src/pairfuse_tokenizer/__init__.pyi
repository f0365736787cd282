"""Types of pairfuse_tokenizer. Results are typed arrays: one-dimensional
int32 (values) and int64 (offsets) numpy.ndarray, or array.array('i') and
array.array('q') where NumPy is not installed (as on PyPy)."""

import array
import os
from collections.abc import Callable, Iterable, Sequence
from typing import Any, Protocol, SupportsIndex, TypeAlias, Union


class _ArrayLike(Protocol):
    """A NumPy integer array, read through its buffer."""

    def __array__(self, *args: Any, **kwargs: Any) -> Any: ...

Units: TypeAlias = Union[Sequence[SupportsIndex], bytes, bytearray, memoryview, "array.array[int]", _ArrayLike]
Merge: TypeAlias = tuple[tuple[int, int], int]
# numpy.ndarray (int32 or int64, one-dimensional), else array.array.
IntArray: TypeAlias = Any

TRAIN_CHUNK: int

class PanicException(BaseException): ...

class Tokenizer:
    def __init__(self, merges: Sequence[tuple[tuple[SupportsIndex, SupportsIndex], SupportsIndex]]) -> None: ...
    @property
    def merges(self) -> list[Merge]:
        """The merge list in learning order; a new list on each access."""
    @property
    def vocab_size(self) -> int:
        """One more than the largest number the table holds (an id or a pair member); 0 with no merges."""
    def __len__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def encode(self, units: Units) -> IntArray:
        """int32 tokens (numpy.ndarray, or array.array('i') without NumPy)."""
    def decode(self, tokens: Units) -> IntArray:
        """int32 units (numpy.ndarray, or array.array('i') without NumPy)."""
    def expand(self, token: SupportsIndex) -> IntArray:
        """The units of one token, as decode returns them."""
    def encode_batch(self, batch: Iterable[Units]) -> tuple[IntArray, IntArray]:
        """(int32 values, int64 offsets); sequence k is values[offsets[k]:offsets[k + 1]]."""
    def decode_batch(self, batch: Iterable[Units]) -> tuple[IntArray, IntArray]:
        """(int32 values, int64 offsets), laid out as encode_batch's."""
    @classmethod
    def train(
        cls,
        sequences: Iterable[Units],
        vocab_size: SupportsIndex,
        *,
        max_token_length: SupportsIndex | None = None,
        progress: bool = False,
    ) -> "Tokenizer": ...
    @classmethod
    def load(cls, path: Union[str, os.PathLike[str]]) -> "Tokenizer": ...
    def save(self, path: Union[str, os.PathLike[str]]) -> None: ...
