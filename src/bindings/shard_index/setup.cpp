// ShardIndex's setup methods: what the host installs on an index after opening it. Nothing of it is
// stored; each call replaces what an earlier one installed.
#include <fmt/format.h>

#include "python/convert.hpp"
#include "python/ndarray.hpp"
#include "shard/merged.hpp"
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
        shard::Index& index = *self.index;
        VSE_CHECK(index.check_open());
        const auto rows = static_cast<std::uint64_t>(means.shape[0]);
        const auto width = static_cast<std::uint64_t>(means.shape[1]);
        if (width == 0) return fail(Exc::Value, "means dim must be > 0");
        if (doc_ids.size() != rows)
            return fail(Exc::Value, fmt::format("doc_ids len {} != means rows {}", doc_ids.size(), rows));
        if (!means.c_contiguous) return fail(Exc::Value, "means must be contiguous");
        std::vector<float> values(means.as<float>(), means.as<float>() + means.size);
        VSE_CHECK(index.set_doc_means(std::move(values), std::move(doc_ids), width));
        return py::none();
    });
}

PyObject* meth_set_centroids(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.set_centroids", kCentroidsParams, Access::Exclusive, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(py::ArrayView c, py::borrow_array(a[0], "centroids", py::DType::F32, 2));
        VSE_CHECK(self.index->check_open());
        const auto rows = static_cast<std::uint64_t>(c.shape[0]);
        const auto width = static_cast<std::uint64_t>(c.shape[1]);
        if (width != self.index->dim())
            return fail(Exc::Value, fmt::format("centroid dim {} != index dim {}", width, self.index->dim()));
        if (rows == 0) return fail(Exc::Value, "centroids must have at least 1 row");
        if (!c.c_contiguous) return fail(Exc::Value, "centroids must be contiguous");
        // The codec keeps the table it was built with; only later set_codec calls see this one.
        self.installed.centroids = std::make_shared<const std::vector<float>>(c.as<float>(), c.as<float>() + c.size);
        self.installed.n_centroids = rows;
        return py::none();
    });
}

PyObject* meth_set_codec(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.set_codec", kCodecParams, Access::Exclusive, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(std::vector<float> weights, py::to_vec_f32(a[0], "bucket_weights"));
        VSE_TRY(std::uint64_t nbits, py::to_u64(a[1], "nbits"));
        VSE_CHECK(self.index->check_open());
        Installed& in = self.installed;
        if (!in.centroids) return fail(Exc::Runtime, "set_centroids must be called before set_codec");
        VSE_TRY(in.codec, shard::ResidualCodec::create(std::move(weights), nbits, in.centroids, in.n_centroids,
                                                       self.index->dim()));
        return py::none();
    });
}

// Exclusive and with the GIL held throughout: no reader runs beside it, so the view is swapped in
// place. A failed load leaves the installed view as it was.
PyObject* meth_load_merged(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.load_merged", kMergedParams, Access::Exclusive, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(std::string_view dir, py::to_str(a[0], "dir"));
        VSE_CHECK(self.index->check_open());
        VSE_TRY(self.installed.merged, shard::load_merged(std::string(dir)));
        return py::none();
    });
}

PyObject* meth_set_use_compression(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.set_use_compression", kCompressionParams, Access::Exclusive, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(bool enabled, py::to_bool(a[0], "enabled"));
        VSE_CHECK(self.index->check_open());
        self.installed.use_compression = enabled;
        return py::none();
    });
}

}  // namespace vse::bindings::shard_index
