// The merged flat files: a copy of every document's token rows that the host writes into one
// directory, as float16, for readers that want a document's rows as one contiguous byte range.
// The module maps them read-only and never writes them.
//
// Four files, all little-endian and packed, with no magic number and no version field:
//
// "merged_embeddings.bin"
//   offset  size                field
//   0       8                   n_rows   rows in the file
//   8       8                   dim      values per row
//   16      2 * n_rows * dim    rows     IEEE binary16 values, row-major; value j of row r lies at
//                                        byte 16 + 2 * (r * dim + j); rows are numbered from 0
//                                        across the whole file
//
// "merged_offsets.bin"                      "merged_doc_map.bin"
//   0       8       N   boundaries            0       8       M   documents
//   8       8 * N   boundary i, u64 each      8       8 * M   doc id of the document at position i
//
// "merged_codes.bin" (optional)
//   0       8       n   codes
//   8       2 * n   the centroid code of row r, u16, at byte 8 + 2 * r
//
// The document at position i owns rows [boundary i, boundary i + 1); when boundary i + 1 is not
// above boundary i it has no rows, and a position without a boundary i + 1 (N <= i + 1) has no
// readable rows at all. A doc id listed twice belongs to its later position.
//
// Loading checks only that each file is long enough for its own count (it may be longer); it does
// not compare the files with one another (N with M + 1, n with n_rows, boundaries with n_rows) nor
// dim with an index's width. So n_rows and n mean nothing after the load: rows and codes are
// addressed through the boundaries and bounded by the real length of their mapping, which every
// accessor below checks with overflow-checked arithmetic before it hands out a byte.
//
// The embeddings and codes files stay open and mapped, whole, for the life of the view; the
// boundaries and the doc ids are copied out and their files closed during the load. A view is
// immutable and shared: readers hold it by reference count, so one that a later load replaced stays
// mapped until its last reader lets go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/mapped_file.hpp"
#include "common/storage_error.hpp"
#include "common/u64_map.hpp"
#include "shard/file_names.hpp"

namespace vse::shard {

// Rows [start, end) of one merged document as its boundaries give them; empty (no rows) when end
// is not above start.
struct MergedRows {
    std::uint64_t start;
    std::uint64_t end;
    bool empty() const { return end <= start; }
};

class MergedMmap {
public:
    // Loads the four files of `dir` (absolute, or relative to the current directory), in the order
    // embeddings, codes, offsets, doc map; the first failure ends the load and releases every file
    // it opened. Failures: the OS error of an open or a mapping ("No such file or directory
    // (os error 2)", ...), "memory map length overflows isize", or one of
    //   "merged_embeddings.bin too small for header"     (below 16 bytes)
    //   "merged_embeddings.bin too small: {} < {} expected" (file length, 16 + 2 * n_rows * dim)
    //   "merged_codes.bin too small for header"          (below 8 bytes)
    //   "merged_codes.bin too small: {} < {} expected"   (file length, 8 + 2 * n)
    //   "merged_offsets.bin too small" / "merged_doc_map.bin too small"          (below 8 bytes)
    //   "merged_offsets.bin data truncated" / "merged_doc_map.bin data truncated" (below 8 + 8 * count)
    // An expected length that does not fit 64 bits is reported as 18446744073709551615. The codes
    // file is optional: when it cannot even be looked up (it does not exist, or anything else fails
    // on its path) the view has no codes.
    static std::expected<std::shared_ptr<const MergedMmap>, StorageError> load(const std::string& dir);

    MergedMmap(const MergedMmap&) = delete;
    MergedMmap& operator=(const MergedMmap&) = delete;

    // The header words of "merged_embeddings.bin".
    std::uint64_t dim() const { return dim_; }
    std::uint64_t n_rows() const { return n_rows_; }
    bool has_codes() const { return codes_.has_value(); }
    const std::vector<std::uint64_t>& offsets() const { return offsets_; }
    // Distinct doc ids of the doc map.
    std::size_t doc_count() const { return doc_map_.size(); }

    // The position of `doc_id` in the doc map.
    std::optional<std::uint64_t> position(std::uint64_t doc_id) const { return doc_map_.find(doc_id); }

    // The rows of `doc_id`, possibly empty or reversed; nullopt when the id is not in the doc map or
    // its position has no boundary after it.
    std::optional<MergedRows> rows_of(std::uint64_t doc_id) const;

    // The float16 bytes of `rows`: [16 + 2 * start * dim, 16 + 2 * end * dim) of the embeddings
    // mapping, at any alignment. Nullopt when the rows are reversed, or the range does not fit 64
    // bits or ends beyond the mapping; an empty range (or dim 0) gives an empty span.
    std::optional<std::span<const std::uint8_t>> row_bytes(MergedRows rows) const;

    // The codes of `rows`, two little-endian bytes per row: [8 + 2 * start, 8 + 2 * end) of the
    // codes mapping. Nullopt without codes, and like row_bytes for reversed or outlying ranges.
    std::optional<std::span<const std::uint8_t>> code_bytes(MergedRows rows) const;

    // The whole mappings, headers included.
    std::span<const std::uint8_t> embeddings() const { return embeddings_.bytes(); }
    std::optional<std::span<const std::uint8_t>> codes() const;

private:
    MergedMmap(std::optional<MappedFile> codes, std::vector<std::uint64_t> offsets, U64Map doc_map,
               MappedFile embeddings, std::uint64_t dim, std::uint64_t n_rows);

    std::optional<MappedFile> codes_;  // the file stays open with its mapping
    std::vector<std::uint64_t> offsets_;
    U64Map doc_map_;  // doc id -> position
    MappedFile embeddings_;
    std::uint64_t dim_;
    std::uint64_t n_rows_;
};

// A load as an index reports it: every failure of MergedMmap::load becomes an IOError
// "failed to load merged mmap: {cause}", the cause being the load's own message.
Result<std::shared_ptr<const MergedMmap>> load_merged(const std::string& dir);

}  // namespace vse::shard
