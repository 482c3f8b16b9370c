import json
import os

import numpy as np
import pytest
from safetensors.numpy import save_file

import varnelo_shard_engine as vse
from conftest import DOC_MAP, EMB, OFFSETS, merged_files, put, sparse_safetensors, u64

rng = np.random.default_rng(23)


def f16_trunc(x):
    """float32 -> float16 bits, cut towards zero: the nearest float16, stepped back one place when
    it lies beyond x; 65536 and up is infinity, a NaN the quiet NaN of its sign."""
    x = np.asarray(x, np.float32)
    with np.errstate(over="ignore"):
        h = x.astype(np.float16)
    bits = h.view(np.uint16).copy()
    beyond = np.abs(h.astype(np.float64)) > np.abs(x.astype(np.float64))
    bits[beyond] -= 1
    sign = np.where(np.signbit(x), 0x8000, 0).astype(np.uint16)
    bits = np.where(np.abs(x) >= 65536, sign | 0x7C00, bits)
    return np.where(np.isnan(x), sign | 0x7E00, bits).astype(np.uint16)


def pack(indices, nbits, dim):
    """The packed residual bytes of one row: first index in the most significant bits."""
    per = 8 // nbits
    P = nbits * dim // 8
    out = np.zeros(P, np.uint8)
    for t in range(P):
        for u in range(per):
            out[t] |= indices[t * per + u] << (nbits * (per - 1 - u))
    return out


def decode(centroids, weights, code, indices, nbits, dim):
    """One row rebuilt in the codec's order of float32 operations."""
    n_c = len(centroids)
    base = centroids[code] if code < n_c else centroids[0]
    buf = np.zeros(dim, np.float32)
    reach = min(dim, (nbits * dim // 8) * (8 // nbits))
    buf[:reach] = base[:reach] + weights[indices[:reach]]
    total = np.float32(0.0)
    for v in buf:
        total = np.float32(total + np.float32(v * v))
    scale = np.float32(1.0) / np.sqrt(total) if total > np.float32(1e-24) else np.float32(0.0)
    return f16_trunc(scale * buf)


def shard_with_codes(base, shard_id, rows, dim, nbits, n_c):
    codes = rng.integers(0, n_c + 2, rows).astype(np.uint16)  # now and then beyond the table
    indices = rng.integers(0, 2**nbits, (rows, dim))
    packed = np.stack([pack(r, nbits, dim) for r in indices]) if nbits * dim >= 8 else np.zeros((rows, 0), np.uint8)
    emb = rng.standard_normal((rows, dim)).astype(np.float16)
    save_file({"embeddings": emb, "centroid_codes": codes, "packed_residuals": packed},
              os.path.join(base, f"shard_{shard_id}.safetensors"))
    return emb, codes, indices


@pytest.mark.parametrize("dim", [10, 128, 300])
@pytest.mark.parametrize("nbits", [1, 2, 4, 8])
def test_decode_mode_against_the_float32_reference(tmp_path, dim, nbits):
    base = str(tmp_path / "ix")
    os.makedirs(base)
    n_c = 6
    emb, codes, indices = shard_with_codes(base, 0, 9, dim, nbits, n_c)
    ix = vse.ShardIndex(base, dim)
    ix.register_shard_docs([7, 8, 9], [0, 0, 0], [0, 2, 6], [2, 6, 9])
    centroids = (rng.standard_normal((n_c, dim)) * 0.1).astype(np.float32)
    weights = rng.standard_normal(2**nbits).astype(np.float32) * 0.05
    ix.set_centroids(centroids)
    ix.set_codec(weights, nbits)
    ix.set_use_compression(True)
    data, ranges, ids = ix.fetch_candidate_embeddings([8, 7, 9])
    assert ids.tolist() == [8, 7, 9] and ranges.tolist() == [[0, 4], [4, 6], [6, 9]]
    want = np.stack([decode(centroids, weights, codes[r], indices[r], nbits, dim) for r in [2, 3, 4, 5, 0, 1, 6, 7, 8]])
    assert data.dtype == np.uint8 and data.view(np.uint16).reshape(9, dim).tolist() == want.tolist()
    # A later table does not reach the codec until set_codec runs again.
    ix.set_centroids(centroids * 2)
    assert ix.fetch_candidate_embeddings([7])[0].tobytes() == want[4:6].tobytes()
    # Switched off: the stored float16 rows, byte for byte.
    ix.set_use_compression(np.bool_(False))
    assert ix.fetch_candidate_embeddings([9])[0].tobytes() == emb[6:9].tobytes()
    ix.close()


def test_a_row_that_rebuilds_to_zero_keeps_its_signs(tmp_path):
    base = str(tmp_path / "ix")
    os.makedirs(base)
    save_file({"centroid_codes": np.zeros(1, np.uint16), "packed_residuals": np.array([[0x0F]], np.uint8)},
              os.path.join(base, "shard_0.safetensors"))
    ix = vse.ShardIndex(base, 4)
    ix.register_shard_docs([1], [0], [0], [1])
    ix.set_centroids(np.array([[-1e-13, 1e-13, -1e-13, 1e-13]], np.float32))  # squares sum below 1e-24
    ix.set_codec([0.0, 0.0, 0.0, 0.0], 2)
    ix.set_use_compression(True)
    assert ix.fetch_candidate_embeddings([1])[0].view(np.uint16).tolist() == [0x8000, 0, 0x8000, 0]
    ix.close()


def test_raw_mode_groups_by_shard_in_candidate_order(tmp_path):
    base = str(tmp_path / "ix")
    os.makedirs(base)
    a = rng.standard_normal((6, 4)).astype(np.float16)
    b = rng.standard_normal((5, 4)).astype(np.float16)
    save_file({"embeddings": a}, os.path.join(base, "shard_0.safetensors"))
    save_file({"embeddings": b, "centroid_codes": np.zeros(5, np.uint16)}, os.path.join(base, "shard_1.safetensors"))
    ix = vse.ShardIndex(base, 4)
    ix.insert(99, np.zeros((1, 4), np.float32))
    ix.register_shard_docs([1, 2, 3, 4, 5, 6], [0, 1, 0, 1, 0, 7], [2, 0, 0, 3, 3, 0], [5, 3, 2, 5, 3, 1])
    # Compression on with a codec, but neither shard has both tensors: raw mode.
    ix.set_centroids(np.ones((2, 4), np.float32))
    ix.set_codec([0.0, 1.0], 1)
    ix.set_use_compression(True)
    data, ranges, ids = ix.fetch_candidate_embeddings([4, 1, 99, 5, 2, 3, 1, 6, 1234])
    parts = {1: a[2:5], 3: a[0:2], 2: b[0:3], 4: b[3:5]}
    got = {}
    for i, (s, e) in zip(ids.tolist(), ranges.tolist()):
        got.setdefault(i, []).append(data.view(np.float16).reshape(-1, 4)[s:e].tobytes())
    assert sorted(ids.tolist()) == [1, 1, 2, 3, 4]  # 5: empty range, 6: no shard 7, 99: no location
    assert all(v == [parts[i].tobytes()] * len(v) for i, v in got.items())
    order = ids.tolist()
    assert order.index(1) < order.index(3) and order.index(4) < order.index(2)  # candidate order per shard
    ix.close()


def test_short_decode_inputs_are_left_out(tmp_path):
    base = str(tmp_path / "ix")
    os.makedirs(base)
    # dim 8 with nbits 2: a row is one code and 2 residual bytes.
    save_file({"centroid_codes": np.zeros(4, np.uint16), "packed_residuals": np.zeros((2, 2), np.uint8),
               "embeddings": np.zeros((4, 8), np.float16)}, os.path.join(base, "shard_0.safetensors"))
    save_file({"centroid_codes": np.zeros(2, np.uint16), "packed_residuals": np.zeros((4, 1), np.uint8)},
              os.path.join(base, "shard_1.safetensors"))
    ix = vse.ShardIndex(base, 8)
    ix.register_shard_docs([1, 2, 3], [0, 1, 1], [0, 0, 0], [2, 2, 4])
    ix.set_centroids(np.ones((1, 8), np.float32))
    ix.set_codec([0.1, 0.2, 0.3, 0.4], 2)
    ix.set_use_compression(True)
    data, ranges, ids = ix.fetch_candidate_embeddings([1, 2, 3])
    # 1 is whole; 2's residual rows hold 1 byte where a row needs 2; 3 runs past the 2 code rows.
    assert ids.tolist() == [1] and ranges.tolist() == [[0, 2]] and len(data) == 2 * 2 * 8
    ix.close()


def test_empty_results_and_codec_checks(tmp_path):
    ix = vse.ShardIndex(str(tmp_path), 4)
    data, ranges, ids = ix.fetch_candidate_embeddings([])
    assert (data.dtype, data.shape, ranges.dtype, ranges.shape, ids.dtype, ids.shape) == (
        np.uint8, (0,), np.int64, (0, 2), np.uint64, (0,))
    assert data.flags.writeable
    with pytest.raises(RuntimeError, match="^set_centroids must be called before set_codec$"):
        ix.set_codec([0.0], 3)  # even with a bad nbits
    ix.set_centroids(np.ones((2, 4), np.float32))
    for nbits in (0, 3, 16):
        with pytest.raises(ValueError, match=f"^nbits must divide 8, got {nbits}$"):
            ix.set_codec([0.0, 1.0], nbits)
    with pytest.raises(ValueError, match=r"^bucket_weights len 3 != 2\^nbits = 4$"):
        ix.set_codec([0.0, 1.0, 2.0], 2)
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        ix.set_codec("ab", 1)
    with pytest.raises(TypeError, match="^argument 'bucket_weights': "):
        ix.set_codec([0.0, "x"], 1)
    with pytest.raises(OverflowError):
        ix.set_codec([0.0, 1.0], -1)
    with pytest.raises(TypeError, match="^argument 'enabled': "):
        ix.set_use_compression(1)
    ix.set_codec(np.array([0.5, 1.5], np.float32), 1)
    ix.close()
    for call in (lambda: ix.set_codec([0.0, 1.0], 1), lambda: ix.set_use_compression(True),
                 lambda: ix.fetch_candidate_embeddings([1])):
        with pytest.raises(RuntimeError, match="^ShardIndex is closed$"):
            call()


def test_merged_path_in_candidate_order(tmp_path):
    docs = {i: rng.standard_normal((int(rng.integers(1, 6)), 4)).astype(np.float16) for i in (5, 3, 9, 1)}
    files = merged_files(docs, 4)
    bounds = np.concatenate([[0], np.cumsum([len(r) for r in docs.values()])]).astype(np.uint64)
    ix = vse.ShardIndex(str(tmp_path / "ix"), 4)
    ix.set_centroids(np.ones((1, 4), np.float32))
    ix.set_codec([0.0, 1.0], 1)
    ix.set_use_compression(True)  # plays no part on the merged path
    ix.load_merged(put(tmp_path / "m", files))
    data, ranges, ids = ix.fetch_candidate_embeddings([9, 5, 1234, 9, 1])
    assert ids.tolist() == [9, 5, 9, 1]
    rows = data.view(np.float16).reshape(-1, 4)
    for i, (s, e) in zip(ids.tolist(), ranges.tolist()):
        assert rows[s:e].tobytes() == docs[i].tobytes()
    assert ranges[0].tolist() == [0, len(docs[9])] and ranges[1:, 0].tolist() == ranges[:-1, 1].tolist()
    # Rows [2, 5) of a dim-4 file: 24 bytes, 3 rows. Equal boundaries and rows past the end of the
    # file leave a document out.
    end = int(bounds[-1])
    bounds2 = np.array([2, 5, 5, end + 1], "<u8")
    files[OFFSETS] = u64(4) + bounds2.tobytes()
    ix.load_merged(put(tmp_path / "m2", files))
    data, ranges, ids = ix.fetch_candidate_embeddings([5, 3, 9])
    assert ids.tolist() == [5] and ranges.tolist() == [[0, 3]] and len(data) == 24
    assert data.tobytes() == files[EMB][16 + 2 * 2 * 4: 16 + 2 * 5 * 4]
    ix.close()


def assert_ranges_tile(data, ranges, dim):
    """The ranges follow one another from row 0, and the buffer holds exactly their rows."""
    ends = [0] + ranges[:, 1].tolist()
    assert ranges[:, 0].tolist() == ends[:-1] and len(data) == 2 * dim * ends[-1]


@pytest.mark.parametrize("width, want", [
    (2, {1: [[0, 1]]}),  # 6 values: one whole row of 4; 2 values: none, left out
    (6, {1: [[0, 3]], 2: [[3, 4]], 3: [[4, 5]]}),  # 12 values: three rows; 6 values: one
])
def test_merged_rows_of_another_width(tmp_path, width, want):
    # A merged file whose width is not the index's 4: a document serves the whole index rows its
    # bytes hold and only their bytes, so that each later range still points at its own rows.
    docs = {1: np.arange(12 if width == 6 else 6, dtype=np.float16).reshape(-1, width),
            2: np.full((1, width), 2, np.float16), 3: np.full((1, width), 3, np.float16)}
    ix = vse.ShardIndex(str(tmp_path / "ix"), 4)
    ix.load_merged(put(tmp_path / "m", merged_files(docs, width)))
    data, ranges, ids = ix.fetch_candidate_embeddings([1, 2, 3])
    assert dict(zip(ids.tolist(), ([r] for r in ranges.tolist()))) == want
    assert_ranges_tile(data, ranges, 4)
    rows = data.view(np.float16).reshape(-1, 4)
    for i, (s, e) in zip(ids.tolist(), ranges.tolist()):
        assert rows[s:e].tobytes() == docs[i].reshape(-1)[: 4 * (e - s)].tobytes(), i
    ix.close()


def awkward_f32(n):
    """float32 values whose narrowing is easy to get wrong: both sides of 65520, infinities,
    subnormal results and their boundaries, ties to even, binary32 subnormals, NaNs of both
    signs and both kinds; then random bit patterns of every exponent and random normals."""
    special = np.array([
        0x477FE000, 0x477FEFFF, 0x477FF000, 0xC77FF000, 0x49742400, 0x7F800000, 0xFF800000,  # 65504 .. 1e6, inf
        0x38800000, 0x387FE000, 0x387FDFFF, 0x33800000, 0x33000000, 0xB3000000, 0x33000001, 0x33C00000,
        0x3F801000, 0x3F803000, 0xBF801000, 0x00000001, 0x807FFFFF, 0x80000000, 0x322BCC77,  # ..., 1e-8
        0x7FC00000, 0xFFC00000, 0x7FA00000, 0xFF800001, 0x7FFFFFFF,
    ], np.uint32).view(np.float32)
    bits = rng.integers(0, 2**32, n // 2, dtype=np.uint64).astype(np.uint32).view(np.float32)
    values = np.concatenate([special, bits, rng.standard_normal(n).astype(np.float32) * 100])
    return values[: len(values) // 8 * 8].reshape(-1, 8)


def test_float32_shard_rows_come_back_as_numpy_narrows_them(tmp_path):
    # Shards as the host writes them: float32 "embeddings". Each document's rows come back narrowed
    # as NumPy's astype(np.float16) narrows them, with its true row count, and as the same document
    # comes back from a merged view written from those float16 rows.
    base = str(tmp_path / "ix")
    os.makedirs(base)
    emb = awkward_f32(600)
    save_file({"embeddings": emb}, os.path.join(base, "shard_0.safetensors"))
    bounds = [0, 3, 4, 40, len(emb)]
    ids = [11, 12, 13, 14]
    with np.errstate(over="ignore", invalid="ignore"):
        halves = emb.astype(np.float16)
    ix = vse.ShardIndex(base, 8)
    ix.register_shard_docs(ids, [0] * 4, bounds[:-1], bounds[1:])
    data, ranges, got_ids = ix.fetch_candidate_embeddings([12, 11, 14, 13, 11])
    assert got_ids.tolist() == [12, 11, 14, 13, 11]
    want_ranges, at = [], 0
    for i in got_ids.tolist():
        n = bounds[ids.index(i) + 1] - bounds[ids.index(i)]
        want_ranges.append([at, at + n])
        at += n
    assert ranges.tolist() == want_ranges and len(data) == 2 * 8 * at
    rows = data.view(np.uint16).reshape(-1, 8)
    for i, (s, e) in zip(got_ids.tolist(), ranges.tolist()):
        k = ids.index(i)
        assert rows[s:e].tolist() == halves[bounds[k]:bounds[k + 1]].view(np.uint16).tolist(), i
    # The same documents from a merged view of the float16 rows.
    ix.load_merged(put(tmp_path / "m", merged_files({i: halves[bounds[k]:bounds[k + 1]] for k, i in enumerate(ids)}, 8)))
    merged, merged_ranges, merged_ids = ix.fetch_candidate_embeddings(got_ids.tolist())
    assert merged_ids.tolist() == got_ids.tolist() and merged_ranges.tolist() == ranges.tolist()
    assert merged.tobytes() == data.tobytes()
    ix.close()


# Signalling NaNs of both signs: payloads wholly below the ten bits a float16 keeps, at the lowest
# kept bit, with low bits beside it, at the top, all ones; then quiet NaNs and a number beside them.
SIGNALLING_NANS = [0x7F800001, 0xFF800001, 0x7F801FFF, 0x7F802000, 0xFF802001, 0x7FA00000, 0x7FBFFFFF, 0xFFBFFFFF]
NEIGHBOURS = [0x7FC00000, 0xFFC00001, 0x3F800000]


def test_signalling_nans_narrow_as_numpy_narrows_them(tmp_path):
    # Rows 11 wide, each a rotation of the patterns, so that every pattern falls at many positions
    # of a document's run: in whole vectors and in the few values past the last one. NumPy keeps a
    # signalling NaN signalling (the processor's conversion alone would quiet it).
    base = str(tmp_path / "ix")
    os.makedirs(base)
    values = np.array(SIGNALLING_NANS + NEIGHBOURS, np.uint32)
    emb = np.stack([np.roll(values, k) for k in range(len(values))]).view(np.float32)
    save_file({"embeddings": emb}, os.path.join(base, "shard_0.safetensors"))
    with np.errstate(invalid="ignore"):
        want = emb.astype(np.float16).view(np.uint16)
    ix = vse.ShardIndex(base, len(values))
    ix.register_shard_docs([1, 2], [0, 0], [0, 3], [len(emb), 4])
    data, ranges, ids = ix.fetch_candidate_embeddings([1, 2])
    assert ids.tolist() == [1, 2] and ranges.tolist() == [[0, len(emb)], [len(emb), len(emb) + 1]]
    rows = data.view(np.uint16).reshape(-1, len(values))
    hexes = lambda a: [[hex(h) for h in r] for r in a.tolist()]  # noqa: E731
    assert hexes(rows) == hexes(np.vstack([want, want[3:4]]))
    ix.close()


def odd_offset_f32_shard(path, values):
    """A shard whose "embeddings" (float32) start at an odd file offset: every value unaligned."""
    header = json.dumps({"embeddings": {"dtype": "F32", "shape": list(values.shape),
                                        "data_offsets": [0, values.nbytes]}}).encode()
    header += b" " * (1 - len(header) % 2)
    with open(path, "wb") as f:
        f.write(u64(len(header)) + header + values.astype("<f4").tobytes())


def test_what_each_embeddings_dtype_serves(tmp_path):
    # Index width 4. F16 rows come back as stored, F32 rows narrowed, both whole index rows only
    # (here from tensors 6 values wide, from a 1-D tensor, whose rows are one value each, and from
    # one whose values lie at odd addresses); any other dtype leaves its documents out.
    base = str(tmp_path / "ix")
    os.makedirs(base)
    f16 = rng.standard_normal((3, 4)).astype(np.float16)
    wide = rng.standard_normal((3, 6)).astype(np.float32)
    odd = rng.standard_normal((5, 4)).astype(np.float32)
    flat16 = np.arange(6, dtype=np.float16)
    wide16 = rng.standard_normal((2, 6)).astype(np.float16)
    save_file({"embeddings": rng.standard_normal((3, 4))}, os.path.join(base, "shard_0.safetensors"))  # F64
    save_file({"embeddings": np.ones((3, 4), np.int32)}, os.path.join(base, "shard_1.safetensors"))
    save_file({"embeddings": f16}, os.path.join(base, "shard_2.safetensors"))
    save_file({"embeddings": wide}, os.path.join(base, "shard_3.safetensors"))
    odd_offset_f32_shard(os.path.join(base, "shard_4.safetensors"), odd)
    save_file({"embeddings": flat16}, os.path.join(base, "shard_5.safetensors"))
    save_file({"embeddings": wide16}, os.path.join(base, "shard_6.safetensors"))
    ix = vse.ShardIndex(base, 4)
    ix.register_shard_docs([1, 2, 3, 4, 5, 6, 7, 8, 9], [0, 1, 2, 3, 3, 4, 5, 6, 6],
                           [0, 0, 1, 0, 2, 1, 0, 0, 1], [3, 3, 3, 1, 3, 5, 3, 2, 2])
    data, ranges, ids = ix.fetch_candidate_embeddings([1, 2, 3, 4, 5, 6, 7, 8, 9])
    want = {3: f16[1:3], 4: wide[0:1].reshape(-1)[:4].astype(np.float16),  # 6 values: one whole row
            5: wide[2:3].reshape(-1)[:4].astype(np.float16), 6: odd[1:5].astype(np.float16),
            7: flat16[:0], 8: wide16.reshape(-1), 9: wide16[1, :4]}  # 3 values: no row; 12: three
    assert sorted(ids.tolist()) == [3, 4, 5, 6, 7, 8, 9]
    assert_ranges_tile(data, ranges, 4)
    rows = data.view(np.float16).reshape(-1, 4)
    for i, (s, e) in zip(ids.tolist(), ranges.tolist()):
        assert rows[s:e].tobytes() == want[i].tobytes(), i
    ix.close()


# Widths whose row of float16 values, 2 * dim bytes, does not fit 64 bits.
WIDE_DIMS = [2**63, 2**63 + 1, 2**64 - 1]


def one_row_merged(directory, rows=1, offsets=(0, 1), doc_map=(7,)):
    """Merged files of width 1 whose embeddings are a hole of `rows` rows."""
    put(directory, {OFFSETS: u64(len(offsets), *offsets), DOC_MAP: u64(len(doc_map), *doc_map)})
    with open(os.path.join(directory, EMB), "wb") as f:
        f.write(u64(rows, 1))
        f.truncate(16 + 2 * rows)
    return str(directory)


@pytest.mark.parametrize("dim", WIDE_DIMS)
def test_a_row_too_wide_to_address(tmp_path, dim):
    # Merged path: no byte range is as long as one row of the index, so the document is left out.
    ix = vse.ShardIndex(str(tmp_path / "ix"), dim)
    ix.load_merged(one_row_merged(tmp_path / "m"))
    data, ranges, ids = ix.fetch_candidate_embeddings([7, 7])
    assert len(data) == 0 and ranges.shape == (0, 2) and len(ids) == 0
    ix.close()
    # Raw shard path, float16 or float32 rows: the document holds no whole row, so it serves none.
    for dtype, itemsize in [("F16", 2), ("F32", 4)]:
        base = str(tmp_path / f"ix-{dtype}")
        sparse_safetensors(os.path.join(base, "shard_0.safetensors"), "embeddings", dtype, [1, 1], itemsize)
        ix = vse.ShardIndex(base, dim)
        ix.register_shard_docs([7], [0], [0], [1])
        data, ranges, ids = ix.fetch_candidate_embeddings([7])
        assert len(data) == 0 and ranges.tolist() == [[0, 0]] and ids.tolist() == [7], dtype
        ix.close()


BIG = 2**42  # rows of width 1: 2**43 bytes, a hole in the file


def big_merged(tmp_path):
    ix = vse.ShardIndex(str(tmp_path / "ix"), 1)
    ix.load_merged(one_row_merged(tmp_path / "m", BIG, (0, BIG, 0, 1), (7, 9, 8)))
    return ix


def big_shard(tmp_path):
    base = str(tmp_path / "ix")
    sparse_safetensors(os.path.join(base, "shard_0.safetensors"), "embeddings", "F16", [BIG, 1], 2)
    ix = vse.ShardIndex(base, 1)
    ix.register_shard_docs([7, 8], [0, 0], [0, 0], [BIG, 1])
    return ix


@pytest.mark.parametrize("repeats", [2**21, 2**20])
@pytest.mark.parametrize("open_index", [big_merged, big_shard])
def test_repeated_ids_whose_total_does_not_fit(tmp_path, open_index, repeats):
    # One 2**43-byte document listed 2**21 times, then a small one: 2**64 + 2 bytes, which must not
    # wrap to a 2-byte buffer; 2**20 times is 2**63 + 2 bytes, beyond any one allocation. Both fail
    # as any allocation too large does, before anything is allocated.
    ix = open_index(tmp_path)
    with pytest.raises(MemoryError):
        ix.fetch_candidate_embeddings([7] * repeats + [8])
    data, ranges, ids = ix.fetch_candidate_embeddings([8, 8])
    assert len(data) == 4 and ranges.tolist() == [[0, 1], [1, 2]] and ids.tolist() == [8, 8]
    ix.close()
