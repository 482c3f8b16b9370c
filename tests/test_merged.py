import faulthandler
import os
import struct
import subprocess
import sys
import threading

import numpy as np
import pytest

import varnelo_shard_engine as vse
from conftest import CODES, DOC_MAP, EMB, OFFSETS, merged_files, put, u64

D = 8
U64_MAX = 2**64 - 1
NOT_LOADED = "^merged mmap not loaded \u2014 call load_merged first$"
rng = np.random.default_rng(23)


def random_docs(n, max_rows=9, first_id=100):
    return {first_id + i: rng.standard_normal((int(rng.integers(1, max_rows)), D)).astype(np.float16) for i in range(n)}


def maxsim64(q, rows):
    """MaxSim in float64 of the exactly widened rows; NaN dots never win."""
    dots = q.astype(np.float64) @ np.asarray(rows, np.float16).astype(np.float64).T
    return float(np.where(np.isnan(dots), -np.inf, dots).max(axis=1).sum())


def held_files(directory):
    """Names of the files under `directory` that this process holds open or mapped."""
    directory = os.path.realpath(directory) + "/"
    held = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if target.startswith(directory):
            held.add(os.path.basename(target))
    with open("/proc/self/maps") as maps:
        for line in maps:
            parts = line.split(maxsplit=5)
            if len(parts) == 6 and parts[5].strip().startswith(directory):
                held.add(os.path.basename(parts[5].strip()))
    return held


@pytest.fixture
def ix(tmp_path):
    index = vse.ShardIndex(str(tmp_path / "ix"), D)
    yield index
    index.close()


# ---------------------------------------------------------------------------------------------
# load_merged


def _trunc(name, n):
    return lambda f: {**f, name: f[name][:n]}


def _set(name, data):
    return lambda f: {**f, name: data}


def _drop(name):
    return lambda f: {k: v for k, v in f.items() if k != name}


LOAD_FAILURES = [
    (_trunc(EMB, 15), "merged_embeddings.bin too small for header"),
    (_set(EMB, u64(3, 4) + bytes(23)), "merged_embeddings.bin too small: 39 < 40 expected"),
    (_set(EMB, u64(2**63, 2)), f"merged_embeddings.bin too small: 16 < {U64_MAX} expected"),
    (_set(EMB, u64(1, 2**63)), f"merged_embeddings.bin too small: 16 < {U64_MAX} expected"),
    (_set(CODES, bytes(4)), "merged_codes.bin too small for header"),
    (_set(CODES, u64(3) + bytes(5)), "merged_codes.bin too small: 13 < 14 expected"),
    (_set(CODES, u64(2**63)), f"merged_codes.bin too small: 8 < {U64_MAX} expected"),
    (_set(OFFSETS, bytes(7)), "merged_offsets.bin too small"),
    (_set(OFFSETS, u64(2, 0)), "merged_offsets.bin data truncated"),
    (_set(OFFSETS, u64(2**61)), "merged_offsets.bin data truncated"),
    (_set(DOC_MAP, b""), "merged_doc_map.bin too small"),
    (_set(DOC_MAP, u64(3, 1, 2) + bytes(7)), "merged_doc_map.bin data truncated"),
    (_set(DOC_MAP, u64(U64_MAX)), "merged_doc_map.bin data truncated"),
    (_drop(EMB), "No such file or directory (os error 2)"),
    (_drop(OFFSETS), "No such file or directory (os error 2)"),
    (_drop(DOC_MAP), "No such file or directory (os error 2)"),
]


@pytest.mark.parametrize("mutate, message", LOAD_FAILURES)
def test_a_failed_load_raises_keeps_the_view_and_releases_its_files(tmp_path, ix, mutate, message):
    docs = random_docs(5)
    good = put(tmp_path / "good", merged_files(docs))
    ix.load_merged(good)
    q = rng.standard_normal((3, D)).astype(np.float32)
    before = ix.score_candidates_exact(q, list(docs))
    bad = put(tmp_path / "bad", mutate(merged_files(random_docs(4))))
    with pytest.raises(OSError) as e:
        ix.load_merged(bad)
    assert str(e.value) == f"failed to load merged mmap: {message}"
    assert held_files(bad) == set()
    after = ix.score_candidates_exact(q, list(docs))
    assert [a.tolist() for a in after] == [a.tolist() for a in before]


def test_codes_that_cannot_be_mapped_fail_the_load(tmp_path, ix):
    d = put(tmp_path / "m", merged_files(random_docs(2), codes=False))
    os.mkdir(os.path.join(d, CODES))  # exists, opens, but a directory cannot be mapped
    with pytest.raises(OSError, match=r"^failed to load merged mmap: .+"):
        ix.load_merged(d)
    assert held_files(d) == set()


@pytest.mark.parametrize("name", [EMB, CODES, OFFSETS, DOC_MAP])
@pytest.mark.parametrize("make", [os.mkfifo, os.mkdir], ids=["fifo", "directory"])
def test_a_file_that_is_not_regular_is_refused_by_its_path(tmp_path, ix, name, make):
    d = put(tmp_path / "m", _drop(name)(merged_files(random_docs(2))))
    path = os.path.join(d, name)
    make(path)
    # A load that waits for a writer to the FIFO ends the run (on the real stderr: pytest may have
    # replaced sys.stderr with a capture that has no descriptor).
    faulthandler.dump_traceback_later(60, exit=True, file=sys.__stderr__)
    try:
        with pytest.raises(OSError) as e:
            ix.load_merged(d)
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert str(e.value) == f"failed to load merged mmap: {path} is not a regular file"
    assert held_files(d) == set()


def test_minimal_and_oversized_files_load(tmp_path, ix):
    q = np.ones((2, D), np.float32)
    # No rows, no boundaries, no documents, no codes file.
    ix.load_merged(put(tmp_path / "empty", {EMB: u64(0, D), OFFSETS: u64(0), DOC_MAP: u64(0)}))
    assert [a.tolist() for a in ix.score_candidates_exact(q, [1, 2])] == [[], []]
    # Every file longer than its count asks for: the extra bytes change nothing.
    docs = {5: np.full((2, D), 1.0, np.float16), 6: np.full((1, D), 2.0, np.float16)}
    files = {name: data + b"\xff" * 13 for name, data in merged_files(docs).items()}
    ix.load_merged(put(tmp_path / "long", files))
    ids, scores = ix.score_candidates_exact(q, [5, 6])
    assert ids.tolist() == [6, 5] and scores.tolist() == [32.0, 16.0]


def test_a_later_duplicate_id_wins_and_a_new_load_replaces_the_view(tmp_path, ix):
    one = np.ones((1, D), np.float16)
    # Id 9 at positions 2 and 5: its rows are those of position 5.
    docs = [(1, one), (2, one), (9, one * 2), (3, one), (4, one), (9, one * 5)]
    rows = np.concatenate([r for _, r in docs])
    files = {
        EMB: u64(len(rows), D) + rows.tobytes(),
        OFFSETS: u64(len(docs) + 1) + np.arange(len(docs) + 1, dtype="<u8").tobytes(),
        DOC_MAP: u64(len(docs)) + np.array([i for i, _ in docs], "<u8").tobytes(),
    }
    ix.load_merged(put(tmp_path / "a", files))
    q = np.ones((1, D), np.float32)
    assert ix.score_candidates_exact(q, [9])[1].tolist() == [5.0 * D]
    ix.load_merged(put(tmp_path / "b", merged_files({9: one * 3})))
    assert ix.score_candidates_exact(q, [9, 1])[1].tolist() == [3.0 * D]


def test_the_view_holds_only_its_embeddings_and_codes(tmp_path, ix):
    a = put(tmp_path / "a", merged_files(random_docs(3)))
    ix.load_merged(a)
    assert held_files(a) == {EMB, CODES}  # offsets and doc map were copied out and closed
    b = put(tmp_path / "b", merged_files(random_docs(3), codes=False))
    ix.load_merged(b)
    assert held_files(a) == set() and held_files(b) == {EMB}


def test_load_merged_arguments_and_closed_index(tmp_path, monkeypatch):
    ix = vse.ShardIndex(str(tmp_path / "ix"), D)
    put(tmp_path / "rel", merged_files(random_docs(2)))
    monkeypatch.chdir(tmp_path)
    assert ix.load_merged("rel") is None  # relative to the current directory
    with pytest.raises(TypeError, match="^argument 'dir': "):
        ix.load_merged(tmp_path / "rel")
    ix.close()
    with pytest.raises(RuntimeError, match="^ShardIndex is closed$"):
        ix.load_merged(str(tmp_path / "does-not-exist"))
    # close() leaves the view in place, but no reader gets to it.
    with pytest.raises(RuntimeError, match="^ShardIndex is closed$"):
        ix.score_candidates_exact(np.ones((1, D), np.float32), [100])


# ---------------------------------------------------------------------------------------------
# score_candidates_exact


def test_scores_match_a_float64_reference_of_the_widened_rows(tmp_path, ix):
    docs = random_docs(120)
    docs[8] = np.full((2, D), np.nan, np.float16)  # every dot NaN: each query row gives -inf
    docs[9] = np.vstack([np.full((1, D), np.nan, np.float16), docs[100]])  # the NaN row never wins
    ix.load_merged(put(tmp_path / "m", merged_files(docs)))
    q = rng.standard_normal((6, D)).astype(np.float32)
    want = {i: maxsim64(q, r) for i, r in docs.items()}
    order = sorted(want, key=lambda i: (-want[i], i))
    for k in (1, 10, len(docs), 10**9):
        ids, scores = ix.score_candidates_exact(q, list(docs), k=k)
        assert ids.dtype == np.uint64 and scores.dtype == np.float32
        assert ids.tolist() == order[:k]
        np.testing.assert_allclose(scores, [want[i] for i in ids.tolist()], rtol=1e-5, atol=1e-5)
    assert want[8] == -np.inf and ids.tolist()[-1] == 8
    s = dict(zip(ids.tolist(), scores.tolist()))
    assert s[9] == s[100]


def test_float16_specials_widen_exactly(tmp_path, ix):
    # Subnormals of both signs and -0.0 (2^-24 + 512 * 2^-24 - 1023 * 2^-24 - 2^-24), behind a
    # row of signalling NaNs; scaled by 2^20 every product and sum is exact.
    subnormals = np.array([0x0001, 0x83FF, 0x8000, 0x0200, 0x8001, 0, 0, 0], np.uint16).view(np.float16)
    snan = np.full(D, 0x7C01, np.uint16).view(np.float16)
    ix.load_merged(put(tmp_path / "m", merged_files({7: np.vstack([snan, subnormals])})))
    q = np.full((1, D), 2.0**20, np.float32)
    assert ix.score_candidates_exact(q, [7])[1].tolist() == [-511 / 16]


def test_integer_data_is_exact_and_ties_go_to_the_smaller_id(tmp_path, ix):
    docs = {i: rng.integers(-4, 5, (int(rng.integers(1, 6)), D)).astype(np.float16) for i in range(60, 0, -1)}
    docs[200] = docs[30].copy()
    ix.load_merged(put(tmp_path / "m", merged_files(docs)))
    q = rng.integers(-4, 5, (5, D)).astype(np.float32)
    ids, scores = ix.score_candidates_exact(q, np.array(list(docs), np.uint64), k=1000)
    ref = sorted(docs, key=lambda i: (-maxsim64(q, docs[i]), i))
    assert ids.tolist() == ref
    assert scores.tolist() == [maxsim64(q, docs[i]) for i in ref]
    assert ids.tolist().index(30) < ids.tolist().index(200)


def test_duplicates_are_scored_twice_and_unreadable_candidates_left_out(tmp_path, ix):
    one = np.ones((1, D), np.float16)
    # Positions: 0 id 1 [0, 1); 1 id 2 [1, 1) empty; 2 id 3 [1, 0) reversed; 3 id 4 [0, 2);
    # 4 id 5 [2, 9) beyond the 3 rows of the file; 5 id 6 [9, 2^61) beyond 64-bit byte offsets;
    # 6 id 7 has no boundary after it.
    rows = np.concatenate([one, one * 2, one * 3])
    files = {
        EMB: u64(3, D) + rows.tobytes(),
        OFFSETS: u64(7, 0, 1, 1, 0, 2, 9, 2**61),
        DOC_MAP: u64(7, 1, 2, 3, 4, 5, 6, 7),
    }
    ix.load_merged(put(tmp_path / "m", files))
    q = np.ones((1, D), np.float32)
    ids, scores = ix.score_candidates_exact(q, [4, 1, 2, 3, 5, 6, 7, 99, 1, 4])
    assert ids.tolist() == [4, 4, 1, 1]
    assert scores.tolist() == [2.0 * D, 2.0 * D, 1.0 * D, 1.0 * D]
    assert [a.tolist() for a in ix.score_candidates_exact(q, [2, 3, 5, 6, 7, 99])] == [[], []]


def test_a_view_of_another_width_scores_nothing(tmp_path, ix):
    # Rows of width 4 read as rows of width 8 would be misread; such a view is loaded (other
    # readers do not need the width) but gives exact scoring no candidate.
    ix.load_merged(put(tmp_path / "m", merged_files({1: np.ones((4, 4), np.float16)}, dim=4)))
    assert [a.tolist() for a in ix.score_candidates_exact(np.ones((1, D), np.float32), [1])] == [[], []]


def test_empty_results(tmp_path, ix):
    docs = random_docs(3)
    ix.load_merged(put(tmp_path / "m", merged_files(docs)))
    q = np.ones((2, D), np.float32)
    for got in (
        ix.score_candidates_exact(q, list(docs), k=0),
        ix.score_candidates_exact(q, []),
        ix.score_candidates_exact(np.zeros((0, D), np.float32), list(docs)),
        ix.score_candidates_exact(q, [1, 2, 3]),  # none in the doc map
    ):
        assert [a.tolist() for a in got] == [[], []]
        assert (got[0].dtype, got[1].dtype) == (np.uint64, np.float32)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda ix: ix.score_candidates_exact(np.zeros((1, D), np.float32), [1]), RuntimeError, NOT_LOADED),
        (lambda ix: ix.score_candidates_exact(np.zeros((1, 3), np.float32), [1]), RuntimeError, NOT_LOADED),
        (lambda ix: ix.score_candidates_exact(np.zeros((1, D)), [1]), TypeError, "^argument 'query': "),
        (lambda ix: ix.score_candidates_exact(np.zeros((1, D), np.float32), "12"), TypeError, "Can't extract `str` to `Vec`"),
        (lambda ix: ix.score_candidates_exact(np.zeros((1, D), np.float32), [-1]), OverflowError, None),
        (lambda ix: ix.score_candidates_exact(np.zeros((1, D), np.float32), [1], k=-1), OverflowError, None),
        (lambda ix: ix.score_candidates_exact(np.zeros((1, D), np.float32), [1], k=1.5), TypeError, "^argument 'k': "),
    ],
)
def test_argument_errors_and_the_missing_view(ix, call, exc, message):
    with pytest.raises(exc, match=message):
        call(ix)


def test_checks_come_in_order(tmp_path):
    ix = vse.ShardIndex(str(tmp_path / "ix"), D)
    ix.load_merged(put(tmp_path / "m", merged_files(random_docs(2))))
    with pytest.raises(ValueError, match=f"^query dim 3 != index dim {D}$"):
        ix.score_candidates_exact(np.zeros((3, D), np.float32).T, [1])  # width before layout
    with pytest.raises(ValueError, match="^query must be contiguous$"):
        ix.score_candidates_exact(np.zeros((D, 2), np.float32).T, [1])
    ix.close()
    with pytest.raises(RuntimeError, match="^ShardIndex is closed$"):
        ix.score_candidates_exact(np.zeros((1, 3), np.float32), [1])


SUBPROCESS = """
import os, sys
import numpy as np
import varnelo_shard_engine as vse
ix = vse.ShardIndex(sys.argv[1], int(sys.argv[2]))
ix.load_merged(sys.argv[3])
q, cands = np.load(sys.argv[4]), np.load(sys.argv[5])
for k in (7, 10**6):
    ids, scores = ix.score_candidates_exact(q, cands, k=k)
    print(ids.tobytes().hex(), scores.tobytes().hex())
print(len(os.listdir("/proc/self/task")))
"""


def test_results_do_not_depend_on_the_worker_count(tmp_path):
    docs = random_docs(400)
    m = put(tmp_path / "m", merged_files(docs))
    q = rng.standard_normal((5, D)).astype(np.float32)
    # 1000 candidates: chunks of 250, 125 and 32 for 1, 2 and 8 workers; duplicates and strangers.
    cands = rng.choice(np.arange(80, 520, dtype=np.uint64), 1000)
    np.save(tmp_path / "q.npy", q)
    np.save(tmp_path / "c.npy", cands)
    outputs = {}
    for n in (1, 2, 8):
        env = {**os.environ, "RAYON_NUM_THREADS": str(n)}
        args = [str(tmp_path / f"ix{n}"), str(D), m, str(tmp_path / "q.npy"), str(tmp_path / "c.npy")]
        run = subprocess.run([sys.executable, "-c", SUBPROCESS, *args], env=env, capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        *results, threads = run.stdout.split("\n")[:-1]
        assert int(threads) > n  # the pool really had n workers
        outputs[n] = results
    assert outputs[1] == outputs[2] == outputs[8]
    ids = np.frombuffer(bytes.fromhex(outputs[1][1].split()[0]), np.uint64)
    assert len(ids) == sum(1 for c in cands.tolist() if c in docs)


def test_load_merged_fails_while_scoring_runs(tmp_path):
    dim = 64
    docs = {i: rng.standard_normal((64, dim)).astype(np.float16) for i in range(300)}
    m = put(tmp_path / "m", merged_files(docs, dim=dim))
    ix = vse.ShardIndex(str(tmp_path / "ix"), dim)
    ix.load_merged(m)
    q = rng.standard_normal((32, dim)).astype(np.float32)
    cands = list(docs) * 40
    want = ix.score_candidates_exact(q, cands, k=5)
    got, errors = [], []
    for _ in range(20):  # until one attempt lands inside a call
        worker = threading.Thread(target=lambda: got.append(ix.score_candidates_exact(q, cands, k=5)))
        worker.start()
        while worker.is_alive() and not errors:
            try:
                ix.load_merged(m)  # before the call starts, or after it ends: the same files again
            except RuntimeError as e:
                errors.append(str(e))
        worker.join()
        if errors:
            break
    assert errors == ["Already borrowed"]
    assert all([a.tolist() for a in g] == [a.tolist() for a in want] for g in got)
    ix.load_merged(m)  # free again once the call is over
    ix.close()
