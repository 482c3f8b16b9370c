// Approximate scoring by centroid codes: each document token stands for the centroid its code
// names, so a document's MaxSim becomes, per query row, the largest query-centroid dot over the
// document's codes, summed over the query rows in order. Codes at or above the table's row count
// are skipped; a document without a usable code scores -inf, one without codes 0.0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "common/thread_pool.hpp"
#include "shard/doc_state.hpp"
#include "shard/index_view.hpp"
#include "shard/merged.hpp"
#include "shard/safetensors.hpp"
#include "shard/scoring/dot_kernels.hpp"
#include "shard/scoring/maxsim.hpp"
#include "shard/scoring/top_k.hpp"

namespace vse::shard {

// The query-centroid dots of one call, laid out centroid by centroid with the query rows side by
// side (padded to a multiple of 16 with -inf), so a document's codes are read in order, each
// lifting every query row's running maximum at once.
class CentroidTable {
public:
    CentroidTable(const float* query, std::size_t n_q, const float* centroids, std::uint64_t n_centroids,
                  std::size_t dim, const ScoringTable& path = scoring_table());

    std::size_t stride() const { return stride_; }
    // The code score of m little-endian 16-bit codes at `codes`; `best` holds stride() floats.
    float code_score(const std::uint8_t* codes, std::size_t m, float* best) const;

private:
    std::size_t n_q_, stride_;
    std::uint64_t n_centroids_;
    std::vector<float> table_;
    CodeMaxFn code_max_ = nullptr;
};

// The merged path: each candidate's codes read in place from "merged_codes.bin" (the view must
// hold codes), bounded by the mapping's real length. Ids not in the doc map, positions without a
// boundary after them and code ranges beyond the mapping are left out; an empty or reversed row
// range scores 0.0. Scored on `pool`; the result lists the candidates in their order.
std::vector<ScoredDoc> approx_merged_scores(const CentroidTable& table, const MergedMmap& merged,
                                            std::span<const std::uint64_t> candidates, ThreadPool& pool);

// The shard path: candidates located through the snapshot's documents, grouped by shard
// (doc_rows.hpp), codes read from each shard's "centroid_codes"; candidates that cannot be read are
// left out. The groups are scored on `pool`; the result lists every scored occurrence of a
// candidate.
std::vector<ScoredDoc> approx_shard_scores(const CentroidTable& table, const ShardState& state,
                                           const ShardMap& shards, std::span<const std::uint64_t> candidates,
                                           ThreadPool& pool);

// The best n_top candidates, scored on `pool` against the centroid table installed in `view` (its
// absence is the error of require_centroids): `query` holds n_q rows of the index width. The
// candidates are scored from the merged codes when the view's record holds a merged view with
// codes, else from the shard files of its snapshot (the two paths never mix). Empty without work
// (no candidates, no query rows).
Result<std::vector<ScoredDoc>> score_candidates_approx(const IndexView& view, const float* query, std::size_t n_q,
                                                       std::span<const std::uint64_t> candidates,
                                                       std::uint64_t n_top, ThreadPool& pool);

// The whole call on the process-wide pool, started only when there is work; fails when no centroids
// are installed or the pool cannot be started.
Result<std::vector<ScoredDoc>> score_candidates_approx(const IndexView& view, const float* query, std::size_t n_q,
                                                       std::span<const std::uint64_t> candidates,
                                                       std::uint64_t n_top);

}  // namespace vse::shard
