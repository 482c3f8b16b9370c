#include "shard/wal_replay.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/u64_map.hpp"

namespace vse::shard {

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
