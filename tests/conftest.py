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
