"""pairfuse_dask._engine: training on sequences with counts, as on their repetitions."""
import logging
import random

import pytest

import pairfuse
from pairfuse_testing import Index, PanicException, run_python
from pairfuse_tokenizer import Tokenizer

pytest.importorskip("dask.bag")
from pairfuse_dask._engine import decode_concurrent, encode_concurrent, fit_weighted  # noqa: E402


def weighted_corpus(seed):
    rng = random.Random(seed)
    distinct = [[rng.randrange(-3, 6) for _ in range(rng.randrange(12))] for _ in range(8)]
    # Repeats among the given sequences must add up, like distinct ones.
    sequences = [rng.choice(distinct) for _ in range(14)]
    counts = [rng.choice([1, 1, 2, 7, 40]) for _ in sequences]
    return sequences, counts


@pytest.mark.parametrize("seed", range(6))
def test_merges_and_rewrite_equal_training_on_the_repetitions(seed):
    sequences, counts = weighted_corpus(seed)
    expanded = [s for s, n in zip(sequences, counts) for _ in range(n)]
    target = len({u for s in sequences for u in s}) + 15
    units_list, merges = pairfuse.fit_concurrent_py(expanded, target)
    assert fit_weighted(sequences, counts, target) == merges
    first_copy = [sum(counts[:k]) for k in range(len(sequences))]
    assert fit_weighted(sequences, counts, target, rewrite=True) == ([units_list[i] for i in first_copy], merges)
    # A length cap as the tokenizer's training applies it to the same stream.
    capped = fit_weighted(sequences, counts, target, max_token_length=3)
    assert capped == Tokenizer.train(expanded, target, max_token_length=3).merges


def test_counts_may_be_index_objects_and_sequences_any_kind_pairfuse_reads():
    merges = [((98, 99), 100), ((97, 98), 101)]
    assert fit_weighted((b"ab", (97, 98), [98, 99]), [Index(2), True, 2**61], 100) == merges


TOO_MANY = "the sum of count * len(sequence) (an empty sequence counting 1) is above 2**63-1"


@pytest.mark.parametrize(
    "sequences, counts, error, message",
    [
        ([[1, 2]], [0], ValueError, "counts[0] must be between 1 and 2**63-1, got 0"),
        ([[1, 2], [2, 3]], [1, -4], ValueError, "counts[1] must be between 1 and 2**63-1, got -4"),
        ([[1, 2]], [2**63], ValueError, f"counts[0] must be between 1 and 2**63-1, got {2**63}"),
        ([[1, 2]], [Index(-2**70)], ValueError, f"counts[0] must be between 1 and 2**63-1, got {-2**70}"),
        ([[1, 2]], [1.0], TypeError, "argument 'counts': 'float' object cannot be interpreted as an integer"),
        ([[1, 2]], {1}, TypeError, "argument 'counts': 'set' object cannot be converted to 'Sequence'"),
        ([[1, 2]], [1, 1], ValueError, "sequences and counts differ in length: 1 and 2"),
        ([[1, 2], [3]], [1], ValueError, "sequences and counts differ in length: 2 and 1"),
        # Each product fits in 64 bits; their sum does not.
        ([[1, 2], [3]], [2**62, 2**62], ValueError, TOO_MANY),
        ([[1] * 4], [2**61], ValueError, TOO_MANY),
        ([[], [1]], [2**63 - 1, 1], ValueError, TOO_MANY),
        (["ab"], [1], TypeError, "argument 'sequences': Can't extract `str` to `Vec`"),
    ],
)
def test_bad_arguments_fail_before_any_work(sequences, counts, error, message):
    with pytest.raises(error) as caught:
        fit_weighted(sequences, counts, 5)
    assert str(caught.value) == message


def test_rewrite_must_be_a_bool_given_by_keyword():
    with pytest.raises(TypeError, match="'int' object cannot be converted to 'PyBool'"):
        fit_weighted([[1, 2]], [1], 5, rewrite=1)
    with pytest.raises(TypeError):
        fit_weighted([[1, 2]], [1], 5, True)


def test_engine_errors_raise_pairfuse_panic_exception():
    with pytest.raises(PanicException, match="must be greater than the initial vocab size"):
        fit_weighted([[1, 2, 3]], [5], 2)
    with pytest.raises(PanicException) as caught:
        fit_weighted([], [], 5)
    assert type(caught.value) is PanicException


@pytest.mark.parametrize("first", ["pairfuse", "pairfuse_dask"])
def test_both_modules_share_one_panic_exception_whichever_makes_it(first):
    # A fresh process, so that the module named first creates the type.
    provoke = {
        "pairfuse": "pairfuse.fit_py([], 5)",
        "pairfuse_dask": "pairfuse_dask._engine.fit_weighted([], [], 5)",
    }
    second = "pairfuse_dask" if first == "pairfuse" else "pairfuse"
    result = run_python(
        "import pairfuse, pairfuse_dask._engine\n"
        "def caught(code):\n"
        "    try:\n"
        "        exec(code)\n"
        "    except BaseException as error:\n"
        "        return type(error)\n"
        f"a = caught({provoke[first]!r})\n"
        f"b = caught({provoke[second]!r})\n"
        "print(a is b is pairfuse_dask._engine.PanicException, a.__module__, a.__name__)\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "pyo3_runtime", "PanicException"]


@pytest.mark.parametrize("level", [logging.INFO, logging.DEBUG])
def test_training_progress_goes_to_the_pairfuse_dask_logger(caplog, level):
    sequences, counts = weighted_corpus(0)
    planned = 1000 - len({u for s in sequences for u in s})
    with caplog.at_level(level, logger="pairfuse_dask"):
        merges = fit_weighted(sequences, counts, 1000)
    assert len(merges) < planned  # so that training ends for lack of pairs
    # The plan, every hundredth merge and the end at INFO; every merge at DEBUG.
    expected = [(logging.INFO, f"Performing {planned} merges.")]
    for step, ((left, right), new_id) in enumerate(merges, 1):
        merge_level = logging.INFO if step % (planned // 100) == 0 else logging.DEBUG
        expected.append((merge_level, f"Merge {step}/{planned}: ({left}, {right}) -> {new_id}"))
    expected.append((logging.INFO, "No pairs to merge."))
    records = [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "pairfuse_dask"]
    assert records == [(lv, message) for lv, message in expected if lv >= level]


def test_an_error_raised_while_logging_ends_training_and_reaches_the_caller():
    class Stop(Exception):
        pass

    def stop_at_the_third_merge(record):
        if record.getMessage().startswith("Merge 3/"):
            raise Stop("stopped")
        return True

    logger = logging.getLogger("pairfuse_dask")
    level = logger.level
    logger.addFilter(stop_at_the_third_merge)
    logger.setLevel(logging.DEBUG)
    try:
        with pytest.raises(Stop):
            fit_weighted(*weighted_corpus(1), 1000)
    finally:
        logger.removeFilter(stop_at_the_third_merge)
        logger.setLevel(level)
    assert fit_weighted([[1, 2]], [1], 5) == [((1, 2), 3)]


MERGES = [((1, 2), 7), ((7, 3), 8)]
BATCH_CALLS = {  # (units_list, merges) for both calls
    "mixed kinds": ([b"\x01\x02\x03", [7, 3, 1, 2], (), range(1, 4)], MERGES),
    "bad item": ([[1, 2], "text"], MERGES),
    "unit out of range": ([[1, 2], [2**31]], MERGES),
    "bad merge table": ([[1, 2]], [((1, 2, 3), 4)]),
    "cycle": ([[1, 5]], [((1, 2), 1)]),
    "keywords": ({"units_list": [[1, 2, 3]], "merges": MERGES}, None),
}


def outcome(call, units_list, merges):
    try:
        if merges is None:
            return call(**units_list)
        return call(units_list, merges)
    except BaseException as error:
        return type(error), str(error)


@pytest.mark.parametrize("case", BATCH_CALLS)
@pytest.mark.parametrize(
    "ours, theirs",
    [(encode_concurrent, pairfuse.encode_concurrent_py), (decode_concurrent, pairfuse.decode_concurrent_py)],
    ids=["encode", "decode"],
)
def test_batch_calls_give_pairfuses_results_and_errors(case, ours, theirs):
    assert outcome(ours, *BATCH_CALLS[case]) == outcome(theirs, *BATCH_CALLS[case])
