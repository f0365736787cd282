"""Hostile argument objects, and a plain-Python model of how pairfuse converts arguments.

The model follows the conversion rules step by step (sequence check, length
hint, iteration, index protocol, range checks, tuple shapes, the parameter
prefix on TypeErrors) and predicts how a call must end: with the exception
the first failing step gives, or with the result of the same call on plain,
already converted values.
"""
import operator
import os
import pathlib
import sys

from hypothesis import HealthCheck, settings

import pairfuse

# The helpers shared with tests/python.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))

from pairfuse_testing import IS_PYPY, Index, PanicException  # noqa: E402,F401

# Set by scripts/sanitize: the module runs under AddressSanitizer.
SANITIZED = os.environ.get("PAIRFUSE_SANITIZED") == "1"

# Generated cases run broadly on CPython; PyPy runs a fixed-seed subset, and
# the sanitizer run (several times slower) a smaller random one.
_common = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("cpython", max_examples=300, **_common)
settings.register_profile("sanitized", max_examples=80, **_common)
settings.register_profile("pypy", max_examples=40, derandomize=True, database=None, **_common)
settings.register_profile("long", max_examples=5000, **_common)  # for a search by hand
settings.load_profile(
    os.environ.get("PAIRFUSE_HYPOTHESIS_PROFILE") or ("pypy" if IS_PYPY else "sanitized" if SANITIZED else "cpython")
)

MIN_UNIT = -(2**31)
MAX_UNIT = 2**31 - 1
RANGE_MESSAGE = "out of range integral type conversion attempted"

FUNCTIONS = {
    "fit_py": ("units", "target_vocab_size"),
    "fit_concurrent_py": ("units_list", "target_vocab_size"),
    "encode_py": ("units", "merges"),
    "encode_concurrent_py": ("units_list", "merges"),
    "decode_py": ("units", "merges"),
    "decode_concurrent_py": ("units_list", "merges"),
}


# ---------------------------------------------------------------- hostile objects


class RaisingIndex:
    """__index__ raises a fresh copy of `error` each time."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise _fresh(self.error)

    def __repr__(self):
        return f"RaisingIndex({self.error!r})"


class MyTypeError(TypeError):
    """A TypeError subclass: passes through without the parameter prefix."""


class MyInt(int):
    """An int subclass whose own __index__ must not be consulted."""

    def __index__(self):
        raise AssertionError("int subclasses are read by value")


class MyStr(str):
    pass


class ReversedList(list):
    """A list subclass whose iterator disagrees with its storage: iteration decides."""

    def __iter__(self):
        return iter(list(list.__iter__(self))[::-1])


class MyTuple(tuple):
    pass


def _fresh(error):
    return type(error)(*error.args)


class HostileSeq:
    """A sequence with a misleading __len__ and an iterator that can fail midway.

    reported_len: what __len__ returns (None: the true length); len_error: what
    __len__ raises instead; fail_at/fail_with: the iterator raises `fail_with`
    when asked for item number `fail_at`.
    """

    def __init__(self, items, reported_len=None, len_error=None, fail_at=None, fail_with=None):
        self.items = list(items)
        self.reported_len = reported_len
        self.len_error = len_error
        self.fail_at = fail_at
        self.fail_with = fail_with

    def __len__(self):
        if self.len_error is not None:
            raise _fresh(self.len_error)
        return len(self.items) if self.reported_len is None else self.reported_len

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return _HostileIterator(self)

    def __repr__(self):
        return (
            f"HostileSeq({self.items!r}, reported_len={self.reported_len!r}, len_error={self.len_error!r}, "
            f"fail_at={self.fail_at!r}, fail_with={self.fail_with!r})"
        )


class _HostileIterator:
    def __init__(self, seq):
        self.seq = seq
        self.i = 0

    def __iter__(self):
        return self

    def __next__(self):
        seq = self.seq
        if seq.fail_at is not None and self.i == seq.fail_at:
            raise _fresh(seq.fail_with)
        if self.i >= len(seq.items):
            raise StopIteration
        self.i += 1
        return seq.items[self.i - 1]


# ---------------------------------------------------------------- the model


class Fail(Exception):
    """The exception a call must end with; `message` None means any message."""

    def __init__(self, type_, message):
        super().__init__(type_, message)
        self.type = type_
        self.message = message


def _from_user(error):
    # Python code the conversion called raised: it ends the call as raised; a
    # PanicException ends it as a (new) PanicException with the same text.
    return Fail(type(error), str(error))


def is_sequence(obj):
    return not isinstance(obj, dict) and hasattr(type(obj), "__getitem__")


def unit(obj):
    try:
        value = int.__index__(obj) if isinstance(obj, int) else int.__index__(operator.index(obj))
    except BaseException as error:  # noqa: B902 - whatever the object raises is the outcome
        raise _from_user(error) from None
    if not -(2**63) <= value < 2**63:
        raise Fail(OverflowError, None)  # the interpreter's own message
    if not MIN_UNIT <= value <= MAX_UNIT:
        raise Fail(OverflowError, RANGE_MESSAGE)
    return value


def size(obj):
    try:
        value = int.__index__(obj) if isinstance(obj, int) else int.__index__(operator.index(obj))
    except BaseException as error:  # noqa: B902
        raise _from_user(error) from None
    if not 0 <= value < 2**64:
        raise Fail(OverflowError, None)
    return value


def sequence(obj, convert_item):
    if isinstance(obj, str):
        raise Fail(TypeError, "Can't extract `str` to `Vec`")
    if not is_sequence(obj):
        raise Fail(TypeError, f"'{type(obj).__qualname__}' object cannot be converted to 'Sequence'")
    try:
        len(obj)  # only a hint: its failure is ignored, unless it is a panic
    except PanicException as error:
        raise _from_user(error) from None
    except BaseException:  # noqa: B902
        pass
    try:
        iterator = iter(obj)
    except BaseException as error:  # noqa: B902
        raise _from_user(error) from None
    out = []
    while True:
        try:
            item = next(iterator)
        except StopIteration:
            return out
        except BaseException as error:  # noqa: B902
            raise _from_user(error) from None
        out.append(convert_item(item))


def units(obj):
    return sequence(obj, unit)


def units_list(obj):
    return sequence(obj, units)


def _pair_tuple(obj):
    if not isinstance(obj, tuple):
        raise Fail(TypeError, f"'{type(obj).__qualname__}' object cannot be converted to 'PyTuple'")
    if len(obj) != 2:
        raise Fail(ValueError, f"expected tuple of length 2, but got tuple of length {len(obj)}")


def merge_entry(obj):
    _pair_tuple(obj)
    _pair_tuple(obj[0])
    left = unit(obj[0][0])
    right = unit(obj[0][1])
    return ((left, right), unit(obj[1]))


def merges(obj):
    return sequence(obj, merge_entry)


CONVERTERS = {
    "units": units,
    "units_list": units_list,
    "target_vocab_size": size,
    "merges": merges,
}


def convert(parameter, obj):
    try:
        return CONVERTERS[parameter](obj)
    except Fail as fail:
        if fail.type is TypeError:
            raise Fail(TypeError, f"argument '{parameter}': {fail.message}") from None
        raise


class Outcome:
    """How a call ended: `value`, or `error_type` with `message`."""

    def __init__(self, value=None, error_type=None, message=None):
        self.value = value
        self.error_type = error_type
        self.message = message

    def __repr__(self):
        if self.error_type is None:
            return f"returned {self.value!r}"
        return f"raised {self.error_type.__name__}({self.message!r})"


def outcome_of(call):
    try:
        return Outcome(value=call())
    except BaseException as error:  # noqa: B902 - PanicException derives from BaseException
        return Outcome(error_type=type(error), message=str(error))


def expected_outcome(name, first, second):
    """What pairfuse.<name>(first, second) must give, by the model."""
    p1, p2 = FUNCTIONS[name]
    try:
        a = convert(p1, first)
        b = convert(p2, second)
    except Fail as fail:
        return Outcome(error_type=fail.type, message=fail.message)
    # Converted faithfully, the call must act exactly as on the plain values.
    return outcome_of(lambda: getattr(pairfuse, name)(a, b))


def matches(expected, actual):
    if expected.error_type is None or actual.error_type is None:
        return expected.error_type is actual.error_type and expected.value == actual.value
    return expected.error_type is actual.error_type and expected.message in (None, actual.message)


# ---------------------------------------------------------------- unchanged arguments


def snapshot(obj):
    """Identity and contents of an argument, deep enough to see any change pairfuse could make."""
    if isinstance(obj, (list, tuple)):
        return (type(obj), id(obj), tuple(snapshot(item) for item in obj))
    if isinstance(obj, bytearray):
        return (bytearray, id(obj), bytes(obj))
    if isinstance(obj, HostileSeq):
        return (HostileSeq, id(obj), snapshot(obj.items), obj.reported_len, obj.fail_at)
    if isinstance(obj, Index):
        return (Index, id(obj), obj.value)
    if isinstance(obj, int):
        return (type(obj), int.__index__(obj))
    if isinstance(obj, (dict, set)):
        return (type(obj), id(obj), repr(obj))
    return (type(obj), id(obj))
