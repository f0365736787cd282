"""What the six functions compute, seen from Python."""
import random

import pytest

import pairfuse

TEXT = list(b"the quick brown fox jumps over the lazy dog; the dog sleeps, the fox runs. " * 6)


def random_corpus(seed, sequences=6, length=60, alphabet=8):
    rng = random.Random(seed)
    return [[rng.randrange(-3, alphabet) for _ in range(rng.randrange(length))] for _ in range(sequences)]


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: pairfuse.fit_py([1, 2, 1, 2, 3], 4), ([4, 4, 3], [((1, 2), 4)])),
        (lambda: pairfuse.fit_py([-5, -3, -5, -3], 3), ([-2, -2], [((-5, -3), -2)])),
        (lambda: pairfuse.fit_py([7], 2), ([7], [])),
        (lambda: pairfuse.fit_concurrent_py([[1, 2], [1, 2], [2, 3]], 4), ([[4], [4], [2, 3]], [((1, 2), 4)])),
        (lambda: pairfuse.fit_concurrent_py([[0, 10], [], [0, 10]], 3), ([[11], [], [11]], [((0, 10), 11)])),
        (lambda: pairfuse.encode_py([3, 4, 1, 2], [((1, 2), 10), ((3, 4), 11)]), [11, 10]),
        (lambda: pairfuse.encode_py([], [((1, 2), 3)]), []),
        (lambda: pairfuse.decode_py([4, 4, 3], [((1, 2), 4)]), [1, 2, 1, 2, 3]),
        # A repeated id decodes to the pair given last.
        (lambda: pairfuse.decode_py([5], [((1, 2), 5), ((3, 4), 5)]), [3, 4]),
        (lambda: pairfuse.encode_concurrent_py([[1, 2, 1, 2, 3], [3, 1, 2], [5], []], [((1, 2), 4)]), [[4, 4, 3], [3, 4], [5], []]),
        (lambda: pairfuse.decode_concurrent_py([[4, 4, 3], [3, 4], [5], []], [((1, 2), 4)]), [[1, 2, 1, 2, 3], [3, 1, 2], [5], []]),
        (lambda: pairfuse.encode_concurrent_py([], [((1, 2), 4)]), []),
        (lambda: pairfuse.decode_concurrent_py([], []), []),
    ],
)
def test_examples(call, expected):
    assert call() == expected


def test_ties_are_broken_by_the_smallest_pair():
    assert pairfuse.fit_py([1, 2, 3], 4) == ([4, 3], [((1, 2), 4)])
    assert pairfuse.fit_concurrent_py([[3, 4], [1, 2]], 5) == ([[3, 4], [5]], [((1, 2), 5)])


def test_merge_list_comes_in_learning_order():
    _, merges = pairfuse.fit_py(TEXT, 60)
    ids = [new_id for _, new_id in merges]
    assert ids == list(range(max(TEXT) + 1, max(TEXT) + 1 + len(merges)))
    assert len(merges) == 60 - len(set(TEXT))


@pytest.mark.parametrize("seed", range(4))
def test_training_round_trips(seed):
    corpus = random_corpus(seed)
    flat = [unit for sequence in corpus for unit in sequence]
    sequence, merges = pairfuse.fit_py(flat, len(set(flat)) + 12)
    assert pairfuse.decode_py(sequence, merges) == flat
    assert pairfuse.encode_py(flat, merges) == sequence
    # The merge list is accepted back in any order.
    shuffled = list(reversed(merges))
    assert pairfuse.encode_py(flat, shuffled) == sequence

    sequences, batch_merges = pairfuse.fit_concurrent_py(corpus, len(set(flat)) + 12)
    assert len(sequences) == len(corpus)
    assert pairfuse.decode_concurrent_py(sequences, batch_merges) == corpus
    assert pairfuse.encode_concurrent_py(corpus, batch_merges) == sequences


@pytest.mark.parametrize("seed", range(3))
def test_batch_functions_agree_with_the_sequential_ones(seed):
    corpus = random_corpus(100 + seed)
    flat = [unit for sequence in corpus for unit in sequence]
    target = len(set(flat)) + 10
    assert pairfuse.fit_concurrent_py([flat], target) == ([pairfuse.fit_py(flat, target)[0]], pairfuse.fit_py(flat, target)[1])

    _, merges = pairfuse.fit_py(flat, target)
    encoded = pairfuse.encode_concurrent_py(corpus, merges)
    assert encoded == [pairfuse.encode_py(sequence, merges) for sequence in corpus]
    assert pairfuse.decode_concurrent_py(encoded, merges) == [pairfuse.decode_py(s, merges) for s in encoded]


def test_training_stops_when_no_pair_is_left():
    assert pairfuse.fit_py([1, 2, 1, 2, 3], 2**64 - 1) == ([6], [((1, 2), 4), ((4, 3), 5), ((4, 5), 6)])
    assert pairfuse.fit_concurrent_py([[1], [2]], 3) == ([[1], [2]], [])


@pytest.mark.parametrize(
    "units, target, expected",
    [
        ([2147483647], 5, ([2147483647], [])),
        ([2147483646, 2147483645], 5, ([2147483647], [((2147483646, 2147483645), 2147483647)])),
        ([-(2**31), -(2**31)], 2, ([-(2**31) + 1], [((-(2**31), -(2**31)), -(2**31) + 1)])),
    ],
)
def test_ids_at_the_32_bit_limits(units, target, expected):
    assert pairfuse.fit_py(units, target) == expected
    sequence, merges = expected
    assert pairfuse.decode_py(sequence, merges) == units


# Repeated sequences are worked on once; every position must still get a list
# of its own, or mutating one result would change its repeats. Wide ids and
# byte values take different building paths on PyPy.
@pytest.mark.parametrize("batch_call", [
    lambda batch: pairfuse.fit_concurrent_py(batch, 300)[0],
    lambda batch: pairfuse.encode_concurrent_py(batch, [((1, 2), 1000), ((3, 4), 1001)]),
    lambda batch: pairfuse.decode_concurrent_py(batch, [((1, 2), 1000)]),
    lambda batch: pairfuse.decode_concurrent_py(batch, [((1, 2), 200)]),
])
@pytest.mark.parametrize("kind", [bytes, list])
def test_repeated_sequences_get_lists_of_their_own(batch_call, kind):
    batch = [kind([1, 2, 3, 4, 1, 2]), kind([5, 6])] * 40 + [kind([1, 2, 3, 4, 1, 2])]
    results = batch_call(batch)
    assert len({id(r) for r in results}) == len(results)
    expected = [list(r) for r in results]
    results[0].append(-1)
    results[1].clear()
    assert [list(r) for r in results[2:]] == expected[2:]
