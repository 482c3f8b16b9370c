// The merged view's accessors at the edges of their files (reversed ranges, ranges past the end,
// sizes that do not fit 64 bits, positions without a boundary after them), the doc-id map, exact
// candidate scoring (its chunks, a result independent of the pool, and the scores of a plain
// reference over the same widened rows), approximate scoring's choice between the merged codes
// and the shard files, and the views an index hands its readers of what the host installed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "common/coding.hpp"
#include "common/half.hpp"
#include "common/thread_pool.hpp"
#include "common/u64_map.hpp"
#include "shard/index.hpp"
#include "shard/merged.hpp"
#include "shard/safetensors.hpp"
#include "shard/scoring/approx.hpp"
#include "shard/scoring/exact.hpp"

namespace fs = std::filesystem;

namespace vse::shard {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

std::string u64s(std::initializer_list<std::uint64_t> words) {
    std::string out(8 * words.size(), '\0');
    std::size_t i = 0;
    for (std::uint64_t w : words) put_u64(reinterpret_cast<std::uint8_t*>(out.data()) + 8 * i++, w);
    return out;
}

// "merged_offsets.bin" or "merged_doc_map.bin": a count, then the values.
std::string counted(const std::vector<std::uint64_t>& values) {
    std::string out = u64s({values.size()});
    for (std::uint64_t v : values) out += u64s({v});
    return out;
}

class MergedFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("vse-merged-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    void put(const char* name, const std::string& bytes) {
        std::ofstream((dir_ / name).string(), std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    // Writes the embeddings (header n_rows and dim, then `halves`), offsets and doc map.
    void write(std::uint64_t n_rows, std::uint64_t dim, const std::vector<std::uint16_t>& halves,
               const std::vector<std::uint64_t>& offsets, const std::vector<std::uint64_t>& ids) {
        std::string emb = u64s({n_rows, dim});
        for (std::uint16_t h : halves) emb += std::string{static_cast<char>(h & 0xFF), static_cast<char>(h >> 8)};
        put(kMergedEmbeddingsFile, emb);
        put(kMergedOffsetsFile, counted(offsets));
        put(kMergedDocMapFile, counted(ids));
    }

    std::shared_ptr<const MergedMmap> load() {
        auto view = MergedMmap::load(dir_.string());
        EXPECT_TRUE(view.has_value()) << view.error().message;
        return view ? *view : nullptr;
    }

    fs::path dir_;
};

TEST_F(MergedFiles, RowsBytesAndCodesStayInsideTheirFiles) {
    // dim 2, 5 rows (20 bytes of rows); positions: 0 -> [0, 2), 1 -> [2, 2), 2 -> [2, 3),
    // 3 -> [3, 1) reversed, 4 -> [1, 6) past the end, 5 -> [6, 2^63) far past it, 6 has no
    // boundary after it.
    std::vector<std::uint16_t> halves(10);
    for (std::size_t i = 0; i < halves.size(); ++i) halves[i] = static_cast<std::uint16_t>(0x3C00 + i);
    write(5, 2, halves, {0, 2, 2, 3, 1, 6, std::uint64_t{1} << 63}, {10, 11, 12, 13, 14, 15, 16});
    put(kMergedCodesFile, u64s({3}) + std::string("\x01\x00\x02\x00\x03\x00", 6));
    const auto view = load();
    ASSERT_TRUE(view);
    EXPECT_EQ(view->dim(), 2u);
    EXPECT_EQ(view->n_rows(), 5u);
    EXPECT_EQ(view->doc_count(), 7u);

    const auto r0 = view->rows_of(10);
    ASSERT_TRUE(r0);
    const auto b0 = view->row_bytes(*r0);
    ASSERT_TRUE(b0);
    ASSERT_EQ(b0->size(), 8u);
    EXPECT_EQ(b0->data(), view->embeddings().data() + 16);
    EXPECT_EQ(get_u16(b0->data() + 6), 0x3C03);
    const auto c0 = view->code_bytes(*r0);
    ASSERT_TRUE(c0);
    EXPECT_EQ(get_u16(c0->data()), 1);
    EXPECT_EQ(get_u16(c0->data() + 2), 2);

    const auto r1 = view->rows_of(11);
    ASSERT_TRUE(r1 && r1->empty());
    EXPECT_EQ(view->row_bytes(*r1)->size(), 0u);

    const auto r2 = view->rows_of(12);
    ASSERT_TRUE(r2);
    EXPECT_EQ(view->row_bytes(*r2)->size(), 4u);
    EXPECT_EQ(get_u16(view->code_bytes(*r2)->data()), 3);

    const auto r3 = view->rows_of(13);  // reversed: empty for a reader, no byte range
    ASSERT_TRUE(r3 && r3->empty());
    EXPECT_FALSE(view->row_bytes(*r3));
    EXPECT_FALSE(view->code_bytes(*r3));

    const auto r4 = view->rows_of(14);
    ASSERT_TRUE(r4);
    EXPECT_FALSE(view->row_bytes(*r4));   // ends 4 bytes past the file
    EXPECT_FALSE(view->code_bytes(*r4));  // and past the codes

    const auto r5 = view->rows_of(15);  // 16 + 2 * 2^63 * 2 does not fit 64 bits
    ASSERT_TRUE(r5);
    EXPECT_FALSE(view->row_bytes(*r5));
    EXPECT_FALSE(view->code_bytes(MergedRows{0, kMax}));

    EXPECT_FALSE(view->rows_of(16));
    EXPECT_FALSE(view->rows_of(99));
}

TEST_F(MergedFiles, PositionsWithoutANextBoundaryAndLaterDuplicates) {
    // Three boundaries serve positions 0 and 1 only; id 7 is listed at positions 0 and 2.
    write(4, 1, {0x3C00, 0x4000, 0x4200, 0x4400}, {0, 1, 4}, {7, 8, 7, 9});
    const auto view = load();
    ASSERT_TRUE(view);
    EXPECT_EQ(view->position(7), 2u);
    EXPECT_FALSE(view->rows_of(7));  // position 2 has boundary 2 but no boundary 3
    EXPECT_FALSE(view->rows_of(9));
    ASSERT_TRUE(view->rows_of(8));
    EXPECT_EQ(view->rows_of(8)->start, 1u);
    EXPECT_EQ(view->rows_of(8)->end, 4u);
    EXPECT_FALSE(view->has_codes());
    EXPECT_FALSE(view->code_bytes(MergedRows{0, 0}));
}

TEST_F(MergedFiles, WidthsThatDoNotFitAreAddressedWithoutWrapping) {
    // No rows, and a width whose row size 2 * dim does not fit 64 bits: the header still fits.
    write(0, kMax / 2 + 1, {}, {0, 0, 1}, {1, 2});
    const auto view = load();
    ASSERT_TRUE(view);
    EXPECT_EQ(view->row_bytes(MergedRows{0, 0})->size(), 0u);
    EXPECT_FALSE(view->row_bytes(MergedRows{0, 1}));
    // 2^63 rows of width 2 would need 2^65 bytes: too long for any file, not a small number.
    write(std::uint64_t{1} << 63, 2, {}, {}, {});
    auto big = MergedMmap::load(dir_.string());
    ASSERT_FALSE(big);
    EXPECT_EQ(big.error().message, "merged_embeddings.bin too small: 16 < 18446744073709551615 expected");
}

TEST(U64Map, LaterValuesReplaceAndTheTableGrows) {
    U64Map map(2);
    for (std::uint64_t i = 0; i < 1000; ++i) map.insert_or_assign(i * 0x10000, i);
    map.insert_or_assign(0, 5000);
    map.insert_or_assign(kMax, 1);
    EXPECT_EQ(map.size(), 1001u);
    EXPECT_EQ(map.find(0), 5000u);
    EXPECT_EQ(map.find(999 * 0x10000), 999u);
    EXPECT_EQ(map.find(kMax), 1u);
    EXPECT_FALSE(map.find(1));
}

// Erasing in a small, crowded table (runs that wrap past its end) against std::map as a model:
// every key left must stay reachable, every erased one gone.
TEST(U64Map, ErasedKeysGoAndTheRestStayReachable) {
    std::mt19937_64 rng(7);
    U64Map map;
    std::map<std::uint64_t, std::uint64_t> model;
    for (int step = 0; step < 20000; ++step) {
        const std::uint64_t key = rng() % 24;
        if (rng() % 2) {
            const auto [value, fresh] = map.try_emplace(key, step);
            const auto [it, added] = model.try_emplace(key, step);
            EXPECT_EQ(fresh, added);
            EXPECT_EQ(value, it->second);
        } else {
            EXPECT_EQ(map.erase(key), model.erase(key) == 1);
        }
        ASSERT_EQ(map.size(), model.size());
        for (std::uint64_t k = 0; k < 24; ++k) {
            const auto it = model.find(k);
            ASSERT_EQ(map.find(k), it == model.end() ? std::nullopt : std::optional<std::uint64_t>(it->second)) << k;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Exact candidate scoring

TEST(ExactChunks, SizeFollowsCandidatesAndWorkers) {
    struct Case {
        std::size_t n, workers, chunk;
    } cases[] = {{100, 1, 32}, {100, 8, 32}, {100, 0, 32}, {128, 1, 32}, {129, 1, 32},
                 {1000, 1, 250}, {1000, 2, 125}, {1000, 8, 32}, {0, 4, 32}};
    for (const Case& c : cases) EXPECT_EQ(exact_chunk_size(c.n, c.workers), c.chunk) << c.n << " " << c.workers;
}

class ExactScoring : public MergedFiles {
protected:
    static constexpr std::size_t kDim = 5;  // odd: the dots have a tail
    std::mt19937_64 rng{42};

    // Random finite halves, with now and then a subnormal, a signed zero or a NaN.
    std::uint16_t random_half() {
        const std::uint16_t pick[] = {0x0001, 0x8000, 0x0000, 0x7C01, 0x83FF};
        if (rng() % 40 == 0) return pick[rng() % 5];
        return static_cast<std::uint16_t>((rng() % 2 ? 0x8000 : 0) | (0x3000 + rng() % 0x1000));
    }
};

TEST_F(ExactScoring, MatchesAPlainReferenceWhateverThePool) {
    // 300 documents of 0 to 6 rows, one doc id listed twice (the later position wins).
    std::vector<std::uint64_t> offsets{0}, ids;
    for (std::uint64_t d = 0; d < 300; ++d) {
        offsets.push_back(offsets.back() + rng() % 7);
        ids.push_back(1000 + d);
    }
    ids[200] = ids[10];
    std::vector<std::uint16_t> halves(offsets.back() * kDim);
    for (auto& h : halves) h = random_half();
    // The last document runs two rows past the end of the file.
    offsets.back() += 2;
    write(halves.size() / kDim, kDim, halves, offsets, ids);
    const auto view = load();
    ASSERT_TRUE(view);

    std::vector<float> query(4 * kDim);
    for (float& q : query) q = std::normal_distribution<float>(0.0f, 1.0f)(rng);
    const QueryDots dots(query.data(), 4, kDim);
    const QueryDots plain(query.data(), 4, kDim, plain_scoring_table(dot_form()));

    // Candidates: every id, some twice, some unknown.
    std::vector<std::uint64_t> candidates;
    for (std::uint64_t d = 0; d < 330; ++d) candidates.push_back(1000 + (d * 7) % 310);
    std::vector<ScoredDoc> want;
    for (std::uint64_t id : candidates) {
        const auto pos = view->position(id);
        if (!pos || *pos + 1 >= offsets.size()) continue;
        const std::uint64_t start = offsets[*pos], end = offsets[*pos + 1];
        if (end <= start || end * kDim > halves.size()) continue;
        std::vector<float> rows((end - start) * kDim), best(4);
        for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = half_to_float(halves[start * kDim + i]);
        want.push_back({id, plain.maxsim(rows.data(), end - start, best.data())});
    }
    ASSERT_GT(want.size(), 200u);

    for (std::uint64_t k : {std::uint64_t{1}, std::uint64_t{37}, kMax}) {
        const auto expected = top_k(want, k);
        for (std::size_t workers : {1, 2, 8}) {
            auto pool = ThreadPool::create(workers);
            ASSERT_TRUE(pool);
            const auto got = score_candidates_exact(*view, dots, candidates, k, **pool);
            ASSERT_EQ(got.size(), expected.size()) << "k " << k << " workers " << workers;
            for (std::size_t i = 0; i < got.size(); ++i) {
                ASSERT_EQ(got[i].doc_id, expected[i].doc_id) << i;
                ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i].score), std::bit_cast<std::uint32_t>(expected[i].score));
            }
        }
    }
}

TEST_F(ExactScoring, AViewOfAnotherWidthScoresNothing) {
    write(4, kDim + 1, std::vector<std::uint16_t>(4 * (kDim + 1), 0x3C00), {0, 2, 4}, {1, 2});
    const auto view = load();
    ASSERT_TRUE(view);
    std::vector<float> query(kDim, 1.0f);
    const QueryDots dots(query.data(), 1, kDim);
    ExactScratch scratch;
    EXPECT_FALSE(score_exact_candidate(*view, dots, 1, scratch));
    std::vector<float> q6(kDim + 1, 1.0f);
    const QueryDots own(q6.data(), 1, kDim + 1);
    EXPECT_EQ(score_exact_candidate(*view, own, 1, scratch), static_cast<float>(kDim + 1));
}

// Approximate scoring over a merged view and a shard file that give the same documents different
// codes, so that every result shows which path scored it. The two query rows pick out the two
// coordinates of the centroids (1, 0), (0, 1), (3, 0), (0, 5): a document scores the largest x plus
// the largest y over its codes, exactly.
class ApproxScoring : public MergedFiles {
protected:
    static constexpr std::uint64_t kDim = 2;
    const std::vector<float> query_{1, 0, 0, 1};
    const std::vector<float> centroids_{1, 0, 0, 1, 3, 0, 0, 5};

    static std::string code_bytes(const std::vector<std::uint16_t>& codes) {
        std::string out;
        for (std::uint16_t c : codes) out += std::string{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
        return out;
    }

    void SetUp() override {
        MergedFiles::SetUp();
        auto pool = ThreadPool::create(2);
        ASSERT_TRUE(pool);
        pool_ = std::move(*pool);
        // The shard: codes of rows 0..4 as {0}, {2, 1}, {3, 9}, {9}; code 9 is beyond the table.
        const std::string codes = code_bytes({0, 2, 1, 3, 9, 9});
        std::string header = fmt::format(R"({{"centroid_codes":{{"dtype":"U16","shape":[6],"data_offsets":[0,{}]}}}})",
                                         codes.size());
        put("shard_0.safetensors", u64s({header.size()}) + header + codes);
        auto index = Index::open(dir_.string(), kDim);
        ASSERT_TRUE(index.has_value()) << index.error().message;
        index_ = std::move(*index);
        ASSERT_EQ(index_->shards()->size(), 1u);
        // Registered: 10 -> [0, 1) scores 1, 11 -> [1, 3) scores 4, 12 -> [3, 3) has no codes and
        // scores 0, 13 -> [3, 5) scores 5, 16 -> [5, 6) has no usable code and scores -inf,
        // 15 -> [6, 8) runs past the tensor and is left out.
        const std::vector<std::uint64_t> ids{10, 11, 12, 13, 16, 15}, starts{0, 1, 3, 3, 5, 6}, ends{1, 3, 3, 5, 6, 8};
        ASSERT_TRUE(index_->register_shard_docs(ids, std::vector<std::uint32_t>(ids.size(), 0), starts, ends));
        ASSERT_TRUE(index_->set_centroids(centroids_, 4, kDim));
        // The merged files: 10 -> {2, 3} scores 8, 11 -> {0} scores 1, 12 -> {3} scores 5, 14 -> no
        // rows, 0; 13, 15 and 16 are not in its doc map.
        write(4, kDim, std::vector<std::uint16_t>(8, 0x3C00), {0, 2, 3, 4, 4}, {10, 11, 12, 14});
        put(kMergedCodesFile, u64s({4}) + code_bytes({2, 3, 0, 3}));
    }

    std::vector<ScoredDoc> score(std::span<const std::uint64_t> candidates, std::uint64_t n_top, std::size_t n_q = 2) {
        auto view = index_->view();
        EXPECT_TRUE(view.has_value());
        if (!view) return {};
        auto scored = score_candidates_approx(*view, query_.data(), n_q, candidates, n_top, *pool_);
        EXPECT_TRUE(scored.has_value()) << scored.error().message;
        return scored ? *scored : std::vector<ScoredDoc>{};
    }

    std::unique_ptr<Index> index_;
    std::shared_ptr<ThreadPool> pool_;
};

bool same(const std::vector<ScoredDoc>& got, const std::vector<ScoredDoc>& want) {
    if (got.size() != want.size()) return false;
    for (std::size_t i = 0; i < got.size(); ++i)
        if (got[i].doc_id != want[i].doc_id ||
            std::bit_cast<std::uint32_t>(got[i].score) != std::bit_cast<std::uint32_t>(want[i].score))
            return false;
    return true;
}

std::string show(const std::vector<ScoredDoc>& docs) {
    std::string out;
    for (const ScoredDoc& d : docs) out += fmt::format("({}, {}) ", d.doc_id, d.score);
    return out;
}

TEST_F(ApproxScoring, MergedCodesWinOverShardCodesAndTheBestComeFirst) {
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<std::uint64_t> all{10, 11, 12, 13, 14, 15, 16};
    const std::vector<std::uint64_t> twice{11, 12, 11};
    const std::vector<ScoredDoc> from_shards{{13, 5}, {11, 4}, {10, 1}, {12, 0}, {16, -inf}};
    // What the index has installed when a case runs; the cases run in this order of views.
    enum class View { None, WithCodes, WithoutCodes };
    struct Case {
        const char* name;
        View merged;
        std::span<const std::uint64_t> candidates;
        std::uint64_t n_top;
        std::vector<ScoredDoc> want;
    } cases[] = {
        {"no merged view", View::None, all, 10, from_shards},
        {"shards, n_top 3", View::None, all, 3, {{13, 5}, {11, 4}, {10, 1}}},
        {"shards, repeated", View::None, twice, 10, {{11, 4}, {11, 4}, {12, 0}}},
        {"merged codes", View::WithCodes, all, 10, {{10, 8}, {12, 5}, {11, 1}, {14, 0}}},
        {"merged codes, n_top 2", View::WithCodes, all, 2, {{10, 8}, {12, 5}}},
        {"merged codes, repeated", View::WithCodes, twice, 10, {{12, 5}, {11, 1}, {11, 1}}},
        {"n_top 0", View::WithCodes, all, 0, {}},
        {"no candidates", View::WithCodes, {}, 10, {}},
        {"merged view without codes", View::WithoutCodes, all, 10, from_shards},
    };
    for (View merged : {View::None, View::WithCodes, View::WithoutCodes}) {
        if (merged == View::WithoutCodes) fs::remove(dir_ / kMergedCodesFile);
        if (merged != View::None) {
            ASSERT_TRUE(index_->load_merged(dir_.string()));
            ASSERT_EQ(index_->installed()->merged->has_codes(), merged == View::WithCodes);
        }
        for (const Case& c : cases) {
            if (c.merged != merged) continue;
            const auto got = score(c.candidates, c.n_top);
            EXPECT_TRUE(same(got, c.want)) << c.name << ": got " << show(got) << "want " << show(c.want);
        }
        if (merged == View::WithCodes) {
            EXPECT_TRUE(score(all, 10, 0).empty()) << "no query rows";
        }
    }
}

// What the host installs is published whole: a view keeps the record it took whatever the setters
// do after it, and a view taken while a setter runs holds one record or the next, never a mix.
TEST_F(ApproxScoring, AViewKeepsTheRecordItTook) {
    const auto before = index_->view();
    ASSERT_TRUE(before);
    std::vector<float> doubled = centroids_;
    for (float& c : doubled) c *= 2;
    ASSERT_TRUE(index_->set_codec({0, 1}, 1));
    ASSERT_TRUE(index_->load_merged(dir_.string()));
    ASSERT_TRUE(index_->set_centroids(doubled, 4, kDim));
    EXPECT_FALSE(before->installed->codec || before->installed->merged);
    const std::vector<std::uint64_t> all{10, 11, 12, 13, 14, 15, 16};
    const auto stale = score_candidates_approx(*before, query_.data(), 2, all, 2, *pool_);
    ASSERT_TRUE(stale);
    EXPECT_TRUE(same(*stale, {{13, 5}, {11, 4}})) << "the shard path and the first table: " << show(*stale);
    EXPECT_TRUE(same(score(all, 2), {{10, 16}, {12, 10}})) << "the merged codes and the doubled table";

    std::atomic<bool> stop{false};
    std::thread setter([&] {
        for (int i = 0; !stop.load(); ++i) {
            EXPECT_TRUE(index_->set_centroids(i % 2 ? centroids_ : doubled, 4, kDim));
            EXPECT_TRUE(index_->set_use_compression(i % 2 == 1));
        }
    });
    for (int i = 0; i < 2000; ++i) {
        const auto view = index_->view();
        const Installed& in = *view->installed;
        if (!(*in.centroids == centroids_ || *in.centroids == doubled) || in.n_centroids != 4 || !in.codec) {
            ADD_FAILURE() << "a view of a record being built";
            break;
        }
    }
    stop.store(true);
    setter.join();
}

}  // namespace
}  // namespace vse::shard
