#include "shard/doc_rows.hpp"

#include <cstddef>
#include <limits>
#include <string_view>

#include "shard/file_names.hpp"

namespace vse::shard {

namespace {

RowDtype dtype_of(const TensorInfo* t) {
    if (t == nullptr) return RowDtype::Absent;
    if (t->dtype == "F32") return RowDtype::F32;
    if (t->dtype == "F16") return RowDtype::F16;
    return RowDtype::Other;
}

std::optional<std::span<const std::uint8_t>> rows_of(const MmapShard& shard, const TensorInfo* t,
                                                     std::string_view name, const DocEntry& e) {
    if (t == nullptr) return std::nullopt;
    auto bytes = shard.tensor_row_bytes(*t, name, e.row_start, e.row_end);
    if (!bytes) return std::nullopt;
    return *bytes;
}

}  // namespace

ShardTensors ShardTensors::of(const MmapShard& shard) {
    ShardTensors t;
    t.shard = &shard;
    t.embeddings = shard.tensor(kEmbeddingsTensor);
    t.centroid_codes = shard.tensor(kCentroidCodesTensor);
    t.packed_residuals = shard.tensor(kPackedResidualsTensor);
    t.embeddings_dtype = dtype_of(t.embeddings);
    return t;
}

std::optional<std::span<const std::uint8_t>> ShardTensors::embedding_bytes(const DocEntry& e) const {
    return rows_of(*shard, embeddings, kEmbeddingsTensor, e);
}

std::optional<std::span<const std::uint8_t>> ShardTensors::code_bytes(const DocEntry& e) const {
    if (centroid_codes == nullptr) return std::nullopt;
    auto bytes = shard->code_row_bytes(*centroid_codes, e.row_start, e.row_end);
    if (!bytes) return std::nullopt;
    return *bytes;
}

std::optional<std::span<const std::uint8_t>> ShardTensors::residual_bytes(const DocEntry& e) const {
    return rows_of(*shard, packed_residuals, kPackedResidualsTensor, e);
}

const ShardTensors* ShardLookup::find(std::uint32_t shard_id) {
    if (last_ == nullptr || shard_id != last_id_) {
        auto [it, fresh] = seen_.try_emplace(shard_id);
        if (fresh) {
            if (auto mapped = shards_.find(shard_id); mapped != shards_.end())
                it->second = ShardTensors::of(*mapped->second);
        }
        last_id_ = shard_id;
        last_ = &it->second;
    }
    return last_->shard != nullptr ? last_ : nullptr;
}

std::vector<ShardGroup> group_by_shard(const ShardState& state, const ShardMap& shards,
                                       std::span<const std::uint64_t> candidates) {
    std::vector<ShardGroup> groups;
    if (candidates.empty() || state.docs.empty()) return groups;
    constexpr std::size_t kUnmapped = std::numeric_limits<std::size_t>::max();
    std::unordered_map<std::uint32_t, std::size_t> group_of;  // shard id -> group, or kUnmapped
    for (std::uint64_t id : candidates) {
        const DocEntry* e = state.docs.find(id);
        if (e == nullptr || e->shard_id == NO_SHARD) continue;
        auto [it, fresh] = group_of.try_emplace(e->shard_id, kUnmapped);
        if (fresh) {
            if (auto mapped = shards.find(e->shard_id); mapped != shards.end()) {
                it->second = groups.size();
                groups.push_back({ShardTensors::of(*mapped->second), {}});
            }
        }
        if (it->second != kUnmapped) groups[it->second].docs.emplace_back(id, e);
    }
    return groups;
}

}  // namespace vse::shard
