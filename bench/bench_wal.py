"""Write-ahead log throughput against raw buffered file I/O of the same bytes, in one run.

Append: N inserts of 32 x 128 float32 documents with small JSON payloads, ending with one sync,
against writing the same number of bytes in record-sized pieces through Python's buffered file
and one fsync. Replay: reopening that index (reading and checking every record) against reading the
same file in record-sized pieces. Each side runs several times, alternating; the best time counts.
"""

import json
import os
import shutil
import sys
import tempfile
import time

import numpy as np

import varnelo_shard_engine as vse

N_DOCS = int(os.environ.get("BENCH_WAL_DOCS", "20000"))
TOKENS, DIM, REPEATS = 32, 128, 5


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def main():
    rng = np.random.default_rng(0)
    docs = [rng.standard_normal((TOKENS, DIM)).astype(np.float32) for _ in range(256)]
    payloads = [json.dumps({"title": f"document {i}", "lang": "en", "n": i}) for i in range(N_DOCS)]
    root = tempfile.mkdtemp(prefix="vse-bench-wal-")
    index_dir = os.path.join(root, "index")
    raw_path = os.path.join(root, "raw.bin")
    try:
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
            with open(raw_path, "wb", buffering=8192) as f:
                for i in range(N_DOCS):
                    f.write(pieces[i & 15])
                f.flush()
                os.fsync(f.fileno())

        def engine_replay():
            ix = vse.ShardIndex(index_dir, DIM)
            assert ix.doc_count == N_DOCS
            ix.close()

        def raw_replay():
            with open(wal, "rb", buffering=8192) as f:
                while f.read(record):
                    pass

        results = []
        for name, engine, raw in (("append + sync", engine_append, raw_append), ("reopen (replay)", engine_replay, raw_replay)):
            e, r = float("inf"), float("inf")
            for _ in range(REPEATS):
                e = min(e, timed(engine))
                r = min(r, timed(raw))
            results.append((name, e, r))

        print(f"# WAL: {N_DOCS} documents of {TOKENS} x {DIM} float32, {total / 2**20:.1f} MiB of log\n")
        print("| workload | engine | raw file I/O | engine MB/s | raw MB/s | ratio (engine/raw throughput) |")
        print("|---|---|---|---|---|---|")
        for name, e, r in results:
            print(f"| {name} | {e * 1e3:.1f} ms | {r * 1e3:.1f} ms | {total / e / 1e6:.0f} | {total / r / 1e6:.0f} | {r / e:.2f}x |")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
