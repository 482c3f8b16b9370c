// The ShardIndex type: construction, garbage-collector support, destruction, and the method table
// in the order tests/test_module.py pins (METHODS).
#include <memory>
#include <new>
#include <string>

#include "python/convert.hpp"
#include "python/method.hpp"
#include "python/type.hpp"
#include "bindings/shard_index/object.hpp"
#include "bindings/shard_index/shard_index.hpp"

namespace vse::bindings::shard_index {

namespace {

constexpr std::array<py::Param, 3> kNewParams{{{"base_dir"}, {"dim"}, py::optional("gpu_score_fn")}};

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::edge([&]() -> Result<Ref> {
        VSE_TRY(auto a, py::bind("ShardIndex.__new__", kNewParams, args, kwargs));
        VSE_TRY(std::string_view base_dir, py::to_str(a[0], "base_dir"));
        VSE_TRY(std::uint64_t dim, py::to_u64(a[1], "dim"));
        PyObject* gpu = a.given(2) ? a[2] : nullptr;

        VSE_TRY(std::unique_ptr<shard::Index> index, shard::Index::open(std::string(base_dir), dim));

        PyObject* obj = type->tp_alloc(type, 0);
        if (obj == nullptr) return py::pending();
        auto* self = self_of(obj);
        new (&self->borrow) py::BorrowFlag();
        self->index = index.release();
        Py_XINCREF(gpu);
        self->gpu_score_fn = gpu;
        return Ref::steal(obj);
    });
}

// The callable may refer back to its index (a closure, a bound method of an object holding the
// index): the collector sees that edge and breaks such a cycle by dropping the callable.
int tp_traverse(PyObject* obj, visitproc visit, void* arg) {
    Py_VISIT(self_of(obj)->gpu_score_fn);
    return 0;
}

int tp_clear(PyObject* obj) {
    Py_CLEAR(self_of(obj)->gpu_score_fn);
    return 0;
}

void tp_dealloc(PyObject* obj) {
    PyObject_GC_UnTrack(obj);
    auto* self = self_of(obj);
    // Dropping the core writes out and syncs the log if close() did not.
    delete self->index;
    self->index = nullptr;
    Py_CLEAR(self->gpu_score_fn);
    self->borrow.~BorrowFlag();
    Py_TYPE(obj)->tp_free(obj);
}

PyMethodDef kMethods[] = {
    py::fastcall_method("insert", meth_insert,
                        "insert($self, doc_id, embeddings, payload=None)\n--\n\n"
                        "Insert a document with its multi-vector embeddings."),
    py::fastcall_method("delete", meth_delete, "delete($self, doc_id)\n--\n\nDelete a document by ID."),
    py::fastcall_method("update_payload", meth_update_payload,
                        "update_payload($self, doc_id, payload)\n--\n\nUpdate the JSON payload for a document."),
    py::fastcall_method("search", meth_search,
                        "search($self, query, k=10)\n--\n\n"
                        "Search for the top-k documents most similar to a query.\n"
                        "\n"
                        "Returns (doc_ids, scores) \u2014 each as a 1-D numpy array."),
    py::fastcall_method("proxy_score", meth_proxy_score,
                        "proxy_score($self, query, candidate_ids=None, n_full=4096)\n--\n\n"
                        "SIMD-accelerated centroid proxy scoring.\n"
                        "\n"
                        "Computes `max_i(dot(query_token_i, doc_mean_d))` for each candidate\n"
                        "and returns the top-n doc IDs by proxy score."),
    py::fastcall_method("set_doc_means", meth_set_doc_means,
                        "set_doc_means($self, means, doc_ids)\n--\n\n"
                        "Set the mean-pooled document embeddings for proxy scoring.\n"
                        "\n"
                        "`means` shape: `(n_docs, dim)`, `doc_ids` length: `n_docs`."),
    py::fastcall_method("register_shard_docs", meth_register_shard_docs,
                        "register_shard_docs($self, doc_ids, shard_ids, row_starts, row_ends)\n--\n\n"
                        "Register documents that already exist in shard files.\n"
                        "\n"
                        "Used when loading a pre-built index (e.g. from ShardSegmentManager)."),
    py::fastcall_method("set_centroids", meth_set_centroids,
                        "set_centroids($self, centroids)\n--\n\n"
                        "Load centroid embeddings for approximate scoring.\n"
                        "\n"
                        "`centroids` shape: `(n_centroids, dim)`."),
    py::fastcall_method("set_codec", meth_set_codec,
                        "set_codec($self, bucket_weights, nbits)\n--\n\n"
                        "Set up the residual codec for compressed fetch/decompression.\n"
                        "\n"
                        "Must be called AFTER `set_centroids`. `bucket_weights` is the 1-D array\n"
                        "of representative values for each bucket (length = 2^nbits)."),
    py::fastcall_method("load_merged", meth_load_merged,
                        "load_merged($self, dir)\n--\n\n"
                        "Load merged flat mmap files for zero-copy document access.\n"
                        "\n"
                        "`dir` should contain merged_embeddings.bin, merged_offsets.bin,\n"
                        "merged_doc_map.bin, and optionally merged_codes.bin."),
    py::fastcall_method("set_use_compression", meth_set_use_compression,
                        "set_use_compression($self, enabled)\n--\n\n"
                        "Enable or disable residual compression for fetch_candidate_embeddings.\n"
                        "\n"
                        "When false (default), raw FP16 embeddings are read \u2014 lossless.\n"
                        "When true, packed residuals are decompressed via the codec \u2014 lossy but\n"
                        "smaller I/O."),
    py::fastcall_method("score_candidates_approx", meth_score_candidates_approx,
                        "score_candidates_approx($self, query, candidate_ids, n_top=512)\n--\n\n"
                        "Approximate MaxSim scoring using centroid codes (Rayon-parallel).\n"
                        "\n"
                        "Pre-filter stage: scores `candidate_ids` using lightweight centroid\n"
                        "code lookups and returns the top `n_top` doc IDs + scores."),
    py::fastcall_method("score_candidates_exact", meth_score_candidates_exact,
                        "score_candidates_exact($self, query, candidate_ids, k=10)\n--\n\n"
                        "Fused exact MaxSim scoring over merged mmap \u2014 no Python staging.\n"
                        "\n"
                        "Reads FP16 embeddings directly from the merged mmap, converts to f32\n"
                        "on the fly, computes MaxSim per candidate, and returns top-k results."),
    py::fastcall_method("fetch_candidate_embeddings", meth_fetch_candidate_embeddings,
                        "fetch_candidate_embeddings($self, candidate_ids)\n--\n\n"
                        "Fetch FP16 embeddings for candidate documents from mmap'd shards.\n"
                        "\n"
                        "Returns `(flat_embeddings_u8, offsets, doc_ids)` where flat_embeddings_u8\n"
                        "is the raw bytes of FP16 data (caller reinterprets as float16),\n"
                        "offsets is `(n_docs, 2)` with `[start, end)` row indices,\n"
                        "and doc_ids is the ordered list.\n"
                        "\n"
                        "When a residual codec is configured AND shards contain `packed_residuals`,\n"
                        "reads compressed data and decompresses to f16 (7.5x less I/O for nbits=2).\n"
                        "Falls back to raw FP16 embedding reads otherwise."),
    py::fastcall_method("sync", meth_sync, "sync($self)\n--\n\nFlush the WAL and sync to disk."),
    py::fastcall_method("doc_ids", meth_doc_ids,
                        "doc_ids($self)\n--\n\nGet all document IDs currently in the index (sorted)."),
    py::fastcall_method("contains", meth_contains, "contains($self, doc_id)\n--\n\nCheck if a document exists."),
    py::fastcall_method("get_payload", meth_get_payload,
                        "get_payload($self, doc_id)\n--\n\nGet the payload JSON for a document, or None."),
    py::fastcall_method("close", meth_close, "close($self)\n--\n\nClose the index, flushing WAL."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"doc_count", get_doc_count, nullptr, "Number of documents in the index.", nullptr},
    {"total_vectors", get_total_vectors, nullptr, "Total vectors across all documents.", nullptr},
    {"dim", get_dim, nullptr, "Embedding dimension.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kClassDoc[] =
    "ShardIndex(base_dir, dim, gpu_score_fn=None)\n--\n\n"
    "Native shard engine with lock-free reads and WAL-backed writes.\n"
    "\n"
    "Readers obtain an `Arc<ShardState>` + `Arc<HashMap<\u2026, Arc<MmapShard>>>`\n"
    "snapshot via `ArcSwap`, zero contention with writers.  Writers hold the\n"
    "`Mutex<WriterInner>` only for WAL append + state swap.";

PyTypeObject kType = [] {
    PyTypeObject t = py::static_type("varnelo_shard_engine.ShardIndex", sizeof(ShardIndexObject));
    t.tp_dealloc = tp_dealloc;
    // Not subclassable, no __dict__, no weak references; tracked by the collector.
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = kClassDoc;
    t.tp_traverse = tp_traverse;
    t.tp_clear = tp_clear;
    t.tp_methods = kMethods;
    t.tp_getset = kGetSet;
    t.tp_new = tp_new;
    return t;
}();

}  // namespace

Result<Ref> type_object() {
    if (PyType_Ready(&kType) < 0) return py::pending();
    return Ref::borrow(reinterpret_cast<PyObject*>(&kType));
}

}  // namespace vse::bindings::shard_index
