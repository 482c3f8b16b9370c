"""Writes the seed corpora of the fuzz harnesses (tests/fuzz/corpus/<harness>/); run again after
changing it. Shard files come from the safetensors package, as the host writes them, plus a few
hand-made headers; log files are records built field by field."""

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


def main():
    for name, seeds in (("safetensors", shard_seeds()), ("wal", wal_seeds())):
        out = os.path.join(HERE, "corpus", name)
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        for seed_name, data in seeds:
            with open(os.path.join(out, seed_name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
