"""Merge tables kept between calls: a kept table is used again only for the
same entries, so every call gives what the list's content gives today."""
import random
import sys

import pytest

import pairfuse
from pairfuse_testing import IS_PYPY, PanicException, Index

RNG = random.Random(16)
TEXT = bytes(RNG.choice(b"abcdefgh ") for _ in range(6000))
UNITS = TEXT[:400]
# Large enough to be kept; ends with a repeated pair and a repeated id, so
# that the order of the entries matters.
BASE = pairfuse.fit_py(TEXT, 600)[1] + [((97, 98), 5000), ((99, 100), 5001), ((97, 98), 5001)]
TOKENS = pairfuse.encode_py(UNITS, BASE) + [5000, 5001]
BATCH = [UNITS[k:k + 40] for k in range(0, 400, 40)] + [b""]
TOKEN_BATCH = [TOKENS[k:k + 30] for k in range(0, len(TOKENS), 30)]

FUNCTIONS = {
    "encode_py": lambda m: pairfuse.encode_py(UNITS, m),
    "decode_py": lambda m: pairfuse.decode_py(TOKENS, m),
    "encode_concurrent_py": lambda m: pairfuse.encode_concurrent_py(BATCH, m),
    "decode_concurrent_py": lambda m: pairfuse.decode_concurrent_py(TOKEN_BATCH, m),
}


def rebuilt(merges):
    """The same content in new objects, never kept before (entries that are
    not plain stay as they are: they are read anew on every call anyway)."""
    out = []
    for entry in merges:
        if type(entry) is tuple and len(entry) == 2 and type(entry[0]) is tuple and len(entry[0]) == 2 and all(
                type(v) is int for v in (*entry[0], entry[1])):
            out.append(((entry[0][0] + 0, entry[0][1] + 0), entry[1] + 0))
        else:
            out.append(entry)
    return out


def outcome(call, merges):
    try:
        return call(merges)
    except BaseException as error:  # noqa: B902 - the error is the outcome compared
        return type(error), str(error)


class ListSubclass(list):
    pass


class TupleSubclass(tuple):
    pass


def replace_entry(m):
    (left, right), _ = m[10]
    m[10] = ((left, right), 7000)


def swap_ids(m):
    (a, i), (b, j) = m[3], m[4]
    m[3], m[4] = (a, j), (b, i)


# name: change made in place to a kept list, or a function returning the next argument
CHANGES = {
    "entry replaced": replace_entry,
    "ids swapped": swap_ids,
    "appended": lambda m: m.append(((104, 104), 7001)),
    "inserted first": lambda m: m.insert(0, ((97, 98), 7002)),
    "deleted": lambda m: m.__delitem__(0),
    "sorted": lambda m: m.sort(key=lambda e: -e[1]),
    "reversed": lambda m: m.reverse(),
    "cleared": lambda m: m.clear(),
    "same entries, new list": lambda m: list(m),
    "equal content, new tuples": rebuilt,
    "as a tuple": tuple,
    "an __index__ entry": lambda m: m.__setitem__(5, ((Index(m[5][0][0]), m[5][0][1]), m[5][1])),
    "a bool unit": lambda m: m.__setitem__(5, ((True, m[5][0][1]), m[5][1])),
    "a list subclass": ListSubclass,
    "a tuple subclass entry": lambda m: m.__setitem__(5, TupleSubclass(m[5])),
    "a bad entry": lambda m: m.append([(1, 2), 3]),
    "an id out of range": lambda m: m.append(((1, 2), 2**31)),
    "a cycle": lambda m: m.append(((5000, 98), 5000)),
}


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("change", CHANGES)
def test_a_changed_table_gives_the_results_of_its_content(function, change):
    call = FUNCTIONS[function]
    merges = rebuilt(BASE)
    for _ in range(3):  # kept from the second call on
        assert call(merges) == call(rebuilt(BASE))
    changed = CHANGES[change](merges)
    if changed is not None:
        merges = changed
    assert outcome(call, merges) == outcome(call, rebuilt(merges))
    assert outcome(call, merges) == outcome(call, rebuilt(merges))


def test_a_table_that_failed_then_repaired_is_read_again():
    merges = rebuilt(BASE) + [[(1, 2), 3]]
    for _ in range(3):
        with pytest.raises(TypeError, match="argument 'merges': 'list' object cannot be converted to 'PyTuple'"):
            pairfuse.encode_py(UNITS, merges)
    merges[-1] = ((1, 2), 6000)
    for function, call in FUNCTIONS.items():
        assert call(merges) == call(rebuilt(merges)), function


def test_tables_interleaved_and_more_than_are_kept():
    tables = [rebuilt(BASE[:-3]) + [((97, 98), 8000 + k)] for k in range(12)]
    expected = [[call(rebuilt(t)) for call in FUNCTIONS.values()] for t in tables]
    for order in (list(range(12)) * 3, [0, 1] * 10, [5] * 4 + [11, 5, 11]):
        for k in order:
            assert [call(tables[k]) for call in FUNCTIONS.values()] == expected[k], k


def test_a_cycle_raises_on_every_call():
    merges = rebuilt(BASE) + [((5000, 98), 5000)]
    for _ in range(3):
        with pytest.raises(PanicException, match="Merge table has a cycle: token 5000 expands into itself."):
            pairfuse.decode_py([5000], merges)
        with pytest.raises(PanicException, match="token 5000"):
            pairfuse.decode_concurrent_py([[1], [5000]], merges)


@pytest.mark.skipif(IS_PYPY, reason="reference counts are CPython's")
def test_small_tables_are_never_held():
    small = rebuilt(BASE[:100])
    before = [sys.getrefcount(entry) for entry in small]
    for call in FUNCTIONS.values():
        for _ in range(3):
            call(small)
    assert [sys.getrefcount(entry) for entry in small] == before


@pytest.mark.skipif(IS_PYPY, reason="reference counts are CPython's")
def test_a_table_the_caller_let_go_is_released_at_the_next_call():
    merges = rebuilt(BASE)
    entry = merges[1]  # the cache tells a list let go by its first entry
    for _ in range(3):
        pairfuse.encode_py(UNITS, merges)
    assert sys.getrefcount(entry) == 4  # the list, the cache, `entry` and the argument
    del merges
    pairfuse.encode_py(UNITS, [])
    assert sys.getrefcount(entry) == 2
