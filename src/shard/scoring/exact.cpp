#include "shard/scoring/exact.hpp"

#include <algorithm>

#include "common/checked.hpp"
#include "common/pool_registry.hpp"
#include "common/half.hpp"

namespace vse::shard {

std::size_t exact_chunk_size(std::size_t n_candidates, std::size_t workers) {
    constexpr std::size_t kMinChunk = 32;
    if (workers == 0) workers = 1;
    return std::max(n_candidates / (4 * workers), kMinChunk);
}

namespace {

using RowBytes = std::span<const std::uint8_t>;

// The bytes of a candidate's whole rows, or nullopt when it is left out.
std::optional<RowBytes> candidate_rows(const MergedMmap& merged, std::uint64_t dim, std::uint64_t doc_id) {
    if (merged.dim() != dim) return std::nullopt;
    const std::optional<MergedRows> rows = merged.rows_of(doc_id);
    if (!rows || rows->empty()) return std::nullopt;
    const auto bytes = merged.row_bytes(*rows);
    if (!bytes || bytes->empty()) return std::nullopt;
    const CheckedSize row_size = checked_mul(dim, 2);
    if (!row_size || *row_size > bytes->size()) return std::nullopt;
    return bytes->first(static_cast<std::size_t>(bytes->size() / *row_size * *row_size));
}

// The MaxSim of whole rows; `ahead` as for QueryDots::maxsim.
float score_rows(const QueryDots& query, RowBytes bytes, ExactScratch& scratch, RowBytes ahead = {}) {
    const std::size_t n = bytes.size() / 2;  // whole rows of the query's width
    if (scratch.rows.size() < n) scratch.rows.resize(alloc_count<float>(n));
    if (scratch.best.size() < query.n_q()) scratch.best.resize(query.n_q());
    widen_half(bytes.data(), n, scratch.rows.data());
    return query.maxsim(scratch.rows.data(), n / query.dim(), scratch.best.data(), ahead.data(), ahead.size());
}

}  // namespace

std::optional<float> score_exact_candidate(const MergedMmap& merged, const QueryDots& query, std::uint64_t doc_id,
                                           ExactScratch& scratch) {
    const std::optional<RowBytes> bytes = candidate_rows(merged, query.dim(), doc_id);
    if (!bytes) return std::nullopt;
    return score_rows(query, *bytes, scratch);
}

std::vector<ScoredDoc> score_exact_chunk(const MergedMmap& merged, const QueryDots& query,
                                         std::span<const std::uint64_t> candidates, std::uint64_t k) {
    ExactScratch scratch;
    std::vector<ScoredDoc> items;
    items.reserve(candidates.size());
    // The next candidate is looked up before this one is scored, so that its rows (anywhere in the
    // file) are fetched into cache while this one's dots run.
    std::optional<RowBytes> next;
    if (!candidates.empty()) next = candidate_rows(merged, query.dim(), candidates[0]);
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const std::optional<RowBytes> cur = next;
        next = i + 1 < candidates.size() ? candidate_rows(merged, query.dim(), candidates[i + 1]) : std::nullopt;
        if (cur) items.push_back({candidates[i], score_rows(query, *cur, scratch, next.value_or(RowBytes{}))});
    }
    return top_k(std::move(items), k);
}

std::vector<ScoredDoc> score_candidates_exact(const MergedMmap& merged, const QueryDots& query,
                                              std::span<const std::uint64_t> candidates, std::uint64_t k,
                                              ThreadPool& pool) {
    const std::size_t n = candidates.size();
    const std::size_t chunk = exact_chunk_size(n, pool.size());
    const std::size_t n_chunks = (n + chunk - 1) / chunk;
    // Each chunk writes only its own slot, so the merge below sees the lists in chunk order.
    std::vector<std::vector<ScoredDoc>> lists(n_chunks);
    pool.parallel_for(n_chunks, 1, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t c = lo; c < hi; ++c) {
            const std::size_t begin = c * chunk;
            lists[c] = score_exact_chunk(merged, query, candidates.subspan(begin, std::min(chunk, n - begin)), k);
        }
    });
    std::size_t total = 0;
    for (const auto& list : lists) total += list.size();
    ScoredHeap heap(selection_reserve(k, total));
    for (const auto& list : lists)
        for (const ScoredDoc& item : list) heap.push_bounded(item, k);
    return heap.scored_heap_into_sorted_vec();
}

Result<std::vector<ScoredDoc>> score_candidates_exact(const IndexView& view, const float* query, std::size_t n_q,
                                                      std::span<const std::uint64_t> candidates, std::uint64_t k,
                                                      ThreadPool& pool) {
    VSE_TRY(const MergedMmap* merged, view.require_merged());
    if (k == 0 || candidates.empty() || n_q == 0) return std::vector<ScoredDoc>{};
    const QueryDots dots(query, n_q, static_cast<std::size_t>(view.dim));
    return score_candidates_exact(*merged, dots, candidates, k, pool);
}

Result<std::vector<ScoredDoc>> score_candidates_exact(const IndexView& view, const float* query, std::size_t n_q,
                                                      std::span<const std::uint64_t> candidates, std::uint64_t k) {
    VSE_CHECK(view.require_merged());
    if (k == 0 || candidates.empty() || n_q == 0) return std::vector<ScoredDoc>{};
    VSE_TRY(ThreadPool* pool, process_pool());
    return score_candidates_exact(view, query, n_q, candidates, k, *pool);
}

}  // namespace vse::shard
