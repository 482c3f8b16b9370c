// Exact candidate scoring over the merged view: re-ranks a list of candidate documents by MaxSim
// of their float16 rows, widened on the fly, and keeps the best k.
//
// One candidate: its position in the doc map gives rows [boundary i, boundary i + 1); their bytes
// run from 16 + 2 * start * W to 16 + 2 * end * W of the embeddings file (W the view's width); the
// document has floor(span / (2 * D)) rows of the index width D, widened from the mapping straight
// into a scratch buffer and scored like exact search (maxsim.hpp). Left out, silently: ids not in
// the doc map, positions without a boundary after them, empty or reversed row ranges, ranges that
// end beyond the file, spans shorter than one row, and every candidate of a view whose width W is
// not the index width D, whose rows would be misread.
//
// The candidates are cut into chunks of max(floor(n / (4 t)), 32) for t workers, about four per
// worker once there are enough. Each chunk scores its candidates in order with a scratch buffer of
// its own, reused from one candidate to the next, and keeps its best k; the chunk lists are then
// merged in chunk order into the best k overall. Selection does not depend on the order of its
// input (top_k.hpp), so neither the worker count nor the chunking changes the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "common/thread_pool.hpp"
#include "shard/index_view.hpp"
#include "shard/merged.hpp"
#include "shard/scoring/maxsim.hpp"
#include "shard/scoring/top_k.hpp"

namespace vse::shard {

// Candidates per chunk for n candidates on a pool of `workers` (0 read as 1).
std::size_t exact_chunk_size(std::size_t n_candidates, std::size_t workers);

// Reusable buffers of one chunk: the widened rows of the current candidate, and one maximum per
// query row.
struct ExactScratch {
    std::vector<float> rows;
    std::vector<float> best;
};

// The MaxSim of one candidate against `query` (whose width is the index width), or nullopt when it
// is left out.
std::optional<float> score_exact_candidate(const MergedMmap& merged, const QueryDots& query, std::uint64_t doc_id,
                                           ExactScratch& scratch);

// One chunk: its candidates scored in order, cut to the best k.
std::vector<ScoredDoc> score_exact_chunk(const MergedMmap& merged, const QueryDots& query,
                                         std::span<const std::uint64_t> candidates, std::uint64_t k);

// The best k candidates, chunks run on `pool`. The query must have rows and k must be above 0.
std::vector<ScoredDoc> score_candidates_exact(const MergedMmap& merged, const QueryDots& query,
                                              std::span<const std::uint64_t> candidates, std::uint64_t k,
                                              ThreadPool& pool);

// The best k candidates by the merged view installed in `view` (its absence is the error of
// require_merged), chunks run on `pool`: `query` holds n_q rows of the index width. Empty without
// work (k 0, no candidates, no query rows).
Result<std::vector<ScoredDoc>> score_candidates_exact(const IndexView& view, const float* query, std::size_t n_q,
                                                      std::span<const std::uint64_t> candidates, std::uint64_t k,
                                                      ThreadPool& pool);

// The whole call on the process-wide pool, started only when there is work; fails when no merged
// view is installed or the pool cannot be started.
Result<std::vector<ScoredDoc>> score_candidates_exact(const IndexView& view, const float* query, std::size_t n_q,
                                                      std::span<const std::uint64_t> candidates, std::uint64_t k);

}  // namespace vse::shard
