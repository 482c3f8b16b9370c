#include "shard/merged.hpp"

#include <limits>
#include <utility>

#include <fmt/format.h>

#include "common/checked.hpp"
#include "common/coding.hpp"
#include "common/fs.hpp"

namespace vse::shard {

namespace {

constexpr std::uint64_t kEmbeddingsHeader = 16;
constexpr std::uint64_t kCountHeader = 8;

StorageError invalid_data(std::string msg) { return StorageError{StorageKind::InvalidData, std::move(msg)}; }

// header + count * item_bytes, or the largest u64 when that does not fit: a length no file has, so
// a count too large to address counts as longer than the file.
std::uint64_t needed_length(std::uint64_t header, std::uint64_t count, std::uint64_t item_bytes) {
    return saturated(checked_add(header, checked_mul(count, item_bytes)));
}

// The bytes of a row of `dim` float16 values, saturated like needed_length: times row 0 it still
// gives 0, and times any later row, plus a header, more than any file holds.
std::uint64_t row_size(std::uint64_t dim) { return needed_length(0, dim, 2); }

// Bytes [header + start * item_bytes, header + end * item_bytes) of `map`, when rows are in order
// and the range lies within the mapping.
std::optional<std::span<const std::uint8_t>> byte_range(const MappedFile& map, std::uint64_t header,
                                                        std::uint64_t item_bytes, MergedRows rows) {
    if (rows.end < rows.start) return std::nullopt;
    const std::uint64_t end = needed_length(header, rows.end, item_bytes);
    if (end > map.size()) return std::nullopt;  // also every range that does not fit 64 bits
    const std::uint64_t begin = header + rows.start * item_bytes;  // below end: cannot wrap
    return std::span<const std::uint8_t>(map.data() + begin, static_cast<std::size_t>(end - begin));
}

// A file of one u64 count and that many u64 values, mapped while the caller reads it.
struct CountedFile {
    MappedFile map;
    std::uint64_t count;
    std::uint64_t value(std::uint64_t i) const { return get_u64(map.data() + kCountHeader + 8 * i); }
};

std::expected<CountedFile, StorageError> open_counted(const std::string& dir, const char* name) {
    auto mapped = MappedFile::open(join_path(dir, name));
    if (!mapped) return std::unexpected(mapped.error());
    if (mapped->size() < kCountHeader) return std::unexpected(invalid_data(fmt::format("{} too small", name)));
    const std::uint64_t count = get_u64(mapped->data());
    if (mapped->size() < needed_length(kCountHeader, count, 8))
        return std::unexpected(invalid_data(fmt::format("{} data truncated", name)));
    return CountedFile{std::move(*mapped), count};
}

}  // namespace

MergedMmap::MergedMmap(std::optional<MappedFile> codes, std::vector<std::uint64_t> offsets, U64Map doc_map,
                       MappedFile embeddings, std::uint64_t dim, std::uint64_t n_rows)
    : codes_(std::move(codes)),
      offsets_(std::move(offsets)),
      doc_map_(std::move(doc_map)),
      embeddings_(std::move(embeddings)),
      dim_(dim),
      n_rows_(n_rows) {}

std::expected<std::shared_ptr<const MergedMmap>, StorageError> MergedMmap::load(const std::string& dir) {
    auto embeddings = MappedFile::open(join_path(dir, kMergedEmbeddingsFile));
    if (!embeddings) return std::unexpected(embeddings.error());
    if (embeddings->size() < kEmbeddingsHeader)
        return std::unexpected(invalid_data("merged_embeddings.bin too small for header"));
    const std::uint64_t n_rows = get_u64(embeddings->data());
    const std::uint64_t dim = get_u64(embeddings->data() + 8);
    const std::uint64_t emb_needed = needed_length(kEmbeddingsHeader, n_rows, row_size(dim));
    if (embeddings->size() < emb_needed)
        return std::unexpected(invalid_data(
            fmt::format("merged_embeddings.bin too small: {} < {} expected", embeddings->size(), emb_needed)));

    // Optional: a path that cannot be looked up means no codes, whatever the reason.
    std::optional<MappedFile> codes;
    const std::string codes_path = join_path(dir, kMergedCodesFile);
    if (path_exists(codes_path)) {
        auto mapped = MappedFile::open(codes_path);
        if (!mapped) return std::unexpected(mapped.error());
        if (mapped->size() < kCountHeader) return std::unexpected(invalid_data("merged_codes.bin too small for header"));
        const std::uint64_t needed = needed_length(kCountHeader, get_u64(mapped->data()), 2);
        if (mapped->size() < needed)
            return std::unexpected(
                invalid_data(fmt::format("merged_codes.bin too small: {} < {} expected", mapped->size(), needed)));
        codes = std::move(*mapped);
    }

    // The boundaries and the doc ids are copied out; their files close when the load returns.
    std::vector<std::uint64_t> offsets;
    {
        auto file = open_counted(dir, kMergedOffsetsFile);
        if (!file) return std::unexpected(file.error());
        offsets.resize(static_cast<std::size_t>(file->count));
        for (std::size_t i = 0; i < offsets.size(); ++i) offsets[i] = file->value(i);
    }

    std::optional<U64Map> doc_map;
    {
        auto file = open_counted(dir, kMergedDocMapFile);
        if (!file) return std::unexpected(file.error());
        doc_map.emplace(static_cast<std::size_t>(file->count));
        // In file order, so that a later position of a doc id replaces an earlier one.
        for (std::uint64_t i = 0; i < file->count; ++i) doc_map->insert_or_assign(file->value(i), i);
    }

    return std::shared_ptr<const MergedMmap>(new MergedMmap(std::move(codes), std::move(offsets),
                                                            std::move(*doc_map), std::move(*embeddings), dim,
                                                            n_rows));
}

Result<std::shared_ptr<const MergedMmap>> load_merged(const std::string& dir) {
    auto view = MergedMmap::load(dir);
    if (!view) return os_failure("failed to load merged mmap: {}", view.error());
    return std::move(*view);
}

std::optional<MergedRows> MergedMmap::rows_of(std::uint64_t doc_id) const {
    const std::optional<std::uint64_t> i = doc_map_.find(doc_id);
    // Positions come from a doc map that nothing compares with the boundaries.
    if (!i || *i + 1 >= offsets_.size()) return std::nullopt;
    return MergedRows{offsets_[*i], offsets_[*i + 1]};
}

std::optional<std::span<const std::uint8_t>> MergedMmap::row_bytes(MergedRows rows) const {
    return byte_range(embeddings_, kEmbeddingsHeader, row_size(dim_), rows);
}

std::optional<std::span<const std::uint8_t>> MergedMmap::code_bytes(MergedRows rows) const {
    if (!codes_) return std::nullopt;
    return byte_range(*codes_, kCountHeader, 2, rows);
}

std::optional<std::span<const std::uint8_t>> MergedMmap::codes() const {
    if (!codes_) return std::nullopt;
    return codes_->bytes();
}

}  // namespace vse::shard
