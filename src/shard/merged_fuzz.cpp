// Fuzz harness for the merged flat files: one input becomes the four files of a directory, which
// are loaded, and then every candidate is read through the exact scorer.
//
// Input: one options byte, one byte for k, then the files "merged_embeddings.bin",
// "merged_offsets.bin", "merged_doc_map.bin" and "merged_codes.bin" in that order, each as a
// little-endian u32 length and that many bytes (cut short where the input ends). Options: bits 0-2
// the index width minus one, bit 3 no codes file, bits 4-6 no embeddings, offsets or doc-map file.
//
// Besides the sanitizers, the harness holds the loader and the scorer to an independent reading of
// the same bytes, done here with 128-bit arithmetic: a load fails exactly when a file is missing
// or shorter than its count requires, with the documented message; every byte range an accessor
// returns lies inside its mapping; and the scorer returns exactly the best k of the candidates
// this reading can score, with the bits of a plain MaxSim over the widened rows, whether the
// chunks run on a pool or in one pass.
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "common/coding.hpp"
#include "common/half.hpp"
#include "common/thread_pool.hpp"
#include "shard/merged.hpp"
#include "shard/scoring/exact.hpp"

namespace {

using vse::get_u64;
using vse::shard::MergedMmap;
using vse::shard::ScoredDoc;
using u128 = unsigned __int128;

constexpr std::uint64_t kU64Max = ~std::uint64_t{0};
const char* const kNames[4] = {vse::shard::kMergedEmbeddingsFile, vse::shard::kMergedOffsetsFile,
                               vse::shard::kMergedDocMapFile, vse::shard::kMergedCodesFile};

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "merged_fuzz: %s\n", what);
        std::abort();
    }
}

// The directory the files are written to: in memory where there is a tmpfs, since every input
// rewrites four files. Removed at exit (its name is kept for the life of the process, so that the
// exit handler can still read it).
const std::string& work_dir() {
    static const std::string* const dir = [] {
        const std::filesystem::path shm = "/dev/shm";
        const std::filesystem::path base =
            ::access(shm.c_str(), W_OK) == 0 ? shm : std::filesystem::temp_directory_path();
        std::string tmpl = (base / "vse-merged-fuzz-XXXXXX").string();
        check(::mkdtemp(tmpl.data()) != nullptr, "mkdtemp");
        auto* d = new std::string(std::move(tmpl));
        std::atexit([] { std::filesystem::remove_all(work_dir()); });
        return d;
    }();
    return *dir;
}

vse::ThreadPool& pool() {
    static const auto p = vse::ThreadPool::create(2);
    check(p.has_value(), "pool");
    return **p;
}

struct Input {
    unsigned dim = 1;
    std::uint64_t k = 0;
    std::optional<std::string> files[4];  // absent: the file does not exist
};

Input parse(const std::uint8_t* data, std::size_t len) {
    Input in;
    const std::uint8_t opts = len > 0 ? data[0] : 0;
    in.dim = (opts & 7) + 1;
    const std::uint8_t kb = len > 1 ? data[1] : 10;
    in.k = kb == 255 ? kU64Max : kb;
    std::size_t pos = 2;
    for (int f = 0; f < 4; ++f) {
        std::uint32_t n = 0;
        if (pos + 4 <= len) {
            n = vse::get_u32(data + pos);
            pos += 4;
        } else {
            pos = len;
        }
        const std::size_t take = std::min<std::size_t>(n, len - pos);
        const bool absent = f == 3 ? (opts & 8) != 0 : (opts & (16 << f)) != 0;
        if (!absent) in.files[f] = std::string(reinterpret_cast<const char*>(data + pos), take);
        pos += take;
    }
    return in;
}

void write_files(const Input& in) {
    for (int f = 0; f < 4; ++f) {
        const std::string path = work_dir() + "/" + kNames[f];
        // A new file each time: rewriting one in place makes some file systems flush it on close.
        ::unlink(path.c_str());
        if (!in.files[f]) continue;
        std::ofstream out(path, std::ios::binary);
        out.write(in.files[f]->data(), static_cast<std::streamsize>(in.files[f]->size()));
        check(out.good(), "write");
    }
}

const std::uint8_t* bytes(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

std::string saturated(u128 v) { return fmt::format("{}", v > kU64Max ? kU64Max : static_cast<std::uint64_t>(v)); }

// The load's outcome, read independently: nullopt for success, else the error text.
std::optional<std::string> expected_failure(const Input& in) {
    const std::string missing = "No such file or directory (os error 2)";
    if (!in.files[0]) return missing;
    const std::string& emb = *in.files[0];
    if (emb.size() < 16) return "merged_embeddings.bin too small for header";
    // n_rows * dim fits 128 bits; twice it may not, and is then far beyond any file anyway.
    const u128 rows_values = u128{get_u64(bytes(emb))} * get_u64(bytes(emb) + 8);
    const u128 need = rows_values >> 100 ? ~u128{0} : 16 + 2 * rows_values;
    if (need > emb.size())
        return fmt::format("merged_embeddings.bin too small: {} < {} expected", emb.size(), saturated(need));
    if (in.files[3]) {
        const std::string& codes = *in.files[3];
        if (codes.size() < 8) return "merged_codes.bin too small for header";
        const u128 need_codes = 8 + u128{2} * get_u64(bytes(codes));
        if (need_codes > codes.size())
            return fmt::format("merged_codes.bin too small: {} < {} expected", codes.size(), saturated(need_codes));
    }
    for (int f : {1, 2}) {
        const std::string name = f == 1 ? "merged_offsets.bin" : "merged_doc_map.bin";
        if (!in.files[f]) return missing;
        const std::string& file = *in.files[f];
        if (file.size() < 8) return name + " too small";
        if (8 + u128{8} * get_u64(bytes(file)) > file.size()) return name + " data truncated";
    }
    return std::nullopt;
}

// Every span an accessor hands out lies inside the whole mapping it comes from.
void check_inside(std::span<const std::uint8_t> part, std::span<const std::uint8_t> whole) {
    check(part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size(), "span outside");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t len) {
    const Input in = parse(data, len);
    write_files(in);
    auto loaded = MergedMmap::load(work_dir());
    const std::optional<std::string> failure = expected_failure(in);
    check(loaded.has_value() == !failure.has_value(), "load outcome");
    if (!loaded) {
        check(loaded.error().message == *failure, "load message");
        return 0;
    }
    const MergedMmap& view = **loaded;

    const std::string& emb = *in.files[0];
    const std::string& offsets = *in.files[1];
    const std::string& doc_map = *in.files[2];
    const std::uint64_t n_bounds = get_u64(bytes(offsets)), n_docs = get_u64(bytes(doc_map));
    const std::uint64_t width = get_u64(bytes(emb) + 8);
    check(view.dim() == width && view.offsets().size() == n_bounds && view.has_codes() == in.files[3].has_value(),
          "view fields");

    // Candidates: every listed id, its neighbour, and two ids that are rarely listed.
    std::vector<std::uint64_t> candidates;
    for (std::uint64_t i = 0; i < n_docs && candidates.size() < 600; ++i) {
        const std::uint64_t id = get_u64(bytes(doc_map) + 8 + 8 * i);
        candidates.push_back(id);
        candidates.push_back(id + 1);
    }
    candidates.push_back(0);
    candidates.push_back(kU64Max);

    // A query of three rows of small values.
    const unsigned dim = in.dim;
    std::vector<float> query(3 * dim);
    for (std::size_t i = 0; i < query.size(); ++i) query[i] = static_cast<float>(static_cast<int>(i * 7 % 11) - 5) * 0.25f;
    const vse::shard::QueryDots dots(query.data(), 3, dim);
    const vse::shard::QueryDots plain(query.data(), 3, dim, vse::shard::plain_scoring_table(vse::shard::dot_form()));

    std::vector<ScoredDoc> want;
    for (const std::uint64_t id : candidates) {
        // The last position listing the id, if any.
        std::optional<std::uint64_t> pos;
        for (std::uint64_t i = 0; i < n_docs; ++i)
            if (get_u64(bytes(doc_map) + 8 + 8 * i) == id) pos = i;
        check(view.position(id) == pos, "position");
        const auto rows = view.rows_of(id);
        if (!pos || *pos + 1 >= n_bounds) {
            check(!rows, "rows of a position without a next boundary");
            continue;
        }
        const std::uint64_t start = get_u64(bytes(offsets) + 8 + 8 * *pos);
        const std::uint64_t end = get_u64(bytes(offsets) + 16 + 8 * *pos);
        check(rows && rows->start == start && rows->end == end, "rows");
        const u128 end_byte = 16 + u128{2} * end * width;  // end, width < 2^64: fits
        const u128 start_byte = 16 + u128{2} * start * width;
        const auto span = view.row_bytes(*rows);
        check(span.has_value() == (start <= end && end_byte <= emb.size()), "row bytes present");
        if (span) {
            check_inside(*span, view.embeddings());
            check(span->data() == view.embeddings().data() + static_cast<std::size_t>(start_byte), "row bytes start");
        }
        if (const auto codes = view.code_bytes(*rows)) check_inside(*codes, *view.codes());
        if (width != dim || start >= end || !span) continue;
        const std::size_t r = span->size() / (2 * dim);
        std::vector<float> widened(r * dim), best(3);
        for (std::size_t v = 0; v < widened.size(); ++v)
            widened[v] = vse::half_to_float(vse::get_u16(bytes(emb) + static_cast<std::size_t>(start_byte) + 2 * v));
        want.push_back({id, plain.maxsim(widened.data(), r, best.data())});
    }

    const std::vector<ScoredDoc> expected = vse::shard::top_k(want, in.k);
    const std::vector<ScoredDoc> chunked =
        in.k == 0 ? std::vector<ScoredDoc>{} : vse::shard::score_candidates_exact(view, dots, candidates, in.k, pool());
    const std::vector<ScoredDoc> single = vse::shard::score_exact_chunk(view, dots, candidates, in.k);
    for (const auto* got : {&chunked, &single}) {
        check(got->size() == expected.size(), "result size");
        for (std::size_t i = 0; i < expected.size(); ++i)
            check((*got)[i].doc_id == expected[i].doc_id &&
                      std::bit_cast<std::uint32_t>((*got)[i].score) == std::bit_cast<std::uint32_t>(expected[i].score),
                  "result item");
    }
    return 0;
}
