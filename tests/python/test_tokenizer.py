"""pairfuse_tokenizer.Tokenizer: the module's results as typed arrays, merge files, streaming training."""
import array
import json
import logging
import pickle
import random
import threading

import pytest

import pairfuse
from pairfuse_testing import PanicException
from pairfuse_tokenizer import Tokenizer

try:
    import numpy
except ImportError:
    numpy = None

needs_numpy = pytest.mark.skipif(numpy is None, reason="NumPy is not installed")


def corpus(seed, count=60):
    rng = random.Random(seed)
    return [bytes(rng.choice(b"abcde ") for _ in range(rng.randrange(12))) for _ in range(count)]


CORPUS = corpus(0)
MERGES = pairfuse.fit_concurrent_py(CORPUS, 40)[1]
TOKENIZER = Tokenizer(MERGES)
ENCODED = pairfuse.encode_concurrent_py(CORPUS, MERGES)

# Each input kind pairfuse reads, made from a list of ints.
INPUT_KINDS = {
    "list": list,
    "bytes": lambda units: bytes(u % 256 for u in units),
    "array": lambda units: array.array("i", units),
    "memoryview": lambda units: memoryview(array.array("i", units)),
    "numpy int32": lambda units: numpy.array(units, dtype=numpy.int32),
    "numpy int64": lambda units: numpy.array(units, dtype=numpy.int64),
    "numpy uint8": lambda units: numpy.array([u % 256 for u in units], dtype=numpy.uint8),
}


def input_kinds():
    for name, make in INPUT_KINDS.items():
        yield pytest.param(make, id=name, marks=[needs_numpy] if name.startswith("numpy") else [])


def as_list(values):
    return [int(v) for v in values]


def check_units_array(values):
    if numpy is not None:
        assert isinstance(values, numpy.ndarray) and values.dtype == numpy.int32 and values.ndim == 1
    else:
        assert isinstance(values, array.array) and values.typecode == "i"


def split(values, offsets):
    check_units_array(values)
    if numpy is not None:
        assert offsets.dtype == numpy.int64
    else:
        assert offsets.typecode == "q"
    return [as_list(values[offsets[k] : offsets[k + 1]]) for k in range(len(offsets) - 1)]


@pytest.mark.parametrize("make", input_kinds())
def test_each_input_kind_encodes_and_decodes_as_the_module_does(make):
    for units, tokens in zip(CORPUS, ENCODED):
        expected = pairfuse.encode_py(make(list(units)), MERGES)
        encoded = TOKENIZER.encode(make(list(units)))
        check_units_array(encoded)
        assert as_list(encoded) == expected
        assert as_list(TOKENIZER.decode(make(tokens))) == pairfuse.decode_py(make(tokens), MERGES)
    batch = [make(list(units)) for units in CORPUS]
    assert split(*TOKENIZER.encode_batch(batch)) == pairfuse.encode_concurrent_py(batch, MERGES)
    tokens = [make(t) for t in ENCODED]
    assert split(*TOKENIZER.decode_batch(tokens)) == pairfuse.decode_concurrent_py(tokens, MERGES)


def test_empty_batch_and_empty_sequence():
    values, offsets = TOKENIZER.encode_batch([])
    assert (len(values), as_list(offsets)) == (0, [0])
    assert split(*TOKENIZER.encode_batch([b"", b"ab"])) == pairfuse.encode_concurrent_py([b"", b"ab"], MERGES)
    assert as_list(TOKENIZER.encode(b"")) == []


@pytest.mark.parametrize(
    "call, module_call",
    [
        (lambda: Tokenizer(5), lambda: pairfuse.encode_py([], 5)),
        (lambda: Tokenizer([((1, 2),)]), lambda: pairfuse.encode_py([], [((1, 2),)])),
        (lambda: Tokenizer([((1, 2**40), 3)]), lambda: pairfuse.encode_py([], [((1, 2**40), 3)])),
        (lambda: TOKENIZER.encode("ab"), lambda: pairfuse.encode_py("ab", MERGES)),
        (lambda: TOKENIZER.encode([1, None]), lambda: pairfuse.encode_py([1, None], MERGES)),
        (lambda: TOKENIZER.decode_batch([[2**31]]), lambda: pairfuse.decode_concurrent_py([[2**31]], MERGES)),
    ],
    ids=["not a list", "short entry", "id out of range", "str", "None unit", "unit out of range"],
)
def test_errors_are_the_modules(call, module_call):
    with pytest.raises(Exception) as expected:
        module_call()
    with pytest.raises(type(expected.value)) as raised:
        call()
    # The same message, naming this method's parameter instead of the module function's.
    assert str(raised.value).split(": ", 1)[-1] == str(expected.value).split(": ", 1)[-1]


def test_table_properties():
    tokenizer = Tokenizer([((1, 2), 300), ((302, 7), 301), ((1, 2), 302)])
    # A repeated pair keeps its first place and its last id, as pairfuse reads it.
    assert tokenizer.merges == [((1, 2), 302), ((302, 7), 301)]
    assert tokenizer.vocab_size == 303 and len(tokenizer) == 2
    assert as_list(tokenizer.expand(301)) == [1, 2, 7] and as_list(tokenizer.expand(9)) == [9]
    assert Tokenizer([]).vocab_size == 0
    assert TOKENIZER.vocab_size == max(max(l, r, i) for (l, r), i in MERGES) + 1
    with pytest.raises(AttributeError):
        tokenizer._table = None


def test_equality_hashing_and_pickling():
    same = Tokenizer([((l, r), i) for (l, r), i in MERGES])
    assert same == TOKENIZER and hash(same) == hash(TOKENIZER)
    assert Tokenizer(MERGES[:-1]) != TOKENIZER
    for protocol in (2, pickle.HIGHEST_PROTOCOL):
        copy = pickle.loads(pickle.dumps(TOKENIZER, protocol))
        assert copy == TOKENIZER and as_list(copy.encode(b"abc de")) == pairfuse.encode_py(b"abc de", MERGES)


def test_save_and_load_round_trip_in_the_tools_format(tmp_path):
    path = tmp_path / "merges.json"
    TOKENIZER.save(path)
    assert Tokenizer.load(path) == TOKENIZER
    assert [((l, r), i) for (l, r), i in json.loads(path.read_text())] == MERGES
    Tokenizer([]).save(str(path))
    assert path.read_text() == "[]\n" and Tokenizer.load(str(path)).merges == []
    assert [p.name for p in tmp_path.iterdir()] == ["merges.json"]


@pytest.mark.parametrize(
    "text, message",
    [
        ("[\n  [[1, 2], 3],\n  [[1, 2] 4]\n]", ":3:11: malformed merge file: "),
        ("", ":1:1: malformed merge file: "),
        (b"[\xff]", ": malformed merge file: not UTF-8 text"),
        ('{"a": 1}', ": malformed merge file: expected a list of merges [[left, right], id], found dict"),
        ("[[[1, 2], 3], [1, 2, 4]]", ": malformed merge file: merge 1: expected [[left, right], id], found [1, 2, 4]"),
        ("[[[1, 2.0], 3]]", ": malformed merge file: merge 0: expected an integer, found 2.0"),
        ("[[[1, true], 3]]", ": malformed merge file: merge 0: expected an integer, found true"),
        ("[[[1, 2], 2147483648]]", ": malformed merge file: merge 0: 2147483648 is outside the 32-bit range"),
    ],
    ids=["bad json", "empty", "not utf-8", "not a list", "wrong shape", "fraction", "bool", "out of range"],
)
def test_malformed_merge_files_name_the_file_and_the_place(tmp_path, text, message):
    path = tmp_path / "merges.json"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    with pytest.raises(ValueError) as raised:
        Tokenizer.load(path)
    assert str(raised.value).startswith(str(path) + message)


def stream(items, fail_at=None):
    for k, item in enumerate(items):
        if k == fail_at:
            raise RuntimeError("the stream broke")
        yield item


@pytest.mark.parametrize("seed", range(3))
def test_training_on_a_stream_equals_fit_concurrent_on_the_list(seed, monkeypatch):
    monkeypatch.setattr("pairfuse_tokenizer.TRAIN_CHUNK", 7)  # many chunks, repeats across them
    items = corpus(seed, 200) + [list(b"abc"), array.array("i", list(b"abc"))]
    expected = pairfuse.fit_concurrent_py(items, 30)[1]
    assert Tokenizer.train(stream(items), 30).merges == expected


@pytest.mark.parametrize(
    "items, vocab_size",
    [
        ([b"ab", "ab"], 300),
        ([b"ab", [1, None]], 300),
        ([b"ab", [2**31]], 300),
        ([b"ab"], 1),
        ([], 300),
    ],
    ids=["str item", "None unit", "unit out of range", "vocab too small", "no units"],
)
def test_training_errors_are_fit_concurrents(items, vocab_size):
    with pytest.raises(BaseException) as expected:
        pairfuse.fit_concurrent_py(items, vocab_size)
    with pytest.raises(type(expected.value)) as raised:
        Tokenizer.train(stream(items), vocab_size)
    assert str(raised.value) == str(expected.value)


def test_training_stops_at_a_failing_stream_and_at_bad_settings():
    with pytest.raises(RuntimeError, match="the stream broke"):
        Tokenizer.train(stream(CORPUS, fail_at=30), 40)
    with pytest.raises(ValueError, match="max_token_length must be at least 1"):
        Tokenizer.train(stream(CORPUS), 40, max_token_length=0)
    with pytest.raises(PanicException):
        Tokenizer.train([b"a"], 0)


@pytest.mark.parametrize("cap", [1, 2, 3, 5])
def test_length_cap_bounds_every_token(cap):
    # The engine's cap is checked against the literal trainer natively; here,
    # that the keyword reaches it: no token beyond the cap, and a cap no
    # token reaches changes nothing.
    capped = Tokenizer.train(stream(CORPUS), 60, max_token_length=cap)
    assert all(len(capped.expand(id)) <= cap for _, id in capped.merges)
    assert (len(capped.merges) == 0) == (cap == 1)
    assert Tokenizer.train(stream(CORPUS), 60, max_token_length=10**6) == Tokenizer.train(stream(CORPUS), 60)


def test_training_progress_and_records(caplog, capsys):
    with caplog.at_level(logging.INFO, logger="pairfuse_tokenizer"):
        tokenizer = Tokenizer.train(stream(CORPUS), 40, progress=True)
    assert tokenizer.merges == MERGES
    messages = [r.getMessage() for r in caplog.records if r.name == "pairfuse_tokenizer"]
    assert messages[0] == f"Performing {40 - len(set(b''.join(CORPUS)))} merges."
    assert "merging" in capsys.readouterr().err


def test_two_threads_give_the_results_of_one():
    pieces = [bytes(random.Random(k).choice(b"abcde ") for _ in range(4000)) for k in range(8)]
    expected = [as_list(TOKENIZER.encode(p)) for p in pieces]
    results = {}

    def work(name):
        results[name] = [as_list(TOKENIZER.encode(p)) for p in pieces for _ in range(5)][::5]

    threads = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {0: expected, 1: expected}
