// The vector paths of both pair kernels against the scalar reference, bit for bit, on random
// batches of awkward sizes (query token counts that leave padding lanes, several lane vectors,
// code rows that are not a multiple of 16 bytes, one-word groups, 32 groups), with masks that mix
// positive, zero, negative and NaN weights and with NaN and infinite inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/pool_registry.hpp"
#include "kernels/rroq158.hpp"
#include "kernels/rroq4_riem.hpp"
#include "support.hpp"

namespace vse::kernels {
namespace {

using test::expect_same_bits;
using test::isa_name;
using test::kInf;
using test::kNaN;
using test::Rng;

template <class T>
InArray<T> in(const std::vector<T>& v) {
    return InArray<T>{v.data(), v.size(), true};
}

// The arguments both kernels take, of a case and its data; the masks when `masks`.
template <class Case, class Data>
SharedInput shared(const Case& c, const Data& d, bool masks) {
    SharedInput s{in(d.qc_table), in(d.docs_cid), in(d.docs_cos), in(d.docs_sin), c.A, c.B, c.S, c.T, c.K,
                  std::nullopt, std::nullopt, std::nullopt};
    if (masks) {
        s.q_mask = in(d.q_mask);
        s.docs_mask = in(d.docs_mask);
    }
    return s;
}

struct Rroq158Case {
    std::size_t A, B, S, T, W, G, qb, K;
};

struct Rroq158Data {
    std::vector<std::int32_t> q_planes, docs_sign, docs_nz, docs_cid;
    std::vector<float> q_meta, qc_table, docs_scl, docs_cos, docs_sin, q_mask, docs_mask;
};

Rroq158Data rroq158_data(const Rroq158Case& c, Rng& rng, bool specials) {
    Rroq158Data d;
    auto words = [&](std::size_t n) {
        std::vector<std::int32_t> v(n);
        for (auto& x : v) x = static_cast<std::int32_t>(rng.word());
        return v;
    };
    d.q_planes = words(c.A * c.S * c.qb * c.W);
    d.docs_sign = words(c.B * c.T * c.W);
    d.docs_nz = words(c.B * c.T * c.W);
    d.docs_cid = rng.ids(c.B * c.T, c.K);
    d.q_meta = rng.floats(c.A * c.S * 2, specials);
    d.qc_table = rng.floats(c.A * c.S * c.K, specials);
    d.docs_scl = rng.floats(c.B * c.T * c.G, specials);
    d.docs_cos = rng.floats(c.B * c.T, specials);
    d.docs_sin = rng.floats(c.B * c.T, specials);
    d.q_mask = rng.mask(c.A * c.S);
    d.docs_mask = rng.mask(c.B * c.T);
    return d;
}

// The checked arguments of a case; the checks must accept them (ASSERT_NO_FATAL_FAILURE at the call
// stops the test when they do not).
void rroq158_args(const Rroq158Case& c, const Rroq158Data& d, bool masks, Rroq158Args& out) {
    Rroq158Input input{in(d.q_planes), in(d.q_meta), in(d.docs_sign), in(d.docs_nz), in(d.docs_scl), c.W, c.G, c.qb,
                       shared(c, d, masks)};
    auto args = rroq158_check(input);
    ASSERT_TRUE(args.has_value()) << args.error().message;
    out = *args;
}

std::vector<float> rroq158_scores(const Rroq158Args& args, ThreadPool& pool, Isa isa) {
    std::vector<float> out(args.shared.big_a * args.shared.big_b, 0.0f);
    rroq158_score_queries(args, out.data(), pool, isa);
    return out;
}

// Every vector row's rroq158 path against the scalar reference; a row the processor lacks is
// skipped by name, one without a path of its own (it runs its fallback's) too.
class Rroq158Paths : public ::testing::TestWithParam<Isa> {};

TEST_P(Rroq158Paths, VectorPathsMatchScalarBitForBit) {
    const Isa isa = GetParam();
    VSE_SKIP_UNLESS_AVAILABLE(isa);
    VSE_SKIP_UNLESS_OWN_PATH(isa, [](Isa i) { return kernel_table(i).rroq158; });
    const std::vector<Rroq158Case> cases = {
        {1, 1, 1, 1, 1, 1, 1, 1},   {2, 37, 19, 5, 4, 2, 3, 7},  {3, 33, 33, 3, 6, 3, 8, 5},
        {1, 20, 16, 7, 2, 1, 1, 3}, {2, 17, 40, 9, 8, 4, 4, 11}, {1, 9, 5, 4, 32, 32, 2, 2},
        {2, 64, 32, 16, 4, 4, 4, 64},  {1, 2, 19, 3, 4, 2, 3, 50},  // the last: fewer document tokens than K
        {2, 23, 21, 6, 3, 1, 8, 6},  // an odd word count in one group: a pair of words and a single one
        {7, 11, 19, 6, 4, 2, 3, 5},  // more queries than the batch loop takes at once, the last batch short
    };
    auto pool = ThreadPool::create(3);
    ASSERT_TRUE(pool.has_value());
    Rng rng(158);
    for (const Rroq158Case& c : cases) {
        for (bool specials : {false, true}) {
            const Rroq158Data data = rroq158_data(c, rng, specials);
            for (bool masks : {false, true}) {
                Rroq158Args args;
                ASSERT_NO_FATAL_FAILURE(rroq158_args(c, data, masks, args));
                const std::vector<float> want = rroq158_scores(args, **pool, Isa::Scalar);
                const std::string what = std::string(isa_name(isa)) + " S=" + std::to_string(c.S) +
                                         " W=" + std::to_string(c.W) + " masks=" + std::to_string(masks);
                expect_same_bits(want, rroq158_scores(args, **pool, isa), what);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Rroq158Paths, ::testing::ValuesIn(test::vector_isas()), test::isa_param_name);

class Rroq158EveryRow : public ::testing::TestWithParam<Isa> {};

TEST_P(Rroq158EveryRow, FullyMaskedQueryScoresZeroOnEveryPath) {
    const Isa isa = GetParam();
    VSE_SKIP_UNLESS_AVAILABLE(isa);
    const Rroq158Case c{2, 5, 17, 3, 2, 1, 2, 3};
    Rng rng(1);
    Rroq158Data data = rroq158_data(c, rng, false);
    // Query 0: no positive weight (zero, negative, NaN); query 1: a single positive weight.
    for (std::size_t s = 0; s < c.S; ++s) data.q_mask[s] = s % 3 == 0 ? 0.0f : s % 3 == 1 ? -1.0f : kNaN;
    for (std::size_t s = 0; s < c.S; ++s) data.q_mask[c.S + s] = s == 4 ? 1.0f : 0.0f;
    std::fill(data.docs_mask.begin(), data.docs_mask.end(), 1.0f);
    Rroq158Args args;
    ASSERT_NO_FATAL_FAILURE(rroq158_args(c, data, true, args));
    auto pool = ThreadPool::create(1);
    ASSERT_TRUE(pool.has_value());
    const std::vector<float> out = rroq158_scores(args, **pool, isa);
    for (std::size_t b = 0; b < c.B; ++b) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(out[b]), 0u) << isa_name(isa);
        EXPECT_NE(out[c.B + b], 0.0f) << isa_name(isa);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Rroq158EveryRow, ::testing::ValuesIn(all_isas()), test::isa_param_name);

struct Rroq4Case {
    std::size_t A, B, S, T, dim, G, gs, K;
};

struct Rroq4Data {
    std::vector<float> q_rot, q_gsums, qc_table, docs_mins, docs_dlts, docs_cos, docs_sin, q_mask, docs_mask;
    std::vector<std::uint8_t> docs_codes;
    std::vector<std::int32_t> docs_cid;
};

Rroq4Data rroq4_data(const Rroq4Case& c, Rng& rng, bool specials) {
    Rroq4Data d;
    d.q_rot = rng.floats(c.A * c.S * c.dim, specials);
    d.q_gsums = rng.floats(c.A * c.S * c.G, specials);
    d.qc_table = rng.floats(c.A * c.S * c.K, specials);
    d.docs_codes.resize(c.B * c.T * c.dim / 2);
    for (auto& x : d.docs_codes) x = static_cast<std::uint8_t>(rng.word());
    d.docs_mins = rng.floats(c.B * c.T * c.G, specials);
    d.docs_dlts = rng.floats(c.B * c.T * c.G, specials);
    d.docs_cid = rng.ids(c.B * c.T, c.K);
    d.docs_cos = rng.floats(c.B * c.T, specials);
    d.docs_sin = rng.floats(c.B * c.T, specials);
    d.q_mask = rng.mask(c.A * c.S);
    d.docs_mask = rng.mask(c.B * c.T);
    return d;
}

void rroq4_args(const Rroq4Case& c, const Rroq4Data& d, bool masks, Rroq4RiemArgs& out) {
    Rroq4RiemInput input{in(d.q_rot), in(d.q_gsums), in(d.docs_codes), in(d.docs_mins), in(d.docs_dlts), c.dim, c.G,
                         c.gs, shared(c, d, masks)};
    auto args = rroq4_riem_check(input);
    ASSERT_TRUE(args.has_value()) << args.error().message;
    out = *args;
}

std::vector<float> rroq4_scores(const Rroq4RiemArgs& args, ThreadPool& pool, Isa isa) {
    std::vector<float> out(args.shared.big_a * args.shared.big_b, 0.0f);
    rroq4_riem_score_queries(args, out.data(), pool, isa);
    return out;
}

class Rroq4RiemPaths : public ::testing::TestWithParam<Isa> {};

TEST_P(Rroq4RiemPaths, VectorPathsMatchScalarBitForBit) {
    const Isa isa = GetParam();
    VSE_SKIP_UNLESS_AVAILABLE(isa);
    VSE_SKIP_UNLESS_OWN_PATH(isa, [](Isa i) { return kernel_table(i).rroq4_riem; });
    const std::vector<Rroq4Case> cases = {
        {1, 1, 1, 1, 2, 1, 2, 1},     {2, 37, 19, 5, 16, 4, 4, 7},  {1, 20, 33, 9, 64, 2, 32, 5},
        {2, 18, 8, 6, 34, 1, 34, 3},  {1, 5, 17, 13, 96, 3, 32, 4}, {2, 40, 32, 11, 128, 4, 32, 16},
        {1, 3, 48, 2, 6, 3, 2, 2},     {1, 2, 19, 3, 16, 4, 4, 40},  // the last: fewer document tokens than K
        // Documents of many tokens (blocks of tokens across many lane tiles), and a large dim whose
        // code row is not a multiple of 16 bytes.
        {1, 3, 13, 150, 64, 2, 32, 7}, {1, 2, 7, 70, 1036, 2, 518, 3},
        // More queries than the batch loop takes at once, the last batch short.
        {7, 9, 19, 11, 64, 2, 32, 5},
    };
    auto pool = ThreadPool::create(3);
    ASSERT_TRUE(pool.has_value());
    Rng rng(4);
    for (const Rroq4Case& c : cases) {
        for (bool specials : {false, true}) {
            const Rroq4Data data = rroq4_data(c, rng, specials);
            for (bool masks : {false, true}) {
                Rroq4RiemArgs args;
                ASSERT_NO_FATAL_FAILURE(rroq4_args(c, data, masks, args));
                const std::vector<float> want = rroq4_scores(args, **pool, Isa::Scalar);
                const std::string what = std::string(isa_name(isa)) + " S=" + std::to_string(c.S) +
                                         " dim=" + std::to_string(c.dim) + " masks=" + std::to_string(masks);
                expect_same_bits(want, rroq4_scores(args, **pool, isa), what);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Rroq4RiemPaths, ::testing::ValuesIn(test::vector_isas()), test::isa_param_name);

// The scalar reference itself on a hand-computed pair: two document tokens, one query token.
TEST(Rroq4Riem, ScalarPairOnKnownValues) {
    // dim 4, two groups of 2. Token 0 codes 0x21, 0x43 -> x = 1, 2, 3, 4; token 1 all zero.
    const std::vector<float> rot = {0.5f, 1.0f, -1.0f, 2.0f}, gsums = {1.5f, 1.0f}, qc = {10.0f, 20.0f};
    const std::vector<std::uint8_t> codes = {0x21, 0x43, 0x00, 0x00};
    const std::vector<float> mins = {1.0f, 0.0f, 2.0f, 2.0f}, dlts = {2.0f, 1.0f, 1.0f, 1.0f};
    const std::vector<std::int32_t> cid = {1, 0};
    const std::vector<float> cos = {0.5f, 0.25f}, sin = {1.0f, 2.0f};
    const Rroq4RiemQuery q{rot.data(), gsums.data(), qc.data(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    const Rroq4RiemDocs d{codes.data(), mins.data(), dlts.data(), cid.data(), cos.data(), sin.data(), nullptr};
    const Rroq4RiemDims dm{1, 2, 4, 2, 2, 2, 16};
    float best[1], x[4];
    // Token 0: dots 0.5*1+1*2 = 2.5 and -1*3+2*4 = 5; acc = 2*2.5 + 1*1.5 = 6.5, then + 1*5 + 0*1
    // = 11.5; score = 0.5*20 + 1*11.5 = 21.5. Token 1: acc = 2*1.5 + 2*1 = 5; score = 0.25*10 +
    // 2*5 = 12.5. The best is 21.5.
    EXPECT_EQ(rroq4_riem_pair_maxsim(q, d, 0, dm, best, x), 21.5f);
}

// ---------------------------------------------------------------------------------------------
// The pool.

TEST(ThreadPool, PieceCountHalvesWhileHalvesKeepTheMinimum) {
    EXPECT_EQ(ThreadPool::piece_count(31, 16), 1u);
    EXPECT_EQ(ThreadPool::piece_count(32, 16), 2u);
    EXPECT_EQ(ThreadPool::piece_count(2000, 31), 64u);
    EXPECT_EQ(ThreadPool::piece_count(0, 16), 1u);
    EXPECT_EQ(ThreadPool::piece_count(5, 0), 4u);
}

TEST(ThreadPool, ParallelForCoversEveryIndexOnce) {
    auto pool = ThreadPool::create(4);
    ASSERT_TRUE(pool.has_value());
    for (std::size_t n : {1u, 15u, 16u, 33u, 1000u, 4097u}) {
        std::vector<std::atomic<int>> hits(n);
        (*pool)->parallel_for(n, 7, [&](std::size_t lo, std::size_t hi) {
            EXPECT_LT(lo, hi);
            for (std::size_t i = lo; i < hi; ++i) hits[i].fetch_add(1);
        });
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "n=" << n << " i=" << i;
    }
}

TEST(ThreadPool, InstallRunsOnAWorkerAndNestedLoopsShareIt) {
    auto pool = ThreadPool::create(1);
    ASSERT_TRUE(pool.has_value());
    ThreadPool& p = **pool;
    EXPECT_FALSE(p.is_worker());
    std::atomic<int> on_worker{0}, total{0};
    p.install([&] {
        // A single worker drains its own loop, even nested inside a piece.
        p.parallel_for(64, 8, [&](std::size_t lo, std::size_t hi) {
            on_worker += p.is_worker() ? 1 : 0;
            p.parallel_for(hi - lo, 2, [&](std::size_t a, std::size_t b) { total += static_cast<int>(b - a); });
        });
    });
    EXPECT_EQ(on_worker.load(), 8);
    EXPECT_EQ(total.load(), 64);
}

TEST(ThreadPool, ExceptionOfAPieceReachesTheCaller) {
    auto pool = ThreadPool::create(2);
    ASSERT_TRUE(pool.has_value());
    EXPECT_THROW((*pool)->parallel_for(100, 1,
                                       [](std::size_t lo, std::size_t) {
                                           if (lo == 50) throw std::runtime_error("piece failed");
                                       }),
                 std::runtime_error);
    // The pool still works afterwards.
    std::atomic<std::size_t> sum{0};
    (*pool)->parallel_for(100, 1, [&](std::size_t lo, std::size_t hi) { sum += hi - lo; });
    EXPECT_EQ(sum.load(), 100u);
}

TEST(PoolCache, FirstPoolStoredForACountIsKept) {
    PoolCache cache([](std::size_t n, std::size_t i) { return "t-" + std::to_string(n) + "-" + std::to_string(i); },
                    "test pool");
    EXPECT_FALSE(cache.contains(2));
    auto a = cache.get(2);
    auto b = cache.get(2);
    ASSERT_TRUE(a.has_value() && b.has_value());
    EXPECT_EQ(a->get(), b->get());
    EXPECT_EQ((*a)->size(), 2u);
    EXPECT_TRUE(cache.contains(2));
    auto c = cache.get(0);
    ASSERT_FALSE(c.has_value());
    EXPECT_EQ(c.error().message, "test pool: a worker pool needs at least one worker");
}

}  // namespace
}  // namespace vse::kernels
