// Where a document's rows lie. A registered document names a shard and a row range
// [row_start, row_end) (doc_map.hpp); its rows are those rows of each tensor of the shard file
// (file_names.hpp lists the tensors, safetensors.hpp reads them):
//
//   "embeddings"        the token rows, read as they lie: float32 or float16 values
//   "centroid_codes"    one little-endian u16 code a row, dtype "U16"
//   "packed_residuals"  P bytes a row, the residual bucket indices (codec.hpp)
//
// A reader resolves each shard's tensors once per call, not once per document: walking documents
// in map order through a ShardLookup, or grouping its candidates by shard (group_by_shard).
// Nothing here fails loudly. A shard that is not mapped, a tensor that is absent or of another
// dtype, and a row range the tensor refuses leave the document out of what its reader serves; the
// readers say which of these apply to them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "shard/doc_state.hpp"
#include "shard/safetensors.hpp"

namespace vse::shard {

// The dtype of a shard's "embeddings", as the readers tell it apart.
enum class RowDtype : std::uint8_t { Absent, F32, F16, Other };

// The tensors of one mapped shard; a null tensor is absent from the file.
struct ShardTensors {
    const MmapShard* shard = nullptr;
    const TensorInfo* embeddings = nullptr;
    const TensorInfo* centroid_codes = nullptr;
    const TensorInfo* packed_residuals = nullptr;
    RowDtype embeddings_dtype = RowDtype::Absent;

    static ShardTensors of(const MmapShard& shard);

    // The bytes of the document's rows of one tensor, views into the mapping at any alignment;
    // nullopt when the tensor is absent or refuses the range. Codes also need dtype "U16" and an
    // even byte count: two bytes a code.
    std::optional<std::span<const std::uint8_t>> embedding_bytes(const DocEntry& e) const;
    std::optional<std::span<const std::uint8_t>> code_bytes(const DocEntry& e) const;
    std::optional<std::span<const std::uint8_t>> residual_bytes(const DocEntry& e) const;
};

// Shards looked up by id as a walk over documents meets them, each once; the shard met last is
// found again without a lookup.
class ShardLookup {
public:
    explicit ShardLookup(const ShardMap& shards) : shards_(shards) {}

    // The tensors of shard `shard_id`, or null when it is not mapped.
    const ShardTensors* find(std::uint32_t shard_id);

private:
    const ShardMap& shards_;
    std::unordered_map<std::uint32_t, ShardTensors> seen_;  // a null shard: not mapped
    std::uint32_t last_id_ = 0;
    const ShardTensors* last_ = nullptr;  // the entry of last_id_, once a shard has been met
};

// Candidates located through a snapshot's documents, grouped by the shard their entry names: the
// groups in the order their shards first appear, each group's documents in candidate order (a
// candidate listed twice is there twice). Ids not in the map, without a shard location or whose
// shard is not mapped are left out. The entries point into `state` and the tensors into `shards`,
// which must outlive the groups.
struct ShardGroup {
    ShardTensors tensors;
    std::vector<std::pair<std::uint64_t, const DocEntry*>> docs;
};
std::vector<ShardGroup> group_by_shard(const ShardState& state, const ShardMap& shards,
                                       std::span<const std::uint64_t> candidates);

}  // namespace vse::shard
