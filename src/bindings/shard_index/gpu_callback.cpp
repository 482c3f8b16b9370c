#include "bindings/shard_index/gpu_callback.hpp"

#include <cmath>
#include <exception>
#include <optional>

#include "python/convert.hpp"
#include "python/error.hpp"
#include "python/gil.hpp"
#include "python/ndarray.hpp"

namespace vse::bindings::shard_index {

namespace {

using py::Ref;

// A (rows, dim) float32 array that takes over `values`; (0, 0) when there are no rows.
Result<Ref> rows_array(shard::ScorerRows&& values, std::uint64_t dim) {
    const std::uint64_t rows = values.size() / dim;
    const std::int64_t dims[2] = {static_cast<std::int64_t>(rows), rows == 0 ? 0 : static_cast<std::int64_t>(dim)};
    return py::array_adopt(py::DType::F32, std::move(values), dims);
}

Result<Ref> offsets_list(std::span<const shard::RowRange> ranges) {
    VSE_TRY(Ref list, py::checked(PyList_New(static_cast<Py_ssize_t>(ranges.size()))));
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        VSE_TRY(Ref start, py::int_from_u64(ranges[i].first));
        VSE_TRY(Ref end, py::int_from_u64(ranges[i].second));
        VSE_TRY(Ref pair, py::checked(PyTuple_Pack(2, start.get(), end.get())));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
    }
    return list;
}

Result<std::vector<float>> call(PyObject* callable, shard::ScorerRows query, shard::ScorerRows docs,
                                std::span<const std::uint64_t> ids, std::span<const shard::RowRange> ranges,
                                std::uint64_t dim) {
    VSE_TRY(Ref q, rows_array(std::move(query), dim));
    VSE_TRY(Ref d, rows_array(std::move(docs), dim));
    VSE_TRY(Ref id_list, py::int_list_from_u64(ids));
    VSE_TRY(Ref offsets, offsets_list(ranges));
    PyObject* argv[4] = {q.get(), d.get(), id_list.get(), offsets.get()};
    VSE_TRY(Ref answer,
            py::checked(py::interpreter_call([&] { return PyObject_Vectorcall(callable, argv, 4, nullptr); })));
    // A sequence (not a str) of numbers.
    VSE_TRY(std::vector<float> scores, py::to_vec_f32(answer.get(), "scores"));
    if (scores.size() != ids.size()) return std::unexpected(Error{Exc::Value, {}});
    return scores;
}

}  // namespace

shard::BatchScorer gpu_scorer(PyObject* callable) {
    return [callable](shard::ScorerRows query, shard::ScorerRows docs, std::span<const std::uint64_t> ids,
                      std::span<const shard::RowRange> ranges, std::uint64_t dim) {
        std::optional<std::vector<float>> scores;
        if (dim != 0 && query.size() % dim == 0 && docs.size() % dim == 0) {
            py::AcquireGil gil;
            try {
                auto r = call(callable, std::move(query), std::move(docs), ids, ranges, dim);
                if (r) scores = std::move(*r);
            } catch (const std::exception&) {  // out of memory building the arguments or the scores
            }
            // A failing callback raises nothing: its exception is dropped here, unprinted.
            PyErr_Clear();
        }
        if (!scores) scores.emplace(ids.size(), -INFINITY);
        return std::move(*scores);
    };
}

}  // namespace vse::bindings::shard_index
