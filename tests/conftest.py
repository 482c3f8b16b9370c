import json
import os
import struct
import subprocess
import sys
import textwrap
import zlib

import numpy as np
import pytest

import varnelo_shard_engine as vse

DIM = 4
WAL = "shard.wal"
TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def wal_record(op, doc_id, payload=b"", values=(), n_vectors=0, dim=0):
    """One log record built independently of the module: fields, then CRC-32 of all of them."""
    if isinstance(payload, str):
        payload = payload.encode()
    body = struct.pack("<BQI", op, doc_id, len(payload)) + payload
    body += struct.pack("<II", n_vectors, dim) + struct.pack(f"<{len(values)}f", *values)
    return body + struct.pack("<I", zlib.crc32(body))


def misaligned(a):
    """A C-ordered copy of `a` at an odd address: misaligned unless its elements are single bytes."""
    view = np.frombuffer(bytearray(a.nbytes + 1), a.dtype, a.size, offset=1).reshape(a.shape)
    view[...] = a
    assert view.itemsize == 1 or not view.flags.aligned
    return view


@pytest.fixture
def base_dir(tmp_path):
    return str(tmp_path / "index")


@pytest.fixture
def index(base_dir):
    ix = vse.ShardIndex(base_dir, DIM)
    yield ix
    ix.close()


def run_python(code, env=None, timeout=120):
    """Runs `code` in a fresh interpreter (from the tests directory) and returns its output; it must
    exit with status 0."""
    full_env = dict(os.environ, **(env or {}))
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                       env=full_env, cwd=TESTS_DIR, timeout=timeout)
    assert r.returncode == 0, f"exit status {r.returncode}: {r.stderr}"
    return r.stdout


# Thread names of the running process, for code run by run_python.
THREAD_HELPERS = """
    import os, collections
    import numpy as np
    def threads():
        return collections.Counter(open(f"/proc/self/task/{t}/comm").read().strip()
                                   for t in os.listdir("/proc/self/task"))
    def new_threads(before):
        return sorted((threads() - before).elements())
"""


# Merged flat files

EMB, OFFSETS, DOC_MAP, CODES = "merged_embeddings.bin", "merged_offsets.bin", "merged_doc_map.bin", "merged_codes.bin"


def u64(*words):
    return struct.pack(f"<{len(words)}Q", *words)


def merged_files(docs, dim=8, codes=True):
    """The four files as the host writes them, for docs {doc_id: float16 rows}, in dict order; the
    codes file holds `codes` (one per row) when it is an array, a fixed pattern when True."""
    rows = [np.asarray(r, np.float16).reshape(-1, dim) for r in docs.values()]
    flat = np.concatenate(rows) if rows else np.zeros((0, dim), np.float16)
    bounds = np.concatenate([[0], np.cumsum([len(r) for r in rows])]).astype("<u8")
    files = {
        EMB: u64(len(flat), dim) + flat.astype("<f2").tobytes(),
        OFFSETS: u64(len(bounds)) + bounds.tobytes(),
        DOC_MAP: u64(len(docs)) + np.array(list(docs), "<u8").tobytes(),
    }
    if codes is not False:
        values = np.arange(len(flat)) % 7 if codes is True else np.asarray(codes)
        files[CODES] = u64(len(values)) + values.astype("<u2").tobytes()
    return files


def put(directory, files):
    os.makedirs(directory, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
    return str(directory)


def sparse_safetensors(path, name, dtype, shape, itemsize):
    """A shard file holding one tensor whose data is a hole: its size on disk stays a few bytes
    whatever the shape, so huge row ranges cost no disk."""
    n_bytes = itemsize * int(np.prod(shape, dtype=object))
    header = json.dumps({name: {"dtype": dtype, "shape": list(shape), "data_offsets": [0, n_bytes]}}).encode()
    header += b" " * (-len(header) % 8)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(u64(len(header)) + header)
        f.truncate(8 + len(header) + n_bytes)
