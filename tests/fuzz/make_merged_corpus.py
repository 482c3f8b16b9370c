"""Writes the seed corpus of the merged-file harness (tests/fuzz/corpus/merged/); run again after
changing it. Each seed is the harness's framing: an options byte (bits 0-2 the index width minus
one, bit 3 no codes file, bits 4-6 no embeddings, offsets or doc-map file), a byte for k, then the
four files "merged_embeddings.bin", "merged_offsets.bin", "merged_doc_map.bin", "merged_codes.bin",
each as a u32 length and its bytes. The files are written with numpy, as the host writes them,
then broken the ways a hostile or damaged directory is: counts near 2^64, lengths one short,
empty files, missing files."""

import os
import shutil
import struct

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "merged")
DIM = 4
NO_CODES, NO_EMB, NO_OFFSETS, NO_DOC_MAP = 8, 16, 32, 64


def u64(*words):
    return struct.pack(f"<{len(words)}Q", *words)


def files(docs, dim=DIM, bounds=None):
    """docs: (doc id, row count) pairs in file order; bounds, when given, replace the boundaries."""
    rng = np.random.default_rng(len(docs))
    counts = [n for _, n in docs]
    rows = rng.standard_normal((sum(counts), dim)).astype("<f2")
    if bounds is None:
        bounds = np.concatenate([[0], np.cumsum(counts)]).astype(int).tolist()
    return [
        u64(len(rows), dim) + rows.tobytes(),
        u64(len(bounds), *bounds),
        u64(len(docs), *[i for i, _ in docs]),
        u64(len(rows)) + (np.arange(len(rows)) % 5).astype("<u2").tobytes(),
    ]


def frame(parts, opts=DIM - 1, k=10):
    out = bytes([opts, k])
    for p in parts:
        out += struct.pack("<I", len(p)) + p
    return out


def seeds():
    base = files([(11, 3), (12, 1), (13, 4), (14, 2)])
    yield "host", frame(base)
    yield "k_all", frame(base, k=255)
    yield "k_zero", frame(base, k=0)
    yield "no_codes", frame(base, opts=DIM - 1 | NO_CODES)
    yield "missing_doc_map", frame(base, opts=DIM - 1 | NO_DOC_MAP)
    yield "missing_embeddings", frame(base, opts=DIM - 1 | NO_EMB)
    yield "missing_offsets", frame(base, opts=DIM - 1 | NO_OFFSETS)
    yield "other_width", frame(files([(1, 2), (2, 2)], dim=8))
    yield "width_1", frame(files([(1, 5), (2, 1)], dim=1), opts=0)
    # Enough candidates for several chunks of the pooled run.
    yield "many_docs", frame(files([(100 + i, 1 + i % 3) for i in range(45)], dim=1), opts=0, k=20)
    # Empty, reversed and outlying ranges, a repeated id, a position without a next boundary.
    yield "odd_ranges", frame(files([(5, 3), (6, 0), (5, 2), (7, 1), (8, 1), (9, 1)], bounds=[0, 3, 3, 1, 9, 2**61]))
    for i, name in enumerate(("embeddings", "offsets", "doc_map", "codes")):
        short = list(base)
        short[i] = short[i][:-1]
        yield f"one_short_{name}", frame(short)
        empty = list(base)
        empty[i] = b""
        yield f"empty_{name}", frame(empty)
    yield "all_empty", frame([b"", b"", b"", b""])
    yield "header_only", frame([u64(0, DIM), u64(0), u64(0), u64(0)])
    # Counts whose byte sizes do not fit 64 bits, or only just.
    yield "rows_near_2_64", frame([u64(2**64 - 1, DIM)] + base[1:])
    yield "dim_near_2_63", frame([u64(0, 2**63)] + base[1:])
    yield "dim_times_rows_wraps", frame([u64(2**62, 4)] + base[1:])
    yield "codes_near_2_63", frame(base[:3] + [u64(2**63 - 1)])
    yield "offsets_near_2_61", frame([base[0], u64(2**61)] + base[2:])
    yield "doc_map_near_2_64", frame(base[:2] + [u64(2**64 - 1)] + base[3:])
    yield "bounds_near_2_64", frame(files([(1, 1), (2, 1)], bounds=[0, 2**64 - 1, 2**64 - 2]))


def main():
    shutil.rmtree(OUT, ignore_errors=True)
    os.makedirs(OUT)
    for name, data in seeds():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
