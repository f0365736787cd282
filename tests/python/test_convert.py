"""Conversion of arguments into engine values and of results back into Python objects."""
import random
import sys

import pytest

import pairfuse

MIN_UNIT = -(2**31)
MAX_UNIT = 2**31 - 1
RANGE_MESSAGE = "out of range integral type conversion attempted"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raising:
    """An integer-like or sequence-like object whose protocol method raises."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class Outer:
    class Inner:
        pass


class NamelessMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class Nameless(metaclass=NamelessMeta):
    pass


class NumberNamedMeta(type):
    def __getattribute__(cls, name):
        return 42 if name == "__qualname__" else super().__getattribute__(name)


class NumberNamed(metaclass=NumberNamedMeta):
    pass


class Shouting(str):
    pass


class LyingLength(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


class FailingIteration:
    """Passes the sequence check, then fails when iterated."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise self.error


def case_id(value):
    """Readable, stable test ids: no memory addresses."""
    text = repr(value)
    return type(value).__name__ if " at 0x" in text else text


def identity(units):
    """The unit sequence as the module reads it: encoding with an empty table changes nothing."""
    return pairfuse.encode_py(units, [])


@pytest.mark.parametrize(
    "units, expected",
    [
        ([], []),
        ([MIN_UNIT, -1, 0, MAX_UNIT], [MIN_UNIT, -1, 0, MAX_UNIT]),
        ((5, 6, 7), [5, 6, 7]),
        (range(3, 6), [3, 4, 5]),
        (b"\x00a\xff", [0, 97, 255]),
        (bytearray(b"ab"), [97, 98]),
        ([True, False], [1, 0]),
        ([Index(-7), Index(MAX_UNIT)], [-7, MAX_UNIT]),
        # The reported length is a hint only: the iterator decides.
        (LyingLength([1, 2, 3], 0), [1, 2, 3]),
        (LyingLength([1, 2, 3], sys.maxsize), [1, 2, 3]),
        (LyingLength([1, 2, 3], ValueError("no length")), [1, 2, 3]),
    ],
    ids=case_id,
)
def test_accepted_unit_sequences(units, expected):
    result = identity(units)
    assert result == expected
    assert all(type(unit) is int for unit in result)


@pytest.mark.parametrize(
    "units, message",
    [
        ("abc", "Can't extract `str` to `Vec`"),
        (Shouting("abc"), "Can't extract `str` to `Vec`"),
        (5, "'int' object cannot be converted to 'Sequence'"),
        (None, "'NoneType' object cannot be converted to 'Sequence'"),
        ({1: 2}, "'dict' object cannot be converted to 'Sequence'"),
        ({1, 2}, "'set' object cannot be converted to 'Sequence'"),
        ((u for u in [1]), "'generator' object cannot be converted to 'Sequence'"),
        (Outer.Inner(), "'Outer.Inner' object cannot be converted to 'Sequence'"),
        (Nameless(), "'<failed to extract type name>' object cannot be converted to 'Sequence'"),
        (NumberNamed(), "'<failed to extract type name>' object cannot be converted to 'Sequence'"),
        ([1.5], "'float' object cannot be interpreted as an integer"),
        ([1, "2"], "'str' object cannot be interpreted as an integer"),
        ([None], "'NoneType' object cannot be interpreted as an integer"),
        (FailingIteration(TypeError("bad item")), "bad item"),
        ([Raising(TypeError("bad index"))], "bad index"),
    ],
    ids=case_id,
)
def test_type_errors_in_units_name_the_parameter(units, message):
    with pytest.raises(TypeError) as caught:
        pairfuse.decode_py(units, [])
    assert caught.value.args == ("argument 'units': " + message,)


def test_renamed_type_error_keeps_the_cause():
    cause = KeyError("why")
    error = TypeError("inner")
    error.__cause__ = cause
    with pytest.raises(TypeError, match="^argument 'units': inner$") as caught:
        pairfuse.encode_py([Raising(error)], [])
    assert caught.value is not error
    assert caught.value.__cause__ is cause


@pytest.mark.parametrize(
    "error",
    [
        ValueError("from __index__"),
        KeyboardInterrupt(),
        type("NarrowTypeError", (TypeError,), {})("a subclass is not renamed"),
    ],
    ids=lambda e: type(e).__name__,
)
def test_other_errors_from_python_code_pass_unchanged(error):
    for units in ([Raising(error)], FailingIteration(error)):
        with pytest.raises(BaseException) as caught:
            pairfuse.fit_py(units, 5)
        assert caught.value is error


@pytest.mark.parametrize("unit", [MAX_UNIT + 1, MIN_UNIT - 1, 2**40, Index(MAX_UNIT + 1)], ids=case_id)
def test_unit_outside_32_bits_is_an_unnamed_overflow(unit):
    with pytest.raises(OverflowError) as caught:
        pairfuse.fit_py([1, unit], 5)
    assert caught.value.args == (RANGE_MESSAGE,)


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**100], ids=case_id)
def test_unit_beyond_64_bits_is_the_interpreters_overflow(value):
    with pytest.raises(OverflowError) as caught:
        pairfuse.encode_py([value], [])
    assert caught.value.args != (RANGE_MESSAGE,)


@pytest.mark.parametrize("size", [3, Index(3), 2**64 - 1])
def test_accepted_sizes(size):
    assert pairfuse.fit_py([1, 2], size) == ([3], [((1, 2), 3)])


@pytest.mark.parametrize("size", [-1, 2**64, Index(-1)], ids=case_id)
def test_size_outside_unsigned_64_bits_is_the_interpreters_overflow(size):
    with pytest.raises(OverflowError) as caught:
        pairfuse.fit_py([1, 2], size)
    assert not str(caught.value).startswith("argument")


@pytest.mark.parametrize("size", [3.0, "3", None, [3]], ids=case_id)
def test_size_that_is_no_integer_names_the_parameter(size):
    with pytest.raises(TypeError, match="^argument 'target_vocab_size': "):
        pairfuse.fit_py([1, 2], size)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: pairfuse.fit_py("ab", -1), TypeError, "argument 'units': Can't extract `str` to `Vec`"),
        (lambda: pairfuse.fit_py([2**40], "x"), OverflowError, RANGE_MESSAGE),
        (lambda: pairfuse.encode_py(5, "x"), TypeError, "argument 'units': 'int' object cannot be converted to 'Sequence'"),
        (lambda: pairfuse.decode_concurrent_py([1], 5), TypeError, "argument 'units_list': 'int' object cannot be converted to 'Sequence'"),
        (lambda: pairfuse.fit_concurrent_py([[1]], 1.5), TypeError, "argument 'target_vocab_size': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_first_bad_parameter_wins(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert type(caught.value) is error
    assert caught.value.args == (message,)


@pytest.mark.parametrize(
    "merges, error, message",
    [
        ("ab", TypeError, "argument 'merges': Can't extract `str` to `Vec`"),
        ({(1, 2): 3}, TypeError, "argument 'merges': 'dict' object cannot be converted to 'Sequence'"),
        (7, TypeError, "argument 'merges': 'int' object cannot be converted to 'Sequence'"),
        ([[[1, 2], 3]], TypeError, "argument 'merges': 'list' object cannot be converted to 'PyTuple'"),
        ([([1, 2], 3)], TypeError, "argument 'merges': 'list' object cannot be converted to 'PyTuple'"),
        ([(1, 3)], TypeError, "argument 'merges': 'int' object cannot be converted to 'PyTuple'"),
        ([((1, 2), 3, 4)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([((1, 2),)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
        ([((1, 2, 5), 3)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([((), 3)], ValueError, "expected tuple of length 2, but got tuple of length 0"),
        ([((1, 2), 3), ((1, 2.5), 4)], TypeError, "argument 'merges': 'float' object cannot be interpreted as an integer"),
        ([((1, 2), MAX_UNIT + 1)], OverflowError, RANGE_MESSAGE),
        ([((MIN_UNIT - 1, 2), 3)], OverflowError, RANGE_MESSAGE),
        # Entry checks run in order: the pair's shape before the id.
        ([((1, 2, 3), "id")], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([((1, "2"), 2**40)], TypeError, "argument 'merges': 'str' object cannot be interpreted as an integer"),
    ],
    ids=case_id,
)
def test_bad_merge_lists(merges, error, message):
    for call in (lambda: pairfuse.encode_py([1, 2], merges), lambda: pairfuse.decode_concurrent_py([[3]], merges)):
        with pytest.raises(error) as caught:
            call()
        assert type(caught.value) is error
        assert caught.value.args == (message,)


@pytest.mark.parametrize(
    "units_list, message",
    [
        (["ab"], "Can't extract `str` to `Vec`"),
        ("ab", "Can't extract `str` to `Vec`"),
        ([[1], 2], "'int' object cannot be converted to 'Sequence'"),
        ({"a": [1]}, "'dict' object cannot be converted to 'Sequence'"),
        ([[1], [2, None]], "'NoneType' object cannot be interpreted as an integer"),
    ],
    ids=case_id,
)
def test_bad_units_lists_name_the_outer_parameter(units_list, message):
    with pytest.raises(TypeError) as caught:
        pairfuse.fit_concurrent_py(units_list, 5)
    assert caught.value.args == ("argument 'units_list': " + message,)


def test_merge_entries_accept_tuple_subclasses_and_integer_likes():
    class Entry(tuple):
        pass

    merges = [Entry(((Index(1), True), Index(3)))]
    assert pairfuse.encode_py([1, 1, 2], merges) == [3, 2]


def test_pair_given_twice_keeps_its_last_id():
    merges = [((1, 2), 3), ((1, 2), 4)]
    assert pairfuse.decode_py([4], merges) == [1, 2]
    assert pairfuse.decode_py([3], merges) == [3]
    assert pairfuse.encode_py([1, 2], merges) == [4]


def test_units_lists_accept_mixed_sequences():
    units_list = ([1, 2], (1, 2), range(1, 3), b"\x01\x02", ())
    assert pairfuse.encode_concurrent_py(units_list, [((1, 2), 9)]) == [[9], [9], [9], [9], []]


def test_results_are_new_plain_objects():
    units = [1, 2, 1, 2, 3]
    sequence, merges = result = pairfuse.fit_py(units, 4)
    assert type(result) is tuple and type(sequence) is list and type(merges) is list
    assert all(type(entry) is tuple and type(entry[0]) is tuple for entry in merges)
    assert all(type(value) is int for ((left, right), new_id) in merges for value in (left, right, new_id))

    same = pairfuse.encode_py(units, [])
    assert same == units and same is not units
    batch = [[1], [2], [1]]
    out = pairfuse.decode_concurrent_py(batch, [])
    assert out == batch and out is not batch and all(a is not b for a, b in zip(out, batch))
    assert out[0] is not out[2]


# Results are built in bulk where the interpreter allows it, in a narrower
# form when every value is a byte; any length, any value must come back as given.
@pytest.mark.parametrize(
    "values",
    [range(256), [-1, 0, 1, 255], [0, 1, 255, 256], [MIN_UNIT, -1, 0, 255, 256, 30000, MAX_UNIT]],
    ids=["bytes", "bytes and -1", "bytes and 256", "any"],
)
def test_results_hold_every_value_at_every_length(values):
    rng = random.Random(5)
    batch = [[rng.choice(values) for _ in range(length)] for length in list(range(41)) * 3]
    assert pairfuse.decode_concurrent_py(batch, []) == batch
    assert [pairfuse.decode_py(units, []) for units in batch] == batch


def test_inputs_are_left_unchanged():
    units = [1, 2, 1, 2, 3, 1, 2]
    units_list = [list(units), [4, 1, 2]]
    merges = [((1, 2), 10), ((10, 1), 11)]
    snapshot = (list(units), [list(s) for s in units_list], list(merges))
    pairfuse.fit_py(units, 6)
    pairfuse.fit_concurrent_py(units_list, 6)
    pairfuse.encode_py(units, merges)
    pairfuse.decode_py(units, merges)
    pairfuse.encode_concurrent_py(units_list, merges)
    pairfuse.decode_concurrent_py(units_list, merges)
    assert (units, units_list, merges) == snapshot


class ReversedBytes(bytes):
    def __iter__(self):
        return iter(bytes(reversed(self)))


class ListWithOwnIterator(list):
    def __iter__(self):
        return iter([7])


@pytest.mark.parametrize("change, expected", [("shrink", [1, 2, 3]), ("grow", [1, 2, 3, 4, 9])])
def test_list_changed_by_an_item_gives_what_its_iterator_gives(change, expected):
    items = [1, None, 3, 4]

    class Changer:
        def __index__(self):
            if change == "shrink":
                items.pop()
            else:
                items.append(9)
            return 2

    items[1] = Changer()
    assert identity(items) == expected


@pytest.mark.parametrize("units, expected", [(ReversedBytes(b"ab"), [98, 97]), (ListWithOwnIterator([1, 2]), [7])])
def test_subclasses_are_read_through_their_iterator(units, expected):
    assert identity(units) == expected
    assert pairfuse.decode_concurrent_py([units], []) == [expected]


@pytest.mark.parametrize("enabled", [True, False])
def test_batch_results_leave_the_collector_as_they_found_it(enabled):
    import gc

    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        pairfuse.fit_concurrent_py([[1, 2, 1, 2]] * 50, 5)
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()


# Long sequences cross the boundary in bulk where the interpreter allows it;
# they must read and fail exactly like short ones.
LONG = list(range(-20, 40))


@pytest.mark.parametrize(
    "units, expected",
    [
        (LONG, LONG),
        (tuple(LONG), LONG),
        (LONG + [True], LONG + [1]),
        (LONG + [Index(7)], LONG + [7]),
        (LONG + [MAX_UNIT, MIN_UNIT], LONG + [MAX_UNIT, MIN_UNIT]),
    ],
    ids=["list", "tuple", "bool", "index", "limits"],
)
def test_long_sequences_read_like_short_ones(units, expected):
    assert identity(units) == expected
    assert pairfuse.decode_concurrent_py([units, units[:3]], []) == [expected, expected[:3]]


@pytest.mark.parametrize("bad, error", [(MAX_UNIT + 1, OverflowError), (2**70, OverflowError), (1.5, TypeError)])
def test_long_sequences_fail_like_short_ones(bad, error):
    with pytest.raises(error) as long_failure:
        identity(LONG + [bad])
    with pytest.raises(error) as short_failure:
        identity([bad])
    assert str(long_failure.value) == str(short_failure.value)
