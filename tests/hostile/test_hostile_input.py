"""Hostile arguments: every call ends as the conversion rules say, never crashes,
and leaves its arguments as they were."""
import collections
import sys

import pytest
from hypothesis import event, given
from hypothesis import strategies as st

import pairfuse
from hostile import (
    FUNCTIONS,
    MAX_UNIT,
    MIN_UNIT,
    RANGE_MESSAGE,
    HostileSeq,
    Index,
    MyInt,
    MyStr,
    MyTuple,
    MyTypeError,
    PanicException,
    ReversedList,
    RaisingIndex,
    expected_outcome,
    matches,
    outcome_of,
    snapshot,
)

ERRORS = [
    ValueError("bad value"),
    TypeError("bad type"),
    MyTypeError("bad subtype"),
    KeyError("key"),
    StopIteration(),
    MemoryError("not really"),
    KeyboardInterrupt("interrupted"),
    PanicException("panic raised by Python code"),
]

# What a lying __len__ may report. The reservation it asks for is capped, so
# 2**31 or 2**40 neither fails nor, under AddressSanitizer, aborts the process;
# 2**70 makes len() itself fail.
REPORTED_LENGTHS = [0, 1, -1, 1000, 2**31, 2**40, sys.maxsize, 2**70]

errors = st.sampled_from(ERRORS)
small_units = st.integers(-2, 5)
valid_units = st.one_of(small_units, small_units, small_units, small_units, st.sampled_from([MIN_UNIT, MAX_UNIT]))
overflowing = st.sampled_from([2**31, MIN_UNIT - 1, 2**63 - 1, 2**63, -(2**63) - 1, 2**64, 2**100])
hostile_units = st.one_of(
    overflowing,
    st.booleans(),
    st.builds(MyInt, st.integers(-2, 5)),
    st.builds(Index, st.one_of(valid_units, overflowing)),
    st.builds(RaisingIndex, errors),
    st.sampled_from([None, 1.5, "7", b"7"]),
    st.lists(st.integers(0, 3), max_size=2),
    st.lists(st.integers(0, 3), max_size=2).map(tuple),
)
any_units = st.one_of(valid_units, valid_units, valid_units, hostile_units)


def sequences_of(items, max_size):
    return st.one_of(
        st.lists(items, max_size=max_size),
        st.lists(items, max_size=max_size).map(tuple),
        st.lists(items, max_size=max_size).map(ReversedList),
        st.builds(
            HostileSeq,
            st.lists(items, max_size=max_size),
            reported_len=st.none() | st.sampled_from(REPORTED_LENGTHS),
            len_error=st.none() | errors,
            fail_at=st.none() | st.integers(0, max_size),
            fail_with=errors,
        ),
    )


non_sequences = st.one_of(
    st.builds(lambda: {1: 2}),
    st.builds(set),
    st.builds(lambda: (i for i in [1, 2])),
    st.integers(-3, 3),
    st.none(),
    st.just(1.5),
    st.text(max_size=3),
    st.builds(MyStr, st.text(max_size=3)),
)

unit_sequences = st.one_of(
    sequences_of(valid_units, 10),
    sequences_of(any_units, 10),
    st.binary(max_size=10),
    st.binary(max_size=10).map(bytearray),
    st.builds(range, st.integers(-3, 3), st.integers(-3, 12)),
    st.sampled_from([range(MAX_UNIT - 2, MAX_UNIT + 2), range(2**63 - 1, 2**63 + 1)]),
    non_sequences,
)
unit_sequence_lists = st.one_of(
    sequences_of(sequences_of(valid_units, 10), 5),
    sequences_of(sequences_of(valid_units, 10), 5),
    sequences_of(unit_sequences, 5),
    non_sequences,
)

Entry = collections.namedtuple("Entry", "pair id")
pairs = st.tuples(valid_units, valid_units)
merge_entries = st.one_of(
    st.tuples(pairs, valid_units),
    st.tuples(pairs, valid_units),
    st.tuples(st.tuples(any_units, any_units), any_units),
    st.tuples(pairs, valid_units).map(list),
    st.tuples(pairs.map(list), valid_units),
    st.lists(valid_units, max_size=3).map(tuple),
    st.tuples(st.lists(valid_units, max_size=3).map(tuple), valid_units),
    st.tuples(valid_units, valid_units),
    st.tuples(pairs, valid_units).map(MyTuple),
    st.builds(Entry, pairs.map(MyTuple), valid_units),
    st.builds(MyStr, st.text(max_size=2)),
    st.none(),
)
# At most six entries: decoding with a table of depth d expands a token to up to 2**d units.
merge_lists = st.one_of(
    sequences_of(st.tuples(pairs, valid_units), 6),
    sequences_of(merge_entries, 6),
    st.builds(lambda: {(1, 2): 3}),
    non_sequences,
)
sizes = st.one_of(
    st.integers(0, 30),
    st.integers(6, 40),
    st.integers(6, 40),
    st.sampled_from([-1, 2**64 - 1, 2**64, 2**100, -(2**70)]),
    st.booleans(),
    st.builds(Index, st.integers(-1, 30)),
    st.builds(MyInt, st.integers(0, 30)),
    st.builds(RaisingIndex, errors),
    st.sampled_from([1.5, None, "5"]),
)
ARGUMENTS = {
    "units": unit_sequences,
    "units_list": unit_sequence_lists,
    "target_vocab_size": sizes,
    "merges": merge_lists,
}


def check_call(name, first, second):
    before = snapshot(first), snapshot(second)
    expected = expected_outcome(name, first, second)
    actual = outcome_of(lambda: getattr(pairfuse, name)(first, second))
    assert matches(expected, actual), f"{name}({first!r}, {second!r}): expected {expected}, {actual}"
    assert (snapshot(first), snapshot(second)) == before, "an argument changed"
    return actual


@pytest.mark.parametrize("name", FUNCTIONS)
@given(data=st.data())
def test_generated_arguments_end_as_the_rules_say(name, data):
    first_name, second_name = FUNCTIONS[name]
    first = data.draw(ARGUMENTS[first_name], label=first_name)
    second = data.draw(ARGUMENTS[second_name], label=second_name)
    actual = check_call(name, first, second)
    event("returned" if actual.error_type is None else f"raised {actual.error_type.__name__}")


# ---------------------------------------------------------------- hand-picked cases


def all_positions(units_value):
    """(name, first, second) placing `units_value` where each function takes units."""
    return [
        ("fit_py", units_value, 10),
        ("encode_py", units_value, [((1, 2), 9)]),
        ("decode_py", units_value, [((1, 2), 9)]),
        ("fit_concurrent_py", [[1, 2], units_value], 10),
        ("encode_concurrent_py", [units_value], [((1, 2), 9)]),
        ("decode_concurrent_py", [units_value, [9]], [((1, 2), 9)]),
    ]


@pytest.mark.parametrize(
    "item, error_type, message",
    [
        (Index(2**70), OverflowError, None),
        (Index(2**31), OverflowError, RANGE_MESSAGE),
        (Index(MIN_UNIT - 1), OverflowError, RANGE_MESSAGE),
        (RaisingIndex(ValueError("no")), ValueError, "no"),
        (RaisingIndex(TypeError("no")), TypeError, "argument '{}': no"),
        (RaisingIndex(MyTypeError("no")), MyTypeError, "no"),
        (RaisingIndex(StopIteration()), StopIteration, ""),
        (RaisingIndex(PanicException("from Python")), PanicException, "from Python"),
        (MyStr("1"), TypeError, "argument '{}': 'MyStr' object cannot be interpreted as an integer"),
        ([1], TypeError, "argument '{}': 'list' object cannot be interpreted as an integer"),
    ],
)
def test_hostile_unit_in_every_position(item, error_type, message):
    for name, first, second in all_positions([1, 2, item, 1, 2]):
        actual = check_call(name, first, second)
        assert actual.error_type is error_type, (name, actual)
        if message is not None:
            assert actual.message == message.format(FUNCTIONS[name][0]), (name, actual)


@pytest.mark.parametrize(
    "seq",
    [
        HostileSeq([1, 2, 1, 2], reported_len=0),
        HostileSeq([1, 2, 1, 2], reported_len=1),
        HostileSeq([1, 2, 1, 2], reported_len=1000),
        HostileSeq([1, 2, 1, 2], reported_len=2**31),
        HostileSeq([1, 2, 1, 2], reported_len=2**40),
        HostileSeq([1, 2, 1, 2], reported_len=sys.maxsize - 1),
        HostileSeq([1, 2, 1, 2], reported_len=sys.maxsize),
        HostileSeq([1, 2, 1, 2], reported_len=-1),
        HostileSeq([1, 2, 1, 2], reported_len=2**70),
        HostileSeq([1, 2, 1, 2], len_error=ValueError("no length")),
        HostileSeq([1, 2, 1, 2], len_error=TypeError("no length")),
    ],
    ids=repr,
)
def test_reported_length_is_only_a_hint(seq):
    for name, first, second in all_positions(seq):
        assert check_call(name, first, second).error_type is None


def test_panic_from_len_ends_the_call_as_a_panic():
    seq = HostileSeq([1, 2], len_error=PanicException("length panic"))
    for name, first, second in all_positions(seq):
        actual = check_call(name, first, second)
        assert (actual.error_type, actual.message) == (PanicException, "length panic")


@pytest.mark.parametrize("error", ERRORS, ids=repr)
@pytest.mark.parametrize("fail_at", [0, 2, 4])
def test_iterator_failing_midway(error, fail_at):
    seq = HostileSeq([1, 2, 1, 2], fail_at=fail_at, fail_with=error)
    for name, first, second in all_positions(seq):
        actual = check_call(name, first, second)
        if isinstance(error, StopIteration):
            assert actual.error_type is None or actual.error_type is PanicException
        else:
            assert actual.error_type is type(error)


@pytest.mark.parametrize(
    "name, first, second",
    [
        ("fit_py", MyStr("ab"), 3),
        ("encode_py", MyStr("ab"), []),
        ("decode_py", [1], MyStr("ab")),
        ("fit_concurrent_py", MyStr("ab"), 3),
        ("fit_concurrent_py", [[1], MyStr("ab")], 3),
        ("encode_concurrent_py", [MyStr("ab")], []),
        ("decode_concurrent_py", [[1]], MyStr("")),
    ],
)
def test_str_subclasses_are_not_sequences(name, first, second):
    actual = check_call(name, first, second)
    assert actual.error_type is TypeError
    assert actual.message.endswith("Can't extract `str` to `Vec`")


PAIR_TUPLE = "argument 'merges': '{}' object cannot be converted to 'PyTuple'"
LENGTH = "expected tuple of length 2, but got tuple of length {}"


@pytest.mark.parametrize(
    "merges, error_type, message",
    [
        ({(1, 2): 3}, TypeError, "argument 'merges': 'dict' object cannot be converted to 'Sequence'"),
        (5, TypeError, "argument 'merges': 'int' object cannot be converted to 'Sequence'"),
        ("ab", TypeError, "argument 'merges': Can't extract `str` to `Vec`"),
        ([[(1, 2), 3]], TypeError, PAIR_TUPLE.format("list")),
        ([MyStr("ab")], TypeError, PAIR_TUPLE.format("MyStr")),
        ([None], TypeError, PAIR_TUPLE.format("NoneType")),
        ([()], ValueError, LENGTH.format(0)),
        ([((1, 2),)], ValueError, LENGTH.format(1)),
        ([((1, 2), 3, 4)], ValueError, LENGTH.format(3)),
        ([([1, 2], 3, 4)], ValueError, LENGTH.format(3)),
        ([([1, 2], 3)], TypeError, PAIR_TUPLE.format("list")),
        ([(1, 3)], TypeError, PAIR_TUPLE.format("int")),
        ([((1,), 3)], ValueError, LENGTH.format(1)),
        ([((1, 2, 3), 4)], ValueError, LENGTH.format(3)),
        ([((1, "2"), 3)], TypeError, "argument 'merges': 'str' object cannot be interpreted as an integer"),
        ([((1, 2), None)], TypeError, "argument 'merges': 'NoneType' object cannot be interpreted as an integer"),
        ([((2**31, "x"), 3)], OverflowError, RANGE_MESSAGE),
        ([((1, 2), 2**31)], OverflowError, RANGE_MESSAGE),
        ([((1, 2), 3), 5], TypeError, PAIR_TUPLE.format("int")),
        ([((1, 2), 3), ((1, 2, 3), 4, 5)], ValueError, LENGTH.format(3)),
        ([MyTuple((MyTuple((1, 2)), 3))], None, None),
        ([Entry((1, 2), 3)], None, None),
        (HostileSeq([((1, 2), 3)], reported_len=10**6), None, None),
    ],
)
@pytest.mark.parametrize("name", ["encode_py", "decode_py", "encode_concurrent_py", "decode_concurrent_py"])
def test_merge_lists_of_every_wrong_shape(name, merges, error_type, message):
    first = [1, 2, 3] if name in ("encode_py", "decode_py") else [[1, 2, 3]]
    actual = check_call(name, first, merges)
    assert (actual.error_type, actual.message if error_type else None) == (error_type, message)


def test_units_error_wins_over_merges_error():
    for name in ("encode_py", "decode_py"):
        actual = check_call(name, [1, "x"], "not merges")
        assert actual.message == "argument 'units': 'str' object cannot be interpreted as an integer"


# ---------------------------------------------------------------- arguments mutated by their own code


class Mutating:
    """__index__ gives `value` after applying `action` to the container it sits in (once)."""

    def __init__(self, value, action):
        self.value = value
        self.action = action
        self.container = None

    def __index__(self):
        if self.action is not None:
            action, self.action = self.action, None
            action(self.container)
        return self.value


def list_with(action, tail=(1, 2, 1, 2)):
    item = Mutating(3, action)
    lst = [item, *tail]
    item.container = lst
    return lst


def drop_own_reference(lst):
    lst[0] = None  # the item being converted loses its last reference but ours


MUTATIONS = {
    "clear": list.clear,
    "append": lambda lst: lst.append(4),
    "extend a lot": lambda lst: lst.extend(range(1000)),
    "drop itself": drop_own_reference,
    "delete later items": lambda lst: lst.__delitem__(slice(1, None)),
    "replace later item with a str": lambda lst: lst.__setitem__(2, "x"),
}


@pytest.mark.parametrize("mutation", MUTATIONS)
@pytest.mark.parametrize("name", FUNCTIONS)
def test_list_mutated_while_being_converted(name, mutation):
    """The module reads what the iterator yields, no more and no less, and survives."""

    def make():
        lst = list_with(MUTATIONS[mutation])
        first_name, second_name = FUNCTIONS[name]
        first = lst if first_name == "units" else [lst, [5, 6]]
        second = 20 if second_name == "target_vocab_size" else [((1, 2), 7)]
        return first, second

    expected = expected_outcome(name, *make())
    actual = outcome_of(lambda: getattr(pairfuse, name)(*make()))
    assert matches(expected, actual), f"expected {expected}, {actual}"


@pytest.mark.parametrize("name", ["fit_concurrent_py", "encode_concurrent_py", "decode_concurrent_py"])
def test_outer_list_cleared_by_an_inner_item(name):
    def make():
        outer = []
        inner = [1, Mutating(2, list.clear), 3]
        inner[1].container = outer
        outer.extend([inner, [4, 5], [6]])
        second = 20 if name == "fit_concurrent_py" else [((1, 2), 7)]
        return outer, second

    expected = expected_outcome(name, *make())
    actual = outcome_of(lambda: getattr(pairfuse, name)(*make()))
    assert matches(expected, actual), f"expected {expected}, {actual}"


@pytest.mark.parametrize("name", ["encode_py", "decode_py", "encode_concurrent_py", "decode_concurrent_py"])
def test_merge_list_cleared_by_its_own_id(name):
    def make():
        merges = []
        entry_id = Mutating(7, list.clear)
        entry_id.container = merges
        merges.extend([((1, 2), entry_id), ((7, 7), 8), ((8, 1), 9)])
        first = [1, 2, 1, 2] if name in ("encode_py", "decode_py") else [[1, 2, 1, 2]]
        return first, merges

    expected = expected_outcome(name, *make())
    actual = outcome_of(lambda: getattr(pairfuse, name)(*make()))
    assert matches(expected, actual), f"expected {expected}, {actual}"
