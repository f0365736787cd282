"""Integer arrays (array.array, memoryview, NumPy) read through their buffers
end every call exactly as the same values given as a plain list do."""
import array
import ctypes

import pytest

import pairfuse
from pairfuse_testing import Index

MIN_UNIT = -(2**31)
MAX_UNIT = 2**31 - 1
VALUES = [1, 2, 1, 2, 3, 1, 2, 0, 100, 2, 3, 127]
MERGES = [((1, 2), 300), ((300, 3), 301), ((2, 3), 302)]


class MyList(list):
    pass


class MyArray(array.array):
    pass


def numpy(build):
    """A case made with NumPy, which PyPy lacks."""
    return lambda: build(pytest.importorskip("numpy"))


def ndarray_subclass(np):
    class MyNdarray(np.ndarray):
        pass

    return np.array(VALUES, dtype=np.int32).view(MyNdarray)


INT_DTYPES = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"]

# (id, input maker, whether the plain form is [int(x) for x in seq] rather than list(seq))
CASES = [
    ("list", lambda: list(VALUES), True),
    ("tuple", lambda: tuple(VALUES), True),
    ("bytes", lambda: bytes(VALUES), True),
    ("bytearray", lambda: bytearray(VALUES), True),
    ("range", lambda: range(-3, 20), True),
    *[(f"array {code}", lambda code=code: array.array(code, VALUES), True) for code in "bBhHiIlLqQ"],
    ("array empty", lambda: array.array("i"), True),
    ("array negative", lambda: array.array("b", [-128, -1, 0, -1, 0]), True),
    ("array at the limits", lambda: array.array("i", [MIN_UNIT, MAX_UNIT, MIN_UNIT, MAX_UNIT]), True),
    ("array above", lambda: array.array("q", VALUES + [MAX_UNIT + 1]), True),
    ("array below", lambda: array.array("l", [MIN_UNIT - 1] + VALUES), True),
    ("array unsigned above", lambda: array.array("I", VALUES + [2**32 - 1]), True),
    ("array beyond 63 bits", lambda: array.array("Q", VALUES + [2**63 + 5]), True),
    ("array of floats", lambda: array.array("d", VALUES), False),
    ("array subclass", lambda: MyArray("i", VALUES), True),
    ("memoryview", lambda: memoryview(array.array("h", VALUES)), True),
    ("memoryview strided", lambda: memoryview(array.array("i", VALUES))[::2], True),
    ("memoryview reversed", lambda: memoryview(array.array("q", VALUES))[::-3], True),
    ("memoryview cast", lambda: memoryview(array.array("i", VALUES).tobytes()).cast("i"), True),
    ("memoryview of bools", lambda: memoryview(bytes([1, 0, 1])).cast("?"), False),
    ("memoryview above", lambda: memoryview(array.array("L", [2**40] + VALUES)), True),
    ("memoryview 2-D", lambda: memoryview(bytes(VALUES)).cast("B", (3, 4)), True),
    # Iteration reads only native items; ctypes states the byte order.
    ("memoryview little-endian", lambda: memoryview((ctypes.c_int32 * 3)(1, 2, 3)), True),
    ("list subclass", lambda: MyList(VALUES), True),
    ("index objects", lambda: [Index(v) for v in VALUES], True),
    *[(f"ndarray {dtype}", numpy(lambda np, dtype=dtype: np.array(VALUES, dtype=dtype)), True) for dtype in INT_DTYPES],
    ("ndarray strided", numpy(lambda np: np.array(VALUES * 2, dtype=np.int16)[::3]), True),
    ("ndarray reversed", numpy(lambda np: np.array(VALUES, dtype=np.int64)[::-1]), True),
    ("ndarray big-endian", numpy(lambda np: np.array(VALUES, dtype=">i4")), True),
    ("ndarray big-endian strided", numpy(lambda np: np.array([MIN_UNIT, 7, MAX_UNIT], dtype=">i8")[::2]), True),
    ("ndarray little-endian", numpy(lambda np: np.array(VALUES, dtype="<u2")), True),
    ("ndarray at the limits", numpy(lambda np: np.array([MIN_UNIT, MAX_UNIT] * 2, dtype=np.int64)), True),
    ("ndarray above", numpy(lambda np: np.array(VALUES + [MAX_UNIT + 1], dtype=np.int64)), True),
    ("ndarray below", numpy(lambda np: np.array([MIN_UNIT - 1], dtype=">i8")), True),
    ("ndarray beyond 63 bits", numpy(lambda np: np.array([2**63 + 1], dtype=np.uint64)), True),
    ("ndarray of bools", numpy(lambda np: np.array([True, False, True])), False),
    ("ndarray of floats", numpy(lambda np: np.array(VALUES, dtype=np.float64)), False),
    ("ndarray of objects", numpy(lambda np: np.array(VALUES, dtype=object)), True),
    ("ndarray 2-D", numpy(lambda np: np.array(VALUES, dtype=np.int32).reshape(3, 4)), False),
    ("ndarray subclass", numpy(ndarray_subclass), True),
]

CALLS = {
    "fit_py": lambda units: pairfuse.fit_py(units, 20),
    "encode_py": lambda units: pairfuse.encode_py(units, MERGES),
    "decode_py": lambda units: pairfuse.decode_py(units, MERGES),
    "fit_concurrent_py": lambda units: pairfuse.fit_concurrent_py([units, [1, 2, 1]], 20),
    "encode_concurrent_py": lambda units: pairfuse.encode_concurrent_py([[1, 2], units], MERGES),
    "decode_concurrent_py": lambda units: pairfuse.decode_concurrent_py([units, units], MERGES),
}


def outcome(call):
    try:
        return ("returned", call())
    except BaseException as error:  # noqa: B902 - PanicException derives from BaseException
        return ("raised", type(error), error.args)


@pytest.mark.filterwarnings("ignore:In future, it will be an error for 'np.bool_':DeprecationWarning")
@pytest.mark.parametrize("make, as_ints", [case[1:] for case in CASES], ids=[case[0] for case in CASES])
def test_input_kinds_end_like_a_plain_list(make, as_ints):
    try:
        plain = [int(x) for x in make()] if as_ints else list(make())
    except Exception as error:  # noqa: B902 - iterating fails: the call must fail the same way
        expected = {name: ("raised", type(error), error.args) for name in CALLS}
    else:
        expected = {name: outcome(lambda: call(plain)) for name, call in CALLS.items()}
    for name, call in CALLS.items():
        assert outcome(lambda: call(make())) == expected[name], name


# On PyPy a batch or a merge list of exact built-in types crosses in bulk; the
# same values in a list subclass go item by item. Both must end every call
# alike, however deep in the batch a value the bulk reader rejects sits.
class MyBytes(bytes):
    pass


class MyTuple(tuple):
    pass


class OnceIndex(Index):
    """An integer-like object that must be read at most once."""

    def __index__(self):
        assert not getattr(self, "read", False), "__index__ called twice"
        self.read = True
        return self.value


def deep(bad):
    """A batch of 40 good sequences and one with `bad` near its end."""
    return lambda: [list(VALUES)] * 40 + [VALUES + [bad, 1]]


def late(bad):
    """A merge list of 43 good entries and then `bad`."""
    return lambda: MERGES + [((i, i + 1), 400 + i) for i in range(40)] + [bad]


BATCHES = [
    ("bytes", lambda: [bytes(VALUES), b"", bytes(range(256)), b"\x01\x02"]),
    ("lists", lambda: [list(VALUES), [], [MIN_UNIT, MAX_UNIT, 0], list(range(100))]),
    ("tuple of tuples", lambda: (tuple(VALUES), (), (1, 2))),
    ("mixed", lambda: [bytes(VALUES), list(VALUES), tuple(VALUES), bytearray(VALUES), array.array("i", VALUES),
                       array.array("h", VALUES), range(5), memoryview(bytes(VALUES)), b""]),
    ("empty", lambda: []),
    ("empty sequences", lambda: [[], b"", (), bytearray(), array.array("i")]),
    ("bytes then a list", lambda: [b"\x01\x02"] * 40 + [[1, 2]]),
    ("bytes then a str", lambda: [b"\x01\x02"] * 40 + ["ab"]),
    ("bytes then a bytes subclass", lambda: [b"\x01\x02"] * 40 + [MyBytes(b"\x01\x02")]),
    ("index object deep inside", deep(Index(3))),
    ("index object, then a value above", lambda: [list(VALUES)] * 40 + [VALUES + [OnceIndex(3), MAX_UNIT + 1]]),
    ("bool deep inside", deep(True)),
    ("above deep inside", deep(MAX_UNIT + 1)),
    ("beyond 64 bits deep inside", deep(2**70)),
    ("float deep inside", deep(1.5)),
    ("array above deep inside", lambda: [list(VALUES)] * 40 + [array.array("q", [MAX_UNIT + 1])]),
]

MERGE_LISTS = [
    ("many", late(((7, 8), 450))),
    ("tuple", lambda: tuple(MERGES)),
    ("empty", lambda: []),
    ("pair given twice", late(((1, 2), 305))),
    ("limits", lambda: [((MIN_UNIT, MAX_UNIT), MAX_UNIT), ((1, 2), MIN_UNIT)]),
    ("entry a list", late([(1, 2), 3])),
    ("entry too long", late(((1, 2), 3, 4))),
    ("entry a tuple subclass", late(MyTuple(((1, 2), 3)))),
    ("pair a list", late(([1, 2], 3))),
    ("pair too long", late(((1, 2, 3), 4))),
    ("left a float", late(((1.5, 2), 3))),
    ("id an index object, then an entry too long", lambda: late(((1, 2), OnceIndex(3)))() + [((1, 2), 3, 4)]),
    ("id a float", late(((1, 2), 3.0))),
    ("id above", late(((1, 2), MAX_UNIT + 1))),
    ("right beyond 64 bits", late(((1, 2**70), 3))),
]

BATCH_CALLS = {
    "fit_concurrent_py": lambda batch: pairfuse.fit_concurrent_py(batch, 300),
    "encode_concurrent_py": lambda batch: pairfuse.encode_concurrent_py(batch, MERGES),
    "decode_concurrent_py": lambda batch: pairfuse.decode_concurrent_py(batch, MERGES),
}
MERGE_CALLS = {
    "encode_py": lambda merges: pairfuse.encode_py(VALUES, merges),
    "decode_py": lambda merges: pairfuse.decode_py(VALUES, merges),
    "encode_concurrent_py": lambda merges: pairfuse.encode_concurrent_py([VALUES, b"\x01\x02\x03"], merges),
    "decode_concurrent_py": lambda merges: pairfuse.decode_concurrent_py([VALUES, [300, 301]], merges),
}


@pytest.mark.parametrize(
    "calls, make",
    [(BATCH_CALLS, make) for _, make in BATCHES] + [(MERGE_CALLS, make) for _, make in MERGE_LISTS],
    ids=[f"batch {name}" for name, _ in BATCHES] + [f"merges {name}" for name, _ in MERGE_LISTS],
)
def test_batches_and_merge_lists_end_like_item_by_item(calls, make):
    for name, call in calls.items():
        assert outcome(lambda: call(make())) == outcome(lambda: call(MyList(make()))), name
