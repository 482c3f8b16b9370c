// ShardIndex: the Python face of one durable index.
//
// Every method follows one shape: bind the arguments, take the object's borrow (shared, or
// exclusive for close), convert the arguments, check state and shapes in the documented order, call
// the core, build the result. Writers and the simple readers keep the GIL throughout.
#include "shard_index/shard_index.hpp"

#include <array>
#include <memory>
#include <new>
#include <string>

#include <fmt/format.h>

#include "common/utf8.hpp"
#include "python/args.hpp"
#include "python/borrow.hpp"
#include "python/convert.hpp"
#include "python/error.hpp"
#include "python/ndarray.hpp"
#include "python/type.hpp"
#include "shard/index.hpp"

namespace vse::shard_index {

namespace {

using py::Ref;

struct ShardIndexObject {
    PyObject_HEAD
    py::BorrowFlag borrow;
    shard::Index* index;     // owned
    PyObject* gpu_score_fn;  // owned; null when absent
};

ShardIndexObject* self_of(PyObject* self) { return reinterpret_cast<ShardIndexObject*>(self); }

// ---------------------------------------------------------------------------------------------
// Construction and destruction

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

void tp_dealloc(PyObject* obj) {
    auto* self = self_of(obj);
    // Dropping the core writes out and syncs the log if close() did not.
    delete self->index;
    self->index = nullptr;
    Py_CLEAR(self->gpu_score_fn);
    self->borrow.~BorrowFlag();
    Py_TYPE(obj)->tp_free(obj);
}

// ---------------------------------------------------------------------------------------------
// Writers

constexpr std::array<py::Param, 3> kInsertParams{{{"doc_id"}, {"embeddings"}, py::optional("payload")}};

PyObject* meth_insert(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_TRY(auto a, py::bind("ShardIndex.insert", kInsertParams, args, nargs, kwnames));
        auto* self = self_of(obj);
        VSE_TRY(auto borrow, self->borrow.shared());
        VSE_TRY(std::uint64_t doc_id, py::to_u64(a[0], "doc_id"));
        VSE_TRY(py::ArrayView emb, py::borrow_array(a[1], "embeddings", py::DType::F32, 2));
        VSE_TRY(std::optional<std::string_view> payload, py::to_opt_str(a[2], "payload"));
        shard::Index& index = *self->index;
        VSE_CHECK(index.check_open());
        const auto width = static_cast<std::uint64_t>(emb.shape[1]);
        if (width != index.dim())
            return fail(Exc::Value, fmt::format("embedding dim {} != index dim {}", width, index.dim()));
        if (!emb.c_contiguous) return fail(Exc::Value, "embeddings must be contiguous");
        VSE_CHECK(index.insert(doc_id, emb.as<float>(), static_cast<std::uint64_t>(emb.shape[0]), payload));
        return py::none();
    });
}

constexpr std::array<py::Param, 1> kDocIdParams{{{"doc_id"}}};

PyObject* meth_delete(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_TRY(auto a, py::bind("ShardIndex.delete", kDocIdParams, args, nargs, kwnames));
        auto* self = self_of(obj);
        VSE_TRY(auto borrow, self->borrow.shared());
        VSE_TRY(std::uint64_t doc_id, py::to_u64(a[0], "doc_id"));
        VSE_TRY(bool removed, self->index->remove(doc_id));
        return py::boolean(removed);
    });
}

constexpr std::array<py::Param, 2> kUpdateParams{{{"doc_id"}, {"payload"}}};

PyObject* meth_update_payload(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_TRY(auto a, py::bind("ShardIndex.update_payload", kUpdateParams, args, nargs, kwnames));
        auto* self = self_of(obj);
        VSE_TRY(auto borrow, self->borrow.shared());
        VSE_TRY(std::uint64_t doc_id, py::to_u64(a[0], "doc_id"));
        VSE_TRY(std::string_view payload, py::to_str(a[1], "payload"));
        VSE_TRY(bool present, self->index->update_payload(doc_id, payload));
        return py::boolean(present);
    });
}

constexpr std::array<py::Param, 4> kRegisterParams{{{"doc_ids"}, {"shard_ids"}, {"row_starts"}, {"row_ends"}}};

PyObject* meth_register_shard_docs(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_TRY(auto a, py::bind("ShardIndex.register_shard_docs", kRegisterParams, args, nargs, kwnames));
        auto* self = self_of(obj);
        VSE_TRY(auto borrow, self->borrow.shared());
        VSE_TRY(std::vector<std::uint64_t> doc_ids, py::to_vec_u64(a[0], "doc_ids"));
        VSE_TRY(std::vector<std::uint32_t> shard_ids, py::to_vec_u32_via_i64(a[1], "shard_ids"));
        VSE_TRY(std::vector<std::uint64_t> row_starts, py::to_vec_u64(a[2], "row_starts"));
        VSE_TRY(std::vector<std::uint64_t> row_ends, py::to_vec_u64(a[3], "row_ends"));
        VSE_CHECK(self->index->register_shard_docs(doc_ids, shard_ids, row_starts, row_ends));
        return py::none();
    });
}

// ---------------------------------------------------------------------------------------------
// Durability

PyObject* meth_sync(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_CHECK(py::bind("ShardIndex.sync", std::array<py::Param, 0>{}, args, nargs, kwnames));
        auto* self = self_of(obj);
        VSE_TRY(auto borrow, self->borrow.shared());
        VSE_CHECK(self->index->sync());
        return py::none();
    });
}

PyObject* meth_close(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_CHECK(py::bind("ShardIndex.close", std::array<py::Param, 0>{}, args, nargs, kwnames));
        auto* self = self_of(obj);
        VSE_TRY(auto borrow, self->borrow.exclusive());
        VSE_CHECK(self->index->close());
        return py::none();
    });
}

// ---------------------------------------------------------------------------------------------
// Simple readers

PyObject* meth_doc_ids(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_CHECK(py::bind("ShardIndex.doc_ids", std::array<py::Param, 0>{}, args, nargs, kwnames));
        auto* self = self_of(obj);
        VSE_TRY(auto borrow, self->borrow.shared());
        VSE_CHECK(self->index->check_open());
        std::vector<std::uint64_t> ids = self->index->state()->doc_ids();
        const std::int64_t dims[1] = {static_cast<std::int64_t>(ids.size())};
        return py::array_adopt(py::DType::U64, std::move(ids), dims);
    });
}

PyObject* meth_contains(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_TRY(auto a, py::bind("ShardIndex.contains", kDocIdParams, args, nargs, kwnames));
        auto* self = self_of(obj);
        VSE_TRY(auto borrow, self->borrow.shared());
        VSE_TRY(std::uint64_t doc_id, py::to_u64(a[0], "doc_id"));
        VSE_CHECK(self->index->check_open());
        return py::boolean(self->index->state()->docs.find(doc_id) != nullptr);
    });
}

PyObject* meth_get_payload(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_TRY(auto a, py::bind("ShardIndex.get_payload", kDocIdParams, args, nargs, kwnames));
        auto* self = self_of(obj);
        VSE_TRY(auto borrow, self->borrow.shared());
        VSE_TRY(std::uint64_t doc_id, py::to_u64(a[0], "doc_id"));
        VSE_CHECK(self->index->check_open());
        auto state = self->index->state();
        const shard::DocEntry* e = state->docs.find(doc_id);
        if (e == nullptr || !e->payload) return py::none();
        if (auto bad = validate_utf8(*e->payload))
            return fail(Exc::Value, fmt::format("payload not valid UTF-8: {}", bad->text()));
        return py::str_from_utf8(*e->payload);
    });
}

// Properties

PyObject* get_doc_count(PyObject* obj, void*) {
    return py::edge([&]() -> Result<Ref> {
        auto* self = self_of(obj);
        VSE_TRY(auto borrow, self->borrow.shared());
        VSE_CHECK(self->index->check_open());
        return py::int_from_u64(self->index->state()->docs.size());
    });
}

PyObject* get_total_vectors(PyObject* obj, void*) {
    return py::edge([&]() -> Result<Ref> {
        auto* self = self_of(obj);
        VSE_TRY(auto borrow, self->borrow.shared());
        VSE_CHECK(self->index->check_open());
        return py::int_from_u64(self->index->state()->total_vectors);
    });
}

// The width is fixed for the object's life: no borrow, no closed check, never raises.
PyObject* get_dim(PyObject* obj, void*) { return PyLong_FromUnsignedLongLong(self_of(obj)->index->dim()); }

// ---------------------------------------------------------------------------------------------
// The type

#define VSE_METHOD(name, fn, doc) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS, doc}

// In the documented order; the scoring, means, centroid, codec and merged-file methods take their
// places between these as they are added.
PyMethodDef kMethods[] = {
    VSE_METHOD("insert", meth_insert,
               "insert($self, doc_id, embeddings, payload=None)\n--\n\n"
               "Insert a document with its multi-vector embeddings."),
    VSE_METHOD("delete", meth_delete, "delete($self, doc_id)\n--\n\nDelete a document by ID."),
    VSE_METHOD("update_payload", meth_update_payload,
               "update_payload($self, doc_id, payload)\n--\n\nUpdate the JSON payload for a document."),
    VSE_METHOD("register_shard_docs", meth_register_shard_docs,
               "register_shard_docs($self, doc_ids, shard_ids, row_starts, row_ends)\n--\n\n"
               "Register documents that already exist in shard files.\n"
               "\n"
               "Used when loading a pre-built index (e.g. from ShardSegmentManager)."),
    VSE_METHOD("sync", meth_sync, "sync($self)\n--\n\nFlush the WAL and sync to disk."),
    VSE_METHOD("doc_ids", meth_doc_ids,
               "doc_ids($self)\n--\n\nGet all document IDs currently in the index (sorted)."),
    VSE_METHOD("contains", meth_contains, "contains($self, doc_id)\n--\n\nCheck if a document exists."),
    VSE_METHOD("get_payload", meth_get_payload,
               "get_payload($self, doc_id)\n--\n\nGet the payload JSON for a document, or None."),
    VSE_METHOD("close", meth_close, "close($self)\n--\n\nClose the index, flushing WAL."),
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
    // Not subclassable, no __dict__, no weak references.
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = kClassDoc;
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

}  // namespace vse::shard_index
