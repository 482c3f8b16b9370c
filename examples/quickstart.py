"""The main job, end to end: a durable index and its metadata store over a temporary directory,
then one batch through each quantized scoring kernel.

Opens an index, writes documents through the write-ahead log, lays their token embeddings (with a
centroid code and packed residuals per token) into a shard file the way the host package does,
registers them, reopens the index from disk and shows what it finds; searches it by exact MaxSim
(on the CPU and through a scoring callback) and by the cheap proxy of document means; then runs
the host's whole retrieval pipeline over a merged float16 copy of the documents: approximate
pre-filter by centroid codes, exact re-rank, fetch of the winners' rows, raw and rebuilt by the
residual codec. Then keeps the documents' payloads in a metadata store, searches them by text and
filters them by a JSON field; last, scores a batch of quantized queries against quantized
documents with rroq158_score_batch and rroq4_riem_score_batch, as the host does before its top-k.
All with timings.
"""
import json
import os
import struct
import tempfile
import time

import numpy as np
import numpy.typing as npt
from safetensors.numpy import save_file

import varnelo_shard_engine as vse

DIM = 128
rng = np.random.default_rng(0)


class Timer:
    def __init__(self, label):
        self.label = label

    def __enter__(self):
        self.t0 = time.perf_counter()
        return self

    def __exit__(self, *exc):
        ms = (time.perf_counter() - self.t0) * 1e3
        print(f"  {self.label:<44} {ms:9.2f} ms")


def random_doc(n_tokens):
    v = rng.standard_normal((n_tokens, DIM)).astype(np.float32)
    return v / np.linalg.norm(v, axis=1, keepdims=True)


def durable_index(base_dir):
    print("ShardIndex")
    docs = {doc_id: random_doc(int(rng.integers(8, 48))) for doc_id in range(1, 1001)}

    with Timer(f"open {base_dir}"):
        index = vse.ShardIndex(base_dir, DIM)
    with Timer(f"insert {len(docs)} documents"):
        for doc_id, emb in docs.items():
            index.insert(doc_id, emb, json.dumps({"title": f"doc {doc_id}", "len": len(emb)}))
    with Timer("update 100 payloads, delete 50 documents"):
        for doc_id in range(1, 101):
            index.update_payload(doc_id, json.dumps({"title": f"doc {doc_id}", "starred": True}))
        for doc_id in range(951, 1001):
            index.delete(doc_id)
    with Timer("sync"):
        index.sync()
    print(f"  documents {index.doc_count}, vectors {index.total_vectors}")

    # The host writes the token rows of its documents into shard files and registers where each
    # document lies; registration is not logged, so it is repeated after every open.
    kept = [d for d in docs if d <= 950]
    rows = np.concatenate([docs[d] for d in kept])
    ends = np.cumsum([len(docs[d]) for d in kept])
    starts = ends - [len(docs[d]) for d in kept]
    with Timer("quantize: 64 centroids, codes, 2-bit residuals"):
        codec = quantize(rows)
    with Timer(f"write shard_0.safetensors ({rows.nbytes / 1e6:.1f} MB)"):
        save_file({"embeddings": rows, "centroid_codes": codec["codes"], "packed_residuals": codec["packed"]},
                  os.path.join(base_dir, "shard_0.safetensors"))
    index.close()

    with Timer("reopen (log replay, shard mapping)"):
        index = vse.ShardIndex(base_dir, DIM)
    print(f"  after reopen: documents {index.doc_count}, vectors {index.total_vectors}")
    # Registration replaces each entry whole, payload included: the host keeps payloads in its
    # metadata store, so take them from the replayed log first.
    payloads = {d: index.get_payload(d) for d in kept}
    with Timer(f"register {len(kept)} shard documents"):
        index.register_shard_docs(kept, [0] * len(kept), starts.tolist(), ends.tolist())
    ids = index.doc_ids()
    print(f"  registered: documents {index.doc_count}, ids {ids[0]}..{ids[-1]}, vectors {index.total_vectors}")
    print(f"  contains(7)={index.contains(7)} contains(999)={index.contains(999)}")
    search(base_dir, index, docs, kept, starts, ends, codec)
    return payloads


def quantize(rows, n_centroids=64, nbits=2):
    """What the host's indexer computes: centroids (a few k-means steps), each token's nearest
    centroid, and its residual quantized to 2^nbits buckets, packed four indices a byte."""
    centroids = rows[rng.choice(len(rows), n_centroids, replace=False)]
    for _ in range(4):
        codes = np.argmax(rows @ centroids.T, axis=1)
        for c in range(n_centroids):
            if np.any(codes == c):
                centroids[c] = rows[codes == c].mean(axis=0)
    codes = np.argmax(rows @ centroids.T, axis=1)
    residuals = rows - centroids[codes]
    edges = np.quantile(residuals, np.linspace(0, 1, 2**nbits + 1)[1:-1])
    buckets = np.digitize(residuals, edges)
    weights = np.array([residuals[buckets == b].mean() for b in range(2**nbits)], np.float32)
    per_byte = 8 // nbits
    shifts = nbits * np.arange(per_byte - 1, -1, -1)
    packed = (buckets.reshape(len(rows), -1, per_byte) << shifts).sum(axis=2).astype(np.uint8)
    return {"centroids": centroids.astype(np.float32), "codes": codes.astype(np.uint16), "weights": weights,
            "nbits": nbits, "packed": packed}


def numpy_maxsim(query, rows, doc_ids, offsets):
    """A stand-in for the host's GPU scorer: every gathered row arrives at once."""
    return [float((query @ rows[s:e].T).max(axis=1).sum()) if e > s else 0.0 for s, e in offsets]


def search(base_dir, index, docs, kept, starts, ends, codec):
    # A query: the first tokens of document 42, slightly moved.
    query = (docs[42][:16] + 0.05 * rng.standard_normal((16, DIM))).astype(np.float32)
    with Timer(f"search over {index.doc_count} documents, k=5"):
        ids, scores = index.search(query, k=5)
    print(f"  best: {ids.tolist()} scores {[round(float(x), 3) for x in scores]}")

    # A cheap first pass: each document's mean token against the query.
    means = np.stack([docs[d].mean(axis=0) for d in kept]).astype(np.float32)
    with Timer("set_doc_means, proxy_score n_full=200"):
        index.set_doc_means(means, kept)
        proxy_ids, _ = index.proxy_score(query, n_full=200)
    print(f"  proxy keeps {len(proxy_ids)} candidates; the best search hit among them: {ids[0] in proxy_ids}")
    pipeline(index, os.path.join(base_dir, "merged"), {d: docs[d] for d in kept}, query, codec, ids)
    index.close()

    # The same search through a scoring callback (the host's GPU path), given at construction.
    index = vse.ShardIndex(base_dir, DIM, gpu_score_fn=numpy_maxsim)
    index.register_shard_docs(kept, [0] * len(kept), starts.tolist(), ends.tolist())
    with Timer("search through gpu_score_fn"):
        gpu_ids, gpu_scores = index.search(query, k=5)
    print(f"  same ranking as the CPU: {gpu_ids.tolist() == ids.tolist()}, "
          f"largest score difference {np.abs(gpu_scores - scores).max():.1e}")
    index.close()

    # Without a merged view, a fetch reads the shard files; with compression on it rebuilds each
    # row from its centroid code and packed residuals.
    index = vse.ShardIndex(base_dir, DIM)
    index.register_shard_docs(kept, [0] * len(kept), starts.tolist(), ends.tolist())
    index.set_centroids(codec["centroids"])
    index.set_codec(codec["weights"], codec["nbits"])
    index.set_use_compression(True)
    with Timer("fetch_candidate_embeddings, 5 winners, decoded"):
        data, ranges, fetched = index.fetch_candidate_embeddings(ids)
    rebuilt = data.view(np.float16).reshape(-1, DIM).astype(np.float32)
    original = np.concatenate([docs[d] for d in fetched.tolist()])
    cos = (rebuilt * original).sum(axis=1) / np.linalg.norm(original, axis=1)
    print(f"  {len(rebuilt)} rows rebuilt from {codec['packed'].shape[1]} bytes each; cosine to the "
          f"original rows: mean {cos.mean():.3f}")
    index.close()


def write_merged(directory, docs, codes):
    """The merged flat files the host writes beside its shards: every document's rows as float16
    back to back, the row boundaries, the doc id of each position, and each row's centroid code
    (all little-endian)."""
    os.makedirs(directory, exist_ok=True)
    rows = np.concatenate(list(docs.values())).astype("<f2")
    bounds = np.concatenate([[0], np.cumsum([len(r) for r in docs.values()])]).astype("<u8")
    with open(os.path.join(directory, "merged_embeddings.bin"), "wb") as f:
        f.write(struct.pack("<QQ", len(rows), DIM) + rows.tobytes())
    with open(os.path.join(directory, "merged_offsets.bin"), "wb") as f:
        f.write(struct.pack("<Q", len(bounds)) + bounds.tobytes())
    with open(os.path.join(directory, "merged_doc_map.bin"), "wb") as f:
        f.write(struct.pack("<Q", len(docs)) + np.array(list(docs), "<u8").tobytes())
    with open(os.path.join(directory, "merged_codes.bin"), "wb") as f:
        f.write(struct.pack("<Q", len(codes)) + codes.astype("<u2").tobytes())
    return rows.nbytes


def pipeline(index, directory, docs, query, codec, searched):
    # The host keeps a merged float16 copy of its documents, with their centroid codes, beside the
    # shards: a cheap pre-filter over every document by codes, an exact re-rank of its survivors
    # straight from the mapping, and the winners' rows for whatever the host does next.
    with Timer("write merged files (float16, codes)"):
        nbytes = write_merged(directory, docs, codec["codes"])
    with Timer(f"load_merged ({nbytes / 1e6:.1f} MB of rows, mapped)"):
        index.load_merged(directory)
    index.set_centroids(codec["centroids"])
    with Timer(f"score_candidates_approx, {len(docs)} documents, n_top=50"):
        candidates, _ = index.score_candidates_approx(query, list(docs), n_top=50)
    with Timer(f"score_candidates_exact, {len(candidates)} candidates, k=5"):
        ids, scores = index.score_candidates_exact(query, candidates, k=5)
    print(f"  re-ranked: {ids.tolist()} scores {[round(float(x), 3) for x in scores]}")
    print(f"  best search hit first again: {ids[0] == searched[0]}")
    with Timer("fetch_candidate_embeddings, 5 winners, raw"):
        data, ranges, fetched = index.fetch_candidate_embeddings(ids)
    rows = data.view(np.float16).reshape(-1, DIM)
    print(f"  {len(fetched)} documents, {len(rows)} rows; rows of the first equal its float16 copy: "
          f"{np.array_equal(rows[ranges[0, 0]:ranges[0, 1]], docs[int(fetched[0])].astype(np.float16))}")


TOPICS = ["retrieval", "indexing", "compression", "ranking", "storage"]
PHRASES = {
    "retrieval": "searching documents with late interaction",
    "indexing": "building indexes over token embeddings",
    "compression": "residual codes shrink the stored vectors",
    "ranking": "scores ordered by maximum similarity",
    "storage": "durable writes through a write-ahead log",
}


def metadata_store(db_path, payloads):
    print("MetadataStore")
    # The host keeps each document's payload beside the index, with a text to search by.
    items = []
    for doc_id, payload in payloads.items():
        fields = json.loads(payload)
        topic = TOPICS[doc_id % len(TOPICS)]
        fields["topic"] = topic
        fields["meta"] = {"lang": "en" if doc_id % 3 else "de"}
        items.append((doc_id, json.dumps(fields), f"{fields['title']}: {PHRASES[topic]}"))

    with Timer(f"open {db_path}"):
        store = vse.MetadataStore(db_path)
    with Timer(f"set_payloads_bulk {len(items)} payloads"):
        store.set_payloads_bulk(items)
    store.set_payload(7, json.dumps({"title": "doc 7", "topic": "ranking", "starred": True}),
                      "doc 7: rescored and starred by hand")
    print(f"  documents {store.count()}, payload of 7: {store.get_payload(7)}")

    with Timer('search_text("searched document")'):
        hits = store.search_text("searched document", limit=5)
    print(f"  best 5 (stemmed: searched -> search): {hits}")
    phrase = store.search_text('"write-ahead log"', limit=1000)
    print(f'  phrase "write-ahead log": {len(phrase)} documents')

    with Timer('filter_by_field("topic", "compression")'):
        compressed = store.filter_by_field("topic", "compression")
    with Timer("create_field_index topic, meta.lang"):
        store.create_field_index("topic")
        store.create_field_index("meta.lang")
    print(f"  topic=compression: {len(compressed)} documents, first {compressed[:5]}")
    print(f"  meta.lang=de: {len(store.filter_by_field('meta.lang', 'de'))} documents")
    print(f"  deleted 7: {store.delete_payload(7)}, again: {store.delete_payload(7)}")
    del store

    with Timer("reopen"):
        store = vse.MetadataStore(db_path)
    print(f"  after reopen: documents {store.count()}, ids {store.all_doc_ids()[:3]}...")


def quantized_batches():
    print("Quantized batch kernels")
    A, S, B, T, K = 4, 32, 500, 32, 256  # queries x tokens, documents x tokens, centroids
    cid = rng.integers(0, K, B * T).astype(np.int32)
    cos, sin = rng.random(B * T).astype(np.float32), rng.random(B * T).astype(np.float32)
    qc_table = rng.standard_normal(A * S * K).astype(np.float32)
    q_mask = np.ones(A * S, np.float32)
    q_mask[S - 4:S] = 0.0  # the first query has four padding tokens

    # rroq158: ternary document residuals in sign / non-zero bit planes, 4-bit query codes.
    n_words, n_groups, query_bits = DIM // 32, 4, 4

    def words(n: int) -> npt.NDArray[np.int32]:
        return rng.integers(-(2**31), 2**31, n, dtype=np.int64).astype(np.int32)

    with Timer(f"rroq158_score_batch {A}x{B} pairs"):
        scores = vse.rroq158_score_batch(
            words(A * S * query_bits * n_words), rng.standard_normal(A * S * 2).astype(np.float32) * 0.1,
            qc_table, words(B * T * n_words), words(B * T * n_words),
            rng.random(B * T * n_groups).astype(np.float32) * 0.05, cid, cos, sin,
            A, B, S, T, n_words, n_groups, query_bits, K, q_mask=q_mask)
    top = np.argsort(-scores.reshape(A, B), axis=1)[:, :3]
    print(f"  best documents per query: {top.tolist()}")

    # rroq4_riem: 4-bit document codes with a minimum and step per group of 32, float queries.
    group_size = 32
    n_groups = DIM // group_size
    q_rot = rng.standard_normal((A * S, DIM)).astype(np.float32) * 0.1
    q_gsums = q_rot.reshape(A * S, n_groups, group_size).sum(-1).astype(np.float32)
    with Timer(f"rroq4_riem_score_batch {A}x{B} pairs, 2 threads"):
        scores = vse.rroq4_riem_score_batch(
            q_rot.ravel(), q_gsums.ravel(), qc_table,
            rng.integers(0, 256, B * T * DIM // 2).astype(np.uint8),
            rng.standard_normal(B * T * n_groups).astype(np.float32) * 0.1,
            rng.random(B * T * n_groups).astype(np.float32) * 0.02, cid, cos, sin,
            A, B, S, T, DIM, n_groups, group_size, K, q_mask=q_mask, n_threads=2)
    top = np.argsort(-scores.reshape(A, B), axis=1)[:, :3]
    print(f"  best documents per query: {top.tolist()}")


def main():
    with tempfile.TemporaryDirectory(prefix="vse-quickstart-") as tmp:
        payloads = durable_index(os.path.join(tmp, "index"))
        metadata_store(os.path.join(tmp, "metadata.db"), payloads)
    quantized_batches()


if __name__ == "__main__":
    main()
