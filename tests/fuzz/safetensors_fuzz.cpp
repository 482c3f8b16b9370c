// Fuzz harness for shard files: the header parse, the three row readers and the shard path of the
// candidate fetch, on arbitrary bytes.
//
// Each input is tried twice: as a whole file (so the length prefix and the UTF-8 check are
// fuzzed too), and as a header framed by a correct length prefix and followed by 256 data bytes
// (so mutations reach the tensor table and the readers instead of dying at the length check).
// Every row range a reader returns is read byte by byte, so AddressSanitizer sees any view that
// strays outside the mapping. The fetch (without a codec) is held to what its "embeddings" dtype
// promises: whole index rows only, float16 ones copied as they are, float32 ones narrowed bit for
// bit as the software conversion narrows them (whatever conversion the dispatch picked), nothing
// else served. The file lives in a memfd, mapped through /proc/self/fd like any other path.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "common/half.hpp"
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

void check(bool ok) {
    if (!ok) std::abort();
}

// Documents 1 to 3 at the first rows, the second half and the last row of "embeddings", fetched
// at index widths 1, 3 and 8.
void fetch_rows(const std::shared_ptr<const vse::shard::MmapShard>& shard) {
    using namespace vse::shard;
    const TensorInfo* t = shard->tensor("embeddings");
    const std::uint64_t rows = t == nullptr || t->shape.empty() ? 0 : t->shape[0];
    std::vector<std::pair<std::uint64_t, DocEntry>> entries;
    entries.emplace_back(1, DocEntry(nullptr, 0, rows < 4 ? rows : 4, 0, 0));
    entries.emplace_back(2, DocEntry(nullptr, rows / 2, rows, 0, 0));
    entries.emplace_back(3, DocEntry(nullptr, rows == 0 ? 0 : rows - 1, rows, 0, 0));
    const auto state = ShardState::build(DocMap::from_sorted(std::move(entries)), 1);
    const ShardMap map{{0, shard}};
    const std::uint64_t ids[] = {1, 2, 3};
    const bool f32 = t != nullptr && t->dtype == "F32", f16 = t != nullptr && t->dtype == "F16";
    for (std::uint64_t dim : {1, 3, 8}) {
        const Fetched got = fetch_from_shards(*state, map, nullptr, ids, dim);
        check(got.ranges.size() == 2 * got.ids.size());
        if (!f32 && !f16) {
            check(got.ids.empty());
            continue;
        }
        std::size_t at = 0;
        std::int64_t total = 0;
        for (std::size_t i = 0; i < got.ids.size(); ++i) {
            const DocEntry& e = *state->docs.find(got.ids[i]);
            const auto bytes = shard->tensor_row_bytes(*t, "embeddings", e.row_start, e.row_end);
            check(bytes.has_value() && got.ranges[2 * i] == total);
            const std::uint64_t n = bytes->size() / ((f32 ? 4 : 2) * dim);
            check(got.ranges[2 * i + 1] == total + static_cast<std::int64_t>(n));
            total += static_cast<std::int64_t>(n);
            // Whole rows only, float16 ones as stored.
            std::vector<std::uint8_t> want(2 * n * dim);
            if (f32)
                vse::narrow_half_software(bytes->data(), n * dim, want.data());
            else if (!want.empty())
                std::memcpy(want.data(), bytes->data(), want.size());
            check(at + want.size() <= got.bytes.size() &&
                  (want.empty() || std::memcmp(got.bytes.data() + at, want.data(), want.size()) == 0));
            at += want.size();
        }
        check(at == got.bytes.size());
    }
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
    fetch_rows(*shard);
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
