#include "shard/doc_state.hpp"

#include <utility>

namespace vse::shard {

std::shared_ptr<const ShardState> ShardState::build(DocMap docs, std::uint32_t next_shard_id) {
    std::uint64_t total = 0;
    docs.for_each([&](std::uint64_t, const DocEntry& e) { total += entry_vectors(e); });
    return with_total(std::move(docs), total, next_shard_id);
}

std::shared_ptr<const ShardState> ShardState::with_total(DocMap docs, std::uint64_t total_vectors,
                                                         std::uint32_t next_shard_id) {
    auto s = std::make_shared<ShardState>();
    s->docs = std::move(docs);
    s->total_vectors = total_vectors;
    s->next_shard_id = next_shard_id;
    return s;
}

}  // namespace vse::shard
