"""Writes the seed corpora of the fuzz harnesses (tests/fuzz/corpus/<harness>/); run again after
changing it. Shard files come from the safetensors package, as the host writes them, plus a few
hand-made headers; log files are records built field by field; merged files are written with numpy
as the host writes them, then broken the ways a hostile or damaged directory is (counts near 2^64,
lengths one short, empty and missing files)."""

import os
import shutil
import struct
import sys
import zlib

import numpy as np
from safetensors.numpy import save

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from conftest import wal_record  # noqa: E402


def header_file(header):
    header = header.encode()
    return struct.pack("<Q", len(header)) + header + bytes(range(64))


def shard_seeds():
    emb = np.arange(40, dtype=np.float32).reshape(10, 4)
    yield "host_shard", save(
        {
            "embeddings": emb,
            "centroid_codes": np.arange(10, dtype=np.uint16),
            "packed_residuals": np.zeros((10, 2), np.uint8),
        },
        metadata={"format": "pt"},
    )
    yield "f16", save({"embeddings": emb.astype(np.float16)})
    # Float32 rows whose narrowing is easy to get wrong (65520, subnormal results, ties, NaNs), 11
    # values a row so that index widths leave a partial row; and a dtype the fetch does not serve.
    awkward = np.array([0x477FF000, 0x477FEFFF, 0x387FE000, 0x33000000, 0x33C00000, 0x3F801000, 0x7FA00000,
                        0xFFC00000, 0x00000001, 0x807FFFFF, 0xFF800000] * 3, np.uint32).view(np.float32)
    yield "f32_awkward", save({"embeddings": awkward.reshape(3, 11)})
    yield "f64", save({"embeddings": emb.astype(np.float64)})
    yield "empty_table", save({})
    yield "lenient", header_file(
        '{"a": {"shape": [2, -1, 4.0, 4], "data_offsets": [0, 16]},'
        ' "b": {"dtype": "U16", "shape": [3], "data_offsets": [0, 1, 2]},'
        ' "c": {"dtype": "F32", "shape": [1], "data_offsets": [16, 8]},'
        ' "d": {"dtype": "F32", "shape": [2], "data_offsets": [0, 18446744073709551615]},'
        ' "d": 3, "__metadata__": {"k": "v"}}'
    )
    yield "not_object", header_file("[1, 2.5e3, \"x\", null, true] ")
    yield "nested", header_file("[" * 40 + "]" * 40)


def wal_seeds():
    ins = lambda doc_id, payload=b"", n=1, dim=4, op=1: wal_record(op, doc_id, payload, [0.5] * (n * dim), n, dim)
    log = ins(1, b'{"a": 1}', n=3) + wal_record(2, 1) + ins(1, b"b") + wal_record(4, 1, b"x") + ins(2, op=3)
    yield "mixed", log
    yield "torn", log + ins(9, b"torn")[:-3]
    bad = bytearray(ins(5))
    bad[-1] ^= 1
    yield "bad_crc", ins(4) + bytes(bad) + ins(6)
    yield "bad_op", ins(4) + wal_record(7, 9)
    yield "limit", ins(4) + struct.pack("<BQI", 1, 3, 2**26 + 1)
    yield "empty", b""


NO_CODES, NO_EMB, NO_OFFSETS, NO_DOC_MAP, WIDE_FETCH = 8, 16, 32, 64, 128


def u64(*words):
    return struct.pack(f"<{len(words)}Q", *words)


def merged_files(docs, dim=4, bounds=None):
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


def merged_frame(parts, opts=3, k=10, tail=b""):
    out = bytes([opts, k])
    for p in parts:
        out += struct.pack("<I", len(p)) + p
    return out + tail


def merged_seeds():
    base = merged_files([(11, 3), (12, 1), (13, 4), (14, 2)])
    yield "host", merged_frame(base)
    yield "k_all", merged_frame(base, k=255)
    yield "k_zero", merged_frame(base, k=0)
    yield "no_codes", merged_frame(base, opts=3 | NO_CODES)
    yield "missing_doc_map", merged_frame(base, opts=3 | NO_DOC_MAP)
    yield "missing_embeddings", merged_frame(base, opts=3 | NO_EMB)
    yield "missing_offsets", merged_frame(base, opts=3 | NO_OFFSETS)
    yield "other_width", merged_frame(merged_files([(1, 2), (2, 2)], dim=8))
    yield "width_1", merged_frame(merged_files([(1, 5), (2, 1)], dim=1), opts=0)
    # Enough candidates for several chunks of the pooled run.
    many = [(100 + i, 1 + i % 3) for i in range(45)]
    yield "many_docs", merged_frame(merged_files(many, dim=1), opts=0, k=20)
    # Empty, reversed and outlying ranges, a repeated id, a position without a next boundary.
    docs = [(5, 3), (6, 0), (5, 2), (7, 1), (8, 1), (9, 1)]
    yield "odd_ranges", merged_frame(merged_files(docs, bounds=[0, 3, 3, 1, 9, 2**61]))
    for i, name in enumerate(("embeddings", "offsets", "doc_map", "codes")):
        short = list(base)
        short[i] = short[i][:-1]
        yield f"one_short_{name}", merged_frame(short)
        empty = list(base)
        empty[i] = b""
        yield f"empty_{name}", merged_frame(empty)
    yield "all_empty", merged_frame([b"", b"", b"", b""])
    yield "header_only", merged_frame([u64(0, 4), u64(0), u64(0), u64(0)])
    # Counts whose byte sizes do not fit 64 bits, or only just.
    yield "rows_near_2_64", merged_frame([u64(2**64 - 1, 4)] + base[1:])
    yield "dim_near_2_63", merged_frame([u64(0, 2**63)] + base[1:])
    yield "dim_times_rows_wraps", merged_frame([u64(2**62, 4)] + base[1:])
    yield "codes_near_2_63", merged_frame(base[:3] + [u64(2**63 - 1)])
    yield "offsets_near_2_61", merged_frame([base[0], u64(2**61)] + base[2:])
    yield "doc_map_near_2_64", merged_frame(base[:2] + [u64(2**64 - 1)] + base[3:])
    yield "bounds_near_2_64", merged_frame(merged_files([(1, 1), (2, 1)], bounds=[0, 2**64 - 1, 2**64 - 2]))
    # Fetches: the first id listed 2^10 more times; an index row too wide to address; and a
    # document of 2^43 bytes (a hole) listed 2^21 more times, whose total passes 2^64.
    yield "fetch_repeats", merged_frame(base, tail=bytes([10]))
    yield "fetch_wide_dim", merged_frame(base, opts=3 | WIDE_FETCH)
    big = 2**42
    hole = [u64(big, 1), u64(4, 0, big, 0, 1), u64(3, 7, 9, 8), u64(1, 3)]
    yield "fetch_total_wraps", merged_frame(hole, opts=0, tail=bytes([21]) + u64(16 + 2 * big))


def main():
    for name, seeds in (("safetensors", shard_seeds()), ("wal", wal_seeds()), ("merged", merged_seeds())):
        out = os.path.join(HERE, "corpus", name)
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        for seed_name, data in seeds:
            with open(os.path.join(out, seed_name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
