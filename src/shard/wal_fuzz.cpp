// Fuzz harness for log replay: arbitrary bytes as "shard.wal", read back the way an open reads it.
//
// Besides the sanitizers, the harness checks what replay promises: the intact prefix it reports
// lies within the file, a clean end means every byte was read, and every entry it builds carries
// the index width and no shard.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "shard/wal.hpp"

namespace {

int memfd() {
    static const int fd = ::memfd_create("wal-fuzz", MFD_CLOEXEC);
    if (fd < 0) std::abort();
    return fd;
}

void put(const std::uint8_t* data, std::size_t len) {
    const int fd = memfd();
    if (::ftruncate(fd, 0) != 0) std::abort();
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = ::pwrite(fd, data + done, len - done, static_cast<off_t>(done));
        if (n <= 0) std::abort();
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t len) {
    constexpr std::uint64_t kDim = 4;
    put(data, len);
    const auto replay = vse::shard::wal_replay(memfd(), kDim);
    if (replay.good_len > len) std::abort();
    if (replay.stop == vse::shard::WalStop::End && replay.good_len != len) std::abort();
    if (replay.stop != vse::shard::WalStop::End && replay.good_len == len) std::abort();
    replay.docs.for_each([](std::uint64_t, const vse::shard::DocEntry& e) {
        if (e.dim != kDim || e.shard_id != vse::shard::NO_SHARD || e.row_start != 0) std::abort();
    });
    return 0;
}
