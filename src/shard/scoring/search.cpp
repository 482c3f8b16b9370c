#include "shard/scoring/search.hpp"

#include <cstring>

#include "common/checked.hpp"
#include "shard/doc_rows.hpp"
#include "shard/scoring/maxsim.hpp"

namespace vse::shard {

std::vector<LocatedDoc> locate_docs(const ShardState& state, const ShardMap& shards, std::uint64_t dim) {
    std::vector<LocatedDoc> out;
    out.reserve(state.docs.size());
    ShardLookup lookup(shards);
    state.docs.for_each([&](std::uint64_t id, const DocEntry& e) {
        if (e.shard_id == NO_SHARD) return;
        const ShardTensors* tensors = lookup.find(e.shard_id);
        if (tensors == nullptr || tensors->embeddings_dtype != RowDtype::F32) return;
        auto bytes = tensors->embedding_bytes(e);
        if (!bytes) return;
        // The ranges count rows from the entry; the values must then be exactly dim floats a row.
        const std::uint64_t rows = e.row_end - e.row_start;
        if (checked_mul(rows, dim, 4) != bytes->size()) return;
        out.push_back(LocatedDoc{id, bytes->data(), rows});
    });
    return out;
}

std::vector<ScoredDoc> search(const IndexView& view, const float* query, std::size_t n_q, std::uint64_t k,
                              const BatchScorer* scorer) {
    const std::uint64_t dim = view.dim;
    const std::vector<LocatedDoc> docs = locate_docs(*view.state, *view.shards, dim);
    if (docs.empty()) return {};
    std::vector<ScoredDoc> scored;
    scored.reserve(docs.size());

    if (scorer != nullptr) {
        // One buffer of its final size for all rows, then one call. Documents may cover the same
        // rows any number of times, so the size can pass 64 bits: then it is too large to allocate.
        CheckedSize total_rows = 0;
        for (const LocatedDoc& d : docs) total_rows = checked_add(total_rows, d.rows);
        ScorerRows values(alloc_count<float>(checked_mul(total_rows, dim)));
        std::vector<std::uint64_t> ids(docs.size());
        std::vector<RowRange> ranges(docs.size());
        std::uint64_t next = 0;
        for (std::size_t i = 0; i < docs.size(); ++i) {
            const LocatedDoc& d = docs[i];
            // Each document's values fit its mapping, and all of them the buffer.
            if (d.rows != 0) std::memcpy(values.data() + next * dim, d.bytes, d.rows * dim * sizeof(float));
            ids[i] = d.doc_id;
            ranges[i] = {next, next + d.rows};
            next += d.rows;
        }
        ScorerRows query_rows(query, query + n_q * dim);
        const std::vector<float> scores = (*scorer)(std::move(query_rows), std::move(values), ids, ranges, dim);
        const std::size_t n = std::min(ids.size(), scores.size());
        for (std::size_t i = 0; i < n; ++i) scored.push_back({ids[i], scores[i]});
    } else {
        const QueryDots qd(query, n_q, dim);
        std::vector<float> best(n_q);
        std::vector<float> aligned;  // rows of a document whose mapping is not 4-byte aligned
        for (const LocatedDoc& d : docs) {
            const float* rows = reinterpret_cast<const float*>(d.bytes);
            if (reinterpret_cast<std::uintptr_t>(d.bytes) % alignof(float) != 0) {
                aligned.resize(d.rows * dim);
                std::memcpy(aligned.data(), d.bytes, aligned.size() * sizeof(float));
                rows = aligned.data();
            }
            scored.push_back({d.doc_id, qd.maxsim(rows, d.rows, best.data())});
        }
    }
    return top_k(std::move(scored), k);
}

}  // namespace vse::shard
