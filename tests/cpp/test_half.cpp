// float16 conversions. Widening: the software conversion and F16C against the IEEE rule written
// out independently, on all 65 536 bit patterns. Narrowing: the software conversion and every row
// the processor runs on a sweep of every sign and exponent with the mantissas that decide a
// rounding, in any rounding mode and flush setting of the thread, and on every signalling NaN,
// alone and beside other values in every lane of a vector. Both: the F16C runs' short tails at
// odd addresses.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "common/coding.hpp"
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

// The binary16 bits of binary32 `x` by value: the nearest multiple of the binary16 spacing at
// its magnitude, ties to the even multiple, then encoded. A NaN keeps its sign and the top ten
// bits of its 23-bit payload (the quiet bit the first of them, so quiet stays quiet and
// signalling stays signalling), as NumPy's astype(np.float16) does; a signalling NaN whose ten
// are all zero becomes the smallest signalling payload, 1, and so stays a NaN.
std::uint16_t narrow_rule(std::uint32_t x) {
    const std::uint16_t sign = (x & 0x80000000u) != 0 ? 0x8000 : 0;
    const float f = std::bit_cast<float>(x);
    if (std::isnan(f)) {
        const std::uint32_t payload = x & 0x7FFFFFu;
        return static_cast<std::uint16_t>(sign | 0x7C00u | std::max(payload / 8192, 1u));
    }
    const double a = std::fabs(static_cast<double>(f));
    if (a >= 65520.0) return static_cast<std::uint16_t>(sign | 0x7C00u);  // infinity included
    // Spacing 2^-24 below 2^-14; 2^(e - 10) for a in [2^e, 2^(e + 1)) above.
    int e = 0;
    std::frexp(a, &e);
    const int step = a < 0x1p-14 ? -24 : e - 1 - 10;
    const double n = std::ldexp(a, -step);  // exact: a has 24 significant bits
    double q = std::floor(n);
    if (n - q > 0.5 || (n - q == 0.5 && std::fmod(q, 2.0) != 0.0)) q += 1.0;
    const double v = std::ldexp(q, step);
    if (v < 0x1p-14) return static_cast<std::uint16_t>(sign | static_cast<std::uint16_t>(q));
    int ve = 0;
    const double m = std::frexp(v, &ve);  // v = (1 + k / 1024) * 2^(ve - 1)
    const auto k = static_cast<std::uint32_t>((2.0 * m - 1.0) * 1024.0);
    return static_cast<std::uint16_t>(sign | (static_cast<std::uint32_t>(ve - 1 + 15) << 10) | k);
}

// Binary32 inputs whose narrowing every rule decides differently if it rounds wrong: every sign,
// exponent and top ten mantissa bits with the low 13 bits below, at, just past and far past the
// half-way point (so every NaN class and both sides of 65520 too); for the exponents whose
// results are subnormal, every value of the kept bits with the same cases at the bit where that
// exponent rounds; and random words.
std::vector<std::uint32_t> narrow_sweep() {
    std::vector<std::uint32_t> v;
    for (std::uint32_t top = 0; top < (1u << 19); ++top)
        for (std::uint32_t low : {0x0u, 0x1u, 0xFFFu, 0x1000u, 0x1001u, 0x1FFFu}) v.push_back(top << 13 | low);
    for (std::uint32_t sign : {0u, 0x80000000u}) {
        // The 24-bit significand (implicit bit 23 included) loses `shift` bits: from 14 at
        // exponent 112, just below 2^-14, to all 24 at exponent 102, from 2^-25 up.
        for (std::uint32_t exp = 102; exp <= 112; ++exp) {
            const std::uint32_t shift = 126 - exp, half = 1u << (shift - 1);
            for (std::uint32_t kept = 0x800000u >> shift; kept <= 0xFFFFFFu >> shift; ++kept)
                for (std::uint32_t rest : {0u, 1u, half - 1, half, half + 1, 2 * half - 1}) {
                    const std::uint32_t m = (kept << shift) | rest;
                    if ((m & 0x800000u) != 0) v.push_back(sign | exp << 23 | (m & 0x7FFFFFu));
                }
        }
    }
    std::mt19937 gen(1114);
    for (int i = 0; i < (1 << 20); ++i) v.push_back(static_cast<std::uint32_t>(gen()));
    return v;
}

std::vector<std::uint8_t> le_bytes(const std::vector<std::uint32_t>& words) {
    std::vector<std::uint8_t> bytes(4 * words.size());
    for (std::size_t i = 0; i < words.size(); ++i) put_u32(bytes.data() + 4 * i, words[i]);
    return bytes;
}

// `in` narrowed by float_to_half, by the dispatched conversion and by every row this processor
// runs, each checked against narrow_rule (whole outputs compared first: the sweeps are long).
void expect_narrowed_by_the_rule(const std::vector<std::uint32_t>& in) {
    const std::vector<std::uint8_t> bytes = le_bytes(in);
    const std::size_t n = in.size();
    std::vector<std::uint8_t> want(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint16_t h = narrow_rule(in[i]), got = float_to_half(std::bit_cast<float>(in[i]));
        if (got != h) FAIL() << "float_to_half, input " << std::hex << in[i] << ": " << got << ", want " << h;
        put_u16(want.data() + 2 * i, h);
    }
    std::vector<std::pair<std::string, void (*)(const std::uint8_t*, std::size_t, std::uint8_t*)>> paths = {
        {"dispatched", narrow_half}};
    for (Isa row : all_isas())
        if (isa_available(row)) paths.emplace_back(isa_row(row).name, half_table(row).narrow);
    for (const auto& [name, narrow] : paths) {
        std::vector<std::uint8_t> out(2 * n);
        narrow(bytes.data(), n, out.data());
        if (out == want) continue;
        const auto first = std::mismatch(out.begin(), out.end(), want.begin()).first;
        const std::size_t i = static_cast<std::size_t>(first - out.begin()) / 2;
        FAIL() << name << ", input " << std::hex << in[i] << ": " << get_u16(out.data() + 2 * i) << ", want "
               << get_u16(want.data() + 2 * i);
    }
}

TEST(Half, NarrowingFollowsTheRule) { expect_narrowed_by_the_rule(narrow_sweep()); }

// F16C quiets a signalling NaN where the rule keeps it signalling: every one of them, both signs,
// through every row.
TEST(Half, EverySignallingNanStaysSignalling) {
    std::vector<std::uint32_t> in;
    for (std::uint32_t sign : {0u, 0x80000000u})
        for (std::uint32_t payload = 1; payload < 0x400000u; ++payload) in.push_back(sign | 0x7F800000u | payload);
    expect_narrowed_by_the_rule(in);
}

// Signalling NaNs in every subset of the eight lanes of a vector, the other lanes holding values
// that a patch of the wrong lane would change: first beside quiet NaNs, infinities and numbers;
// then runs of 64 values (eight vectors) without a NaN but one signalling NaN, in each of the
// eight vectors in turn; then, three values on (so that the subsets straddle two vectors), the
// subsets beside infinities and numbers only; last a few subsets more, so that the run ends in
// vectors converted one at a time and a tail of three.
TEST(Half, SignallingNanLanesAmongOtherValues) {
    const std::uint32_t signalling[] = {0x7F800001, 0xFF802000, 0x7FA00000, 0xFFBFFFFF, 0x7F801FFF};
    const std::vector<std::uint32_t> with_quiet = {0x7FC00000, 0xFFC00001, 0x7F800000, 0xFF800000, 0x3F800000,
                                                   0x00000000, 0x477FF000, 0x33000001, 0x7FFFFFFF};
    const std::vector<std::uint32_t> numbers = {0x7F800000, 0xFF800000, 0x3F800000, 0x00000000,
                                                0x477FF000, 0x33000001, 0x80000001};
    std::vector<unsigned> every(256);
    for (unsigned mask = 0; mask < 256; ++mask) every[mask] = mask;
    std::vector<std::uint32_t> in;
    std::size_t k = 0;
    const auto subsets = [&](const std::vector<std::uint32_t>& others, std::size_t shift,
                             const std::vector<unsigned>& masks) {
        for (std::size_t i = 0; i < shift; ++i) in.push_back(others[k++ % others.size()]);
        for (unsigned mask : masks)
            for (unsigned lane = 0; lane < 8; ++lane, ++k)
                in.push_back((mask >> lane & 1u) != 0 ? signalling[k % std::size(signalling)]
                                                      : others[k % others.size()]);
    };
    subsets(with_quiet, 0, every);
    for (unsigned alone = 0; alone < 8; ++alone) {
        std::vector<unsigned> masks(8, 0);
        masks[alone] = 1u << alone;
        subsets(numbers, 0, masks);
    }
    subsets(numbers, 3, every);
    subsets(numbers, 0, {0x81, 0x7E, 0x01, 0x80, 0xFF});
    ASSERT_EQ(in.size() % 64, 43u);  // five whole vectors past the last 64 values, then three
    expect_narrowed_by_the_rule(in);
}

TEST(Half, NarrowedNamedValues) {
    const struct {
        std::uint32_t in;
        std::uint16_t want;
    } cases[] = {
        {0x00000000, 0x0000}, {0x80000000, 0x8000},  // signed zeros
        {0x00000001, 0x0000}, {0x807FFFFF, 0x8000},  // binary32 subnormals: zeros of their sign
        {0x477FE000, 0x7BFF},                        // 65504, the largest finite
        {0x477FEFFF, 0x7BFF}, {0xC77FEFFF, 0xFBFF},  // just below 65520
        {0x477FF000, 0x7C00}, {0xC77FF000, 0xFC00},  // 65520: the tie goes to infinity
        {0x7F800000, 0x7C00}, {0xFF800000, 0xFC00},  // infinities
        {0x38800000, 0x0400},                        // 2^-14, the smallest normal
        {0x387FE000, 0x0400},                        // 2^-14 - 2^-25: tie, up to the even normal
        {0x387FDFFF, 0x03FF},                        // just below it: the largest subnormal
        {0x33800000, 0x0001},                        // 2^-24, the smallest subnormal
        {0x33000000, 0x0000}, {0xB3000000, 0x8000},  // 2^-25: tie, down to the even zero
        {0x33000001, 0x0001},                        // just past it
        {0x33C00000, 0x0002},                        // 3 * 2^-25: tie, up to 2
        {0x3F801000, 0x3C00}, {0x3F803000, 0x3C02},  // 1 + 2^-11 and 1 + 3 * 2^-11: ties to even
        {0x7FC00000, 0x7E00}, {0xFFC00000, 0xFE00},  // quiet NaNs
        {0x7FC00001, 0x7E00},                        // quiet, payload below the kept bits
        {0x7F800001, 0x7C01}, {0xFF800001, 0xFC01},  // signalling, payload below the kept bits: 1
        {0x7F801FFF, 0x7C01},
        {0x7F802000, 0x7C01}, {0x7FA00000, 0x7D00},  // signalling, payload kept
        {0x7FBFFFFF, 0x7DFF}, {0xFFBFFFFF, 0xFDFF},
        {0x7FFFFFFF, 0x7FFF},
    };
    for (const auto& c : cases) EXPECT_EQ(c.want, float_to_half(std::bit_cast<float>(c.in))) << std::hex << c.in;
}

#if defined(__x86_64__)
// The thread's MXCSR as it was when the test started, restored however the test ends.
struct MxcsrGuard {
    unsigned saved = _mm_getcsr();
    ~MxcsrGuard() { _mm_setcsr(saved); }
};

// A host may run with flush-to-zero and denormals-are-zero (code built for fast math sets both) or
// another rounding mode: the narrowed bits must not change.
TEST(Half, NarrowingIgnoresTheThreadsFloatingPointMode) {
    const std::vector<std::uint32_t> in = narrow_sweep();
    const std::vector<std::uint8_t> bytes = le_bytes(in);
    const std::size_t n = in.size();
    std::vector<std::uint8_t> want(2 * n);
    narrow_half_software(bytes.data(), n, want.data());
    const bool f16c = isa_available(Isa::Avx2);
    constexpr unsigned kFtzDaz = 0x8040, kUp = 0x4000, kDown = 0x2000, kTowardZero = 0x6000;
    for (unsigned mode : {kFtzDaz, kUp, kDown, kTowardZero, kFtzDaz | kTowardZero}) {
        std::vector<std::uint8_t> soft(2 * n), hard(2 * n);
        {
            MxcsrGuard guard;
            _mm_setcsr((guard.saved & ~0xE040u) | mode);
            narrow_half_software(bytes.data(), n, soft.data());
            if (f16c) half_table(Isa::Avx2).narrow(bytes.data(), n, hard.data());
        }
        ASSERT_EQ(want, soft) << "software, MXCSR mode " << std::hex << mode;
        if (f16c) {
            for (std::size_t i = 0; i < n; ++i)
                ASSERT_EQ(get_u16(want.data() + 2 * i), get_u16(hard.data() + 2 * i))
                    << "F16C, MXCSR mode " << std::hex << mode << ", input " << in[i];
        }
    }
    if (!f16c) GTEST_SKIP() << "avx2 (F16C) is not available on this processor: software conversion only";
}
#endif

// Runs of every length up to two vectors, read from and written to odd addresses: the input in a
// buffer of exactly its size, so that the sanitizer sees any read past its end, the output between
// two guard bytes checked by hand.
TEST(Half, NarrowedShortRunsAndTailsAtAnyAlignment) {
    if (!isa_available(Isa::Avx2)) GTEST_SKIP() << "avx2 (F16C) is not available on this processor: not tested";
    const std::vector<std::uint32_t> words = {0x3F800000, 0x477FF000, 0x33000001, 0x7F800001, 0xB87FF000,
                                              0x00000001, 0x477FEFFF, 0x3F803000, 0xFFC00000, 0x33C00000,
                                              0xC77FE000, 0x387FE000, 0x7FA00000, 0x80000000, 0x3F801000,
                                              0xFF800000, 0x33800000};
    const std::vector<std::uint8_t> all = le_bytes(words);
    for (std::size_t n = 0; n <= words.size(); ++n) {
        for (std::size_t first : {std::size_t{0}, words.size() - n}) {
            std::vector<std::uint8_t> src(4 * n + 1);
            if (n != 0) std::memcpy(src.data() + 1, all.data() + 4 * first, 4 * n);
            std::vector<std::uint8_t> soft(2 * n + 2, 0xA5), hard(2 * n + 2, 0xA5);
            narrow_half_software(src.data() + 1, n, soft.data() + 1);
            half_table(Isa::Avx2).narrow(src.data() + 1, n, hard.data() + 1);
            EXPECT_EQ(soft, hard) << "n = " << n << ", from " << first;
            EXPECT_EQ(0xA5, hard[0]) << "wrote before the run, n = " << n;
            EXPECT_EQ(0xA5, hard[2 * n + 1]) << "wrote past the run, n = " << n;
        }
    }
}

}  // namespace
}  // namespace vse
