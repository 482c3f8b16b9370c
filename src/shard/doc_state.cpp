#include "shard/doc_state.hpp"

#include <algorithm>
#include <iterator>
#include <unordered_map>

#include "common/keyed_hash.hpp"

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

WalReplay wal_replay(int fd, std::uint64_t index_dim) {
    // The records are applied one after another in file order; ids are sorted once at the end.
    // Ids come from the file: hashed with the process's keyed hash, so no choice of them piles up.
    struct KeyedHash {
        std::size_t operator()(std::uint64_t id) const { return static_cast<std::size_t>(keyed_hash64(id)); }
    };
    std::unordered_map<std::uint64_t, DocEntry, KeyedHash> docs;
    WalReader in(fd);
    WalRecord rec;
    while (in.next(rec)) {
        switch (rec.op) {
            case WalOp::Insert:
            case WalOp::InsertAlt: {
                auto payload = rec.payload.empty() ? nullptr : std::make_shared<const std::string>(std::move(rec.payload));
                docs.insert_or_assign(rec.doc_id, DocEntry(std::move(payload), 0, rec.n_vectors, index_dim, NO_SHARD));
                break;
            }
            case WalOp::Delete:
                docs.erase(rec.doc_id);
                break;
            case WalOp::UpdatePayload:
                if (auto it = docs.find(rec.doc_id); it != docs.end())
                    it->second.payload =
                        rec.payload.empty() ? nullptr : std::make_shared<const std::string>(std::move(rec.payload));
                break;
        }
    }

    WalReplay out;
    out.good_len = in.good_len();
    out.stop = in.stop();
    std::vector<std::pair<std::uint64_t, DocEntry>> sorted(std::make_move_iterator(docs.begin()),
                                                           std::make_move_iterator(docs.end()));
    docs.clear();
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    out.docs = DocMap::from_sorted(std::move(sorted));
    return out;
}

}  // namespace vse::shard
