#include "shard/doc_state.hpp"

#include <unordered_map>
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

std::vector<ShardGroup> group_by_shard(const ShardState& state, std::span<const std::uint64_t> candidates) {
    std::vector<ShardGroup> groups;
    if (candidates.empty() || state.docs.empty()) return groups;
    std::unordered_map<std::uint32_t, std::size_t> group_of;
    for (std::uint64_t id : candidates) {
        const DocEntry* e = state.docs.find(id);
        if (e == nullptr || e->shard_id == NO_SHARD) continue;
        auto [it, fresh] = group_of.try_emplace(e->shard_id, groups.size());
        if (fresh) groups.push_back({e->shard_id, {}});
        groups[it->second].docs.emplace_back(id, e);
    }
    return groups;
}

}  // namespace vse::shard
