#include "shard/safetensors.hpp"

#include <bit>
#include <cstring>

#include <fmt/format.h>

#include "common/checked.hpp"
#include "common/coding.hpp"
#include "shard/file_names.hpp"

namespace vse::shard {

static_assert(std::endian::native == std::endian::little, "shard files are read in host byte order");

namespace {

StorageError invalid_data(std::string msg) { return StorageError{StorageKind::InvalidData, std::move(msg)}; }

}  // namespace

std::expected<std::shared_ptr<const MmapShard>, StorageError> MmapShard::open(const std::string& path) {
    auto mapped = MappedFile::open(path);
    if (!mapped) return std::unexpected(mapped.error());
    const std::uint64_t size = mapped->size();
    if (size < 8) return std::unexpected(invalid_data("file too small for safetensors header"));
    const std::uint64_t header_len = get_u64(mapped->data());
    if (header_len > size - 8) return std::unexpected(invalid_data("safetensors header overflows file"));

    const std::string_view text(reinterpret_cast<const char*>(mapped->data() + 8), header_len);
    auto tensors = parse_tensor_table(text);
    if (!tensors) return std::unexpected(tensors.error());
    return std::shared_ptr<const MmapShard>(new MmapShard(path, std::move(*mapped), header_len, std::move(*tensors)));
}

const TensorInfo* MmapShard::tensor(std::string_view name) const {
    auto it = tensors_.find(name);
    return it == tensors_.end() ? nullptr : &it->second;
}

std::expected<std::span<const std::uint8_t>, StorageError> MmapShard::tensor_row_bytes(std::string_view name,
                                                                                       std::uint64_t row_start,
                                                                                       std::uint64_t row_end) const {
    const TensorInfo* t = tensor(name);
    if (t == nullptr)
        return std::unexpected(StorageError{StorageKind::NotFound, fmt::format("tensor '{}' not found in {}", name, path_)});
    return tensor_row_bytes(*t, name, row_start, row_end);
}

std::expected<std::span<const std::uint8_t>, StorageError> MmapShard::tensor_row_bytes(const TensorInfo& info,
                                                                                       std::string_view name,
                                                                                       std::uint64_t row_start,
                                                                                       std::uint64_t row_end) const {
    const TensorInfo* t = &info;
    if (t->shape.empty()) return std::unexpected(invalid_data("tensor has empty shape"));
    const std::uint64_t rows = t->shape[0];
    if (rows == 0) return std::unexpected(invalid_data("tensor has 0 rows"));

    // Absolute offsets: data offset + 8 + header_len, none of which may wrap.
    const CheckedSize begin_at = checked_add(t->data_begin, 8 + header_len_);
    const CheckedSize end_at = checked_add(t->data_end, 8 + header_len_);
    if (!begin_at || !end_at)
        return std::unexpected(invalid_data(fmt::format("tensor '{}' data_offsets [{}, {}] overflow the file offset range",
                                                        name, t->data_begin, t->data_end)));
    const std::uint64_t begin = *begin_at, end = *end_at;
    if (end < begin)
        return std::unexpected(
            invalid_data(fmt::format("tensor '{}' data_offsets [{}, {}] are reversed", name, t->data_begin, t->data_end)));

    const std::uint64_t size = end - begin;
    const std::uint64_t row_bytes = size / rows;
    if (row_bytes * rows != size)
        return std::unexpected(invalid_data(fmt::format("data size {} not evenly divisible by {} rows", size, rows)));
    if (row_end > rows || row_start > row_end)
        return std::unexpected(StorageError{
            StorageKind::InvalidInput,
            fmt::format("row range [{}, {}) out of bounds for {} rows", row_start, row_end, rows)});
    // row_end <= rows, so row_end * row_bytes <= size and begin + that <= end: no wrap from here on.
    const std::uint64_t byte_end = begin + row_end * row_bytes;
    if (byte_end > map_.size())
        return std::unexpected(StorageError{StorageKind::UnexpectedEof, "slice extends beyond mmap"});
    const std::uint64_t byte_start = begin + row_start * row_bytes;
    return std::span<const std::uint8_t>(map_.data() + byte_start, static_cast<std::size_t>(byte_end - byte_start));
}

template <class T>
std::expected<std::span<const std::uint8_t>, StorageError> MmapShard::selected_bytes(
    const TensorInfo* t, std::string_view name, const char* dtype, const char* fn, const char* unit,
    std::uint64_t row_start, std::uint64_t row_end) const {
    if (t != nullptr && t->dtype != dtype)
        return std::unexpected(invalid_data(fmt::format("{} requires {} dtype, got '{}'", fn, dtype, t->dtype)));
    auto bytes =
        t != nullptr ? tensor_row_bytes(*t, name, row_start, row_end) : tensor_row_bytes(name, row_start, row_end);
    if (!bytes) return std::unexpected(bytes.error());
    if (bytes->size() % sizeof(T) != 0)
        return std::unexpected(invalid_data(fmt::format("raw bytes not aligned to {}", unit)));
    return bytes;
}

template <class T>
std::expected<std::vector<T>, StorageError> MmapShard::read_selected(std::string_view name, const char* dtype,
                                                                     const char* fn, const char* unit,
                                                                     std::uint64_t row_start,
                                                                     std::uint64_t row_end) const {
    auto bytes = selected_bytes<T>(tensor(name), name, dtype, fn, unit, row_start, row_end);
    if (!bytes) return std::unexpected(bytes.error());
    std::vector<T> out(bytes->size() / sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), bytes->data(), bytes->size());
    return out;
}

std::expected<std::vector<float>, StorageError> MmapShard::read_selected_f32(std::string_view name,
                                                                             std::uint64_t row_start,
                                                                             std::uint64_t row_end) const {
    return read_selected<float>(name, "F32", "read_selected_f32", "f32", row_start, row_end);
}

std::expected<std::vector<std::uint16_t>, StorageError> MmapShard::read_selected_u16(std::uint64_t row_start,
                                                                                     std::uint64_t row_end) const {
    return read_selected<std::uint16_t>(kCentroidCodesTensor, "U16", "read_selected_u16", "u16", row_start, row_end);
}

std::expected<std::span<const std::uint8_t>, StorageError> MmapShard::code_row_bytes(const TensorInfo& t,
                                                                                     std::uint64_t row_start,
                                                                                     std::uint64_t row_end) const {
    return selected_bytes<std::uint16_t>(&t, kCentroidCodesTensor, "U16", "read_selected_u16", "u16", row_start,
                                         row_end);
}

}  // namespace vse::shard
