// Fuzz harness for the merged flat files: one input becomes the four files of a directory, which
// are loaded, and then every candidate is read through the exact scorer, fetched raw (with one id
// repeated many times) and scored by centroid codes, on the view itself and through an index that
// loads the same files.
//
// Input: one options byte, one byte for k, then the files "merged_embeddings.bin",
// "merged_offsets.bin", "merged_doc_map.bin" and "merged_codes.bin" in that order, each as a
// little-endian u32 length and that many bytes (cut short where the input ends), then optionally
// one byte r and a little-endian u64 h. Options: bits 0-2 the index width minus one, bit 3 no
// codes file, bits 4-6 no embeddings, offsets or doc-map file, bit 7 the fetch sees an index width
// of 2^63 or more. r: the first listed id is fetched 2^(r % 22) more times. h: the embeddings file
// is extended with a hole to h bytes (at most 2^44) when that is longer, so that documents can be
// far larger than the input.
//
// Besides the sanitizers, the harness holds the loader, the scorers and the fetch to an
// independent reading of the same bytes, done here with 128-bit arithmetic: a load fails exactly
// when a file is missing or shorter than its count requires, with the message merged.cpp gives
// it; every byte range an accessor returns lies inside its mapping; the exact scorer returns exactly the
// best k of the candidates this reading can score, with the bits of a plain MaxSim over the
// widened rows, whether the chunks run on a pool or in one pass; the fetch returns exactly the
// documents, ranges and bytes this reading serves, or, when their total does not fit one
// allocation, throws std::bad_alloc without allocating; and the approximate scores are those of a
// plain reading of the codes against a plain table of query-centroid dots. An index of the input's
// width loads the files as the view did (failing as "failed to load merged mmap: <the load's
// message>", with the view it held before still installed) and its entry points give the best k of
// the same scores.
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <new>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "common/coding.hpp"
#include "common/half.hpp"
#include "common/thread_pool.hpp"
#include "shard/fetch.hpp"
#include "shard/index.hpp"
#include "shard/merged.hpp"
#include "shard/scoring/approx.hpp"
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

// The centroids an index of width `dim` installs once: six rows of small values.
constexpr std::uint64_t kCentroids = 6;
std::vector<float> centroids_of(unsigned dim) {
    std::vector<float> centroids(kCentroids * dim);
    for (std::size_t i = 0; i < centroids.size(); ++i)
        centroids[i] = static_cast<float>(static_cast<int>(i * 5 % 9) - 4) * 0.5f;
    return centroids;
}

// One index per width 1..8, opened on first use in a directory of its own, with the centroids.
vse::shard::Index& index_of(unsigned dim) {
    static std::unique_ptr<vse::shard::Index>* const indexes = new std::unique_ptr<vse::shard::Index>[8];
    std::unique_ptr<vse::shard::Index>& ix = indexes[dim - 1];
    if (!ix) {
        auto opened = vse::shard::Index::open(work_dir() + "/index-" + std::to_string(dim), dim);
        check(opened.has_value(), "index open");
        ix = std::move(*opened);
        check(ix->set_centroids(centroids_of(dim), kCentroids, dim).has_value(), "set_centroids");
    }
    return *ix;
}

struct Input {
    unsigned dim = 1;
    bool wide_fetch = false;
    std::uint64_t k = 0;
    std::optional<std::string> files[4];  // absent: the file does not exist
    std::uint64_t repeats = 0;
    std::uint64_t emb_size = 0;  // the embeddings file's length, hole included
};

// The largest hole the harness makes: far beyond any input, and a mapping every build can make.
constexpr std::uint64_t kMaxHole = std::uint64_t{1} << 44;
// The largest embeddings file an index loads as well.
constexpr std::uint64_t kIndexedBytes = std::uint64_t{1} << 32;

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
    in.wide_fetch = (opts & 128) != 0;
    if (pos < len) in.repeats = std::uint64_t{1} << (data[pos++] % 22);
    const std::uint64_t hole = pos + 8 <= len ? std::min(get_u64(data + pos), kMaxHole) : 0;
    // Only behind a whole header, so that the header words always lie in the input.
    if (in.files[0]) in.emb_size = in.files[0]->size() < 16 ? in.files[0]->size() : std::max(hole, std::uint64_t{in.files[0]->size()});
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
        out.close();
        if (f == 0 && in.emb_size > in.files[0]->size())
            check(::truncate(path.c_str(), static_cast<off_t>(in.emb_size)) == 0, "truncate");
    }
}

// Byte i of the embeddings file: the input's bytes, then the hole's zeros.
std::uint8_t emb_byte(const Input& in, std::uint64_t i) {
    return i < in.files[0]->size() ? static_cast<std::uint8_t>((*in.files[0])[static_cast<std::size_t>(i)]) : 0;
}

const std::uint8_t* bytes(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

std::string saturated(u128 v) { return fmt::format("{}", v > kU64Max ? kU64Max : static_cast<std::uint64_t>(v)); }

// The load's outcome, read independently: nullopt for success, else the error text.
std::optional<std::string> expected_failure(const Input& in) {
    const std::string missing = "No such file or directory (os error 2)";
    if (!in.files[0]) return missing;
    const std::string& emb = *in.files[0];
    if (in.emb_size < 16) return "merged_embeddings.bin too small for header";
    // n_rows * dim fits 128 bits; twice it may not, and is then far beyond any file anyway. The
    // header lies in the input: a hole starts at 16 bytes or more.
    const u128 rows_values = u128{get_u64(bytes(emb))} * get_u64(bytes(emb) + 8);
    const u128 need = rows_values >> 100 ? ~u128{0} : 16 + 2 * rows_values;
    if (need > in.emb_size)
        return fmt::format("merged_embeddings.bin too small: {} < {} expected", in.emb_size, saturated(need));
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
    if (!loaded) check(loaded.error().message == *failure, "load message");
    // Only small files go through the index too: the view it holds stays mapped beside the next
    // input's, and two views of a large hole may not fit the address space.
    vse::shard::Index* const index = in.emb_size <= kIndexedBytes ? &index_of(in.dim) : nullptr;
    std::optional<vse::shard::IndexView> index_view;
    if (index != nullptr) {
        const auto before = index->installed();
        const auto installed = index->load_merged(work_dir());
        check(installed.has_value() == loaded.has_value(), "index load outcome");
        if (!installed)
            check(installed.error().exc == vse::Exc::OS &&
                      installed.error().message == "failed to load merged mmap: " + *failure &&
                      index->installed() == before,
                  "a failed index load keeps the view installed before");
        if (installed) {
            index_view = *index->view();
            check(index_view->installed->merged->offsets() == (*loaded)->offsets(), "index view");
        }
    }
    if (!loaded) return 0;
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

    // One candidate as this reading sees it: its rows, when its position has a boundary after it,
    // and their bytes' place in the embeddings file.
    struct Read {
        std::optional<std::uint64_t> start, end;
        u128 start_byte = 0, end_byte = 0;
        bool in_file = false;  // rows in order and ending within the file
    };
    auto read = [&](std::uint64_t id) {
        Read r;
        // The last position listing the id, if any.
        std::optional<std::uint64_t> pos;
        for (std::uint64_t i = 0; i < n_docs; ++i)
            if (get_u64(bytes(doc_map) + 8 + 8 * i) == id) pos = i;
        check(view.position(id) == pos, "position");
        if (!pos || *pos + 1 >= n_bounds) return r;
        r.start = get_u64(bytes(offsets) + 8 + 8 * *pos);
        r.end = get_u64(bytes(offsets) + 16 + 8 * *pos);
        r.end_byte = 16 + u128{2} * *r.end * width;  // end, width < 2^64: fits
        r.start_byte = 16 + u128{2} * *r.start * width;
        r.in_file = *r.start <= *r.end && r.end_byte <= in.emb_size;
        return r;
    };
    // Larger documents are only fetched (and then only counted): widening them would take longer
    // than an input may.
    constexpr u128 kScoredBytes = 1 << 20;

    std::vector<ScoredDoc> want;
    bool scorable = true;
    for (const std::uint64_t id : candidates) {
        const Read r = read(id);
        const auto rows = view.rows_of(id);
        if (!r.start) {
            check(!rows, "rows of a position without a next boundary");
            continue;
        }
        const std::uint64_t start = *r.start, end = *r.end;
        check(rows && rows->start == start && rows->end == end, "rows");
        const auto span = view.row_bytes(*rows);
        check(span.has_value() == r.in_file, "row bytes present");
        if (span) {
            check_inside(*span, view.embeddings());
            check(span->data() == view.embeddings().data() + static_cast<std::size_t>(r.start_byte), "row bytes start");
        }
        if (const auto codes = view.code_bytes(*rows)) check_inside(*codes, *view.codes());
        if (width != dim || start >= end || !span) continue;
        if (span->size() > kScoredBytes) {
            scorable = false;
            continue;
        }
        const std::size_t n_rows = span->size() / (2 * dim);
        std::vector<float> widened(n_rows * dim), best(3);
        for (std::size_t v = 0; v < widened.size(); ++v) {
            const u128 at = r.start_byte + 2 * v;
            widened[v] = vse::half_to_float(static_cast<std::uint16_t>(emb_byte(in, static_cast<std::uint64_t>(at)) |
                                                                       emb_byte(in, static_cast<std::uint64_t>(at + 1)) << 8));
        }
        want.push_back({id, plain.maxsim(widened.data(), n_rows, best.data())});
    }

    auto check_scored = [](const std::vector<ScoredDoc>& got, const std::vector<ScoredDoc>& expected) {
        check(got.size() == expected.size(), "result size");
        for (std::size_t i = 0; i < expected.size(); ++i)
            check(got[i].doc_id == expected[i].doc_id &&
                      std::bit_cast<std::uint32_t>(got[i].score) == std::bit_cast<std::uint32_t>(expected[i].score),
                  "result item");
    };
    if (scorable) {
        const std::vector<ScoredDoc> expected = vse::shard::top_k(want, in.k);
        check_scored(in.k == 0 ? std::vector<ScoredDoc>{}
                               : vse::shard::score_candidates_exact(view, dots, candidates, in.k, pool()),
                     expected);
        check_scored(vse::shard::score_exact_chunk(view, dots, candidates, in.k), expected);
        if (index_view) {
            const auto through_index =
                vse::shard::score_candidates_exact(*index_view, query.data(), 3, candidates, in.k, pool());
            check(through_index.has_value(), "index exact");
            check_scored(*through_index, expected);
        }
    }

    // Raw fetch: the candidates, then the first listed id again and again. A document is served
    // when its rows are in order, not empty, end within the file and span at least one index row;
    // it serves the whole index rows its range holds, from the range's start.
    const u128 fetch_dim = in.wide_fetch ? (u128{1} << 63) | dim : dim;
    std::vector<std::uint64_t> fetch_ids = candidates;
    const std::uint64_t repeated = n_docs > 0 ? get_u64(bytes(doc_map) + 8) : 0;
    auto served_bytes = [&](const Read& r) -> std::optional<u128> {
        if (!r.start || *r.start >= *r.end || !r.in_file || r.end_byte - r.start_byte < 2 * fetch_dim)
            return std::nullopt;
        return (r.end_byte - r.start_byte) / (2 * fetch_dim) * (2 * fetch_dim);
    };
    std::vector<std::pair<std::uint64_t, Read>> served;
    u128 total = 0;
    for (const std::uint64_t id : candidates) {
        const Read r = read(id);
        if (const auto b = served_bytes(r)) {
            served.emplace_back(id, r);
            total += *b;
        }
    }
    const std::uint64_t repeats = n_docs > 0 ? in.repeats : 0;
    const Read repeated_read = read(repeated);
    const std::optional<u128> repeated_bytes = served_bytes(repeated_read);
    if (repeated_bytes) total += *repeated_bytes * repeats;  // below 2^44 * 2^21: fits
    if (total > static_cast<u128>(PTRDIFF_MAX)) {
        // Too large for any one allocation, a total past 64 bits included: refused before anything
        // is allocated or copied.
        fetch_ids.insert(fetch_ids.end(), repeats, repeated);
        bool refused = false;
        try {
            (void)vse::shard::fetch_from_merged(view, fetch_ids, static_cast<std::uint64_t>(fetch_dim));
        } catch (const std::bad_alloc&) {
            refused = true;
        }
        check(refused, "fetch of a total too large");
    } else if (total <= kScoredBytes) {
        fetch_ids.insert(fetch_ids.end(), repeats, repeated);
        if (repeated_bytes)
            for (std::uint64_t i = 0; i < repeats; ++i) served.emplace_back(repeated, repeated_read);
        const vse::shard::Fetched got = vse::shard::fetch_from_merged(view, fetch_ids, static_cast<std::uint64_t>(fetch_dim));
        check(got.ids.size() == served.size() && got.ranges.size() == 2 * served.size() &&
                  got.bytes.size() == static_cast<std::size_t>(total),
              "fetch sizes");
        std::uint64_t at = 0;
        std::int64_t next_row = 0;
        for (std::size_t i = 0; i < served.size(); ++i) {
            const Read& r = served[i].second;
            const auto n_rows = static_cast<std::int64_t>((r.end_byte - r.start_byte) / (2 * fetch_dim));
            check(got.ids[i] == served[i].first && got.ranges[2 * i] == next_row &&
                      got.ranges[2 * i + 1] == next_row + n_rows,
                  "fetch item");
            next_row += n_rows;
            for (u128 b = r.start_byte; b < r.start_byte + static_cast<u128>(n_rows) * 2 * fetch_dim; ++b)
                check(got.bytes[at++] == emb_byte(in, static_cast<std::uint64_t>(b)), "fetch bytes");
        }
    }

    // Approximate scores against six centroids, when the view has codes: an id without rows is left
    // out, empty or reversed rows score 0, codes beyond the file leave the id out, and otherwise
    // each query row takes its largest dot over the codes within the table, summed in order.
    // Through the index the best k of them come back; without codes its shard path finds nothing,
    // as it holds no documents.
    std::optional<vse::Result<std::vector<ScoredDoc>>> through_index;
    if (index_view) {
        through_index = vse::shard::score_candidates_approx(*index_view, query.data(), 3, candidates, in.k, pool());
        check(through_index->has_value(), "index approx");
        if (!view.has_codes()) check((*through_index)->empty(), "index approx without codes");
    }
    if (view.has_codes()) {
        const std::vector<float> centroids = centroids_of(dim);
        std::vector<float> dot(kCentroids * 3);
        plain.dot_table(centroids.data(), kCentroids, dot.data(), 3);
        const std::string& codes = *in.files[3];
        std::vector<ScoredDoc> expected;
        for (const std::uint64_t id : candidates) {
            const Read r = read(id);
            if (!r.start) continue;
            if (*r.start >= *r.end) {
                expected.push_back({id, 0.0f});
                continue;
            }
            if (8 + u128{2} * *r.end > codes.size()) continue;
            float score = 0.0f;
            for (std::size_t q = 0; q < 3; ++q) {
                float best = -INFINITY;
                for (std::uint64_t c = *r.start; c < *r.end; ++c) {
                    const std::uint16_t code = vse::get_u16(bytes(codes) + 8 + 2 * c);
                    if (code < kCentroids && dot[code * 3 + q] > best) best = dot[code * 3 + q];
                }
                score = score + best;
            }
            expected.push_back({id, score});
        }
        const vse::shard::CentroidTable table(query.data(), 3, centroids.data(), kCentroids, dim);
        check_scored(vse::shard::approx_merged_scores(table, view, candidates, pool()), expected);
        if (through_index) check_scored(**through_index, vse::shard::top_k(expected, in.k));
    }
    return 0;
}
