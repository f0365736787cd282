"""Binding of positional and keyword arguments to the two parameters."""
import pytest

import pairfuse

# Each function with its parameters and a valid value for each.
FUNCTIONS = [
    ("fit_py", "units", "target_vocab_size", [1, 2, 1], 3),
    ("fit_concurrent_py", "units_list", "target_vocab_size", [[1, 2, 1]], 3),
    ("encode_py", "units", "merges", [1, 2], [((1, 2), 3)]),
    ("encode_concurrent_py", "units_list", "merges", [[1, 2]], [((1, 2), 3)]),
    ("decode_py", "units", "merges", [3], [((1, 2), 3)]),
    ("decode_concurrent_py", "units_list", "merges", [[3]], [((1, 2), 3)]),
]


def bad_calls(name, first, second, a, b):
    yield (), {}, f"{name}() missing 2 required positional arguments: '{first}' and '{second}'"
    yield (a,), {}, f"{name}() missing 1 required positional argument: '{second}'"
    yield (), {second: b}, f"{name}() missing 1 required positional argument: '{first}'"
    yield (), {first: a}, f"{name}() missing 1 required positional argument: '{second}'"
    yield (a, b, a), {}, f"{name}() takes 2 positional arguments but 3 were given"
    yield (a, b, a, b), {}, f"{name}() takes 2 positional arguments but 4 were given"
    # Too many positional values is found before any keyword is looked at.
    yield (a, b, a), {"extra": 1}, f"{name}() takes 2 positional arguments but 3 were given"
    yield (a,), {first: a}, f"{name}() got multiple values for argument '{first}'"
    yield (a, b), {second: b}, f"{name}() got multiple values for argument '{second}'"
    yield (a, b), {"extra": 1}, f"{name}() got an unexpected keyword argument 'extra'"
    # Names match exactly, case included.
    yield (a,), {first.upper(): b}, f"{name}() got an unexpected keyword argument '{first.upper()}'"
    # The first offending keyword, in call order, decides.
    yield (a,), {"extra": 1, first: a}, f"{name}() got an unexpected keyword argument 'extra'"
    yield (a,), {first: a, "extra": 1}, f"{name}() got multiple values for argument '{first}'"
    # Binding comes before conversion, so bad values do not matter yet.
    yield ("not units",), {"extra": 1}, f"{name}() got an unexpected keyword argument 'extra'"


BAD_CALLS = [
    pytest.param(name, args, kwargs, message, id=f"{name}-{i}")
    for name, first, second, a, b in FUNCTIONS
    for i, (args, kwargs, message) in enumerate(bad_calls(name, first, second, a, b))
]


@pytest.mark.parametrize("name, args, kwargs, message", BAD_CALLS)
def test_binding_error(name, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        getattr(pairfuse, name)(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)


@pytest.mark.parametrize("name, first, second, a, b", FUNCTIONS)
def test_parameters_bind_by_position_or_keyword_in_any_order(name, first, second, a, b):
    function = getattr(pairfuse, name)
    expected = function(a, b)
    assert function(a, **{second: b}) == expected
    assert function(**{first: a, second: b}) == expected
    assert function(**{second: b, first: a}) == expected
