// ShardIndex's setup methods: what the host installs on an index after opening it. Nothing of it is
// stored; each call replaces what an earlier one installed.
#include <fmt/format.h>

#include "python/convert.hpp"
#include "python/ndarray.hpp"
#include "shard/merged.hpp"
#include "shard_index/object.hpp"

namespace vse::shard_index {

namespace {
constexpr std::array<py::Param, 2> kMeansParams{{{"means"}, {"doc_ids"}}};
constexpr std::array<py::Param, 1> kMergedParams{{{"dir"}}};
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

// Exclusive and with the GIL held throughout: no reader runs beside it, so the view is swapped in
// place. A failed load leaves the installed view as it was.
PyObject* meth_load_merged(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.load_merged", kMergedParams, Access::Exclusive, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(std::string_view dir, py::to_str(a[0], "dir"));
        VSE_CHECK(self.index->check_open());
        auto view = shard::MergedMmap::load(std::string(dir));
        if (!view) return fail(Exc::OS, fmt::format("failed to load merged mmap: {}", view.error().message));
        self.merged = std::move(*view);
        return py::none();
    });
}

}  // namespace vse::shard_index
