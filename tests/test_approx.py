import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from safetensors.numpy import save_file

import varnelo_shard_engine as vse
from conftest import CODES, OFFSETS, merged_files, put, u64

D = 8
rng = np.random.default_rng(17)
NOT_LOADED = "^centroids not loaded \u2014 call set_centroids first$"


def ints(*shape, lo=-3, hi=4):
    return rng.integers(lo, hi, shape).astype(np.float32)


def code_score(table, codes):
    """Per query row the largest table value over the codes below the table's width, summed."""
    if len(codes) == 0:
        return 0.0
    n_c = table.shape[1]
    total = np.float32(0.0)
    for row in table:
        vals = [row[c] for c in codes if c < n_c and not np.isnan(row[c])]
        total = np.float32(total + (max(vals) if vals else np.float32(-np.inf)))
    return float(total)


def reference(q, centroids, docs, candidates):
    table = (q.astype(np.float64) @ centroids.astype(np.float64).T).astype(np.float32)
    items = [(i, code_score(table, docs[i])) for i in candidates if i in docs]
    return sorted(items, key=lambda p: (-p[1], p[0]))


@pytest.fixture
def shard_index(tmp_path):
    """Documents spread over two shard files, each token with a centroid code."""
    base = str(tmp_path / "ix")
    os.makedirs(base)
    docs, where = {}, {}
    for shard in (0, 1):
        codes, start = [], 0
        for doc_id in range(shard * 100, shard * 100 + 40):
            n = int(rng.integers(1, 9))
            c = rng.integers(0, 24, n).astype(np.uint16)  # codes 20..23 lie beyond the 20 centroids
            docs[doc_id], where[doc_id] = c.tolist(), (shard, start, start + n)
            codes.append(c)
            start += n
        flat = np.concatenate(codes)
        save_file({"embeddings": np.zeros((len(flat), D), np.float32), "centroid_codes": flat},
                  os.path.join(base, f"shard_{shard}.safetensors"))
    ix = vse.ShardIndex(base, D)
    ids = sorted(where)
    ix.register_shard_docs(ids, [where[i][0] for i in ids], [where[i][1] for i in ids], [where[i][2] for i in ids])
    centroids = ints(20, D)
    ix.set_centroids(centroids)
    yield ix, docs, centroids
    ix.close()


def test_shard_path_matches_the_reference(shard_index):
    ix, docs, centroids = shard_index
    q = ints(5, D)
    candidates = [3, 105, 3, 999, 139, 0, 12, 101] + list(range(20, 40))  # 3 twice, 999 unknown
    got_ids, got = ix.score_candidates_approx(q, candidates, n_top=100)
    want = reference(q, centroids, docs, candidates)
    assert list(zip(got_ids.tolist(), got.tolist())) == want
    assert got_ids.tolist().count(3) == 2
    assert (got_ids.dtype, got.dtype) == (np.uint64, np.float32)
    top_ids, _ = ix.score_candidates_approx(q, candidates, n_top=4)
    assert top_ids.tolist() == [i for i, _ in want[:4]]


def test_codes_beyond_the_table_and_nan_centroids(shard_index):
    ix, docs, centroids = shard_index
    # Only codes 20..23 for document 0: none below the table's 20 rows.
    only_high = [c for c in range(20, 24)]
    docs[0] = only_high
    bad = centroids.copy()
    bad[docs[5][0]] = np.nan  # one centroid of document 5 gives NaN dots
    ix.set_centroids(bad)
    q = ints(3, D)
    ids, scores = ix.score_candidates_approx(q, [5, 6, 7], n_top=10)
    assert list(zip(ids.tolist(), scores.tolist())) == reference(q, bad, docs, [5, 6, 7])


def test_empty_and_unreadable_ranges_on_the_shard_path(tmp_path):
    base = str(tmp_path / "ix")
    os.makedirs(base)
    save_file({"centroid_codes": np.array([0, 1, 2, 3], np.uint16)}, os.path.join(base, "shard_0.safetensors"))
    save_file({"centroid_codes": np.zeros(4, np.float32)}, os.path.join(base, "shard_1.safetensors"))  # not U16
    save_file({"embeddings": np.zeros((4, D), np.float32)}, os.path.join(base, "shard_2.safetensors"))
    ix = vse.ShardIndex(base, D)
    ix.insert(50, np.zeros((2, D), np.float32))  # no shard location
    ix.register_shard_docs([1, 2, 3, 4, 5, 6, 7], [0, 0, 0, 0, 1, 2, 9], [0, 2, 3, 1, 0, 0, 0], [2, 2, 1, 9, 2, 2, 2])
    ix.set_centroids(np.ones((4, D), np.float32))
    ids, scores = ix.score_candidates_approx(np.ones((1, D), np.float32), [1, 2, 3, 4, 5, 6, 7, 50])
    # 2 has an empty range (0.0); 3 is reversed, 4 beyond the tensor, 5 not U16, 6 without
    # codes, 7 in a missing shard, 50 without a location: all left out.
    assert list(zip(ids.tolist(), scores.tolist())) == [(1, 8.0), (2, 0.0)]
    ix.close()


def test_empty_inputs_and_n_top_zero(shard_index):
    ix, _, _ = shard_index
    q = ints(2, D)
    for got in (ix.score_candidates_approx(q, []), ix.score_candidates_approx(np.zeros((0, D), np.float32), [1]),
                ix.score_candidates_approx(q, [1, 2], n_top=0)):
        assert [a.tolist() for a in got] == [[], []]
        assert (got[0].dtype, got[1].dtype) == (np.uint64, np.float32)


def test_checks_in_order(tmp_path):
    ix = vse.ShardIndex(str(tmp_path), 4)
    q = np.zeros((2, 4), np.float32)
    with pytest.raises(RuntimeError, match=NOT_LOADED):
        ix.score_candidates_approx(np.zeros((2, 3), np.float32), [1])  # before the width test
    for arr, message in [
        (np.zeros((0, 4), np.float32), "^centroids must have at least 1 row$"),
        (np.zeros((3, 5), np.float32), "^centroid dim 5 != index dim 4$"),
        (np.asfortranarray(np.zeros((3, 4), np.float32)), "^centroids must be contiguous$"),
    ]:
        with pytest.raises(ValueError, match=message):
            ix.set_centroids(arr)
    ix.set_centroids(np.ones((3, 4), np.float32))
    with pytest.raises(ValueError, match="^query dim 3 != index dim 4$"):
        ix.score_candidates_approx(np.zeros((2, 3), np.float32), [1])
    with pytest.raises(ValueError, match="^query must be contiguous$"):
        ix.score_candidates_approx(np.asfortranarray(np.zeros((3, 4), np.float32)), [1])
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        ix.score_candidates_approx(q, "12")
    with pytest.raises(OverflowError):
        ix.score_candidates_approx(q, [1], n_top=-1)
    ix.close()
    with pytest.raises(RuntimeError, match="^ShardIndex is closed$"):
        ix.set_centroids(np.ones((3, 4), np.float32))
    ix2 = vse.ShardIndex(str(tmp_path / "other"), 4)
    ix2.close()
    with pytest.raises(RuntimeError, match="^ShardIndex is closed$"):
        ix2.score_candidates_approx(q, [1])


def test_results_do_not_depend_on_the_worker_count(shard_index, tmp_path):
    ix, docs, centroids = shard_index
    script = textwrap.dedent(f"""
        import os
        import numpy as np, varnelo_shard_engine as vse
        from safetensors.numpy import save_file
        rng = np.random.default_rng(1)
        ix = vse.ShardIndex({str(tmp_path / "w")!r}, 32)
        for s in range(6):
            save_file({{"centroid_codes": rng.integers(0, 300, 4000).astype(np.uint16)}},
                      {str(tmp_path / "w")!r} + f"/shard_{{s}}.safetensors")
        ix.close()
        ix = vse.ShardIndex({str(tmp_path / "w")!r}, 32)
        ids = np.arange(6000)
        ix.register_shard_docs(ids, ids % 6, (ids // 6) * 4, (ids // 6) * 4 + 4)
        ix.set_centroids(rng.standard_normal((256, 32)).astype(np.float32))
        q = rng.standard_normal((7, 32)).astype(np.float32)
        got = ix.score_candidates_approx(q, ids[::-1], 6000)
        print(got[0].tobytes().hex(), got[1].tobytes().hex())
        # The merged path over the same codes.
        d = {str(tmp_path / "m")!r}
        os.makedirs(d, exist_ok=True)
        codes = rng.integers(0, 300, 24000).astype("<u2")
        for name, words in (("merged_offsets.bin", np.arange(0, 24001, 4)), ("merged_doc_map.bin", ids)):
            open(os.path.join(d, name), "wb").write(np.uint64(len(words)).tobytes() + words.astype("<u8").tobytes())
        open(os.path.join(d, "merged_codes.bin"), "wb").write(np.uint64(len(codes)).tobytes() + codes.tobytes())
        open(os.path.join(d, "merged_embeddings.bin"), "wb").write(np.array([0, 32], "<u8").tobytes())
        ix.load_merged(d)
        got = ix.score_candidates_approx(q, ids[::-1], 6000)
        print(got[0].tobytes().hex(), got[1].tobytes().hex())
    """)
    outs = set()
    for n in ("1", "2", "8"):
        env = dict(os.environ, RAYON_NUM_THREADS=n)
        outs.add(subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True,
                                check=True).stdout)
    assert len(outs) == 1


def test_merged_path_reads_the_codes_file(tmp_path):
    docs = {i: np.zeros((int(rng.integers(1, 7)), D), np.float16) for i in (40, 10, 30, 20)}
    codes = rng.integers(0, 24, sum(len(r) for r in docs.values()))  # 20..23 beyond the table
    files = merged_files(docs, D, codes)
    # Boundaries [0, a, b, b, c...]: document 30 gets an empty range, 20 a reversed one.
    bounds = np.concatenate([[0], np.cumsum([len(r) for r in docs.values()])]).astype(np.uint64)
    bounds[3] = bounds[2]
    bounds[4] = 1
    files[OFFSETS] = u64(len(bounds)) + bounds.astype("<u8").tobytes()
    ix = vse.ShardIndex(str(tmp_path / "ix"), D)
    centroids = ints(20, D)
    ix.set_centroids(centroids)
    ix.load_merged(put(tmp_path / "m", files))
    q = ints(4, D)
    spans = {doc: (int(bounds[p]), int(bounds[p + 1])) for p, doc in enumerate(docs)}
    per_doc = {doc: codes[s:e].tolist() for doc, (s, e) in spans.items()}
    ids, scores = ix.score_candidates_approx(q, [30, 10, 20, 40, 10, 77], n_top=10)
    want = reference(q, centroids, per_doc, [30, 10, 20, 40, 10])
    assert list(zip(ids.tolist(), scores.tolist())) == want
    assert dict(zip(ids.tolist(), scores.tolist()))[20] == 0.0  # reversed: 0.0 without reading codes
    # Codes that end beyond the file are left out; the document map of the index plays no part.
    short = int(bounds[2]) - 1  # one code short of document 10's last row
    files[CODES] = u64(short) + codes[:short].astype("<u2").tobytes()
    ix.insert(40, np.zeros((1, D), np.float32))
    ix.load_merged(put(tmp_path / "m2", files))
    ids, _ = ix.score_candidates_approx(q, [40, 10, 30])
    assert sorted(ids.tolist()) == [30, 40]
    ix.close()


def test_merged_view_without_codes_scores_through_the_shards(shard_index, tmp_path):
    ix, docs, centroids = shard_index
    files = merged_files({1: np.zeros((2, D), np.float16)}, D, codes=False)
    ix.load_merged(put(tmp_path / "m", files))
    q = ints(2, D)
    ids, scores = ix.score_candidates_approx(q, [3, 105])
    assert list(zip(ids.tolist(), scores.tolist())) == reference(q, centroids, docs, [3, 105])
