import numpy as np
import pytest

import varnelo_shard_engine as vse
from conftest import misaligned

D = 8
rng = np.random.default_rng(5)
NOT_LOADED = "^doc_means not loaded \u2014 call set_doc_means first$"


@pytest.fixture
def ix(tmp_path):
    index = vse.ShardIndex(str(tmp_path / "ix"), D)
    yield index
    index.close()


def reference(q, means, ids):
    """(id, score) best first: the maximum query-row dot in float64, ties by ascending id."""
    s = (q.astype(np.float64) @ means.astype(np.float64).T).max(axis=0)
    return sorted(zip(ids, s.tolist()), key=lambda p: (-p[1], p[0]))


def test_scores_every_mean_row_exactly_on_integer_data(ix):
    means = rng.integers(-4, 5, (300, D)).astype(np.float32)
    ids = rng.permutation(10**6)[:300].tolist()
    ix.set_doc_means(means, ids)
    q = rng.integers(-4, 5, (5, D)).astype(np.float32)
    want = reference(q, means, ids)
    for n_full in (1, 17, 300, 4096):
        got_ids, got = ix.proxy_score(q, n_full=n_full)
        assert got_ids.dtype == np.uint64 and got.dtype == np.float32
        assert list(zip(got_ids.tolist(), got.tolist())) == want[:n_full]
    assert ix.proxy_score(q, candidate_ids=[])[0].tolist() == [i for i, _ in want]


def test_float_scores_match_a_float64_reference(ix):
    means = rng.standard_normal((1000, D)).astype(np.float32)
    ix.set_doc_means(means, range(1000))
    q = rng.standard_normal((9, D)).astype(np.float32)
    got_ids, got = ix.proxy_score(q, n_full=50)
    want = reference(q, means, list(range(1000)))[:50]
    assert got_ids.tolist() == [i for i, _ in want]
    np.testing.assert_allclose(got, [s for _, s in want], rtol=1e-5, atol=1e-6)


def test_misaligned_arrays_score_as_aligned_ones(ix):
    means = rng.integers(-4, 5, (40, D)).astype(np.float32)
    ids = np.arange(100, 140, dtype=np.uint64)
    q = rng.integers(-4, 5, (3, D)).astype(np.float32)
    candidates = np.array([101, 120, 139], np.int64)
    results = []
    for make in (np.ascontiguousarray, misaligned):
        ix.set_doc_means(make(means), make(ids))
        results.append([r.tolist() for r in ix.proxy_score(make(q)) + ix.proxy_score(make(q), make(candidates))])
    assert results[0] == results[1]
    assert results[0][2] == [i for i, _ in reference(q, means[[1, 20, 39]], [101, 120, 139])]


def test_candidates_filter_mean_rows(ix):
    means = np.arange(6 * D, dtype=np.float32).reshape(6, D)
    ix.set_doc_means(means, [10, 11, 12, 11, 13, 14])  # id 11 carries two rows
    q = np.ones((2, D), np.float32)
    ids, scores = ix.proxy_score(q, candidate_ids=[11, 13, 11, 99])
    assert ids.tolist() == [13, 11, 11]  # a repeated candidate counts once; 99 has no row
    assert scores.tolist() == [means[4].sum(), means[3].sum(), means[1].sum()]
    ids, _ = ix.proxy_score(q, candidate_ids=np.array([99, 98], np.uint64))
    assert ids.tolist() == []


def test_order_of_zeros_and_nan_documents(ix):
    # A query of tiny values: rows of zeros give +0.0, rows of tiny negatives -0.0 (the products
    # round to zero), a row with a NaN only NaN dots.
    means = np.array([[-1e-30] * D, [0.0] * D, [np.nan] + [1.0] * (D - 1), [-1.0] * D], np.float32)
    ix.set_doc_means(means, [1, 2, 3, 4])
    ids, scores = ix.proxy_score(np.full((3, D), 1e-30, np.float32))
    assert ids.tolist() == [2, 1, 4, 3]
    assert np.signbit(scores[:2]).tolist() == [False, True]
    assert scores[3] == -np.inf


def test_empty_results(ix):
    ix.set_doc_means(np.ones((3, D), np.float32), [1, 2, 3])
    q = np.ones((2, D), np.float32)
    for got in (ix.proxy_score(q, n_full=0), ix.proxy_score(np.zeros((0, D), np.float32))):
        assert [a.tolist() for a in got] == [[], []]
        assert (got[0].dtype, got[1].dtype) == (np.uint64, np.float32)
    ix.set_doc_means(np.zeros((0, D), np.float32), [])
    assert [a.tolist() for a in ix.proxy_score(q)] == [[], []]


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda ix: ix.set_doc_means(np.zeros((2, 0), np.float32), [1, 2]), ValueError, "^means dim must be > 0$"),
        (lambda ix: ix.set_doc_means(np.zeros((2, D), np.float32), [1]), ValueError, "^doc_ids len 1 != means rows 2$"),
        (lambda ix: ix.set_doc_means(np.zeros((D, 2), np.float32).T, [1, 2]), ValueError, "^means must be contiguous$"),
        (lambda ix: ix.set_doc_means(np.zeros((2, D)), [1, 2]), TypeError, "^argument 'means': "),
        (lambda ix: ix.set_doc_means(np.zeros((2, D), np.float32), "ab"), TypeError, "Can't extract `str` to `Vec`"),
        (lambda ix: ix.proxy_score(np.zeros((1, D), np.float32)), RuntimeError, NOT_LOADED),
        (lambda ix: ix.proxy_score(np.zeros((1, 3), np.float32)), ValueError, f"^query dim 3 != index dim {D}$"),
        (lambda ix: ix.proxy_score(np.zeros((D, 2), np.float32).T), ValueError, "^query must be contiguous$"),
        (lambda ix: ix.proxy_score(np.zeros((1, D), np.float32), n_full=-1), OverflowError, None),
        (lambda ix: ix.proxy_score(np.zeros((1, D), np.float32), "12"), TypeError, "Can't extract `str` to `Vec`"),
    ],
)
def test_argument_and_state_errors(ix, call, exc, message):
    with pytest.raises(exc, match=message):
        call(ix)


def test_means_of_another_width(tmp_path):
    ix = vse.ShardIndex(str(tmp_path), 128)
    ix.set_doc_means(np.ones((2, 64), np.float32), [1, 2])
    with pytest.raises(ValueError, match="^doc_mean_dim 64 != query dim 128$"):
        ix.proxy_score(np.ones((1, 128), np.float32))
    with pytest.raises(ValueError, match="^query dim 64 != index dim 128$"):
        ix.proxy_score(np.ones((1, 64), np.float32))
    ix.close()
    with pytest.raises(RuntimeError, match="^ShardIndex is closed$"):
        ix.set_doc_means(np.ones((2, 64), np.float32), [1, 2])
    with pytest.raises(RuntimeError, match="^ShardIndex is closed$"):
        ix.proxy_score(np.ones((1, 64), np.float32))


def test_means_last_until_the_next_publication(tmp_path):
    base = str(tmp_path / "ix")
    ix = vse.ShardIndex(base, D)
    ix.insert(1, np.ones((1, D), np.float32))
    means, q = np.ones((1, D), np.float32), np.ones((1, D), np.float32)
    writes = [
        lambda: ix.insert(2, np.ones((1, D), np.float32)),
        lambda: ix.update_payload(1, "p"),
        lambda: ix.delete(2),
        lambda: ix.register_shard_docs([], [], [], []),
    ]
    for write in writes:
        ix.set_doc_means(means, [7])
        assert ix.delete(99) is False and ix.update_payload(99, "x") is False  # nothing published
        assert ix.proxy_score(q)[0].tolist() == [7]
        write()
        with pytest.raises(RuntimeError, match=NOT_LOADED):
            ix.proxy_score(q)
    ix.set_doc_means(means, [7])
    ix.close()
    ix = vse.ShardIndex(base, D)
    with pytest.raises(RuntimeError, match=NOT_LOADED):
        ix.proxy_score(q)
    ix.close()
