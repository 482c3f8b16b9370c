// The scoring core: both dot forms, every vector path of the side-by-side dots against the plain
// loops of the same form (bit for bit, on awkward lengths, row and query counts that do not fill
// the register blocking, NaN, infinities and signed zeros), and top-k selection.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "shard/scoring/approx.hpp"
#include "shard/scoring/dot.hpp"
#include "shard/scoring/maxsim.hpp"
#include "shard/scoring/top_k.hpp"
#include "support.hpp"

namespace vse::shard {
namespace {

using test::isa_name;
using test::kInf;
using test::kNaN;
using test::Rng;
using test::same_bits;

// The table a row's tests run: the vector paths, and for Scalar the plain vector-form loops, the
// reference of every vector path.
const ScoringTable& path_table(Isa isa) {
    return isa == Isa::Scalar ? plain_scoring_table(DotForm::Vector) : scoring_table(isa);
}

const std::size_t kLengths[] = {0, 1, 3, 4, 5, 127, 128, 129, 257};

TEST(Dot, FormsOnKnownValues) {
    const float none[1] = {0.0f};
    EXPECT_TRUE(same_bits(0.0f, dot_vector_plain(none, none, 0)));
    EXPECT_TRUE(same_bits(-0.0f, dot_scalar(none, none, 0)));

    // n = 5: the first four products enter through fused lanes, the fifth is rounded, then added.
    // With a = b = 1 + 2^-12 the exact square 1 + 2^-11 + 2^-24 rounds to 1 + 2^-11 when unfused.
    const float e = 1.0f + std::ldexp(1.0f, -12);
    const float a[5] = {-1.0f, 0.0f, 0.0f, 0.0f, e};
    const float b[5] = {1.0f, 0.0f, 0.0f, 0.0f, e};
    EXPECT_TRUE(same_bits(std::ldexp(1.0f, -11), dot_vector_plain(a, b, 5)));
    // In a lane the same square is fused into -1: e*e - 1 exactly.
    const float a8[8] = {-1.0f, 0.0f, 0.0f, 0.0f, e, 0.0f, 0.0f, 0.0f};
    const float b8[8] = {1.0f, 0.0f, 0.0f, 0.0f, e, 0.0f, 0.0f, 0.0f};
    EXPECT_TRUE(same_bits(std::ldexp(1.0f, -11) + std::ldexp(1.0f, -24), dot_vector_plain(a8, b8, 8)));
    // The scalar form never fuses: (-1) + round(e*e).
    const float a2[2] = {-1.0f, e}, b2[2] = {1.0f, e};
    EXPECT_TRUE(same_bits(std::ldexp(1.0f, -11), dot_scalar(a2, b2, 2)));

    const float n1[4] = {1.0f, kNaN, 1.0f, 1.0f}, ones[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    EXPECT_TRUE(std::isnan(dot_vector_plain(n1, ones, 4)));
    const float inf2[2] = {kInf, -kInf};
    EXPECT_TRUE(std::isnan(dot_scalar(inf2, ones, 2)));
}

// The tail of the vector form stays unfused in the units built for fused multiply-add: a compiler
// allowed to contract a * b + c would give 2^-11 + 2^-24 here.
TEST(Dot, TailIsNotContracted) {
    const float e = 1.0f + std::ldexp(1.0f, -12);
    for (std::size_t n : {2, 6}) {
        std::vector<float> a(n, 0.0f), b(n, 0.0f);
        a[n - 2] = -1.0f, b[n - 2] = 1.0f;  // in the tail when n = 2, in a lane when n = 6
        a[n - 1] = e, b[n - 1] = e;
        EXPECT_TRUE(same_bits(std::ldexp(1.0f, -11), dot(a.data(), b.data(), n))) << "n = " << n;
    }
}

// The form each architecture must use, asked here without the dispatch: on x86-64 the vector form
// exactly when the processor has FMA3, on AArch64 always (Advanced SIMD is part of the
// architecture), the scalar form anywhere else.
DotForm pinned_dot_form() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("fma") ? DotForm::Vector : DotForm::Scalar;
#elif defined(__aarch64__)
    return DotForm::Vector;
#else
    return DotForm::Scalar;
#endif
}

TEST(Dot, EachArchitectureUsesItsOwnForm) {
    EXPECT_EQ(pinned_dot_form(), dot_form());
    EXPECT_EQ(pinned_dot_form() == DotForm::Vector, has_fused_multiply_add());
}

// Against the pinned form, not dot_form(): a dispatch that asked the wrong question would pass a
// comparison with its own answer. The two forms give other bits on over a third of these inputs.
TEST(Dot, DispatchedFormMatchesItsReference) {
    Rng rng(1);
    for (std::size_t n : kLengths) {
        for (int rep = 0; rep < 20; ++rep) {
            auto a = rng.floats_and_zeros(n, rep % 2 == 1), b = rng.floats_and_zeros(n, rep % 2 == 1);
            const float want = dot_in(pinned_dot_form(), a.data(), b.data(), n);
            ASSERT_TRUE(same_bits(want, dot(a.data(), b.data(), n))) << "n = " << n;
        }
    }
}

// Rows whose dots with the query are exactly +0.0 (zeros), exactly -0.0 (products too small to
// round away from zero, all negative), NaN, or ordinary, so that ties and NaNs decide maxima.
std::vector<float> tricky_rows(Rng& rng, std::size_t rows, std::size_t dim, bool specials) {
    std::vector<float> v = rng.floats_and_zeros(rows * dim, specials);
    for (std::size_t r = 0; r < rows; ++r) {
        float* row = v.data() + r * dim;
        switch (rng.below(specials ? 6 : 10)) {
            case 0: std::fill(row, row + dim, 0.0f); break;
            case 1: std::fill(row, row + dim, -1e-30f); break;  // with a query of +1e-30: -0.0
            case 2: if (specials) row[rng.below(dim)] = kNaN; break;
            default: break;
        }
    }
    return v;
}

// Every vector row's path against the plain loops; a row the processor lacks is skipped by name,
// one that runs its fallback's path too.
class ScoringPaths : public ::testing::TestWithParam<Isa> {
protected:
    void SetUp() override {
        VSE_SKIP_UNLESS_AVAILABLE(GetParam());
        VSE_SKIP_UNLESS_OWN_PATH(GetParam(), [](Isa i) { return &scoring_table(i); });
    }
};

TEST_P(ScoringPaths, VectorPathsMatchPlainLoopsBitForBit) {
    const Isa path = GetParam();
    Rng rng(7);
    const std::size_t n_qs[] = {1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 32, 33};
    const std::size_t dims[] = {1, 3, 4, 5, 127, 128, 129, 257};
    const std::size_t row_counts[] = {1, 2, 3, 4, 5, 7, 9, 31, 32, 33};
    for (std::size_t dim : dims) {
        for (std::size_t n_q : n_qs) {
            const bool specials = (n_q + dim) % 2 == 0;
            std::vector<float> query = rng.floats_and_zeros(n_q * dim, specials);
            // A query row of tiny positive values meets the tiny negative rows at -0.0.
            if (n_q > 2) std::fill(query.begin() + dim, query.begin() + 2 * dim, 1e-30f);
            const QueryDots plain(query.data(), n_q, dim, plain_scoring_table(DotForm::Vector));
            const QueryDots fast(query.data(), n_q, dim, scoring_table(path));
            std::vector<float> s1(n_q), s2(n_q);
            for (std::size_t rows : row_counts) {
                const auto doc = tricky_rows(rng, rows, dim, specials);
                const std::string where = std::string(isa_name(path)) + " dim " + std::to_string(dim) +
                                          " n_q " + std::to_string(n_q) + " rows " + std::to_string(rows);
                const float want = plain.maxsim(doc.data(), rows, s1.data());
                ASSERT_TRUE(same_bits(want, fast.maxsim(doc.data(), rows, s2.data()))) << where;
                for (std::size_t q = 0; q < n_q; ++q) ASSERT_TRUE(same_bits(s1[q], s2[q])) << where << " q " << q;

                std::vector<const float*> ptrs;
                for (std::size_t r = 0; r < rows; ++r) ptrs.push_back(doc.data() + (rows - 1 - r) * dim);
                std::vector<float> m1(rows), m2(rows);
                plain.max_over_query(ptrs.data(), rows, m1.data());
                fast.max_over_query(ptrs.data(), rows, m2.data());
                for (std::size_t r = 0; r < rows; ++r) ASSERT_TRUE(same_bits(m1[r], m2[r])) << where << " row " << r;
            }
        }
    }
}

// Queries of many groups: MaxSim takes every group against a tile of rows while the group count
// is small and goes group by group above it, and names rows to fetch ahead, which must change no
// bit; both ways against the plain loops, with zeros of either sign and NaNs among the rows.
TEST_P(ScoringPaths, ManyQueryRowsAndRowsAheadMatchPlainLoops) {
    const Isa path = GetParam();
    Rng rng(11);
    for (std::size_t n_q : {63, 64, 65, 127, 129, 130, 257}) {
        for (std::size_t dim : {5, 128}) {
            std::vector<float> query = rng.floats_and_zeros(n_q * dim, true);
            // Query rows of tiny positive values, in several groups, meet the tiny negative rows at -0.0.
            for (std::size_t q = 1; q < n_q; q += 9)
                std::fill(query.begin() + q * dim, query.begin() + (q + 1) * dim, 1e-30f);
            const QueryDots plain(query.data(), n_q, dim, plain_scoring_table(DotForm::Vector));
            const QueryDots fast(query.data(), n_q, dim, scoring_table(path));
            std::vector<float> s1(n_q), s2(n_q);
            for (std::size_t rows : {1, 6, 32, 33}) {
                const auto doc = tricky_rows(rng, rows, dim, true);
                const auto next = tricky_rows(rng, rows, dim, false);
                const std::string where = std::string(isa_name(path)) + " dim " + std::to_string(dim) + " n_q " +
                                          std::to_string(n_q) + " rows " + std::to_string(rows);
                const float want = plain.maxsim(doc.data(), rows, s1.data());
                ASSERT_TRUE(same_bits(want, fast.maxsim(doc.data(), rows, s2.data(), next.data() + 1,
                                                        next.size() * sizeof(float) - 5)))
                    << where;
                for (std::size_t q = 0; q < n_q; ++q) ASSERT_TRUE(same_bits(s1[q], s2[q])) << where << " q " << q;
            }
        }
    }
}

class ScoringEveryRow : public ::testing::TestWithParam<Isa> {
protected:
    void SetUp() override { VSE_SKIP_UNLESS_AVAILABLE(GetParam()); }
};

TEST_P(ScoringEveryRow, FirstOfEqualZerosWinsAndNaNNeverDoes) {
    const Isa path = GetParam();
    // dim 4: a query of +1e-30 gives dot -0.0 with rows of -1e-30 and +0.0 with zero rows.
    const std::size_t dim = 4;
    const std::vector<float> query(dim, 1e-30f);
    const std::vector<float> neg(dim, -1e-30f), zero(dim, 0.0f), nan_row = {kNaN, 0.0f, 0.0f, 0.0f};
    const QueryDots qd(query.data(), 1, dim, path_table(path));
    for (std::size_t rows : {2, 5, 9}) {
        for (bool neg_first : {true, false}) {
            std::vector<float> doc;
            for (std::size_t r = 0; r < rows; ++r) {
                const bool first = r == 0;
                const auto& row = r == 1 ? nan_row : ((first == neg_first) ? neg : zero);
                doc.insert(doc.end(), row.begin(), row.end());
            }
            float best[1];
            // The total starts at +0.0, so the query row's maximum shows the sign.
            EXPECT_TRUE(same_bits(0.0f, qd.maxsim(doc.data(), rows, best)));
            EXPECT_TRUE(same_bits(neg_first ? -0.0f : 0.0f, best[0])) << isa_name(path) << " rows " << rows;
        }
    }
    const float* only_nan[1] = {nan_row.data()};
    float out[1];
    qd.max_over_query(only_nan, 1, out);
    EXPECT_TRUE(same_bits(-kInf, out[0])) << isa_name(path);
}

TEST(QueryDots, EmptyInputsScoreZero) {
    const float q[4] = {1, 2, 3, 4};
    for (const ScoringTable* path : {&plain_scoring_table(DotForm::Scalar), &plain_scoring_table(DotForm::Vector),
                                     &scoring_table()}) {
        float scratch[1];
        EXPECT_TRUE(same_bits(0.0f, QueryDots(q, 1, 4, *path).maxsim(q, 0, scratch)));
        EXPECT_TRUE(same_bits(0.0f, QueryDots(q, 0, 4, *path).maxsim(q, 1, scratch)));
    }
}

TEST_P(ScoringPaths, CentroidTableMatchesPlainLoopsBitForBit) {
    const Isa path = GetParam();
    Rng rng(13);
    for (std::size_t n_q : {1, 5, 16, 17, 32, 33, 70}) {
        for (std::size_t dim : {3, 8, 128, 129}) {
            const std::size_t n_c = 37;
            const auto query = rng.floats_and_zeros(n_q * dim, true);
            const auto centroids = rng.floats_and_zeros(n_c * dim, true);
            const CentroidTable plain(query.data(), n_q, centroids.data(), n_c, dim,
                                      plain_scoring_table(DotForm::Vector));
            const CentroidTable fast(query.data(), n_q, centroids.data(), n_c, dim, scoring_table(path));
            std::vector<float> b1(plain.stride()), b2(fast.stride());
            for (std::size_t m : {0, 1, 2, 7, 40}) {
                std::vector<std::uint8_t> codes(2 * m);
                for (std::size_t i = 0; i < m; ++i) {
                    const auto c = static_cast<std::uint16_t>(rng.below(n_c + 4));  // some beyond the table
                    codes[2 * i] = static_cast<std::uint8_t>(c & 0xFF);
                    codes[2 * i + 1] = static_cast<std::uint8_t>(c >> 8);
                }
                const float want = plain.code_score(codes.data(), m, b1.data());
                ASSERT_TRUE(same_bits(want, fast.code_score(codes.data(), m, b2.data())))
                    << isa_name(path) << " n_q " << n_q << " dim " << dim << " m " << m;
            }
        }
    }
}

// A row's single dot against the vector form written plainly.
TEST_P(ScoringPaths, SingleDotMatchesTheVectorForm) {
    const ScoringTable& table = scoring_table(GetParam());
    Rng rng(5);
    for (std::size_t n : kLengths) {
        for (int rep = 0; rep < 20; ++rep) {
            auto a = rng.floats_and_zeros(n, rep % 2 == 1), b = rng.floats_and_zeros(n, rep % 2 == 1);
            ASSERT_TRUE(same_bits(dot_vector_plain(a.data(), b.data(), n), table.dot(a.data(), b.data(), n)))
                << isa_name(GetParam()) << " n = " << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ScoringPaths, ::testing::ValuesIn(test::vector_isas()), test::isa_param_name);
INSTANTIATE_TEST_SUITE_P(Rows, ScoringEveryRow, ::testing::ValuesIn(all_isas()), test::isa_param_name);

// ---------------------------------------------------------------------------------------------
// top_k

TEST(TopK, TotalOrderAndTies) {
    const float nan_neg = -kNaN;
    std::vector<ScoredDoc> items = {{1, -0.0f}, {2, 0.0f}, {3, kNaN}, {4, -kInf}, {5, kInf}, {6, nan_neg},
                                    {7, 1.0f},  {8, 1.0f}, {0, 1.0f}, {9, -1.0f}};
    const auto got = top_k(items, 100);
    std::vector<std::uint64_t> ids;
    for (const auto& d : got) ids.push_back(d.doc_id);
    EXPECT_EQ(ids, (std::vector<std::uint64_t>{3, 5, 0, 7, 8, 2, 1, 9, 4, 6}));
    // At the k boundary the larger ids of a tie are dropped.
    const auto two = top_k(items, 4);
    ASSERT_EQ(two.size(), 4u);
    EXPECT_EQ(two[3].doc_id, 7u);
    EXPECT_TRUE(top_k(items, 0).empty());
}

TEST(TopK, MatchesAFullSortWhateverTheInputOrder) {
    Rng rng(3);
    for (int rep = 0; rep < 50; ++rep) {
        const std::size_t n = rng.below(300);
        std::vector<ScoredDoc> items(n);
        for (auto& it : items) {
            it.doc_id = rng.below(40);  // many equal ids and scores
            it.score = static_cast<float>(static_cast<int>(rng.below(9)) - 4);
            if (rng.below(10) == 0) it.score = -it.score;  // -0.0 among the zeros
        }
        std::vector<ScoredDoc> sorted = items;
        std::sort(sorted.begin(), sorted.end(), better);
        for (std::uint64_t k : {std::uint64_t{1}, std::uint64_t{7}, std::uint64_t{n}, ~std::uint64_t{0}}) {
            std::shuffle(items.begin(), items.end(), rng.gen);
            const auto got = top_k(items, k);
            ASSERT_EQ(got.size(), std::min<std::uint64_t>(k, n));
            for (std::size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(got[i].doc_id, sorted[i].doc_id);
                EXPECT_TRUE(same_bits(sorted[i].score, got[i].score));
            }
        }
    }
}

TEST(TopK, HeapHoldsAtMostKPlusOne) {
    ScoredHeap heap(selection_reserve(~std::uint64_t{0}, 3));  // a k of 2^64 - 1 reserves 4
    for (std::uint64_t id = 0; id < 100; ++id) {
        heap.push_bounded({id, static_cast<float>(id % 10)}, 5);
        ASSERT_LE(heap.size(), 5u);
    }
    const auto best = heap.scored_heap_into_sorted_vec();
    ASSERT_EQ(best.size(), 5u);
    EXPECT_EQ(best[0].doc_id, 9u);
    EXPECT_EQ(best[4].doc_id, 49u);
    EXPECT_EQ(selection_reserve(10, 1000), 11u);
}

}  // namespace
}  // namespace vse::shard
