#include "shard/doc_state.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "common/u64_map.hpp"

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
    // The live documents sit in one array in the order they were first inserted, found through an
    // open-addressing table of their places (keyed by the process's keyed hash, since ids come from
    // the file); a delete moves the last one into the freed place. Ids are sorted once at the end.
    std::vector<std::pair<std::uint64_t, DocEntry>> live;
    U64Map place;
    auto payload_of = [](std::string_view text) {
        return text.empty() ? nullptr : std::make_shared<const std::string>(text);
    };
    WalReader in(fd);
    WalRecord rec;
    while (in.next(rec)) {
        switch (rec.op) {
            case WalOp::Insert:
            case WalOp::InsertAlt: {
                DocEntry entry(payload_of(rec.payload), 0, rec.n_vectors, index_dim, NO_SHARD);
                const auto [at, fresh] = place.try_emplace(rec.doc_id, live.size());
                if (fresh) {
                    live.emplace_back(rec.doc_id, std::move(entry));
                } else {
                    live[at].second = std::move(entry);
                }
                break;
            }
            case WalOp::Delete:
                if (const auto at = place.find(rec.doc_id)) {
                    place.erase(rec.doc_id);
                    if (*at + 1 != live.size()) {
                        live[*at] = std::move(live.back());
                        place.insert_or_assign(live[*at].first, *at);
                    }
                    live.pop_back();
                }
                break;
            case WalOp::UpdatePayload:
                if (const auto at = place.find(rec.doc_id)) live[*at].second.payload = payload_of(rec.payload);
                break;
        }
    }

    WalReplay out;
    out.good_len = in.good_len();
    out.stop = in.stop();
    auto by_id = [](const auto& a, const auto& b) { return a.first < b.first; };
    if (!std::is_sorted(live.begin(), live.end(), by_id)) std::sort(live.begin(), live.end(), by_id);
    out.docs = DocMap::from_sorted(std::move(live));
    return out;
}

}  // namespace vse::shard
