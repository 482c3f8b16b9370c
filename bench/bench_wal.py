"""Write-ahead log throughput against the log a Python user would write, and raw file I/O, in one run.

Append: N inserts of 32 x 128 float32 documents with small JSON payloads, ending with one sync.
Baselines: the same records written by Python (struct for the fields, zlib.crc32 for the checksum,
a buffered file of the engine's buffer size, one fsync), and the raw-bytes ceiling: as many bytes in
record-sized pieces through the same kind of file and one fsync. Replay: reopening that index
(reading and checking every record, building the document map) against Python reading the same
file, checking every record's CRC and keeping each document's payload and row count in a dict, and
against reading the file in record-sized pieces. Each side runs several times, alternating; the best
time counts. Beside the ratios: each rate as a share of this machine's limit measured by
bench/probe.cpp in the same run: durable file writes (1 MiB writes, then fsync) for the append, and
memcpy for the replay, whose file sits in the page cache.
"""

import json
import os
import shutil
import struct
import sys
import tempfile
import zlib

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from benchlib import alternate, percent, probe, table  # noqa: E402

import varnelo_shard_engine as vse  # noqa: E402

N_DOCS = int(os.environ.get("BENCH_WAL_DOCS", "20000"))
TOKENS, DIM, REPEATS = 32, 128, 5
BUFFER = 8192  # the engine's log buffer
INSERT = 1
HEAD = struct.Struct("<BQI")  # op, doc_id, payload_len
SHAPE = struct.Struct("<II")  # n_vectors, dim
CRC = struct.Struct("<I")


def python_append(path, docs, payloads):
    """The log a Python user would write for the same inserts: one record per document."""
    with open(path, "wb", buffering=BUFFER) as f:
        for i in range(N_DOCS):
            payload = payloads[i].encode()
            rows = docs[i & 255]
            body = b"".join((HEAD.pack(INSERT, i, len(payload)), payload, SHAPE.pack(*rows.shape), rows.tobytes()))
            f.write(body)
            f.write(CRC.pack(zlib.crc32(body)))
        f.flush()
        os.fsync(f.fileno())


def python_replay(path):
    """Reads every record, checks its CRC and keeps each document's payload and row count."""
    with open(path, "rb") as f:
        data = memoryview(f.read())
    docs, pos = {}, 0
    while pos + HEAD.size <= len(data):
        op, doc_id, n_payload = HEAD.unpack_from(data, pos)
        p = pos + HEAD.size + n_payload
        n_vectors, dim = SHAPE.unpack_from(data, p)
        end = p + SHAPE.size + 4 * n_vectors * dim
        (crc,) = CRC.unpack_from(data, end)
        if crc != zlib.crc32(data[pos:end]):
            break
        docs[doc_id] = (str(data[pos + HEAD.size:p], "utf-8"), n_vectors)
        pos = end + CRC.size
    return docs


def main():
    rng = np.random.default_rng(0)
    docs = [rng.standard_normal((TOKENS, DIM)).astype(np.float32) for _ in range(256)]
    payloads = [json.dumps({"title": f"document {i}", "lang": "en", "n": i}) for i in range(N_DOCS)]
    root = tempfile.mkdtemp(prefix="vse-bench-wal-")
    index_dir = os.path.join(root, "index")
    py_path = os.path.join(root, "python.wal")
    raw_path = os.path.join(root, "raw.bin")
    try:
        limits = probe(file_dir=root)

        def engine_append():
            shutil.rmtree(index_dir, ignore_errors=True)
            ix = vse.ShardIndex(index_dir, DIM)
            for i in range(N_DOCS):
                ix.insert(i, docs[i & 255], payloads[i])
            ix.sync()
            ix.close()

        engine_append()
        wal = os.path.join(index_dir, "shard.wal")
        total = os.path.getsize(wal)
        record = total // N_DOCS
        pieces = [os.urandom(record) for _ in range(16)]

        def raw_append():
            with open(raw_path, "wb", buffering=BUFFER) as f:
                for i in range(N_DOCS):
                    f.write(pieces[i & 15])
                f.flush()
                os.fsync(f.fileno())

        def engine_replay():
            ix = vse.ShardIndex(index_dir, DIM)
            n = ix.doc_count
            ix.close()
            return n

        def raw_replay():
            with open(wal, "rb", buffering=BUFFER) as f:
                while f.read(record):
                    pass

        python_append(py_path, docs, payloads)
        with open(wal, "rb") as a, open(py_path, "rb") as b:
            same_bytes = a.read() == b.read()
        append = alternate({"engine": engine_append, "python": lambda: python_append(py_path, docs, payloads),
                            "raw": raw_append}, REPEATS)
        replay = alternate({"engine": engine_replay, "python": lambda: len(python_replay(wal)), "raw": raw_replay},
                           REPEATS)
        assert replay["engine"][1] == replay["python"][1] == N_DOCS
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print(f"# WAL: {N_DOCS} documents of {TOKENS} x {DIM} float32, {total / 2**20:.1f} MiB of log, "
          f"best of {REPEATS}, sides alternating\n")
    rows = []
    for name, timed, limit, limit_name in (("append + sync", append, limits.file_write, "file write"),
                                           ("reopen (replay)", replay, limits.memcpy, "memcpy")):
        e = timed["engine"][0]
        for label, key in (("Python log (struct + zlib.crc32)", "python"), ("raw file I/O", "raw")):
            b = timed[key][0]
            rows.append([f"{name} vs {label}", f"{e * 1e3:.1f}", f"{b * 1e3:.1f}", f"{total / e / 1e6:.0f}",
                         f"{total / b / 1e6:.0f}", f"{b / e:.2f}x", f"{percent(total / e / 1e9, limit)} of {limit_name}",
                         f"{percent(total / b / 1e9, limit)}"])
    table(["workload", "engine ms", "baseline ms", "engine MB/s", "baseline MB/s", "ratio (engine / baseline "
           "throughput)", "engine % of limit", "baseline % of limit"], rows)
    print(f"\n- the Python log holds the same bytes as the engine's: {same_bytes}")
    print(limits.report())


if __name__ == "__main__":
    sys.exit(main())
