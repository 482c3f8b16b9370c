// The fuzz harnesses' input as a file: one memory-backed file (memfd) per process, rewritten to
// hold exactly the bytes of each input, so the parsers see a real descriptor or path.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace vse::shard {

inline int fuzz_file_fd() {
    static const int fd = ::memfd_create("fuzz-input", MFD_CLOEXEC);
    if (fd < 0) std::abort();
    return fd;
}

inline const std::string& fuzz_file_path() {
    static const std::string path = "/proc/self/fd/" + std::to_string(fuzz_file_fd());
    return path;
}

// Makes the file hold exactly `len` bytes from `data`.
inline void fuzz_file_put(const std::uint8_t* data, std::size_t len) {
    const int fd = fuzz_file_fd();
    if (::ftruncate(fd, 0) != 0) std::abort();
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = ::pwrite(fd, data + done, len - done, static_cast<off_t>(done));
        if (n <= 0) std::abort();
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace vse::shard
