import numpy as np
import pytest

import varnelo_shard_engine as vse
from conftest import DIM


def rows(n):
    return np.arange(n * DIM, dtype=np.float32).reshape(n, DIM)


def test_fresh_index_is_empty(index):
    assert (index.doc_count, index.total_vectors, index.dim) == (0, 0, DIM)
    ids = index.doc_ids()
    assert ids.dtype == np.uint64 and ids.shape == (0,)
    assert index.contains(0) is False
    assert index.get_payload(0) is None


def test_doc_ids_sort_as_unsigned(index):
    for doc_id in (5, 2**63, 3, 9, 2**64 - 1, 0):
        index.insert(doc_id, rows(1))
    ids = index.doc_ids()
    assert ids.dtype == np.uint64
    assert ids.tolist() == [0, 3, 5, 9, 2**63, 2**64 - 1]
    assert ids.flags.writeable and ids.flags.c_contiguous


def test_doc_id_conversion(index):
    index.insert(np.uint64(7), rows(1))
    assert index.contains(np.int16(7)) and index.contains(True) is False
    with pytest.raises(OverflowError):
        index.contains(-1)
    with pytest.raises(OverflowError):
        index.contains(2**64)
    for bad in ("a", 1.0, None):
        with pytest.raises(TypeError, match="^argument 'doc_id': "):
            index.contains(bad)


def test_payloads(index):
    index.insert(1, rows(1), '{"a": 1}')
    index.insert(2, rows(1), "")
    index.insert(3, rows(1))
    index.insert(4, rows(1), "caf\u00e9 \U0001f600")
    assert index.get_payload(1) == '{"a": 1}'
    assert index.get_payload(2) == ""
    assert index.get_payload(3) is None
    assert index.get_payload(4) == "caf\u00e9 \U0001f600"
    index.register_shard_docs([5], [0], [0], [1])
    assert index.get_payload(5) is None


def test_closed_index(base_dir):
    ix = vse.ShardIndex(base_dir, DIM)
    ix.insert(1, rows(2))
    ix.close()
    assert ix.close() is None
    assert ix.dim == DIM
    for read in (
        lambda: ix.doc_count,
        lambda: ix.total_vectors,
        lambda: ix.contains(1),
        lambda: ix.get_payload(1),
        lambda: ix.doc_ids(),
        lambda: ix.sync(),
        lambda: ix.insert(2, rows(1)),
        lambda: ix.delete(1),
        lambda: ix.update_payload(1, "x"),
        lambda: ix.register_shard_docs([], [], [], []),
    ):
        with pytest.raises(RuntimeError, match="^ShardIndex is closed$"):
            read()
    # Conversion comes first: a badly typed argument is a TypeError even when closed.
    with pytest.raises(TypeError):
        ix.contains("x")
    with pytest.raises(TypeError):
        ix.insert(1, [[1.0]])
