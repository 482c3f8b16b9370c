#include "shard/scoring/proxy.hpp"

#include "common/u64_map.hpp"
#include "shard/scoring/maxsim.hpp"

namespace vse::shard {

std::vector<ScoredDoc> proxy_score(const IndexView& view, const float* query, std::size_t n_q,
                                   std::optional<std::span<const std::uint64_t>> candidates, std::uint64_t n_full) {
    const ShardState& state = *view.state;
    const std::vector<std::uint64_t>& ids = state.mean_doc_ids;
    if (n_full == 0 || n_q == 0 || !state.doc_means || state.doc_means->empty() || ids.empty()) return {};
    const std::size_t D = state.doc_mean_dim;
    const float* means = state.doc_means->data();
    const std::size_t n_rows = std::min(ids.size(), state.doc_means->size() / D);

    // Candidate ids come from the caller: the set hashes them with the process's keyed hash.
    std::optional<U64Map> wanted;
    if (candidates && !candidates->empty()) {
        wanted.emplace(candidates->size());
        for (std::uint64_t id : *candidates) wanted->insert_or_assign(id, 0);
    }

    // The mean rows to score go through the side-by-side dots a chunk at a time.
    const QueryDots qd(query, n_q, D);
    constexpr std::size_t kChunk = 256;
    const float* rows[kChunk];
    std::size_t taken[kChunk];
    float scores[kChunk];
    ScoredHeap heap(selection_reserve(n_full, n_rows));
    auto flush = [&](std::size_t n) {
        qd.max_over_query(rows, n, scores);
        for (std::size_t j = 0; j < n; ++j) heap.push_bounded({ids[taken[j]], scores[j]}, n_full);
    };
    std::size_t n = 0;
    for (std::size_t i = 0; i < n_rows; ++i) {
        if (wanted && !wanted->find(ids[i])) continue;
        rows[n] = means + i * D;
        taken[n] = i;
        if (++n == kChunk) {
            flush(n);
            n = 0;
        }
    }
    if (n > 0) flush(n);
    return heap.scored_heap_into_sorted_vec();
}

}  // namespace vse::shard
