import gc
import os
import sys
import weakref

import numpy as np
import pytest
from safetensors.numpy import save_file

import varnelo_shard_engine as vse
from conftest import misaligned, sparse_safetensors

D = 8
rng = np.random.default_rng(11)


def write_shard(base_dir, shard_id, **tensors):
    os.makedirs(base_dir, exist_ok=True)
    save_file(tensors, os.path.join(base_dir, f"shard_{shard_id}.safetensors"))


def lay_out(docs):
    """The documents' rows back to back, and each one's [start, end)."""
    rows = np.concatenate([d for d in docs.values()]) if docs else np.zeros((0, D), np.float32)
    ends = np.cumsum([len(d) for d in docs.values()])
    return rows.astype(np.float32), (ends - [len(d) for d in docs.values()]).tolist(), ends.tolist()


def open_with(base_dir, docs, gpu_score_fn=None, shard_id=0):
    rows, starts, ends = lay_out(docs)
    write_shard(base_dir, shard_id, embeddings=rows)
    ix = vse.ShardIndex(base_dir, D, gpu_score_fn)
    ix.register_shard_docs(list(docs), [shard_id] * len(docs), starts, ends)
    return ix


def maxsim64(q, d):
    if len(q) == 0 or len(d) == 0:
        return 0.0
    return float((q.astype(np.float64) @ d.astype(np.float64).T).max(axis=1).sum())


def test_scores_and_order_against_a_float64_reference(base_dir):
    docs = {int(i): rng.standard_normal((int(rng.integers(1, 40)), D)).astype(np.float32) for i in rng.choice(10**6, 60)}
    ix = open_with(base_dir, docs)
    q = rng.standard_normal((5, D)).astype(np.float32)
    want = {i: maxsim64(q, d) for i, d in docs.items()}
    ids, scores = ix.search(q, k=len(docs) + 5)
    assert ids.dtype == np.uint64 and scores.dtype == np.float32 and len(ids) == len(docs)
    assert ids.tolist() == sorted(want, key=lambda i: -want[i])
    np.testing.assert_allclose(scores, [want[i] for i in ids.tolist()], rtol=1e-5, atol=1e-5)
    top_ids, top_scores = ix.search(q, k=7)
    assert top_ids.tolist() == ids[:7].tolist() and top_scores.tolist() == scores[:7].tolist()
    ix.close()


def test_integer_data_is_exact_and_ties_go_to_smaller_ids(base_dir):
    # Small integers: every product and sum is exact, so the scores are the reference's bits.
    docs = {i: rng.integers(-3, 4, (int(rng.integers(1, 9)), D)).astype(np.float32) for i in range(30, 0, -1)}
    docs[100] = docs[5].copy()  # the same score as document 5
    docs[2] = docs[5][::-1].copy()
    ix = open_with(base_dir, docs)
    q = rng.integers(-3, 4, (3, D)).astype(np.float32)
    ids, scores = ix.search(q, k=100)
    ref = sorted(docs, key=lambda i: (-maxsim64(q, docs[i]), i))
    assert ids.tolist() == ref
    assert scores.tolist() == [maxsim64(q, docs[i]) for i in ref]
    pos = {i: p for p, i in enumerate(ids.tolist())}
    assert pos[2] < pos[5] < pos[100]
    ix.close()


def test_nan_never_wins_and_query_edges(base_dir):
    good = rng.standard_normal((3, D)).astype(np.float32)
    with_nan = np.vstack([np.full((1, D), np.nan, np.float32), good])
    docs = {1: good, 2: with_nan, 3: np.full((2, D), np.nan, np.float32), 4: np.zeros((0, D), np.float32)}
    ix = open_with(base_dir, docs)
    q = rng.standard_normal((4, D)).astype(np.float32)
    ids, scores = ix.search(q)
    s = dict(zip(ids.tolist(), scores.tolist()))
    assert s[1] == s[2]  # the NaN row of document 2 never beats a number
    assert s[3] == -np.inf  # every dot NaN: each query row contributes -inf
    assert s[4] == 0.0 and ids.tolist()[-1] == 3
    # No query rows: every gathered document scores +0.0; the k smallest ids come back.
    ids, scores = ix.search(np.zeros((0, D), np.float32), k=3)
    assert ids.tolist() == [1, 2, 3] and scores.tolist() == [0.0, 0.0, 0.0]
    assert [a.tolist() for a in ix.search(q, k=0)] == [[], []]
    ix.close()


def test_unreadable_documents_are_skipped(base_dir):
    good = rng.standard_normal((4, D)).astype(np.float32)
    write_shard(base_dir, 0, embeddings=good)
    write_shard(base_dir, 1, other=good)  # no "embeddings"
    write_shard(base_dir, 2, embeddings=good.astype(np.float64))  # not F32
    write_shard(base_dir, 3, embeddings=np.zeros((4, D + 1), np.float32))  # rows of another width
    write_shard(base_dir, 4, embeddings=np.zeros((8, D // 2), np.float32))  # same bytes, half the width
    ix = vse.ShardIndex(base_dir, D)
    ix.insert(50, good)  # no shard location
    ix.register_shard_docs(
        [1, 2, 3, 4, 5, 6, 7, 8],
        [0, 1, 2, 3, 4, 9, 0, 0],  # shard 9 does not exist
        [0, 0, 0, 0, 0, 0, 2, 3],
        [4, 4, 4, 4, 4, 4, 9, 2],  # out of range, reversed
    )
    ids, scores = ix.search(rng.standard_normal((2, D)).astype(np.float32))
    assert ids.tolist() == [1]
    ix.close()


def test_only_inserted_documents_give_empty_results(index):
    index.insert(1, np.ones((2, 4), np.float32))
    ids, scores = index.search(np.ones((1, 4), np.float32))
    assert (ids.dtype, scores.dtype, ids.shape, scores.shape) == (np.uint64, np.float32, (0,), (0,))


def test_a_misaligned_query_scores_as_an_aligned_one(base_dir):
    docs = {i: rng.standard_normal((3, D)).astype(np.float32) for i in range(5)}
    ix = open_with(base_dir, docs)
    q = rng.standard_normal((4, D)).astype(np.float32)
    got = [r.tolist() for r in ix.search(misaligned(q))]
    assert got == [r.tolist() for r in ix.search(q)]
    with pytest.raises(ValueError, match="^query must be contiguous$"):
        ix.search(misaligned(q.T).T)
    ix.close()


def test_argument_and_state_checks(base_dir):
    ix = vse.ShardIndex(base_dir, 4)
    with pytest.raises(ValueError, match=r"^query dim 3 != index dim 4$"):
        ix.search(np.zeros((2, 3), np.float32))
    with pytest.raises(ValueError, match="^query must be contiguous$"):
        ix.search(np.zeros((4, 6), np.float32).T[:, :4][:2])
    with pytest.raises(ValueError, match="^query must be contiguous$"):
        ix.search(np.asfortranarray(np.zeros((3, 4), np.float32)))
    with pytest.raises(TypeError, match="^argument 'query': "):
        ix.search(np.zeros((2, 4), np.float64))
    with pytest.raises(TypeError, match="^argument 'query': "):
        ix.search([[0.0] * 4])
    with pytest.raises(OverflowError):
        ix.search(np.zeros((1, 4), np.float32), k=-1)
    ix.close()
    with pytest.raises(RuntimeError, match="^ShardIndex is closed$"):
        ix.search(np.zeros((2, 3), np.float32))


# ---------------------------------------------------------------------------------------------
# The GPU callback


def test_callback_receives_copies_of_every_gathered_row(base_dir):
    docs = {7: rng.standard_normal((3, D)).astype(np.float32), 3: rng.standard_normal((2, D)).astype(np.float32)}
    seen = []

    def score(query, rows, doc_ids, offsets):
        seen.append((query.copy(), rows.copy(), doc_ids, offsets))
        rows[:] = 0  # a copy: scribbling on it changes nothing
        return [float(i) for i in doc_ids]

    ix = open_with(base_dir, docs, gpu_score_fn=score)
    q = rng.standard_normal((2, D)).astype(np.float32)
    ids, scores = ix.search(q, k=5)
    assert ids.tolist() == [7, 3] and scores.tolist() == [7.0, 3.0]
    query, rows, doc_ids, offsets = seen[0]
    assert query.dtype == np.float32 and np.array_equal(query, q)
    assert sorted(doc_ids) == [3, 7] and all(isinstance(o, tuple) for o in offsets)
    for i, (start, end) in zip(doc_ids, offsets):
        assert np.array_equal(rows[start:end], docs[i])
    assert offsets[0][0] == 0 and offsets[0][1] == offsets[1][0] and rows.shape == (5, D)
    ix.search(np.zeros((0, D), np.float32))
    assert seen[1][0].shape == (0, 0)
    ix.close()


def rss_anon():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("RssAnon:"))


def test_callback_rows_are_the_one_gathered_copy(base_dir):
    # The array the callback gets is the buffer the rows were gathered into, not a second copy of it:
    # 32 MB of rows must not cost 64 MB while the callback runs.
    rows = rng.standard_normal((1_000_000, D)).astype(np.float32)
    grown = []

    def score(query, docs, doc_ids, offsets):
        grown.append((rss_anon() - before) / docs.nbytes)
        return [0.0] * len(doc_ids)

    ix = open_with(base_dir, {i: rows[i * 1000:(i + 1) * 1000] for i in range(1000)}, gpu_score_fn=score)
    del rows
    before = rss_anon()
    ix.search(np.ones((4, D), np.float32))
    assert grown and grown[0] < 1.5, grown
    ix.close()


class Boom(Exception):
    pass


def raises(*_):
    raise Boom("from the callback")


@pytest.mark.parametrize(
    "answer",
    [
        lambda ids: [1.0] * (len(ids) - 1),  # one short
        lambda ids: [1.0] * (len(ids) + 1),
        lambda ids: "12",  # a str
        lambda ids: 3.0,  # not a sequence
        lambda ids: [1.0, "x", 2.0][: len(ids)],  # not a number
        None,  # the callable raises
        42,  # not callable at all
    ],
)
def test_callback_failures_score_everything_minus_inf(base_dir, answer):
    docs = {i: rng.standard_normal((2, D)).astype(np.float32) for i in (9, 4, 6)}
    if answer is None:
        fn = raises
    elif answer == 42:
        fn = 42
    else:
        fn = lambda q, rows, ids, offsets: answer(ids)  # noqa: E731
    ix = open_with(base_dir, docs, gpu_score_fn=fn)
    ids, scores = ix.search(rng.standard_normal((1, D)).astype(np.float32), k=2)
    assert ids.tolist() == [4, 6] and scores.tolist() == [-np.inf, -np.inf]
    assert sys.exc_info() == (None, None, None)
    ix.close()


def test_callback_answers_may_be_arrays_or_ints(base_dir):
    docs = {i: rng.standard_normal((2, D)).astype(np.float32) for i in (1, 2, 3)}
    answers = iter([lambda ids: np.array(ids, np.float32) * 2, lambda ids: [int(i) for i in ids]])
    ix = open_with(base_dir, docs, gpu_score_fn=lambda q, r, ids, o: next(answers)(ids))
    assert ix.search(np.ones((1, D), np.float32))[1].tolist() == [6.0, 4.0, 2.0]
    assert ix.search(np.ones((1, D), np.float32))[1].tolist() == [3.0, 2.0, 1.0]
    ix.close()


def test_callback_may_use_the_index_but_not_exclusively(base_dir):
    docs = {1: np.ones((1, D), np.float32), 2: np.ones((1, D), np.float32)}
    seen = {}

    def score(q, rows, ids, offsets):
        seen["count"] = ix.doc_count
        seen["contains"] = ix.contains(2)
        try:
            ix.close()
        except RuntimeError as e:
            seen["close"] = str(e)
        return [1.0] * len(ids)

    ix = open_with(base_dir, docs, gpu_score_fn=score)
    ix.search(np.ones((1, D), np.float32))
    assert seen == {"count": 2, "contains": True, "close": "Already borrowed"}
    ix.close()


def test_a_callback_that_refers_to_its_index_is_collected(base_dir):
    class Holder:
        def score(self, q, rows, ids, offsets):
            return [0.0] * len(ids)

    h = Holder()
    h.ix = vse.ShardIndex(base_dir, D, h.score)  # h -> index -> bound method -> h
    alive = weakref.ref(h)
    del h
    gc.collect()
    assert alive() is None


@pytest.mark.heavy
def test_a_gather_whose_size_does_not_fit(base_dir):
    # 2**23 documents each covering all 2**41 rows of a width-1 shard (a hole of 8 TiB), and one of
    # one row: 2**64 + 1 rows to gather for the callback, which must not wrap to a one-row buffer.
    # It fails as an allocation too large does, before anything is allocated or called.
    rows, n = 2**41, 2**23
    sparse_safetensors(os.path.join(base_dir, "shard_0.safetensors"), "embeddings", "F32", [rows, 1], 4)
    calls = []
    ix = vse.ShardIndex(base_dir, 1, lambda q, d, i, o: calls.append(len(i)) or [0.0] * len(i))
    ends = np.full(n + 1, rows, np.uint64)
    ends[n] = 1
    ix.register_shard_docs(np.arange(n + 1, dtype=np.uint64), np.zeros(n + 1, np.int64), np.zeros(n + 1, np.uint64), ends)
    with pytest.raises(MemoryError):
        ix.search(np.ones((1, 1), np.float32), 3)
    assert calls == []
    ix.close()
