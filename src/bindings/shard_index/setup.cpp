// ShardIndex's setup methods: what the host installs on an index after opening it. The core keeps
// it, with its rules (shard/index.hpp); nothing of it is logged, and each call replaces what an
// earlier one installed. Only the checks of an array's layout are made here, in their place among
// the core's. The GIL stays held throughout.
#include "python/convert.hpp"
#include "python/ndarray.hpp"
#include "bindings/shard_index/object.hpp"

namespace vse::bindings::shard_index {

namespace {
constexpr std::array<py::Param, 2> kMeansParams{{{"means"}, {"doc_ids"}}};
constexpr std::array<py::Param, 1> kCentroidsParams{{{"centroids"}}};
constexpr std::array<py::Param, 2> kCodecParams{{{"bucket_weights"}, {"nbits"}}};
constexpr std::array<py::Param, 1> kMergedParams{{{"dir"}}};
constexpr std::array<py::Param, 1> kCompressionParams{{{"enabled"}}};
}  // namespace

PyObject* meth_set_doc_means(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.set_doc_means", kMeansParams, Access::Shared, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(py::ArrayView means, py::borrow_array(a[0], "means", py::DType::F32, 2));
        VSE_TRY(std::vector<std::uint64_t> doc_ids, py::to_vec_u64(a[1], "doc_ids"));
        const auto rows = static_cast<std::uint64_t>(means.shape[0]);
        const auto width = static_cast<std::uint64_t>(means.shape[1]);
        VSE_CHECK(self.index->check_doc_means(rows, width, doc_ids.size()));
        if (!means.c_contiguous) return fail(Exc::Value, "means must be contiguous");
        VSE_CHECK(self.index->set_doc_means({means.as<float>(), means.size}, rows, width, std::move(doc_ids)));
        return py::none();
    });
}

PyObject* meth_set_centroids(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.set_centroids", kCentroidsParams, Access::Exclusive, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(py::ArrayView c, py::borrow_array(a[0], "centroids", py::DType::F32, 2));
        const auto rows = static_cast<std::uint64_t>(c.shape[0]);
        const auto width = static_cast<std::uint64_t>(c.shape[1]);
        VSE_CHECK(self.index->check_centroids(rows, width));
        if (!c.c_contiguous) return fail(Exc::Value, "centroids must be contiguous");
        VSE_CHECK(self.index->set_centroids({c.as<float>(), c.size}, rows, width));
        return py::none();
    });
}

PyObject* meth_set_codec(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.set_codec", kCodecParams, Access::Exclusive, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(std::vector<float> weights, py::to_vec_f32(a[0], "bucket_weights"));
        VSE_TRY(std::uint64_t nbits, py::to_u64(a[1], "nbits"));
        VSE_CHECK(self.index->set_codec(std::move(weights), nbits));
        return py::none();
    });
}

PyObject* meth_load_merged(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.load_merged", kMergedParams, Access::Exclusive, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(std::string_view dir, py::to_str(a[0], "dir"));
        VSE_CHECK(self.index->load_merged(std::string(dir)));
        return py::none();
    });
}

PyObject* meth_set_use_compression(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.set_use_compression", kCompressionParams, Access::Exclusive, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(bool enabled, py::to_bool(a[0], "enabled"));
        VSE_CHECK(self.index->set_use_compression(enabled));
        return py::none();
    });
}

}  // namespace vse::bindings::shard_index
