// Proxy scoring: each document's mean-pooled vector against the query, the largest dot product
// over the query rows being the document's score.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "shard/index_view.hpp"
#include "shard/scoring/top_k.hpp"

namespace vse::shard {

// The best n_full mean rows of the view's snapshot by proxy score, best first. `query` holds n_q
// rows of the snapshot's `doc_mean_dim` values; the caller has checked require_doc_means. Without
// candidates (or with an empty list) every mean row is scored; otherwise the rows whose id is a
// candidate, each row once, so an id carried by several rows may come back several times.
std::vector<ScoredDoc> proxy_score(const IndexView& view, const float* query, std::size_t n_q,
                                   std::optional<std::span<const std::uint64_t>> candidates, std::uint64_t n_full);

}  // namespace vse::shard
