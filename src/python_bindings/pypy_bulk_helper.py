"""Reading and building in bulk for the module on PyPy (pypy_bulk.cpp).

PyPy runs this source, embedded in the module by the build (embed_source.py),
and its JIT compiles the loops, so values cross between PyPy's lists and the
module as raw 32-bit integers in buffers. It is plain Python: CPython runs it
the same way.
"""
import array

# Each reader answers None for anything it does not recognise. A subclass, an
# object with __index__ or a str must reach the ordinary reading, which calls
# what it must and raises what it must, so only exact types are accepted, and
# every value is type-checked before array() sees it (array() would call
# __index__). A value outside 32 bits makes array() raise OverflowError.
#
# Building results: array.tolist() wraps item by item without the JIT, while
# a comprehension over indices compiles to a plain copy (about 50 times
# faster for millions of units). list() of a byte string is PyPy's own fast
# path, faster still: results that hold only byte values (decoded text
# mostly does) cross as one byte per unit. A batch's results cross once per
# distinct sequence, with the index of each position's: words repeat (about
# one in six is distinct in the benchmark table's corpus, rows 6 and 7). Each
# position gets list() of its distinct sequence's byte string, or, for wider
# units, a copy of the list made for it, except its first position (the
# index comes as ~index), which takes that list itself. Either allocates half
# of what slicing the buffer anew for every position does (PyPy's collector
# pays for every allocation); handing out the made lists saved another
# 10-20%, while copying lists made from byte strings cost half as much again
# as list() of the byte strings.


def units_as_array(seq, array=array.array, int=int, type=type):
    for unit in seq:
        if type(unit) is not int:
            return None
    try:
        return array('i', seq)
    except OverflowError:
        return None

def batch_as_buffers(batch, array=array.array, bytes=bytes, bytearray=bytearray, int=int, len=len, list=list,
                   tuple=tuple, type=type):
    # Read once: a finalizer or another thread changing the batch meanwhile
    # cannot make the items checked differ from the items copied.
    items = list(batch)
    # Filled in place: appending to an array costs ten times as much here.
    offsets = array('q', [0]) * (len(items) + 1)
    total = 0
    k = 0
    for item in items:
        if type(item) is not bytes:
            break
        total += len(item)
        k += 1
        offsets[k] = total
    else:
        return b''.join(items), offsets, 1
    units = array('i')
    k = 0
    try:
        for item in items:
            kind = type(item)
            if kind is list or kind is tuple:
                for unit in item:
                    if type(unit) is not int:
                        return None
                    units.append(unit)
            elif kind is bytes or kind is bytearray or (kind is array and item.typecode == 'i'):
                units.extend(item)
            else:
                return None
            k += 1
            offsets[k] = len(units)
    except OverflowError:
        return None
    return units, offsets, 4

def merges_as_array(merges, array=array.array, int=int, len=len, tuple=tuple, type=type):
    # Filled in place, five times faster than appending (29,828 entries).
    triples = array('i', [0]) * (3 * len(merges))
    k = 0
    try:
        for entry in merges:
            if type(entry) is not tuple or len(entry) != 2:
                return None
            pair, id = entry
            if type(pair) is not tuple or len(pair) != 2:
                return None
            left, right = pair
            if type(left) is not int or type(right) is not int or type(id) is not int:
                return None
            triples[k] = left
            triples[k + 1] = right
            triples[k + 2] = id
            k += 3
    except OverflowError:
        return None
    return triples if k == len(triples) else None

def held_position(merges, held, len=len, range=range):
    # The position in `held` of the list holding exactly the entry objects
    # of `merges`, in order, or -1. Unrolled by four: a third faster here
    # than one comparison per round (29,828 entries: 24 against 36 us).
    n = len(merges)
    for k in range(len(held)):
        entries = held[k]
        if len(entries) != n:
            continue
        i = 0
        end = n - n % 4
        while i < end:
            if (merges[i] is not entries[i] or merges[i + 1] is not entries[i + 1] or
                    merges[i + 2] is not entries[i + 2] or merges[i + 3] is not entries[i + 3]):
                break
            i += 4
        else:
            while i < n and merges[i] is entries[i]:
                i += 1
            if i == n:
                return k
    return -1

def sighting(merges, array=array.array, id=id, len=len):
    n = len(merges)
    return array('q', [n, id(merges[0]), id(merges[n // 2]), id(merges[n - 1])])

def list_from_bytes(raw, list=list):
    return list(raw)

def list_from_units(raw, array=array.array, range=range):
    units = array('i', raw)
    return [units[i] for i in range(len(units))]

def index_array(n, array=array.array):
    return array('q', [0]) * n

def lists_from_bytes(raw, offsets, ids, list=list, range=range):
    if ids is None:
        return [list(raw[offsets[k]:offsets[k + 1]]) for k in range(len(offsets) - 1)]
    distinct = [raw[offsets[k]:offsets[k + 1]] for k in range(len(offsets) - 1)]
    return [list(distinct[~i] if i < 0 else distinct[i]) for i in ids]

def lists_from_units(raw, offsets, ids, array=array.array, list=list, range=range):
    units = array('i', raw)
    distinct = [None] * (len(offsets) - 1)
    begin = 0
    for k in range(len(distinct)):
        end = offsets[k + 1]
        # Most encoded words are a few tokens: a display is built without the
        # loop and the growing that a comprehension costs.
        count = end - begin
        if count == 1:
            distinct[k] = [units[begin]]
        elif count == 2:
            distinct[k] = [units[begin], units[begin + 1]]
        elif count == 3:
            distinct[k] = [units[begin], units[begin + 1], units[begin + 2]]
        else:
            distinct[k] = [units[i] for i in range(begin, end)]
        begin = end
    if ids is None:
        return distinct
    return [distinct[~i] if i < 0 else list(distinct[i]) for i in ids]

def merges_from_bytes(raw, array=array.array, range=range):
    triples = array('i', raw)
    return [((triples[i], triples[i + 1]), triples[i + 2]) for i in range(0, len(triples), 3)]
