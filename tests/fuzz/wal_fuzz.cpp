// Fuzz harness for log replay: arbitrary bytes as "shard.wal", read back the way an open reads it.
//
// Besides the sanitizers, the harness checks what replay promises: the intact prefix it reports
// lies within the file, a clean end means every byte was read, and every entry it builds carries
// the index width and no shard.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz_file.hpp"
#include "shard/wal_replay.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t len) {
    constexpr std::uint64_t kDim = 4;
    vse::shard::fuzz_file_put(data, len);
    const auto replay = vse::shard::wal_replay(vse::shard::fuzz_file_fd(), kDim);
    if (replay.good_len > len) std::abort();
    if (replay.stop == vse::shard::WalStop::End && replay.good_len != len) std::abort();
    if (replay.stop != vse::shard::WalStop::End && replay.good_len == len) std::abort();
    replay.docs.for_each([](std::uint64_t, const vse::shard::DocEntry& e) {
        if (e.dim != kDim || e.shard_id != vse::shard::NO_SHARD || e.row_start != 0) std::abort();
    });
    return 0;
}
