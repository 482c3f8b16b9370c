import os

import numpy as np
import pytest

import varnelo_shard_engine as vse
from conftest import DIM, WAL, misaligned, wal_record


def rows(n, dim=DIM):
    return np.arange(n * dim, dtype=np.float32).reshape(n, dim)


def wal_size(base_dir):
    return os.path.getsize(os.path.join(base_dir, WAL))


def log_bytes(ix, base_dir):
    ix.sync()
    with open(os.path.join(base_dir, WAL), "rb") as f:
        return f.read()


def test_each_write_logs_its_record(index, base_dir):
    emb = rows(2)
    index.insert(7, emb, '{"k": "v"}')
    index.insert(8, rows(0))
    assert index.update_payload(7, "new") is True
    assert index.delete(8) is True
    expected = (
        wal_record(1, 7, '{"k": "v"}', emb.ravel().tolist(), 2, DIM)
        + wal_record(1, 8, b"", (), 0, DIM)
        + wal_record(4, 7, "new")
        + wal_record(2, 8)
    )
    assert log_bytes(index, base_dir) == expected
    # A delete of id 7 is 25 bytes: op, id, three zero lengths, then the checksum.
    assert wal_record(2, 7)[:21] == bytes([2, 7] + [0] * 19)


def test_absent_ids_write_nothing(index, base_dir):
    index.sync()
    before = wal_size(base_dir)
    assert index.delete(42) is False
    assert index.update_payload(42, "x") is False
    index.sync()
    assert wal_size(base_dir) == before
    index.insert(1, rows(1))
    assert (index.delete(1), index.delete(1)) == (True, False)


def test_insert_replaces_whole_entry(index):
    index.insert(1, rows(3), "first")
    index.register_shard_docs([2], [0], [10], [15])
    assert (index.doc_count, index.total_vectors) == (2, 8)
    index.insert(1, rows(5))
    assert index.get_payload(1) is None
    assert (index.doc_count, index.total_vectors) == (2, 10)
    index.insert(2, rows(1), "p")  # a shard entry becomes an inserted one
    assert index.get_payload(2) == "p" and index.total_vectors == 6


def test_update_payload_keeps_rows(index):
    index.insert(1, rows(3), "a")
    assert index.update_payload(1, "") is True
    assert index.get_payload(1) == ""
    assert index.total_vectors == 3
    with pytest.raises(TypeError):
        index.update_payload(1, None)


@pytest.mark.parametrize(
    "make, exc, message",
    [
        (lambda: rows(2, 3), ValueError, "embedding dim 3 != index dim 4"),
        (lambda: np.asfortranarray(rows(2)), ValueError, "embeddings must be contiguous"),
        (lambda: rows(4)[::2], ValueError, "embeddings must be contiguous"),
        (lambda: rows(2).astype(np.float64), TypeError, "argument 'embeddings': "),
        (lambda: rows(2).ravel(), TypeError, "argument 'embeddings': "),
        (lambda: rows(2).tolist(), TypeError, "argument 'embeddings': "),
    ],
)
def test_insert_refuses_bad_embeddings(index, base_dir, make, exc, message):
    index.sync()
    before = wal_size(base_dir)
    with pytest.raises(exc) as e:
        index.insert(1, make())
    assert str(e.value).startswith(message)
    index.sync()
    assert wal_size(base_dir) == before and index.doc_count == 0


def test_insert_accepts_read_only_and_single_row_views(index):
    emb = rows(3)
    emb.flags.writeable = False
    index.insert(1, emb)
    index.insert(2, rows(4)[1:3])  # a row slice is still row-major
    assert index.total_vectors == 5


def test_misaligned_arrays_are_read_as_aligned_ones(tmp_path):
    # Integer arrays of every width go through the sequence conversion, embeddings through a view.
    shard_args = (np.array([7, 2**64 - 1], np.uint64), np.array([0, 3], np.int64), np.array([2, 0], np.uint32),
                  np.array([5, 9], np.int16))
    seen = []
    for make in (np.ascontiguousarray, misaligned):
        base = str(tmp_path / f"index{len(seen)}")
        ix = vse.ShardIndex(base, DIM)
        ix.insert(1, make(rows(3)), "p")
        ix.register_shard_docs(*map(make, shard_args))
        seen.append((log_bytes(ix, base), ix.doc_ids().tolist(), ix.total_vectors))
        with pytest.raises(ValueError, match="^embeddings must be contiguous$"):
            ix.insert(2, make(rows(2).T).T)  # column-major
        ix.close()
    assert seen[0] == seen[1]
    assert seen[0][1:] == ([1, 7, 2**64 - 1], 3 + 3 + 9)


def test_records_replay_would_refuse_are_refused(tmp_path):
    """A record past the log's limits would hide every later record at the next open."""
    ix = vse.ShardIndex(str(tmp_path / "a"), 4)
    with pytest.raises(ValueError, match="payload of 67108865 bytes exceeds the log limit"):
        ix.insert(1, rows(1), "x" * (64 * 2**20 + 1))
    ix.insert(1, rows(1))
    with pytest.raises(ValueError, match="payload of 67108865 bytes exceeds the log limit"):
        ix.update_payload(1, "x" * (64 * 2**20 + 1))
    ix.close()
    # Values beyond 2^26 floats, and widths beyond 32 bits; np.empty touches no memory.
    wide = 2**26 + 1
    ix = vse.ShardIndex(str(tmp_path / "b"), wide)
    with pytest.raises(ValueError, match="exceed the log limit of 67108864 values"):
        ix.insert(1, np.empty((1, wide), np.float32))
    ix.insert(2, np.empty((0, wide), np.float32))
    ix.close()
    ix = vse.ShardIndex(str(tmp_path / "c"), 2**32)
    with pytest.raises(ValueError, match="does not fit the log's 32-bit field"):
        ix.insert(1, np.empty((0, 2**32), np.float32))
    ix.close()
    for d in "abc":
        reopened = vse.ShardIndex(str(tmp_path / d), 1)
        assert reopened.doc_ids().tolist() == {"a": [1], "b": [2], "c": []}[d]
        reopened.close()


def test_register_shard_docs(index):
    index.insert(1, rows(2), "payload")
    index.register_shard_docs(np.array([1, 3, 3], np.uint64), (0, 1, 2), [0, 5, 7], np.array([4, 6, 9]))
    assert index.doc_ids().tolist() == [1, 3]
    assert index.get_payload(1) is None  # registration drops the payload
    assert index.total_vectors == 4 + 2  # the last occurrence of id 3 wins
    index.register_shard_docs([], [], [], [])
    # Reversed ranges are stored as given; their length wraps and the total wraps back.
    index.register_shard_docs([10, 11], [0, 0], [5, 0], [3, 10])
    assert index.total_vectors == 6 + 8


def test_register_shard_docs_bulk_matches_single(index):
    rng = np.random.default_rng(1)
    index.insert(5, rows(1), "p")
    ids = rng.integers(0, 2**64, 300, dtype=np.uint64)
    ids[::7] = ids[0]
    starts = rng.integers(0, 100, 300)
    ends = starts + rng.integers(0, 50, 300)
    index.register_shard_docs(ids, [0] * 300, starts, ends)
    expect = {}
    for d, s, e in zip(ids.tolist(), starts.tolist(), ends.tolist()):
        expect[d] = e - s
    expect[5] = 1
    assert index.doc_ids().tolist() == sorted(expect)
    assert index.total_vectors == sum(expect.values())


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (([1, 2], [0, 0], [0, 0], [1, 1, 1]), ValueError, "all arrays must have the same length"),
        (("ab", [], [], []), TypeError, "argument 'doc_ids': Can't extract `str` to `Vec`"),
        (([], "", [], []), TypeError, "argument 'shard_ids': Can't extract `str` to `Vec`"),
        ((5, [], [], []), TypeError, "argument 'doc_ids': "),
        (([1], [-1], [0], [1]), OverflowError, "out of range integral type conversion attempted"),
        (([1], [2**32], [0], [1]), OverflowError, "out of range integral type conversion attempted"),
        (([1], np.array([-1]), [0], [1]), OverflowError, "out of range integral type conversion attempted"),
        (([1], [2**64], [0], [1]), OverflowError, "out of range integral type conversion attempted"),
        (([-1], [0], [0], [1]), OverflowError, ""),
        (([1], [0], np.array([-1]), [1]), OverflowError, ""),
        (([1.5], [0], [0], [1]), TypeError, "argument 'doc_ids': 'float' object cannot be interpreted as an integer"),
        (([1], [0], [0], np.array([1.0])), TypeError, "argument 'row_ends': "),
    ],
)
def test_register_shard_docs_refusals(index, args, exc, message):
    index.insert(9, rows(1))
    with pytest.raises(exc) as e:
        index.register_shard_docs(*args)
    assert str(e.value).startswith(message)
    assert index.doc_ids().tolist() == [9]


def test_reader_keeps_its_snapshot_across_writes(index):
    index.insert(1, rows(1))
    ids = index.doc_ids()
    index.delete(1)
    assert ids.tolist() == [1] and index.doc_count == 0

    # What each reader got stays as it was through every kind of write, the bulk merge of a large
    # batch included, and writing into an array a reader got changes nothing in the index.
    kept = []

    def keep():
        kept.append((index.doc_ids(), index.doc_ids().tolist(), index.total_vectors))

    index.insert(1, rows(2), "a")
    keep()
    index.register_shard_docs(list(range(199, 99, -1)), [0] * 100, [0] * 100, [1] * 100)  # merged in bulk
    keep()
    index.register_shard_docs([150, 5, 5], [0, 0, 0], [0, 0, 0], [2, 9, 3])  # inserted one by one
    keep()
    index.update_payload(1, "b")
    index.delete(120)
    keep()
    assert [snapshot for _, snapshot, _ in kept] == [
        [1],
        [1] + list(range(100, 200)),
        [1, 5] + list(range(100, 200)),
        [1, 5] + list(range(100, 120)) + list(range(121, 200)),
    ]
    assert [total for _, _, total in kept] == [2, 102, 106, 105]
    for ids, snapshot, _ in kept:
        assert ids.tolist() == snapshot
        ids[:] = 7
    assert index.doc_ids().tolist() == kept[-1][1] and index.contains(199) and not index.contains(7)
    assert index.get_payload(1) == "b" and index.total_vectors == 105
