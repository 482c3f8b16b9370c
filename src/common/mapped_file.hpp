// A whole file mapped read-only and shared, with the file kept open as long as the mapping.
//
// The mapping length equals the file size, except that an empty file is mapped with length 1 so
// that the mapping call is valid; `size()` still reports 0 and callers never read past `size()`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "common/storage_error.hpp"

namespace vse {

class MappedFile {
public:
    MappedFile() = default;
    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    // Opens `path` read-only and maps it. Anything but a regular file fails with invalid input
    // "{path} is not a regular file", without blocking; sizes above the largest signed 64-bit value fail
    // with invalid data "memory map length overflows isize"; other failures carry the OS error.
    static std::expected<MappedFile, StorageError> open(const std::string& path);

    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(addr_); }
    std::uint64_t size() const { return size_; }
    std::span<const std::uint8_t> bytes() const { return {data(), static_cast<std::size_t>(size_)}; }

private:
    void reset();

    int fd_ = -1;
    void* addr_ = nullptr;
    std::size_t map_len_ = 0;
    std::uint64_t size_ = 0;
};

}  // namespace vse
