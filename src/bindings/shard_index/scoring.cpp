// ShardIndex's scoring methods: checks with the GIL held, the scoring itself without it (the
// object stays shared-borrowed, so the setup methods and close fail meanwhile), results built with
// the GIL again. Each takes the index's view once, after the closed check, and reads through it.
#include <fmt/format.h>

#include "python/convert.hpp"
#include "python/gil.hpp"
#include "python/ndarray.hpp"
#include "shard/fetch.hpp"
#include "shard/scoring/approx.hpp"
#include "shard/scoring/exact.hpp"
#include "shard/scoring/proxy.hpp"
#include "shard/scoring/search.hpp"
#include "bindings/shard_index/gpu_callback.hpp"
#include "bindings/shard_index/object.hpp"

namespace vse::bindings::shard_index {

namespace {

constexpr std::array<py::Param, 2> kSearchParams{{{"query"}, py::optional("k")}};
constexpr std::array<py::Param, 3> kProxyParams{
    {{"query"}, py::optional("candidate_ids"), py::optional("n_full")}};
constexpr std::array<py::Param, 3> kApproxParams{{{"query"}, {"candidate_ids"}, py::optional("n_top")}};
constexpr std::array<py::Param, 3> kExactParams{{{"query"}, {"candidate_ids"}, py::optional("k")}};
constexpr std::array<py::Param, 1> kFetchParams{{{"candidate_ids"}}};

// The query checks every scorer shares, after the closed check.
Result<void> check_query(const py::ArrayView& query, std::uint64_t dim) {
    const auto width = static_cast<std::uint64_t>(query.shape[1]);
    if (width != dim) return fail(Exc::Value, fmt::format("query dim {} != index dim {}", width, dim));
    if (!query.c_contiguous) return fail(Exc::Value, "query must be contiguous");
    return {};
}

Result<Ref> result_of(const std::vector<shard::ScoredDoc>& best) {
    std::vector<std::uint64_t> ids;
    std::vector<float> scores;
    shard::split_scored(best, ids, scores);
    return scored_tuple(std::move(ids), std::move(scores));
}

}  // namespace

Result<Ref> scored_tuple(std::vector<std::uint64_t> ids, std::vector<float> scores) {
    const std::int64_t n_ids[1] = {static_cast<std::int64_t>(ids.size())};
    const std::int64_t n_scores[1] = {static_cast<std::int64_t>(scores.size())};
    VSE_TRY(Ref id_array, py::array_adopt(py::DType::U64, std::move(ids), n_ids));
    VSE_TRY(Ref score_array, py::array_adopt(py::DType::F32, std::move(scores), n_scores));
    return py::checked(PyTuple_Pack(2, id_array.get(), score_array.get()));
}

PyObject* meth_search(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.search", kSearchParams, Access::Shared, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(py::ArrayView query, py::borrow_array(a[0], "query", py::DType::F32, 2));
        VSE_TRY(std::uint64_t k, py::to_u64_or(a[1], "k", 10));
        VSE_TRY(const shard::IndexView view, self.index->view());
        VSE_CHECK(check_query(query, view.dim));
        if (view.state->docs.empty()) return scored_tuple({}, {});
        // The callable is held for the call, whatever happens to the object's reference.
        const Ref callable = Ref::borrow(self.gpu_score_fn);
        std::optional<shard::BatchScorer> scorer;
        if (callable) scorer = gpu_scorer(callable.get());
        const auto n_q = static_cast<std::size_t>(query.shape[0]);
        const auto best = py::without_gil(
            [&] { return shard::search(view, query.as<float>(), n_q, k, scorer ? &*scorer : nullptr); });
        return result_of(best);
    });
}

PyObject* meth_proxy_score(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.proxy_score", kProxyParams, Access::Shared, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(py::ArrayView query, py::borrow_array(a[0], "query", py::DType::F32, 2));
        std::optional<std::vector<std::uint64_t>> candidates;
        if (a.given(1)) {
            VSE_TRY(candidates, py::to_vec_u64(a[1], "candidate_ids"));
        }
        VSE_TRY(std::uint64_t n_full, py::to_u64_or(a[2], "n_full", 4096));
        VSE_TRY(const shard::IndexView view, self.index->view());
        VSE_CHECK(check_query(query, view.dim));
        VSE_CHECK(view.require_doc_means(static_cast<std::uint64_t>(query.shape[1])));
        const auto n_q = static_cast<std::size_t>(query.shape[0]);
        std::optional<std::span<const std::uint64_t>> wanted;
        if (candidates) wanted = *candidates;
        const auto best =
            py::without_gil([&] { return shard::proxy_score(view, query.as<float>(), n_q, wanted, n_full); });
        return result_of(best);
    });
}

PyObject* meth_score_candidates_approx(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.score_candidates_approx", kApproxParams, Access::Shared, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(py::ArrayView query, py::borrow_array(a[0], "query", py::DType::F32, 2));
        VSE_TRY(std::vector<std::uint64_t> candidates, py::to_vec_u64(a[1], "candidate_ids"));
        VSE_TRY(std::uint64_t n_top, py::to_u64_or(a[2], "n_top", 512));
        VSE_TRY(const shard::IndexView view, self.index->view());
        VSE_CHECK(view.require_centroids());
        VSE_CHECK(check_query(query, view.dim));
        const auto n_q = static_cast<std::size_t>(query.shape[0]);
        VSE_TRY(auto best, py::without_gil([&] {
                    return shard::score_candidates_approx(view, query.as<float>(), n_q, candidates, n_top);
                }));
        return result_of(best);
    });
}

PyObject* meth_score_candidates_exact(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method("ShardIndex.score_candidates_exact", kExactParams, Access::Shared, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(py::ArrayView query, py::borrow_array(a[0], "query", py::DType::F32, 2));
        VSE_TRY(std::vector<std::uint64_t> candidates, py::to_vec_u64(a[1], "candidate_ids"));
        VSE_TRY(std::uint64_t k, py::to_u64_or(a[2], "k", 10));
        VSE_TRY(const shard::IndexView view, self.index->view());
        VSE_CHECK(view.require_merged());
        VSE_CHECK(check_query(query, view.dim));
        const auto n_q = static_cast<std::size_t>(query.shape[0]);
        VSE_TRY(auto best, py::without_gil([&] {
                    return shard::score_candidates_exact(view, query.as<float>(), n_q, candidates, k);
                }));
        return result_of(best);
    });
}

PyObject* meth_fetch_candidate_embeddings(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    return method("ShardIndex.fetch_candidate_embeddings", kFetchParams, Access::Shared, obj, args, nargs, kwnames,
                  [](ShardIndexObject& self, const auto& a) -> Result<Ref> {
        VSE_TRY(std::vector<std::uint64_t> candidates, py::to_vec_u64(a[0], "candidate_ids"));
        VSE_TRY(const shard::IndexView view, self.index->view());
        shard::Fetched f = py::without_gil([&] { return shard::fetch_candidate_embeddings(view, candidates); });
        const auto n = static_cast<std::int64_t>(f.ids.size());
        const std::int64_t n_bytes[1] = {static_cast<std::int64_t>(f.bytes.size())};
        const std::int64_t flat[1] = {2 * n}, pairs[2] = {n, 2}, n_ids[1] = {n};
        VSE_TRY(Ref bytes, py::array_adopt(py::DType::U8, std::move(f.bytes), n_bytes));
        VSE_TRY(Ref ranges_flat, py::array_adopt(py::DType::I64, std::move(f.ranges), flat));
        auto ranges = py::array_reshape(ranges_flat, pairs);
        if (!ranges) {
            // The reshape's own exception, named.
            if (!PyErr_Occurred()) return std::unexpected(ranges.error());
            return fail(Exc::Runtime, fmt::format("reshape offsets: {}", py::take_pending_text().value_or("")));
        }
        VSE_TRY(Ref ids, py::array_copy(py::DType::U64, n_ids, f.ids.data()));
        return py::checked(PyTuple_Pack(3, bytes.get(), ranges->get(), ids.get()));
    });
}

}  // namespace vse::bindings::shard_index
