#include "common/mapped_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "common/fs.hpp"

namespace vse {

MappedFile::MappedFile(MappedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      addr_(std::exchange(other.addr_, nullptr)),
      map_len_(std::exchange(other.map_len_, 0)),
      size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = std::exchange(other.fd_, -1);
        addr_ = std::exchange(other.addr_, nullptr);
        map_len_ = std::exchange(other.map_len_, 0);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

MappedFile::~MappedFile() { reset(); }

void MappedFile::reset() {
    if (addr_ != nullptr) ::munmap(addr_, map_len_);
    if (fd_ >= 0) ::close(fd_);
    addr_ = nullptr;
    fd_ = -1;
    map_len_ = 0;
    size_ = 0;
}

std::expected<MappedFile, StorageError> MappedFile::open(const std::string& path) {
    if (auto bad = nul_in_path(path)) return std::unexpected(std::move(*bad));
    MappedFile f;
    // Non-blocking, so that a FIFO (or a device) with that name cannot hang the open; what is
    // not a regular file is refused before anything reads it. The descriptor is only mapped,
    // never read, so the flag may stay.
    f.fd_ = open_file(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (f.fd_ < 0) return std::unexpected(os_error(errno));
    struct stat st;
    if (::fstat(f.fd_, &st) != 0) return std::unexpected(os_error(errno));
    if (!S_ISREG(st.st_mode)) return std::unexpected(not_a_regular_file(path));
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
        size > std::numeric_limits<std::size_t>::max())
        return std::unexpected(StorageError{StorageKind::InvalidData, "memory map length overflows isize"});
    f.size_ = size;
    f.map_len_ = size == 0 ? 1 : static_cast<std::size_t>(size);
    void* addr = ::mmap(nullptr, f.map_len_, PROT_READ, MAP_SHARED, f.fd_, 0);
    if (addr == MAP_FAILED) return std::unexpected(os_error(errno));
    f.addr_ = addr;
    return f;
}

}  // namespace vse
