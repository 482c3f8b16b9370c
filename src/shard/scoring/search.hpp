// Exact search: every document of a snapshot that has a readable shard location, scored by MaxSim
// against the query (on the CPU, or by a scorer the caller supplies), best k kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "common/uninit_allocator.hpp"
#include "shard/doc_state.hpp"
#include "shard/index_view.hpp"
#include "shard/safetensors.hpp"
#include "shard/scoring/top_k.hpp"

namespace vse::shard {

// Row range [start, end) of one gathered document within the gathered rows.
using RowRange = std::pair<std::uint64_t, std::uint64_t>;

// Rows handed to a scorer, owned by it: sized, then written whole.
using ScorerRows = std::vector<float, UninitAllocator<float>>;

// Scores all gathered documents at once: query (n_q * dim values), the gathered rows back to back,
// one id and one row range per document, and the width. The scorer owns both row buffers, so it may
// hand them on without a copy. Returns one score per id (a result of another length is paired up
// to the shorter of the two).
using BatchScorer = std::function<std::vector<float>(ScorerRows query, ScorerRows docs,
                                                     std::span<const std::uint64_t> ids,
                                                     std::span<const RowRange> ranges, std::uint64_t dim)>;

// One document's rows as they lie in its shard's mapping.
struct LocatedDoc {
    std::uint64_t doc_id;
    const std::uint8_t* bytes;  // rows * dim little-endian float32 values, not necessarily aligned
    std::uint64_t rows;
};

// The documents of `state` whose rows can be read from "embeddings" of a shard in `shards`, in the
// map's order. Left out, silently: documents without a shard location, whose shard is not mapped,
// whose shard has no "embeddings" tensor or one whose dtype is not "F32", whose row range the tensor
// refuses, and whose tensor rows are not exactly `dim` float32 values wide.
std::vector<LocatedDoc> locate_docs(const ShardState& state, const ShardMap& shards, std::uint64_t dim);

// The best k documents of the view's snapshot that locate_docs finds, by MaxSim, scored straight
// from the mappings (`scorer` absent) or by `scorer` over one copy of all rows and one of the query
// (one too large to allocate, a size past 64 bits included, throws std::bad_alloc). `query` holds
// n_q rows of the index width.
std::vector<ScoredDoc> search(const IndexView& view, const float* query, std::size_t n_q, std::uint64_t k,
                              const BatchScorer* scorer);

}  // namespace vse::shard
