"""pairfuse_dask on a real cluster of worker processes: the same results and errors as pairfuse in one process."""
import array
import logging
import os
import random

import pytest

import pairfuse
from pairfuse_testing import PanicException

if os.environ.get("PAIRFUSE_SANITIZED") == "1":
    # The workers would be sanitized interpreters too; test_weighted.py runs
    # the native part of pairfuse_dask under the sanitizers.
    pytest.skip("cluster tests do not run under the sanitizers", allow_module_level=True)
distributed = pytest.importorskip("distributed")
np = pytest.importorskip("numpy")
import dask  # noqa: E402
import dask.bag as db  # noqa: E402

import pairfuse_dask  # noqa: E402
from pairfuse_tokenizer import Tokenizer  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=logging.CRITICAL
    ) as cluster, distributed.Client(cluster) as client:
        yield client


KINDS = [bytes, list, tuple, lambda s: array.array("i", s), lambda s: np.array(s, dtype=">i8")]


def mixed_items(seed, count=300, distinct=40, wide=False):
    """Sequences drawn with repeats from a few distinct ones, each given as any kind pairfuse reads."""
    rng = random.Random(seed)
    top = 1000 if wide else 256
    pool = [[rng.randrange(0, 6) if rng.random() < 0.9 else rng.randrange(top) for _ in range(rng.randrange(9))]
            for _ in range(distinct)]
    if wide:
        pool.append([-7, 2**24, -7, 2**24])
    kinds = KINDS[1:] if wide else KINDS  # bytes hold 0..255 only
    return [rng.choice(kinds)(rng.choice(pool)) for _ in range(count)]


def from_chunks(items, cuts):
    """A bag cut into partitions at the given fractions of the items, in order (equal cuts: empty partitions)."""
    bounds = [0] + [round(cut * len(items)) for cut in cuts] + [len(items)]
    return db.from_delayed([dask.delayed(list)(items[a:b]) for a, b in zip(bounds, bounds[1:])])


ITEMS = mixed_items(1)
PARTITIONINGS = {
    "one partition": lambda items: db.from_sequence(items, npartitions=1),
    "one item per partition, pairwise reduction": lambda items: db.from_sequence(items, partition_size=1),
    "empty partitions around and between": lambda items: from_chunks(items, [0, 0.3, 0.3, 0.3, 0.8, 1]),
    "lazy partitions after a map": lambda items: db.from_sequence(items, npartitions=5).map(lambda s: s),
}


@pytest.mark.parametrize("split_every", [None, 2])
@pytest.mark.parametrize("partitioning", PARTITIONINGS)
@pytest.mark.parametrize(
    "items",
    [ITEMS, mixed_items(2, wide=True), [b"ab"] * 200 + [[97, 98]] * 200 + [b"", [], ()] * 10],
    ids=["mixed kinds", "wide units", "heavy repetition and empty sequences"],
)
def test_fit_equals_training_in_one_process(client, items, partitioning, split_every):
    target = len({u for s in items for u in list(s)}) + 40
    expected = pairfuse.fit_concurrent_py(items, target)[1]
    assert pairfuse_dask.fit(PARTITIONINGS[partitioning](items), target, split_every=split_every) == expected


def test_fit_caps_token_length_as_the_tokenizer_does(client):
    target = len({u for s in ITEMS for u in list(s)}) + 40
    expected = Tokenizer.train(ITEMS, target, max_token_length=2).merges
    assert pairfuse_dask.fit(from_chunks(ITEMS, [0.4, 0.4]), target, max_token_length=2) == expected


def test_fit_encode_encode_and_decode_equal_the_single_process_calls(client):
    units_list, merges = pairfuse.fit_concurrent_py(ITEMS, 150)
    bag = from_chunks(ITEMS, [0.4, 0.4])
    encoded, fitted = pairfuse_dask.fit_encode(bag, 150)
    assert fitted == merges
    assert encoded.compute() == units_list == pairfuse_dask.encode(bag, merges).compute()
    decoded = pairfuse_dask.decode(db.from_sequence(units_list, npartitions=7), merges).compute()
    assert decoded == pairfuse.decode_concurrent_py(units_list, merges)


def test_calls_in_a_row_with_one_table_all_complete(client):
    # Each call scatters the table while the scheduler may still be
    # forgetting the previous call's copy; they used to be cancelled.
    merges = pairfuse.fit_concurrent_py(ITEMS, 150)[1]
    expected = pairfuse.encode_concurrent_py(ITEMS, merges)
    for _ in range(10):
        assert pairfuse_dask.encode(db.from_sequence(ITEMS, npartitions=4), merges).compute() == expected


def test_merge_table_is_one_scattered_object_not_a_copy_per_task(client):
    merges = pairfuse.fit_concurrent_py(ITEMS, 150)[1]
    graph = dict(pairfuse_dask.encode(db.from_sequence(ITEMS, npartitions=6), merges).__dask_graph__())
    tasks = [task for key, task in graph.items() if "pairfuse-encode" in str(key)]
    assert len(tasks) == 6
    assert all(merges not in task for task in tasks)
    assert all(isinstance(task[-1], distributed.Future) for task in tasks)


BAD_ITEMS = [b"ab"] * 30 + ["text"] + [[1, 2]] * 30
OUT_OF_RANGE = [[1, 2]] * 9 + [[2**31]]
# (single-process call, the same on the cluster); engine errors of tasks whose
# result the caller computes arrive as WorkerPanicException (see its docstring).
FAILURES = {
    "str item in fit": (lambda: pairfuse.fit_concurrent_py(BAD_ITEMS, 300),
                        lambda: pairfuse_dask.fit(db.from_sequence(BAD_ITEMS, npartitions=4), 300)),
    "unit out of range in fit": (lambda: pairfuse.fit_concurrent_py(OUT_OF_RANGE, 300),
                                 lambda: pairfuse_dask.fit(db.from_sequence(OUT_OF_RANGE, npartitions=3), 300)),
    "float unit in encode": (lambda: pairfuse.encode_concurrent_py([[1, 2]] * 9 + [[1.5]], []),
                             lambda: pairfuse_dask.encode(db.from_sequence([[1, 2]] * 9 + [[1.5]], npartitions=3), []).compute()),
    "target not above the units": (lambda: pairfuse.fit_concurrent_py(ITEMS, 3),
                                   lambda: pairfuse_dask.fit(db.from_sequence(ITEMS, npartitions=3), 3)),
    "empty input": (lambda: pairfuse.fit_concurrent_py([], 300),
                    lambda: pairfuse_dask.fit_encode(from_chunks([], [0]), 300)),
    "cycle in decode": (lambda: pairfuse.decode_concurrent_py([[1, 5]], [((1, 2), 1)]),
                        lambda: pairfuse_dask.decode(db.from_sequence([[1, 5]]), [((1, 2), 1)]).compute()),
    "negative target": (lambda: pairfuse.fit_concurrent_py([], -1),
                        lambda: pairfuse_dask.fit(db.from_sequence(ITEMS), -1)),
    "bad merge table": (lambda: pairfuse.encode_concurrent_py([], [((1, 2, 3), 4)]),
                        lambda: pairfuse_dask.encode(db.from_sequence(ITEMS), [((1, 2, 3), 4)])),
}


@pytest.mark.parametrize("failure", FAILURES)
def test_errors_reach_the_client_as_in_one_process(client, failure):
    single, on_cluster = FAILURES[failure]
    with pytest.raises(BaseException) as expected:
        single()
    with pytest.raises(BaseException) as caught:
        on_cluster()
    assert str(caught.value) == str(expected.value)
    if failure == "cycle in decode":
        assert type(caught.value) is pairfuse_dask.WorkerPanicException
        assert isinstance(caught.value, PanicException)
    else:
        assert type(caught.value) is type(expected.value)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: pairfuse_dask.fit([[1, 2]], 5), "fit() expects a dask.bag.Bag of unit sequences, got 'list'"),
        (lambda: pairfuse_dask.decode(None, []), "decode() expects a dask.bag.Bag of unit sequences, got 'NoneType'"),
        (lambda: pairfuse_dask.fit(db.from_sequence([[1]]), 5, split_every=1), "split_every must be None or an int of at least 2, got 1"),
        (lambda: pairfuse_dask.fit(db.from_sequence([[1]]), 5, max_token_length=0), "max_token_length must be at least 1"),
    ],
)
def test_misuse_fails_on_the_client_with_a_clear_message(call, message):
    with pytest.raises((TypeError, ValueError)) as caught:
        call()
    assert str(caught.value) == message


def test_encoding_completes_when_a_worker_dies_mid_job(client, tmp_path):
    units_list, merges = pairfuse.fit_concurrent_py(ITEMS, 150)
    marker = str(tmp_path / "a worker died")

    def die_once(partition):
        # The first task to get here ends its worker process; Dask starts a
        # new worker and runs the lost tasks again.
        try:
            os.close(os.open(marker, os.O_CREAT | os.O_EXCL))
        except FileExistsError:
            return partition
        os._exit(1)

    bag = db.from_sequence(ITEMS, npartitions=8).map_partitions(die_once)
    assert pairfuse_dask.encode(bag, merges).compute() == units_list
    assert os.path.exists(marker)
