// ShardIndex writers and durability: every writer keeps the GIL throughout and publishes through
// the core's writer protocol.
#include <fmt/format.h>

#include "python/convert.hpp"
#include "python/ndarray.hpp"
#include "bindings/shard_index/object.hpp"

namespace vse::bindings::shard_index {

namespace {
constexpr std::array<py::Param, 3> kInsertParams{{{"doc_id"}, {"embeddings"}, py::optional("payload")}};
constexpr std::array<py::Param, 1> kDocIdParams{{{"doc_id"}}};
constexpr std::array<py::Param, 2> kUpdateParams{{{"doc_id"}, {"payload"}}};
constexpr std::array<py::Param, 4> kRegisterParams{{{"doc_ids"}, {"shard_ids"}, {"row_starts"}, {"row_ends"}}};
}  // namespace

PyObject* meth_insert(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.insert", kInsertParams, Access::Shared, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(std::uint64_t doc_id, py::to_u64(a[0], "doc_id"));
        VSE_TRY(py::ArrayView emb, py::borrow_array(a[1], "embeddings", py::DType::F32, 2));
        VSE_TRY(std::optional<std::string_view> payload, py::to_opt_str(a[2], "payload"));
        shard::Index& index = *self.index;
        VSE_CHECK(index.check_open());
        const auto width = static_cast<std::uint64_t>(emb.shape[1]);
        if (width != index.dim())
            return fail(Exc::Value, fmt::format("embedding dim {} != index dim {}", width, index.dim()));
        if (!emb.c_contiguous) return fail(Exc::Value, "embeddings must be contiguous");
        VSE_CHECK(index.insert(doc_id, emb.as<float>(), static_cast<std::uint64_t>(emb.shape[0]), payload));
        return py::none();
    });
}

PyObject* meth_delete(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.delete", kDocIdParams, Access::Shared, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(std::uint64_t doc_id, py::to_u64(a[0], "doc_id"));
        VSE_TRY(bool removed, self.index->remove(doc_id));
        return py::boolean(removed);
    });
}

PyObject* meth_update_payload(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.update_payload", kUpdateParams, Access::Shared, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(std::uint64_t doc_id, py::to_u64(a[0], "doc_id"));
        VSE_TRY(std::string_view payload, py::to_str(a[1], "payload"));
        VSE_TRY(bool present, self.index->update_payload(doc_id, payload));
        return py::boolean(present);
    });
}

PyObject* meth_register_shard_docs(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.register_shard_docs", kRegisterParams, Access::Shared, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(std::vector<std::uint64_t> doc_ids, py::to_vec_u64(a[0], "doc_ids"));
        VSE_TRY(std::vector<std::uint32_t> shard_ids, py::to_vec_u32_via_i64(a[1], "shard_ids"));
        VSE_TRY(std::vector<std::uint64_t> row_starts, py::to_vec_u64(a[2], "row_starts"));
        VSE_TRY(std::vector<std::uint64_t> row_ends, py::to_vec_u64(a[3], "row_ends"));
        VSE_CHECK(self.index->register_shard_docs(doc_ids, shard_ids, row_starts, row_ends));
        return py::none();
    });
}

PyObject* meth_sync(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.sync", kNoParams, Access::Shared, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto&) -> Result<Ref> {
        VSE_CHECK(self.index->sync());
        return py::none();
    });
}

PyObject* meth_close(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.close", kNoParams, Access::Exclusive, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto&) -> Result<Ref> {
        VSE_CHECK(self.index->close());
        return py::none();
    });
}

}  // namespace vse::bindings::shard_index
