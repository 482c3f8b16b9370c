// ShardIndex's simple readers: the index's view once, after the closed check, as the scorers take it;
// the GIL held throughout.
#include <fmt/format.h>

#include "common/utf8.hpp"
#include "python/convert.hpp"
#include "python/ndarray.hpp"
#include "bindings/shard_index/object.hpp"

namespace vse::bindings::shard_index {

namespace {
constexpr std::array<py::Param, 1> kDocIdParams{{{"doc_id"}}};
}  // namespace

PyObject* meth_doc_ids(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.doc_ids", kNoParams, Access::Shared, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto&) -> Result<Ref> {
        VSE_TRY(const shard::IndexView view, self.index->view());
        std::vector<std::uint64_t> ids = view.state->doc_ids();
        const std::int64_t dims[1] = {static_cast<std::int64_t>(ids.size())};
        return py::array_adopt(py::DType::U64, std::move(ids), dims);
    });
}

PyObject* meth_contains(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.contains", kDocIdParams, Access::Shared, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(std::uint64_t doc_id, py::to_u64(a[0], "doc_id"));
        VSE_TRY(const shard::IndexView view, self.index->view());
        return py::boolean(view.state->docs.find(doc_id) != nullptr);
    });
}

PyObject* meth_get_payload(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.get_payload", kDocIdParams, Access::Shared, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(std::uint64_t doc_id, py::to_u64(a[0], "doc_id"));
        VSE_TRY(const shard::IndexView view, self.index->view());
        const shard::DocEntry* e = view.state->docs.find(doc_id);
        if (e == nullptr || !e->payload) return py::none();
        if (auto bad = validate_utf8(*e->payload))
            return fail(Exc::Value, fmt::format("payload not valid UTF-8: {}", bad->text()));
        return py::str_from_utf8(*e->payload);
    });
}

PyObject* get_doc_count(PyObject* obj, void*) {
    return property(obj, [](ShardIndexObject& self) -> Result<Ref> {
        VSE_TRY(const shard::IndexView view, self.index->view());
        return py::int_from_u64(view.state->docs.size());
    });
}

PyObject* get_total_vectors(PyObject* obj, void*) {
    return property(obj, [](ShardIndexObject& self) -> Result<Ref> {
        VSE_TRY(const shard::IndexView view, self.index->view());
        return py::int_from_u64(view.state->total_vectors);
    });
}

// The width is fixed for the object's life: no borrow, no closed check, never raises.
PyObject* get_dim(PyObject* obj, void*) { return PyLong_FromUnsignedLongLong(self_of(obj)->index->dim()); }

}  // namespace vse::bindings::shard_index
