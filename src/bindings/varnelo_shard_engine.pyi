# Types of the native module's classes and functions, installed beside it for editors and type
# checkers; the module itself knows nothing of this file. Docstrings are the module's own.

from collections.abc import Callable, Sequence
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias, final

import numpy as np
from numpy.typing import NDArray

__all__ = ["ShardIndex", "MetadataStore", "rroq158_score_batch", "rroq4_riem_score_batch"]

# Integer arguments are taken through __index__: an int, a NumPy integer scalar, a bool.
# Sequences of them may be any sequence, a 1-D NumPy integer array included (a str is refused).
_Ids: TypeAlias = Sequence[SupportsIndex] | NDArray[np.integer[Any]]

# What `gpu_score_fn` answers: one number per document, in the order of its `doc_ids`.
_Scores: TypeAlias = Sequence[SupportsFloat] | NDArray[np.number[Any]]

# gpu_score_fn(query, docs, doc_ids, offsets): copies of the query and of every gathered row
# (float32, `dim` wide; (0, 0) when empty), one id per document and its (start, end) rows in `docs`.
_GpuScoreFn: TypeAlias = Callable[
    [NDArray[np.float32], NDArray[np.float32], list[int], list[tuple[int, int]]], _Scores
]

@final
class ShardIndex:
    """Native shard engine with lock-free reads and WAL-backed writes."""

    def __new__(cls, base_dir: str, dim: SupportsIndex, gpu_score_fn: _GpuScoreFn | None = None) -> ShardIndex: ...
    def insert(self, /, doc_id: SupportsIndex, embeddings: NDArray[np.float32], payload: str | None = None) -> None:
        """Insert a document with its multi-vector embeddings."""
    def delete(self, /, doc_id: SupportsIndex) -> bool:
        """Delete a document by ID."""
    def update_payload(self, /, doc_id: SupportsIndex, payload: str) -> bool:
        """Update the JSON payload for a document."""
    def search(self, /, query: NDArray[np.float32], k: SupportsIndex = 10) -> tuple[NDArray[np.uint64], NDArray[np.float32]]:
        """Search for the top-k documents most similar to a query.

        Returns (doc_ids, scores) — each as a 1-D numpy array.
        """
    def proxy_score(
        self, /, query: NDArray[np.float32], candidate_ids: _Ids | None = None, n_full: SupportsIndex = 4096
    ) -> tuple[NDArray[np.uint64], NDArray[np.float32]]:
        """SIMD-accelerated centroid proxy scoring."""
    def set_doc_means(self, /, means: NDArray[np.float32], doc_ids: _Ids) -> None:
        """Set the mean-pooled document embeddings for proxy scoring."""
    def register_shard_docs(self, /, doc_ids: _Ids, shard_ids: _Ids, row_starts: _Ids, row_ends: _Ids) -> None:
        """Register documents that already exist in shard files."""
    def set_centroids(self, /, centroids: NDArray[np.float32]) -> None:
        """Load centroid embeddings for approximate scoring."""
    def set_codec(self, /, bucket_weights: Sequence[SupportsFloat] | NDArray[np.floating[Any]], nbits: SupportsIndex) -> None:
        """Set up the residual codec for compressed fetch/decompression."""
    def load_merged(self, /, dir: str) -> None:
        """Load merged flat mmap files for zero-copy document access."""
    def set_use_compression(self, /, enabled: bool | np.bool_) -> None:
        """Enable or disable residual compression for fetch_candidate_embeddings."""
    def score_candidates_approx(
        self, /, query: NDArray[np.float32], candidate_ids: _Ids, n_top: SupportsIndex = 512
    ) -> tuple[NDArray[np.uint64], NDArray[np.float32]]:
        """Approximate MaxSim scoring using centroid codes (Rayon-parallel)."""
    def score_candidates_exact(
        self, /, query: NDArray[np.float32], candidate_ids: _Ids, k: SupportsIndex = 10
    ) -> tuple[NDArray[np.uint64], NDArray[np.float32]]:
        """Fused exact MaxSim scoring over merged mmap — no Python staging."""
    def fetch_candidate_embeddings(
        self, /, candidate_ids: _Ids
    ) -> tuple[NDArray[np.uint8], NDArray[np.int64], NDArray[np.uint64]]:
        """Fetch FP16 embeddings for candidate documents from mmap'd shards.

        Returns `(flat_embeddings_u8, offsets, doc_ids)` where flat_embeddings_u8
        is the raw bytes of FP16 data (caller reinterprets as float16),
        offsets is `(n_docs, 2)` with `[start, end)` row indices,
        and doc_ids is the ordered list.
        """
    def sync(self, /) -> None:
        """Flush the WAL and sync to disk."""
    def doc_ids(self, /) -> NDArray[np.uint64]:
        """Get all document IDs currently in the index (sorted)."""
    def contains(self, /, doc_id: SupportsIndex) -> bool:
        """Check if a document exists."""
    def get_payload(self, /, doc_id: SupportsIndex) -> str | None:
        """Get the payload JSON for a document, or None."""
    def close(self, /) -> None:
        """Close the index, flushing WAL."""
    @property
    def doc_count(self) -> int:
        """Number of documents in the index."""
    @property
    def total_vectors(self) -> int:
        """Total vectors across all documents."""
    @property
    def dim(self) -> int:
        """Embedding dimension."""

@final
class MetadataStore:
    def __new__(cls, path: str = ":memory:") -> MetadataStore: ...
    def set_payload(self, /, doc_id: SupportsIndex, payload_json: str, text_content: str | None = None) -> None:
        """Set (upsert) the JSON payload for a document."""
    def get_payload(self, /, doc_id: SupportsIndex) -> str | None:
        """Get the JSON payload for a document, or None."""
    def delete_payload(self, /, doc_id: SupportsIndex) -> bool:
        """Delete a document's metadata. Returns True if it existed."""
    def set_payloads_bulk(self, /, items: Sequence[tuple[SupportsIndex, str, str]]) -> int:
        """Bulk set payloads in a single transaction.

        `items` is a list of (doc_id, payload_json, text_content) tuples.
        """
    def search_text(self, /, query: str, limit: SupportsIndex = 100) -> list[int]:
        """Full-text search. Returns doc_ids matching the FTS5 query."""
    def create_field_index(self, /, field_path: str) -> None:
        """Create an expression index on a JSON field for fast filtering."""
    def filter_by_field(self, /, field_path: str, value: str, limit: SupportsIndex = 10000) -> list[int]:
        """Filter doc_ids by a JSON field equality check."""
    def count(self, /) -> int:
        """Number of documents in the store."""
    def all_doc_ids(self, /) -> list[int]:
        """Get all doc_ids in the store."""

def rroq158_score_batch(
    q_planes: NDArray[np.int32],
    q_meta: NDArray[np.float32],
    qc_table: NDArray[np.float32],
    docs_sign: NDArray[np.int32],
    docs_nz: NDArray[np.int32],
    docs_scl: NDArray[np.float32],
    docs_cid: NDArray[np.int32],
    docs_cos: NDArray[np.float32],
    docs_sin: NDArray[np.float32],
    big_a: SupportsIndex,
    big_b: SupportsIndex,
    big_s: SupportsIndex,
    big_t: SupportsIndex,
    n_words: SupportsIndex,
    n_groups: SupportsIndex,
    query_bits: SupportsIndex,
    big_k: SupportsIndex,
    q_mask: NDArray[np.float32] | None = None,
    docs_mask: NDArray[np.float32] | None = None,
    n_threads: SupportsIndex | None = None,
) -> NDArray[np.float32]:
    """Score a batch of (query × document) pairs with the rroq158 fused MaxSim
    kernel on CPU. Mirrors `pellary_index._internal.kernels.triton_roq_rroq158
    .roq_maxsim_rroq158` exactly so per-token scores are bitwise-identical
    (ignoring float-rounding) to the Triton GPU kernel and the python reference.

    All bit-plane tensors must be `int32`; all float tensors must be `float32`.

    Returns a flat `(A * B,)` `float32` numpy array of scores; the python
    caller reshapes and runs top-k.
    """

def rroq4_riem_score_batch(
    q_rot: NDArray[np.float32],
    q_gsums: NDArray[np.float32],
    qc_table: NDArray[np.float32],
    docs_codes: NDArray[np.uint8],
    docs_mins: NDArray[np.float32],
    docs_dlts: NDArray[np.float32],
    docs_cid: NDArray[np.int32],
    docs_cos: NDArray[np.float32],
    docs_sin: NDArray[np.float32],
    big_a: SupportsIndex,
    big_b: SupportsIndex,
    big_s: SupportsIndex,
    big_t: SupportsIndex,
    dim: SupportsIndex,
    n_groups: SupportsIndex,
    group_size: SupportsIndex,
    big_k: SupportsIndex,
    q_mask: NDArray[np.float32] | None = None,
    docs_mask: NDArray[np.float32] | None = None,
    n_threads: SupportsIndex | None = None,
) -> NDArray[np.float32]:
    """Score a batch of (query × document) pairs with the rroq4_riem fused
    MaxSim kernel on CPU. Mirrors
    `pellary_index._internal.kernels.triton_roq_rroq4_riem.roq_maxsim_rroq4_riem`
    exactly so per-token scores match Triton + the python reference within
    float-rounding noise.

    The doc-side codes are 4-bit asymmetric per-group; the query stays
    fp32 (FWHT-rotated, plus per-group sums precomputed once per query).

    Returns a flat `(A * B,)` `float32` numpy array of scores; the python
    caller reshapes and runs top-k.
    """
