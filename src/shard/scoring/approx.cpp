#include "shard/scoring/approx.hpp"

#include <cmath>

#include "common/checked.hpp"
#include "common/pool_registry.hpp"
#include "shard/doc_rows.hpp"

namespace vse::shard {

namespace {

// Codes are 16-bit: table rows past 65535 can never be looked up.
constexpr std::uint64_t kCodeRange = 65536;

// Candidates in the smallest piece of the merged path's parallel loop: a candidate costs a few
// hundred nanoseconds, so smaller pieces would cost more to hand out than they save.
constexpr std::size_t kApproxPiece = 64;

}  // namespace

CentroidTable::CentroidTable(const float* query, std::size_t n_q, const float* centroids, std::uint64_t n_centroids,
                             std::size_t dim, const ScoringTable& path)
    : n_q_(n_q), stride_((n_q + 15) / 16 * 16), n_centroids_(n_centroids) {
    const auto rows = static_cast<std::size_t>(std::min(n_centroids, kCodeRange));
    table_.assign(alloc_count<float>(checked_mul(rows, stride_)), -INFINITY);
    QueryDots(query, n_q, dim, path).dot_table(centroids, rows, table_.data(), stride_);
    code_max_ = path.code_max;
}

float CentroidTable::code_score(const std::uint8_t* codes, std::size_t m, float* best) const {
    if (m == 0) return 0.0f;
    code_max_(table_.data(), stride_, static_cast<std::size_t>(std::min(n_centroids_, kCodeRange)), codes, m, best);
    float score = 0.0f;
    for (std::size_t q = 0; q < n_q_; ++q) score = score + best[q];
    return score;
}

std::vector<ScoredDoc> approx_merged_scores(const CentroidTable& table, const MergedMmap& merged,
                                            std::span<const std::uint64_t> candidates, ThreadPool& pool) {
    // One slot per candidate, so that pieces write apart and the list keeps the candidates' order.
    std::vector<float> scores(candidates.size());
    std::vector<std::uint8_t> emitted(candidates.size(), 0);
    pool.parallel_for(candidates.size(), kApproxPiece, [&](std::size_t lo, std::size_t hi) {
        std::vector<float> best(table.stride());
        for (std::size_t i = lo; i < hi; ++i) {
            const auto rows = merged.rows_of(candidates[i]);
            if (!rows) continue;
            if (rows->empty()) {
                scores[i] = 0.0f;
                emitted[i] = 1;
                continue;
            }
            const auto codes = merged.code_bytes(*rows);
            if (!codes) continue;
            scores[i] = table.code_score(codes->data(), codes->size() / 2, best.data());
            emitted[i] = 1;
        }
    });
    std::vector<ScoredDoc> out;
    out.reserve(candidates.size());
    for (std::size_t i = 0; i < candidates.size(); ++i)
        if (emitted[i]) out.push_back({candidates[i], scores[i]});
    return out;
}

std::vector<ScoredDoc> approx_shard_scores(const CentroidTable& table, const ShardState& state,
                                           const ShardMap& shards, std::span<const std::uint64_t> candidates,
                                           ThreadPool& pool) {
    const std::vector<ShardGroup> groups = group_by_shard(state, shards, candidates);
    std::vector<std::vector<ScoredDoc>> scored(groups.size());
    pool.parallel_for(groups.size(), 1, [&](std::size_t lo, std::size_t hi) {
        std::vector<float> best(table.stride());
        for (std::size_t g = lo; g < hi; ++g) {
            const ShardTensors& tensors = groups[g].tensors;
            if (tensors.centroid_codes == nullptr) continue;
            for (const auto& [id, e] : groups[g].docs) {
                // Read in place: the scorer takes the codes' bytes at any alignment.
                const auto codes = tensors.code_bytes(*e);
                if (!codes) continue;
                scored[g].push_back({id, table.code_score(codes->data(), codes->size() / 2, best.data())});
            }
        }
    });
    std::vector<ScoredDoc> out;
    for (const auto& g : scored) out.insert(out.end(), g.begin(), g.end());
    return out;
}

Result<std::vector<ScoredDoc>> score_candidates_approx(const IndexView& view, const float* query, std::size_t n_q,
                                                       std::span<const std::uint64_t> candidates,
                                                       std::uint64_t n_top, ThreadPool& pool) {
    VSE_CHECK(view.require_centroids());
    if (candidates.empty() || n_q == 0) return std::vector<ScoredDoc>{};
    const Installed& in = *view.installed;
    const CentroidTable table(query, n_q, in.centroids->data(), in.n_centroids, static_cast<std::size_t>(view.dim));
    auto scored = in.merged != nullptr && in.merged->has_codes()
                      ? approx_merged_scores(table, *in.merged, candidates, pool)
                      : approx_shard_scores(table, *view.state, *view.shards, candidates, pool);
    return top_k(std::move(scored), n_top);
}

Result<std::vector<ScoredDoc>> score_candidates_approx(const IndexView& view, const float* query, std::size_t n_q,
                                                       std::span<const std::uint64_t> candidates,
                                                       std::uint64_t n_top) {
    VSE_CHECK(view.require_centroids());
    if (candidates.empty() || n_q == 0) return std::vector<ScoredDoc>{};
    VSE_TRY(ThreadPool* pool, process_pool());
    return score_candidates_approx(view, query, n_q, candidates, n_top, *pool);
}

}  // namespace vse::shard
