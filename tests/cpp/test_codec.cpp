// The residual codec's float16 truncation, table by table and exponent by exponent against a
// reference that searches the float16 grid, and the per-byte index table.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "shard/codec.hpp"

namespace vse::shard {
namespace {

double f16_value(std::uint16_t h) {
    const int e = (h >> 10) & 0x1F, m = h & 0x3FF;
    const double mag = e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, e - 25);
    return (h & 0x8000) ? -mag : mag;
}

// Truncation written from its meaning: the float16 of x's sign whose magnitude is the largest on
// the float16 grid not above |x|; infinity from 65536 up; the quiet NaN for a NaN.
std::uint16_t reference_trunc(float x) {
    const std::uint16_t s = std::signbit(x) ? 0x8000 : 0;
    if (std::isnan(x)) return s | 0x7E00;
    const double a = std::fabs(static_cast<double>(x));
    if (a >= 65536.0) return s | 0x7C00;
    std::uint16_t lo = 0, hi = 0x7BFF;  // finite magnitudes are ordered like their bits
    while (lo < hi) {
        const auto mid = static_cast<std::uint16_t>((lo + hi + 1) / 2);
        if (f16_value(mid) <= a) lo = mid; else hi = mid - 1;
    }
    return s | lo;
}

float bits(std::uint32_t b) { return std::bit_cast<float>(b); }

TEST(F32ToF16Trunc, TableAndExamples) {
    struct Case { float x; std::uint16_t want; };
    const Case cases[] = {
        {std::numeric_limits<float>::quiet_NaN(), 0x7E00},
        {bits(0xFF812345u), 0xFE00},  // a negative NaN with a payload: the payload is dropped
        {std::numeric_limits<float>::infinity(), 0x7C00},
        {-std::numeric_limits<float>::infinity(), 0xFC00},
        {65536.0f, 0x7C00},            // e = 143
        {bits(0x7F7FFFFFu), 0x7C00},   // e = 254
        {65535.0f, 0x7BFF},            // e = 142, cut not rounded
        {1.0f, 0x3C00},
        {-2.0f, 0xC000},
        {std::ldexp(1.0f, -14), 0x0400},  // e = 113, the smallest normal
        {bits(0x387FFFFFu), 0x03FF},       // e = 112, just below: a subnormal
        {std::ldexp(1.0f, -24), 0x0001},   // e = 103
        {1e-8f, 0x0000},                   // e = 102
        {-1e-8f, 0x8000},
        {bits(0x00000001u), 0x0000},       // a float32 subnormal
        {-0.0f, 0x8000},
        {0.0f, 0x0000},
        {0.7f, 0x3999},                    // to nearest would be 0x399A
    };
    for (const Case& c : cases) {
        EXPECT_EQ(f32_to_f16_trunc(c.x), c.want) << c.x;
        EXPECT_EQ(reference_trunc(c.x), c.want) << "reference " << c.x;
    }
    // 0.7 lies between two float16 values; truncation keeps the lower one.
    EXPECT_LT(f16_value(f32_to_f16_trunc(0.7f)), 0.7);
    EXPECT_GT(f16_value(f32_to_f16_trunc(0.7f) + 1), 0.7);
}

TEST(F32ToF16Trunc, EveryExponentAgainstTheGrid) {
    std::mt19937 gen(9);
    for (std::uint32_t e = 0; e < 256; ++e)
        for (std::uint32_t sign : {0u, 1u})
            for (int i = 0; i < 64; ++i) {
                std::uint32_t m = gen() & 0x7FFFFFu;
                if (i == 0) m = 0;
                if (i == 1) m = 0x7FFFFFu;
                if (i == 2) m = 0x1FFFu;  // just below a float16 step
                const float x = bits((sign << 31) | (e << 23) | m);
                ASSERT_EQ(f32_to_f16_trunc(x), reference_trunc(x)) << std::hex << "bits 0x" << std::bit_cast<std::uint32_t>(x);
            }
}

TEST(ResidualCodec, ByteTableAndChecks) {
    auto table = std::make_shared<const std::vector<float>>(4, 0.0f);
    auto c2 = ResidualCodec::create({0, 1, 2, 3}, 2, table, 1, 4);
    ASSERT_TRUE(c2);
    EXPECT_EQ((*c2)->byte_codes(0xD2), (std::vector<std::uint8_t>{3, 1, 0, 2}));
    auto c4 = ResidualCodec::create(std::vector<float>(16, 0.0f), 4, table, 1, 4);
    EXPECT_EQ((*c4)->byte_codes(0x3A), (std::vector<std::uint8_t>{3, 10}));
    auto c1 = ResidualCodec::create({0, 1}, 1, table, 1, 10);
    EXPECT_EQ((*c1)->byte_codes(0x80), (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ((*c1)->packed_bytes_per_vector(), 1u);  // dim 10, nbits 1
    auto c8 = ResidualCodec::create(std::vector<float>(256, 0.0f), 8, table, 1, 4);
    EXPECT_EQ((*c8)->byte_codes(0xA7), (std::vector<std::uint8_t>{0xA7}));
    for (std::uint64_t bad : {0u, 3u, 16u}) {
        auto r = ResidualCodec::create({0, 1}, bad, table, 1, 4);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message, "nbits must divide 8, got " + std::to_string(bad));
    }
    auto r = ResidualCodec::create({0, 1, 2}, 2, table, 1, 4);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "bucket_weights len 3 != 2^nbits = 4");
}

}  // namespace
}  // namespace vse::shard
