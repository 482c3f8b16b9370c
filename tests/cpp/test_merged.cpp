// The merged view's accessors at the edges of their files (reversed ranges, ranges past the end,
// sizes that do not fit 64 bits, positions without a boundary after them), the doc-id map, and exact
// candidate scoring: its chunks, a result independent of the pool, and the scores of a plain
// reference over the same widened rows.
#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/coding.hpp"
#include "common/half.hpp"
#include "common/thread_pool.hpp"
#include "common/u64_map.hpp"
#include "shard/merged.hpp"
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

}  // namespace
}  // namespace vse::shard
