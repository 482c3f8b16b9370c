"""Candidate embedding fetch against NumPy slicing of the same byte ranges, in one run.

2 000 candidates (drawn at random) out of 20 000 documents of 32 float16 rows x dim 128, from the
merged view and from float16 shard files: NumPy maps the same file (np.memmap), slices each
candidate's rows and joins them with np.concatenate, with the row ranges beside. A plain copy of
the same number of contiguous bytes (np.copyto) shows the memory-copy ceiling of this core. The
decode path (residual codec, nbits 2) is reported in rows per second. Last, the same rows from a
float32 shard file, narrowed to float16 on the way, against NumPy slicing the float32 memmap and
narrowing with astype(np.float16); both must give the merged view's bytes. Best of 5.
"""

import json
import os
import shutil
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from benchlib import best_time, percent, probe, table  # noqa: E402

N_DOCS, ROWS, DIM, N_CAND, NBITS, N_C = 20_000, 32, 128, 2_000, 2, 1024


def main():
    import varnelo_shard_engine as vse
    from safetensors.numpy import save_file

    limits = probe()
    rng = np.random.default_rng(4)
    root = tempfile.mkdtemp(prefix="vse-bench-fetch-")
    try:
        emb = rng.standard_normal((N_DOCS * ROWS, DIM)).astype(np.float16)
        merged = os.path.join(root, "merged")
        os.makedirs(merged)
        with open(os.path.join(merged, "merged_embeddings.bin"), "wb") as f:
            f.write(np.array([len(emb), DIM], np.uint64).tobytes())
            emb.tofile(f)
        offsets = np.arange(0, N_DOCS * ROWS + 1, ROWS, dtype=np.uint64)
        for name, arr in (("merged_offsets.bin", offsets), ("merged_doc_map.bin", np.arange(N_DOCS, dtype=np.uint64))):
            with open(os.path.join(merged, name), "wb") as f:
                f.write(np.uint64(len(arr)).tobytes() + arr.tobytes())
        index_dir = os.path.join(root, "index")
        os.makedirs(index_dir)
        packed = rng.integers(0, 256, (len(emb), NBITS * DIM // 8)).astype(np.uint8)
        codes = rng.integers(0, N_C, len(emb)).astype(np.uint16)
        save_file({"embeddings": emb}, os.path.join(index_dir, "shard_0.safetensors"))
        save_file({"embeddings": emb, "centroid_codes": codes, "packed_residuals": packed},
                  os.path.join(index_dir, "shard_1.safetensors"))
        f32_path = os.path.join(index_dir, "shard_2.safetensors")
        save_file({"embeddings": emb.astype(np.float32)}, f32_path)
        cands = rng.choice(N_DOCS, N_CAND, replace=False).astype(np.uint64)

        ix = vse.ShardIndex(index_dir, DIM)
        ids = np.arange(N_DOCS, dtype=np.uint64)
        ix.register_shard_docs(ids, np.zeros(N_DOCS, np.int64), ids * ROWS, (ids + 1) * ROWS)
        ix.fetch_candidate_embeddings(cands)
        t_raw, raw = best_time(lambda: ix.fetch_candidate_embeddings(cands))
        ix.register_shard_docs(ids, np.ones(N_DOCS, np.int64), ids * ROWS, (ids + 1) * ROWS)
        ix.set_centroids(rng.standard_normal((N_C, DIM)).astype(np.float32))
        ix.set_codec(rng.standard_normal(2**NBITS).astype(np.float32) * 0.1, NBITS)
        ix.set_use_compression(True)
        t_dec, dec = best_time(lambda: ix.fetch_candidate_embeddings(cands))
        ix.set_use_compression(False)
        ix.register_shard_docs(ids, np.full(N_DOCS, 2, np.int64), ids * ROWS, (ids + 1) * ROWS)
        ix.fetch_candidate_embeddings(cands)
        t_f32, narrowed = best_time(lambda: ix.fetch_candidate_embeddings(cands))
        ix.load_merged(merged)
        ix.fetch_candidate_embeddings(cands)
        t_merged, got = best_time(lambda: ix.fetch_candidate_embeddings(cands))
        ix.close()

        mm = np.memmap(os.path.join(merged, "merged_embeddings.bin"), np.float16, "r", 16, (N_DOCS * ROWS, DIM))

        def numpy_fetch():
            starts, ends = offsets[cands].astype(np.int64), offsets[cands + 1].astype(np.int64)
            data = np.concatenate([mm[s:e] for s, e in zip(starts, ends)]).view(np.uint8).ravel()
            lengths = ends - starts
            stops = np.cumsum(lengths)
            return data, np.stack([stops - lengths, stops], axis=1), cands

        with open(f32_path, "rb") as f:
            header_len = int.from_bytes(f.read(8), "little")
            begin = json.loads(f.read(header_len))["embeddings"]["data_offsets"][0]
        mm32 = np.memmap(f32_path, np.float32, "r", 8 + header_len + begin, (N_DOCS * ROWS, DIM))

        def numpy_fetch_f32():
            starts = offsets[cands].astype(np.int64)
            return np.concatenate([mm32[s:s + ROWS] for s in starts]).astype(np.float16).view(np.uint8).ravel()

        numpy_fetch()
        t_np, want = best_time(numpy_fetch)
        numpy_fetch_f32()
        t_np32, want32 = best_time(numpy_fetch_f32)
        assert got[0].tobytes() == want[0].tobytes() == raw[0].tobytes() and got[1].tolist() == want[1].tolist()
        assert narrowed[0].tobytes() == want32.tobytes() == want[0].tobytes() and narrowed[1].tolist() == want[1].tolist()
        n_bytes = len(want[0])
        src = np.asarray(mm[: N_CAND * ROWS]).view(np.uint8).ravel().copy()
        dst = np.empty_like(src)
        t_copy, _ = best_time(lambda: np.copyto(dst, src))
    finally:
        shutil.rmtree(root, ignore_errors=True)

    gbs = lambda t: n_bytes / t / 1e9  # noqa: E731
    print(f"fetch_candidate_embeddings: {N_CAND} of {N_DOCS} documents x {ROWS} rows x dim {DIM} (float16, "
          f"{n_bytes / 1e6:.1f} MB); best of 5\n")
    table(
        ["workload", "engine ms", "NumPy ms", "ratio (NumPy / engine)", "engine GB/s", "% of memcpy limit"],
        [
            ["merged view vs NumPy memmap slices + concatenate", f"{t_merged * 1e3:.2f}", f"{t_np * 1e3:.2f}",
             f"{t_np / t_merged:.2f}x", f"{gbs(t_merged):.1f}", percent(gbs(t_merged), limits.memcpy)],
            ["raw shard path vs the same NumPy", f"{t_raw * 1e3:.2f}", f"{t_np * 1e3:.2f}", f"{t_np / t_raw:.2f}x",
             f"{gbs(t_raw):.1f}", percent(gbs(t_raw), limits.memcpy)],
            ["float32 shard, narrowed, vs NumPy float32 memmap slices + astype(np.float16)", f"{t_f32 * 1e3:.2f}",
             f"{t_np32 * 1e3:.2f}", f"{t_np32 / t_f32:.2f}x", f"{gbs(t_f32):.1f} out, {2 * gbs(t_f32):.1f} in",
             percent(2 * gbs(t_f32), limits.read) + " of the read limit (float32 in)"],
        ],
    )
    print(f"\n- NumPy's own copy of the same bytes: np.copyto of {n_bytes / 1e6:.1f} MB in {t_copy * 1e3:.2f} ms = "
          f"{gbs(t_copy):.1f} GB/s; the merged path reaches {t_copy / t_merged:.0%} of it")
    print(f"- decode path (nbits {NBITS}): {len(dec[2]) * ROWS / t_dec / 1e6:.2f} M rows/s "
          f"({t_dec * 1e3:.1f} ms for {len(dec[2]) * ROWS} rows)")
    print(limits.report())


if __name__ == "__main__":
    main()
