#include "shard/fetch.hpp"

#include <cstring>

#include "common/checked.hpp"
#include "common/coding.hpp"
#include "common/half.hpp"
#include "shard/doc_rows.hpp"

namespace vse::shard {

namespace {

// One document to serve, planned before anything is written so that the output is allocated once.
struct Planned {
    enum class Source : std::uint8_t {
        Copy,    // `from` holds the output bytes as they are
        Narrow,  // `from` holds bytes / 2 float32 values, each narrowed to one float16
        Decode,  // `from` holds one code a row (two bytes), `packed` P residual bytes a row
    };
    std::uint64_t doc_id;
    std::uint64_t rows;
    std::uint64_t bytes;  // what the document adds to the output
    Source source;
    const std::uint8_t* from;
    const std::uint8_t* packed = nullptr;
};

// The documents of one call in output order, and their total size. An id may be listed any number
// of times: the total can pass 64 bits.
struct Plan {
    std::vector<Planned> docs;
    CheckedSize total_bytes = 0;

    void add(const Planned& p, CheckedSize bytes) {
        docs.push_back(p);
        total_bytes = checked_add(total_bytes, bytes);
    }
};

// The whole rows of `row_bytes` bytes each in a range of `bytes` bytes, none when a row is too wide
// to address. A document serves these rows and no more, so that every range after it still points
// at its own rows.
std::uint64_t whole_rows(std::size_t bytes, CheckedSize row_bytes) { return row_bytes ? bytes / *row_bytes : 0; }

// Writes the planned documents back to back into one buffer of the plan's size, each document's
// rows numbered on from the last one's; an output too large to allocate throws std::bad_alloc
// before anything is written. `codec` rebuilds the decoded documents (it is given whenever the
// plan holds one).
Fetched emit(const Plan& plan, const ResidualCodec* codec) {
    Fetched out;
    out.bytes.resize(alloc_count<std::uint8_t>(plan.total_bytes));
    out.ranges.reserve(2 * plan.docs.size());
    out.ids.reserve(plan.docs.size());
    std::vector<float> buffer(codec != nullptr ? alloc_count<float>(codec->dim()) : 0);
    std::uint8_t* at = out.bytes.data();
    std::int64_t total_rows = 0;  // at most the total bytes: fits
    for (const Planned& p : plan.docs) {
        switch (p.source) {
            case Planned::Source::Copy:
                if (p.bytes != 0) std::memcpy(at, p.from, p.bytes);
                break;
            case Planned::Source::Narrow:
                narrow_half(p.from, p.bytes / 2, at);
                break;
            case Planned::Source::Decode: {
                // Within the code and residual ranges checked by the plan.
                const std::uint64_t P = codec->packed_bytes_per_vector(), D = codec->dim();
                for (std::uint64_t j = 0; j < p.rows; ++j)
                    codec->decode_residual_row(get_u16(p.from + 2 * j), p.packed + j * P, at + j * 2 * D,
                                               buffer.data());
                break;
            }
        }
        at += p.bytes;
        out.ranges.push_back(total_rows);
        out.ranges.push_back(total_rows + static_cast<std::int64_t>(p.rows));
        out.ids.push_back(p.doc_id);
        total_rows += static_cast<std::int64_t>(p.rows);
    }
    return out;
}

}  // namespace

Fetched fetch_from_merged(const MergedMmap& merged, std::span<const std::uint64_t> candidates, std::uint64_t dim) {
    // A row too wide to address is longer than any range: then nothing is served.
    const CheckedSize row_bytes = checked_mul(dim, 2);
    Plan plan;
    plan.docs.reserve(candidates.size());
    for (std::uint64_t id : candidates) {
        const auto rows = merged.rows_of(id);
        if (!rows || rows->empty()) continue;
        const auto bytes = merged.row_bytes(*rows);
        if (!bytes) continue;
        // The file's rows may be wider than the index's (a view of another dim): its bytes are
        // served as rows of the index's width, whole ones only.
        const std::uint64_t n = whole_rows(bytes->size(), row_bytes);
        if (n == 0) continue;
        plan.add({id, n, n * *row_bytes, Planned::Source::Copy, bytes->data()}, n * *row_bytes);
    }
    return emit(plan, nullptr);
}

Fetched fetch_from_shards(const ShardState& state, const ShardMap& shards, const ResidualCodec* codec,
                          std::span<const std::uint64_t> candidates, std::uint64_t dim) {
    // A raw row too wide to address is longer than any range, which then holds no whole row.
    const CheckedSize row_bytes = checked_mul(dim, 2), f32_row_bytes = checked_mul(dim, 4);
    Plan plan;
    for (const ShardGroup& g : group_by_shard(state, shards, candidates)) {
        const ShardTensors& t = g.tensors;
        const bool decode = codec != nullptr && t.packed_residuals != nullptr && t.centroid_codes != nullptr;
        // Raw mode reads "embeddings": float16 rows are served as they are, float32 ones narrowed to
        // float16; without the tensor, or with another dtype, nothing is.
        const bool narrow = t.embeddings_dtype == RowDtype::F32;
        if (!decode && !narrow && t.embeddings_dtype != RowDtype::F16) continue;
        for (const auto& [id, entry] : g.docs) {
            const DocEntry& e = *entry;
            if (e.row_start == e.row_end) continue;
            if (!decode) {
                const auto bytes = t.embedding_bytes(e);
                if (!bytes) continue;
                // The tensor's rows need not be `dim` values wide (a 1-D tensor, say): whole index
                // rows only, each 2 * dim output bytes, narrowed from 4 * dim float32 bytes.
                const std::uint64_t rows = whole_rows(bytes->size(), narrow ? f32_row_bytes : row_bytes);
                const std::uint64_t out_bytes = rows != 0 ? rows * *row_bytes : 0;
                plan.add({id, rows, out_bytes, narrow ? Planned::Source::Narrow : Planned::Source::Copy, bytes->data()},
                         out_bytes);
                continue;
            }
            const auto codes = t.code_bytes(e);
            const auto packed = t.residual_bytes(e);
            if (!codes || !packed) continue;
            // One code and P residual bytes a row, or the document is left out: never read past either.
            const std::uint64_t n = e.row_end - e.row_start, P = codec->packed_bytes_per_vector();
            const CheckedSize residual_bytes = checked_mul(n, P);
            if (codes->size() / 2 < n || !residual_bytes || *residual_bytes > packed->size()) continue;
            // The rebuilt rows are allocated: a size that does not fit fails in emit, as too large.
            const CheckedSize block = checked_mul(n, 2, codec->dim());
            plan.add({id, n, saturated(block), Planned::Source::Decode, codes->data(), packed->data()}, block);
        }
    }
    return emit(plan, codec);
}

Fetched fetch_candidate_embeddings(const IndexView& view, std::span<const std::uint64_t> candidates) {
    const Installed& in = *view.installed;
    if (in.merged != nullptr) return fetch_from_merged(*in.merged, candidates, view.dim);
    return fetch_from_shards(*view.state, *view.shards, in.use_compression ? in.codec.get() : nullptr, candidates,
                             view.dim);
}

}  // namespace vse::shard
