// Shard files "shard_{N}.safetensors": the token embeddings of registered documents, written by
// the host package and only ever read here, through a read-only shared mapping of the whole file.
//
// Layout (integers little-endian):
//   offset 0             8 bytes      header_len: length of the JSON header
//   offset 8             header_len   UTF-8 JSON object, one member per tensor (safetensors_header.hpp)
//   offset 8+header_len  the rest     data section; a tensor's bytes lie at [b, e) within it
//
// What the header cannot be trusted with is checked where it is used: a row read validates the
// tensor's byte range against the mapping with overflow-checked arithmetic before touching a byte.
// Finding the shard files of a directory: shard_dir.hpp.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/mapped_file.hpp"
#include "common/storage_error.hpp"
#include "shard/safetensors_header.hpp"

namespace vse::shard {

class MmapShard {
public:
    static std::expected<std::shared_ptr<const MmapShard>, StorageError> open(const std::string& path);

    // The bytes of rows [row_start, row_end) of tensor `name`; a view valid while the shard is held.
    std::expected<std::span<const std::uint8_t>, StorageError> tensor_row_bytes(std::string_view name,
                                                                                std::uint64_t row_start,
                                                                                std::uint64_t row_end) const;
    // The same for a tensor already looked up in this shard's table (`name` only labels errors).
    std::expected<std::span<const std::uint8_t>, StorageError> tensor_row_bytes(const TensorInfo& t,
                                                                                std::string_view name,
                                                                                std::uint64_t row_start,
                                                                                std::uint64_t row_end) const;
    // Copies of those rows as float32 (tensor `name`, dtype "F32") or as uint16 ("centroid_codes",
    // dtype "U16").
    std::expected<std::vector<float>, StorageError> read_selected_f32(std::string_view name,
                                                                      std::uint64_t row_start,
                                                                      std::uint64_t row_end) const;
    std::expected<std::vector<std::uint16_t>, StorageError> read_selected_u16(std::uint64_t row_start,
                                                                              std::uint64_t row_end) const;
    // The bytes read_selected_u16 copies, in place, for the "centroid_codes" tensor `t` already
    // looked up: the same dtype and length rules, two bytes a code at any alignment.
    std::expected<std::span<const std::uint8_t>, StorageError> code_row_bytes(const TensorInfo& t,
                                                                              std::uint64_t row_start,
                                                                              std::uint64_t row_end) const;

    const std::string& path() const { return path_; }
    const TensorTable& tensors() const { return tensors_; }
    const TensorInfo* tensor(std::string_view name) const;

private:
    MmapShard(std::string path, MappedFile map, std::uint64_t header_len,
              TensorTable tensors)
        : path_(std::move(path)), tensors_(std::move(tensors)), map_(std::move(map)), header_len_(header_len) {}

    // Rows of tensor `t` (named `name`) that must hold dtype `dtype` values of sizeof(T) bytes:
    // "{fn} requires {dtype} dtype, got '{}'", "raw bytes not aligned to {unit}".
    template <class T>
    std::expected<std::span<const std::uint8_t>, StorageError> selected_bytes(const TensorInfo* t,
                                                                              std::string_view name,
                                                                              const char* dtype, const char* fn,
                                                                              const char* unit,
                                                                              std::uint64_t row_start,
                                                                              std::uint64_t row_end) const;
    template <class T>
    std::expected<std::vector<T>, StorageError> read_selected(std::string_view name, const char* dtype,
                                                              const char* fn, const char* unit,
                                                              std::uint64_t row_start, std::uint64_t row_end) const;

    std::string path_;
    TensorTable tensors_;
    MappedFile map_;
    std::uint64_t header_len_;
};

using ShardMap = std::unordered_map<std::uint32_t, std::shared_ptr<const MmapShard>>;

}  // namespace vse::shard
