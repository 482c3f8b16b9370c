#include "shard/fetch.hpp"

#include <cstring>

#include "common/checked.hpp"
#include "common/half.hpp"

namespace vse::shard {

namespace {

// One document to serve, planned before anything is copied so that the output is allocated once.
struct Planned {
    std::uint64_t doc_id;
    std::uint64_t rows;
    std::span<const std::uint8_t> raw;  // raw mode: the bytes to copy, or the float32 values to narrow
    bool narrow = false;                // raw mode: raw holds float32 values
    std::vector<std::uint16_t> codes;   // decode mode: one code per row
    const std::uint8_t* packed = nullptr;  // decode mode: rows * P bytes
    std::uint64_t bytes;                // what the document adds to the output
};

}  // namespace

Fetched fetch_from_merged(const MergedMmap& merged, std::span<const std::uint64_t> candidates, std::uint64_t dim) {
    // A row too wide to address is longer than any range: then nothing is served.
    const CheckedSize row_bytes = checked_mul(dim, 2);
    std::vector<std::pair<std::uint64_t, std::span<const std::uint8_t>>> served;
    served.reserve(candidates.size());
    CheckedSize total_bytes = 0;
    for (std::uint64_t id : candidates) {
        const auto rows = merged.rows_of(id);
        if (!rows || rows->empty()) continue;
        const auto bytes = merged.row_bytes(*rows);
        if (!bytes || !row_bytes || bytes->size() < *row_bytes) continue;
        served.emplace_back(id, *bytes);
        // An id may be listed any number of times: the total can pass 64 bits.
        total_bytes = checked_add(total_bytes, bytes->size());
    }
    Fetched out;
    out.bytes.resize(alloc_count<std::uint8_t>(total_bytes));
    out.ranges.reserve(2 * served.size());
    out.ids.reserve(served.size());
    std::uint8_t* at = out.bytes.data();
    std::int64_t total_rows = 0;  // at most the total bytes: fits
    for (const auto& [id, bytes] : served) {
        std::memcpy(at, bytes.data(), bytes.size());
        at += bytes.size();
        const auto n = static_cast<std::int64_t>(bytes.size() / *row_bytes);
        out.ranges.push_back(total_rows);
        out.ranges.push_back(total_rows + n);
        out.ids.push_back(id);
        total_rows += n;
    }
    return out;
}

Fetched fetch_from_shards(const ShardState& state, const ShardMap& shards, const ResidualCodec* codec,
                          std::span<const std::uint64_t> candidates, std::uint64_t dim) {
    const std::vector<ShardGroup> groups = group_by_shard(state, candidates);
    std::vector<Planned> plan;
    // A raw row too wide to address is longer than any range, which then holds no whole row.
    const CheckedSize row_bytes = checked_mul(dim, 2), f32_row_bytes = checked_mul(dim, 4);
    // An id may be listed any number of times: the total can pass 64 bits.
    CheckedSize total_bytes = 0;
    for (const ShardGroup& g : groups) {
        auto it = shards.find(g.shard_id);
        if (it == shards.end()) continue;
        const MmapShard& shard = *it->second;
        const bool decode =
            codec != nullptr && shard.tensor("packed_residuals") != nullptr && shard.tensor("centroid_codes") != nullptr;
        // Raw mode reads one tensor, looked up once for the group: float16 rows are served as they
        // are, float32 ones narrowed to float16; without it, or with another dtype, nothing is.
        const TensorInfo* embeddings = shard.tensor("embeddings");
        const bool narrow = embeddings != nullptr && embeddings->dtype == "F32";
        if (!decode && (embeddings == nullptr || (!narrow && embeddings->dtype != "F16"))) continue;
        for (const auto& [id, entry] : g.docs) {
            const DocEntry& e = *entry;
            if (e.row_start == e.row_end) continue;
            if (!decode) {
                auto bytes = shard.tensor_row_bytes(*embeddings, "embeddings", e.row_start, e.row_end);
                if (!bytes) continue;
                if (narrow) {
                    // Whole rows only, so that the row ranges of later documents stay true; their
                    // float16 bytes are half the float32 bytes read.
                    const std::uint64_t rows = f32_row_bytes ? bytes->size() / *f32_row_bytes : 0;
                    const std::uint64_t in = rows != 0 ? rows * *f32_row_bytes : 0;
                    plan.push_back({id, rows, bytes->first(in), true, {}, nullptr, in / 2});
                    total_bytes = checked_add(total_bytes, in / 2);
                    continue;
                }
                const std::uint64_t rows = row_bytes ? bytes->size() / *row_bytes : 0;
                plan.push_back({id, rows, *bytes, false, {}, nullptr, bytes->size()});
                total_bytes = checked_add(total_bytes, bytes->size());
                continue;
            }
            auto codes = shard.read_selected_u16(e.row_start, e.row_end);
            auto packed = shard.tensor_row_bytes("packed_residuals", e.row_start, e.row_end);
            if (!codes || !packed) continue;
            // One code and P residual bytes a row, or the document is left out: never read past either.
            const std::uint64_t n = e.row_end - e.row_start, P = codec->packed_bytes_per_vector();
            const CheckedSize residual_bytes = checked_mul(n, P);
            if (codes->size() < n || !residual_bytes || *residual_bytes > packed->size()) continue;
            // The rebuilt rows are allocated: a size that does not fit fails below, as too large.
            const CheckedSize block = checked_mul(n, 2, codec->dim());
            plan.push_back({id, n, {}, false, std::move(*codes), packed->data(), saturated(block)});
            total_bytes = checked_add(total_bytes, block);
        }
    }

    Fetched out;
    out.bytes.resize(alloc_count<std::uint8_t>(total_bytes));
    out.ranges.reserve(2 * plan.size());
    out.ids.reserve(plan.size());
    std::vector<float> buffer(codec != nullptr ? alloc_count<float>(codec->dim()) : 0);
    std::uint8_t* at = out.bytes.data();
    std::int64_t total_rows = 0;  // at most the total bytes: fits
    for (const Planned& p : plan) {
        if (p.packed == nullptr) {
            if (p.narrow)
                narrow_half(p.raw.data(), p.bytes / 2, at);
            else if (p.bytes != 0)
                std::memcpy(at, p.raw.data(), p.bytes);
        } else {
            // Within the checked block and residual range above.
            const std::uint64_t P = codec->packed_bytes_per_vector(), D = codec->dim();
            for (std::uint64_t j = 0; j < p.rows; ++j)
                codec->decode_residual_row(p.codes[j], p.packed + j * P, at + j * 2 * D, buffer.data());
        }
        at += p.bytes;
        out.ranges.push_back(total_rows);
        out.ranges.push_back(total_rows + static_cast<std::int64_t>(p.rows));
        out.ids.push_back(p.doc_id);
        total_rows += static_cast<std::int64_t>(p.rows);
    }
    return out;
}

Fetched fetch_candidate_embeddings(const ShardState& state, const ShardMap& shards, const MergedMmap* merged,
                                   const ResidualCodec* codec, bool use_compression,
                                   std::span<const std::uint64_t> candidates, std::uint64_t dim) {
    if (merged != nullptr) return fetch_from_merged(*merged, candidates, dim);
    return fetch_from_shards(state, shards, use_compression ? codec : nullptr, candidates, dim);
}

}  // namespace vse::shard
