"""Calls type-checked against the module's stub by `make test-stubs`, never run: the result type of
every method and function, and calls the stub must refuse. Each refused call carries the error
code it must raise; mypy's warning for an unused ignore fails the check when the stub accepts it."""
from typing import assert_type

import numpy as np
from numpy.typing import NDArray

import varnelo_shard_engine as vse

Scored = tuple[NDArray[np.uint64], NDArray[np.float32]]


def one_argument(query: NDArray[np.float32]) -> list[float]:
    return []


def shard_index(q: NDArray[np.float32], ids: NDArray[np.uint64], f16: NDArray[np.float16]) -> None:
    ix = vse.ShardIndex("/tmp/ix", np.uint64(4), lambda query, docs, doc_ids, offsets: [0.0] * len(doc_ids))
    assert_type(ix.insert(1, q, payload="{}"), None)
    assert_type(ix.delete(np.int64(1)), bool)
    assert_type(ix.update_payload(1, "{}"), bool)
    ix.register_shard_docs(ids, [0], (0,), np.array([4]))
    assert_type(ix.search(q, k=3), Scored)
    assert_type(ix.proxy_score(q), Scored)
    assert_type(ix.proxy_score(q, candidate_ids=[1, 2], n_full=2), Scored)
    ix.set_doc_means(q, ids)
    ix.set_centroids(q)
    ix.set_codec(np.zeros(4, np.float32), 2)
    ix.set_codec([0.0, 1, np.float32(2)], nbits=1)
    ix.set_use_compression(np.bool_(True))
    ix.load_merged(dir="/tmp/merged")
    assert_type(ix.score_candidates_approx(q, ids, n_top=5), Scored)
    assert_type(ix.score_candidates_exact(q, [1, 2], k=5), Scored)
    assert_type(ix.fetch_candidate_embeddings(ids),
                tuple[NDArray[np.uint8], NDArray[np.int64], NDArray[np.uint64]])
    assert_type(ix.doc_ids(), NDArray[np.uint64])
    assert_type(ix.contains(1), bool)
    assert_type(ix.get_payload(1), str | None)
    assert_type(ix.doc_count + ix.total_vectors + ix.dim, int)
    ix.sync()
    ix.close()

    ix.serch(q)  # type: ignore[attr-defined]
    # (NumPy's types let a wider float stand for a narrower one, so only other kinds are refused.)
    ix.search(ids)  # type: ignore[arg-type]
    ix.search(q, k=2.5)  # type: ignore[arg-type]
    ix.search(query=q, n=3)  # type: ignore[call-arg]
    ix.insert(1, [[1.0, 2.0]])  # type: ignore[arg-type]
    ix.update_payload(1, None)  # type: ignore[arg-type]
    ix.register_shard_docs("123", [0], [0], [1])  # type: ignore[arg-type]
    ix.score_candidates_exact(q, [1.5])  # type: ignore[list-item]
    ix.set_use_compression("yes")  # type: ignore[arg-type]
    ix.fetch_candidate_embeddings(f16)  # type: ignore[arg-type]
    ix.dim = 3  # type: ignore[misc]
    vse.ShardIndex("/tmp/ix", 4, one_argument)  # type: ignore[arg-type]

    class Sub(vse.ShardIndex):  # type: ignore[misc]
        pass


def metadata_store() -> None:
    store = vse.MetadataStore()
    assert_type(store.set_payload(1, "{}", text_content=None), None)
    assert_type(store.get_payload(1), str | None)
    assert_type(store.delete_payload(1), bool)
    assert_type(store.set_payloads_bulk([(1, "{}", "text"), (np.uint64(2), "{}", "")]), int)
    assert_type(store.search_text("word", limit=5), list[int])
    assert_type(store.create_field_index("a.b"), None)
    assert_type(store.filter_by_field("a", "x", limit=3), list[int])
    assert_type(store.count(), int)
    assert_type(store.all_doc_ids(), list[int])

    store.set_payloads_bulk([(1, "{}", None)])  # type: ignore[list-item]
    store.filter_by_field("a", 3)  # type: ignore[arg-type]
    vse.MetadataStore(path=None)  # type: ignore[arg-type]


def kernels(i32: NDArray[np.int32], f32: NDArray[np.float32], u8: NDArray[np.uint8]) -> None:
    assert_type(vse.rroq158_score_batch(i32, f32, f32, i32, i32, f32, i32, f32, f32, 1, 1, 1, 1, 1, 1, 1, 1,
                                        q_mask=None, docs_mask=f32, n_threads=2), NDArray[np.float32])
    assert_type(vse.rroq4_riem_score_batch(f32, f32, f32, u8, f32, f32, i32, f32, f32, 1, 1, 1, 1, 2, 1, 2, 1),
                NDArray[np.float32])
    vse.rroq158_score_batch(f32, f32, f32, i32, i32, f32, i32, f32, f32,  # type: ignore[arg-type]
                            1, 1, 1, 1, 1, 1, 1, 1)
    vse.rroq4_riem_score_batch(f32, f32, f32, i32, f32, f32, i32, f32, f32,  # type: ignore[arg-type]
                               1, 1, 1, 1, 2, 1, 2, 1)
