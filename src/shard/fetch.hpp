// Candidate embedding fetch: the float16 token rows of a list of candidates, back to back in one
// buffer, with each returned document's row range in it and its id. A candidate that cannot be
// served is left out; one listed twice is served twice. Both paths plan every document they serve
// before writing any, so that the output is allocated once: an output whose size does not fit 64
// bits or one allocation (a large document listed many times, say) throws std::bad_alloc before
// anything is written, as any allocation too large to serve does.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/uninit_allocator.hpp"
#include "shard/codec.hpp"
#include "shard/doc_state.hpp"
#include "shard/index_view.hpp"
#include "shard/merged.hpp"
#include "shard/safetensors.hpp"

namespace vse::shard {

struct Fetched {
    std::vector<std::uint8_t, UninitAllocator<std::uint8_t>> bytes;  // float16 values, two bytes each, low byte first
    std::vector<std::int64_t> ranges;  // [start, end) row pairs, flat
    std::vector<std::uint64_t> ids;
};

// The merged path, in candidate order: each document's rows as one contiguous byte range of the
// embeddings mapping (their width that of the merged file), copied into one buffer sized first. Ids
// not in the doc map, positions without a boundary after them, empty or reversed row ranges, ranges
// beyond the file and ranges shorter than one row of the index (2 * dim bytes, which for a dim of
// 2^63 or more is longer than any range) are left out. A document serves the whole rows of the
// index's width its range holds, floor(bytes / (2 * dim)), and only their bytes, so that every
// range points at its own rows even when the file's dim is not the index's.
Fetched fetch_from_merged(const MergedMmap& merged, std::span<const std::uint64_t> candidates, std::uint64_t dim);

// The shard path. Candidates are grouped by the shard their entry names (doc_rows.hpp); a group
// whose shard has both "packed_residuals" and "centroid_codes" is rebuilt by `codec` when one is
// given (decode mode). Every other group reads its "embeddings" rows (raw mode), whole index rows
// only, whatever the tensor's own row width: float16 ("F16") rows are copied as they are, float32
// ("F32") ones narrowed to the nearest float16 (half.hpp: the bytes NumPy's astype(np.float16)
// gives, NaNs included, as in a merged file written from them), and a tensor of any other dtype
// serves nothing. A row is 2 * dim output bytes, so that for a dim of 2^63 or more a document holds
// no whole row. Within a group documents come out in candidate order.
Fetched fetch_from_shards(const ShardState& state, const ShardMap& shards, const ResidualCodec* codec,
                          std::span<const std::uint64_t> candidates, std::uint64_t dim);

// The whole call: the merged path when the view's record holds a merged view (it then serves every
// candidate), else the shard path, decoding with the installed codec only when use_compression is
// set.
Fetched fetch_candidate_embeddings(const IndexView& view, std::span<const std::uint64_t> candidates);

}  // namespace vse::shard
