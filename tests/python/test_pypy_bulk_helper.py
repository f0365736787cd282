"""The Python that PyPy's bulk path runs, imported from its source file: plain Python, so CPython runs it alike."""
import array
import importlib.util
import pathlib

import pytest

SOURCE = pathlib.Path(__file__).resolve().parents[2] / "src" / "python_bindings" / "pypy_bulk_helper.py"
module_spec = importlib.util.spec_from_file_location("pypy_bulk_helper", SOURCE)
helper = importlib.util.module_from_spec(module_spec)
module_spec.loader.exec_module(helper)


def ints(typecode, values):
    return array.array(typecode, values)


class IntSubclass(int):
    pass


@pytest.mark.parametrize(
    "seq, expected",
    [
        ([], ints("i", [])),
        ((1, -2, 2**31 - 1, -2**31), ints("i", [1, -2, 2**31 - 1, -2**31])),
        ([1, True], None),  # only exact ints: a bool or a subclass goes the ordinary way
        ([IntSubclass(1)], None),
        ([2**31], None),
        ([1, 2.0], None),
    ],
)
def test_units_as_array(seq, expected):
    assert helper.units_as_array(seq) == expected


@pytest.mark.parametrize(
    "batch, expected",
    [
        ([b"ab", b"", b"c"], (b"abc", ints("q", [0, 2, 2, 3]), 1)),
        ([[1, 2], (3,), b"a", bytearray(b"b"), ints("i", [-5])],
         (ints("i", [1, 2, 3, 97, 98, -5]), ints("q", [0, 2, 3, 4, 5, 6]), 4)),
        ([b"a", [7]], (ints("i", [97, 7]), ints("q", [0, 1, 2]), 4)),
        ([[1, True]], None),
        (["ab"], None),
        ([ints("q", [1])], None),
        ([[2**31]], None),
    ],
)
def test_batch_as_buffers(batch, expected):
    assert helper.batch_as_buffers(batch) == expected


@pytest.mark.parametrize(
    "merges, expected",
    [
        ([], ints("i", [])),
        ([((1, 2), 3), ((3, -1), 4)], ints("i", [1, 2, 3, 3, -1, 4])),
        ([((1, 2), 3, 4)], None),
        ([[(1, 2), 3]], None),
        ([((1, 2, 0), 3)], None),
        ([((1, True), 3)], None),
        ([((1, 2), 2**31)], None),
    ],
)
def test_merges_as_array(merges, expected):
    assert helper.merges_as_array(merges) == expected


@pytest.mark.parametrize("n", [1, 4, 5, 9])
def test_held_position_finds_the_list_of_the_same_entry_objects(n):
    entries = [((k, k + 1), 100 + k) for k in range(n)]
    equal_copies = [((k, k + 1), 100 + k) for k in range(n)]
    assert helper.held_position(entries, []) == -1
    assert helper.held_position(entries, [entries[:-1], list(entries)]) == 1
    # Equal entries are not the same objects, at whatever position they differ.
    for k in range(n):
        held = list(entries)
        held[k] = equal_copies[k]
        assert helper.held_position(entries, [held]) == -1


@pytest.mark.parametrize("narrow", [True, False])
@pytest.mark.parametrize("ids", [None, [~0, ~1, 0, 1, 1]])
def test_lists_split_the_distinct_sequences_for_each_position(narrow, ids):
    distinct = [[1, 2, 3], [], [4, 5, 6, 7, 255]] if narrow else [[1, 2, 3], [], [4, -5, 6, 7, 2**20]]
    units = [u for s in distinct for u in s]
    offsets = ints("q", [0, 3, 3, 8])
    if narrow:
        lists = helper.lists_from_bytes(bytes(units), offsets, ids)
    else:
        lists = helper.lists_from_units(ints("i", units).tobytes(), offsets, ids)
    positions = range(3) if ids is None else [~i if i < 0 else i for i in ids]
    assert lists == [distinct[d] for d in positions]
    if ids is not None:  # each position owns its list
        assert len({id(item) for item in lists}) == len(lists)


def test_single_lists_and_merges_from_buffers():
    assert helper.list_from_bytes(b"\x00\x7f\xff") == [0, 127, 255]
    assert helper.list_from_units(ints("i", [1, -1, 2**31 - 1]).tobytes()) == [1, -1, 2**31 - 1]
    assert helper.merges_from_bytes(ints("i", [1, 2, 3, 3, -1, 4]).tobytes()) == [((1, 2), 3), ((3, -1), 4)]
    merges = [((1, 2), 3), ((3, 4), 5), ((5, 6), 7)]
    assert list(helper.sighting(merges)) == [3, id(merges[0]), id(merges[1]), id(merges[2])]
    assert helper.index_array(3) == ints("q", [0, 0, 0])
