// float16 widening: the software conversion and F16C against the IEEE rule written out
// independently, on all 65 536 bit patterns, and the F16C run's short tails.
#include <gtest/gtest.h>

#include <bit>
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

}  // namespace
}  // namespace vse
