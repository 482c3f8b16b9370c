// Fuzz harness for shard files: the header parse, the three row readers and the raw fetch (rows
// copied or narrowed by their dtype), on arbitrary bytes.
//
// Each input is tried twice: as a whole file (so the length prefix and the UTF-8 check are
// fuzzed too), and as a header framed by a correct length prefix and followed by 256 data bytes
// (so mutations reach the tensor table and the readers instead of dying at the length check).
// Every row range a reader returns is read byte by byte, so AddressSanitizer sees any view that
// strays outside the mapping. The file lives in a memfd, mapped through /proc/self/fd like any
// other path.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "fuzz_file.hpp"
#include "shard/doc_state.hpp"
#include "shard/fetch.hpp"
#include "shard/safetensors.hpp"

namespace {

volatile std::uint8_t sink;

void touch(std::span<const std::uint8_t> bytes) {
    std::uint8_t x = 0;
    for (std::uint8_t b : bytes) x ^= b;
    sink = x;
}

// Reads rows [start, end) through each reader; a view longer than the file is a bug even when
// it happens to stay inside mapped memory.
void read_rows(const vse::shard::MmapShard& shard, std::size_t file_len, const std::string& name,
               std::uint64_t start, std::uint64_t end) {
    if (auto bytes = shard.tensor_row_bytes(name, start, end)) {
        if (bytes->size() > file_len) std::abort();
        touch(*bytes);
    }
    if (auto f = shard.read_selected_f32(name, start, end)) sink = static_cast<std::uint8_t>(f->size());
    if (auto u = shard.read_selected_u16(start, end)) sink = static_cast<std::uint8_t>(u->size());
}

void exercise(const std::uint8_t* data, std::size_t len) {
    vse::shard::fuzz_file_put(data, len);
    auto shard = vse::shard::MmapShard::open(vse::shard::fuzz_file_path());
    if (!shard) return;
    const auto& s = **shard;
    for (const auto& [name, t] : s.tensors()) {
        const std::uint64_t rows = t.shape.empty() ? 0 : t.shape[0];
        read_rows(s, len, name, 0, rows < 4 ? rows : 4);
        if (rows > 0) read_rows(s, len, name, rows - 1, rows);
        read_rows(s, len, name, rows / 2, rows);
        read_rows(s, len, name, rows, rows + 1);  // out of bounds
        read_rows(s, len, name, 1, 0);            // reversed
    }
    read_rows(s, len, "embeddings", 0, 1);

    // The raw fetch of "embeddings" rows, for widths 1 and 3: every output byte is touched, and no
    // document may claim more rows than its bytes hold.
    if (const vse::shard::TensorInfo* t = s.tensor("embeddings"); t != nullptr && !t->shape.empty()) {
        const std::uint64_t rows = t->shape[0];
        vse::shard::ShardMap map;
        map.emplace(0, *shard);
        for (std::uint64_t dim : {std::uint64_t{1}, std::uint64_t{3}}) {
            vse::shard::DocMap docs;
            docs = docs.insert_or_assign(1, vse::shard::DocEntry(nullptr, 0, rows < 4 ? rows : 4, dim, 0));
            docs = docs.insert_or_assign(2, vse::shard::DocEntry(nullptr, rows / 2, rows, dim, 0));
            const auto state = vse::shard::ShardState::build(std::move(docs), 1);
            const std::uint64_t ids[] = {1, 2, 1};
            const vse::shard::Fetched f = vse::shard::fetch_from_shards(*state, map, nullptr, ids, dim);
            touch(std::span<const std::uint8_t>(f.bytes.data(), f.bytes.size()));
            const std::int64_t served_rows = f.ranges.empty() ? 0 : f.ranges.back();
            if (static_cast<std::uint64_t>(served_rows) * 2 * dim > f.bytes.size()) std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t len) {
    exercise(data, len);

    std::vector<std::uint8_t> framed(8 + len + 256);
    const std::uint64_t header_len = len;
    std::memcpy(framed.data(), &header_len, 8);
    if (len) std::memcpy(framed.data() + 8, data, len);
    for (std::size_t i = 0; i < 256; ++i) framed[8 + len + i] = static_cast<std::uint8_t>(i);
    exercise(framed.data(), framed.size());
    return 0;
}
