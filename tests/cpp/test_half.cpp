// float16 conversions: the software ones and F16C against the IEEE rules written out independently,
// widening on all 65 536 bit patterns, narrowing on every binary32 pattern whose low 12 bits are
// one of a few (every bit a rounding can look at varies), and the F16C runs' short tails.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <iterator>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/half.hpp"

namespace vse {
namespace {

// The binary32 bits of binary16 `h`, from its value rather than by moving bit fields around.
std::uint32_t rule(std::uint16_t h) {
    const bool neg = (h & 0x8000u) != 0;
    const int exp = (h >> 10) & 0x1F;
    const int mant = h & 0x3FF;
    if (exp == 0x1F) {
        if (mant == 0) return std::bit_cast<std::uint32_t>(neg ? -INFINITY : INFINITY);
        // NaN: sign, payload shifted up by 13, quiet bit set.
        return (neg ? 0x80000000u : 0u) | 0x7FC00000u | (static_cast<std::uint32_t>(mant) << 13);
    }
    const double magnitude = exp == 0 ? std::ldexp(mant, -24) : std::ldexp(1024 + mant, exp - 25);
    return std::bit_cast<std::uint32_t>(static_cast<float>(neg ? -magnitude : magnitude));
}

std::vector<std::uint8_t> all_patterns() {
    std::vector<std::uint8_t> bytes(2 * 65536);
    for (std::uint32_t h = 0; h < 65536; ++h) {
        bytes[2 * h] = static_cast<std::uint8_t>(h & 0xFF);  // little-endian
        bytes[2 * h + 1] = static_cast<std::uint8_t>(h >> 8);
    }
    return bytes;
}

TEST(Half, EveryPatternFollowsTheRule) {
    const std::vector<std::uint8_t> bytes = all_patterns();
    std::vector<float> soft(65536), hard(65536), dispatched(65536);
    widen_half_software(bytes.data(), 65536, soft.data());
    widen_half(bytes.data(), 65536, dispatched.data());
    const bool f16c = isa_available(Isa::Avx2);
    if (f16c) half_table(Isa::Avx2).widen(bytes.data(), 65536, hard.data());
    for (std::uint32_t h = 0; h < 65536; ++h) {
        const std::uint32_t want = rule(static_cast<std::uint16_t>(h));
        ASSERT_EQ(want, std::bit_cast<std::uint32_t>(half_to_float(static_cast<std::uint16_t>(h)))) << std::hex << h;
        ASSERT_EQ(want, std::bit_cast<std::uint32_t>(soft[h])) << std::hex << h;
        ASSERT_EQ(want, std::bit_cast<std::uint32_t>(dispatched[h])) << std::hex << h;
        if (f16c) {
            ASSERT_EQ(want, std::bit_cast<std::uint32_t>(hard[h])) << std::hex << h;
        }
    }
    if (!f16c) GTEST_SKIP() << "avx2 (F16C) is not available on this processor: software conversion only";
}

TEST(Half, NamedValues) {
    EXPECT_EQ(0x80000000u, std::bit_cast<std::uint32_t>(half_to_float(0x8000)));  // -0.0
    EXPECT_EQ(std::ldexp(1.0f, -24), half_to_float(0x0001));                     // smallest subnormal
    EXPECT_EQ(-std::ldexp(1023.0f, -24), half_to_float(0x83FF));                  // largest, negative
    EXPECT_EQ(65504.0f, half_to_float(0x7BFF));
    EXPECT_EQ(0x7FC02000u, std::bit_cast<std::uint32_t>(half_to_float(0x7C01)));  // signalling NaN made quiet
    EXPECT_EQ(0xFFC00000u, std::bit_cast<std::uint32_t>(half_to_float(0xFE00)));  // quiet negative NaN
}

// Runs of every length up to two vectors, at an odd address, each in a buffer of exactly its size
// so that the sanitizer sees any read past the end.
TEST(Half, ShortRunsAndTailsAtAnyAlignment) {
    if (!isa_available(Isa::Avx2)) GTEST_SKIP() << "avx2 (F16C) is not available on this processor: not tested";
    const std::vector<std::uint8_t> bytes = all_patterns();
    for (std::size_t n = 0; n <= 17; ++n) {
        for (std::size_t first : {std::size_t{0x3C00}, std::size_t{0x7BF8}, std::size_t{0xFBF7}}) {
            std::vector<std::uint8_t> src(2 * n + 1);
            std::memcpy(src.data() + 1, bytes.data() + 2 * first, 2 * n);
            std::vector<float> soft(n + 1, 7.0f), hard(n + 1, 7.0f);
            widen_half_software(src.data() + 1, n, soft.data());
            half_table(Isa::Avx2).widen(src.data() + 1, n, hard.data());
            for (std::size_t i = 0; i < n; ++i)
                ASSERT_EQ(std::bit_cast<std::uint32_t>(soft[i]), std::bit_cast<std::uint32_t>(hard[i])) << n << " " << i;
            EXPECT_EQ(7.0f, hard[n]) << "wrote past the run, n = " << n;
        }
    }
}

// The binary16 bits nearest to binary32 `f`, ties to even, from its value in double arithmetic:
// scaled by the binary16 step of its binade (2^-24 for the subnormals) and rounded by the FPU.
std::uint16_t narrow_rule(float f) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
    const std::uint16_t sign = (bits & 0x80000000u) ? 0x8000 : 0;
    if (std::isnan(f)) return sign | 0x7E00 | ((bits >> 13) & 0x3FF);  // quiet, top payload bits
    const double d = std::fabs(static_cast<double>(f));
    if (d >= 65520.0) return sign | 0x7C00;
    if (d == 0.0) return sign;
    const int e = std::max(std::ilogb(d), -14);  // the binade, subnormals in the lowest
    const double q = std::nearbyint(std::ldexp(d, 10 - e));  // steps of 2^(e - 10), ties to even
    return sign | static_cast<std::uint16_t>(((e + 15) << 10) + static_cast<int>(q) - 1024);
}

std::vector<std::uint8_t> narrowing_patterns() {
    const std::uint32_t lows[] = {0x000, 0x001, 0x7FF, 0x800, 0x801, 0xFFF};
    std::vector<std::uint8_t> bytes;
    bytes.reserve(4 * std::size(lows) << 20);
    for (std::uint32_t high = 0; high < (1u << 20); ++high)
        for (std::uint32_t low : lows) {
            const std::uint32_t x = high << 12 | low;
            for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<std::uint8_t>(x >> (8 * k)));
        }
    return bytes;
}

TEST(Half, NarrowingFollowsTheRule) {
    const std::vector<std::uint8_t> src = narrowing_patterns();
    const std::size_t n = src.size() / 4;
    std::vector<std::uint8_t> soft(2 * n), hard(2 * n), dispatched(2 * n);
    narrow_half_software(src.data(), n, soft.data());
    narrow_half(src.data(), n, dispatched.data());
    const bool f16c = isa_available(Isa::Avx2);
    if (f16c) half_table(Isa::Avx2).narrow(src.data(), n, hard.data());
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t x;
        std::memcpy(&x, src.data() + 4 * i, 4);
        const float f = std::bit_cast<float>(x);
        const std::uint16_t want = narrow_rule(f);
        auto at = [&](const std::vector<std::uint8_t>& out) {
            std::uint16_t h;
            std::memcpy(&h, out.data() + 2 * i, 2);
            return h;
        };
        ASSERT_EQ(want, float_to_half(f)) << std::hex << x;
        ASSERT_EQ(want, at(soft)) << std::hex << x;
        ASSERT_EQ(want, at(dispatched)) << std::hex << x;
        if (f16c) {
            ASSERT_EQ(want, at(hard)) << std::hex << x;
        }
    }
    if (!f16c) GTEST_SKIP() << "avx2 (F16C) is not available on this processor: software conversion only";
}

TEST(Half, NarrowingNamedValues) {
    const struct {
        float f;
        std::uint16_t h;
    } cases[] = {
        {65504.0f, 0x7BFF},                   // largest finite
        {65519.996f, 0x7BFF},                 // just below the overflow boundary
        {65520.0f, 0x7C00},                   // the tie at the boundary rounds to infinity
        {-INFINITY, 0xFC00},
        {std::ldexp(1.0f, -24), 0x0001},      // smallest subnormal
        {std::ldexp(1.0f, -25), 0x0000},      // the tie below it goes to the even zero
        {std::ldexp(1.5f, -25), 0x0001},
        {std::ldexp(3.0f, -25), 0x0002},      // a tie between 1 and 2 steps: even
        {std::ldexp(1023.5f, -24), 0x0400},   // rounds up into the smallest normal
        {std::ldexp(1.0f, -140), 0x0000},     // a float subnormal
        {-0.0f, 0x8000},
        {1.0f + std::ldexp(1.0f, -11), 0x3C00},   // a tie: even
        {1.0f + std::ldexp(3.0f, -11), 0x3C02},   // a tie: even, upwards
    };
    for (const auto& c : cases) EXPECT_EQ(c.h, float_to_half(c.f)) << c.f;
    EXPECT_EQ(0xFE00, float_to_half(std::bit_cast<float>(0xFF800001u)));  // signalling NaN made quiet
    EXPECT_EQ(0x7FFF, float_to_half(std::bit_cast<float>(0x7FFFFFFFu)));
}

// Runs of every length up to two vectors, at an odd address, each in a buffer of exactly its size.
TEST(Half, NarrowingShortRunsAndTailsAtAnyAlignment) {
    if (!isa_available(Isa::Avx2)) GTEST_SKIP() << "avx2 (F16C) is not available on this processor: not tested";
    for (std::size_t n = 0; n <= 17; ++n) {
        std::vector<std::uint8_t> src(4 * n + 1);
        for (std::size_t i = 0; i < 4 * n; ++i) src[1 + i] = static_cast<std::uint8_t>(i * 37 + n);
        std::vector<std::uint8_t> soft(2 * n + 3, 0xAB), hard(2 * n + 3, 0xAB);
        narrow_half_software(src.data() + 1, n, soft.data() + 1);
        half_table(Isa::Avx2).narrow(src.data() + 1, n, hard.data() + 1);
        EXPECT_EQ(soft, hard) << "n = " << n;
        EXPECT_EQ(0xAB, hard[0]);
        EXPECT_EQ(0xAB, hard[2 * n + 1]) << "wrote past the run, n = " << n;
    }
}

}  // namespace
}  // namespace vse
