// The F16C conversions of binary16 runs, eight values per instruction, for the Avx2 row (see
// half.hpp).
#include "common/half.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#include <bit>
#include <cstring>

#include "common/coding.hpp"

namespace vse {

VSE_ISA_UNIT(Avx2)

namespace {

void widen_half_f16c(const std::uint8_t* src, std::size_t n, float* dst) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i));
        _mm256_storeu_ps(dst + i, _mm256_cvtph_ps(h));
    }
    if (i < n) {
        // The last few values through a local block, so nothing past the source is read.
        alignas(16) std::uint8_t in[16] = {};
        alignas(32) float out[8];
        std::memcpy(in, src + 2 * i, 2 * (n - i));
        _mm256_store_ps(out, _mm256_cvtph_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(in))));
        std::memcpy(dst + i, out, sizeof(float) * (n - i));
    }
}

// Round to nearest even by the instruction's own mode, whatever the MXCSR says.
constexpr int kRound = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;

// The lanes of `bits` (binary32 words) that hold a signalling NaN: with the sign shifted out, a
// word lies strictly between 0xFF000000 (infinity) and 0xFF800000 (the first quiet NaN) exactly
// then, and adding 0x80FFFFFF moves that range to the bottom of the signed integers, below
// INT_MIN + 0x7FFFFF, so that one signed compare finds it.
inline __m256i signalling_nan_lanes(__m256i bits) {
    const __m256i moved =
        _mm256_add_epi32(_mm256_slli_epi32(bits, 1), _mm256_set1_epi32(static_cast<int>(0x80FFFFFFu)));
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(0x807FFFFFu)), moved);
}

// The instruction quiets a signalling NaN (it sets the binary16 quiet bit, 0x200) where the
// software rule keeps it signalling. This puts the rule back in the eight values at dst converted
// from the eight at src: in each lane whose source is a signalling NaN, the quiet bit cleared and
// the lowest bit set when no payload bit is left. Such lanes are rare: it runs off the main path.
[[gnu::noinline, gnu::cold]] void patch_signalling_nans(const std::uint8_t* src, std::uint8_t* dst) {
    const __m256i bits = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
    auto lanes = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(signalling_nan_lanes(bits))));
    for (; lanes != 0; lanes &= lanes - 1) {
        std::uint8_t* at = dst + 2 * std::countr_zero(lanes);
        const auto h = static_cast<std::uint16_t>(get_u16(at) & ~0x200u);
        put_u16(at, (h & 0x3FFu) != 0 ? h : static_cast<std::uint16_t>(h | 1u));
    }
}

// Eight values from src to dst (any alignment), a block that holds a NaN patched.
inline void narrow_block(const std::uint8_t* src, std::uint8_t* dst) {
    const __m256 f = _mm256_loadu_ps(reinterpret_cast<const float*>(src));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_cvtps_ph(f, kRound));
    if (_mm256_movemask_ps(_mm256_cmp_ps(f, f, _CMP_UNORD_Q)) != 0) [[unlikely]] patch_signalling_nans(src, dst);
}

// Blocks of eight values are converted in groups of eight, and each group is looked at for NaNs
// with one branch: an unordered compare of two blocks finds a NaN in either, so four compares,
// three ORs and one mask cover 64 values. Only a group that holds a NaN (quiet ones included) is
// searched for signalling ones, block by block. Checking every block on its own, by the integer
// compare, cost bench_fetch's float32 row about a tenth and doubled the time on data in cache;
// this costs neither anything measurable. Rows with NaNs scattered through them pay for it
// instead (one value in a hundred a NaN takes about twice the time): NaNs in embeddings are a
// fault of the data, not a load to tune for.
constexpr std::size_t kGroup = 8;

void narrow_half_f16c(const std::uint8_t* src, std::size_t n, std::uint8_t* dst) {
    std::size_t i = 0;
    for (; i + 8 * kGroup <= n; i += 8 * kGroup) {
        __m256 f[kGroup];
        for (std::size_t k = 0; k < kGroup; ++k) {
            f[k] = _mm256_loadu_ps(reinterpret_cast<const float*>(src + 4 * (i + 8 * k)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * (i + 8 * k)), _mm256_cvtps_ph(f[k], kRound));
        }
        __m256 nan = _mm256_cmp_ps(f[0], f[1], _CMP_UNORD_Q);
        for (std::size_t k = 2; k < kGroup; k += 2)
            nan = _mm256_or_ps(nan, _mm256_cmp_ps(f[k], f[k + 1], _CMP_UNORD_Q));
        if (_mm256_movemask_ps(nan) != 0) [[unlikely]] {
            for (std::size_t k = 0; k < kGroup; ++k)
                patch_signalling_nans(src + 4 * (i + 8 * k), dst + 2 * (i + 8 * k));
        }
    }
    for (; i + 8 <= n; i += 8) narrow_block(src + 4 * i, dst + 2 * i);
    if (i < n) {
        // The last few values through a local block, so nothing past either run is touched.
        std::uint8_t in[32] = {}, out[16];
        std::memcpy(in, src + 4 * i, 4 * (n - i));
        narrow_block(in, out);
        std::memcpy(dst + 2 * i, out, 2 * (n - i));
    }
}

}  // namespace

VSE_ISA_UNIT_END(kHalfAvx2, {widen_half_f16c, narrow_half_f16c})

}  // namespace vse

#endif
