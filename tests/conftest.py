import struct
import zlib

import pytest

import varnelo_shard_engine as vse

DIM = 4
WAL = "shard.wal"


def wal_record(op, doc_id, payload=b"", values=(), n_vectors=0, dim=0):
    """One log record built independently of the module: fields, then CRC-32 of all of them."""
    if isinstance(payload, str):
        payload = payload.encode()
    body = struct.pack("<BQI", op, doc_id, len(payload)) + payload
    body += struct.pack("<II", n_vectors, dim) + struct.pack(f"<{len(values)}f", *values)
    return body + struct.pack("<I", zlib.crc32(body))


@pytest.fixture
def base_dir(tmp_path):
    return str(tmp_path / "index")


@pytest.fixture
def index(base_dir):
    ix = vse.ShardIndex(base_dir, DIM)
    yield ix
    ix.close()
